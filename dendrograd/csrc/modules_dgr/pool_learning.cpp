// modules_dgr: the candidate slots of one module learning a stored batch together. Every
// slot stores its output of the same forward call and the same neuron error, so the pool's
// statistics come from one pass over the stacked outputs and one backward reaches every
// candidate. What does not fit (a custom loss, diagnostics, slots out of step) goes slot by
// slot in apply_step.cpp, with the same result.
#include "learning.h"

namespace dgr::modules {
namespace {

// Every slot's stored lists, reconciled; `ready` pairs at the front of each.
struct PoolLists {
  py::object dendrite_module;
  Holders holders;
  std::vector<py::list> errors, outs;
  size_t ready = 0;
};

// The slots of a module as one pool, or nothing when they cannot learn together: a slot
// has no stored error yet, or the slots hold different numbers of ready pairs.
std::optional<PoolLists> pool_lists(py::handle dendrite_module) {
  PoolLists p;
  p.dendrite_module = py::reinterpret_borrow<py::object>(dendrite_module);
  for (py::handle values : host::holders_of(dendrite_module)) {
    py::object device = holder_device(values);
    if (device.is_none()) return std::nullopt;
    py::list errors = host::stored_list(values, host::names::current_parent_d(), device);
    py::list outs = host::stored_list(values, host::names::dendrite_outs(), device);
    const size_t ready = reconcile_stored(outs, errors).ready;
    if (!p.holders.empty() && ready != p.ready) return std::nullopt;
    p.ready = ready;
    p.holders.push_back(py::reinterpret_borrow<py::object>(values));
    p.errors.push_back(errors);
    p.outs.push_back(outs);
  }
  if (p.holders.empty()) return std::nullopt;
  return p;
}

// The slots' front outputs, or nothing when they do not fit one batch with `error`: the
// slots' errors are not one shared tensor, or an output is empty or shaped unlike the error.
std::optional<std::vector<at::Tensor>> front_outputs(const PoolLists& p, const at::Tensor& error) {
  std::vector<at::Tensor> outs;
  for (size_t i = 0; i < p.holders.size(); ++i) {
    py::object slot_error = p.errors[i][0];
    if (i > 0 && !slot_error.is(p.errors[0][0]) && !host::tensor(slot_error, "a stored neuron error").is_same(error)) {
      return std::nullopt;
    }
    const at::Tensor out = host::tensor(p.outs[i][0], "a stored candidate output");
    if (out.numel() == 0 || out.sizes() != error.sizes() || out.device() != error.device() ||
        (i > 0 && out.scalar_type() != outs[0].scalar_type())) {
      return std::nullopt;
    }
    outs.push_back(out);
  }
  return outs;
}

// The front pairs of a pool as one batch, or nothing when they do not fit one (see
// front_outputs) or the holders' statistics are shaped differently from each other or from
// the batch's.
std::optional<PoolBatch> front_pool_batch(const PoolLists& p, Dims& storage) {
  PoolBatch b;
  b.holders = p.holders;
  const at::Tensor error = host::tensor(p.errors[0][0], "a stored neuron error");
  b.error = error.detach();
  std::optional<std::vector<at::Tensor>> outs = front_outputs(p, error);
  if (!outs) return std::nullopt;
  b.outs = std::move(*outs);
  b.reduction = tuples_and_mult(b.error, p.holders[0]);
  storage = storage_shape(p.holders[0]);
  for (size_t i = 1; i < p.holders.size(); ++i) {
    if (storage_shape(p.holders[i]) != storage) return std::nullopt;
  }
  const double nodes = static_cast<double>(b.error.numel()) /
                       kernels::reduced_count(b.error.sizes(), b.reduction.math_dims);
  if (static_cast<double>(c10::multiply_integers(storage)) != nodes) return std::nullopt;
  return b;
}

// How many batches every holder has folded in, when all agree.
std::optional<double> common_initialized(const Holders& holders) {
  const at::Tensor counts = at::stack(holder_tensors(holders, host::names::initialized())).to(at::kCPU, at::kDouble);
  const double* c = counts.data_ptr<double>();
  for (int64_t i = 1; i < counts.numel(); ++i) {
    if (c[i] != c[0]) return std::nullopt;
  }
  return c[0];
}

// Learns the front pair of every slot together (statistics of the pool in one pass, one
// backward into all candidates) and removes it. Returns false, having changed nothing,
// when the pair must go slot by slot: it does not fit one batch, the holders disagree on
// their phase, or something in it is not finite (the slots then report it one by one).
bool learn_pool_front(const PoolLists& p, const LearningSettings& s) {
  Dims storage;
  const std::optional<PoolBatch> b = front_pool_batch(p, storage);
  if (!b) return false;
  const std::optional<double> initialized = common_initialized(b->holders);
  if (!initialized) return false;
  const PoolStep step = candidate_step(*b, s, true);
  if (!step.finite) return false;
  if (backward_gathering()) {
    gather_backward(p.dendrite_module, b->outs, step.gradient);
  } else {
    backward_into_candidates(*b, step.gradient, false);
  }
  at::NoGradGuard no_grad;
  const kernels::CorrelationStats& stats = step.stats;
  for (size_t i = 0; i < b->holders.size(); ++i) {
    store_batch_pearson(b->holders[i], stats.pearson.select(0, i));
  }
  fold_error_average(b->holders, stats.error_sum, b->reduction.full_mult, storage);
  fold_scores(b->holders, storage, *initialized, {stats.outs_mean, stats.covariance, stats.pearson}, s);
  for (size_t i = 0; i < b->holders.size(); ++i) remove_first_batch(p.errors[i], p.outs[i]);
  return true;
}

}  // namespace

bool pool_learning_applies(py::handle loss_fn, bool learn_live, bool dpp_verbose) {
  return loss_fn.is_none() && !learn_live && !dpp_verbose && !host::extra_verbose();
}

bool learn_as_pool(py::handle dendrite_module, const LearningSettings& s) {
  std::optional<PoolLists> pool = pool_lists(dendrite_module);
  if (!pool) return false;
  size_t learned = 0;
  while (learned < pool->ready && learn_pool_front(*pool, s)) ++learned;
  return learned == pool->ready;
}

}  // namespace dgr::modules
