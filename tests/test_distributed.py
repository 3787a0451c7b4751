"""Data-parallel training with DistributedDataParallel: two gloo ranks in child processes.

Each scenario of distributed_driver.py runs with a time limit, so a hang fails the test
instead of blocking the suite.
"""
import copy
import json
import os
import pickle
import socket
import subprocess
import sys
import time

import pytest
import torch
from safetensors import safe_open
from safetensors.torch import load_file
from torch import nn
from torch.distributed.algorithms.join import JoinHook, Joinable
from torch.nn.parallel import DistributedDataParallel

from dendrograd import tracker_dgr as TDG
from dendrograd import utils_dgr as UTL
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

DRIVER = os.path.join(os.path.dirname(__file__), "distributed_driver.py")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIMIT = 240  # seconds for a whole scenario; a hang ends here

pytestmark = pytest.mark.skipif(not torch.distributed.is_available(), reason="torch.distributed is not built")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_ranks(scenario, out, world=2, first_rank=0, **environment):
    """Starts every rank of `scenario` (a batch job: standard input is not a terminal);
    returns [(exit status, log)] per rank."""
    env = {k: v for k, v in os.environ.items() if k not in ("RANK", "WORLD_SIZE", "LOCAL_RANK", "PYTHONBREAKPOINT")}
    env.update(environment)
    # the ranks import this checkout's packages, whatever an installed copy maps them to
    env["PYTHONPATH"] = os.pathsep.join([ROOT, env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    port = free_port()
    procs = [subprocess.Popen([sys.executable, DRIVER, scenario, str(r), str(world), str(port), str(out)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, env=env)
             for r in range(first_rank, first_rank + world)]
    deadline = time.monotonic() + LIMIT
    results = []
    try:
        for p in procs:
            log, _ = p.communicate(timeout=max(1.0, deadline - time.monotonic()))
            results.append((p.returncode, log))
    except subprocess.TimeoutExpired:
        for p in procs:
            p.kill()
        pytest.fail(f"scenario {scenario!r} did not finish within {LIMIT} s: a rank is waiting for another")
    return results


def read(out, rank):
    path = os.path.join(out, f"rank{rank}.safetensors")
    with safe_open(path, framework="pt") as handle:
        metadata = handle.metadata()
    return load_file(path), {k: json.loads(v) for k, v in metadata.items()}


def max_difference(a, b, keys):
    return max(((a[k].double() - b[k].double()).abs().max().item() if a[k].numel() else 0.0) for k in keys)


@pytest.fixture(scope="module")
def cycle(tmp_path_factory):
    """The full n -> p -> n run on two ranks, and one process on the union of their batches."""
    out = tmp_path_factory.mktemp("ddp")
    union = tmp_path_factory.mktemp("union")
    ranks = run_ranks("full", out)
    single = run_ranks("union", union, world=1)
    for status, log in ranks + single:
        assert status == 0, log[-3000:]
    return out, union


def test_ranks_end_identical_through_growth(cycle):
    out, _ = cycle
    (state0, meta0), (state1, meta1) = read(out, 0), read(out, 1)
    # every rank saw its own data and scored its own validation set ...
    assert meta0["scores"] != meta1["scores"]
    # ... and took the same decisions: n -> p -> n with a dendrite accepted
    assert meta0["decisions"] == meta1["decisions"]
    modes = [d[1] for d in meta0["decisions"]]
    restructures = [d for d in meta0["decisions"] if d[2]]
    assert [d[1] for d in restructures] == ["p", "n"] and modes[-1] == "n" and meta0["decisions"][-1][3]
    assert any(".dendrite_module.layers.0." in k for k in state0)
    # the candidates and their statistics at the end of p mode (before acceptance: a new
    # DDP wrapper would copy rank 0's accepted dendrites anyway) ...
    last_p = [k for k in state0 if k.startswith("last_p_epoch/")]
    assert any("candidate_module" in k for k in last_p) and any("prev_dendrite_candidate_correlation" in k
                                                               for k in last_p)
    assert max_difference(state0, state1, last_p) == 0.0
    # ... and the whole state at the end: neurons, dendrites, candidates, best copies, statistics, buffers
    assert set(state0) == set(state1)
    assert max_difference(state0, state1, state0) == 0.0
    assert meta0["params"] == meta1["params"]


def test_deployment_file_written_once(cycle):
    out, _ = cycle
    # ranks started without RANK: the process group's rank decides who writes
    assert read(out, 0)[1]["writes"] == [0]
    assert read(out, 1)[1]["writes"] == []
    loaded = UTL.load_deployment(nn.Sequential(nn.Linear(6, 5), nn.Tanh(), nn.Linear(5, 3)),
                                 os.path.join(out, "net_arb.pt"))
    assert sum(p.numel() for p in loaded.parameters()) == read(out, 0)[1]["params"]


def test_two_ranks_equal_one_process_on_the_union_batch(cycle):
    out, union = cycle
    state, _ = read(out, 0)
    single, meta = read(union, 0)
    keys = [k for k in single if k.startswith("first_restructure/")]
    assert keys and meta["decisions"][-1][1] == "p"  # compared where the first n phase ends
    assert max_difference(state, single, keys) < 1e-5


@pytest.mark.parametrize("scenario, names", [
    ("candidates_differ", ["candidates: rank 0 has 4, rank 1 has 6"]),
    ("epochs_differ", ["epochs run: rank 0 has 0, rank 1 has 5"]),
])
def test_ranks_that_disagree_fail_on_every_rank(tmp_path, scenario, names):
    for status, log in run_ranks(scenario, tmp_path):
        assert status != 0
        assert "the ranks disagree on the training state" in log
        for name in names:
            assert name in log


def test_wrapper_from_before_a_restructure_is_refused(tmp_path):
    for status, log in run_ranks("stale_wrapper", tmp_path):
        assert status != 0
        assert "wrap again: ddp = DistributedDataParallel(model)" in log


def test_broken_group_ends_every_rank_with_an_error(tmp_path):
    (status0, log0), (status1, log1) = run_ranks("group_destroyed", tmp_path)
    assert status1 != 0 and "torch.distributed is no longer initialised" in log1
    # rank 0 meets the departed rank in its next collective, the candidates' all-reduce
    assert status0 != 0 and "averaging the candidates' gradients and statistics across the process group " \
        "failed on rank 0 of 2" in log0
    (status0, log0), (status1, _) = run_ranks("rank_dies", tmp_path)
    # here the next collective is DDP's own, in the backward: its error, not a hang
    assert status1 == 3 and status0 != 0 and "RuntimeError" in log0


def test_resumed_ranks_train_on_under_a_default_wrapper(tmp_path):
    """Save after growth, resume every rank in a fresh network, wrap, train on."""
    ranks = run_ranks("resume", tmp_path)
    for status, log in ranks:
        assert status == 0, log[-3000:]
    (state0, meta0), (state1, meta1) = read(tmp_path, 0), read(tmp_path, 1)
    assert meta0["decisions"] == meta1["decisions"] and meta0["decisions"][-1][3]
    assert max_difference(state0, state1, [k for k in state0 if not k.startswith("last_p")]) == 0.0
    # each rank resumed with its own random state, not rank 0's
    assert meta0["rng"]["restored"] and meta1["rng"]["restored"]
    assert meta0["rng"]["state"] != meta1["rng"]["state"]


# ---- one p-mode step against single processes ----------------------------------------------

STEP_STATISTICS = ("normal_pass_average_d", "prev_dendrite_candidate_average", "prev_dendrite_candidate_correlation",
                   "prev_dendrite_candidate_pearson", "current_batch_pearson", "initialized")


def candidate_state(state):
    return {k: v for k, v in state.items() if not k.startswith("optim/")
            and (".candidate_module." in k or (".dendrite_values." in k and k.endswith(STEP_STATISTICS)))}


@pytest.fixture(scope="module")
def local_steps(tmp_path_factory):
    """One p-mode step in one process on rank 0's batch, and on rank 1's."""
    states = []
    for rank in (0, 1):
        out = tmp_path_factory.mktemp(f"local{rank}")
        (status, log), = run_ranks("p_step", out, world=1, first_rank=rank)
        assert status == 0, log[-3000:]
        states.append(candidate_state(read(out, rank)[0]))
    return states


def test_p_step_takes_the_mean_of_the_ranks(tmp_path, local_steps):
    for status, log in run_ranks("p_step", tmp_path):
        assert status == 0, log[-3000:]
    ranks = [candidate_state(read(tmp_path, r)[0]) for r in (0, 1)]
    local0, local1 = local_steps
    assert max_difference(ranks[0], ranks[1], ranks[0]) == 0.0
    mean = {k: (local0[k].double() + local1[k].double()) / 2 for k in local0}
    assert max_difference(ranks[0], mean, mean) < 1e-6
    # the ranks' own results differ, so the test sees the averaging
    assert max_difference(local0, local1, [k for k in local0 if "candidate_module" in k]) > 1e-4


@pytest.mark.parametrize("breakpoint_setting", ["0", None])
def test_a_rank_with_a_nan_batch_contributes_nothing(tmp_path, local_steps, breakpoint_setting):
    environment = {"PYTHONBREAKPOINT": breakpoint_setting} if breakpoint_setting else {}
    for status, log in run_ranks("p_step_nan", tmp_path, **environment):
        assert status == 0, log[-3000:]
    (state0, meta0), (state1, meta1) = read(tmp_path, 0), read(tmp_path, 1)
    ranks = [candidate_state(state0), candidate_state(state1)]
    # rank 1 skipped its batch: both ranks hold what rank 0 alone learned
    assert max_difference(ranks[0], ranks[1], ranks[0]) == 0.0
    assert max_difference(ranks[0], local_steps[0], ranks[0]) < 1e-6
    assert meta0["error"] == ""
    if breakpoint_setting == "0":
        assert meta1["error"] == ""
    else:  # a batch job: the debugger stop raises on rank 1, after the step every rank took
        assert "NaN or inf in a stored batch" in meta1["error"]


# ---- uneven inputs: Join ----------------------------------------------------------------


@pytest.fixture(scope="module")
def joined(tmp_path_factory):
    """Ranks with 7 and 9 batches per epoch inside Join through n -> p -> n, and one process
    on the union of their batches while both train, then on rank 1's last two alone."""
    out = tmp_path_factory.mktemp("join")
    union = tmp_path_factory.mktemp("join_union")
    ranks = run_ranks("join", out)
    single = run_ranks("join_union", union, world=1)
    for status, log in ranks + single:
        assert status == 0, log[-3000:]
    return out, union


def test_uneven_ranks_inside_join_train_to_the_end_alike(joined):
    out, _ = joined
    (state0, meta0), (state1, meta1) = read(out, 0), read(out, 1)
    assert meta0["decisions"] == meta1["decisions"]
    restructures = [d for d in meta0["decisions"] if d[2]]
    assert [d[1] for d in restructures] == ["p", "n"] and meta0["decisions"][-1][3]
    assert any(".dendrite_module.layers.0." in k for k in state0)
    # the candidates and statistics as p mode ends (rank 0 stopped two steps early in every
    # epoch), the whole state at the end, and the optimizer's momentum
    last_p = [k for k in state0 if k.startswith("last_p_epoch/")]
    assert any("candidate_module" in k for k in last_p) and any("prev_dendrite_candidate_correlation" in k
                                                               for k in last_p)
    assert any(k.startswith("optim/") for k in state0)
    assert set(state0) == set(state1)
    assert max_difference(state0, state1, state0) == 0.0


def test_uneven_ranks_inside_join_equal_one_process(joined):
    """Through the first n phase, momentum included: DDP averages over the ranks still
    training (divide_by_initial_world_size=False), and rank 0 takes rank 1's optimizer state."""
    out, union = joined
    state, meta = read(out, 0)
    single, single_meta = read(union, 0)
    keys = [k for k in single if k.startswith("first_restructure/")]
    assert keys and single_meta["decisions"][-1][1] == "p"
    assert single_meta["decisions"] == meta["decisions"][:len(single_meta["decisions"])]
    assert max_difference(state, single, keys) < 1e-5


@pytest.mark.parametrize("scenario", ["p_step_join", "p_step_join_alone", "p_step_join_even"])
def test_p_step_inside_join_averages_the_ranks_that_stepped(tmp_path, local_steps, scenario):
    """Rank 0 joins before its first step and rank 1 takes one (behind DDP, or with the
    optimizer as the only joinable), or both take one."""
    for status, log in run_ranks(scenario, tmp_path):
        assert status == 0, log[-3000:]
    (state0, _), (state1, _) = read(tmp_path, 0), read(tmp_path, 1)
    ranks = [candidate_state(state0), candidate_state(state1)]
    local0, local1 = local_steps
    if scenario == "p_step_join_even":
        expected = {k: (local0[k].double() + local1[k].double()) / 2 for k in local0}
    else:  # the joined rank's zeros do not count: the average is rank 1's own step
        expected = local1
    assert max_difference(ranks[0], ranks[1], ranks[0]) == 0.0
    assert max_difference(ranks[1], expected, expected) < 1e-6
    # the optimizer's momentum too, also on the rank that never stepped
    momentum = [k for k in state1 if k.startswith("optim/")]
    assert momentum and set(momentum) == {k for k in state0 if k.startswith("optim/")}
    assert max_difference(state0, state1, momentum) == 0.0


def test_uneven_ranks_outside_join_fail_naming_their_counts(tmp_path):
    # ranks that meet only at epoch ends (no DDP): every rank names both counts
    for status, log in run_ranks("uneven", tmp_path):
        assert status != 0
        assert "the ranks ran different numbers of optimizer steps in this epoch (rank 0 ran 7, rank 1 ran 9)" in log
        assert "Join([ddp, optimizer])" in log
    # under DDP the longer rank waits in DDP's all-reduce: the group's timeout (10 s here)
    # ends both ranks, and the shorter one says how many steps it ran and what to do
    (status0, log0), (status1, _) = run_ranks("uneven_ddp", tmp_path)
    assert status0 != 0 and status1 != 0
    assert "at the end of an epoch (this rank ran 7 optimizer steps in it)" in log0
    assert "Join([ddp, optimizer])" in log0


# ---- without a process group ------------------------------------------------------------


def test_ignore_list_holds_exactly_the_addon_state():
    GDL.pc.set_global_candidates(2)
    model = nn.Sequential(nn.Linear(3, 4), nn.BatchNorm1d(4), nn.Linear(4, 2))
    model._ddp_params_and_buffers_to_ignore = ["1.num_batches_tracked"]  # the user's own entry
    model = UDL.initialize_arb(model)
    model[0].accept_best_candidate()
    TDG.exclude_from_ddp(model)  # as after a restructure
    ignored = set(model._ddp_params_and_buffers_to_ignore)
    reduced = {name for name, _ in model.named_parameters()} - ignored
    broadcast = {name for name, _ in model.named_buffers()} - ignored
    # DDP keeps what n mode trains: the layers, the accepted dendrite and its output weights
    assert reduced == {"0.main_module.weight", "0.main_module.bias", "1.weight", "1.bias",
                       "2.main_module.weight", "2.main_module.bias",
                       "0.dendrite_module.layers.0.weight", "0.dendrite_module.layers.0.bias",
                       "0.dendrites_to_top.0"}
    # and the user's buffers; the user's own ignore entry stays
    assert broadcast == {"1.running_mean", "1.running_var"}
    assert "1.num_batches_tracked" in ignored
    # the add-on's own state is ignored: candidates, best copies, templates, statistics
    assert {"0.dendrite_module.candidate_module.1.weight", "0.dendrite_module.best_candidate_module.0.bias",
            "0.dendrite_module._template.weight", "0.dendrite_module.dendrite_values.1.best_score",
            "0.num_cycles"} <= ignored
    # the entries of the structure before the restructure are gone
    assert len(ignored) == len(set(model._dgr_ddp_ignored)) + 1


def test_without_a_process_group_nothing_changes():
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 4), nn.Tanh(), nn.Linear(4, 2)))
    tracker = GDL.arb_tracker
    optimizer = tracker.setup_optimizer(model, torch.optim.SGD, lr=0.1)
    assert type(optimizer) is torch.optim.SGD  # Join needs a process group: no Joinable without one
    score = torch.tensor(0.25)
    assert TDG.agree_at_epoch_end(tracker, score, model) is score
    assert TDG.reduce_candidate_step(tracker) is False
    assert tracker.distributed_world_size == 1


