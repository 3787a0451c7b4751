// Data-parallel training across a torch.distributed process group.
//
// DistributedDataParallel averages the gradients of the trained parameters (neurons and
// accepted dendrites) in its backward. The rest of the add-on's state stays out of its
// reducer and is kept in agreement here, through the default process group:
//   * exclude_from_ddp: candidates, best-candidate copies, templates and the value
//     holders' buffers go on DDP's ignore list (at wrapping and at every restructure);
//   * agree_after_restructure: the ranks compare their structure, then take rank 0's
//     add-on state (new candidates start alike whatever each rank's random state);
//   * reduce_candidate_step: at each p-mode step one all-reduce per dtype/device averages
//     the candidates' gradients and the holders' running statistics over the ranks whose
//     slot learned, so every rank holds the same values after every step;
//   * agree_at_epoch_end: the validation score is averaged and the structure compared,
//     so every rank takes the same decisions.
// The collectives are torch.distributed's own; without an initialised process group of
// two or more ranks none of this runs.
#include "distributed.h"

#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace host = dgr::host;

namespace dgr::tracker::dist {
namespace {

py::handle torch_distributed() { return DGR_CACHED_MODULE("torch.distributed"); }

struct Group {
  long long rank = 0;
  long long size = 1;
  at::Device device = at::kCPU;  // where the small bookkeeping tensors go (CUDA for nccl)
};

// The device of the add-on's first parameter on an accelerator, else the current CUDA device.
at::Device accelerator_device() {
  for (py::handle neuron_module : host::tracker().attr(host::names::neuron_module_vector())) {
    for (py::handle param : neuron_module.attr("parameters")()) {
      at::Tensor t = host::tensor(param, "a parameter");
      if (t.is_cuda()) return t.device();
    }
  }
  return at::Device(at::kCUDA, static_cast<c10::DeviceIndex>(
                                   host::as_int(host::torch_module().attr("cuda").attr("current_device")())));
}

std::optional<Group> active_group() {
  py::handle d = torch_distributed();
  if (!host::truthy(d.attr("is_available")()) || !host::truthy(d.attr("is_initialized")())) return std::nullopt;
  Group g;
  g.size = host::as_int(d.attr("get_world_size")());
  if (g.size < 2) return std::nullopt;
  g.rank = host::as_int(d.attr("get_rank")());
  if (std::string(py::str(d.attr("get_backend")())) == "nccl") g.device = accelerator_device();
  return g;
}

std::string rank_text(const Group& g) { return "rank " + std::to_string(g.rank) + " of " + std::to_string(g.size); }

// The group of this run. A run that trained with a process group and finds it gone would
// leave the other ranks waiting for this one: that is an error here, not a silent fallback.
std::optional<Group> run_group(py::handle tracker) {
  std::optional<Group> g = active_group();
  long long trained_with = host::as_int(py::getattr(tracker, host::names::distributed_world_size(), py::int_(1)));
  if (!g && trained_with > 1) {
    throw std::runtime_error(
        "dendrograd: this run trains with a process group of " + std::to_string(trained_with) +
        " ranks, but torch.distributed is no longer initialised in this process; the other ranks would wait for "
        "this one forever. Keep the process group until training ends (destroy_process_group() after the last "
        "epoch), or build a new optimizer with tracker.setup_optimizer to train in one process.");
  }
  return g;
}

// Runs one collective; a failure (a rank that died, a broken group, a timeout) becomes a
// RuntimeError that says what was being agreed and on which rank.
template <typename Run>
void collective(const Group& g, const std::string& what, Run&& run) {
  try {
    run();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    std::string message = "dendrograd: " + what + " across the process group failed on " + rank_text(g) + ": " +
                          std::string(py::str(e.value())) +
                          " (every rank must keep running and reach the same steps and epoch ends, as "
                          "DistributedDataParallel requires)";
    py::raise_from(e, PyExc_RuntimeError, message.c_str());
    throw py::error_already_set();
  }
}

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

// Flattens `parts` into one tensor per (dtype, device), runs `op` on each, and copies the
// results back into the parts.
template <typename Op>
void bucketed_in_place(const std::vector<at::Tensor>& parts, Op&& op) {
  std::map<std::pair<int, std::string>, std::vector<at::Tensor>> buckets;
  for (const at::Tensor& t : parts) {
    if (t.numel() == 0) continue;
    buckets[{static_cast<int>(t.scalar_type()), t.device().str()}].push_back(t);
  }
  for (auto& [key, members] : buckets) {
    std::vector<at::Tensor> flat_parts;
    for (const at::Tensor& t : members) flat_parts.push_back(t.detach().reshape({-1}));
    at::Tensor flat = at::cat(flat_parts);
    op(flat);
    at::NoGradGuard no_grad;
    int64_t offset = 0;
    for (const at::Tensor& t : members) {
      t.copy_(flat.narrow(0, offset, t.numel()).view(t.sizes()));
      offset += t.numel();
    }
  }
}

// ---- structure ---------------------------------------------------------------------------

const char* const kFieldNames[] = {"mode",       "epochs run",      "mode switches", "neuron modules",
                                   "dendrites",  "dendrite layout", "candidates",    "parameters",
                                   "parameter elements", "parameter dtypes (code sum)"};
constexpr size_t kFields = sizeof(kFieldNames) / sizeof(kFieldNames[0]);

// What every rank must share: mode, counters and the grown structure.
std::vector<double> structure_of(py::handle tracker) {
  py::object member_vars = tracker.attr(host::names::member_vars());
  std::vector<double> f(kFields, 0.0);
  py::object mode = member_vars[py::str("mode")];
  f[0] = mode.equal(py::str("p")) ? 1.0 : 0.0;
  f[1] = host::as_float(member_vars[py::str("num_epochs_run")]);
  f[2] = static_cast<double>(py::len(member_vars[py::str("switch_epochs")]));
  double k = 0;
  for (py::handle neuron_module : tracker.attr(host::names::neuron_module_vector())) {
    py::object dendrite_module = neuron_module.attr(host::names::dendrite_module());
    double dendrites = host::as_float(dendrite_module.attr(host::names::num_dendrites()));
    k += 1;
    f[3] += 1;
    f[4] += dendrites;
    f[5] += k * dendrites;
    f[6] += static_cast<double>(py::len(dendrite_module.attr(host::names::dendrite_values())));
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

// Gathers `extra` followed by this rank's structure from every rank; raises the same
// RuntimeError on every rank when the structures differ. Returns one row per rank.
std::vector<std::vector<double>> gather_and_compare(const Group& g, py::handle tracker,
                                                    const std::vector<double>& extra, const std::string& when) {
  std::vector<double> row = extra;
  std::vector<double> own = structure_of(tracker);
  row.insert(row.end(), own.begin(), own.end());
  const int64_t width = static_cast<int64_t>(row.size());
  at::Tensor mine = at::tensor(row, at::dtype(at::kDouble)).to(g.device);
  py::list gathered;
  for (long long r = 0; r < g.size; ++r) gathered.append(host::wrap(at::empty({width}, mine.options())));
  collective(g, "comparing the ranks' training state " + when,
             [&] { torch_distributed().attr("all_gather")(gathered, host::wrap(mine)); });
  std::vector<std::vector<double>> rows;
  for (py::handle t : gathered) {
    at::Tensor cpu = host::tensor(t).to(at::kCPU).contiguous();
    rows.emplace_back(cpu.data_ptr<double>(), cpu.data_ptr<double>() + width);
  }
  std::string differences;
  for (size_t field = 0; field < kFields; ++field) {
    size_t column = extra.size() + field;
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
  if (!differences.empty()) {
    throw std::runtime_error("dendrograd: the ranks disagree on the training state " + when + " (" + differences +
                             "). Every rank must train the same network from the same state: build it the same "
                             "way and resume every rank from the same checkpoint.");
  }
  return rows;
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

// The value holder's statistics a p-mode step updates. The rest of its state changes only
// at epoch ends and restructures, alike on every rank; averaging it every step would let
// it wander by rounding on three or more ranks.
std::vector<py::handle> step_statistics() {
  return {host::names::normal_pass_average_d(),        host::names::parents_average_d_vector(),
          host::names::prev_dendrite_candidate_average(), host::names::prev_dendrite_candidate_correlation(),
          host::names::prev_dendrite_candidate_pearson(), host::names::current_batch_pearson(),
          host::names::initialized()};
}

// One candidate slot's share of the step's all-reduce.
struct SlotShare {
  bool learned = false;
  std::vector<at::Tensor> values;  // gradients then statistics (zeros where the slot learned nothing)
  std::vector<py::object> params;  // whose .grad takes the first len(params) averages
  std::vector<at::Tensor> stats;   // live statistics that take the rest
};

SlotShare slot_share(py::handle candidate, py::handle into_candidate, py::handle holder) {
  SlotShare share;
  std::vector<py::object> params;
  for (py::handle p : candidate.attr("parameters")()) params.push_back(py::reinterpret_borrow<py::object>(p));
  if (!into_candidate.is_none()) params.push_back(py::reinterpret_borrow<py::object>(into_candidate));
  for (const py::object& p : params) {
    if (host::tensor(p, "a candidate parameter").numel() == 0) continue;
    share.learned = share.learned || !p.attr("grad").is_none();
    share.params.push_back(p);
  }
  for (py::handle name : step_statistics()) {  // interned names: no allocation per step
    py::object value = py::getattr(holder, name, py::none());
    if (host::is_tensor(value) && host::tensor(value).is_floating_point()) share.stats.push_back(host::tensor(value));
  }
  // buffers of the candidate itself (a normalisation layer's running statistics)
  for (py::handle buffer : candidate.attr("buffers")()) {
    at::Tensor t = host::tensor(buffer, "a candidate buffer");
    if (t.is_floating_point()) share.stats.push_back(t);
  }
  for (const py::object& p : share.params) {
    py::object grad = p.attr("grad");
    at::Tensor param = host::tensor(p);
    share.values.push_back(share.learned && !grad.is_none() ? host::tensor(grad).detach() : at::zeros_like(param));
  }
  for (const at::Tensor& s : share.stats) share.values.push_back(share.learned ? s.detach() : at::zeros_like(s));
  return share;
}

std::vector<SlotShare> candidate_step_shares(py::handle tracker) {
  std::vector<SlotShare> shares;
  for (py::handle neuron_module : tracker.attr(host::names::neuron_module_vector())) {
    py::object dendrite_module = neuron_module.attr(host::names::dendrite_module());
    py::list holders(dendrite_module.attr(host::names::dendrite_values()));
    py::list candidates(dendrite_module.attr(host::names::candidate_module()));
    py::list into(dendrite_module.attr(host::names::dendrites_to_candidates()));
    for (size_t j = 0; j < holders.size(); ++j) {
      if (j >= candidates.size()) break;
      py::object into_candidate = j < into.size() ? py::object(into[j]) : py::object(py::none());
      shares.push_back(slot_share(candidates[j], into_candidate, holders[j]));
    }
  }
  return shares;
}

}  // namespace

bool in_process_group() { return active_group().has_value(); }

void exclude_from_ddp(py::handle model) {
  if (model.is_none()) return;
  model = host::unwrap_parallel(model);
  std::unordered_set<PyObject*> neuron_modules;
  for (py::handle m : host::tracker().attr(host::names::neuron_module_vector())) neuron_modules.insert(m.ptr());
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
  tracker.attr(host::names::distributed_world_size()) = py::int_(g ? g->size : 1);
  if (!g) return;
  if (host::flag(host::names::get_learn_dendrites_live())) {
    throw std::runtime_error("dendrograd: learn_dendrites_live is not supported with a process group of " +
                             std::to_string(g->size) +
                             " ranks (its candidate learns through the ordinary loss, outside "
                             "DistributedDataParallel); set GDL.pc.set_learn_dendrites_live(False)");
  }
  gather_and_compare(*g, tracker, {}, "after a new optimizer");
  std::vector<at::Tensor> state;
  for (py::handle neuron_module : tracker.attr(host::names::neuron_module_vector())) {
    addon_owned(neuron_module, nullptr, &state);
    py::object saved = neuron_module.attr(host::names::dendrite_module()).attr(host::names::best_dendrites_to_candidates_saved());
    for (py::handle t : saved) state.push_back(host::tensor(t, "a best_dendrites_to_candidates_saved entry"));
  }
  bucketed_in_place(state, [&](at::Tensor& flat) {
    collective(*g, "taking rank 0's candidates and statistics",
               [&] { torch_distributed().attr("broadcast")(host::wrap(flat), py::arg("src") = 0); });
  });
}

bool reduce_candidate_step(py::handle tracker) {
  std::optional<Group> g = run_group(tracker);
  if (!g) return false;
  at::NoGradGuard no_grad;
  std::vector<SlotShare> shares = candidate_step_shares(tracker);
  // Per (dtype, device): every slot's values in that bucket, then the slot's weight (1 when
  // it learned), so that the sums divide by the number of ranks that contributed.
  struct Place { size_t slot; size_t value; };
  std::map<std::pair<int, std::string>, std::vector<Place>> buckets;
  for (size_t s = 0; s < shares.size(); ++s) {
    for (size_t v = 0; v < shares[s].values.size(); ++v) {
      const at::Tensor& t = shares[s].values[v];
      buckets[{static_cast<int>(t.scalar_type()), t.device().str()}].push_back({s, v});
    }
  }
  for (auto& [key, places] : buckets) {
    std::vector<at::Tensor> parts;
    std::vector<int64_t> weight_at;
    std::vector<size_t> weight_slot;
    int64_t offset = 0;
    for (size_t k = 0; k < places.size(); ++k) {
      const SlotShare& share = shares[places[k].slot];
      const at::Tensor& t = share.values[places[k].value];
      parts.push_back(t.reshape({-1}));
      offset += t.numel();
      if (k + 1 == places.size() || places[k + 1].slot != places[k].slot) {
        parts.push_back(at::full({1}, share.learned ? 1.0 : 0.0, t.options()));
        weight_at.push_back(offset++);
        weight_slot.push_back(places[k].slot);
      }
    }
    at::Tensor flat = at::cat(parts);
    collective(*g, "averaging the candidates' gradients and statistics",
               [&] { torch_distributed().attr("all_reduce")(host::wrap(flat)); });
    at::Tensor index = at::tensor(weight_at, at::dtype(at::kLong)).to(flat.device());
    at::Tensor counts = flat.index_select(0, index).to(at::kCPU, at::kDouble).contiguous();
    const double* count = counts.data_ptr<double>();
    std::map<size_t, double> count_of;
    for (size_t w = 0; w < weight_slot.size(); ++w) count_of[weight_slot[w]] = count[w];
    offset = 0;
    for (size_t k = 0; k < places.size(); ++k) {
      SlotShare& share = shares[places[k].slot];
      const size_t v = places[k].value;
      const at::Tensor& t = share.values[v];
      at::Tensor average = flat.narrow(0, offset, t.numel()).view(t.sizes());
      offset += t.numel();
      if (k + 1 == places.size() || places[k + 1].slot != places[k].slot) ++offset;  // the weight
      const double c = count_of[places[k].slot];
      if (c == 0.0) continue;  // no rank learned: every rank kept the same values
      if (v < share.params.size()) {
        py::object& param = share.params[v];
        py::object grad = param.attr("grad");
        if (grad.is_none()) {
          param.attr("grad") = host::wrap(average.div(c));
        } else {
          host::tensor(grad).copy_(average.div(c));
        }
      } else {
        share.stats[v - share.params.size()].copy_(average.div(c));
      }
    }
  }
  return true;
}

py::object agree_at_epoch_end(py::handle tracker, py::object score, py::handle network) {
  std::optional<Group> g = run_group(tracker);
  if (!g) return score;
  require_current_wrapper(network);
  py::handle mdg = DGR_CACHED_MODULE("dendrograd.modules_dgr");
  // The gradient-descent dendrite mode's epoch loss: what this rank added since the last
  // agreement (the accumulator holds the agreed total until its consumer resets it).
  const double gd_sum = host::as_float(py::getattr(mdg, "_gd_epoch_loss_sum", py::float_(0.0)));
  const double gd_count = host::as_float(py::getattr(mdg, "_gd_epoch_loss_count", py::int_(0)));
  double agreed_sum = host::as_float(py::getattr(mdg, "_gd_epoch_loss_sum_agreed", py::float_(0.0)));
  double agreed_count = host::as_float(py::getattr(mdg, "_gd_epoch_loss_count_agreed", py::int_(0)));
  if (gd_count < agreed_count || (gd_count == agreed_count && gd_sum != agreed_sum)) {
    agreed_sum = agreed_count = 0.0;  // reset since: everything in it is this rank's own
  }
  const double own = host::as_float(score);
  auto rows = gather_and_compare(*g, tracker, {own, gd_sum - agreed_sum, gd_count - agreed_count},
                                 "at the end of an epoch");
  double total = 0.0, sums = agreed_sum, counts = agreed_count;
  bool all_same = true;
  for (const auto& r : rows) {
    total += r[0];
    sums += r[1];
    counts += r[2];
    all_same = all_same && r[0] == own;
  }
  if (counts > 0) {
    mdg.attr("_gd_epoch_loss_sum") = py::float_(sums);
    mdg.attr("_gd_epoch_loss_count") = py::int_(static_cast<long long>(counts));
    mdg.attr("_gd_epoch_loss_sum_agreed") = py::float_(sums);
    mdg.attr("_gd_epoch_loss_count_agreed") = py::int_(static_cast<long long>(counts));
  }
  if (all_same) return score;  // a score that is global already stays exactly as passed
  return py::float_(total / static_cast<double>(rows.size()));
}

void register_distributed(py::module_& m) {
  m.def("exclude_from_ddp", &exclude_from_ddp, py::arg("model"),
        "Puts the add-on's own state of `model` (candidates, best-candidate copies, templates, zero-size\n"
        "weights, the value holders' buffers) on DistributedDataParallel's ignore list, so that a default\n"
        "DistributedDataParallel(model) reduces only the neurons and accepted dendrites. Entries the user\n"
        "put on that list stay. The host calls it at initialize_arb and before every new optimizer.");
  m.def("agree_after_restructure", &agree_after_restructure, py::arg("tracker"),
        "With a torch.distributed process group of two or more ranks: checks that every rank has the\n"
        "same mode, counters and structure (RuntimeError naming the differences on every rank otherwise)\n"
        "and copies rank 0's candidates, best-candidate copies and statistics to every rank, in one\n"
        "broadcast per dtype and device. Records the group's size on the tracker\n"
        "(distributed_world_size). setup_optimizer_dg calls it; without a process group it does nothing.");
  m.def("reduce_candidate_step", &reduce_candidate_step, py::arg("tracker"),
        "With a torch.distributed process group of two or more ranks: averages every candidate slot's\n"
        "gradients and its value holder's floating-point statistics over the ranks on which that slot\n"
        "learned at this step, in one all-reduce per dtype and device. The p-mode step calls it on every\n"
        "rank. Returns False without a process group; RuntimeError when the group is gone or a\n"
        "collective fails.");
  m.def("agree_at_epoch_end", &agree_at_epoch_end, py::arg("tracker"), py::arg("score"), py::arg("network"),
        "With a torch.distributed process group of two or more ranks: returns the validation score\n"
        "averaged over the ranks (`score` itself when every rank passed the same value), sums the\n"
        "gradient-descent dendrite mode's epoch loss over the ranks, and raises RuntimeError on every\n"
        "rank when the ranks' mode, counters or structure differ, or when `network` is a\n"
        "DistributedDataParallel wrapper built before the last restructure. Without a process group\n"
        "it returns `score` unchanged.");
}

}  // namespace dgr::tracker::dist
