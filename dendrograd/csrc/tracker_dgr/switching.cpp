// Switch decisions at the end of an epoch: the stop rules of p mode (history and cap), the
// candidates' improvement check with its statistics and short-epoch warning, the
// gradient-descent dendrites' loss variant, and the replaceable dispatch between them.
#include "tracker.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dgr::tracker {
namespace {

// Element 0 of a holder's single value (a one-element tensor) as a number.
double element0(py::handle holder, py::handle name) {
  at::Tensor t = host::tensor_attr(holder, name);
  if (t.numel() == 0) {
    throw py::value_error(host::class_name(holder) + "." + std::string(py::str(name)) +
                          " must hold one value, got an empty tensor");
  }
  return t.reshape({-1})[0].item<double>();
}

// The p phase's cap: the first n phase's length, or the last one's (the n phase just before
// this p phase, from its start at switch_epochs[-2], or 0, to switch_epochs[-1]).
py::object p_phase_cap(py::handle tracker) {
  py::object switches = member_var(tracker, names::switch_epochs());
  if (!host::cap_at_last_n_phase()) return switches[py::int_(0)];
  size_t count = host::length(switches);
  py::object n_start = count >= 2 ? py::object(switches[py::int_(count - 2)]) : py::object(py::int_(0));
  return py::object(switches[py::int_(count - 1)]) - n_start;
}

bool check_cap_switch(py::handle tracker, py::handle this_count) {
  if (!member_var(tracker, names::switch_mode()).equal(host::pc().attr(names::DOING_HISTORY()))) return false;
  if (!mode_is(tracker, DGR_STR("p"))) return false;
  if (!host::flag(names::get_cap_at_n())) return false;
  if (!(py::reinterpret_borrow<py::object>(this_count) >= p_phase_cap(tracker))) return false;
  if (!host::silent()) host::print("cap_at_n is True");
  return true;
}

bool history_switch(py::handle tracker) {
  if (!mode_is(tracker, DGR_STR("p"))) return false;
  py::object since = member_var(tracker, names::num_epochs_run()) - member_var(tracker, names::epoch_last_improved());
  return since >= host::get(names::get_p_epochs_to_switch());
}

double average(const std::vector<double>& values) {
  double sum = 0.0;
  for (double x : values) sum += x;
  return sum / static_cast<double>(values.size());
}

// How far the candidates' best scores moved this epoch, over the slots whose start score
// reaches the raw improvement threshold. Prints only.
void print_score_statistics(py::handle tracker) {
  double threshold_raw = host::number(names::get_arb_improvement_threshold_raw());
  std::vector<double> all_raw, all_pct, all_start;
  for (py::handle layer : tracker.attr(names::neuron_module_vector())) {
    py::object holders = layer.attr(names::dendrite_module()).attr(names::dendrite_values());
    long long candidates = host::integer(names::get_global_candidates());
    for (long long m = 0; m < candidates; ++m) {
      py::object dv = holders[py::int_(m)];
      at::Tensor best = host::tensor_attr(dv, names::best_score()).detach();
      at::Tensor start = host::tensor_attr(dv, names::epoch_start_best_score()).detach();
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
  host::print(host::percent("With average raw start score:     %.6f", average(all_start)));
  host::print(host::percent("With average raw score change:     %.6f", average(all_raw)));
  host::print(host::percent("and average percent score change: %.2f%%", average(all_pct)));
}

// ---- the short-epoch warning, once per tracker ---------------------------------------------

void warn_short_epoch(py::handle tracker, py::handle layer, long long seen, long long wanted) {
  std::string message =
      "dendrograd: neuron module " + std::string(py::str(layer.attr(names::name()))) + " went through only " +
      std::to_string(seen) + " batches of candidate learning this epoch, fewer than the " + std::to_string(wanted) +
      " of the initial correlation phase (GDL.pc.get_initial_correlation_batches()), so its candidates' scores "
      "were not updated. If an epoch really has fewer batches (a tiny data set while debugging, for instance), "
      "lower the phase below the number of batches per epoch with GDL.pc.set_initial_correlation_batches(n) and "
      "train '" + std::string(py::str(py::getattr(tracker, names::save_name(), py::str("?")))) +
      "' again, or reload a checkpoint with dendrograd.utils_dgr.load_net. If the epoch is longer, the layer is "
      "not reached by the backward pass: run a batch with GDL.pc.set_extra_verbose(True) to see which layers run "
      "forward and backward, then either make the layer take part in the loss or leave it unwrapped (choose the "
      "wrapped layer types with GDL.pc.set_modules_to_convert([...]) before "
      "dendrolab.utils_dendrolab.initialize_arb). Shown once per tracker.";
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw py::error_already_set();
  try {
    remember(tracker, names::short_epoch_warned(), py::bool_(true));
  } catch (py::error_already_set& e) {
    // A tracker whose own short_epoch_warned takes no value warns again on the next check.
    if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) throw;
  }
}

// Warns (a UserWarning: legitimate with a tiny data set, so it never stops the run) when the
// layer's candidates went through fewer batches than the initial correlation phase. Returns
// whether it warned.
bool warned_short_epoch(py::handle tracker, py::handle layer, py::handle holders) {
  double initialized = element0(holders[py::int_(0)], names::initialized());
  long long wanted = host::integer(names::get_initial_correlation_batches());
  if (initialized >= static_cast<double>(wanted)) return false;
  warn_short_epoch(tracker, layer, static_cast<long long>(initialized), wanted);
  return true;
}

// ---- the candidates' improvement check ---------------------------------------------------

// Nodes improved over the checked slots, and whether a slot improved at all.
struct EpochImprovement {
  long long nodes = 0;
  bool any = false;
};

// Whether an improvement restarts p-mode patience: not under mean-best scoring or live learning.
bool patience_follows_slots() {
  return !host::flag(names::get_doing_mean_best()) && !host::flag(names::get_learn_dendrites_live());
}

// An improved slot advances epoch_last_improved, unless patience follows the pooled best
// (pooled_best_improved below) or mean-best scoring or live learning decide.
void record_slot_improvement(py::handle tracker, py::handle layer, py::handle dv) {
  if (!patience_follows_slots() || host::p_patience_by_best_candidate()) return;
  mark_improved_now(tracker);
  if (!host::verbose()) return;
  double best_max = host::tensor_attr(dv, names::best_score()).detach().max().item<double>();
  host::print("Individual epoch improved is " +
              std::to_string(host::as_int(member_var(tracker, names::epoch_last_improved()))) + " for layer " +
              std::string(py::str(layer.attr(names::name()))) + " with current score: " +
              host::percent("%.16f", best_max));
}

// One candidate slot at the epoch end: modules_dgr's check_new_best_score runs for every
// slot; an improved one is recorded, snapshot and counted.
void check_slot(py::handle tracker, py::handle layer, py::handle dendrite_module, py::handle holders, long long m,
                py::handle check_new_best_score, EpochImprovement& found) {
  py::int_ slot(m);
  py::object dv = holders[slot];
  check_new_best_score(dv);
  bool per_neuron = host::snapshot_candidates_per_neuron();
  if (per_neuron) snapshot_improved_neurons(layer, dendrite_module, dv, slot);
  if (element0(dv, names::best_score_improved_this_epoch()) == 0.0) return;
  record_slot_improvement(tracker, layer, dv);
  if (!per_neuron) snapshot_whole_slot(layer, dendrite_module, dv, slot);
  at::Tensor best_improved = host::tensor_attr(dv, names::nodes_best_improved_this_epoch()).detach();
  found.nodes += best_improved.gt(0).sum().item<int64_t>();
  found.any = true;
}

// Per neuron, the largest magnitude of `name` over the layer's candidate slots.
at::Tensor pooled_over_slots(py::handle holders, long long candidates, py::handle name) {
  std::vector<at::Tensor> scores;
  for (long long m = 0; m < candidates; ++m) {
    scores.push_back(host::tensor_attr(holders[py::int_(m)], name).detach().abs().reshape({-1}));
  }
  py::gil_scoped_release no_gil;
  return std::get<0>(at::stack(scores).max(0));
}

// Whether the best score any candidate holds for some neuron passed the improvement margins
// over the best held at the slots' last counted improvements (`reference`, read before the
// slots were checked): a weak candidate catching up restarts nothing.
bool pooled_best_improved(py::handle holders, long long candidates, const at::Tensor& reference) {
  at::Tensor best = pooled_over_slots(holders, candidates, names::best_score());
  double threshold = host::number(names::get_arb_improvement_threshold());
  double threshold_raw = host::number(names::get_arb_improvement_threshold_raw());
  py::gil_scoped_release no_gil;
  at::Tensor beats = best.mul(1.0 - threshold).gt(reference).logical_and(best.sub(threshold_raw).gt(reference));
  return beats.any().item<bool>();
}

// With scores per epoch, the next epoch's first batch starts each slot's mean afresh.
void start_epoch_scores(py::handle holders, long long candidates) {
  at::NoGradGuard no_grad;
  for (long long m = 0; m < candidates; ++m) host::tensor_attr(holders[py::int_(m)], names::initialized()).zero_();
}

// Under mean-best scoring the answer follows best_mean_score_improved_this_epoch.
bool mean_best_improved(py::handle tracker) {
  if (!host::truthy(member_var(tracker, names::best_mean_score_improved_this_epoch()))) return false;
  if (!host::flag(names::get_learn_dendrites_live())) {
    mark_improved_now(tracker);
    if (host::verbose()) {
      host::print(host::percent("average epoch improved is %d", member_var(tracker, names::epoch_last_improved())));
    }
  }
  return true;
}

// `first_call` is part of the replacement points' calling convention; this check ignores it.
bool best_cascor_score_improved_this_epoch(py::handle tracker, py::handle /*first_call*/) {
  if (mode_is(tracker, DGR_STR("n"))) return false;
  EpochImprovement found;
  // One warning per tracker for an epoch shorter than the initial correlation phase.
  bool short_epoch_checked = host::truthy(recalled(tracker, names::short_epoch_warned(), Py_False));
  py::object check_new_best_score = MDG().attr("check_new_best_score");
  for (py::handle layer : tracker.attr(names::neuron_module_vector())) {
    py::object dendrite_module = layer.attr(names::dendrite_module());
    py::object holders = dendrite_module.attr(names::dendrite_values());
    bool per_epoch = host::correlation_scores_per_epoch();
    if (!short_epoch_checked && !per_epoch && host::flag(names::get_dendrite_learn_mode())) {
      short_epoch_checked = warned_short_epoch(tracker, layer, holders);
    }
    long long candidates = host::integer(names::get_global_candidates());
    bool pooled = host::p_patience_by_best_candidate() && patience_follows_slots() && candidates > 0;
    at::Tensor reference = pooled ? pooled_over_slots(holders, candidates, names::previous_best_score()) : at::Tensor();
    for (long long m = 0; m < candidates; ++m) {
      check_slot(tracker, layer, dendrite_module, holders, m, check_new_best_score, found);
    }
    if (pooled && pooled_best_improved(holders, candidates, reference)) mark_improved_now(tracker);
    if (per_epoch) start_epoch_scores(holders, candidates);
  }
  if (!host::silent()) {
    host::print(host::percent("Nodes that improved their correlation score this epoch: %d", found.nodes));
    print_score_statistics(tracker);
  }
  if (!host::flag(names::get_doing_mean_best())) return found.any;
  return mean_best_improved(tracker);
}

// ---- the gradient-descent dendrites' variant and the dispatch ------------------------------

// The epoch's mean dendrite loss from modules_dgr's accumulators, which are reset (with
// what the ranks of a process group agreed on).
double take_gd_epoch_loss(py::handle mdg, long long count) {
  double mean_loss = host::as_float(mdg.attr("_gd_epoch_loss_sum")) / static_cast<double>(count);
  mdg.attr("_gd_epoch_loss_sum") = py::float_(0.0);
  mdg.attr("_gd_epoch_loss_count") = py::int_(0);
  if (py::hasattr(mdg, "_gd_epoch_loss_count_agreed")) {
    mdg.attr("_gd_epoch_loss_sum_agreed") = py::float_(0.0);
    mdg.attr("_gd_epoch_loss_count_agreed") = py::int_(0);
  }
  return mean_loss;
}

bool best_gd_score_improved_this_epoch(py::handle tracker, py::handle /*first_call*/) {
  if (mode_is(tracker, DGR_STR("n"))) return false;
  py::handle mdg = MDG();
  long long count = host::as_int(mdg.attr("_gd_epoch_loss_count"));
  if (count == 0) return false;
  double mean_loss = take_gd_epoch_loss(mdg, count);
  double best = host::as_float(mdg.attr("_gd_best_epoch_loss"));
  bool improved = best == 0.0 || mean_loss < best;
  if (improved) {
    if (!host::silent()) {
      host::print("GD dendrite loss improved: " + host::percent("%.6f", best) + " -> " +
                  host::percent("%.6f", mean_loss));
    }
    mdg.attr("_gd_best_epoch_loss") = py::float_(mean_loss);
    mark_improved_now(tracker);
  } else if (!host::silent()) {
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
    if (host::verbose()) host::print("best ARB score improved");
    mark_improved_now(tracker);
    if (host::verbose()) {
      host::print(host::percent("3 epoch improved is %d", member_var(tracker, names::epoch_last_improved())));
    }
  } else if (host::verbose()) {
    host::print("best ARB score not improved");
  }
}

}  // namespace

void register_switching(py::module_& m) {
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
}

}  // namespace dgr::tracker
