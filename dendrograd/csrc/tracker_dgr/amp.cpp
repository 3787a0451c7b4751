// The step under a torch.cuda.amp / torch.amp GradScaler. In p mode the candidates'
// gradients are not made by the backward: they are learned from the stored candidate
// outputs and neuron errors. A scaler that only saw them inside step would check and
// unscale placeholders: its scale would never back off after an overflow, and a
// clip after scaler.unscale_(optimizer) would clip nothing. So the candidates learn when
// the scaler first looks at the optimizer's gradients (GradScaler._unscale_grads_, the
// work of both unscale_ and step's inf check), leaving scaled gradients as a backward
// would; the step then uses them. The scaler also hands the step its scale and its inf
// check (optimizer.grad_scale, optimizer.found_inf: torch's _step_supports_amp_scaling
// protocol), for scalers whose _unscale_grads_ is their own (the candidates then learn
// inside step, as before).
#include "tracker.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace dgr::tracker {
namespace {

// Every gradient the optimizer's groups hold.
std::vector<at::Tensor> optimizer_grads(py::handle optimizer) {
  std::vector<at::Tensor> grads;
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    for (py::handle param : group[py::str("params")]) {
      py::object grad = param.attr("grad");
      if (!grad.is_none()) grads.push_back(host::tensor(grad, "a parameter's gradient"));
    }
  }
  return grads;
}

// Divides every gradient of the optimizer's groups by `scale`; true when one is not finite.
bool unscale_optimizer_grads(py::handle optimizer, const at::Tensor& scale) {
  std::vector<at::Tensor> grads = optimizer_grads(optimizer);
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
  std::vector<at::Tensor> grads = optimizer_grads(optimizer);
  py::gil_scoped_release no_gil;
  for (const at::Tensor& g : grads) {
    if (!at::isfinite(g).all().item<bool>()) return false;
  }
  return true;
}

// error / scale; float16 / bfloat16 errors are unscaled into float32 (small ones would
// underflow). `finite` turns false when the result is not finite.
at::Tensor unscaled_error(const at::Tensor& error, const at::Tensor& scale, bool& finite) {
  py::gil_scoped_release no_gil;
  at::NoGradGuard no_grad;
  at::ScalarType type = at::isReducedFloatingType(error.scalar_type()) ? at::kFloat : error.scalar_type();
  at::Tensor unscaled = error.detach().to(type).div(scale.detach().to(error.device(), type));
  if (finite && !at::isfinite(unscaled).all().item<bool>()) finite = false;
  return unscaled;
}

// Errors already unscaled at this step, each with its replacement. The candidate slots of a
// module share one error object per batch: it is unscaled once. The originals stay
// referenced here so that no address is reused while the list is in use.
using Unscaled = std::vector<std::pair<py::object, py::object>>;

// Replaces every tensor of one stored error list by its unscaled copy.
void unscale_error_list(py::list errors, const at::Tensor& scale, Unscaled& done, bool& finite) {
  for (size_t k = 0; k < errors.size(); ++k) {
    if (!host::is_tensor(errors[k])) continue;
    py::object original = errors[k];
    auto seen = std::find_if(done.begin(), done.end(), [&](const auto& entry) { return entry.first.is(original); });
    if (seen != done.end()) {
      errors[k] = seen->second;
      continue;
    }
    py::object replacement = host::wrap(unscaled_error(host::tensor(original), scale, finite));
    // the Python attributes go along: the forward-call tag pairs an error with its outputs
    py::object attributes = py::getattr(original, "__dict__", py::none());
    if (!attributes.is_none()) replacement.attr("__dict__").attr("update")(attributes);
    errors[k] = replacement;
    done.emplace_back(original, replacement);
  }
}

}  // namespace

at::Tensor handed_scale(py::handle optimizer) {
  py::object scale = py::getattr(optimizer, "grad_scale", py::none());
  if (scale.is_none()) return at::Tensor();
  return host::tensor(scale, "optimizer.grad_scale set by a GradScaler");
}

