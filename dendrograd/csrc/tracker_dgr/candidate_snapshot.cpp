// The best-candidate snapshots kept per slot at the epoch end: the slot's whole candidate
// when any of its neurons improved, or each improved neuron's rows alone.
#include "tracker.h"

#include <string>
#include <vector>

namespace dgr::tracker {
namespace {

// `best` takes `live`'s values where `mask` (one entry per neuron along `dim`) is set.
void copy_neurons(const at::Tensor& best, const at::Tensor& live, const at::Tensor& mask, int64_t dim) {
  std::vector<int64_t> shape(best.dim(), 1);
  shape[dim] = mask.numel();
  best.copy_(at::where(mask.view(shape), live.detach(), best));
}

// Whether every tensor of the snapshot has its live counterpart of the same shape.
bool same_layout(const py::dict& best, const py::dict& live) {
  if (host::length(best) != host::length(live)) return false;
  for (auto [key, value] : best) {
    if (!live.contains(key)) return false;
    if (host::tensor(value, "snapshot tensor").sizes() != host::tensor(live[key], "candidate tensor").sizes()) {
      return false;
    }
  }
  return true;
}

}  // namespace

// When any node of the slot improved, the slot's candidate (and its dendrite connections)
// becomes the best: the snapshot is the same for every improved node, so it is taken once.
void snapshot_whole_slot(py::handle layer, py::handle dendrite_module, py::handle dv, py::handle slot) {
  at::Tensor improved_any = host::tensor_attr(dv, names::nodes_improved_any()).detach().reshape({-1});
  long long channels = host::as_int(dv.attr(names::out_channels()));
  if (channels > improved_any.numel()) {
    throw py::index_error("nodes_improved_any of " + std::string(py::str(layer.attr(names::name()))) +
                          " has fewer entries than out_channels");
  }
  bool any_node;
  {
    py::gil_scoped_release no_gil;
    any_node = channels > 0 && improved_any.slice(0, 0, channels).gt(0).any().item<bool>();
  }
  if (!any_node) return;
  at::NoGradGuard no_grad;
  py::object candidate = dendrite_module.attr(names::candidate_module())[slot];
  dendrite_module.attr(names::best_candidate_module())[slot] = DGR_CACHED_MODULE("copy").attr("deepcopy")(candidate);
  if (host::as_int(dendrite_module.attr(names::num_dendrites())) <= 0) return;
  at::Tensor saved = host::tensor(dendrite_module.attr(names::best_dendrites_to_candidates_saved())[slot],
                                  "best_dendrites_to_candidates_saved entry of a dendrite module");
  at::Tensor live = host::tensor(dendrite_module.attr(names::dendrites_to_candidates())[slot],
                                 "dendrites_to_candidates entry of a dendrite module");
  saved.copy_(live.detach());
}

// The neurons whose best score rose this epoch take the slot's current candidate into the
// snapshot, row by row (every tensor with one row per neuron; others whole), and their columns
// of the dendrite connections. A snapshot of another layout is replaced whole.
void snapshot_improved_neurons(py::handle dendrite_module, py::handle dv, py::handle slot, long long channels) {
  at::Tensor improved = host::tensor_attr(dv, names::nodes_improved_any()).detach().reshape({-1});
  if (channels <= 0 || channels > improved.numel()) return;
  at::Tensor mask = improved.slice(0, 0, channels).gt(0);
  if (!mask.any().item<bool>()) return;
  at::NoGradGuard no_grad;
  py::object candidate = dendrite_module.attr(names::candidate_module())[slot];
  py::object snapshots = dendrite_module.attr(names::best_candidate_module());
  py::object snapshot = snapshots[slot];
  py::dict live = candidate.attr("state_dict")(py::arg("keep_vars") = true);
  py::dict best = py::hasattr(snapshot, "state_dict") ? py::dict(snapshot.attr("state_dict")(py::arg("keep_vars") = true))
                                                      : py::dict();
  if (host::length(best) == 0 || !same_layout(best, live)) {
    snapshots[slot] = DGR_CACHED_MODULE("copy").attr("deepcopy")(candidate);
  } else {
    for (auto [key, value] : best) {
      at::Tensor b = host::tensor(value, "snapshot tensor");
      at::Tensor l = host::tensor(live[key], "candidate tensor");
      if (b.dim() >= 1 && b.size(0) == channels) copy_neurons(b, l, mask.to(b.device()), 0);
      else b.copy_(l.detach());
    }
  }
  if (host::as_int(dendrite_module.attr(names::num_dendrites())) <= 0) return;
  at::Tensor saved = host::tensor(dendrite_module.attr(names::best_dendrites_to_candidates_saved())[slot],
                                  "best_dendrites_to_candidates_saved entry of a dendrite module");
  at::Tensor connections = host::tensor(dendrite_module.attr(names::dendrites_to_candidates())[slot],
                                        "dendrites_to_candidates entry of a dendrite module");
  if (saved.dim() == 2 && saved.size(1) == channels) copy_neurons(saved, connections, mask.to(saved.device()), 1);
  else saved.copy_(connections.detach());
}

}  // namespace dgr::tracker
