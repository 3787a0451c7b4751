"""Random states of a training checkpoint, one set per rank under a process group.

Under a torch.distributed process group every rank draws its own random numbers (dropout,
shuffling). The tracker gathers every rank's states at each epoch end (a collective every
rank takes part in anyway), so save_training, called on rank 0 alone or on every rank,
stores them all without a collective of its own: rank 0's as they are at the save, the
others' as they were at the last epoch end. On resume each rank takes its own.
"""
import torch


def _process_group():
    """(rank, world size) of an initialised process group; (0, 1) without one."""
    import torch.distributed as dist

    if dist.is_available() and dist.is_initialized():
        return dist.get_rank(), dist.get_world_size()
    return 0, 1


def _own_random_states():
    """This process's CPU state and, where CUDA is available, every device's state."""
    states = [torch.get_rng_state()]
    if torch.cuda.is_available():
        states += list(torch.cuda.get_rng_state_all())
    return states


def gather_rank_random_states(tracker):
    """Every rank's random states, gathered onto the tracker (called at each epoch end on
    every rank of a process group; does nothing without one)."""
    import torch.distributed as dist

    _, world = _process_group()
    if world == 1:
        tracker.rank_random_states = None
        return
    own = torch.cat([s.reshape(-1) for s in _own_random_states()])
    gathered = [torch.empty_like(own) for _ in range(world)]
    dist.all_gather(gathered, own)
    tracker.rank_random_states = gathered


def _split_states(flat, template):
    """A gathered state cut back into pieces of the sizes of this process's own states."""
    pieces, at = [], 0
    for state in template:
        pieces.append(flat[at:at + state.numel()].clone())
        at += state.numel()
    return pieces


def random_states(tracker):
    """The tensors of the checkpoint's random states: this process's under rng/, and under a
    process group every rank's under rng/rank/<r>/ (the same layout)."""
    own = _own_random_states()
    tensors = {"rng/cpu": own[0]}
    for index, state in enumerate(own[1:]):
        tensors[f"rng/cuda/{index}"] = state
    rank, world = _process_group()
    gathered = getattr(tracker, "rank_random_states", None)
    if world > 1 and gathered is not None and len(gathered) == world:
        for r, flat in enumerate(gathered):
            states = own if r == rank else _split_states(flat, own)
            tensors[f"rng/rank/{r}/cpu"] = states[0].clone()  # a file stores no shared tensors
            for index, state in enumerate(states[1:]):
                tensors[f"rng/rank/{r}/cuda/{index}"] = state.clone()
    return tensors


def restore_random_states(tensors):
    """Each rank takes its own saved states where the file has them; a file saved without a
    process group (or before ranks' states were saved) gives every rank the saving process's."""
    import warnings

    rank, world = _process_group()
    prefix = f"rng/rank/{rank}/" if world > 1 and f"rng/rank/{rank}/cpu" in tensors else "rng/"
    if world > 1 and prefix == "rng/":
        warnings.warn(f"resume_training: the checkpoint holds no random state of rank {rank}; every rank "
                      "resumes with the saving process's", stacklevel=3)
    torch.set_rng_state(tensors[prefix + "cpu"])
    cuda_states = [tensors[f"{prefix}cuda/{i}"] for i in range(torch.cuda.device_count())
                   if f"{prefix}cuda/{i}" in tensors]
    if cuda_states:
        torch.cuda.set_rng_state_all(cuda_states)
