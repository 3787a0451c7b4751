// The p-mode step across a process group: after each rank applied its candidates'
// gradients, one all-reduce per dtype/device averages every candidate slot's gradients and
// its value holder's statistics over the ranks on which that slot learned.
#include "distributed.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace dgr::tracker::dist {
namespace {

// The value holder's statistics a p-mode step updates. The rest of its state changes only
// at epoch ends and restructures, alike on every rank; averaging it every step would let
// it wander by rounding on three or more ranks.
std::vector<py::handle> step_statistics() {
  return {names::normal_pass_average_d(),        names::parents_average_d_vector(),
          names::prev_dendrite_candidate_average(), names::prev_dendrite_candidate_correlation(),
          names::prev_dendrite_candidate_pearson(), names::current_batch_pearson(),
          names::initialized()};
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
  for (py::handle neuron_module : tracker.attr(names::neuron_module_vector())) {
    py::object dendrite_module = neuron_module.attr(names::dendrite_module());
    py::list holders(dendrite_module.attr(names::dendrite_values()));
    py::list candidates(dendrite_module.attr(names::candidate_module()));
    py::list into(dendrite_module.attr(names::dendrites_to_candidates()));
    for (size_t j = 0; j < holders.size(); ++j) {
      if (j >= candidates.size()) break;
      py::object into_candidate = j < into.size() ? py::object(into[j]) : py::object(py::none());
      shares.push_back(slot_share(candidates[j], into_candidate, holders[j]));
    }
  }
  return shares;
}

// ---- one all-reduce per (dtype, device) ---------------------------------------------------

// Value `value` of slot `slot`; a bucket lists a slot's values one after the other.
struct Place {
  size_t slot;
  size_t value;
};
using Buckets = std::map<std::pair<int, std::string>, std::vector<Place>>;

Buckets bucket_places(const std::vector<SlotShare>& shares) {
  Buckets buckets;
  for (size_t s = 0; s < shares.size(); ++s) {
    for (size_t v = 0; v < shares[s].values.size(); ++v) {
      const at::Tensor& t = shares[s].values[v];
      buckets[{static_cast<int>(t.scalar_type()), t.device().str()}].push_back({s, v});
    }
  }
  return buckets;
}

// Whether place k is the last of its slot's run in the bucket (its weight follows it).
bool ends_slot_run(const std::vector<Place>& places, size_t k) {
  return k + 1 == places.size() || places[k + 1].slot != places[k].slot;
}

// A bucket flattened: every slot's values, then the slot's weight (1 when it learned), so
// that the sums divide by the number of ranks that contributed.
struct PackedBucket {
  at::Tensor flat;
  std::vector<int64_t> weight_at;  // where each slot's weight lies in `flat`
  std::vector<size_t> weight_slot;
};

PackedBucket pack_bucket(const std::vector<SlotShare>& shares, const std::vector<Place>& places) {
  PackedBucket packed;
  std::vector<at::Tensor> parts;
  int64_t offset = 0;
  for (size_t k = 0; k < places.size(); ++k) {
    const SlotShare& share = shares[places[k].slot];
    const at::Tensor& t = share.values[places[k].value];
    parts.push_back(t.reshape({-1}));
    offset += t.numel();
    if (ends_slot_run(places, k)) {
      parts.push_back(at::full({1}, share.learned ? 1.0 : 0.0, t.options()));
      packed.weight_at.push_back(offset++);
      packed.weight_slot.push_back(places[k].slot);
    }
  }
  packed.flat = at::cat(parts);
  return packed;
}

// The summed weights after the all-reduce: per slot, the number of ranks on which it learned.
std::map<size_t, double> learned_on_ranks(const PackedBucket& packed) {
  at::Tensor index = at::tensor(packed.weight_at, at::dtype(at::kLong)).to(packed.flat.device());
  at::Tensor counts = packed.flat.index_select(0, index).to(at::kCPU, at::kDouble).contiguous();
  const double* count = counts.data_ptr<double>();
  std::map<size_t, double> count_of;
  for (size_t w = 0; w < packed.weight_slot.size(); ++w) count_of[packed.weight_slot[w]] = count[w];
  return count_of;
}

// Value v of a slot takes the average: a parameter's gradient, or a live statistic.
void store_average(SlotShare& share, size_t v, const at::Tensor& average) {
  if (v >= share.params.size()) {
    share.stats[v - share.params.size()].copy_(average);
    return;
  }
  py::object& param = share.params[v];
  py::object grad = param.attr("grad");
  if (grad.is_none()) {
    param.attr("grad") = host::wrap(average);
  } else {
    host::tensor(grad).copy_(average);
  }
}

// All-reduces one bucket and hands every slot that learned on some rank its average.
void reduce_bucket(const Group& g, std::vector<SlotShare>& shares, const std::vector<Place>& places) {
  PackedBucket packed = pack_bucket(shares, places);
  collective(g, "averaging the candidates' gradients and statistics",
             [&] { torch_distributed().attr("all_reduce")(host::wrap(packed.flat)); });
  std::map<size_t, double> count_of = learned_on_ranks(packed);
  int64_t offset = 0;
  for (size_t k = 0; k < places.size(); ++k) {
    SlotShare& share = shares[places[k].slot];
    const at::Tensor& t = share.values[places[k].value];
    at::Tensor sum = packed.flat.narrow(0, offset, t.numel()).view(t.sizes());
    offset += t.numel();
    if (ends_slot_run(places, k)) ++offset;  // the weight
    const double c = count_of[places[k].slot];
    if (c == 0.0) continue;  // no rank learned: every rank kept the same values
    store_average(share, places[k].value, sum.div(c));
  }
}

}  // namespace

bool reduce_candidate_step(py::handle tracker) {
  std::optional<Group> g = run_group(tracker);
  if (!g) return false;
  at::NoGradGuard no_grad;
  std::vector<SlotShare> shares = candidate_step_shares(tracker);
  for (auto& [key, places] : bucket_places(shares)) reduce_bucket(*g, shares, places);
  return true;
}

void register_distributed_step(py::module_& m) {
  m.def("reduce_candidate_step", &reduce_candidate_step, py::arg("tracker"),
        "With a torch.distributed process group of two or more ranks: averages every candidate slot's\n"
        "gradients and its value holder's floating-point statistics over the ranks on which that slot\n"
        "learned at this step, in one all-reduce per dtype and device. The p-mode step calls it on every\n"
        "rank. Returns False without a process group; RuntimeError when the group is gone or a\n"
        "collective fails.");
}

}  // namespace dgr::tracker::dist
