// modules_dgr: the inputs of a layer call as the candidates (and the host's dendrite
// layers) get them: every tensor of a nested structure cut from the neuron's graph when the
// graph-mode settings say so, and the device the inputs live on.
#include "modules_dgr.h"

#include <c10/core/DeviceGuard.h>
#include <torch/csrc/autograd/custom_function.h>

#include <string>

namespace dgr::modules {
namespace {

// Identity forward, zero gradient backward.
struct Killer : public torch::autograd::Function<Killer> {
  static at::Tensor forward(torch::autograd::AutogradContext*, const at::Tensor& inp) { return inp; }
  static torch::autograd::variable_list backward(torch::autograd::AutogradContext*,
                                                 torch::autograd::variable_list grad_out) {
    return {grad_out[0].mul(0)};
  }
};

at::Tensor grad_killer(const at::Tensor& inp) { return Killer::apply(inp); }

py::object killed_tensor(py::handle value, bool killing, py::object& device) {
  at::Tensor t = host::tensor(value);
  device = py::cast(t.device());
  if (!killing) return py::reinterpret_borrow<py::object>(value);
  c10::OptionalDeviceGuard guard(t.device());
  // Passing through the zero-gradient identity first would be detached right away,
  // so the detached copy is taken directly: same values, no graph.
  return host::wrap(t.detach().clone());
}

// Walks every item of a list or tuple, storing each result into `out` (the list itself,
// changed in place, or the tuple being rebuilt).
template <typename Sequence>
void walk_items(const Sequence& items, bool killing, py::object& device, Sequence& out) {
  for (size_t i = 0; i < items.size(); ++i) {
    py::tuple done = killer_recursive(items[i], killing);
    out[i] = done[0];
    if (!done[1].is_none()) device = done[1];
  }
}

py::tuple preprocess_dg(py::args args, py::kwargs kwargs) {
  py::object args2 = killer_recursive(args, host::flag(host::names::get_dendrite_graph_mode()))[0];
  py::object kwargs2 = killer_recursive(kwargs, host::flag(host::names::get_dendrite_graph_mode()))[0];
  return py::make_tuple(args2, kwargs2);
}

}  // namespace

py::tuple killer_recursive(py::handle in_vals, bool killing) {
  host::RecursionGuard guard(" while walking the inputs of a neuron module");
  PyObject* obj = in_vals.ptr();
  py::object device = py::none();
  if (PyList_CheckExact(obj)) {
    py::list items = py::reinterpret_borrow<py::list>(in_vals);
    walk_items(items, killing, device, items);
    return py::make_tuple(in_vals, device);
  }
  if (PyTuple_CheckExact(obj)) {
    py::tuple items = py::reinterpret_borrow<py::tuple>(in_vals);
    if (items.empty()) return py::make_tuple(in_vals, device);
    py::tuple rebuilt(items.size());
    walk_items(items, killing, device, rebuilt);
    return py::make_tuple(rebuilt, device);
  }
  if (PyDict_CheckExact(obj)) {
    py::dict items = py::reinterpret_borrow<py::dict>(in_vals);
    py::list keys(items.attr("keys")());
    for (py::handle key : keys) {
      py::tuple done = killer_recursive(items[key], killing);
      items[key] = done[0];
      if (!done[1].is_none()) device = done[1];
    }
    return py::make_tuple(in_vals, device);
  }
  if (host::is_tensor(in_vals)) {
    py::object result = killed_tensor(in_vals, killing, device);
    return py::make_tuple(result, device);
  }
  return py::make_tuple(in_vals, device);
}

CandidateInputs candidate_inputs(py::handle dendrite_module, py::handle args, py::handle kwargs, bool cut,
                                 bool training) {
  py::tuple walked_args = killer_recursive(args, cut);
  py::tuple walked_kwargs = killer_recursive(kwargs, cut);
  CandidateInputs in{walked_args[0], walked_kwargs[0], walked_args[1], std::nullopt};
  if (in.device.is_none()) in.device = walked_kwargs[1];
  if (in.device.is_none() && training) {
    host::argument_error(host::Mistake::bad_value, "forward_candidates",
                         "the inputs of layer " + std::string(py::str(dendrite_module.attr(host::names::name()))) +
                             " hold no tensor, so the candidates' device cannot be told; pass at least one "
                             "tensor positionally or by keyword");
  }
  if (!in.device.is_none()) in.dev = host::to_device(in.device);
  return in;
}

void register_inputs(py::module_& m) {
  m.def("grad_killer", &grad_killer, py::arg("inp"),
        "Identity whose backward passes a zero gradient: returns a tensor with the values of inp,\n"
        "and backward through it gives inp a gradient of zeros of its shape.\n\n"
        "Raises TypeError when inp is not a tensor.");
  m.def("killer_recursive",
        [](py::handle in_vals, py::handle killing) { return killer_recursive(in_vals, host::truthy(killing)); },
        py::arg("in_vals"), py::arg("killing"),
        "Walks a nested input structure and, when killing is truthy, replaces every tensor by a\n"
        "detached clone, so that nothing computed from it sends gradients back into the inputs.\n"
        "Only exact list, tuple and dict are walked (subclasses are leaves); lists and dicts are\n"
        "changed in place, tuples rebuilt. Returns (structure, device of the last tensor found or None).\n\n"
        "Raises RecursionError for a structure that contains itself.");
  m.def("preprocess_dg", &preprocess_dg,
        "Cuts the gradient path of the layer inputs under the dendrite graph mode: returns\n"
        "(args2, kwargs2), the positional arguments as a tuple and the keyword arguments as a dict,\n"
        "each passed through killer_recursive with GDL.pc.get_dendrite_graph_mode() as the flag.");
}

}  // namespace dgr::modules
