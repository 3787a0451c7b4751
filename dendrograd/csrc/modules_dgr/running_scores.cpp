// modules_dgr: the running statistics of each candidate slot. Every learned batch moves
// the per-neuron average error and the slot's running output mean, covariance and Pearson
// correlation: an arithmetic mean over the first get_initial_correlation_batches() batches,
// an exponential moving average after them.
#include "learning.h"
#include "messages.h"

#include <c10/util/Exception.h>

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace dgr::modules {

LearningSettings LearningSettings::read() {
  LearningSettings s;
  s.by_mean = host::flag(host::names::get_correlations_by_mean());
  s.running = host::flag(host::names::get_running_average_dg());
  s.normalized = host::flag(host::names::get_normalized_covariance());
  s.learn_live = host::flag(host::names::get_learn_dendrites_live());
  s.dpp_verbose = host::dpp_verbose();
  // How much of the running scores carries over per batch: the default 0.99 averages over
  // about 100 batches; with one batch per epoch (full batch) a lower factor lets the score
  // follow the candidate instead of trailing it by a hundred epochs.
  s.factor = host::correlation_average_factor();
  s.initial_batches = static_cast<double>(host::integer(host::names::get_initial_correlation_batches()));
  s.per_epoch = host::correlation_scores_per_epoch();
  return s;
}

Dims storage_shape(py::handle values) {
  return host::int_vector(host::tensor_attr(values, host::names::dendrite_storage_shape()));
}

std::vector<at::Tensor> holder_tensors(const Holders& holders, py::handle name) {
  std::vector<at::Tensor> tensors;
  tensors.reserve(holders.size());
  for (const py::object& holder : holders) tensors.push_back(host::tensor_attr(holder, name));
  return tensors;
}

at::Tensor pooled_attr(const Holders& holders, py::handle name) {
  if (holders.size() == 1) return host::tensor_attr(holders[0], name).unsqueeze(0);
  return at::stack(holder_tensors(holders, name));
}

namespace {

// The batch's values one per holder, each shaped like the holder's statistics.
std::vector<at::Tensor> per_holder(const at::Tensor& batch, size_t holders, const Dims& storage) {
  Dims pooled_storage{static_cast<int64_t>(holders)};
  pooled_storage.insert(pooled_storage.end(), storage.begin(), storage.end());
  return batch.detach().reshape(pooled_storage).unbind(0);
}

// The scores as the arithmetic mean of the batches so far (each holder has seen `initialized`).
void fold_arithmetic_scores(const Holders& holders, const Dims& storage, double initialized, const ScoreBatch& batch) {
  at::NoGradGuard no_grad;
  const std::pair<py::handle, const at::Tensor*> scores[] = {
      {host::names::prev_dendrite_candidate_average(), &batch.outs_mean},
      {host::names::prev_dendrite_candidate_correlation(), &batch.covariance},
      {host::names::prev_dendrite_candidate_pearson(), &batch.pearson}};
  for (const auto& [name, values] : scores) {
    kernels::arithmetic_fold_(holder_tensors(holders, name), per_holder(*values, holders.size(), storage), initialized);
  }
  for (const at::Tensor& scalar : holder_tensors(holders, host::names::running_scalar())) scalar.fill_(1.0);
  at::_foreach_add_(holder_tensors(holders, host::names::initialized()), 1.0);
}

// The first get_initial_correlation_batches() batches: the arithmetic mean, and the best
// scores start over.
void fold_initial_scores(const Holders& holders, const Dims& storage, double initialized, const ScoreBatch& batch) {
  fold_arithmetic_scores(holders, storage, initialized, batch);
  at::NoGradGuard no_grad;
  for (py::handle name :
       {host::names::best_score(), host::names::previous_best_score(), host::names::best_pearson_correlation()}) {
    at::_foreach_mul_(holder_tensors(holders, name), 0);
  }
}

// After them: exponential moving averages with the correlation average factor.
void fold_steady_scores(const Holders& holders, const Dims& storage, double factor, const ScoreBatch& batch) {
  at::NoGradGuard no_grad;
  kernels::exponential_fold_(holder_tensors(holders, host::names::prev_dendrite_candidate_average()),
                             per_holder(batch.outs_mean, holders.size(), storage), factor);
  // The two scores get new storage under the same tensor objects.
  const std::pair<py::handle, const at::Tensor*> scores[] = {
      {host::names::prev_dendrite_candidate_correlation(), &batch.covariance},
      {host::names::prev_dendrite_candidate_pearson(), &batch.pearson}};
  for (const auto& [name, values] : scores) {
    std::vector<at::Tensor> stored = holder_tensors(holders, name);
    std::vector<at::Tensor> folded =
        kernels::exponential_fold(stored, per_holder(*values, holders.size(), storage), factor);
    for (size_t i = 0; i < stored.size(); ++i) stored[i].set_data(folded[i]);
  }
}

// A single holder's batch: the holder's current_batch_pearson with the given mean and covariance.
ScoreBatch holder_score_batch(py::handle values, const at::Tensor& outs_mean, const at::Tensor& covariance) {
  const at::Tensor pearson = host::tensor_attr(values, host::names::current_batch_pearson()).unsqueeze(0);
  return {outs_mean.unsqueeze(0), covariance.unsqueeze(0), pearson};
}

void update_saved_values_averages_initial(py::handle values, const at::Tensor& outs_mean,
                                          const at::Tensor& covariance) {
  fold_initial_scores({py::reinterpret_borrow<py::object>(values)}, storage_shape(values),
                      host::tensor_attr(values, host::names::initialized()).item<double>(),
                      holder_score_batch(values, outs_mean, covariance));
}

void update_saved_values_averages(py::handle values, const at::Tensor& outs_mean, const at::Tensor& covariance) {
  fold_steady_scores({py::reinterpret_borrow<py::object>(values)}, storage_shape(values),
                     host::correlation_average_factor(), holder_score_batch(values, outs_mean, covariance));
}

// The text of what `step` raised, or nothing when it ran through. Interrupts still propagate.
template <typename Step>
std::optional<std::string> failure_of(Step&& step) {
  try {
    step();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::str(e.value()).cast<std::string>();
  } catch (const c10::Error& e) {
    return std::string(e.what_without_backtrace());
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
  return std::nullopt;
}

}  // namespace

void fold_scores(const Holders& holders, const Dims& storage, double initialized, const ScoreBatch& batch,
                 const LearningSettings& s) {
  if (s.per_epoch) {
    // `initialized` counts this epoch's batches: the epoch-end check sets it back to 0.
    fold_arithmetic_scores(holders, storage, initialized, batch);
  } else if (initialized < s.initial_batches) {
    fold_initial_scores(holders, storage, initialized, batch);
  } else {
    fold_steady_scores(holders, storage, s.factor, batch);
  }
}

void fold_error_average(const Holders& holders, const at::Tensor& error_sum, double full_mult, const Dims& storage) {
  at::NoGradGuard no_grad;
  const at::Tensor batch = error_sum.mul(0.01).div(full_mult).reshape(storage);
  kernels::decay_add_(holder_tensors(holders, host::names::normal_pass_average_d()),
                      std::vector<at::Tensor>(holders.size(), batch), 0.99);
}

void update_running_averages(const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs, py::handle values,
                             const Dims& math_dims, double full_mult, const at::Tensor& covariance,
                             py::handle math_tuple, py::handle full_mult_obj, at::Tensor error_sum,
                             at::Tensor outs_mean) {
  at::NoGradGuard no_grad;
  const LearningSettings s = LearningSettings::read();
  const Holders holder{py::reinterpret_borrow<py::object>(values)};
  // A neuron error that does not fit the statistics is a fault of the set-up: it ends the run.
  std::optional<std::string> failure = failure_of([&] {
    if (!error_sum.defined()) error_sum = at::sum(new_neuron_error.detach(), math_dims);
    fold_error_average(holder, error_sum, full_mult, storage_shape(values));
    if (s.dpp_verbose) {
      host::print("no error with");
      print_shape_report(new_neuron_error, values, math_tuple, full_mult_obj);
    }
  });
  if (failure) shape_failure(*failure, new_neuron_error, values, math_tuple, full_mult_obj);
  if (s.learn_live) {
    at::Tensor parents = host::tensor_attr(values, host::names::parents_average_d_vector());
    parents.copy_(host::tensor_attr(values, host::names::normal_pass_average_d()));
    parents.requires_grad_(false);
  }
  if (!outs_mean.defined()) outs_mean = at::mean(dendrite_outs.detach(), math_dims);
  const double initialized = host::tensor_attr(values, host::names::initialized()).item<double>();
  fold_scores(holder, storage_shape(values), initialized, holder_score_batch(values, outs_mean, covariance), s);
}

void register_running_scores(py::module_& m) {
  m.def(
      "update_running_averages",
      [](const at::Tensor& new_neuron_error, const at::Tensor& dendrite_outs, py::handle /*loss*/, py::handle values,
         py::handle math_tuple, py::handle full_mult, const at::Tensor& covariance) {
        update_running_averages(new_neuron_error, dendrite_outs, values, host::int_vector(math_tuple),
                                host::as_float(full_mult), covariance, math_tuple, full_mult);
      },
      py::arg("new_neuron_error"), py::arg("dendrite_outs"), py::arg("loss"), py::arg("values"),
      py::arg("math_tuple"), py::arg("full_mult"), py::arg("covariance"),
      "Folds one batch into a value holder's running statistics: normal_pass_average_d moves towards\n"
      "the per-neuron mean error (weight 0.01), parents_average_d_vector follows it when dendrites\n"
      "learn live, then update_saved_values_averages_initial runs while initialized is below\n"
      "get_initial_correlation_batches(), update_saved_values_averages after. loss is not used.\n\n"
      "A neuron error that does not fit the statistics prints a report, stops at the debugger\n"
      "(RuntimeError in a batch job) and then raises SystemExit(1).");
  m.def(
      "update_saved_values_averages_initial",
      [](py::handle saved_values, const at::Tensor& dendrite_outs, const at::Tensor& covariance, py::handle /*loss*/,
         py::handle /*last_parent_d*/, py::handle math_tuple) {
        at::NoGradGuard no_grad;
        update_saved_values_averages_initial(
            saved_values, at::mean(dendrite_outs.detach(), host::int_vector(math_tuple)), covariance);
      },
      py::arg("saved_values"), py::arg("dendrite_outs"), py::arg("covariance"), py::arg("loss"),
      py::arg("last_parent_d"), py::arg("math_tuple"),
      "Initial phase: folds the mean of dendrite_outs over math_tuple, covariance and the holder's\n"
      "current_batch_pearson into prev_dendrite_candidate_average, _correlation and _pearson as an\n"
      "arithmetic mean over the batches so far, zeroes best_score, previous_best_score and\n"
      "best_pearson_correlation, sets running_scalar to 1 and adds 1 to initialized.\n"
      "loss and last_parent_d are not read.\n\n"
      "Raises RuntimeError when a batch value does not reshape to dendrite_storage_shape.");
  m.def(
      "update_saved_values_averages",
      [](py::handle saved_values, const at::Tensor& dendrite_outs, const at::Tensor& covariance, py::handle /*loss*/,
         py::handle /*last_parent_d*/, py::handle math_tuple) {
        at::NoGradGuard no_grad;
        update_saved_values_averages(saved_values, at::mean(dendrite_outs.detach(), host::int_vector(math_tuple)),
                                     covariance);
      },
      py::arg("saved_values"), py::arg("dendrite_outs"), py::arg("covariance"), py::arg("loss"),
      py::arg("last_parent_d"), py::arg("math_tuple"),
      "Steady phase: moves prev_dendrite_candidate_average, _correlation and _pearson towards this\n"
      "batch (the mean of dendrite_outs over math_tuple, covariance, current_batch_pearson) as an\n"
      "exponential moving average with factor GDL.pc.get_correlation_average_factor() (0.99 by\n"
      "default); the correlation and Pearson tensors get new\n"
      "storage under the same objects. initialized is not advanced; loss and last_parent_d are not read.\n\n"
      "Raises RuntimeError when a batch value does not reshape to dendrite_storage_shape.");
}

}  // namespace dgr::modules