@pytest.fixture
def one_rank_group():
    """A one-rank gloo process group in this process."""
    torch.distributed.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{free_port()}", rank=0,
                                         world_size=1)
    yield
    torch.distributed.destroy_process_group()


def test_trackers_optimizer_is_joinable_and_otherwise_its_own_class(one_rank_group):
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 4), nn.Tanh(), nn.Linear(4, 2)))
    reference = copy.deepcopy(model)
    optimizer = GDL.arb_tracker.setup_optimizer(model, torch.optim.Adam, lr=0.1)
    plain = torch.optim.Adam([p for n, p in reference.named_parameters() if "main_module" in n], lr=0.1)
    assert isinstance(optimizer, Joinable) and isinstance(optimizer, torch.optim.Adam)
    assert (type(optimizer).__name__, type(optimizer).__module__) == ("Adam", torch.optim.Adam.__module__)
    assert type(plain) is torch.optim.Adam  # the class itself is left alone
    assert optimizer.join_device == torch.device("cpu")
    assert optimizer.join_process_group is torch.distributed.group.WORLD
    hook = optimizer.join_hook(divide_by_initial_world_size=False)  # DDP's keyword is ignored
    assert isinstance(hook, JoinHook)
    hook.main_hook()  # n mode: nothing to answer
    hook.post_hook(True)
    scheduler = torch.optim.lr_scheduler.StepLR(optimizer, 1, gamma=0.5)
    plain_scheduler = torch.optim.lr_scheduler.StepLR(plain, 1, gamma=0.5)
    x, y = torch.randn(8, 3), torch.randint(0, 2, (8,))
    for opt, sched, net in ((optimizer, scheduler, model), (plain, plain_scheduler, reference)):
        for _ in range(3):
            opt.zero_grad()
            nn.functional.cross_entropy(net(x), y).backward()
            opt.step()
            sched.step()
    # it trains as the plain optimizer does (n mode: the neurons only)
    for (name, a), b in zip(model.named_parameters(), reference.parameters()):
        if "main_module" in name:
            assert torch.equal(a, b), name
    # a copy or a pickle is the plain optimizer with the same state
    for clone in (copy.deepcopy(optimizer), pickle.loads(pickle.dumps(optimizer))):
        assert type(clone) is torch.optim.Adam
        assert [s["exp_avg"].tolist() for s in clone.state.values()] == \
            [s["exp_avg"].tolist() for s in optimizer.state.values()]


