// Shared declarations of the modules_dgr extension (candidate dendrites: set-up,
// forward path and correlation learning).
#pragma once

#include "host_contract.h"

#include <optional>
#include <vector>

namespace dgr::modules {

// Per-node reduction of a tensor shaped like a neuron module's output.
struct Reduction {
  py::object triple;               // (math_tuple, view_tuple, full_mult) as handed to Python
  std::vector<int64_t> math_dims;  // reduced dimensions
  std::vector<int64_t> view_shape; // broadcasts a per-node vector back
  double full_mult = 1.0;          // number of reduced elements per node
};
Reduction tuples_and_mult(const at::Tensor& val, py::handle values);

// Cuts the gradient path of every tensor in a nested list/tuple/dict structure.
// Returns (processed structure, device of the last tensor found or None).
py::tuple killer_recursive(py::handle in_vals, bool killing);

// Sets element 0 of a one-element (or larger) tensor.
void set_element0(const at::Tensor& t, double value);

// ---- pairing of stored outputs with neuron errors (pairing.cpp) ----
// A new forward-call tag; stored outputs and the error of one call carry the same one.
py::object open_forward_call();
void tag_with_call(py::handle tensor, py::handle call);
bool is_tagged(py::handle stored);

// What reconcile_stored found on a holder's two lists of one device.
struct StoredBatches {
  size_t ready = 0;            // (error, output) pairs now at the front of both lists
  size_t pending = 0;          // outputs whose error may still come (at the end of the output list)
  size_t dropped_outputs = 0;  // outputs whose error can no longer come
  size_t dropped_errors = 0;   // tagged errors whose output is gone
};
// Reorders the lists in place so that the first `ready` entries of both are pairs of
// the same forward call, oldest first, and drops what can never be paired.
StoredBatches reconcile_stored(py::list outs, py::list errors);
// Drops stored outputs whose error can no longer come; returns how many.
size_t drop_unreachable_outputs(py::list outs);
// Entries of a stored list that carry no call tag (positional pairing).
size_t count_positional(py::handle stored);
// Appends a neuron error to a holder's list, or sums it into the error already stored
// for the same call. `summed` is shared by the holders of one backward hook call.
void store_error_for_call(py::list stored, const at::Tensor& error, py::handle error_obj, py::handle call,
                          std::vector<std::pair<PyObject*, py::object>>& summed);
// The backward hook: stores `val` as the neuron error of `call` (None: positional).
void filter_backward_for_call(const at::Tensor& val, py::handle values, py::handle call);
void register_pairing(py::module_& m);

// The outputs of a module's candidate layers on the call's inputs, computed here without
// calling the layers through Python (stacked_candidates.cpp): as one product on stacked
// weights where that pays and may_share_storage allows views of one result, else one
// product each. Nothing when the layers or the call need the call per candidate: anything
// but one plain tensor argument, layers other than Linear and ungrouped zero-padded
// convolutions of one geometry, tensor subclasses or a torch-function mode, hooks, a
// replaced forward.
std::optional<std::vector<at::Tensor>> candidate_layer_outputs(const py::list& candidates, py::handle args,
                                                               py::handle kwargs, bool may_share_storage);

// Whether obj is exactly a torch.Tensor or torch.nn.Parameter: a subclass may override
// what an op does with it (__torch_function__), so only these are computed from here.
bool is_plain_tensor(PyObject* obj);

// Whether function is one of torch's activations that returns a new tensor and leaves its
// input alone (an in-place one cannot work on views of one shared result).
bool leaves_input_intact(py::handle function);

// Registers the forward path, running statistics, correlation loss, best-score
// bookkeeping and gradient application (learning.cpp).
void register_learning(py::module_& m);

// Registers the correlation kernels as plain tensor functions (kernel_bindings.cpp).
void register_kernels(py::module_& m);

}  // namespace dgr::modules
