// Candidate correlation math of one neuron module, as plain ATen functions.
//
// Tensors in, tensors out, no Python objects: the hooks in modules_dgr read the host's
// value holders, call these on the whole candidate pool at once and write the results
// back. Shapes use these names:
//   C      candidates of the module (the pool), always the leading dimension
//   S      the shape of one candidate's output and of the neuron error, e.g. [B, N]
//   dims   dimensions of S reduced per node (empty: all of them)
//   view   a shape of S's rank that broadcasts a per-node value back over S
//          (1 where reduced, -1 at the node dimension)
//   nodes  S without `dims`: the per-node shape of a statistic
// Inputs are assumed checked (see check_correlation_inputs). Where autograd must see the
// computation, every function is composed of differentiable ATen operations; otherwise
// CPU float and double inputs go through the loop kernels of cpu/ (no graph, two passes).
#pragma once

#include <ATen/ATen.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace dgr::kernels {

struct CorrelationOptions {
  bool by_mean = false;     // the covariance as a mean over the reduced elements, not a sum
  bool normalized = false;  // the covariance divided by the error's standard deviation
  // Centre the covariance on running averages instead of the batch means: both [C, nodes]
  // (or anything reshaping to [C, view]), or both undefined.
  at::Tensor average_outs;
  at::Tensor average_error;
};

struct CorrelationStats {
  at::Tensor error_sum;   // [nodes]     sum of the error over dims
  at::Tensor error_mean;  // [nodes]
  at::Tensor outs_mean;   // [C, nodes]
  at::Tensor covariance;  // [C, nodes]  the candidates' score for this batch
  at::Tensor pearson;     // [C, nodes]  batch-centred Pearson correlation
  // Known to the loop kernels, which see every value anyway: whether error_sum and
  // outs_mean, and the covariance, are finite. Unset after the composite.
  std::optional<bool> sums_finite, covariance_finite;
};

// Number of elements reduced per node when `dims` of `shape` are summed.
double reduced_count(at::IntArrayRef shape, at::IntArrayRef dims);

// Empty string when outs [C, *S], error [*S], dims and view fit together, else what does not.
std::string check_correlation_inputs(const at::Tensor& outs, const at::Tensor& error, at::IntArrayRef dims,
                                     at::IntArrayRef view);

// Per-node statistics of one batch for the whole pool, each full-size pass done once.
CorrelationStats correlation_statistics(const at::Tensor& outs, const at::Tensor& error, at::IntArrayRef dims,
                                        at::IntArrayRef view, const CorrelationOptions& options);

// True when every per-node value of the batch is finite: a NaN or inf anywhere in the
// error or an output reaches the sums, an overflow the covariance. One device sync.
// Without `with_covariance` only the sums are checked.
bool statistics_finite(const CorrelationStats& stats, bool with_covariance = true);

// The gradient of the correlation loss with respect to each candidate's output,
// -sign(score) * (error - centre): descent raises |covariance|. score [C, nodes];
// centre [nodes] (the batch mean) or [C, nodes] (running averages). Returns [C, *S].
at::Tensor correlation_gradient(const at::Tensor& error, const at::Tensor& centre, const at::Tensor& score,
                                at::IntArrayRef dims, at::IntArrayRef view);

// Running statistics, one tensor per candidate slot; batch[i] folds into stored[i]:
//   exponential_fold: stored * factor + batch * (1 - factor)
//   arithmetic_fold:  (stored * n + batch) / (n + 1), the mean over n + 1 batches
//   decay_add:        stored * decay + batch
// Without a trailing underscore they return new tensors and leave the inputs untouched;
// with one they write into `stored`.
std::vector<at::Tensor> exponential_fold(at::TensorList stored, at::TensorList batch, double factor);
std::vector<at::Tensor> arithmetic_fold(at::TensorList stored, at::TensorList batch, double n);
void exponential_fold_(at::TensorList stored, at::TensorList batch, double factor);
void arithmetic_fold_(at::TensorList stored, at::TensorList batch, double n);
void decay_add_(at::TensorList stored, at::TensorList batch, double decay);

// (max(best, |score|), 1 where |score| is larger) element-wise; ties keep the stored best.
std::tuple<at::Tensor, at::Tensor> best_scores(const at::Tensor& best, const at::Tensor& score);

// Element-wise: new beats old by the relative margin `ratio` and the absolute margin `raw`.
at::Tensor beats_by_margins(const at::Tensor& new_score, const at::Tensor& old_score, double ratio, double raw);

}  // namespace dgr::kernels
