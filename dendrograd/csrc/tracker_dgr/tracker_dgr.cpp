// tracker_dgr: the training tracker's add-on side.
//
//   * optimizer set-up and per-mode parameter filtering,
//   * the step / zero_grad wrappers that drive candidate learning,
//   * epoch score histories, the switch rules and the improvement checks,
//   * two diagnostics for parameters the optimizer does not see.
//
// All state lives in host objects (the tracker's member_vars, the optimizer's
// attributes, the value holders); the only module state is the replacement point
// best_arb_score_improved_this_epoch_fn and the constants below.
#include "host_contract.h"
#include "distributed.h"

#include <pybind11/eval.h>

#include <algorithm>
#include <optional>
#include <cmath>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace host = dgr::host;

namespace dgr::tracker {
namespace {

constexpr int STEP_CLEARED = 0;  // zero_grad ran since the last step
constexpr int STEP_CALLED = 1;   // a step ran since the last zero_grad

// Stand-in accuracy series for the p epochs of the host's graphs (129 entries).
constexpr int kPAccuraciesValues[129] = {
    72, 74, 75, 77, 78, 79, 80, 81, 82, 82, 83, 84, 84, 85, 85, 86, 86, 87, 87, 87, 88, 88,
    88, 89, 89, 89, 89, 90, 90, 90, 90, 90, 91, 91, 91, 91, 91, 91, 92, 92, 92, 92, 92, 92,
    92, 92, 93, 93, 93, 93, 93, 93, 93, 93, 93, 93, 94, 94, 94, 94, 94, 94, 94, 94, 94, 94,
    94, 94, 94, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 95, 96, 96,
    96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96, 96,
    97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97, 97};
static_assert(sizeof(kPAccuraciesValues) / sizeof(int) == 129);


py::handle MDG() { return DGR_CACHED_MODULE("dendrograd.modules_dgr"); }
py::handle method_type() { return DGR_CACHED_MODULE("types").attr("MethodType"); }

// ---- small helpers ------------------------------------------------------------------

py::object mv(py::handle tracker, const char* key) { return tracker.attr(host::names::member_vars())[py::str(key)]; }
void set_mv(py::handle tracker, const char* key, py::handle value) {
  tracker.attr(host::names::member_vars())[py::str(key)] = value;
}
bool mode_is(py::handle tracker, const char* mode) { return mv(tracker, "mode").equal(py::str(mode)); }

using host::extra_verbose;
using host::silent;
using host::verbose;

// Python's len() of any sized object.
Py_ssize_t length(py::handle obj) {
  Py_ssize_t n = PyObject_Length(obj.ptr());
  if (n < 0) throw py::error_already_set();
  return n;
}

// Element 0 of a holder's single value (a one-element tensor) as a number.
double element0(py::handle holder, py::handle name) {
  at::Tensor t = host::tensor_attr(holder, name);
  if (t.numel() == 0) {
    throw py::value_error(host::class_name(holder) + "." + std::string(py::str(name)) +
                          " must hold one value, got an empty tensor");
  }
  return t.reshape({-1})[0].item<double>();
}

// A tensor attribute of a holder, flattened, as doubles on the CPU.
at::Tensor flat_cpu_double(py::handle holder, py::handle name) {
  at::Tensor t = host::tensor_attr(holder, name).detach();
  py::gil_scoped_release no_gil;
  return t.reshape({-1}).to(at::kCPU, at::kDouble).contiguous();
}

py::object python_id(py::handle obj) {
  return py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(obj.ptr()));
}

// The bound method `function.__get__(optimizer)`; the class is left alone. The wrappers
// the module exports are Python functions (see the module init), so a bound wrapper has
// the `__func__` / `__self__` pair that torch's lr schedulers re-bind.
py::object bind_to(const char* function_name, py::handle optimizer) {
  return method_type()(host::this_module().attr(function_name), optimizer);
}

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

// ---- optimizer set-up and filtering -----------------------------------------------------

py::list filter_single_param_group(py::handle params, py::handle mode, bool debug_missing_types) {
  py::list kept;
  bool n_mode = mode.equal(py::str("n"));
  bool p_mode = mode.equal(py::str("p"));
  if (!n_mode && !p_mode) return kept;
  for (py::handle param : params) {
    if (!py::hasattr(param, DGR_STR("parameter_type"))) {
      if (debug_missing_types) {
        host::print(std::string("Dendrolab WARNING: Parameter does not have parameter_type attribute in ") +
                    (n_mode ? "n" : "p") + " mode");
        host::print("You can find the name of this param by going \"up\" in the stack trace to where your model "
                    "exists locally and calling:");
        host::print(host::percent("dendrograd.tracker_dgr.find_param_name_by_id(model, %d)", python_id(param)));
        host::print("Build the optimizer from the model's parameters after dendrolab.utils_dendrolab.initialize_arb(model), "
                    "which tags every parameter of the model it wraps;");
        host::print("for parameters added to the model after wrapping, call dendrolab.utils_dendrolab.retag(model), "
                    "which tags the untagged ones as neuron parameters;");
        host::print("a parameter outside the wrapped model can be tagged by hand: param.parameter_type = \"neuron\".");
        host::debugger_stop("an optimizer parameter has no parameter_type role tag");
      }
      continue;
    }
    py::object role = param.attr(DGR_STR("parameter_type"));
    bool keep;
    if (n_mode) {
      keep = role.equal(py::str("neuron")) ||
             (role.equal(py::str("dendrite")) && host::flag(host::names::get_dendrite_update_mode()));
    } else {
      keep = role.equal(py::str("candidate"));
    }
    if (keep) kept.append(param);
  }
  return kept;
}

// What the wrappers need of an optimizer, checked before anything of it is changed.
void require_optimizer(py::handle optimizer, const char* function) {
  for (const char* name : {"step", "zero_grad", "param_groups", "state"}) {
    if (!py::hasattr(optimizer, name)) {
      throw py::type_error(std::string(function) +
                           ": optimizer must be a torch.optim.Optimizer (step, zero_grad, param_groups and state), "
                           "got " + host::class_name(optimizer) + " without '" + name + "'");
    }
  }
}

void filter_params(py::handle optimizer, bool debug_missing_types, std::vector<py::object>* dropped = nullptr) {
  require_optimizer(optimizer, "filter_params");
  py::object mode = host::member_var(host::names::mode());
  py::object groups = optimizer.attr(DGR_STR("param_groups"));
  long long total_before = 0;
  for (py::handle group : groups) total_before += length(group[py::str("params")]);

  py::list new_groups;
  std::unordered_set<PyObject*> kept_params;
  long long total_kept = 0;
  for (py::handle group : groups) {
    py::list kept = filter_single_param_group(group[py::str("params")], mode, debug_missing_types);
    if (dropped) {
      std::unordered_set<PyObject*> kept_here;
      for (py::handle p : kept) kept_here.insert(p.ptr());
      for (py::handle p : group[py::str("params")]) {
        if (!kept_here.count(p.ptr())) dropped->push_back(py::reinterpret_borrow<py::object>(p));
      }
    }
    if (kept.empty()) continue;  // the whole group goes, hyper-parameters included
    py::object copy = group.attr("copy")();
    copy[py::str("params")] = kept;
    new_groups.append(copy);
    for (py::handle p : kept) kept_params.insert(p.ptr());
    total_kept += static_cast<long long>(kept.size());
  }
  optimizer.attr(DGR_STR("param_groups")) = new_groups;

  py::object state = optimizer.attr(DGR_STR("state"));
  py::list keys(state.attr("keys")());
  for (py::handle key : keys) {
    if (!kept_params.count(key.ptr())) {
      if (PyObject_DelItem(state.ptr(), key.ptr()) < 0) throw py::error_already_set();
    }
  }

  if (verbose()) {
    host::print("Filtered optimizer parameters: mode=" + std::string(py::str(mode)) + ", " +
                std::to_string(total_kept) + " params selected from " + std::to_string(total_before) +
                " total. " + std::to_string(new_groups.size()) + " param-groups remain.");
  }
}

bool p_mode_applies_dg_grads(py::handle tracker);

// Gives requires_grad back to the parameters freeze_network_for_p_mode froze, unless a
// parameter's role changed since (an output-weight row replaced at growth becomes
// "ignored" and stays frozen, as the host left it).
void unfreeze_network(py::handle tracker) {
  py::object record = py::getattr(tracker, "_dgr_frozen_for_p", py::none());
  if (record.is_none()) return;
  for (py::handle entry : record) {
    py::object param = entry[py::int_(0)];
    if (py::getattr(param, "parameter_type", py::none()).equal(entry[py::int_(1)])) {
      param.attr("requires_grad_")(true);
    }
  }
  tracker.attr("_dgr_frozen_for_p") = py::none();
}

// p mode trains only the candidates, so while it lasts the network's own parameters
// (roles "neuron" and "dendrite") that the mode's optimizer dropped compute no weight
// gradients: the network's backward then only carries the neuron errors. Each one frozen
// is recorded on the tracker with its role; the next optimizer set-up outside p mode
// unfreezes them. Not under a process group (DDP needs a parameter that requires grad) nor
// when dendrites learn live (the network trains in p mode too).
void freeze_network_for_p_mode(py::handle tracker, const std::vector<py::object>& dropped) {
  if (!p_mode_applies_dg_grads(tracker) || dist::in_process_group()) {
    unfreeze_network(tracker);
    return;
  }
  py::object record = py::getattr(tracker, "_dgr_frozen_for_p", py::none());
  py::list frozen = record.is_none() ? py::list() : py::reinterpret_borrow<py::list>(record);
  for (const py::object& param : dropped) {
    py::object role = py::getattr(param, "parameter_type", py::none());
    if (!role.equal(py::str("neuron")) && !role.equal(py::str("dendrite"))) continue;
    if (!host::tensor(param, "an optimizer parameter").requires_grad()) continue;
    param.attr("requires_grad_")(false);
    frozen.append(py::make_tuple(param, role));
  }
  tracker.attr("_dgr_frozen_for_p") = frozen;
}

void setup_optimizer_dg(py::handle optimizer) {
  require_optimizer(optimizer, "setup_optimizer_dg");
  py::object zero_grad = py::getattr(optimizer, "zero_grad", py::none());
  py::object underlying = zero_grad.is_none() ? py::none() : py::getattr(zero_grad, "__func__", py::none());
  if (underlying.is(host::this_module().attr("arb_zero_grad"))) {
    host::print("Error: optimizer.zero_grad is already set to arb_zero_grad");
    host::print("setup_optimizer_dg was called again on an optimizer it already wraps;");
    host::print("pass each optimizer through it once (GDL.arb_tracker.setup_optimizer already does so for the "
                "optimizers it builds).");
    host::debugger_stop("setup_optimizer_dg was called on an optimizer it already wraps");
    // Continuing: the wrappers already installed stay. Wrapping again would store the
    // step wrapper as the optimizer's own step, which would then call itself.
    filter_params(optimizer, true);
    return;
  }
  optimizer.attr("_original_step") = optimizer.attr("step");
  optimizer.attr("step") = bind_to("closure_arb_step", optimizer);
  optimizer.attr("_original_zero") = optimizer.attr("zero_grad");
  optimizer.attr("zero_grad") = bind_to("arb_zero_grad", optimizer);
  // In p mode the candidate gradients only come into being inside step, after a
  // GradScaler would have unscaled and checked the gradients: the scaler hands the step
  // its scale instead (grad_scale / found_inf attributes) and the wrapper unscales them.
  if (host::member_var(host::names::mode()).equal(py::str("p"))) {
    optimizer.attr("_step_supports_amp_scaling") = py::bool_(true);
  }
  std::vector<py::object> dropped;
  filter_params(optimizer, true, &dropped);
  freeze_network_for_p_mode(host::tracker(), dropped);
  // Ranks of a process group start every mode from the same structure and add-on state.
  dist::agree_after_restructure(host::tracker());
}

// ---- step and zero_grad ---------------------------------------------------------------

bool p_mode_applies_dg_grads(py::handle tracker) {
  return mode_is(tracker, "p") && !host::flag(host::names::get_learn_dendrites_live());
}

// The scale a GradScaler handed to this step (optimizer.grad_scale), or an undefined tensor.
at::Tensor handed_scale(py::handle optimizer) {
  py::object scale = py::getattr(optimizer, "grad_scale", py::none());
  if (scale.is_none()) return at::Tensor();
  return host::tensor(scale, "optimizer.grad_scale set by a GradScaler");
}

// Divides every gradient of the optimizer's groups by `scale`; true when one is not finite.
bool unscale_optimizer_grads(py::handle optimizer, const at::Tensor& scale) {
  std::vector<at::Tensor> grads;
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    for (py::handle param : group[py::str("params")]) {
      py::object grad = param.attr("grad");
      if (!grad.is_none()) grads.push_back(host::tensor(grad, "a parameter's gradient"));
    }
  }
  py::gil_scoped_release no_gil;
  bool found_inf = false;
  at::Tensor inv = scale.detach().to(at::kFloat).reciprocal();
  for (at::Tensor& grad : grads) {
    at::NoGradGuard no_grad;
    grad.mul_(inv.to(grad.device(), grad.scalar_type()));
    if (!found_inf && !at::isfinite(grad).all().item<bool>()) found_inf = true;
  }
  return found_inf;
}

