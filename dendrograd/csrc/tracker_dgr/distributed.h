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
//   * agree_at_epoch_end: the validation score is averaged and the structure and the
//     number of steps compared, so every rank takes the same decisions;
//   * uneven inputs: the tracker's optimizer is a torch.distributed Joinable, so that
//     `with Join([ddp, optimizer]):` lets a rank that ran out of batches answer the
//     other ranks' steps and then take the state of the last rank to finish.
// The collectives are torch.distributed's own; without an initialised process group of
// two or more ranks none of this runs.
//
//   distributed_group.cpp  the process group and its collectives;
//   distributed_state.cpp  the ignore list, the structure check, restructure and epoch end;
//   distributed_step.cpp   the p-mode step's all-reduce;
//   distributed_join.cpp   the optimizer as a Joinable, and each rank's step count.
#pragma once

#include "tracker.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dgr::tracker::dist {

// Puts everything the add-on keeps in agreement itself (candidates, best-candidate copies,
// templates, the value holders' statistics) on DistributedDataParallel's ignore list of
// `model`, keeping entries the user put there. Runs with or without a process group.
void exclude_from_ddp(py::handle model);

// Whether torch.distributed runs a process group of two or more ranks in this process.
bool in_process_group();

// After a new optimizer (set-up, restructure, resume): the ranks compare their structure
// and take rank 0's add-on state. Does nothing without a process group of two or more ranks.
void agree_after_restructure(py::handle tracker);

// At a p-mode step, after this rank applied its candidates' gradients: one all-reduce per
// dtype/device averages the gradients and the holders' statistics over the ranks whose
// candidate slot learned. Returns false (and does nothing) without a process group.
bool reduce_candidate_step(py::handle tracker);

// Epoch end: compares the ranks' structure and returns the validation score averaged over
// the ranks (`score` itself when every rank passed the same value or there is no group).
py::object agree_at_epoch_end(py::handle tracker, py::object score, py::handle network);

void register_distributed_state(py::module_& m);
void register_distributed_step(py::module_& m);

// ---- uneven inputs (distributed_join.cpp) --------------------------------------------------

// With an initialised process group, makes `optimizer` an instance of torch.distributed's
// Joinable (a subclass of its own class with the join hooks, its behaviour otherwise
// unchanged). Leaves it as it is without a process group, where its class is a Joinable
// already, or where the class cannot take a subclass swapped in (a metaclass or layout
// that does not mix).
void make_joinable(py::handle optimizer);

// Whether `obj` (the optimizer or a DistributedDataParallel wrapper) belongs to a Join
// context manager that is enabled.
bool in_enabled_join(py::handle obj);

// At each step: tells an enclosing Join that this rank has not joined (does the collective
// only when the optimizer is the first joinable, as torch's protocol asks).
void notify_join(py::handle optimizer);

// This rank's optimizer steps since the last epoch end (or the last new optimizer), and
// whether any of them ran inside an enabled Join (where the ranks' counts may differ).
void count_step(py::handle tracker, py::handle optimizer);
long long steps_this_epoch(py::handle tracker);
bool joined_this_epoch(py::handle tracker);
void restart_step_count(py::handle tracker);

// ---- the process group (distributed_group.cpp), for the distributed_*.cpp files ----------

py::handle torch_distributed();

struct Group {
  long long rank = 0;
  long long size = 1;
  at::Device device = at::kCPU;  // where the small bookkeeping tensors go (CUDA for nccl)
};

// The initialised process group of two or more ranks, if any.
std::optional<Group> active_group();

// The group of this run. A run that trained with a process group and finds it gone would
// leave the other ranks waiting for this one: that is an error here, not a silent fallback.
std::optional<Group> run_group(py::handle tracker);

std::string rank_text(const Group& g);

// Copies rank `src`'s add-on state (candidates, best-candidate copies, statistics) to every
// rank, in one broadcast per dtype and device; `what` names it in a failure.
void broadcast_addon_state(py::handle tracker, const Group& g, long long src, const std::string& what);

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
                          "DistributedDataParallel requires; ranks with uneven numbers of batches train inside "
                          "torch.distributed.algorithms.Join([ddp, optimizer]))";
    py::raise_from(e, PyExc_RuntimeError, message.c_str());
    throw py::error_already_set();
  }
}

// Flattens `parts` into one tensor per (dtype, device), runs `op` on each, and copies the
// results back into the parts. A CPU bucket goes to `device` for the collective when that
// is an accelerator (nccl reduces only there).
template <typename Op>
void bucketed_in_place(const std::vector<at::Tensor>& parts, const at::Device& device, Op&& op) {
  std::map<std::pair<int, std::string>, std::vector<at::Tensor>> buckets;
  for (const at::Tensor& t : parts) {
    if (t.numel() == 0) continue;
    buckets[{static_cast<int>(t.scalar_type()), t.device().str()}].push_back(t);
  }
  for (auto& [key, members] : buckets) {
    std::vector<at::Tensor> flat_parts;
    for (const at::Tensor& t : members) flat_parts.push_back(t.detach().reshape({-1}));
    at::Tensor flat = at::cat(flat_parts);
    if (flat.device().is_cpu() && !device.is_cpu()) flat = flat.to(device);
    op(flat);
    at::NoGradGuard no_grad;
    int64_t offset = 0;
    for (const at::Tensor& t : members) {
      t.copy_(flat.narrow(0, offset, t.numel()).view(t.sizes()));
      offset += t.numel();
    }
  }
}

}  // namespace dgr::tracker::dist
