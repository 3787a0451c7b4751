// Data-parallel training across a torch.distributed process group (distributed.cpp).
#pragma once

#include "host_contract.h"

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

void register_distributed(py::module_& m);

}  // namespace dgr::tracker::dist
