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
//
//   distributed_group.cpp  the process group and its collectives;
//   distributed_state.cpp  the ignore list, the structure check, restructure and epoch end;
//   distributed_step.cpp   the p-mode step's all-reduce.
#pragma once

#include "tracker.h"

#include <optional>
#include <string>

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

}  // namespace dgr::tracker::dist
