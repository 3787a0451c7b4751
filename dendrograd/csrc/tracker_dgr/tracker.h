// Shared declarations of the tracker_dgr extension (the training tracker's add-on side):
// the step status constants, the tracker's member_vars, the add-on's own per-tracker
// record, and what one concern's file calls in another's.
#pragma once

#include "host_contract.h"

#include <optional>

namespace dgr::tracker {

namespace names = host::names;

constexpr int STEP_CLEARED = 0;  // zero_grad ran since the last step
constexpr int STEP_CALLED = 1;   // a step ran since the last zero_grad

// Stand-in accuracy series for the p epochs of the host's graphs (129 entries).
inline constexpr int kPAccuraciesValues[129] = {
    72, 74, 75, 77, 78, 79, 80, 81, 82, 82, 83, 84, 84, 85, 85, 86, 86, 87, 87, 87, 88, 88,
    88, 89, 89, 89, 89, 90, 90, 90, 90, 90, 91, 91, 91, 91, 91, 91, 92, 92, 92, 92, 92, 92,
    92, 92, 93, 93, 93, 93, 93, 93, 93, 93, 93, 93, 94, 94, 94, 94, 94, 94, 94, 94, 94, 94,
    94, 94, 94, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 96, 96,
    96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96,
    97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97};
static_assert(sizeof(kPAccuraciesValues) / sizeof(int) == 129);

inline py::handle MDG() { return DGR_CACHED_MODULE("dendrograd.modules_dgr"); }

// ---- the tracker's member_vars --------------------------------------------------------
// Read from the tracker passed in (host::member_var reads the global tracker, which the
// host contract says is the same object).
inline py::object member_var(py::handle tracker, py::handle key) {
  return tracker.attr(names::member_vars())[key];
}
inline void set_member_var(py::handle tracker, py::handle key, py::handle value) {
  tracker.attr(names::member_vars())[key] = value;
}
// `mode` is an interned name: DGR_STR("p").
inline bool mode_is(py::handle tracker, py::handle mode) {
  return host::equals(member_var(tracker, names::mode()), mode);
}
// epoch_last_improved = num_epochs_run.
inline void mark_improved_now(py::handle tracker) {
  set_member_var(tracker, names::epoch_last_improved(), member_var(tracker, names::num_epochs_run()));
}

// ---- what the add-on remembers per tracker (tracker_record.cpp) ------------------------
// The add-on's own facts about a tracker (the parameters frozen for p mode, the short-epoch
// warning, the size of the process group it trains with) are kept on the add-on's side,
// per tracker object. Where the tracker itself declares the attribute, it is mirrored there
// and the tracker's value is the one read, so a host that resets or restores it is followed.
// recalled: the tracker's attribute where declared, else the record, else `absent`.
py::object recalled(py::handle tracker, py::handle name, py::handle absent);
// Keeps `value` in the record and, where the tracker declares the attribute, sets it there.
void remember(py::handle tracker, py::handle name, py::handle value);
// The record itself, for facts no tracker declares that change at every step (no mirror to check).
py::dict own_record(py::handle tracker);

// ---- optimizer set-up (optimizer_setup.cpp) -------------------------------------------
// The bound method `function.__get__(optimizer)` of one of the module's wrappers.
py::object bind_to(const char* function_name, py::handle optimizer);
void unfreeze_network(py::handle tracker);
void register_optimizer_setup(py::module_& m);

// ---- step and zero_grad (step.cpp) ----------------------------------------------------
// p mode with the candidates learning from stored batches (not live).
bool p_mode_applies_dg_grads(py::handle tracker);
// Whether the optimizer's installed step is the step wrapper (or an lr scheduler's wrapper of it).
bool step_is_ours(py::handle optimizer);
// The candidates learn from the stored batches now, before the step (for a GradScaler's
// first look at the gradients); false when this rank's scaled neuron errors were not finite.
bool learn_candidates_now(py::handle optimizer, py::handle tracker, const at::Tensor& scale);
// What a rank that joined does for each step the others still take (a Join's main hook):
// the candidates' all-reduce of a p-mode step, with nothing of its own in it.
void shadow_candidate_step(py::handle optimizer);
void register_step(py::module_& m);

// ---- GradScaler handling (amp.cpp) ----------------------------------------------------
// The scale a GradScaler handed to this step (optimizer.grad_scale), or an undefined tensor.
at::Tensor handed_scale(py::handle optimizer);
// Stored neuron errors divided by the scale; false when one is not finite.
bool unscale_stored_errors(py::handle tracker, const at::Tensor& scale);
// Whether the optimizer's own step may run under a GradScaler (gradients unscaled here
// unless the candidates learned them from unscaled errors, or the scaler unscaled them:
// `scale` undefined). True without a scaler.
bool scaled_step_allowed(py::handle optimizer, const at::Tensor& scale, bool candidates_learned);
// The optimizer's own step with grad_scale / found_inf hidden from it.
py::object original_step(py::handle optimizer, py::object closure);
// A gradient full of `fill` on one parameter per device that has none, for the scaler's inf
// check; returns the (parameter, gradient) pairs it gave.
py::list give_every_device_a_gradient(py::handle optimizer, double fill);
// Makes GradScaler's unscale_ and step's inf check have the candidates learn first (once per process).
void let_grad_scalers_reach_candidates();
// True when the candidates learned for a GradScaler since zero_grad (their gradients are
// the scaled ones a backward makes); forgets that, and drops the zero stand-ins it gave.
bool take_learning_for_scaler(py::handle optimizer);
// Forgets it without touching the gradients (zero_grad).
void forget_learning_for_scaler(py::handle optimizer);

// ---- scores and switch rules (scores.cpp, switching.cpp) -------------------------------
void register_scores(py::module_& m);
void register_switching(py::module_& m);

// ---- best-candidate snapshots (candidate_snapshot.cpp) ---------------------------------
// The slot's candidate (and its dendrite connections) as the slot's snapshot, when any of
// its neurons improved this epoch.
void snapshot_whole_slot(py::handle layer, py::handle dendrite_module, py::handle dv, py::handle slot);
// Only the neurons whose best score rose this epoch take the slot's current candidate.
void snapshot_improved_neurons(py::handle layer, py::handle dendrite_module, py::handle dv, py::handle slot);

// ---- diagnostics (diagnostics.cpp) ----------------------------------------------------
// The lines that tell the user how to tag a parameter without parameter_type, and the stop.
void report_untagged_parameter(py::handle param, bool n_mode);
void register_diagnostics(py::module_& m);

}  // namespace dgr::tracker
