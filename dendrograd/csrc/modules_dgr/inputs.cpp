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

// What one walk does to the tensors it finds: keep them, copy them or share them (Cut).
struct Walk {
  bool cutting = false;
  Cut cut = Cut::copy;
  std::vector<SharedTensor>* shared = nullptr;  // Cut::share records its aliases here
  py::object device = py::none();               // of the last tensor found
};

py::object walk(py::handle in_vals, Walk& w);

py::object walked_tensor(py::handle value, Walk& w) {
  at::Tensor t = host::tensor(value);
  w.device = py::cast(t.device());
  if (!w.cutting) return py::reinterpret_borrow<py::object>(value);
  if (w.cut == Cut::share) {
    // An inference tensor keeps no version; nothing recorded can change it in place anyway.
    if (!t.is_inference()) w.shared->push_back({t, t._version()});
    return host::wrap(t.detach());
  }
  c10::OptionalDeviceGuard guard(t.device());
  // Passing through the zero-gradient identity first would be detached right away,
  // so the detached copy is taken directly: same values, no graph.
  return host::wrap(t.detach().clone());
}

// Walks every item of a list or tuple, storing each result into `out` (the list itself,
// changed in place, or a list or tuple being rebuilt).
template <typename Sequence, typename Out>
void walk_items(const Sequence& items, Walk& w, Out& out) {
  for (size_t i = 0; i < items.size(); ++i) out[i] = walk(items[i], w);
}

// Only exact lists, tuples and dicts are walked. Sharing leaves the caller's containers as
// they are (they keep their graphs), so it walks into new ones.
py::object walk(py::handle in_vals, Walk& w) {
  host::RecursionGuard guard(" while walking the inputs of a neuron module");
  PyObject* obj = in_vals.ptr();
  const bool rebuild = w.cutting && w.cut == Cut::share;
  if (PyList_CheckExact(obj)) {
    py::list items = py::reinterpret_borrow<py::list>(in_vals);
    py::list out = rebuild ? py::list(items) : items;
    walk_items(items, w, out);
    return std::move(out);
  }
  if (PyTuple_CheckExact(obj)) {
    py::tuple items = py::reinterpret_borrow<py::tuple>(in_vals);
    if (items.empty()) return py::reinterpret_borrow<py::object>(in_vals);
    py::tuple rebuilt(items.size());
    walk_items(items, w, rebuilt);
    return std::move(rebuilt);
  }
  if (PyDict_CheckExact(obj)) {
    py::dict items = py::reinterpret_borrow<py::dict>(in_vals);
    py::dict out = rebuild ? py::reinterpret_steal<py::dict>(PyDict_Copy(obj)) : items;
    if (!out) throw py::error_already_set();
    py::list keys(items.attr("keys")());
    for (py::handle key : keys) out[key] = walk(items[key], w);
    return std::move(out);
  }
  if (host::is_tensor(in_vals)) return walked_tensor(in_vals, w);
  return py::reinterpret_borrow<py::object>(in_vals);
}

py::tuple preprocess_dg(py::args args, py::kwargs kwargs) {
  py::object args2 = killer_recursive(args, host::flag(host::names::get_dendrite_graph_mode()))[0];
  py::object kwargs2 = killer_recursive(kwargs, host::flag(host::names::get_dendrite_graph_mode()))[0];
  return py::make_tuple(args2, kwargs2);
}

}  // namespace

py::tuple killer_recursive(py::handle in_vals, bool killing) {
  Walk w;
  w.cutting = killing;
  py::object result = walk(in_vals, w);
  return py::make_tuple(result, w.device);
}

py::object cut_for_candidates(py::handle in_vals, Cut cut, std::vector<SharedTensor>& shared) {
  Walk w{true, cut, &shared};
  return walk(in_vals, w);
}

CandidateInputs candidate_inputs(py::handle dendrite_module, py::handle args, py::handle kwargs, Cut cut,
                                 bool training) {
  CandidateInputs in;
  Walk w{true, cut, &in.shared};
  in.args = walk(args, w);
  in.device = w.device;
  w.device = py::none();
  in.kwargs = walk(kwargs, w);
  if (in.device.is_none()) in.device = w.device;
  if (in.device.is_none() && training) {
    host::argument_error(host::Mistake::bad_value, "forward_candidates",
                         "the inputs of layer " + std::string(py::str(dendrite_module.attr(host::names::name()))) +
                             " hold no tensor, so the candidates' device cannot be told; pass at least one "
                             "tensor positionally or by keyword");
  }
  if (!in.device.is_none()) in.dev = host::to_device(in.device);
  return in;
}

void check_shared_unchanged(py::handle dendrite_module, const std::vector<SharedTensor>& shared) {
  for (const SharedTensor& s : shared) {
    if (s.tensor._version() == s.version) continue;
    host::argument_error(host::Mistake::bad_value, "forward_candidates",
                         "a candidate of layer " + std::string(py::str(dendrite_module.attr(host::names::name()))) +
                             " changed its input in place; with GDL.pc.get_candidate_graph_mode() False the "
                             "candidates read the layer's own inputs and the accepted dendrites' outputs, not "
                             "copies, so this changed the network's tensor. Set candidate_graph_mode True (each "
                             "candidate then gets its own copy) or make the layer leave its input alone");
  }
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
