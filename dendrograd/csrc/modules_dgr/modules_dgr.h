// Shared declarations of the modules_dgr extension (candidate dendrites: set-up,
// forward path and correlation learning). The learning step's own types are in
// learning.h, the user-facing diagnostics in messages.h.
#pragma once

#include "host_contract.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dgr::modules {

using Dims = std::vector<int64_t>;

// Sets element 0 of a one-element (or larger) tensor.
inline void set_element0(const at::Tensor& t, double value) {
  at::NoGradGuard no_grad;
  (t.dim() == 0 ? t : t.reshape({-1}).select(0, 0)).fill_(value);
}

// ---- shape reduction (shape_reduction.cpp) ----
// Per-node reduction of a tensor shaped like a neuron module's output.
struct Reduction {
  py::object triple;  // (math_tuple, view_tuple, full_mult) as handed to Python
  Dims math_dims;     // reduced dimensions
  Dims view_shape;    // broadcasts a per-node vector back
  double full_mult = 1.0;  // number of reduced elements per node
};
Reduction tuples_and_mult(const at::Tensor& val, py::handle values);

// ---- inputs (inputs.cpp) ----
// Cuts the gradient path of every tensor in a nested list/tuple/dict structure.
// Returns (processed structure, device of the last tensor found or None).
py::tuple killer_recursive(py::handle in_vals, bool killing);

// How the candidates get the tensors of a layer call (candidate_graph_mode).
enum class Cut {
  copy,   // detached copies (the setting True): a candidate may change its copy in place
  share,  // detached aliases of the tensors themselves (False): no copy, no graph. The
          // network's backward frees the graph behind them before the candidates learn,
          // so no candidate gradient could flow into it anyway.
};

// A tensor the candidates read through an alias, and its version when they got it.
struct SharedTensor {
  at::Tensor tensor;
  int64_t version = 0;
};

// A forward call's inputs as the candidates get them (see Cut), and the device they are on.
struct CandidateInputs {
  py::object args, kwargs, device;
  std::optional<at::Device> dev;
  std::vector<SharedTensor> shared;  // Cut::share: what a candidate must not change in place
};
// ValueError in training when the inputs hold no tensor (the candidates' device is unknown).
CandidateInputs candidate_inputs(py::handle dendrite_module, py::handle args, py::handle kwargs, Cut cut,
                                 bool training);
// A nested structure (the accepted dendrites' outputs) as the candidates get it; aliases
// are added to `shared`. Containers are changed in place for Cut::copy, rebuilt for Cut::share.
py::object cut_for_candidates(py::handle in_vals, Cut cut, std::vector<SharedTensor>& shared);
// ValueError naming the layer when a candidate changed a tensor it shares with the network
// in place (its version moved).
void check_shared_unchanged(py::handle dendrite_module, const std::vector<SharedTensor>& shared);

// ---- the candidate forward path (candidate_forward.cpp) ----
// Stops at the debugger when a value holder has no stored output under device_index.
void check_dendrite_outs(py::handle values, py::handle device_index);

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
// Where a holder keeps the outputs of one forward call: their device key and device.
struct CallOutputs {
  py::object key;
  at::Device device;
};
// Looks under the error's own key first, then under every other (a layer whose output
// moves to another device gets its error there). Nothing when no output of `call` is stored.
std::optional<CallOutputs> outputs_of_call(py::handle holder, py::handle call, long long error_key);
// What drop_stranded_entries dropped that had been stored for pairing and was never paired.
struct Stranded {
  size_t outputs = 0, errors = 0;
  std::vector<std::string> keys;  // the device keys they were under
};
// Empties a holder's lists under every device key but the one it learns from (its
// `device`), keeping outputs whose error may still come: nothing is learned from those
// keys, so what stays there would only pile up.
Stranded drop_stranded_entries(py::handle holder);
// The backward hook: stores `val` as the neuron error of `call` (None: positional) (apply_step.cpp).
void filter_backward_for_call(const at::Tensor& val, py::handle values, py::handle call);

// ---- candidate layers without their Python calls (stacked_candidates.cpp) ----
// The outputs of a module's candidate layers on the call's inputs, computed here without
// calling the layers through Python: as one product on stacked weights where that pays and
// may_share_storage allows views of one result, else one product each. Nothing when the
// layers or the call need the call per candidate: anything but one plain tensor argument,
// layers other than Linear and ungrouped zero-padded convolutions of one geometry, tensor
// subclasses or a torch-function mode, hooks, a replaced forward.
std::optional<std::vector<at::Tensor>> candidate_layer_outputs(const py::list& candidates, py::handle args,
                                                               py::handle kwargs, bool may_share_storage);

// Whether obj is exactly a torch.Tensor or torch.nn.Parameter: a subclass may override
// what an op does with it (__torch_function__), so only these are computed from here.
bool is_plain_tensor(PyObject* obj);

// Whether function is one of torch's activations that returns a new tensor and leaves its
// input alone (an in-place one cannot work on views of one shared result).
bool leaves_input_intact(py::handle function);

// ---- bindings, one per concern; module.cpp calls them in load order ----
void register_registry(py::module_& m);           // value registry, variant names, hooks
void register_roles_and_modes(py::module_& m);    // parameter role tags, mode switches
void register_lifecycle(py::module_& m);          // candidate set-up and reset
void register_inputs(py::module_& m);             // gradient killing
void register_shape_reduction(py::module_& m);    // get_tuples_and_mult
void register_candidate_forward(py::module_& m);  // the p-mode forward path
void register_accepted_forward(py::module_& m);   // a neuron's forward with accepted dendrites
void register_running_scores(py::module_& m);     // running statistics
void register_correlation_step(py::module_& m);   // covariance and correlation loss
void register_best_scores(py::module_& m);        // epoch-end best-score bookkeeping
void register_apply_step(py::module_& m);         // gradient application at step and zero_grad
void register_gathered_backward(py::module_& m);  // apply_dg_grads_together
void register_kernels(py::module_& m);            // the correlation kernels as tensor functions
void register_pairing(py::module_& m);            // watch_neuron_error

}  // namespace dgr::modules