// True when every gradient of the optimizer's groups is finite.
bool optimizer_grads_finite(py::handle optimizer) {
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    for (py::handle param : group[py::str("params")]) {
      py::object grad = param.attr("grad");
      if (grad.is_none()) continue;
      at::Tensor g = host::tensor(grad, "a parameter's gradient");
      py::gil_scoped_release no_gil;
      if (!at::isfinite(g).all().item<bool>()) return false;
    }
  }
  return true;
}

// Under a GradScaler the neuron errors the hooks stored are the scaled loss's: each stored
// error is replaced by error / scale, so the candidates' statistics, scores and gradients
// are those of the unscaled loss whatever the scale (it changes during training). Returns
// false when a stored error is not finite (the scaled backward overflowed).
bool unscale_stored_errors(py::handle tracker, const at::Tensor& scale) {
  bool finite = true;
  // The candidate slots of a module share one error object per batch: it is unscaled once.
  // The originals stay referenced here so that no address is reused while the map is in use.
  std::vector<std::pair<py::object, py::object>> done;
  for (py::handle neuron_module : tracker.attr(host::names::neuron_module_vector())) {
    py::object holders = neuron_module.attr(host::names::dendrite_module()).attr(host::names::dendrite_values());
    for (py::handle values : holders) {
      py::object per_device = py::getattr(values, host::names::current_parent_d(), py::none());
      if (per_device.is_none()) continue;
      for (py::handle stored : per_device.attr("values")()) {
        py::list errors = py::reinterpret_borrow<py::list>(stored);
        for (size_t k = 0; k < errors.size(); ++k) {
          if (!host::is_tensor(errors[k])) continue;
          py::object original = errors[k];
          auto seen = std::find_if(done.begin(), done.end(),
                                   [&](const auto& entry) { return entry.first.is(original); });
          if (seen != done.end()) {
            errors[k] = seen->second;
            continue;
          }
          at::Tensor error = host::tensor(original);
          at::Tensor unscaled;
          {
            py::gil_scoped_release no_gil;
            at::NoGradGuard no_grad;
            // float16 / bfloat16 errors are unscaled into float32: small ones would underflow
            at::ScalarType type = at::isReducedFloatingType(error.scalar_type()) ? at::kFloat : error.scalar_type();
            unscaled = error.detach().to(type).div(scale.detach().to(error.device(), type));
            if (finite && !at::isfinite(unscaled).all().item<bool>()) finite = false;
          }
          py::object replacement = host::wrap(unscaled);
          // the Python attributes go along: the forward-call tag pairs an error with its outputs
          py::object attributes = py::getattr(errors[k], "__dict__", py::none());
          if (!attributes.is_none()) replacement.attr("__dict__").attr("update")(attributes);
          errors[k] = replacement;
          done.emplace_back(original, replacement);
        }
      }
    }
  }
  return finite;
}

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
  py::object status = mv(tracker, "step_status");
  at::Tensor scale = handed_scale(self);
  bool step_allowed = true;
  bool applied = false;
  if (p_mode_applies_dg_grads(tracker) && status.equal(py::int_(STEP_CLEARED))) {
    if (extra_verbose()) host::print("calling arb_step");
    // The ordinary loss left gradients on the candidates. They go to None, so that a slot
    // with a gradient after apply_dg_grads is one that learned at this step.
    clear_gradients(self);
    std::optional<py::error_already_set> failure;
    try {
      if (scale.defined() && !unscale_stored_errors(tracker, scale)) {
        // An overflow of the scaled backward: nothing is learned from this iteration; the
        // next zero_grad discards the stored batches.
        step_allowed = false;
        if (extra_verbose()) host::print("arb_step: a scaled neuron error is not finite, the candidates skip it");
      } else {
        tracker.attr(host::names::apply_dg_grads())();
        applied = true;
      }
    } catch (py::error_already_set& e) {
      // A debugger stop that raises (a bad batch in a batch job): this rank still takes
      // part in the step's all-reduce below, so no other rank waits in it, then raises.
      if (!e.matches(PyExc_Exception) || !dist::in_process_group()) throw;
      failure = std::move(e);
    }
    // Every rank takes part whatever it learned (an overflow, a bad batch): the average of
    // the ranks that learned becomes every rank's step.
    if (dist::reduce_candidate_step(tracker)) {
      applied = true;
      step_allowed = true;
    }
    if (failure && !deferred) {
      set_mv(tracker, "step_status", py::int_(STEP_CALLED));
      failure->restore();
      throw py::error_already_set();
    }
    if (failure) *deferred = std::move(failure);
  } else if (status.equal(py::int_(STEP_CALLED))) {
    if (extra_verbose()) host::print("arb_step called again without zero_grad, skipping dg grads");
  }
  if (scale.defined()) {
    if (applied) {
      // learned from unscaled errors: the gradients need no unscaling, only the check
      if (!optimizer_grads_finite(self)) step_allowed = false;
    } else if (unscale_optimizer_grads(self, scale)) {
      step_allowed = false;
    }
    py::object found = py::getattr(self, "found_inf", py::none());
    if (!found.is_none() && host::truthy(found)) step_allowed = false;
  }
  if (applied && host::number(host::names::get_candidate_grad_clipping()) != 0.0) {
    py::object clip = DGR_CACHED_MODULE("torch.nn.utils").attr("clip_grad_norm_");
    for (py::handle neuron_module : tracker.attr(host::names::neuron_module_vector())) {
      // Only the candidates: the frozen neuron weights keep gradients through a p phase.
      py::list candidates;
      for (py::handle param : neuron_module.attr("parameters")()) {
        py::object role = py::getattr(param, "parameter_type", py::none());
        if (role.equal(py::str("candidate"))) candidates.append(param);
      }
      if (candidates.empty()) continue;
      clip(candidates, py::arg("max_norm") = host::get(host::names::get_candidate_grad_clipping()));
    }
  }
  set_mv(tracker, "step_status", py::int_(STEP_CALLED));
  return step_allowed;
}

