// The add-on's state outside DistributedDataParallel's reducer: its ignore list, the check
// that every rank trains the same structure, rank 0's state after a restructure, and the
// agreement at an epoch's end.
#include "distributed.h"

#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace dgr::tracker::dist {
namespace {

// ---- the add-on's own state ------------------------------------------------------------

// A parameter DDP reduces: a trained role (neuron, dendrite, or untagged) and some elements.
bool reduced_by_ddp(py::handle param) {
  py::object role = py::getattr(param, DGR_STR("parameter_type"), py::none());
  bool trained = role.is_none() || role.equal(py::str("neuron")) || role.equal(py::str("dendrite"));
  return trained && host::tensor(param, "a parameter").numel() > 0;
}

// A buffer DDP broadcasts: those of the wrapped layer and of the accepted dendrites.
bool broadcast_by_ddp(const std::string& name) {
  return name.rfind("main_module.", 0) == 0 || name.rfind("dendrite_module.layers.", 0) == 0;
}

// Names (relative to the neuron module) and tensors of what the add-on keeps in agreement.
void addon_owned(py::handle neuron_module, std::vector<std::string>* names, std::vector<at::Tensor>* tensors) {
  for (py::handle item : neuron_module.attr("named_parameters")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    if (reduced_by_ddp(pair[1])) continue;
    if (names) names->push_back(py::str(pair[0]));
    if (tensors) tensors->push_back(host::tensor(pair[1]));
  }
  for (py::handle item : neuron_module.attr("named_buffers")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    std::string name = py::str(pair[0]);
    if (broadcast_by_ddp(name)) continue;
    if (names) names->push_back(name);
    if (tensors) tensors->push_back(host::tensor(pair[1]));
  }
}

// ---- structure ---------------------------------------------------------------------------

const char* const kFieldNames[] = {"mode",       "epochs run",      "mode switches", "neuron modules",
                                   "dendrites",  "dendrite layout", "candidates",    "parameters",
                                   "parameter elements", "parameter dtypes (code sum)"};
constexpr size_t kFields = sizeof(kFieldNames) / sizeof(kFieldNames[0]);

// What every rank must share: mode, counters and the grown structure.
std::vector<double> structure_of(py::handle tracker) {
  std::vector<double> f(kFields, 0.0);
  f[0] = mode_is(tracker, DGR_STR("p")) ? 1.0 : 0.0;
  f[1] = host::as_float(member_var(tracker, names::num_epochs_run()));
  f[2] = static_cast<double>(host::length(member_var(tracker, names::switch_epochs())));
  double k = 0;
  for (py::handle neuron_module : tracker.attr(names::neuron_module_vector())) {
    py::object dendrite_module = neuron_module.attr(names::dendrite_module());
    double dendrites = host::as_float(dendrite_module.attr(names::num_dendrites()));
    k += 1;
    f[3] += 1;
    f[4] += dendrites;
    f[5] += k * dendrites;
    f[6] += static_cast<double>(host::length(dendrite_module.attr(names::dendrite_values())));
    for (py::handle param : neuron_module.attr("parameters")()) {
      at::Tensor t = host::tensor(param, "a parameter");
      f[7] += 1;
      f[8] += static_cast<double>(t.numel());
      f[9] += static_cast<double>(static_cast<int>(t.scalar_type()) + 1);
    }
  }
  return f;
}

std::string format_field(double value, size_t field) {
  if (field == 0) return value == 1.0 ? "p" : "n";
  return std::to_string(static_cast<long long>(value));
}

// "field: rank 0 has a, rank 1 has b; ..." for every structure field on which the rows
// differ (the fields start at column `first`); empty when they agree.
std::string describe_differences(const std::vector<std::vector<double>>& rows, size_t first) {
  std::string differences;
  for (size_t field = 0; field < kFields; ++field) {
    size_t column = first + field;
    bool same = true;
    for (const auto& r : rows) same = same && r[column] == rows[0][column];
    if (same) continue;
    differences += differences.empty() ? "" : "; ";
    differences += kFieldNames[field];
    differences += ":";
    for (size_t r = 0; r < rows.size(); ++r) {
      differences += " rank " + std::to_string(r) + " has " + format_field(rows[r][column], field);
      differences += r + 1 < rows.size() ? "," : "";
    }
  }
  return differences;
}

// Gathers `extra` followed by this rank's structure from every rank. Returns one row per rank.
// `detail` follows `when` in the message of a failed collective.
std::vector<std::vector<double>> gather_rows(const Group& g, py::handle tracker, const std::vector<double>& extra,
                                             const std::string& when, const std::string& detail = "") {
  std::vector<double> row = extra;
  std::vector<double> own = structure_of(tracker);
  row.insert(row.end(), own.begin(), own.end());
  const int64_t width = static_cast<int64_t>(row.size());
  at::Tensor mine = at::tensor(row, at::dtype(at::kDouble)).to(g.device);
  py::list gathered;
  for (long long r = 0; r < g.size; ++r) gathered.append(host::wrap(at::empty({width}, mine.options())));
  collective(g, "comparing the ranks' training state " + when + detail,
             [&] { torch_distributed().attr("all_gather")(gathered, host::wrap(mine)); });
  std::vector<std::vector<double>> rows;
  for (py::handle t : gathered) {
    at::Tensor cpu = host::tensor(t).to(at::kCPU).contiguous();
    rows.emplace_back(cpu.data_ptr<double>(), cpu.data_ptr<double>() + width);
  }
  return rows;
}

// Raises the same RuntimeError on every rank when the structures (from column `first` on) differ.
void require_same_structure(const std::vector<std::vector<double>>& rows, size_t first, const std::string& when) {
  std::string differences = describe_differences(rows, first);
  if (!differences.empty()) {
    throw std::runtime_error("dendrograd: the ranks disagree on the training state " + when + " (" + differences +
                             "). Every rank must train the same network from the same state: build it the same "
                             "way and resume every rank from the same checkpoint.");
  }
}

// Columns of the epoch end's row before the structure.
enum EpochColumn : size_t { kScore, kGdSum, kGdCount, kSteps, kJoined, kEpochColumns };

// Ranks that reach the epoch end after different numbers of steps outside a Join took
// steps the others did not share (steps without collectives: no DDP, n mode); where the
// steps have collectives the rank with more batches waits in them instead, and the
// epoch end's gather fails with this rank's count in its message.
void require_same_steps(const std::vector<std::vector<double>>& rows) {
  bool joined = false, same = true;
  for (const auto& r : rows) {
    joined = joined || r[kJoined] != 0.0;
    same = same && r[kSteps] == rows[0][kSteps];
  }
  if (joined || same) return;
  std::string counts;
  for (size_t r = 0; r < rows.size(); ++r) {
    counts += (r ? ", rank " : "rank ") + std::to_string(r) + " ran " +
              std::to_string(static_cast<long long>(rows[r][kSteps]));
  }
  throw std::runtime_error(
      "dendrograd: the ranks ran different numbers of optimizer steps in this epoch (" + counts +
      "), so their steps no longer pair up and their training state no longer agrees. Give every rank the same "
      "number of batches (torch.utils.data.DistributedSampler does), or train the epoch inside "
      "torch.distributed.algorithms.Join([ddp, optimizer]) so that a rank that runs out of batches answers the "
      "others' steps.");
}

// The names DDP reduces for `module` (those not on its ignore list), as a set of parameter ids.
std::unordered_set<PyObject*> ddp_parameters_of(py::handle module) {
  py::object ignore = py::getattr(module, "_ddp_params_and_buffers_to_ignore", py::list());
  py::set ignored(ignore);
  std::unordered_set<PyObject*> ids;
  for (py::handle item : module.attr("named_parameters")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    if (!host::contains(ignored, pair[0])) ids.insert(pair[1].ptr());
  }
  return ids;
}

// A DistributedDataParallel wrapper built before the last restructure reduces the old set
// of parameters: the new dendrites would silently drift apart on each rank.
void require_current_wrapper(py::handle network) {
  py::handle parallel = DGR_CACHED_MODULE("torch.nn.parallel");
  if (!host::is_instance(network, parallel.attr("DistributedDataParallel"))) return;
  py::object registered = py::getattr(network, "_module_parameters", py::none());
  if (registered.is_none()) return;
  std::unordered_set<PyObject*> wrapped;
  for (py::handle p : registered) wrapped.insert(p.ptr());
  if (wrapped == ddp_parameters_of(network.attr("module"))) return;
  throw std::runtime_error(
      "dendrograd: this DistributedDataParallel wrapper was built before the network's last restructure and does "
      "not reduce the parameters it has now; the new dendrites would drift apart on each rank. Whenever "
      "add_validation_score reports restructured, take tracker.optimizer and wrap again: "
      "ddp = DistributedDataParallel(model).");
}

// The gradient-descent dendrite mode's epoch loss: what this rank added since the last
// agreement, and the agreed total the accumulator holds until its consumer resets it.
struct GdLoss {
  double sum = 0.0, count = 0.0;                 // this rank's accumulator
  double agreed_sum = 0.0, agreed_count = 0.0;   // the part of it that is agreed already
};

GdLoss read_gd_loss(py::handle mdg) {
  GdLoss loss;
  loss.sum = host::as_float(py::getattr(mdg, "_gd_epoch_loss_sum", py::float_(0.0)));
  loss.count = host::as_float(py::getattr(mdg, "_gd_epoch_loss_count", py::int_(0)));
  loss.agreed_sum = host::as_float(py::getattr(mdg, "_gd_epoch_loss_sum_agreed", py::float_(0.0)));
  loss.agreed_count = host::as_float(py::getattr(mdg, "_gd_epoch_loss_count_agreed", py::int_(0)));
  if (loss.count < loss.agreed_count || (loss.count == loss.agreed_count && loss.sum != loss.agreed_sum)) {
    loss.agreed_sum = loss.agreed_count = 0.0;  // reset since: everything in it is this rank's own
  }
  return loss;
}

void store_agreed_gd_loss(py::handle mdg, double sums, double counts) {
  mdg.attr("_gd_epoch_loss_sum") = py::float_(sums);
  mdg.attr("_gd_epoch_loss_count") = py::int_(static_cast<long long>(counts));
  mdg.attr("_gd_epoch_loss_sum_agreed") = py::float_(sums);
  mdg.attr("_gd_epoch_loss_count_agreed") = py::int_(static_cast<long long>(counts));
}

}  // namespace

