#include "kernels/correlation_kernel.h"

#include "kernels/cpu/correlation_kernel_cpu.h"

#include <c10/core/GradMode.h>

#include <sstream>

namespace dgr::kernels {
namespace {

using Dims = std::vector<int64_t>;

// `dims` as non-negative dimensions of a rank-`rank` tensor; out of range throws.
Dims wrapped_dims(at::IntArrayRef dims, int64_t rank) {
  Dims wrapped;
  for (int64_t d : dims) wrapped.push_back(c10::maybe_wrap_dim(d, rank));
  return wrapped;
}

// `dims` of S as dimensions of the pooled [C, *S] tensor; empty means all of S.
Dims pooled_dims(at::IntArrayRef dims, int64_t rank) {
  Dims pooled;
  if (dims.empty()) {
    for (int64_t d = 1; d <= rank; ++d) pooled.push_back(d);
  } else {
    for (int64_t d : wrapped_dims(dims, rank)) pooled.push_back(d + 1);
  }
  return pooled;
}

// [C, *view]: a per-candidate per-node value broadcast over the pooled outputs.
Dims pooled_view(int64_t candidates, at::IntArrayRef view) {
  Dims shape{candidates};
  shape.insert(shape.end(), view.begin(), view.end());
  return shape;
}

// Whether autograd has to see the computation (the loop kernels record no graph).
bool wants_graph(std::initializer_list<const at::Tensor*> tensors) {
  if (!c10::GradMode::is_enabled()) return false;
  for (const at::Tensor* t : tensors) {
    if (t->defined() && t->requires_grad()) return true;
  }
  return false;
}

}  // namespace

double reduced_count(at::IntArrayRef shape, at::IntArrayRef dims) {
  double n = 1.0;
  if (dims.empty()) {  // an empty dim list reduces everything
    for (int64_t s : shape) n *= static_cast<double>(s);
    return n;
  }
  for (int64_t d : wrapped_dims(dims, static_cast<int64_t>(shape.size()))) n *= static_cast<double>(shape[d]);
  return n;
}

std::string check_correlation_inputs(const at::Tensor& outs, const at::Tensor& error, at::IntArrayRef dims,
                                     at::IntArrayRef view) {
  std::ostringstream problem;
  if (outs.dim() < 1) {
    problem << "outs must have a leading candidate dimension, got a " << outs.dim() << "-D tensor";
  } else if (outs.sizes().slice(1) != error.sizes()) {
    problem << "error must have the shape of one candidate's output " << outs.sizes().slice(1) << ", got "
            << error.sizes();
  } else if (static_cast<int64_t>(view.size()) != error.dim()) {
    problem << "view must have one entry per dimension of the error (" << error.dim() << "), got " << view;
  } else if (!at::isFloatingType(outs.scalar_type()) || !at::isFloatingType(error.scalar_type())) {
    problem << "outs and error must be floating point, got " << outs.scalar_type() << " and " << error.scalar_type();
  } else {
    for (int64_t d : dims) {
      if (d < -error.dim() || d >= error.dim()) {
        problem << "dims must lie in [" << -error.dim() << ", " << error.dim() << "), got " << dims;
        break;
      }
    }
  }
  return problem.str();
}

CorrelationStats correlation_statistics(const at::Tensor& outs, const at::Tensor& error, at::IntArrayRef dims,
                                        at::IntArrayRef view, const CorrelationOptions& options) {
  if (!wants_graph({&outs, &error, &options.average_outs, &options.average_error}) &&
      cpu::loops_apply(outs, error, options)) {
    return cpu::correlation_statistics(outs, error, dims, options);
  }
  const int64_t candidates = outs.size(0);
  const Dims pooled = pooled_dims(dims, error.dim());
  const Dims per_candidate = pooled_view(candidates, view);
  // A mean is the sum divided by the number of reduced elements, as the tensor library forms it.
  const double count = reduced_count(error.sizes(), dims);
  CorrelationStats s;
  s.error_sum = at::sum(error, dims);
  s.error_mean = s.error_sum.div(count);
  s.outs_mean = at::sum(outs, pooled).div(count);
  // Centred on the batch means: what Pearson always uses, and the covariance without running averages.
  const at::Tensor centred_outs = outs - s.outs_mean.reshape(per_candidate);
  const at::Tensor centred_error = error - s.error_mean.reshape(view);
  const bool running = options.average_outs.defined();
  at::Tensor product_sum, centred_product_sum;
  if (running) {
    const at::Tensor around_outs = outs - options.average_outs.reshape(per_candidate);
    const at::Tensor around_error = error - options.average_error.reshape(per_candidate);
    product_sum = at::sum(around_outs * around_error, pooled);
    centred_product_sum = at::sum(centred_outs * centred_error, pooled);
  } else {
    product_sum = centred_product_sum = at::sum(centred_outs * centred_error, pooled);
  }
  s.covariance = options.by_mean ? product_sum.div(count) : product_sum;
  // Population standard deviations, clamped so that a constant input gives 0, not NaN.
  const at::Tensor std_error = at::sum(centred_error * centred_error, dims).div(count).sqrt().clamp_min(1e-8);
  const at::Tensor std_outs = at::sum(centred_outs * centred_outs, pooled).div(count).sqrt().clamp_min(1e-8);
  s.pearson = centred_product_sum.div(count) / (std_error * std_outs);
  if (options.normalized) s.covariance = s.covariance / std_error;
  return s;
}

bool statistics_finite(const CorrelationStats& stats, bool with_covariance) {
  if (stats.sums_finite && stats.covariance_finite) {
    return *stats.sums_finite && (!with_covariance || *stats.covariance_finite);
  }
  at::Tensor finite = at::isfinite(stats.error_sum).all().logical_and(at::isfinite(stats.outs_mean).all());
  if (with_covariance) finite = finite.logical_and(at::isfinite(stats.covariance).all());
  return finite.item<bool>();
}

at::Tensor correlation_gradient(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score,
                                at::IntArrayRef dims, at::IntArrayRef view) {
  const int64_t candidates = score.size(0);
  if (!wants_graph({&error, &centre, &score}) && cpu::gradient_loops_apply(error, centre, score, dims)) {
    return cpu::correlation_gradient(error, centre, score, dims);
  }
  const at::Tensor sign = score.sign().neg().reshape(pooled_view(candidates, view));
  at::Tensor centred;
  if (centre.numel() == score.numel()) {  // one centre per candidate
    centred = error.sub(centre.reshape(pooled_view(candidates, view)));
  } else {
    centred = error.sub(centre.reshape(view));
  }
  return centred.mul(sign);
}

std::vector<at::Tensor> exponential_fold(at::TensorList stored, at::TensorList batch, double factor) {
  if (cpu::folds_apply(stored, batch)) {
    std::vector<at::Tensor> folded = cpu::new_like(stored);
    cpu::exponential_fold(folded, stored, batch, factor);
    return folded;
  }
  const double fresh = 1.0 - factor;  // 0.010000000000000009 for 0.99, not 0.01
  std::vector<at::Tensor> folded = at::_foreach_mul(stored, factor);
  at::_foreach_add_(folded, at::_foreach_mul(batch, fresh));
  return folded;
}

std::vector<at::Tensor> arithmetic_fold(at::TensorList stored, at::TensorList batch, double n) {
  if (cpu::folds_apply(stored, batch)) {
    std::vector<at::Tensor> folded = cpu::new_like(stored);
    cpu::arithmetic_fold(folded, stored, batch, n);
    return folded;
  }
  std::vector<at::Tensor> folded = at::_foreach_mul(stored, n);
  at::_foreach_add_(folded, batch);
  at::_foreach_div_(folded, n + 1.0);
  return folded;
}

void exponential_fold_(at::TensorList stored, at::TensorList batch, double factor) {
  if (cpu::folds_apply(stored, batch)) return cpu::exponential_fold(stored, stored, batch, factor);
  at::_foreach_copy_(stored, exponential_fold(stored, batch, factor));
}

void arithmetic_fold_(at::TensorList stored, at::TensorList batch, double n) {
  if (cpu::folds_apply(stored, batch)) return cpu::arithmetic_fold(stored, stored, batch, n);
  at::_foreach_copy_(stored, arithmetic_fold(stored, batch, n));
}

void decay_add_(at::TensorList stored, at::TensorList batch, double decay) {
  if (cpu::folds_apply(stored, batch)) return cpu::decay_add(stored, stored, batch, decay);
  std::vector<at::Tensor> folded = at::_foreach_mul(stored, decay);
  at::_foreach_add_(folded, batch);
  at::_foreach_copy_(stored, folded);
}

std::tuple<at::Tensor, at::Tensor> best_scores(const at::Tensor& best, const at::Tensor& score) {
  return at::max(at::stack({best, score.abs()}), 0);  // ties keep the stored best (index 0)
}

at::Tensor beats_by_margins(const at::Tensor& new_score, const at::Tensor& old_score, double ratio, double raw) {
  at::Tensor relative = new_score.mul(1.0 - ratio).gt(old_score);
  at::Tensor absolute = new_score.sub(raw).gt(old_score);
  return relative.logical_and(absolute);
}

}  // namespace dgr::kernels