// The optimizer's own step. A GradScaler's grad_scale / found_inf are hidden from it while
// it runs: the gradients are unscaled already.
py::object original_step(py::handle optimizer, py::object closure) {
  bool handed = py::hasattr(optimizer, "grad_scale");
  py::object scale, found;
  if (handed) {
    scale = optimizer.attr("grad_scale");
    found = py::getattr(optimizer, "found_inf", py::none());
    optimizer.attr("grad_scale") = py::none();
    optimizer.attr("found_inf") = py::none();
  }
  py::object result;
  try {
    result = closure.is_none() ? optimizer.attr("_original_step")() : optimizer.attr("_original_step")(closure);
  } catch (...) {
    if (handed) {
      optimizer.attr("grad_scale") = scale;
      optimizer.attr("found_inf") = found;
    }
    throw;
  }
  if (handed) {
    optimizer.attr("grad_scale") = scale;
    optimizer.attr("found_inf") = found;
  }
  return result;
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
  } else if (extra_verbose()) {
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

// The candidates' gradients come into being inside step, after a GradScaler has checked
// the optimizer's gradients for infs on every device that has one, and it refuses a step
// that recorded no check. A zero gradient on one parameter per device that has none
// stands in until then; every other parameter keeps None, so one the step teaches
// nothing is not moved by momentum or weight decay on a zero.
void give_every_device_a_gradient(py::handle optimizer) {
  std::vector<c10::Device> covered;
  std::vector<at::Tensor> stand_ins;
  auto is_covered = [&](const c10::Device& d) { return std::find(covered.begin(), covered.end(), d) != covered.end(); };
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    for (py::handle param : group[py::str("params")]) {
      at::Tensor t = host::tensor(param, "an optimizer parameter");
      if (t.grad().defined()) {
        if (!is_covered(t.device())) covered.push_back(t.device());
        stand_ins.erase(std::remove_if(stand_ins.begin(), stand_ins.end(),
                                       [&](const at::Tensor& s) { return s.device() == t.device(); }),
                        stand_ins.end());
      } else if (!is_covered(t.device())) {
        covered.push_back(t.device());
        stand_ins.push_back(t);
      }
    }
  }
  at::NoGradGuard no_grad;
  for (at::Tensor& t : stand_ins) t.mutable_grad() = at::zeros_like(t);
}

