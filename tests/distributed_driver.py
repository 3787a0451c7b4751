"""Training runs for the distributed tests, one process per rank.

    python distributed_driver.py SCENARIO RANK WORLD PORT OUT

WORLD 1 runs without a process group. Ranks are started without a RANK variable, as
torch.multiprocessing.spawn starts them, and join a gloo group over TCP on PORT.
Each rank trains on its own data and reports its own validation score; the single
process of the `union` scenario trains on the union of the ranks' batches with the
mean of their scores. OUT/rank<R>.safetensors receives the final state dict, a
snapshot taken at the first restructure and one at the end of the last p epoch (before
its candidates are accepted), with the decisions as JSON metadata.

Scenarios: full, union, resume, candidates_differ, epochs_differ, stale_wrapper,
rank_dies, group_destroyed; p_step and p_step_nan take one p-mode step from the start
(rank 1's batch holds a NaN in p_step_nan) and record the error a rank's step raised.

Uneven inputs: in `join` rank 0 has 7 batches per epoch and rank 1 has 9, every epoch runs
inside `Join([ddp, optimizer], divide_by_initial_world_size=False)` and SGD has momentum
(OUT/rank<R>.safetensors then also holds the optimizer's state, under optim/); `join_union`
is its single-process reference: the union of the ranks' batches for 7 steps, then rank 1's
last 2 batches alone. `uneven` gives 7 and 9 batches outside Join to ranks that train
without DistributedDataParallel, so both reach the epoch end; `uneven_ddp` does so under
DDP, whose all-reduce holds the longer rank (the group's timeout is 10 s there).
p_step_join* take p-mode steps inside Join from a fresh network: rank 0 none and rank 1
one (p_step_join, and p_step_join_alone with the optimizer as the only joinable and no
DDP), or one each (p_step_join_even).
"""
import datetime
import hashlib
import json
import os
import sys
from contextlib import nullcontext

import safetensors.torch as st
import torch
import torch.distributed as dist
from safetensors.torch import save_file
from torch import nn
from torch.nn import functional as F
from torch.distributed.algorithms.join import Join
from torch.nn.parallel import DistributedDataParallel as DDP

from dendrograd import utils_dgr as UTL
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

EPOCHS = 40
BATCH = 16
STEPS = 4


def configure(candidates=2):
    GDL.pc.set_silent(True)
    GDL.pc.set_n_epochs_to_switch(2)
    GDL.pc.set_p_epochs_to_switch(2)
    GDL.pc.set_initial_correlation_batches(2)
    GDL.pc.set_global_candidates(candidates)
    GDL.pc.set_max_dendrites(1)


def build(seed):
    torch.manual_seed(seed)
    return UDL.initialize_arb(nn.Sequential(nn.Linear(6, 5), nn.Tanh(), nn.Linear(5, 3)))


def rank_data(rank, epoch, steps=STEPS):
    """(training batches, validation set) of one rank in one epoch; every rank's differ."""
    g = torch.Generator().manual_seed(7919 * rank + epoch)
    x = torch.randn(BATCH * steps, 6, generator=g)
    y = (x[:, :3] * x[:, 3:]).argmax(dim=1)
    val_g = torch.Generator().manual_seed(104729 + rank)
    vx = torch.randn(48, 6, generator=val_g)
    vy = (vx[:, :3] * vx[:, 3:]).argmax(dim=1)
    return [(x[k:k + BATCH], y[k:k + BATCH]) for k in range(0, BATCH * steps, BATCH)], (vx, vy)


UNEVEN = (7, 9)  # batches per epoch of rank 0 and rank 1 in the uneven scenarios


def steps_of(scenario, rank):
    return UNEVEN[rank] if scenario in ("join", "uneven", "uneven_ddp") else STEPS


def join_union_batches(epoch):
    """The single process's batches matching `join`: the union while both ranks train, then
    rank 1's own (Join with divide_by_initial_world_size=False averages over the ranks left)."""
    parts = [rank_data(r, epoch, UNEVEN[r])[0] for r in range(2)]
    both = [(torch.cat([parts[0][k][0], parts[1][k][0]]), torch.cat([parts[0][k][1], parts[1][k][1]]))
            for k in range(UNEVEN[0])]
    return both + parts[1][UNEVEN[0]:]


def optimizer_state(model, optimizer):
    """The optimizer's tensors by parameter name."""
    names = {p: n for n, p in model.named_parameters()}
    return {f"optim/{names[p]}/{key}": value.detach().clone().contiguous()
            for p, state in optimizer.state.items() for key, value in state.items() if torch.is_tensor(value)}


def accuracy(model, data):
    x, y = data
    with torch.no_grad():
        return float((model(x).argmax(dim=1) == y).float().mean())


