// modules_dgr: a neuron module's forward with its accepted dendrites, computed without
// the layers' Python calls where that gives exactly what the calls give.
#include "modules_dgr.h"

#include <optional>
#include <vector>

namespace dgr::modules {
namespace {

// Every connection between accepted dendrites as one [K, K, ...] tensor: entry [k][j] is
// the weight row from dendrite j into dendrite k (j < k), zero elsewhere. Entry k + 1 of
// dendrites_to_dendrites holds dendrite k's k rows. Undefined for a 0-dimensional entry
// (the host's calls then raise what they raise).
at::Tensor connection_square(const py::list& into_dendrites, int64_t dendrites) {
  std::vector<at::Tensor> padded;
  for (int64_t k = 0; k < dendrites; ++k) {
    const at::Tensor weights = host::tensor(into_dendrites[k + 1], "dendrites_to_dendrites entry");
    if (weights.dim() == 0) return {};
    if (k == 0) {  // no rows: zeros without a graph, so that the empty weight gets no gradient
      std::vector<int64_t> shape = weights.sizes().vec();
      shape[0] = dendrites;
      padded.push_back(at::zeros(shape, weights.options()));
      continue;
    }
    const at::Tensor rows = weights.narrow(0, 0, k);
    std::vector<int64_t> pad(2 * rows.dim(), 0);
    pad.back() = dendrites - k;  // zero rows after the real ones, along the first dimension
    padded.push_back(at::constant_pad_nd(rows, pad));
  }
  return at::stack(padded);
}

// The accepted dendrites' activated outputs from their layers' raw outputs. Dendrite k's
// value is its raw output plus, in order j = 0 .. k-1, row j of its connections times
// dendrite j's output. The sums run column by column: once dendrite j is known, its term is
// added to every later dendrite's value in one product, element for element the sums the
// host's dendrite-by-dendrite loop would form (K products instead of K^2 / 2).
// accepted_outputs in the host runs the same ops, so the gradients agree bit for bit too.
std::optional<std::vector<at::Tensor>> cascade(const std::vector<at::Tensor>& raw, const py::list& into_dendrites,
                                               const Dims& view, py::handle activation) {
  const auto dendrites = static_cast<int64_t>(raw.size());
  const at::Tensor square = connection_square(into_dendrites, dendrites);
  if (!square.defined()) return std::nullopt;
  at::Tensor values = at::stack(raw);
  std::vector<at::Tensor> activated;
  for (int64_t j = 0; j < dendrites; ++j) {
    // Its own copy: an activation that keeps its input for the backward (or works on it in
    // place) would otherwise hold on to the whole stack.
    py::object out = activation(host::wrap(values.select(0, 0).clone()));
    // Known only once it has run: the host's calls then run the activation once more.
    if (!is_plain_tensor(out.ptr())) return std::nullopt;
    activated.push_back(host::tensor(out, "the dendrite nonlinearity's result"));
    const int64_t later = dendrites - j - 1;
    if (later == 0) break;
    Dims column_view{later};
    column_view.insert(column_view.end(), view.begin(), view.end());
    const at::Tensor column = square.narrow(0, j + 1, later).select(1, j).view(column_view);
    values = values.narrow(0, 1, later) + column * activated.back();
  }
  return activated;
}

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
  if (layers.empty() || into_neuron.empty() || into_dendrites.size() <= layers.size()) return py::none();
  // Weights that are tensor subclasses keep their own ops: the host's calls run them.
  const py::handle top_obj = into_neuron[into_neuron.size() - 1];
  if (!is_plain_tensor(top_obj.ptr())) return py::none();
  for (size_t k = 1; k <= layers.size(); ++k) {
    if (!is_plain_tensor(py::handle(into_dendrites[k]).ptr())) return py::none();
  }
  layers.insert(0, host::member(neuron_module, host::names::main_module()));
  std::optional<std::vector<at::Tensor>> outs =
      candidate_layer_outputs(layers, args, kwargs, /*may_share_storage=*/false);
  if (!outs) return py::none();
  at::Tensor out = std::move((*outs)[0]);
  outs->erase(outs->begin());
  py::object view_tuple = neuron_module.attr(host::names::view_tuple_for())(host::wrap(out));
  const Dims view = host::int_vector(view_tuple);
  const at::Tensor top = host::tensor(top_obj, "dendrites_to_top[-1]");
  std::optional<std::vector<at::Tensor>> dendrite_values =
      cascade(*outs, into_dendrites, view, host::get(host::names::get_arb_forward_function()));
  if (!dendrite_values) return py::none();
  py::list dendrite_outs;
  for (size_t k = 0; k < dendrite_values->size(); ++k) {
    out = out + top.select(0, k).view(view) * (*dendrite_values)[k];
    dendrite_outs.append(host::wrap((*dendrite_values)[k]));
  }
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
