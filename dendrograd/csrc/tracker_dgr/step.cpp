// The step and zero_grad wrappers: candidate gradients applied once per step in p mode,
// the two-state step status, and the Python functions the optimizers are bound to.
#include "tracker.h"
#include "distributed.h"

#include <pybind11/eval.h>

#include <optional>
#include <utility>

namespace dgr::tracker {
namespace {

// What the candidate side of one step did.
struct StepOutcome {
  bool applied = false;     // candidate gradients were applied (here or by the ranks' average)
  bool allowed = true;      // the optimizer's own step may run
  bool overflowed = false;  // this rank's scaled neuron errors were not finite
};

}  // namespace

// True when the step installed on `optimizer` is our step wrapper or a wrapper around it
// (an lr scheduler's step counter wraps it with functools.wraps: `__wrapped__` leads back).
bool step_is_ours(py::handle optimizer) {
  py::object ours = host::this_module().attr("closure_arb_step");
  py::object step = py::getattr(optimizer, "step", py::none());
  for (int depth = 0; depth < 16 && !step.is_none(); ++depth) {
    if (step.is(ours) || py::getattr(step, "__func__", py::none()).is(ours)) return true;
    step = py::getattr(step, "__wrapped__", py::none());
  }
  return false;
}

namespace {

// The optimizer's own zero_grad with set_to_none=True (or as it is, for a zero_grad that
// takes no such argument).
void clear_gradients(py::handle optimizer) {
  try {
    optimizer.attr("_original_zero")(py::arg("set_to_none") = true);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    optimizer.attr("_original_zero")();
  }
}

// Turns the stored batches into candidate gradients (after unscaling the stored errors
// when a GradScaler drives the step). An ordinary exception under a process group (a
// debugger stop that raises in a batch job) is returned instead of raised: this rank still
// takes part in the step's all-reduce, so no other rank waits in it.
std::optional<py::error_already_set> learn_from_stored_batches(py::handle tracker, const at::Tensor& scale,
                                                              StepOutcome& outcome) {
  try {
    if (scale.defined() && !unscale_stored_errors(tracker, scale)) {
      // An overflow of the scaled backward: nothing is learned from this iteration; the
      // next zero_grad discards the stored batches.
      outcome.allowed = false;
      outcome.overflowed = true;
      if (host::extra_verbose()) host::print("arb_step: a scaled neuron error is not finite, the candidates skip it");
    } else {
      tracker.attr(names::apply_dg_grads())();
      outcome.applied = true;
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception) || !dist::in_process_group()) throw;
    return std::move(e);
  }
  return std::nullopt;
}

// p mode's candidate learning at a step that follows a zero_grad. A failure is raised at
// once, or handed back in `deferred` when the caller finishes the optimizer step first.
StepOutcome apply_candidate_gradients(py::handle optimizer, py::handle tracker, const at::Tensor& scale,
                                      std::optional<py::error_already_set>* deferred) {
  if (host::extra_verbose()) host::print("calling arb_step");
  // The ordinary loss left gradients on the candidates. They go to None, so that a slot
  // with a gradient after apply_dg_grads is one that learned at this step.
  clear_gradients(optimizer);
  StepOutcome outcome;
  std::optional<py::error_already_set> failure = learn_from_stored_batches(tracker, scale, outcome);
  // Every rank takes part whatever it learned (an overflow, a bad batch): the average of
  // the ranks that learned becomes every rank's step.
  if (dist::reduce_candidate_step(tracker)) {
    outcome.applied = true;
    outcome.allowed = true;
  }
  if (failure && !deferred) {
    set_member_var(tracker, names::step_status(), py::int_(STEP_CALLED));
    failure->restore();
    throw py::error_already_set();
  }
  if (failure) *deferred = std::move(failure);
  return outcome;
}

// Clips each neuron module's candidate gradients to get_candidate_grad_clipping() (0: off).
void clip_candidate_gradients(py::handle tracker) {
  if (host::number(names::get_candidate_grad_clipping()) == 0.0) return;
  py::object clip = DGR_CACHED_MODULE("torch.nn.utils").attr("clip_grad_norm_");
  for (py::handle neuron_module : tracker.attr(names::neuron_module_vector())) {
    // Only the candidates: the frozen neuron weights keep gradients through a p phase.
    py::list candidates;
    for (py::handle param : neuron_module.attr("parameters")()) {
      py::object role = py::getattr(param, "parameter_type", py::none());
      if (role.equal(py::str("candidate"))) candidates.append(param);
    }
    if (candidates.empty()) continue;
    clip(candidates, py::arg("max_norm") = host::get(names::get_candidate_grad_clipping()));
  }
}

// Applies the candidate gradients (p mode, once per zero_grad), unscales what a GradScaler
// scaled, clips the candidates. Returns false when the optimizer's own step must be skipped
// (a scaled gradient or neuron error was not finite).
//
// With a process group, an error raised while applying (a debugger stop that raises in a
// batch job) is handed back in `deferred` after the step's all-reduce, so the caller can
// finish the optimizer step like every other rank before raising it; without `deferred`
// it is raised at once.
bool arb_step(py::handle self, std::optional<py::error_already_set>* deferred = nullptr) {
  py::object tracker = host::tracker();
  dist::notify_join(self);  // before this step's collectives, as Join's protocol asks
  dist::count_step(tracker, self);
  py::object status = member_var(tracker, names::step_status());
  at::Tensor scale = handed_scale(self);
  StepOutcome outcome;
  // The candidates may have learned already, when a GradScaler first looked at the gradients.
  bool learned_for_scaler = take_learning_for_scaler(self);
  if (learned_for_scaler) {
    // their gradients are the scaled ones, or the scaler unscaled them
  } else if (p_mode_applies_dg_grads(tracker) && status.equal(py::int_(STEP_CLEARED))) {
    outcome = apply_candidate_gradients(self, tracker, scale, deferred);
  } else if (status.equal(py::int_(STEP_CALLED))) {
    if (host::extra_verbose()) host::print("arb_step called again without zero_grad, skipping dg grads");
  }
  if (!scaled_step_allowed(self, scale, outcome.applied)) outcome.allowed = false;
  if (outcome.applied || learned_for_scaler) clip_candidate_gradients(tracker);
  set_member_var(tracker, names::step_status(), py::int_(STEP_CALLED));
  return outcome.allowed;
}

py::object closure_arb_step(py::handle self, py::object closure) {
  py::object optimizer = py::reinterpret_borrow<py::object>(self);
  if (!closure.is_none()) {
    py::cpp_function wrapped([optimizer, closure]() {
      py::object loss = closure();
      arb_step(optimizer);
      return loss;
    });
    return original_step(optimizer, wrapped);
  }
  py::object result = py::none();
  std::optional<py::error_already_set> deferred;
  if (arb_step(optimizer, &deferred)) {
    result = original_step(optimizer, py::none());
  } else if (host::extra_verbose()) {
    host::print("arb_step: a scaled gradient is not finite, the optimizer step is skipped");
  }
  // Re-bind unless the installed step already leads to ours (an lr scheduler's wrapper).
  if (!step_is_ours(optimizer)) optimizer.attr("step") = bind_to("closure_arb_step", optimizer);
  if (deferred) {  // raised after this rank stepped like the others
    deferred->restore();
    throw py::error_already_set();
  }
  return result;
}

void arb_zero_grad(py::handle self, py::args args, py::kwargs kwargs) {
  if (host::extra_verbose()) host::print("calling arb_zero_grad");
  py::object tracker = host::tracker();
  tracker.attr(names::apply_dg_zero())();
  set_member_var(tracker, names::step_status(), py::int_(STEP_CLEARED));
  forget_learning_for_scaler(self);
  self.attr("_original_zero")(*args, **kwargs);
  if (p_mode_applies_dg_grads(tracker) && host::truthy(py::getattr(self, "_step_supports_amp_scaling", py::none()))) {
    give_every_device_a_gradient(self, 0.0);
  }
  self.attr("zero_grad") = bind_to("arb_zero_grad", self);
}

}  // namespace