def test_optimizer_class_that_cannot_become_joinable_still_trains(one_rank_group):
    class Meta(type):
        pass

    class Odd(torch.optim.SGD, metaclass=Meta):  # a metaclass that does not mix with Joinable's
        pass

    model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 4), nn.Tanh(), nn.Linear(4, 2)))
    optimizer = GDL.arb_tracker.setup_optimizer(model, Odd, lr=0.1)
    assert type(optimizer) is Odd and not isinstance(optimizer, Joinable)
    before = model[0].main_module.weight.detach().clone()
    optimizer.zero_grad()
    model(torch.randn(5, 3)).sum().backward()
    optimizer.step()
    assert not torch.equal(before, model[0].main_module.weight)


def test_functions_taking_the_network_accept_a_wrapper(tmp_path):
    """A one-rank process group in this process: the wrapper stands for its module."""
    torch.distributed.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{free_port()}", rank=0,
                                         world_size=1)
    try:
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 4), nn.Tanh(), nn.Linear(4, 2)))
        ddp = DistributedDataParallel(model)
        tracker = GDL.arb_tracker
        optimizer = tracker.setup_optimizer(ddp, torch.optim.SGD, lr=0.1)
        assert tracker.model is model
        assert UTL.dg_count_params(ddp) == UTL.dg_count_params(model)
        assert type(UTL.clean_net(ddp)) is type(UTL.clean_net(model))
        UTL.dg_save_net(ddp, str(tmp_path), "wrapped")
        assert os.path.isfile(tmp_path / "wrapped_arb.pt")
        assert UDL.save_training(ddp, optimizer, str(tmp_path), "run").endswith("run_training.safetensors")
        returned, restructured, _ = tracker.add_validation_score(0.5, ddp)
        assert returned is model and not restructured
    finally:
        torch.distributed.destroy_process_group()