void exclude_from_ddp(py::handle model) {
  if (model.is_none()) return;
  model = host::unwrap_parallel(model);
  std::unordered_set<PyObject*> neuron_modules;
  for (py::handle m : host::tracker().attr(names::neuron_module_vector())) neuron_modules.insert(m.ptr());
  py::list ours;
  for (py::handle item : model.attr("named_modules")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    if (!neuron_modules.count(pair[1].ptr())) continue;
    std::string prefix = py::str(pair[0]);
    if (!prefix.empty()) prefix += ".";
    std::vector<std::string> names;
    addon_owned(pair[1], &names, nullptr);
    for (const std::string& name : names) ours.append(py::str(prefix + name));
  }
  // The user's own entries stay; the add-on's entries of an earlier structure go.
  py::set previous(py::getattr(model, "_dgr_ddp_ignored", py::list()));
  py::list merged;
  for (py::handle name : py::getattr(model, "_ddp_params_and_buffers_to_ignore", py::list())) {
    if (!host::contains(previous, name)) merged.append(name);
  }
  for (py::handle name : ours) merged.append(name);
  py::handle ddp = DGR_CACHED_MODULE("torch.nn.parallel").attr("DistributedDataParallel");
  ddp.attr("_set_params_and_buffers_to_ignore_for_model")(model, merged);
  model.attr("_dgr_ddp_ignored") = ours;
}