// Under a GradScaler the neuron errors the hooks stored are the scaled loss's: each stored
// error is replaced by error / scale, so the candidates' statistics, scores and gradients
// are those of the unscaled loss whatever the scale (it changes during training). Returns
// false when a stored error is not finite (the scaled backward overflowed).
bool unscale_stored_errors(py::handle tracker, const at::Tensor& scale) {
  bool finite = true;
  Unscaled done;
  for (py::handle neuron_module : tracker.attr(names::neuron_module_vector())) {
    py::object holders = neuron_module.attr(names::dendrite_module()).attr(names::dendrite_values());
    for (py::handle values : holders) {
      py::object per_device = py::getattr(values, names::current_parent_d(), py::none());
      if (per_device.is_none()) continue;
      for (py::handle stored : per_device.attr("values")()) {
        unscale_error_list(py::reinterpret_borrow<py::list>(stored), scale, done, finite);
      }
    }
  }
  return finite;
}

bool scaled_step_allowed(py::handle optimizer, const at::Tensor& scale, bool candidates_learned) {
  bool allowed = true;
  if (!scale.defined()) {
    // no scaler, or scaler.unscale_ ran already: its inf check arrives as found_inf alone
  } else if (candidates_learned) {
    // learned from unscaled errors: the gradients need no unscaling, only the check
    if (!optimizer_grads_finite(optimizer)) allowed = false;
  } else if (unscale_optimizer_grads(optimizer, scale)) {
    allowed = false;
  }
  py::object found = py::getattr(optimizer, "found_inf", py::none());
  if (!found.is_none() && host::truthy(found)) allowed = false;
  return allowed;
}

// The gradients are unscaled already when the optimizer's own step runs: a GradScaler's
// grad_scale / found_inf are hidden from it while it runs, and put back afterwards.
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

// A scaler that has not seen the candidates learn (their gradients come into being inside
// step) checks the optimizer's gradients for infs on every device that has one before the
// step, and refuses a step that recorded no check. A gradient full of `fill` on one
// parameter per device that has none stands in; every other parameter keeps None, so one
// the step teaches nothing is not moved by momentum or weight decay on a zero. Returns the
// stand-ins as (parameter, gradient) pairs.
py::list give_every_device_a_gradient(py::handle optimizer, double fill) {
  std::vector<c10::Device> covered;
  std::vector<py::object> stand_ins;
  auto is_covered = [&](const c10::Device& d) { return std::find(covered.begin(), covered.end(), d) != covered.end(); };
  for (py::handle group : optimizer.attr(DGR_STR("param_groups"))) {
    for (py::handle param : group[py::str("params")]) {
      at::Tensor t = host::tensor(param, "an optimizer parameter");
      if (t.grad().defined()) {
        if (!is_covered(t.device())) covered.push_back(t.device());
        stand_ins.erase(std::remove_if(stand_ins.begin(), stand_ins.end(),
                                       [&](const py::object& s) { return host::tensor(s).device() == t.device(); }),
                        stand_ins.end());
      } else if (!is_covered(t.device())) {
        covered.push_back(t.device());
        stand_ins.push_back(py::reinterpret_borrow<py::object>(param));
      }
    }
  }
  at::NoGradGuard no_grad;
  py::list given;
  for (const py::object& param : stand_ins) {
    at::Tensor t = host::tensor(param);
    t.mutable_grad() = at::full_like(t, fill);
    given.append(py::make_tuple(param, host::wrap(t.grad())));
  }
  return given;
}

