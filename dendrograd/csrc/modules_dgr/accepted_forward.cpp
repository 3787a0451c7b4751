// modules_dgr: a neuron module's forward with its accepted dendrites, computed without
// the layers' Python calls where that gives exactly what the calls give.
#include "modules_dgr.h"

#include <optional>
#include <vector>

namespace dgr::modules {
namespace {

// A neuron's output with its accepted dendrites, the layer and the dendrite layers (plain
// copies of it) computed here without their Python calls: (out, dendrite_outs, view_tuple),
// bit for bit what the host's calls layer by layer give. None when the layers need their
// own calls. Each layer keeps its own product: one product on stacked weights rounds
// differently, and the deployed form must predict exactly what the trained network does.
py::object accepted_forward(py::handle neuron_module, py::args args, py::kwargs kwargs) {
  py::object dendrite_module = host::dendrite_module_of(neuron_module);
  py::list layers = host::module_list(dendrite_module, host::names::layers());
  py::list into_dendrites(neuron_module.attr(host::names::dendrites_to_dendrites()));
  py::list into_neuron(neuron_module.attr(host::names::dendrites_to_top()));
  if (layers.empty() || into_neuron.empty()) return py::none();
  // Weights that are tensor subclasses keep their own ops: the host's calls run them.
  const py::handle top_obj = into_neuron[into_neuron.size() - 1];
  if (!is_plain_tensor(top_obj.ptr())) return py::none();
  for (size_t k = 1; k <= layers.size(); ++k) {
    if (k < into_dendrites.size() && !is_plain_tensor(py::handle(into_dendrites[k]).ptr())) return py::none();
  }
  layers.insert(0, host::member(neuron_module, host::names::main_module()));
  std::optional<std::vector<at::Tensor>> outs =
      candidate_layer_outputs(layers, args, kwargs, /*may_share_storage=*/false);
  if (!outs) return py::none();
  py::object activation = host::get(host::names::get_arb_forward_function());
  at::Tensor out = std::move((*outs)[0]);
  py::object view_tuple = neuron_module.attr(host::names::view_tuple_for())(host::wrap(out));
  const Dims view = host::int_vector(view_tuple);
  const at::Tensor top = host::tensor(top_obj, "dendrites_to_top[-1]");
  std::vector<at::Tensor> dendrite_values;
  py::list dendrite_outs;
  for (size_t k = 0; k + 1 < outs->size(); ++k) {
    at::Tensor value = std::move((*outs)[k + 1]);  // each raw output freed once summed
    const at::Tensor weights = host::tensor(into_dendrites[k + 1], "dendrites_to_dendrites entry");
    for (size_t j = 0; j < k; ++j) value = value + weights.select(0, j).view(view) * dendrite_values[j];
    py::object activated = activation(host::wrap(std::move(value)));
    // Known only once it has run: the host's calls then run the activation once more.
    if (!is_plain_tensor(activated.ptr())) return py::none();
    dendrite_values.push_back(host::tensor(activated, "the dendrite nonlinearity's result"));
    dendrite_outs.append(activated);
  }
  for (size_t k = 0; k < dendrite_values.size(); ++k) out = out + top.select(0, k).view(view) * dendrite_values[k];
  return py::make_tuple(host::wrap(out), dendrite_outs, view_tuple);
}

}  // namespace

void register_accepted_forward(py::module_& m) {
  m.def("accepted_forward", &accepted_forward, py::arg("neuron_module"),
        "For a neuron module with accepted dendrites: returns (out, dendrite_outs, view_tuple), the\n"
        "neuron's output with every dendrite's contribution, the dendrites' activated outputs and the\n"
        "module's view_tuple_for(out), computing main_module and the dendrite layers without their\n"
        "Python calls (the same values as calling them). Returns None when they must be called through\n"
        "Python: layers other than plain Linear or ungrouped zero-padded convolutions, hooks, a\n"
        "replaced, patched or compiled forward, tensor subclasses, a torch-function mode, or anything\n"
        "but one tensor input.");
}

}  // namespace dgr::modules
