// modules_dgr: the epoch-end best-score bookkeeping of each candidate slot. A slot's best
// score rises with its running covariance; an improvement counts (and is reported to the
// tracker through the holder's flags) only once it passes both improvement margins.
#include "learning.h"

#include <c10/util/Exception.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <tuple>

namespace dgr::modules {
namespace {

std::tuple<at::Tensor, at::Tensor> new_best(py::handle values) {
  at::NoGradGuard no_grad;
  return kernels::best_scores(host::tensor_attr(values, host::names::best_score()),
                              host::tensor_attr(values, host::names::prev_dendrite_candidate_correlation()).detach());
}

at::Tensor margin_checks(const at::Tensor& new_score, const at::Tensor& old_score) {
  return kernels::beats_by_margins(new_score, old_score, host::number(host::names::get_arb_improvement_threshold()),
                                   host::number(host::names::get_arb_improvement_threshold_raw()));
}

// Whether an accelerator error's text says it timed out or failed to launch.
bool is_accelerator_timeout(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text.find("timeout") != std::string::npos || text.find("launch") != std::string::npos;
}

py::object dendrite_score_beats_current_best(const at::Tensor& new_score, const at::Tensor& old_score) {
  try {
    return host::wrap(margin_checks(new_score, old_score).any());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError) || !is_accelerator_timeout(py::str(e.value()))) throw;
  } catch (const c10::Error& e) {
    if (!is_accelerator_timeout(e.what_without_backtrace())) throw;
  }
  host::print("Warning: GPU timeout detected in dendrite_score_beats_current_best, falling back to "
              "CPU-synchronized check");
  at::Tensor combined = margin_checks(new_score, old_score).cpu();
  return py::bool_(combined.any().item<bool>());
}

std::string fixed16(const at::Tensor& element) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), "%.16f", element.item<double>());
  return buffer;
}

// "Score from A to B for layer with initialized N", at the neuron that moved most.
void print_improvement(py::handle values, const at::Tensor& best_score, const at::Tensor& previous,
                       const at::Tensor& initialized) {
  at::Tensor delta = (best_score - previous).reshape({-1});
  int64_t at_index = delta.abs().argmax().item<int64_t>();
  host::print("Score from " + fixed16(previous.reshape({-1})[at_index]) + " to " +
              fixed16(best_score.reshape({-1})[at_index]) + " for " +
              std::string(py::str(values.attr(host::names::layer_name()))) + " with initialized " +
              std::to_string(static_cast<long long>(initialized.item<double>())));
}

// An improvement past the margins: the flags the tracker reads, and the references move up.
void accept_improvement(py::handle values, const at::Tensor& best_score, const at::Tensor& previous,
                        const at::Tensor& best_indices) {
  set_element0(host::tensor_attr(values, host::names::best_score_improved_this_epoch()), 1.0);
  at::Tensor indexes = host::tensor_attr(values, host::names::indexes_of_best());
  indexes.copy_(best_indices);
  host::tensor_attr(values, host::names::nodes_best_improved_this_epoch()).add_(indexes);
  previous.copy_(at::maximum(best_score, previous));
  at::Tensor best_pearson = host::tensor_attr(values, host::names::best_pearson_correlation());
  best_pearson.copy_(
      at::maximum(best_pearson, host::tensor_attr(values, host::names::prev_dendrite_candidate_pearson()).abs()));
}

void check_new_best_score(py::handle values) {
  at::NoGradGuard no_grad;
  auto [new_best_score, best_indices] = new_best(values);
  at::Tensor best_score = host::tensor_attr(values, host::names::best_score());
  if (new_best_score.gt(best_score).any().item<bool>()) {
    host::tensor_attr(values, host::names::nodes_improved_any()).add_(best_indices);
  }
  best_score.copy_(new_best_score);
  at::Tensor previous = host::tensor_attr(values, host::names::previous_best_score());
  at::Tensor initialized = host::tensor_attr(values, host::names::initialized());
  if (!host::truthy(dendrite_score_beats_current_best(best_score, previous)) && initialized.item<double>() != 0) {
    return;  // small gains accumulate in best_score until they pass the margins together
  }
  at::Tensor flag = host::tensor_attr(values, host::names::best_score_improved_this_epoch());
  if (flag.reshape({-1})[0].item<double>() == 0 && host::verbose()) {
    print_improvement(values, best_score, previous, initialized);
  }
  accept_improvement(values, best_score, previous, best_indices);
}

void print_correlation_values(py::handle values, py::handle dendrite_outs, py::handle covariance, py::handle loss,
                              py::handle new_neuron_error) {
  host::print("Correlation Values:");
  host::print("Last Dendrite Outs:", dendrite_outs);
  host::print("New Neuron Error:", new_neuron_error);
  host::print("Current Correlations:", covariance);
  host::print("Loss:", loss);
  host::print("Initialized:", values.attr(host::names::initialized()));
  for (py::handle t : {dendrite_outs, covariance, loss, new_neuron_error}) {
    if (any_nan(host::tensor(t))) {
      host::print("got a nan in correlation function");
      host::debugger_stop("NaN in the correlation values");
      return;
    }
  }
}

}  // namespace

void register_best_scores(py::module_& m) {
  m.def("new_best", &new_best, py::arg("saved_values"),
        "Returns (best, indices): the element-wise maximum of the holder's best_score and\n"
        "|prev_dendrite_candidate_correlation|, and per element 1 where the running score is larger,\n"
        "0 where the stored best is kept (ties included). Does not modify the holder.\n\n"
        "Raises TypeError when either attribute is not a tensor, RuntimeError when their shapes differ.");
  m.def("dendrite_score_beats_current_best", &dendrite_score_beats_current_best, py::arg("new_score"),
        py::arg("old_score"),
        "True when any element of new_score beats old_score by both margins, strictly:\n"
        "new * (1 - get_arb_improvement_threshold()) > old and new - get_arb_improvement_threshold_raw() > old.\n"
        "Returns a one-element bool tensor; after an accelerator error mentioning \"timeout\" or \"launch\"\n"
        "it warns, checks again on the CPU and returns a plain bool.\n\n"
        "Other RuntimeErrors propagate.");
  m.def("check_new_best_score", &check_new_best_score, py::arg("saved_values"),
        "Epoch-end best-score bookkeeping of one value holder: raises best_score to new_best()\n"
        "and counts raised neurons in nodes_improved_any. When the rise over previous_best_score passes\n"
        "both margins (or initialized is 0) it sets best_score_improved_this_epoch, indexes_of_best\n"
        "and nodes_best_improved_this_epoch and moves previous_best_score and best_pearson_correlation\n"
        "up; otherwise small gains accumulate in best_score.\n\n"
        "Raises TypeError when a bookkeeping attribute is not a tensor.");
  m.def("print_correlation_values", &print_correlation_values, py::arg("values"), py::arg("dendrite_outs"),
        py::arg("covariance"), py::arg("loss"), py::arg("new_neuron_error"),
        "Diagnostic: prints one batch's candidate outputs, neuron error, covariance, loss and the value\n"
        "holder's initialized count. If dendrite_outs, covariance, loss or new_neuron_error holds NaN,\n"
        "prints \"got a nan in correlation function\" and stops at the debugger (RuntimeError in a\n"
        "batch job).\n\n"
        "Raises TypeError when one of the four is not a tensor.");
}

}  // namespace dgr::modules