// ---- the candidates learn when the scaler looks at the gradients -------------------------
namespace {

// The optimizer attribute that marks candidates learned for the scaler at this iteration;
// it holds the zero stand-ins the step drops.
py::handle learned_for_scaler() { return DGR_STR("_dgr_learned_for_scaler"); }

// Multiplies every gradient of the optimizer's groups by `scale`, as the scaled backward
// would have made them; true when there is one.
bool scale_optimizer_grads(py::handle optimizer, const at::Tensor& scale) {
  std::vector<at::Tensor> grads = optimizer_grads(optimizer);
  py::gil_scoped_release no_gil;
  at::NoGradGuard no_grad;
  for (at::Tensor& grad : grads) grad.mul_(scale.detach().to(grad.device(), grad.scalar_type()));
  return !grads.empty();
}

// Run by GradScaler._unscale_grads_ before it unscales or checks `optimizer`'s gradients:
// in p mode, at the first look since zero_grad, the candidates learn from the stored
// batches with the neuron errors unscaled by the scaler's scale, and their gradients are
// multiplied back by it, so the scaler unscales them and sees an overflow as in plain
// training. When the scaled neuron errors overflowed and no candidate learned (nor on any
// other rank), a gradient of inf on one parameter per device makes the scaler skip the
// step and back off. An optimizer a newer wrap retired, or one the add-on does not drive,
// is left alone.
void learn_candidates_for_scaler(py::handle optimizer, py::handle scaler) {
  if (py::hasattr(optimizer, learned_for_scaler()) || !step_is_ours(optimizer)) return;
  py::object tracker = host::tracker();
  if (!p_mode_applies_dg_grads(tracker) || !member_var(tracker, names::step_status()).equal(py::int_(STEP_CLEARED))) {
    return;
  }
  at::Tensor scale = host::tensor(scaler.attr("_get_scale_async")(), "the GradScaler's scale");
  bool finite = learn_candidates_now(optimizer, tracker, scale);
  bool learned = scale_optimizer_grads(optimizer, scale);
  py::list zero_stand_ins;
  if (!finite && !learned) {
    give_every_device_a_gradient(optimizer, std::numeric_limits<double>::infinity());
  } else {
    zero_stand_ins = give_every_device_a_gradient(optimizer, 0.0);
  }
  optimizer.attr(learned_for_scaler()) = zero_stand_ins;
}

}  // namespace

bool take_learning_for_scaler(py::handle optimizer) {
  py::object stand_ins = py::getattr(optimizer, learned_for_scaler(), py::none());
  if (stand_ins.is_none()) return false;
  py::delattr(optimizer, learned_for_scaler());
  at::NoGradGuard no_grad;
  for (py::handle entry : stand_ins) {
    at::Tensor param = host::tensor(entry[py::int_(0)]);
    if (param.grad().is_same(host::tensor(entry[py::int_(1)]))) param.mutable_grad() = at::Tensor();
  }
  return true;
}

void forget_learning_for_scaler(py::handle optimizer) {
  if (py::hasattr(optimizer, learned_for_scaler())) py::delattr(optimizer, learned_for_scaler());
}

// Wraps GradScaler._unscale_grads_ once per process (torch.cuda.amp's and torch.cpu.amp's
// GradScaler inherit it). For optimizers the add-on did not wrap the wrapper only calls
// through: a scaler checks one attribute more.
void let_grad_scalers_reach_candidates() {
  // The scaler's own method, kept for the life of the process, and the method put in its place.
  static py::object* original = nullptr;
  static py::object* installed = nullptr;
  py::object scaler_class = DGR_CACHED_MODULE("torch.amp.grad_scaler").attr("GradScaler");
  py::object current = scaler_class.attr("__dict__")[py::str("_unscale_grads_")];
  if (installed && current.is(*installed)) return;
  original = new py::object(current);
  py::cpp_function wrapper(
      [](py::object scaler, py::object optimizer, py::args args, py::kwargs kwargs) {
        if (py::hasattr(optimizer, "_original_step")) learn_candidates_for_scaler(optimizer, scaler);
        return (*original)(scaler, optimizer, *args, **kwargs);
      },
      py::name("_unscale_grads_"), py::is_method(scaler_class), py::sibling(py::none()),
      "GradScaler._unscale_grads_, letting the candidates of an optimizer dendrograd wraps learn first.");
  installed = new py::object(wrapper);
  scaler_class.attr("_unscale_grads_") = wrapper;
}

}  // namespace dgr::tracker
