"""The training tracker's add-on side against a host that offers only what the host contract
promises: arb_step's result, and the add-on's own facts about a tracker (the network frozen
for p mode, the short-epoch warning, the process group's size), which it keeps on its side
and mirrors onto the tracker only where the tracker declares the attribute."""
import contextlib
import gc
import subprocess
import sys
import warnings
import weakref
from types import SimpleNamespace

import pytest
import torch
from torch import nn

from dendrograd import modules_dgr as MDG
from dendrograd import tracker_dgr as TDG
from dendrolab import globals_dendrolab as GDL

ADDON_FACTS = ("_dgr_frozen_for_p", "short_epoch_warned", "distributed_world_size")


def tagged(module, role):
    for p in module.parameters():
        p.parameter_type = role
    return module


class MinimalTracker:
    """A host tracker with what the add-on needs and nothing the add-on could have added."""

    def __init__(self, mode="p"):
        self.member_vars = {"mode": mode, "step_status": TDG.STEP_CLEARED, "num_epochs_run": 3,
                            "epoch_last_improved": 0, "best_mean_score_improved_this_epoch": 0}
        self.neuron_module_vector = []
        self.save_name = "minimal"
        self.applied = 0

    def apply_dg_grads(self):
        self.applied += 1
        for neuron_module in self.neuron_module_vector:
            for p in neuron_module.parameters():
                if p.parameter_type == "candidate":
                    p.grad = torch.ones_like(p)

    def apply_dg_zero(self):
        pass


class DeclaringTracker(MinimalTracker):
    """A host tracker that declares the add-on's facts: they are mirrored onto it."""

    _dgr_frozen_for_p = None
    short_epoch_warned = False
    distributed_world_size = 1


@contextlib.contextmanager
def global_tracker(tracker):
    """GDL.arb_tracker is `tracker` inside (the conftest's reset at teardown needs the real one)."""
    real = GDL.arb_tracker
    GDL.arb_tracker = tracker
    try:
        yield tracker
    finally:
        GDL.arb_tracker = real


def network():
    neuron = tagged(nn.Linear(3, 2), "neuron")
    candidate = tagged(nn.Linear(3, 2), "candidate")
    return nn.ModuleList([neuron, candidate])


def short_layer(name, initialized):
    """A neuron module whose one candidate slot went through `initialized` batches, not improved."""
    holder = SimpleNamespace(initialized=torch.tensor([float(initialized)]),
                             best_score_improved_this_epoch=torch.zeros(1))
    return SimpleNamespace(name=name, dendrite_module=SimpleNamespace(dendrite_values=[holder]))


@pytest.fixture
def quiet_check(monkeypatch):
    """The epoch-end check without modules_dgr's per-slot update and without statistics."""
    monkeypatch.setattr(MDG, "check_new_best_score", lambda holder: None)
    for name in ("correlation_scores_per_epoch", "p_patience_by_best_candidate", "snapshot_candidates_per_neuron"):
        getattr(GDL.pc, "set_" + name)(False)  # the minimal holders carry the flags those rules need only
    GDL.pc.set_silent(True)


def p_step(tracker, net):
    """Set-up in p mode, then one zero_grad / backward / step iteration."""
    tracker.neuron_module_vector = [net]
    optimizer = torch.optim.SGD(net.parameters(), lr=0.1)
    TDG.setup_optimizer_dg(optimizer)
    optimizer.zero_grad()
    x = torch.randn(4, 3)
    (net[0](x) + net[1](x)).pow(2).sum().backward()
    optimizer.step()
    return optimizer


class TestArbStepResult:
    def wrapped(self, monkeypatch, mode, applied=None):
        """dendrolab's tracker over a stand-in network, in `mode`, with a wrapped optimizer."""
        net = network()
        tracker = GDL.arb_tracker
        monkeypatch.setattr(tracker, "apply_dg_grads", lambda: applied.append(1) if applied is not None else None)
        monkeypatch.setattr(tracker, "apply_dg_zero", lambda: None)
        tracker.member_vars["mode"] = mode
        tracker.neuron_module_vector = [net]
        optimizer = torch.optim.SGD(net.parameters(), lr=0.1)
        TDG.setup_optimizer_dg(optimizer)
        return net, optimizer

    @pytest.mark.parametrize("mode", ["n", "p"])
    def test_arb_step_returns_none_whether_it_applies_or_skips(self, monkeypatch, mode):
        applied = []
        net, optimizer = self.wrapped(monkeypatch, mode, applied)
        optimizer.zero_grad()
        assert TDG.arb_step(optimizer) is None  # applies in p mode
        assert TDG.arb_step(optimizer, 1, set_to_none=True) is None  # called again: skips
        assert applied == ([1] if mode == "p" else [])
        assert GDL.arb_tracker.member_vars["step_status"] == TDG.STEP_CALLED
        assert "Returns None" in TDG.arb_step.__doc__

    @pytest.mark.parametrize("bad", [False, True])
    def test_handed_scale_still_decides_the_optimizer_step(self, monkeypatch, bad):
        """Under a GradScaler's handed scale: the step takes grad / scale, and a non-finite
        gradient skips the optimizer's own step although arb_step itself returns None."""
        net, optimizer = self.wrapped(monkeypatch, "n")
        optimizer.zero_grad()
        for p in net[0].parameters():
            p.grad = torch.full_like(p, 4.0)
        if bad:
            net[0].bias.grad[0] = float("inf")
        before = [p.detach().clone() for p in net[0].parameters()]
        optimizer.grad_scale = torch.tensor(2.0)
        optimizer.found_inf = torch.tensor(0.0)
        assert optimizer.step() is None
        for b, p in zip(before, net[0].parameters()):
            torch.testing.assert_close(p.detach(), b if bad else b - 0.1 * 4.0 / 2.0)
        assert optimizer.grad_scale.item() == 2.0  # handed back to the scaler after the step
        optimizer.zero_grad()
        assert TDG.arb_step(optimizer) is None