void arb_zero_grad(py::handle self, py::args args, py::kwargs kwargs) {
  if (extra_verbose()) host::print("calling arb_zero_grad");
  py::object tracker = host::tracker();
  tracker.attr(host::names::apply_dg_zero())();
  set_mv(tracker, "step_status", py::int_(STEP_CLEARED));
  self.attr("_original_zero")(*args, **kwargs);
  if (p_mode_applies_dg_grads(tracker) && host::truthy(py::getattr(self, "_step_supports_amp_scaling", py::none()))) {
    give_every_device_a_gradient(self);
  }
  self.attr("zero_grad") = bind_to("arb_zero_grad", self);
}

// ---- score bookkeeping -------------------------------------------------------------------

py::float_ add_scores(py::handle tracker, py::str val_index, py::str member_list) {
  double total_mean_best = 0.0;
  long long layer_id = 0;
  for (py::handle layer : tracker.attr(host::names::neuron_module_vector())) {
    py::object holders = layer.attr(host::names::dendrite_module()).attr(host::names::dendrite_values());
    at::Tensor first = host::tensor_attr(holders[py::int_(0)], val_index).detach();
    double layer_mean_best;
    {
      py::gil_scoped_release no_gil;
      layer_mean_best = first.abs().mean().item<double>();
    }
    long long channels = host::as_int(layer.attr(host::names::out_channels()));

    // Largest magnitude over nodes and candidates; ties go to the later candidate and
    // node, NaN never wins. `found` stays false while only the untouched integer 0 is held.
    bool found = false;
    double layer_max = 0.0;
    std::vector<at::Tensor> columns;  // flattened scores of each candidate slot, read once
    for (long long node = 0; node < channels; ++node) {
      long long candidates = host::integer(host::names::get_global_candidates());
      while (static_cast<long long>(columns.size()) < candidates) {
        columns.push_back(flat_cpu_double(holders[py::int_(columns.size())], val_index));
      }
      for (long long c = 0; c < candidates; ++c) {
        if (node >= columns[c].numel()) {
          throw py::index_error("index " + std::to_string(node) + " is out of bounds for " +
                                std::string(py::str(val_index)) + " of candidate " + std::to_string(c));
        }
      }
      bool plane_found = false;
      double plane_max = 0.0;
      for (long long c = 0; c < candidates; ++c) {
        double v = columns[c].data_ptr<double>()[node];
        if (std::fabs(v) >= std::fabs(plane_max)) {
          plane_max = v;
          plane_found = true;
        }
      }
      if (std::fabs(plane_max) >= std::fabs(layer_max)) {
        layer_max = plane_max;
        found = plane_found;
      }
    }
    if (!found) {
      host::print("Didn't get any non zero scores or a score is nan or inf.");
      host::debugger_stop("no candidate score is non-zero and finite");
      layer_max = 0.0;  // continuing: the layer records 0.0 for this epoch
    }
    py::object history = tracker.attr(host::names::member_vars())[member_list][py::int_(layer_id)];
    history.attr("append")(py::float_(std::fabs(layer_max)));
    total_mean_best += layer_mean_best / static_cast<double>(channels);
    ++layer_id;
  }
  return py::float_(total_mean_best);
}

void add_best_scores(py::handle tracker) {
  double total_mean_best = add_scores(tracker, py::str("best_pearson_correlation"), py::str("best_scores"));
  if (!host::flag(host::names::get_doing_mean_best())) return;
  Py_ssize_t layers = length(tracker.attr(host::names::neuron_module_vector()));
  if (layers == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    throw py::error_already_set();
  }
  total_mean_best /= static_cast<double>(layers);

  py::object switch_epochs = mv(tracker, "switch_epochs");
  py::object num_epochs_run = mv(tracker, "num_epochs_run");
  long long since_switch = length(switch_epochs) == 0
                               ? host::as_int(num_epochs_run)
                               : host::as_int(num_epochs_run) - host::as_int(switch_epochs[py::int_(-1)]) - 1;
  py::list best_means = mv(tracker, "best_mean_scores");
  if (since_switch == 0) {
    if (verbose()) host::print(host::percent("got current best mean ARB %f compared to old 0.0", total_mean_best));
    best_means.append(total_mean_best);
    set_mv(tracker, "best_mean_score_improved_this_epoch", py::int_(1));
    return;
  }
  py::object last_obj = best_means.attr("__getitem__")(-1);
  double last = host::as_float(last_obj);
  double threshold = host::number(host::names::get_arb_improvement_threshold());
  bool better = total_mean_best * (1.0 - threshold) - last > 1e-7 &&
                total_mean_best - last > host::number(host::names::get_arb_improvement_threshold_raw());
  if (better) {
    if (verbose()) {
      host::print("Better current best mean ARB " + host::percent("%f", total_mean_best) + " compared to old " +
                  host::percent("%f", last));
    }
    best_means.append(total_mean_best);
  } else {
    if (verbose()) {
      host::print("Not Better current best mean ARB " + host::percent("%f", total_mean_best) +
                  " compared to old " + host::percent("%f", last));
    }
    best_means.append(last_obj);
  }
  set_mv(tracker, "best_mean_score_improved_this_epoch", py::int_(better ? 1 : 0));
}