void agree_after_restructure(py::handle tracker) {
  std::optional<Group> g = active_group();
  remember(tracker, names::distributed_world_size(), py::int_(g ? g->size : 1));
  if (!g) return;
  if (host::flag(names::get_learn_dendrites_live())) {
    throw std::runtime_error("dendrograd: learn_dendrites_live is not supported with a process group of " +
                             std::to_string(g->size) +
                             " ranks (its candidate learns through the ordinary loss, outside "
                             "DistributedDataParallel); set GDL.pc.set_learn_dendrites_live(False)");
  }
  restart_step_count(tracker);
  require_same_structure(gather_rows(*g, tracker, {}, "after a new optimizer"), 0, "after a new optimizer");
  broadcast_addon_state(tracker, *g, 0, "taking rank 0's candidates and statistics");
}

void broadcast_addon_state(py::handle tracker, const Group& g, long long src, const std::string& what) {
  std::vector<at::Tensor> state;
  for (py::handle neuron_module : tracker.attr(names::neuron_module_vector())) {
    addon_owned(neuron_module, nullptr, &state);
    py::object saved = neuron_module.attr(names::dendrite_module()).attr(names::best_dendrites_to_candidates_saved());
    for (py::handle t : saved) state.push_back(host::tensor(t, "a best_dendrites_to_candidates_saved entry"));
  }
  bucketed_in_place(state, g.device, [&](at::Tensor& flat) {
    collective(g, what, [&] { torch_distributed().attr("broadcast")(host::wrap(flat), py::arg("src") = src); });
  });
}