class TestAddonFactsStayOnTheAddonSide:
    def test_tracker_without_the_attributes_is_left_as_it_was(self, quiet_check):
        tracker = MinimalTracker()
        net = network()
        tracker.neuron_module_vector = [net]
        keys = set(vars(tracker))
        with global_tracker(tracker):
            p_step(tracker, net)
            assert tracker.applied == 1
            torch.testing.assert_close(net[1].bias.grad, torch.ones(2))
            assert not net[0].weight.requires_grad  # frozen for p mode, recorded on the add-on's side
            tracker.neuron_module_vector = [short_layer("first", 2)]
            with pytest.warns(UserWarning, match="neuron module first went through only 2 batches"):
                TDG.best_cascor_score_improved_this_epoch(tracker)
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                TDG.best_cascor_score_improved_this_epoch(tracker)  # once per tracker
            TDG.unfreeze_network(tracker)
        assert all(p.requires_grad for p in net.parameters())
        assert set(vars(tracker)) == keys
        assert not any(hasattr(tracker, name) for name in ADDON_FACTS)

    def test_each_tracker_has_its_own_record(self, quiet_check):
        """Once per tracker, for a tracker that takes weak references and one that takes none."""
        plain = MinimalTracker()
        no_weakref = SimpleNamespace(**vars(MinimalTracker()))
        warned = []
        for tracker in (plain, no_weakref, plain, no_weakref, MinimalTracker()):
            tracker.neuron_module_vector = [short_layer("only", 0)]
            with global_tracker(tracker), warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                TDG.best_cascor_score_improved_this_epoch(tracker)
            warned.append(len(seen))
        assert warned == [1, 1, 0, 0, 1]
        assert not any(hasattr(t, name) for t in (plain, no_weakref) for name in ADDON_FACTS)

    def test_record_goes_with_its_tracker(self):
        tracker = MinimalTracker()
        net = network()
        with global_tracker(tracker):
            optimizer = p_step(tracker, net)
        assert not net[0].weight.requires_grad
        frozen = weakref.ref(net[0].weight)
        gone = weakref.ref(tracker)
        del tracker, optimizer, net
        gc.collect()
        assert gone() is None and frozen() is None  # nothing of the record outlives the tracker

    def test_declared_attributes_are_mirrored_and_followed(self, quiet_check):
        tracker = DeclaringTracker()
        net = network()
        with global_tracker(tracker):
            p_step(tracker, net)
            assert tracker.distributed_world_size == 1
            frozen = tracker._dgr_frozen_for_p
            assert [(id(p), role) for p, role in frozen] == [(id(p), "neuron") for p in net[0].parameters()]
            tracker.neuron_module_vector = [short_layer("first", 0)]
            with pytest.warns(UserWarning):
                TDG.best_cascor_score_improved_this_epoch(tracker)
            assert tracker.short_epoch_warned is True
            tracker.short_epoch_warned = False  # the host resets it: the add-on follows
            with pytest.warns(UserWarning):
                TDG.best_cascor_score_improved_this_epoch(tracker)
            TDG.unfreeze_network(tracker)
        assert tracker._dgr_frozen_for_p is None and net[0].weight.requires_grad

    def test_dendrolab_tracker_keeps_its_attributes_and_reset_unfreezes(self, monkeypatch):
        tracker = GDL.arb_tracker
        monkeypatch.setattr(tracker, "apply_dg_grads", lambda: None)
        monkeypatch.setattr(tracker, "apply_dg_zero", lambda: None)
        net = network()
        tracker.member_vars["mode"] = "p"
        p_step(tracker, net)
        assert tracker.distributed_world_size == 1 and tracker.short_epoch_warned is False
        assert "_dgr_frozen_for_p" not in vars(tracker)  # it does not declare that one
        assert not net[0].weight.requires_grad
        tracker.reset()
        assert net[0].weight.requires_grad and net[0].bias.requires_grad
        TDG.unfreeze_network(tracker)  # nothing frozen any more: does nothing


def test_the_addon_may_be_imported_before_the_host():
    """Importing tracker_dgr first builds the host's tracker while the add-on is still loading."""
    code = ("from dendrograd import tracker_dgr as TDG\n"
            "from dendrolab import globals_dendrolab as GDL\n"
            "GDL.arb_tracker.reset()\n"
            "assert TDG.unfreeze_network is not None\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