// A failure is raised at once, after this rank took part in the step's all-reduce.
bool learn_candidates_now(py::handle optimizer, py::handle tracker, const at::Tensor& scale) {
  return !apply_candidate_gradients(optimizer, tracker, scale, nullptr).overflowed;
}

// A rank that joined answers the all-reduce of the other ranks' p-mode step with nothing
// of its own: without gradients every candidate slot contributes zeros and weight 0, so
// the average counts only the ranks that learned. (n mode's step issues no collective.)
void shadow_candidate_step(py::handle optimizer) {
  py::object tracker = host::tracker();
  if (!p_mode_applies_dg_grads(tracker)) return;
  clear_gradients(optimizer);
  dist::reduce_candidate_step(tracker);
}

bool p_mode_applies_dg_grads(py::handle tracker) {
  return mode_is(tracker, DGR_STR("p")) && !host::flag(names::get_learn_dendrites_live());
}

void register_step(py::module_& m) {
  m.def("_arb_step", [](py::handle self, py::args, py::kwargs) { arb_step(self); }, py::arg("self"));
  m.def("_closure_arb_step", &closure_arb_step, py::arg("self"), py::arg("closure") = py::none());
  m.def("_arb_zero_grad", &arb_zero_grad, py::arg("self"));
  // The wrappers bound to optimizers are plain Python functions over the ones above: a
  // bound method of a builtin has no `__func__.__get__`, which torch's lr schedulers use.
  py::dict scope;
  scope["_impl"] = m;
  py::exec(R"(
def arb_step(self, *args, **kwargs):
    """Applies the stored candidate gradients once per step in p mode (unscaled when a
    GradScaler drives the step, then clipped); updates the step status. Returns None;
    closure_arb_step skips the optimizer's own step when a scaled gradient is not finite.
    Under a GradScaler the candidates learn earlier, when the scaler first unscales or
    checks the gradients (scaler.unscale_, or scaler.step's inf check): the step then
    takes those gradients and clips them."""
    _impl._arb_step(self, *args, **kwargs)

def closure_arb_step(self, closure=None):
    """The optimizer's step with candidate gradients applied first (after the closure's
    backward). Under a GradScaler the gradients are unscaled and the step is skipped when
    one is not finite."""
    return _impl._closure_arb_step(self, closure)

def arb_zero_grad(self, *args, **kwargs):
    """Discards unconsumed candidate data, clears the step status and runs the optimizer's
    own zero_grad."""
    return _impl._arb_zero_grad(self, *args, **kwargs)
)", scope);
  for (const char* name : {"arb_step", "closure_arb_step", "arb_zero_grad"}) {
    py::object function = scope[name];
    function.attr("__module__") = py::str("dendrograd.tracker_dgr");
    m.attr(name) = function;
  }
}

}  // namespace dgr::tracker
