// The candidates' correlation learning, shared between its files.
//
// Per-batch flow in p mode: forward_candidates stores each candidate's output (with its
// graph) on the candidate's value holder, the hook that watch_neuron_error puts on the
// neuron module's output stores the neuron error of the same forward call next to it
// (pairing.cpp), and at the optimizer step apply_dg_grads (apply_step.cpp) turns every
// stored (error, output) pair into a correlation loss (correlation_step.cpp), back-propagates
// it into the candidate and folds the batch into the holder's running statistics
// (running_scores.cpp). Where every candidate slot of a module holds the same batch, the
// slots learn it together (pool_learning.cpp); apply_dg_grads_together gathers the
// backward passes of several modules into one (gathered_backward.cpp). Empty and non-finite
// batches are dropped unlearned.
#pragma once

#include "modules_dgr.h"

#include "kernels/correlation_kernel.h"

#include <optional>
#include <string>
#include <vector>

namespace dgr::modules {

using Holders = std::vector<py::object>;

inline bool any_nan(const at::Tensor& t) { return at::isnan(t).any().item<bool>(); }
inline bool any_non_finite(const at::Tensor& t) { return !at::isfinite(t).all().item<bool>(); }

// ---- settings (running_scores.cpp) ----
// The settings one learning step reads, read once per module and step.
struct LearningSettings {
  bool by_mean = false;      // get_correlations_by_mean
  bool running = false;      // get_running_average_dg: centre on running averages
  bool normalized = false;   // get_normalized_covariance
  bool learn_live = false;   // get_learn_dendrites_live
  bool dpp_verbose = false;  // get_dpp_verbose
  double factor = 0.99;      // correlation_average_factor
  double initial_batches = 0;
  bool per_epoch = false;    // correlation_scores_per_epoch: scores are the epoch's mean

  static LearningSettings read();
};

// ---- running statistics (running_scores.cpp) ----
// Shape of the per-neuron statistics of a value holder.
Dims storage_shape(py::handle values);
// One tensor attribute of every holder of a pool.
std::vector<at::Tensor> holder_tensors(const Holders& holders, py::handle name);
// The same attribute of every holder as one [C, ...] tensor (no copy for a single holder).
at::Tensor pooled_attr(const Holders& holders, py::handle name);

// One batch of per-node values ([C, nodes]) for the running scores of a pool's holders.
struct ScoreBatch {
  at::Tensor outs_mean, covariance, pearson;
};
// Folds a batch into the running scores: the arithmetic mean over the first
// get_initial_correlation_batches() batches (`initialized` so far), a moving average after.
void fold_scores(const Holders& holders, const Dims& storage, double initialized, const ScoreBatch& batch,
                 const LearningSettings& s);
// The per-neuron average error every holder keeps, moved towards this batch's mean.
void fold_error_average(const Holders& holders, const at::Tensor& error_sum, double full_mult, const Dims& storage);
// One holder's running statistics after one batch. math_tuple / full_mult come both parsed
// and as the Python objects shown in diagnostics; `error_sum` and `outs_mean`, when given,
// are this batch's reductions already computed.
void update_running_averages(const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs, py::handle values,
                             const Dims& math_dims, double full_mult, const at::Tensor& covariance,
                             py::handle math_tuple, py::handle full_mult_obj, at::Tensor error_sum = {},
                             at::Tensor outs_mean = {});

// ---- one stored batch (correlation_step.cpp) ----
// The front (error, output) pair of every candidate slot of one neuron module.
struct PoolBatch {
  Holders holders;
  at::Tensor error;              // the neuron error, detached; the same forward call for every slot
  std::vector<at::Tensor> outs;  // the slots' outputs, with their graphs
  Reduction reduction;
};

// What a batch teaches: its statistics ([C, nodes]) and the loss gradient at each output.
struct PoolStep {
  kernels::CorrelationStats stats;
  at::Tensor gradient;  // [C, *S]
  bool finite = true;
};

// Statistics and loss gradient of a batch; not finite (and nothing else computed) for a
// NaN or inf in the error, an output or, when `covariance_must_be_finite`, the covariance.
PoolStep candidate_step(const PoolBatch& b, const LearningSettings& s, bool covariance_must_be_finite);
// Back-propagates the loss gradient into every candidate of the pool: one pass of the engine.
void backward_into_candidates(const PoolBatch& b, const at::Tensor& gradient, bool keep_graph);
// The batch's Pearson correlation becomes the holder's current_batch_pearson.
void store_batch_pearson(py::handle holder, const at::Tensor& pearson);
// One stored batch of one candidate slot; false, having reported it and learned nothing,
// when the batch holds NaN or inf.
bool calculate_and_backwards_dendrite_loss(py::handle values);

// ---- a module's slots together (pool_learning.cpp) ----
// Whether the pooled step applies: the built-in loss without diagnostics.
bool pool_learning_applies(py::handle loss_fn, bool learn_live, bool dpp_verbose);
// Learns every ready batch of a module's slots together, oldest first; false when a batch
// must go slot by slot (that batch and the ones after it are left stored).
bool learn_as_pool(py::handle dendrite_module, const LearningSettings& s);

// ---- gathered backward passes (gathered_backward.cpp) ----
// Whether apply_dg_grads_together is gathering the pool backwards of its modules.
bool backward_gathering();
// Adds a pool backward to the gathered pass.
void gather_backward(py::handle dendrite_module, const std::vector<at::Tensor>& outs, const at::Tensor& gradient);
// Runs what was gathered (before any backward that is not gathered, and at the end).
void flush_gathered_backward();

// ---- the stored lists (apply_step.cpp) ----
// A value holder's device index (None before any error was stored).
py::object holder_device(py::handle values);
// Removes the front pair of a holder's two lists.
void remove_first_batch(py::handle errors, py::handle outs);
// The optimizer-step entry for one dendrite module.
void apply_dg_grads(py::handle dendrite_module);

}  // namespace dgr::modules
