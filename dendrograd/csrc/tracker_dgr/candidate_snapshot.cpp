// The best-candidate snapshots kept per slot at the epoch end: the slot's whole candidate
// when any of its neurons improved, or each improved neuron's rows alone.
#include "tracker.h"

#include <algorithm>
#include <string>
#include <utility>
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

// The parameters and buffers of a module by name, as tensors it holds (empty for a
// snapshot that is not a module).
py::dict state_of(py::handle module) {
  if (!py::hasattr(module, "state_dict")) return py::dict();
  return module.attr("state_dict")(py::arg("keep_vars") = true);
}

// Per neuron, whether its best score rose this epoch: the first out_channels entries of the
// slot's nodes_improved_any.
at::Tensor improved_neurons(py::handle layer, py::handle dv, long long channels) {
  at::Tensor improved = host::tensor_attr(dv, names::nodes_improved_any()).detach().reshape({-1});
  if (channels > improved.numel()) {
    throw py::index_error("nodes_improved_any of " + std::string(py::str(layer.attr(names::name()))) +
                          " has fewer entries than out_channels");
  }
  py::gil_scoped_release no_gil;
  return improved.slice(0, 0, std::max<long long>(channels, 0)).gt(0);
}

// The slot's snapshot of the connections from the accepted dendrites into its candidate, and
// the live connections; undefined tensors while there is no accepted dendrite.
std::pair<at::Tensor, at::Tensor> dendrite_connections(py::handle dendrite_module, py::handle slot) {
  if (host::as_int(dendrite_module.attr(names::num_dendrites())) <= 0) return {};
  return {host::tensor(dendrite_module.attr(names::best_dendrites_to_candidates_saved())[slot],
                       "best_dendrites_to_candidates_saved entry of a dendrite module"),
          host::tensor(dendrite_module.attr(names::dendrites_to_candidates())[slot],
                       "dendrites_to_candidates entry of a dendrite module")};
}

// The slot's snapshot becomes a copy of its candidate.
void copy_whole_candidate(py::handle dendrite_module, py::handle slot) {
  py::object candidate = dendrite_module.attr(names::candidate_module())[slot];
  dendrite_module.attr(names::best_candidate_module())[slot] = DGR_CACHED_MODULE("copy").attr("deepcopy")(candidate);
}

}  // namespace

// When any node of the slot improved, the slot's candidate (and its dendrite connections)
// becomes the best: the snapshot is the same for every improved node, so it is taken once.
void snapshot_whole_slot(py::handle layer, py::handle dendrite_module, py::handle dv, py::handle slot) {
  at::Tensor mask = improved_neurons(layer, dv, host::as_int(dv.attr(names::out_channels())));
  if (!mask.any().item<bool>()) return;
  at::NoGradGuard no_grad;
  copy_whole_candidate(dendrite_module, slot);
  auto [saved, live] = dendrite_connections(dendrite_module, slot);
  if (saved.defined()) saved.copy_(live.detach());
}

// The neurons whose best score rose this epoch take the slot's current candidate into the
// snapshot, row by row (every tensor with one row per neuron; others whole), and their columns
// of the dendrite connections. A snapshot of another layout is replaced whole.
void snapshot_improved_neurons(py::handle layer, py::handle dendrite_module, py::handle dv, py::handle slot) {
  long long channels = host::as_int(dv.attr(names::out_channels()));
  at::Tensor mask = improved_neurons(layer, dv, channels);
  if (!mask.any().item<bool>()) return;
  at::NoGradGuard no_grad;
  py::dict live = state_of(dendrite_module.attr(names::candidate_module())[slot]);
  py::dict best = state_of(dendrite_module.attr(names::best_candidate_module())[slot]);
  if (host::length(best) == 0 || !same_layout(best, live)) {
    copy_whole_candidate(dendrite_module, slot);
  } else {
    for (auto [key, value] : best) {
      at::Tensor b = host::tensor(value, "snapshot tensor");
      at::Tensor l = host::tensor(live[key], "candidate tensor");
      if (b.dim() >= 1 && b.size(0) == channels) copy_neurons(b, l, mask.to(b.device()), 0);
      else b.copy_(l.detach());
    }
  }
  auto [saved, connections] = dendrite_connections(dendrite_module, slot);
  if (!saved.defined()) return;
  if (saved.dim() == 2 && saved.size(1) == channels) copy_neurons(saved, connections, mask.to(saved.device()), 1);
  else saved.copy_(connections.detach());
}

}  // namespace dgr::tracker