py::object agree_at_epoch_end(py::handle tracker, py::object score, py::handle network) {
  std::optional<Group> g = run_group(tracker);
  if (!g) return score;
  require_current_wrapper(network);
  py::handle mdg = MDG();
  const GdLoss gd = read_gd_loss(mdg);
  const double own = host::as_float(score);
  const bool joined = joined_this_epoch(tracker) || in_enabled_join(network);
  std::vector<double> extra(kEpochColumns);
  extra[kScore] = own;
  extra[kGdSum] = gd.sum - gd.agreed_sum;
  extra[kGdCount] = gd.count - gd.agreed_count;
  extra[kSteps] = static_cast<double>(steps_this_epoch(tracker));
  extra[kJoined] = joined ? 1.0 : 0.0;
  // A rank with more batches than this one may still be in a step's collective, and then this
  // gather fails at the group's timeout: its message carries this rank's count.
  auto rows = gather_rows(*g, tracker, extra, "at the end of an epoch",
                          " (this rank ran " + std::to_string(steps_this_epoch(tracker)) + " optimizer steps in it)");
  restart_step_count(tracker);
  require_same_steps(rows);
  require_same_structure(rows, kEpochColumns, "at the end of an epoch");
  double total = 0.0, sums = gd.agreed_sum, counts = gd.agreed_count;
  bool all_same = true;
  for (const auto& r : rows) {
    total += r[kScore];
    sums += r[kGdSum];
    counts += r[kGdCount];
    all_same = all_same && r[kScore] == own;
  }
  if (counts > 0) store_agreed_gd_loss(mdg, sums, counts);
  if (all_same) return score;  // a score that is global already stays exactly as passed
  return py::float_(total / static_cast<double>(rows.size()));
}

void register_distributed_state(py::module_& m) {
  m.def("exclude_from_ddp", &exclude_from_ddp, py::arg("model"),
        "Puts the add-on's own state of `model` (candidates, best-candidate copies, templates, zero-size\n"
        "weights, the value holders' buffers) on DistributedDataParallel's ignore list, so that a default\n"
        "DistributedDataParallel(model) reduces only the neurons and accepted dendrites. Entries the user\n"
        "put on that list stay. The host calls it at initialize_arb and before every new optimizer.");
  m.def("agree_after_restructure", &agree_after_restructure, py::arg("tracker"),
        "With a torch.distributed process group of two or more ranks: checks that every rank has the\n"
        "same mode, counters and structure (RuntimeError naming the differences on every rank otherwise)\n"
        "and copies rank 0's candidates, best-candidate copies and statistics to every rank, in one\n"
        "broadcast per dtype and device. Records the group's size for the tracker (also on its\n"
        "distributed_world_size where the tracker declares one). setup_optimizer_dg calls it; without a\n"
        "process group it does nothing else.");
  m.def("agree_at_epoch_end", &agree_at_epoch_end, py::arg("tracker"), py::arg("score"), py::arg("network"),
        "With a torch.distributed process group of two or more ranks: returns the validation score\n"
        "averaged over the ranks (`score` itself when every rank passed the same value), sums the\n"
        "gradient-descent dendrite mode's epoch loss over the ranks, and raises RuntimeError on every\n"
        "rank when the ranks' mode, counters or structure differ, when they ran different numbers of\n"
        "optimizer steps in the epoch outside a torch.distributed.algorithms.Join (the message names\n"
        "each rank's count), or when `network` is a DistributedDataParallel wrapper built before the\n"
        "last restructure. Without a process group it returns `score` unchanged.");
}

}  // namespace dgr::tracker::dist