void add_current_scores(py::handle tracker) {
  add_scores(tracker, py::str("prev_dendrite_candidate_pearson"), py::str("current_scores"));
}

void add_current_weights(py::handle tracker) {
  py::handle np = DGR_CACHED_MODULE("numpy");
  for (py::handle layer : tracker.attr(host::names::neuron_module_vector())) {
    if (!host::truthy(layer.attr(host::names::debug_arb_weights())) || !mode_is(tracker, "p")) continue;
    py::object candidate = layer.attr(host::names::dendrite_module()).attr(host::names::candidate_module())[py::int_(0)];
    at::Tensor weight = host::tensor_attr(candidate, DGR_STR("weight")).detach();
    at::Tensor bias = host::tensor_attr(candidate, DGR_STR("bias")).detach();
    at::Tensor frame;
    {
      py::gil_scoped_release no_gil;
      frame = at::cat({weight.cpu(), bias.cpu().unsqueeze(1)}, 1).unsqueeze(2).contiguous();
    }
    py::object weights = host::wrap(frame).attr("numpy")();
    py::object stored = mv(tracker, "watch_weights");
    if (PyList_Check(stored.ptr()) && PyList_GET_SIZE(stored.ptr()) == 0) {
      set_mv(tracker, "watch_weights", weights);
    } else {
      set_mv(tracker, "watch_weights", np.attr("concatenate")(py::make_tuple(stored, weights), py::arg("axis") = 2));
    }
  }
}

void update_dg_scores(py::handle tracker) {
  py::object global = host::tracker();
  if (mode_is(global, "p")) {
    add_best_scores(global);
    if (host::flag(host::names::get_graphing_current_scores())) add_current_scores(global);
  }
  Py_ssize_t n = length(tracker.attr(host::names::member_var_types())[py::str("n_accuracies")]);
  py::list series(n);
  for (Py_ssize_t k = 0; k < n; ++k) series[static_cast<size_t>(k)] = py::int_(kPAccuraciesValues[k % 129]);
  set_mv(global, "p_accuracies", series);
}

// ---- switch decisions --------------------------------------------------------------------

bool check_cap_switch(py::handle tracker, py::handle this_count) {
  if (!mv(tracker, "switch_mode").equal(host::pc().attr(host::names::DOING_HISTORY()))) return false;
  if (!mode_is(tracker, "p")) return false;
  if (!host::flag(host::names::get_cap_at_n())) return false;
  if (!(py::reinterpret_borrow<py::object>(this_count) >= mv(tracker, "switch_epochs")[py::int_(0)])) return false;
  if (!silent()) host::print("cap_at_n is True");
  return true;
}

bool history_switch(py::handle tracker) {
  if (!mode_is(tracker, "p")) return false;
  py::object since = mv(tracker, "num_epochs_run") - mv(tracker, "epoch_last_improved");
  return since >= host::get(host::names::get_p_epochs_to_switch());
}

void print_score_statistics(py::handle tracker) {
  double threshold_raw = host::number(host::names::get_arb_improvement_threshold_raw());
  std::vector<double> all_raw, all_pct, all_start;
  for (py::handle layer : tracker.attr(host::names::neuron_module_vector())) {
    py::object holders = layer.attr(host::names::dendrite_module()).attr(host::names::dendrite_values());
    long long candidates = host::integer(host::names::get_global_candidates());
    for (long long m = 0; m < candidates; ++m) {
      py::object dv = holders[py::int_(m)];
      at::Tensor best = host::tensor_attr(dv, host::names::best_score()).detach();
      at::Tensor start = host::tensor_attr(dv, host::names::epoch_start_best_score()).detach();
      py::gil_scoped_release no_gil;
      at::Tensor raw_delta = best - start;
      at::Tensor start_scores = start.abs();
      at::Tensor valid = start_scores.ge(threshold_raw);
      if (!valid.any().item<bool>()) continue;
      at::Tensor pct_delta = raw_delta.abs().div(start_scores.clamp_min(1e-8)).mul(100.0);
      all_raw.push_back(raw_delta.masked_select(valid).mean().item<double>());
      all_pct.push_back(pct_delta.masked_select(valid).mean().item<double>());
      all_start.push_back(start_scores.masked_select(valid).mean().item<double>());
    }
  }
  if (all_raw.empty()) {
    host::print("No candidates with established scores (all below threshold) to compute statistics.");
    return;
  }
  auto average = [](const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
  };
  host::print(host::percent("With average raw start score:     %.6f", average(all_start)));
  host::print(host::percent("With average raw score change:     %.6f", average(all_raw)));
  host::print(host::percent("and average percent score change: %.2f%%", average(all_pct)));
}

// The tracker remembers (attribute short_epoch_warned) that the short-epoch warning was shown.
bool short_epoch_warned(py::handle tracker) {
  return host::truthy(py::getattr(tracker, host::names::short_epoch_warned(), py::bool_(false)));
}

void warn_short_epoch(py::handle tracker, py::handle layer, long long seen, long long wanted) {
  std::string message =
      "dendrograd: neuron module " + std::string(py::str(layer.attr(host::names::name()))) + " went through only " +
      std::to_string(seen) + " batches of candidate learning this epoch, fewer than the " + std::to_string(wanted) +
      " of the initial correlation phase (GDL.pc.get_initial_correlation_batches()), so its candidates' scores "
      "were not updated. If an epoch really has fewer batches (a tiny data set while debugging, for instance), "
      "lower the phase below the number of batches per epoch with GDL.pc.set_initial_correlation_batches(n) and "
      "train '" + std::string(py::str(py::getattr(tracker, host::names::save_name(), py::str("?")))) +
      "' again, or reload a checkpoint with dendrograd.utils_dgr.load_net. If the epoch is longer, the layer is "
      "not reached by the backward pass: run a batch with GDL.pc.set_extra_verbose(True) to see which layers run "
      "forward and backward, then either make the layer take part in the loss or leave it unwrapped (choose the "
      "wrapped layer types with GDL.pc.set_modules_to_convert([...]) before "
      "dendrolab.utils_dendrolab.initialize_arb). Shown once per tracker.";
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
  if (PyObject_SetAttr(tracker.ptr(), host::names::short_epoch_warned().ptr(), Py_True) < 0) {
    // A tracker that takes no new attributes warns again on the next check.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_TypeError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
  }
}

