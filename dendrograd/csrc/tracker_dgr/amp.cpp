// The step under a torch.cuda.amp / torch.amp GradScaler. In p mode the candidate
// gradients only come into being inside step, after the scaler would have unscaled and
// checked the gradients, so the scaler hands the step its scale (optimizer.grad_scale,
// optimizer.found_inf, as torch's _step_supports_amp_scaling protocol provides) and the
// wrapper unscales and checks here.
#include "tracker.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace dgr::tracker {
namespace {

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
  if (candidates_learned) {
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

}  // namespace dgr::tracker