def train(scenario, rank, world, out):
    configure(candidates=3 if scenario == "candidates_differ" and rank == 1 else 2)
    tracker = GDL.arb_tracker
    writes = []  # every safetensors write of this rank (the add-on looks save_file up per call)
    original = st.save_file

    def counting_save_file(*args, **kwargs):
        writes.append(rank)
        return original(*args, **kwargs)

    st.save_file = counting_save_file
    model = build(seed=100 + rank)  # different on purpose: rank 0's state must win
    union = scenario in ("union", "join_union")
    joined = scenario == "join"
    local = scenario == "uneven"  # no DDP: the ranks meet only at epoch ends
    network = DDP(model) if world > 1 and not local else model
    if scenario == "epochs_differ" and rank == 1:
        tracker.member_vars["num_epochs_run"] = 5  # as if resumed from another checkpoint
    momentum = 0.5 if scenario.startswith("join") else 0.0
    optimizer = tracker.setup_optimizer(network, torch.optim.SGD, lr=0.2, momentum=momentum)
    decisions, scores, snapshot, last_p, rng_check = [], [], None, {}, {}
    for epoch in range(EPOCHS):
        if scenario == "join_union":
            batches = join_union_batches(epoch)
        elif union:
            parts = [rank_data(r, epoch) for r in range(2)]
            batches = [(torch.cat([parts[0][0][k][0], parts[1][0][k][0]]),
                        torch.cat([parts[0][0][k][1], parts[1][0][k][1]])) for k in range(STEPS)]
        else:
            batches, val = rank_data(rank, epoch, steps_of(scenario, rank))
        joining = Join([network, optimizer], divide_by_initial_world_size=False) if joined else nullcontext()
        with joining:
            for step, (x, y) in enumerate(batches):
                if scenario == "rank_dies" and rank == 1 and tracker.member_vars["mode"] == "p" and step == 1:
                    os._exit(3)  # a rank that dies in the middle of an epoch
                if scenario == "group_destroyed" and rank == 1 and tracker.member_vars["mode"] == "p" and step == 1:
                    dist.destroy_process_group()
                optimizer.zero_grad()
                F.cross_entropy(network(x), y).backward()
                optimizer.step()
        if union:
            score = sum(accuracy(model, rank_data(r, epoch)[1]) for r in range(2)) / 2
        else:
            score = accuracy(model, val)
        scores.append(score)
        if tracker.member_vars["mode"] == "p":  # the candidates as they stand before acceptance
            last_p = {k: v.detach().clone() for k, v in model.state_dict().items()}
        model, restructured, done = tracker.add_validation_score(score, network)
        decisions.append([epoch, tracker.member_vars["mode"], bool(restructured), bool(done)])
        if restructured and scenario == "resume" and tracker.member_vars["mode"] == "n":
            # a new process would do this: save on rank 0, build afresh, resume, wrap
            rng_at_save = torch.get_rng_state()  # each rank's own: they were seeded apart
            UDL.save_training(network, tracker.optimizer, out, "run")
            dist.barrier()
            tracker.reset()
            model, optimizer = UDL.resume_training(build(seed=200 + rank), out, "run", optimizer_class=torch.optim.SGD)
            rng_check = {"restored": torch.equal(torch.get_rng_state(), rng_at_save),
                         "state": hashlib.sha256(rng_at_save.numpy().tobytes()).hexdigest()}
            network = DDP(model)
            scenario = "full"
            continue
        if restructured:
            if snapshot is None:
                snapshot = {k: v.detach().clone() for k, v in model.state_dict().items()}
                if union:
                    break
            optimizer = tracker.optimizer
            if world > 1 and scenario != "stale_wrapper" and not local:
                network = DDP(model)
        if done:
            break
    if not union:
        UTL.dg_save_net(network, out, "net")
    st.save_file = original
    tensors = {k: v.detach().contiguous() for k, v in model.state_dict().items()}
    for k, v in (snapshot or {}).items():
        tensors["first_restructure/" + k] = v.contiguous()
    for k, v in last_p.items():
        tensors["last_p_epoch/" + k] = v.contiguous()
    tensors.update(optimizer_state(model, optimizer))
    metadata = {"decisions": json.dumps(decisions), "writes": json.dumps(writes), "scores": json.dumps(scores),
                "params": str(UTL.dg_count_params(network)), "rng": json.dumps(rng_check)}
    save_file(tensors, os.path.join(out, f"rank{rank}.safetensors"), metadata=metadata)


def p_step(scenario, rank, world, out):
    """One p-mode step from a fresh network on this rank's first batch (none on rank 0 in
    p_step_join and p_step_join_alone)."""
    configure()
    tracker = GDL.arb_tracker
    joined = scenario.startswith("p_step_join")
    ddp = world > 1 and scenario != "p_step_join_alone"
    model = build(seed=100 + rank if ddp else 100)  # without DDP nothing makes the neurons alike
    network = DDP(model) if ddp else model
    tracker.setup_optimizer(network, torch.optim.SGD, lr=0.2, momentum=0.9 if joined else 0.0)
    tracker._switch_to_p()  # straight into p mode
    optimizer = tracker.optimizer
    x, y = rank_data(rank, 0)[0][0]
    if scenario == "p_step_nan" and rank == 1:
        x = x.clone()
        x[0, 0] = float("nan")
    steps = 0 if joined and scenario != "p_step_join_even" and rank == 0 else 1
    joinables = [optimizer] if scenario == "p_step_join_alone" else [network, optimizer]
    error = ""
    with Join(joinables) if joined else nullcontext():
        for _ in range(steps):
            optimizer.zero_grad()
            F.cross_entropy(network(x), y).backward()
            try:
                optimizer.step()
            except RuntimeError as raised:
                error = str(raised)
    tensors = {k: v.detach().contiguous() for k, v in model.state_dict().items()}
    tensors.update(optimizer_state(model, optimizer))
    save_file(tensors, os.path.join(out, f"rank{rank}.safetensors"), metadata={"error": json.dumps(error)})


def main(scenario, rank, world, port, out):
    torch.set_num_threads(1)
    if world > 1:
        dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=world,
                                timeout=datetime.timedelta(seconds=10 if scenario == "uneven_ddp" else 60))
    try:
        (p_step if scenario.startswith("p_step") else train)(scenario, rank, world, out)
    finally:
        if world > 1 and dist.is_initialized():
            dist.destroy_process_group()


if __name__ == "__main__":
    name, r, w, p, o = sys.argv[1:6]
    main(name, int(r), int(w), int(p), o)
