// Score bookkeeping at the end of an epoch: per layer the best (or current) candidate
// score, the mean best score over the layers with its improvement flag, the weight movie
// of watched candidates and the p-mode accuracy series of the host's graphs.
#include "tracker.h"

#include <cmath>
#include <string>
#include <vector>

namespace dgr::tracker {
namespace {

// A tensor attribute of a holder, flattened, as doubles on the CPU.
at::Tensor flat_cpu_double(py::handle holder, py::handle name) {
  at::Tensor t = host::tensor_attr(holder, name).detach();
  py::gil_scoped_release no_gil;
  return t.reshape({-1}).to(at::kCPU, at::kDouble).contiguous();
}

// The largest-magnitude score of one layer; `found` stays false while only the untouched
// integer 0 is held (every compared score was NaN).
struct LargestScore {
  bool found = false;
  double value = 0.0;
};

// Loads the flattened scores of every candidate slot up to `candidates` (each read once
// per layer) and checks that each has a score for `node`.
void load_columns(std::vector<at::Tensor>& columns, py::handle holders, long long candidates, long long node,
                  py::handle val_index) {
  while (static_cast<long long>(columns.size()) < candidates) {
    columns.push_back(flat_cpu_double(holders[py::int_(columns.size())], val_index));
  }
  for (long long c = 0; c < candidates; ++c) {
    if (node >= columns[c].numel()) {
      throw py::index_error("index " + std::to_string(node) + " is out of bounds for " +
                            std::string(py::str(val_index)) + " of candidate " + std::to_string(c));
    }
  }
}

// Largest magnitude over nodes and candidates; ties go to the later candidate and node,
// NaN never wins. The candidate count is asked once per node.
LargestScore largest_score(py::handle holders, long long channels, py::handle val_index) {
  LargestScore layer;
  std::vector<at::Tensor> columns;
  for (long long node = 0; node < channels; ++node) {
    long long candidates = host::integer(names::get_global_candidates());
    load_columns(columns, holders, candidates, node, val_index);
    LargestScore plane;
    for (long long c = 0; c < candidates; ++c) {
      double v = columns[c].data_ptr<double>()[node];
      if (std::fabs(v) >= std::fabs(plane.value)) plane = {true, v};
    }
    if (std::fabs(plane.value) >= std::fabs(layer.value)) layer = plane;
  }
  return layer;
}

// The mean over neurons of |score|: candidate slot 0's, or with mean_best_over_candidates each
// neuron's best over every slot.
double mean_best_score(py::handle holders, py::handle val_index) {
  std::vector<at::Tensor> scores{host::tensor_attr(holders[py::int_(0)], val_index).detach()};
  if (host::mean_best_over_candidates()) {
    long long candidates = host::integer(names::get_global_candidates());
    for (long long c = 1; c < candidates; ++c) {
      scores.push_back(host::tensor_attr(holders[py::int_(c)], val_index).detach());
    }
  }
  py::gil_scoped_release no_gil;
  if (scores.size() == 1) return scores[0].abs().mean().item<double>();
  return std::get<0>(at::stack(scores).abs().max(0)).mean().item<double>();
}

py::float_ add_scores(py::handle tracker, py::str val_index, py::str member_list) {
  double total_mean_best = 0.0;
  long long layer_id = 0;
  for (py::handle layer : tracker.attr(names::neuron_module_vector())) {
    py::object holders = layer.attr(names::dendrite_module()).attr(names::dendrite_values());
    double layer_mean_best = mean_best_score(holders, val_index);
    long long channels = host::as_int(layer.attr(names::out_channels()));
    LargestScore largest = largest_score(holders, channels, val_index);
    if (!largest.found) {
      host::print("Didn't get any non zero scores or a score is nan or inf.");
      host::debugger_stop("no candidate score is non-zero and finite");
      largest.value = 0.0;  // continuing: the layer records 0.0 for this epoch
    }
    py::object history = member_var(tracker, member_list)[py::int_(layer_id)];
    history.attr("append")(py::float_(std::fabs(largest.value)));
    total_mean_best += layer_mean_best / static_cast<double>(channels);
    ++layer_id;
  }
  return py::float_(total_mean_best);
}

// Appends the epoch's mean best score to best_mean_scores (the new one at the first epoch
// of a cycle or when it beats the last by both thresholds, else the last again) and sets
// best_mean_score_improved_this_epoch.
void record_mean_best(py::handle tracker, double total_mean_best) {
  py::object switch_epochs = member_var(tracker, names::switch_epochs());
  long long epochs_run = host::as_int(member_var(tracker, names::num_epochs_run()));
  long long since_switch = host::length(switch_epochs) == 0
                               ? epochs_run
                               : epochs_run - host::as_int(switch_epochs[py::int_(-1)]) - 1;
  py::list best_means = member_var(tracker, names::best_mean_scores());
  if (since_switch == 0) {
    if (host::verbose()) {
      host::print(host::percent("got current best mean ARB %f compared to old 0.0", total_mean_best));
    }
    best_means.append(total_mean_best);
    set_member_var(tracker, names::best_mean_score_improved_this_epoch(), py::int_(1));
    return;
  }
  py::object last_obj = best_means.attr("__getitem__")(-1);
  double last = host::as_float(last_obj);
  double threshold = host::number(names::get_arb_improvement_threshold());
  bool better = total_mean_best * (1.0 - threshold) - last > 1e-7 &&
                total_mean_best - last > host::number(names::get_arb_improvement_threshold_raw());
  if (host::verbose()) {
    host::print(std::string(better ? "Better" : "Not Better") + " current best mean ARB " +
                host::percent("%f", total_mean_best) + " compared to old " + host::percent("%f", last));
  }
  if (better) {
    best_means.append(total_mean_best);
  } else {
    best_means.append(last_obj);
  }
  set_member_var(tracker, names::best_mean_score_improved_this_epoch(), py::int_(better ? 1 : 0));
}

void add_best_scores(py::handle tracker) {
  double total_mean_best = add_scores(tracker, py::str("best_pearson_correlation"), py::str("best_scores"));
  if (!host::flag(names::get_doing_mean_best())) return;
  size_t layers = host::length(tracker.attr(names::neuron_module_vector()));
  if (layers == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    throw py::error_already_set();
  }
  record_mean_best(tracker, total_mean_best / static_cast<double>(layers));
}

void add_current_scores(py::handle tracker) {
  add_scores(tracker, py::str("prev_dendrite_candidate_pearson"), py::str("current_scores"));
}

void add_current_weights(py::handle tracker) {
  py::handle np = DGR_CACHED_MODULE("numpy");
  for (py::handle layer : tracker.attr(names::neuron_module_vector())) {
    if (!host::truthy(layer.attr(names::debug_arb_weights())) || !mode_is(tracker, DGR_STR("p"))) continue;
    py::object candidate = layer.attr(names::dendrite_module()).attr(names::candidate_module())[py::int_(0)];
    at::Tensor weight = host::tensor_attr(candidate, DGR_STR("weight")).detach();
    at::Tensor bias = host::tensor_attr(candidate, DGR_STR("bias")).detach();
    at::Tensor frame;
    {
      py::gil_scoped_release no_gil;
      frame = at::cat({weight.cpu(), bias.cpu().unsqueeze(1)}, 1).unsqueeze(2).contiguous();
    }
    py::object weights = host::wrap(frame).attr("numpy")();
    py::object stored = member_var(tracker, names::watch_weights());
    if (PyList_Check(stored.ptr()) && PyList_GET_SIZE(stored.ptr()) == 0) {
      set_member_var(tracker, names::watch_weights(), weights);
    } else {
      set_member_var(tracker, names::watch_weights(),
                     np.attr("concatenate")(py::make_tuple(stored, weights), py::arg("axis") = 2));
    }
  }
}

void update_dg_scores(py::handle tracker) {
  py::object global = host::tracker();
  if (mode_is(global, DGR_STR("p"))) {
    add_best_scores(global);
    if (host::flag(names::get_graphing_current_scores())) add_current_scores(global);
  }
  size_t n = host::length(tracker.attr(names::member_var_types())[py::str("n_accuracies")]);
  py::list series(n);
  for (size_t k = 0; k < n; ++k) series[k] = py::int_(kPAccuraciesValues[k % 129]);
  set_member_var(global, names::p_accuracies(), series);
}

}  // namespace

void register_scores(py::module_& m) {
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
}

}  // namespace dgr::tracker