bool best_cascor_score_improved_this_epoch(py::handle tracker, py::handle first_call) {
  if (mode_is(tracker, "n")) return false;
  long long total_nodes_improved = 0;
  bool got_a_best = false;
  // One warning per tracker for an epoch shorter than the initial correlation phase:
  // legitimate with a tiny data set, so it never stops the run.
  bool short_epoch_checked = short_epoch_warned(tracker);
  py::object check_new_best_score = MDG().attr("check_new_best_score");
  for (py::handle layer : tracker.attr(host::names::neuron_module_vector())) {
    py::object dendrite_module = layer.attr(host::names::dendrite_module());
    py::object holders = dendrite_module.attr(host::names::dendrite_values());
    if (!short_epoch_checked && host::flag(host::names::get_dendrite_learn_mode())) {
      double initialized = element0(holders[py::int_(0)], host::names::initialized());
      long long wanted = host::integer(host::names::get_initial_correlation_batches());
      if (initialized < static_cast<double>(wanted)) {
        warn_short_epoch(tracker, layer, static_cast<long long>(initialized), wanted);
        short_epoch_checked = true;
      }
    }
    long long candidates = host::integer(host::names::get_global_candidates());
    for (long long m = 0; m < candidates; ++m) {
      py::int_ slot(m);
      py::object dv = holders[slot];
      check_new_best_score(dv);
      if (element0(dv, host::names::best_score_improved_this_epoch()) == 0.0) continue;
      if (!host::flag(host::names::get_doing_mean_best()) && !host::flag(host::names::get_learn_dendrites_live())) {
        set_mv(tracker, "epoch_last_improved", mv(tracker, "num_epochs_run"));
        if (verbose()) {
          double best_max;
          at::Tensor best = host::tensor_attr(dv, host::names::best_score()).detach();
          best_max = best.max().item<double>();
          host::print("Individual epoch improved is " +
                      std::to_string(host::as_int(mv(tracker, "epoch_last_improved"))) + " for layer " +
                      std::string(py::str(layer.attr(host::names::name()))) +
                      " with current score: " + host::percent("%.16f", best_max));
        }
      }
      at::Tensor improved_any = host::tensor_attr(dv, host::names::nodes_improved_any()).detach().reshape({-1});
      long long channels = host::as_int(dv.attr(host::names::out_channels()));
      if (channels > improved_any.numel()) {
        throw py::index_error("nodes_improved_any of " + std::string(py::str(layer.attr(host::names::name()))) +
                              " has fewer entries than out_channels");
      }
      bool any_node;
      {
        py::gil_scoped_release no_gil;
        any_node = channels > 0 && improved_any.slice(0, 0, channels).gt(0).any().item<bool>();
      }
      if (any_node) {  // the snapshot is the same for every improved node: take it once
        at::NoGradGuard no_grad;
        py::object copied = DGR_CACHED_MODULE("copy").attr("deepcopy")(dendrite_module.attr(host::names::candidate_module())[slot]);
        dendrite_module.attr(host::names::best_candidate_module())[slot] = copied;
        if (host::as_int(dendrite_module.attr(host::names::num_dendrites())) > 0) {
          at::Tensor saved = host::tensor(dendrite_module.attr(host::names::best_dendrites_to_candidates_saved())[slot],
                                          "best_dendrites_to_candidates_saved entry of a dendrite module");
          at::Tensor live = host::tensor(dendrite_module.attr(host::names::dendrites_to_candidates())[slot],
                                         "dendrites_to_candidates entry of a dendrite module");
          saved.copy_(live.detach());
        }
      }
      at::Tensor best_improved = host::tensor_attr(dv, host::names::nodes_best_improved_this_epoch()).detach();
      total_nodes_improved += best_improved.gt(0).sum().item<int64_t>();
      got_a_best = true;
    }
  }
  if (!silent()) {
    host::print(host::percent("Nodes that improved their correlation score this epoch: %d", total_nodes_improved));
    print_score_statistics(tracker);
  }
  if (!host::flag(host::names::get_doing_mean_best())) return got_a_best;
  if (!host::truthy(mv(tracker, "best_mean_score_improved_this_epoch"))) return false;
  if (!host::flag(host::names::get_learn_dendrites_live())) {
    set_mv(tracker, "epoch_last_improved", mv(tracker, "num_epochs_run"));
    if (verbose()) host::print(host::percent("average epoch improved is %d", mv(tracker, "epoch_last_improved")));
  }
  return true;
}

bool best_gd_score_improved_this_epoch(py::handle tracker, py::handle first_call) {
  if (mode_is(tracker, "n")) return false;
  py::handle mdg = MDG();
  long long count = host::as_int(mdg.attr("_gd_epoch_loss_count"));
  if (count == 0) return false;
  double mean_loss = host::as_float(mdg.attr("_gd_epoch_loss_sum")) / static_cast<double>(count);
  mdg.attr("_gd_epoch_loss_sum") = py::float_(0.0);
  mdg.attr("_gd_epoch_loss_count") = py::int_(0);
  if (py::hasattr(mdg, "_gd_epoch_loss_count_agreed")) {  // what the ranks agreed on is consumed too
    mdg.attr("_gd_epoch_loss_sum_agreed") = py::float_(0.0);
    mdg.attr("_gd_epoch_loss_count_agreed") = py::int_(0);
  }
  double best = host::as_float(mdg.attr("_gd_best_epoch_loss"));
  bool improved = best == 0.0 || mean_loss < best;
  if (improved) {
    if (!silent()) {
      host::print("GD dendrite loss improved: " + host::percent("%.6f", best) + " -> " +
                  host::percent("%.6f", mean_loss));
    }
    mdg.attr("_gd_best_epoch_loss") = py::float_(mean_loss);
    set_mv(tracker, "epoch_last_improved", mv(tracker, "num_epochs_run"));
  } else if (!silent()) {
    host::print("GD dendrite loss did not improve: " + host::percent("%.6f", mean_loss) + " (best " +
                host::percent("%.6f", best) + ")");
  }
  return improved;
}

py::object best_arb_score_improved_this_epoch(py::handle tracker, py::handle first_call) {
  py::object fn = host::this_module().attr("best_arb_score_improved_this_epoch_fn");
  return fn(py::arg("tracker") = tracker, py::arg("first_call") = first_call);
}

void check_best_arb_score_improvement() {
  py::object tracker = host::tracker();
  py::object improved = best_arb_score_improved_this_epoch(tracker, py::bool_(false));
  if (host::truthy(improved)) {
    if (verbose()) host::print("best ARB score improved");
    set_mv(tracker, "epoch_last_improved", mv(tracker, "num_epochs_run"));
    if (verbose()) host::print(host::percent("3 epoch improved is %d", mv(tracker, "epoch_last_improved")));
  } else if (verbose()) {
    host::print("best ARB score not improved");
  }
}

// ---- diagnostics ------------------------------------------------------------------------

py::object find_param_name_by_id(py::handle model, py::handle param_id) {
  for (py::handle item : model.attr("named_parameters")(py::arg("recurse") = true)) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    if (python_id(named[1]).equal(param_id)) return py::str("." + std::string(py::str(named[0])));
  }
  return py::none();
}

void report_optimizer_model_membership(py::handle optimizer, py::handle model) {
  std::unordered_set<PyObject*> in_optimizer;
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    if (!group.contains(py::str("params"))) continue;
    for (py::handle p : group[py::str("params")]) in_optimizer.insert(p.ptr());
  }
  for (py::handle item : model.attr("named_parameters")(py::arg("recurse") = true)) {
    py::tuple named = py::reinterpret_borrow<py::tuple>(item);
    host::print(std::string(py::str(named[0])) + ": " + (in_optimizer.count(named[1].ptr()) ? "IN" : "NOT IN"));
  }
}

}  // namespace
}  // namespace dgr::tracker

using namespace dgr::tracker;

PYBIND11_MODULE(tracker_dgr, m) {
  m.doc() =
      "The training tracker's side of the add-on: optimizer set-up and per-mode parameter filtering\n"
      "(setup_optimizer_dg installs the arb_step / closure_arb_step / arb_zero_grad wrappers), epoch\n"
      "score histories, the switch rules and improvement checks, and two diagnostics for parameters\n"
      "the optimizer does not see. State lives in the tracker's member_vars and the optimizer's\n"
      "attributes; best_arb_score_improved_this_epoch_fn is a replacement point looked up at call time.\n"
      "Diagnosed user errors stop at the debugger through sys.breakpointhook(); in a batch job\n"
      "(standard input not a terminal, PYTHONBREAKPOINT unset) such a stop raises RuntimeError\n"
      "instead, and with PYTHONBREAKPOINT=0 execution continues after it.";
  host::check_torch_version(DGR_TORCH_VERSION);
  host::this_module().set(m);

  // The process draws no windows: the host's graphs render off-screen.
  py::module_ matplotlib = py::module_::import("matplotlib");
  matplotlib.attr("use")("Agg");
  m.attr("matplotlib") = matplotlib;
  m.attr("pd") = py::module_::import("pandas");
  m.attr("np") = py::module_::import("numpy");
  m.attr("torch") = py::module_::import("torch");
  m.attr("GDL") = py::module_::import("dendrolab.globals_dendrolab");
  m.attr("MDG") = py::module_::import("dendrograd.modules_dgr");

  m.attr("STEP_CLEARED") = py::int_(STEP_CLEARED);
  m.attr("STEP_CALLED") = py::int_(STEP_CALLED);
  py::list table;
  for (int v : kPAccuraciesValues) table.append(v);
  m.attr("p_accuracies_values") = table;

  dist::register_distributed(m);
  m.def("setup_optimizer_dg", &setup_optimizer_dg, py::arg("optimizer"),
        "Installs the step and zero_grad wrappers on this optimizer and keeps only the current mode's "
        "parameters.\n"
        "In p mode (dendrites not learning live, no process group) the network's own parameters the\n"
        "optimizer dropped (roles \"neuron\" and \"dendrite\") get requires_grad False, so the\n"
        "frozen network computes no weight gradients; the next set-up outside p mode, and\n"
        "unfreeze_network, give it back.");
  m.def("unfreeze_network", &unfreeze_network, py::arg("tracker"),
        "Gives requires_grad back to the parameters that setup_optimizer_dg froze for p mode (those\n"
        "whose role has not changed since). The host calls it when the tracker is reset; call it\n"
        "to train the network yourself after a run that stopped in p mode. Does nothing when\n"
        "nothing is frozen.");
  m.def("filter_params", [](py::handle optimizer, bool debug_missing_types) {
          filter_params(optimizer, debug_missing_types);
        }, py::arg("optimizer"), py::arg("debug_missing_types") = true,
        "Keeps in each of the optimizer's param_groups only the parameters of the tracker's current\n"
        "mode (see filter_single_param_group), drops groups left empty with their settings, and\n"
        "deletes the optimizer state of every parameter that is no longer kept. Prints a summary\n"
        "when verbose. Returns None.\n\n"
        "Raises TypeError when optimizer lacks step, zero_grad, param_groups or state (nothing is\n"
        "changed then); RuntimeError in a batch job when debug_missing_types is set and a parameter\n"
        "has no parameter_type tag (the debugger stop).");
  m.def("filter_single_param_group", &filter_single_param_group, py::arg("params"), py::arg("mode"),
        py::arg("debug_missing_types") = true,
        "Returns a new list of the params that mode trains: \"n\" keeps parameter_type \"neuron\"\n"
        "(and \"dendrite\" when GDL.pc.get_dendrite_update_mode() is true), \"p\" keeps \"candidate\";\n"
        "any other mode gives an empty list. params is not modified. A parameter without a\n"
        "parameter_type attribute is left out; with debug_missing_types a warning on how to tag it\n"
        "is printed and the debugger stops.\n\n"
        "Raises TypeError when params is not iterable (mode \"n\" or \"p\"); RuntimeError from the\n"
        "debugger stop in a batch job.");

  m.def("_arb_step", [](py::handle self, py::args, py::kwargs) { return arb_step(self); }, py::arg("self"));
  m.def("_closure_arb_step", &closure_arb_step, py::arg("self"), py::arg("closure") = py::none());
  m.def("_arb_zero_grad", &arb_zero_grad, py::arg("self"));
  // The wrappers bound to optimizers are plain Python functions over the ones above: a
  // bound method of a builtin has no `__func__.__get__`, which torch's lr schedulers use.
  py::dict scope;
  scope["_impl"] = m;
  py::exec(R"(
def arb_step(self, *args, **kwargs):
    """Applies the stored candidate gradients once per step in p mode (unscaled when a
    GradScaler drives the step, then clipped); updates the step status. Returns False when
    a scaled gradient was not finite and the optimizer's own step must be skipped."""
    return _impl._arb_step(self, *args, **kwargs)

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

  m.def("add_scores", &add_scores, py::arg("tracker"), py::arg("val_index"), py::arg("member_list"),
        "For each neuron module of tracker.neuron_module_vector, appends to\n"
        "tracker.member_vars[member_list][layer index] the magnitude of the largest-magnitude\n"
        "score in the value holders' val_index tensors (out_channels nodes x candidates). A layer\n"
        "without a non-NaN score prints a message, stops at the debugger and records 0.0.\n"
        "Returns the sum over layers of mean(|candidate 0's scores|) / out_channels, as a float.\n\n"
        "Raises TypeError when val_index or member_list is not a str or a score attribute is not a\n"
        "tensor; IndexError when a candidate has fewer scores than out_channels; RuntimeError from\n"
        "the debugger stop in a batch job.");
  m.def("add_best_scores", &add_best_scores, py::arg("tracker"),
        "Records the epoch's best scores: add_scores over best_pearson_correlation into\n"
        "member_vars[\"best_scores\"]. With GDL.pc.get_doing_mean_best() it also appends to\n"
        "best_mean_scores the mean over layers when it is the first since a switch or beats the last\n"
        "entry by both improvement thresholds (else the last entry again), and sets\n"
        "best_mean_score_improved_this_epoch to 1 or 0. Returns None.\n\n"
        "Raises ZeroDivisionError for a tracker without neuron modules (mean-best only), the errors\n"
        "of add_scores, and RuntimeError from its debugger stop in a batch job.");
  m.def("add_current_scores", &add_current_scores, py::arg("tracker"),
        "Records the epoch's current scores: add_scores over prev_dendrite_candidate_pearson into\n"
        "tracker.member_vars[\"current_scores\"]; the returned mean is discarded. Returns None.\n\n"
        "Raises TypeError when a score attribute is not a tensor, IndexError for too few scores,\n"
        "and RuntimeError from the debugger stop (no non-NaN score) in a batch job.");
  m.def("add_current_weights", &add_current_weights, py::arg("tracker"),
        "In p mode, for each neuron module with debug_arb_weights set, takes candidate 0's weight\n"
        "and bias as a numpy array of shape (out, in + 1, 1) and stores it in\n"
        "member_vars[\"watch_weights\"] (replacing an empty list) or concatenates it there along\n"
        "axis 2. Does nothing in other modes. Returns None.\n\n"
        "Raises TypeError when the candidate's weight or bias is not a tensor.");
  m.def("update_dg_scores", &update_dg_scores, py::arg("tracker"),
        "Epoch-end score update of the global tracker (GDL.arb_tracker): in p mode runs\n"
        "add_best_scores and, when GDL.pc.get_graphing_current_scores() is true, add_current_scores.\n"
        "Then sets its member_vars[\"p_accuracies\"] to a new list, as long as\n"
        "tracker.member_var_types[\"n_accuracies\"], taken cyclically from p_accuracies_values.\n"
        "Returns None.\n\n"
        "Raises the errors of add_scores, including RuntimeError from its debugger stop in a batch job.");

  m.def("check_cap_switch", &check_cap_switch, py::arg("tracker"), py::arg("this_count"),
        "Returns True when the tracker switches by history (switch_mode == GDL.pc.DOING_HISTORY),\n"
        "is in p mode, GDL.pc.get_cap_at_n() is true and this_count >= member_vars[\"switch_epochs\"][0]\n"
        "(printing \"cap_at_n is True\" unless silent); otherwise False. Changes nothing.\n\n"
        "Raises IndexError when switch_epochs is empty and TypeError when this_count cannot be\n"
        "compared with its first entry (both only once the earlier conditions hold).");
  m.def("history_switch", &history_switch, py::arg("tracker"),
        "Returns True in p mode when num_epochs_run - epoch_last_improved (from the tracker's\n"
        "member_vars) is at least GDL.pc.get_p_epochs_to_switch(), i.e. the candidates have not\n"
        "improved for that many epochs; False otherwise (always False in other modes).\n\n"
        "Raises TypeError when those values cannot be subtracted or compared.");
  m.def("best_cascor_score_improved_this_epoch", &best_cascor_score_improved_this_epoch, py::arg("tracker"),
        py::arg("first_call") = true,
        "Runs modules_dgr.check_new_best_score on every candidate's value holder; for each improved\n"
        "one it snapshots the candidate module (and its dendrite connections) as the best and, unless\n"
        "mean-best or live learning, sets epoch_last_improved. Prints the improved-node count and\n"
        "score statistics unless silent; warns once per tracker when an epoch was shorter than the\n"
        "initial correlation phase. first_call is ignored. Returns False in n mode, else whether a\n"
        "candidate improved (with mean-best, best_mean_score_improved_this_epoch).\n\n"
        "Raises TypeError / ValueError when a holder value is not a tensor / is empty, IndexError when\n"
        "nodes_improved_any is shorter than out_channels.");
  m.def("best_gd_score_improved_this_epoch", &best_gd_score_improved_this_epoch, py::arg("tracker"),
        py::arg("first_call") = true,
        "Gradient-descent dendrites' improvement check: returns False in n mode or when no loss was\n"
        "recorded this epoch. Otherwise takes the epoch's mean loss from modules_dgr's\n"
        "_gd_epoch_loss_sum / _gd_epoch_loss_count, resets both, and when there is no best yet (0.0)\n"
        "or the mean is lower stores it as _gd_best_epoch_loss, sets epoch_last_improved and returns\n"
        "True; else False. Prints the outcome unless silent. first_call is ignored.\n\n"
        "Raises TypeError when the loss accumulators are not numbers.");
  m.def("best_arb_score_improved_this_epoch", &best_arb_score_improved_this_epoch, py::arg("tracker"),
        py::arg("first_call") = true,
        "Answers through the function held in best_arb_score_improved_this_epoch_fn.");
  m.def("check_best_arb_score_improvement", &check_best_arb_score_improvement,
        "Asks best_arb_score_improved_this_epoch(GDL.arb_tracker, first_call=False) whether the\n"
        "candidates improved this epoch and, when the answer is truthy, sets the global tracker's\n"
        "epoch_last_improved to num_epochs_run. Prints the outcome when verbose. Takes no\n"
        "arguments; returns None.\n\n"
        "Raises whatever the function in best_arb_score_improved_this_epoch_fn raises.");
  m.attr("best_arb_score_improved_this_epoch_fn") = m.attr("best_cascor_score_improved_this_epoch");

  m.def("find_param_name_by_id", &find_param_name_by_id, py::arg("model"), py::arg("param_id"),
        "Returns \".\" + the name (as in model.named_parameters()) of the model's parameter whose\n"
        "id() equals param_id, e.g. \".layer1.weight\", or None when no parameter matches. Meant for\n"
        "the id printed by filter_single_param_group's missing-tag warning.\n\n"
        "Raises AttributeError when model has no named_parameters method.");
  m.def("report_optimizer_model_membership", &report_optimizer_model_membership, py::arg("optimizer"),
        py::arg("model"),
        "Prints one line per parameter of model.named_parameters(): \"<name>: IN\" when the same\n"
        "tensor object is in one of the optimizer's param_groups (groups without \"params\" are\n"
        "skipped), else \"<name>: NOT IN\". Changes nothing; returns None.\n\n"
        "Raises AttributeError when optimizer has no param_groups or model no named_parameters.");
}
