"""Training tracker: optimizer filtering, step/zero_grad wrapping, score histories,
switch rules and diagnostics, against small stand-in host objects."""
import importlib
import re
import warnings
from types import SimpleNamespace

import numpy as np
import pytest
import torch
from torch import nn

from dendrograd import modules_dgr as MDG
from dendrograd import tracker_dgr as TDG
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

MV = lambda: GDL.arb_tracker.member_vars  # noqa: E731


def tagged(module, role):
    for p in module.parameters():
        p.parameter_type = role
    return module


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def assert_advice_exists(text):
    """Every function or setting that a diagnostic tells the user to call exists."""
    named = re.findall(r"\b((?:dendrolab|dendrograd)\.\w+\.\w+|GDL\.pc\.\w+|GDL\.arb_tracker\.\w+)", text)
    assert named, text
    for dotted in named:
        head, _, attr = dotted.rpartition(".")
        owner = {"GDL.pc": GDL.pc, "GDL.arb_tracker": GDL.arb_tracker}.get(head) or importlib.import_module(head)
        assert callable(getattr(owner, attr, None)), f"{dotted} named in {text!r} does not exist"
    assert ".md" not in text


# ---------------------------------------------------------------------------
# filtering
# ---------------------------------------------------------------------------
class TestFiltering:
    def make(self):
        neuron, dendrite, cand_a, cand_b = (tagged(nn.Linear(2, 2), r)
                                            for r in ("neuron", "dendrite", "candidate", "candidate"))
        opt = torch.optim.SGD([
            {"params": list(neuron.parameters()), "lr": 0.5},
            {"params": list(cand_a.parameters()) + list(dendrite.parameters()) + list(cand_b.parameters()),
             "lr": 0.25, "momentum": 0.9},
        ], lr=0.1)
        for p in opt.param_groups[0]["params"] + opt.param_groups[1]["params"]:
            opt.state[p] = {"momentum_buffer": torch.ones_like(p)}
        return opt, neuron, dendrite, cand_a, cand_b

    def test_p_mode_keeps_candidates_in_order_drops_groups_and_their_state(self):
        opt, neuron, dendrite, cand_a, cand_b = self.make()
        MV()["mode"] = "p"
        kept_state = opt.state[cand_b.weight]
        TDG.filter_params(opt)
        assert len(opt.param_groups) == 1
        group = opt.param_groups[0]
        assert group["params"] == list(cand_a.parameters()) + list(cand_b.parameters())
        assert group["lr"] == 0.25 and group["momentum"] == 0.9
        assert set(opt.state) == set(group["params"])
        assert opt.state[cand_b.weight] is kept_state

    @pytest.mark.parametrize("dendrites_update", [False, True])
    def test_n_mode_keeps_dendrites_only_when_they_update(self, dendrites_update):
        GDL.pc.set_dendrite_update_mode(dendrites_update)
        opt, neuron, dendrite, *_ = self.make()
        TDG.filter_params(opt)
        expected = [list(neuron.parameters())] + ([list(dendrite.parameters())] if dendrites_update else [])
        assert [g["params"] for g in opt.param_groups] == expected
        assert [g["lr"] for g in opt.param_groups] == [0.5, 0.25][: len(expected)]

    def test_unknown_mode_empties_the_optimizer_without_looking_at_tags(self):
        class Hostile:
            @property
            def parameter_type(self):
                raise RuntimeError("examined")

        assert TDG.filter_single_param_group([Hostile()], "x") == []
        opt, *_ = self.make()
        MV()["mode"] = "x"
        TDG.filter_params(opt)
        assert opt.param_groups == [] and len(opt.state) == 0

    def test_untagged_parameters(self, capsys, debugger_stops):
        bare = nn.Parameter(torch.zeros(1))
        neuron = tagged(nn.Linear(1, 1), "neuron")
        params = [bare, neuron.weight, nn.Parameter(torch.zeros(1))]
        assert TDG.filter_single_param_group(params, "n", False) == [neuron.weight]
        assert capsys.readouterr().out == "" and debugger_stops.count == 0

        assert TDG.filter_single_param_group(params, "p") == []
        out = lines(capsys)
        assert debugger_stops.count == 2  # one stop per untagged parameter; the visit goes on
        assert out[:2] == [
            "Dendrolab WARNING: Parameter does not have parameter_type attribute in p mode",
            'You can find the name of this param by going "up" in the stack trace to where your model exists '
            "locally and calling:",
        ]
        report = out[: len(out) // 2]
        assert len(out) == 2 * len(report) and out[len(report):][2] != report[2]  # one report per parameter
        # the advised lookup, run as printed, names the parameter
        model = nn.Sequential(nn.Linear(1, 1))
        model.extra = bare
        assert eval(report[2], {"dendrograd": __import__("dendrograd.tracker_dgr"), "model": model}) == ".extra"
        assert_advice_exists("\n".join(report))
        # and the advised fix works: retag gives the parameter a role the filter keeps
        UDL.retag(model)
        assert bare in TDG.filter_single_param_group([bare], "n")

    def test_verbose_summary(self, capsys):
        GDL.pc.set_verbose(True)
        MV()["mode"] = "p"
        params = [nn.Parameter(torch.zeros(1)) for _ in range(40)]
        for i, p in enumerate(params):
            p.parameter_type = "candidate" if i % 10 < 3 else "neuron"
        TDG.filter_params(torch.optim.SGD(params, lr=0.1))
        assert lines(capsys) == ["Filtered optimizer parameters: mode=p, 12 params selected from 40 total. "
                                 "1 param-groups remain."]

    @pytest.mark.parametrize("cls", [torch.optim.SGD, torch.optim.Adam])
    def test_an_emptied_optimizer_still_steps(self, cls):
        opt = cls(tagged(nn.Linear(2, 2), "neuron").parameters(), lr=0.1)
        MV()["mode"] = "p"
        TDG.setup_optimizer_dg(opt)
        assert opt.param_groups == []
        opt.zero_grad()
        opt.step()
        opt.step(lambda: 1.5)


# ---------------------------------------------------------------------------
# set-up and the step / zero_grad wrappers
# ---------------------------------------------------------------------------
class Rig:
    """A neuron layer and a candidate layer with a recording host tracker."""

    def __init__(self, monkeypatch, mode="p", lr=0.1):
        self.neuron = tagged(nn.Linear(3, 2), "neuron")
        self.candidate = tagged(nn.Linear(3, 2), "candidate")
        self.events = []
        self.grads_at_apply = []
        tracker = GDL.arb_tracker
        tracker.member_vars["mode"] = mode
        tracker.neuron_module_vector = [nn.ModuleList([self.neuron, self.candidate])]
        monkeypatch.setattr(tracker, "apply_dg_grads", self.apply_dg_grads)
        monkeypatch.setattr(tracker, "apply_dg_zero", lambda: self.events.append("zero"))
        self.opt = torch.optim.SGD(list(self.neuron.parameters()) + list(self.candidate.parameters()), lr=lr)
        TDG.setup_optimizer_dg(self.opt)

    def apply_dg_grads(self):
        """Stands in for the correlation learning: candidate gradients of exactly 1."""
        self.events.append("apply")
        self.grads_at_apply.append([p.grad for p in self.candidate.parameters()])
        for p in self.candidate.parameters():
            p.grad = torch.ones_like(p)

    def loss(self):
        x = torch.randn(4, 3)
        return (self.neuron(x) + self.candidate(x)).pow(2).sum()


class TestWrappers:
    def test_user_loop_applies_candidate_gradients_once_per_iteration(self, monkeypatch):
        rig = Rig(monkeypatch)
        assert type(rig.opt) is torch.optim.SGD  # only this instance is wrapped
        assert rig.opt.zero_grad.__func__ is TDG.arb_zero_grad and rig.opt.zero_grad.__self__ is rig.opt
        neuron_before = [p.detach().clone() for p in rig.neuron.parameters()]
        cand_before = [p.detach().clone() for p in rig.candidate.parameters()]
        for _ in range(3):
            rig.opt.zero_grad()
            rig.loss().backward()
            rig.opt.step()
        assert rig.events == ["zero", "apply"] * 3
        # the ordinary loss gradients were cleared before the candidate gradients went in
        assert all(g is None for grads in rig.grads_at_apply for g in grads)
        for before, p in zip(cand_before, rig.candidate.parameters()):
            torch.testing.assert_close(p.detach(), before - 3 * 0.1)
        for before, p in zip(neuron_before, rig.neuron.parameters()):
            assert torch.equal(p.detach(), before)  # neurons are not in the p-mode optimizer
        assert MV()["step_status"] == TDG.STEP_CALLED

    def test_second_step_without_zero_grad_applies_nothing(self, monkeypatch, capsys):
        GDL.pc.set_extra_verbose(True)
        rig = Rig(monkeypatch)
        rig.opt.zero_grad()
        rig.loss().backward()
        rig.opt.step()
        rig.opt.step()
        assert rig.events == ["zero", "apply"]
        out = lines(capsys)
        assert out.count("calling arb_step") == 1
        assert out[-1] == "arb_step called again without zero_grad, skipping dg grads"

    def test_closure_step_returns_the_loss_and_applies_after_its_backward(self, monkeypatch):
        rig = Rig(monkeypatch)
        cand_before = rig.candidate.weight.detach().clone()

        def closure():
            rig.events.append("closure")
            loss = rig.loss()
            loss.backward()
            return loss

        rig.opt.zero_grad()
        loss = rig.opt.step(closure)
        assert isinstance(loss, torch.Tensor) and loss.requires_grad
        assert rig.events == ["zero", "closure", "apply"]
        torch.testing.assert_close(rig.candidate.weight.detach(), cand_before - 0.1)
        assert rig.opt.step.__func__ is TDG.closure_arb_step

    @pytest.mark.parametrize("mode, live", [("n", False), ("p", True)])
    def test_no_candidate_gradients_in_n_mode_or_when_learning_live(self, monkeypatch, mode, live):
        GDL.pc.set_learn_dendrites_live(live)
        rig = Rig(monkeypatch, mode=mode)
        for _ in range(2):
            rig.opt.zero_grad()
            rig.loss().backward()
            rig.opt.step()
        assert rig.events == ["zero", "zero"]

    def test_zero_grad_arguments_reach_the_optimizer(self, monkeypatch):
        rig = Rig(monkeypatch, mode="n")
        rig.loss().backward()
        assert rig.opt.zero_grad(set_to_none=False) is None
        assert torch.equal(rig.neuron.weight.grad, torch.zeros(2, 3))
        rig.loss().backward()
        rig.opt.zero_grad(True)
        assert rig.neuron.weight.grad is None

    @pytest.mark.parametrize("limit", [0, 0.0, 1.0])
    def test_clipping_limits_each_neuron_module_separately(self, monkeypatch, limit):
        GDL.pc.set_candidate_grad_clipping(limit)
        rig = Rig(monkeypatch)
        second = tagged(nn.Linear(3, 2), "candidate")
        GDL.arb_tracker.neuron_module_vector.append(second)

        def apply():
            for k, p in enumerate(list(rig.candidate.parameters()) + list(second.parameters())):
                p.grad = torch.full_like(p, 3.0 + k)

        monkeypatch.setattr(GDL.arb_tracker, "apply_dg_grads", apply)
        rig.opt.zero_grad()
        rig.opt.step()
        norms = [torch.cat([p.grad.flatten() for p in m.parameters() if p.grad is not None]).norm().item()
                 for m in GDL.arb_tracker.neuron_module_vector]
        if limit:
            assert norms == pytest.approx([1.0, 1.0], rel=1e-5)
        else:
            assert norms[0] > 5 and norms[1] > 5

    def test_double_setup_stops_and_keeps_a_working_step(self, monkeypatch, capsys, debugger_stops):
        rig = Rig(monkeypatch, mode="n")
        wrapped_step = rig.opt._original_step
        MV()["mode"] = "p"
        TDG.setup_optimizer_dg(rig.opt)
        out = lines(capsys)
        assert out[0] == "Error: optimizer.zero_grad is already set to arb_zero_grad" and len(out) == 3
        assert "setup_optimizer_dg" in out[1]
        assert_advice_exists("\n".join(out))
        assert debugger_stops.count == 1
        # continuing filters again (nothing of p mode was left) but never wraps twice
        assert rig.opt._original_step is wrapped_step
        assert rig.opt.param_groups == []
        rig.opt.zero_grad()
        rig.opt.step()  # would recurse without end if the wrapper had wrapped itself


# ---------------------------------------------------------------------------
# score histories
# ---------------------------------------------------------------------------
def holder(channels=2, **values):
    fields = dict(best_pearson_correlation=torch.zeros(channels), prev_dendrite_candidate_pearson=torch.zeros(channels),
                  best_score=torch.zeros(channels), epoch_start_best_score=torch.zeros(channels),
                  best_score_improved_this_epoch=torch.zeros(1), nodes_improved_any=torch.zeros(channels),
                  nodes_best_improved_this_epoch=torch.zeros(channels), initialized=torch.full((1,), 100.0),
                  out_channels=channels)
    fields.update({k: torch.as_tensor(v, dtype=torch.float32) if isinstance(v, list) else v
                   for k, v in values.items()})
    return SimpleNamespace(**fields)


def layer(name, holders, channels=2):
    count = len(holders)
    candidates = [nn.Linear(3, channels) for _ in range(count)]
    dendrite_module = SimpleNamespace(
        dendrite_values=holders, candidate_module=candidates, best_candidate_module=[None] * count,
        num_dendrites=0, dendrites_to_candidates=[torch.randn(1, channels) for _ in range(count)],
        best_dendrites_to_candidates_saved=[torch.zeros(1, channels) for _ in range(count)])
    return SimpleNamespace(name=name, out_channels=channels, dendrite_module=dendrite_module, debug_arb_weights=False)


def install(*layers, candidates=None):
    GDL.pc.set_global_candidates(candidates or len(layers[0].dendrite_module.dendrite_values))
    tracker = GDL.arb_tracker
    for item in layers:
        tracker.add_neuron_module(item)
    return tracker


class TestScores:
    @pytest.mark.parametrize("a, b, recorded", [(-0.9, 0.9, 0.9), (-0.95, 0.9, 0.95), (0.3, float("nan"), 0.3)])
    def test_largest_magnitude_over_candidates_is_recorded(self, a, b, recorded):
        tracker = install(layer("l", [holder(best_pearson_correlation=[0.1, a]),
                                      holder(best_pearson_correlation=[0.2, b])]))
        TDG.add_best_scores(tracker)
        assert MV()["best_scores"] == [[pytest.approx(recorded)]]

    def test_scores_of_exactly_zero_are_real_scores(self, capsys, debugger_stops):
        tracker = install(layer("fresh", [holder(), holder()]))
        TDG.add_best_scores(tracker)
        assert MV()["best_scores"] == [[0.0]]
        assert debugger_stops.count == 0 and capsys.readouterr().out == ""

    def test_all_nan_layer_stops_and_records_zero(self, capsys, debugger_stops):
        nan = float("nan")
        tracker = install(layer("bad", [holder(best_pearson_correlation=[nan, nan])]),
                          layer("good", [holder(best_pearson_correlation=[0.5, -0.7])]))
        TDG.add_best_scores(tracker)
        assert "Didn't get any non zero scores or a score is nan or inf." in lines(capsys)
        assert debugger_stops.count == 1
        assert MV()["best_scores"] == [[0.0], [pytest.approx(0.7)]]

    def test_mean_best_over_layers_and_cycle_start(self):
        GDL.pc.set_doing_mean_best(True)
        tracker = install(layer("a", [holder(best_pearson_correlation=[0.2, -0.4])]),
                          layer("b", [holder(4, best_pearson_correlation=[1.0, 1.0, 1.0, 1.0])], channels=4),
                          layer("c", [holder(best_pearson_correlation=[0.0, 0.0])]))
        MV().update(num_epochs_run=7, switch_epochs=[6], best_mean_scores=[5.0])
        TDG.add_best_scores(tracker)
        # per layer: mean |score| / out_channels, summed, then averaged over the layers
        expected = (0.3 / 2 + 1.0 / 4 + 0.0) / 3
        assert MV()["best_mean_scores"] == [5.0, pytest.approx(expected)]  # first epoch of a cycle: taken as is
        assert MV()["best_mean_score_improved_this_epoch"] == 1

    @pytest.mark.parametrize("new_mean, improved", [(0.504, 0), (0.51, 1)])
    def test_mean_best_margins(self, new_mean, improved):
        GDL.pc.set_doing_mean_best(True)
        GDL.pc.set_arb_improvement_threshold(0.01)
        GDL.pc.set_arb_improvement_threshold_raw(0.001)
        tracker = install(layer("a", [holder(1, best_pearson_correlation=[new_mean])], channels=1))
        MV().update(num_epochs_run=3, switch_epochs=[], best_mean_scores=[0.5])
        TDG.add_best_scores(tracker)
        assert MV()["best_mean_scores"][-1] == pytest.approx(new_mean if improved else 0.5)
        assert MV()["best_mean_score_improved_this_epoch"] == improved

    def test_update_dg_scores_fills_p_accuracies_in_every_mode(self):
        tracker = install(layer("a", [holder(best_pearson_correlation=[0.3, 0.1])]))
        MV()["n_accuracies"].extend(range(200))
        TDG.update_dg_scores(tracker)
        table = TDG.p_accuracies_values
        assert len(table) == 129 and all(isinstance(v, int) and v >= 0 for v in table)
        assert MV()["p_accuracies"] == [table[k % 129] for k in range(200)]
        assert MV()["best_scores"] == [[]]
        GDL.pc.set_graphing_current_scores(True)
        MV()["mode"] = "p"
        TDG.update_dg_scores(tracker)
        assert MV()["best_scores"] == [[pytest.approx(0.3)]] and MV()["current_scores"] == [[0.0]]

    def test_host_setup_errors_propagate(self):
        tracker = install(layer("a", [holder()]))
        MV()["best_scores"] = []
        with pytest.raises(IndexError):
            TDG.add_best_scores(tracker)
        del MV()["current_scores"]
        with pytest.raises(KeyError, match="current_scores"):
            TDG.add_current_scores(tracker)

    def test_weight_movie_of_watched_layers_in_p_mode(self):
        watched, other = layer("w", [holder()]), layer("o", [holder()])
        watched.debug_arb_weights = True
        tracker = install(watched, other)
        TDG.add_current_weights(tracker)
        assert MV()["watch_weights"] == []  # n mode
        MV()["mode"] = "p"
        TDG.add_current_weights(tracker)
        TDG.add_current_weights(tracker)
        movie = MV()["watch_weights"]
        candidate = watched.dendrite_module.candidate_module[0]
        assert isinstance(movie, np.ndarray) and movie.shape == (2, 4, 2)
        np.testing.assert_allclose(movie[:, :3, 1], candidate.weight.detach().numpy())
        np.testing.assert_allclose(movie[:, 3, 0], candidate.bias.detach().numpy())


# ---------------------------------------------------------------------------
# switch decisions
# ---------------------------------------------------------------------------
SCHEDULE_RULES = ("cap_at_last_n_phase", "p_patience_by_best_candidate", "snapshot_candidates_per_neuron",
                  "mean_best_over_candidates", "correlation_scores_per_epoch")


class TestSwitch:
    @pytest.fixture(autouse=True)
    def specified_rules(self):
        """These cases check the rules a host without the schedule settings gets."""
        for name in SCHEDULE_RULES:
            getattr(GDL.pc, "set_" + name)(False)

    @pytest.mark.parametrize("mode, last, expected", [("p", 9, True), ("p", 10, False), ("n", 0, False)])
    def test_history_rule(self, mode, last, expected):
        MV().update(mode=mode, num_epochs_run=12, epoch_last_improved=last)
        assert bool(TDG.history_switch(GDL.arb_tracker)) is expected
        del MV()["epoch_last_improved"]
        if mode == "p":
            with pytest.raises(KeyError, match="epoch_last_improved"):
                TDG.history_switch(GDL.arb_tracker)

    def test_cap_rule(self, capsys):
        tracker = GDL.arb_tracker
        MV().update(mode="p", switch_epochs=[5, 9])
        GDL.pc.set_cap_at_n(False)
        assert TDG.check_cap_switch(tracker, 5) is False  # cap_at_n off
        GDL.pc.set_cap_at_n(True)
        assert TDG.check_cap_switch(tracker, 4) is False
        assert capsys.readouterr().out == ""
        assert TDG.check_cap_switch(tracker, 5) is True
        assert lines(capsys) == ["cap_at_n is True"]
        GDL.pc.set_silent(True)
        assert TDG.check_cap_switch(tracker, 6) is True and capsys.readouterr().out == ""
        MV()["switch_mode"] = GDL.pc.DOING_FIXED_SWITCH
        assert TDG.check_cap_switch(tracker, 50) is False

    def checked(self, monkeypatch):
        calls = []
        monkeypatch.setattr(MDG, "check_new_best_score", calls.append)
        return calls

    def test_correlation_check_in_n_mode_does_nothing(self, monkeypatch):
        calls = self.checked(monkeypatch)
        tracker = install(layer("a", [holder()]))
        assert TDG.best_cascor_score_improved_this_epoch(tracker) is False and calls == []

    def test_only_flagged_candidates_are_snapshotted_and_counted(self, monkeypatch, capsys):
        GDL.pc.set_verbose(True)
        calls = self.checked(monkeypatch)
        flagged = holder(best_score_improved_this_epoch=[1.0], nodes_improved_any=[0.0, 2.0],
                         nodes_best_improved_this_epoch=[1.0, 3.0], best_score=[0.25, 0.5])
        unflagged = holder(nodes_improved_any=[1.0, 1.0], nodes_best_improved_this_epoch=[1.0, 1.0])
        item = layer("lay", [unflagged, flagged])
        item.dendrite_module.num_dendrites = 1
        tracker = install(item)
        MV().update(mode="p", num_epochs_run=8, epoch_last_improved=2)
        assert TDG.best_cascor_score_improved_this_epoch(tracker, first_call=False) is True
        assert calls == [unflagged, flagged]
        dm = item.dendrite_module
        assert dm.best_candidate_module[0] is None
        copy = dm.best_candidate_module[1]
        assert copy is not dm.candidate_module[1] and torch.equal(copy.weight, dm.candidate_module[1].weight)
        assert torch.equal(dm.best_dendrites_to_candidates_saved[1], dm.dendrites_to_candidates[1])
        assert not dm.best_dendrites_to_candidates_saved[0].any()
        assert MV()["epoch_last_improved"] == 8
        out = lines(capsys)
        assert "Individual epoch improved is 8 for layer lay with current score: 0.5000000000000000" in out
        assert "Nodes that improved their correlation score this epoch: 2" in out

    def test_statistics_lines(self, monkeypatch, capsys):
        self.checked(monkeypatch)
        GDL.pc.set_arb_improvement_threshold_raw(0.1)
        tracker = install(layer("a", [holder(best_score=[0.3, 0.9], epoch_start_best_score=[0.2, 0.05]),
                                      holder(best_score=[1.0, 1.0], epoch_start_best_score=[0.01, 0.0])]))
        MV()["mode"] = "p"
        assert TDG.best_cascor_score_improved_this_epoch(tracker) is False
        assert lines(capsys) == ["Nodes that improved their correlation score this epoch: 0",
                                 "With average raw start score:     0.200000",
                                 "With average raw score change:     0.100000",
                                 "and average percent score change: 50.00%"]
        GDL.pc.set_arb_improvement_threshold_raw(0.0)
        TDG.best_cascor_score_improved_this_epoch(tracker)
        pct = float(lines(capsys)[-1].split(": ")[1].rstrip("%"))
        assert pct > 1e9  # a zero start score is divided by 1e-8
        GDL.pc.set_arb_improvement_threshold_raw(5.0)
        TDG.best_cascor_score_improved_this_epoch(tracker)
        assert lines(capsys)[-1] == ("No candidates with established scores (all below threshold) "
                                     "to compute statistics.")
        GDL.pc.set_silent(True)
        TDG.best_cascor_score_improved_this_epoch(tracker)
        assert capsys.readouterr().out == ""

    def test_epoch_shorter_than_the_initial_phase_warns_once_per_tracker(self, monkeypatch, capsys,
                                                                          debugger_stops):
        calls = self.checked(monkeypatch)
        GDL.pc.set_silent(True)
        GDL.arb_tracker.save_name = "run7"
        tracker = install(layer("first", [holder(initialized=[3.0])]), layer("second", [holder(initialized=[0.0])]))
        MV()["mode"] = "p"
        with pytest.warns(UserWarning) as seen:
            for _ in range(3):  # three epoch ends: the run goes on, the warning comes once
                TDG.best_cascor_score_improved_this_epoch(tracker)
        assert len(seen) == 1 and debugger_stops.count == 0 and capsys.readouterr().out == ""
        assert len(calls) == 6  # every layer is still checked for improvement
        message = str(seen[0].message)
        assert "neuron module first went through only 3 batches" in message and "fewer than the 10" in message
        assert "'run7'" in message
        assert_advice_exists(message)
        GDL.pc.set_initial_correlation_batches(2)  # lowered below the epoch as advised: only "second" is short
        GDL.arb_tracker.reset()
        tracker = install(layer("first", [holder(initialized=[3.0])]), layer("second", [holder(initialized=[0.0])]))
        MV()["mode"] = "p"
        with pytest.warns(UserWarning, match="neuron module second went through only 0 batches"):
            TDG.best_cascor_score_improved_this_epoch(tracker)
        GDL.pc.set_dendrite_learn_mode(False)  # no correlation phase to complete: nothing to warn about
        GDL.arb_tracker.reset()
        tracker = install(layer("first", [holder(initialized=[0.0])]))
        MV()["mode"] = "p"
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            TDG.best_cascor_score_improved_this_epoch(tracker)

    def test_short_epoch_warning_can_be_made_an_error(self, monkeypatch):
        self.checked(monkeypatch)
        tracker = install(layer("first", [holder(initialized=[0.0])]))
        MV()["mode"] = "p"
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(UserWarning, match="first"):
                TDG.best_cascor_score_improved_this_epoch(tracker)

    def test_empty_single_value_is_named(self, monkeypatch):
        self.checked(monkeypatch)
        tracker = install(layer("first", [holder(initialized=torch.zeros(0))]))
        MV()["mode"] = "p"
        with pytest.raises(ValueError, match="initialized must hold one value, got an empty tensor"):
            TDG.best_cascor_score_improved_this_epoch(tracker)

    def test_rebound_check_is_used_by_the_recording_entry_point(self, monkeypatch, capsys):
        GDL.pc.set_verbose(True)
        seen = []

        def rule(**kwargs):
            seen.append(kwargs)
            return len(seen) == 1

        monkeypatch.setattr(TDG, "best_arb_score_improved_this_epoch_fn", rule)
        MV().update(mode="p", num_epochs_run=6, epoch_last_improved=0)
        TDG.check_best_arb_score_improvement()
        TDG.check_best_arb_score_improvement()
        assert seen == [{"tracker": GDL.arb_tracker, "first_call": False}] * 2
        assert MV()["epoch_last_improved"] == 6
        assert lines(capsys) == ["best ARB score improved", "3 epoch improved is 6", "best ARB score not improved"]
        assert TDG.best_arb_score_improved_this_epoch(GDL.arb_tracker) is False
        assert seen[-1]["first_call"] is True

    def test_gd_variant(self, monkeypatch, capsys):
        for name, value in (("_gd_epoch_loss_sum", 0.0), ("_gd_epoch_loss_count", 0), ("_gd_best_epoch_loss", 0.0)):
            monkeypatch.setattr(MDG, name, value, raising=False)
        tracker = GDL.arb_tracker
        MV().update(mode="p", num_epochs_run=3)
        assert TDG.best_gd_score_improved_this_epoch(tracker) is False  # nothing accumulated
        MDG._gd_epoch_loss_sum, MDG._gd_epoch_loss_count = 3.0, 4
        assert TDG.best_gd_score_improved_this_epoch(tracker) is True
        assert (MDG._gd_epoch_loss_sum, MDG._gd_epoch_loss_count, MDG._gd_best_epoch_loss) == (0.0, 0, 0.75)
        assert MV()["epoch_last_improved"] == 3
        MDG._gd_epoch_loss_sum, MDG._gd_epoch_loss_count = 1.5, 2
        MV()["num_epochs_run"] = 4
        assert TDG.best_gd_score_improved_this_epoch(tracker) is False
        assert MV()["epoch_last_improved"] == 3
        assert lines(capsys) == ["GD dendrite loss improved: 0.000000 -> 0.750000",
                                 "GD dendrite loss did not improve: 0.750000 (best 0.750000)"]
        MV()["mode"] = "n"
        MDG._gd_epoch_loss_count = 1
        assert TDG.best_gd_score_improved_this_epoch(tracker) is False and MDG._gd_epoch_loss_count == 1

# ---------------------------------------------------------------------------
# diagnostics
# ---------------------------------------------------------------------------
class TestScheduleRules:
    """The schedule settings against the rules without them, on the same epoch."""

    @pytest.mark.parametrize("last_n, cap", [(True, 50), (False, 100)])
    def test_the_cap_is_the_first_or_the_last_n_phase(self, last_n, cap):
        GDL.pc.set_cap_at_last_n_phase(last_n)
        GDL.pc.set_silent(True)
        MV().update(mode="p", switch_epochs=[100, 180, 230])  # n phases of 100 and 50 epochs
        assert TDG.check_cap_switch(GDL.arb_tracker, cap - 1) is False
        assert TDG.check_cap_switch(GDL.arb_tracker, cap) is True
        MV().update(switch_epochs=[30])  # the first p phase: both rules cap at the first n phase
        assert [TDG.check_cap_switch(GDL.arb_tracker, k) for k in (29, 30)] == [False, True]

    def pooled_layer(self, strong_best):
        """Two slots of one neuron: a strong one counted at 0.5 and a weak one that just
        passed the margins (0.1 to 0.2), as check_new_best_score leaves them."""
        strong = holder(1, best_score=[strong_best], previous_best_score=[0.5],
                        best_score_improved_this_epoch=[1.0 if strong_best > 0.55 else 0.0])
        weak = holder(1, best_score=[0.2], previous_best_score=[0.1], best_score_improved_this_epoch=[1.0],
                      nodes_improved_any=[1.0])
        return layer("pool", [strong, weak], channels=1)

    @pytest.mark.parametrize("pooled, strong_best, restarts", [
        (False, 0.5, True), (True, 0.5, False), (True, 0.52, False), (True, 0.6, True)])
    def test_patience_restarts_on_the_pooled_best_or_on_any_slot(self, monkeypatch, pooled, strong_best, restarts):
        monkeypatch.setattr(MDG, "check_new_best_score", lambda values: None)
        GDL.pc.set_p_patience_by_best_candidate(pooled)
        GDL.pc.set_silent(True)
        tracker = install(self.pooled_layer(strong_best))
        MV().update(mode="p", num_epochs_run=8, epoch_last_improved=2)
        assert TDG.best_cascor_score_improved_this_epoch(tracker) is True  # a slot improved either way
        assert MV()["epoch_last_improved"] == (8 if restarts else 2)

    def test_mean_best_takes_each_neurons_best_slot(self):
        GDL.pc.set_doing_mean_best(True)
        tracker = install(layer("a", [holder(best_pearson_correlation=[0.2, 0.1]),
                                      holder(best_pearson_correlation=[0.1, -0.4])]))
        means = {}
        for over_candidates in (False, True):
            GDL.pc.set_mean_best_over_candidates(over_candidates)
            MV().update(num_epochs_run=1, switch_epochs=[0], best_mean_scores=[])
            TDG.add_best_scores(tracker)
            means[over_candidates] = MV()["best_mean_scores"][-1]
        assert means == {False: pytest.approx((0.2 + 0.1) / 2 / 2), True: pytest.approx((0.2 + 0.4) / 2 / 2)}

    @pytest.mark.parametrize("flagged", [True, False])
    def test_snapshot_takes_only_the_improved_neurons_rows(self, monkeypatch, flagged):
        monkeypatch.setattr(MDG, "check_new_best_score", lambda values: None)
        GDL.pc.set_snapshot_candidates_per_neuron(True)
        GDL.pc.set_silent(True)
        # neuron 1 rose this epoch; whether the slot also passed the margins does not matter
        values = holder(nodes_improved_any=[0.0, 1.0], best_score_improved_this_epoch=[1.0 if flagged else 0.0],
                        best_score=[0.3, 0.4], previous_best_score=[0.3, 0.4])
        item = layer("lay", [values])
        dm = item.dendrite_module
        dm.num_dendrites = 1
        old = nn.Linear(3, 2)
        dm.best_candidate_module[0] = old
        before_weight, before_bias = old.weight.detach().clone(), old.bias.detach().clone()
        dm.best_dendrites_to_candidates_saved[0] = torch.full((1, 2), 7.0)
        tracker = install(item)
        MV().update(mode="p", num_epochs_run=4, epoch_last_improved=1)
        TDG.best_cascor_score_improved_this_epoch(tracker)
        live = dm.candidate_module[0]
        assert dm.best_candidate_module[0] is old  # updated in place
        torch.testing.assert_close(old.weight[0], before_weight[0])
        torch.testing.assert_close(old.weight[1], live.weight[1].detach())
        torch.testing.assert_close(old.bias, torch.stack([before_bias[0], live.bias[1].detach()]))
        saved = dm.best_dendrites_to_candidates_saved[0]
        torch.testing.assert_close(saved, torch.stack([torch.tensor([7.0]), dm.dendrites_to_candidates[0][:, 1]], 1))

    def test_a_missing_snapshot_is_taken_whole(self, monkeypatch):
        monkeypatch.setattr(MDG, "check_new_best_score", lambda values: None)
        GDL.pc.set_snapshot_candidates_per_neuron(True)
        GDL.pc.set_silent(True)
        item = layer("lay", [holder(nodes_improved_any=[1.0, 0.0], previous_best_score=[0.0, 0.0])])
        tracker = install(item)
        MV().update(mode="p", num_epochs_run=4, epoch_last_improved=1)
        TDG.best_cascor_score_improved_this_epoch(tracker)
        dm = item.dendrite_module
        copy = dm.best_candidate_module[0]
        assert copy is not dm.candidate_module[0] and torch.equal(copy.weight, dm.candidate_module[0].weight)


def test_parameter_lookup_and_membership_report(monkeypatch, capsys):
    shared = nn.Linear(2, 2)
    model = nn.Sequential(nn.Sequential(shared), shared, tagged(nn.Linear(2, 1), "candidate"))
    tagged(shared, "neuron")
    assert TDG.find_param_name_by_id(model, id(shared.bias)) == ".0.0.bias"
    assert TDG.find_param_name_by_id(model, id(object())) is None
    MV()["mode"] = "p"
    opt = torch.optim.SGD(model.parameters(), lr=0.1)
    TDG.setup_optimizer_dg(opt)
    TDG.report_optimizer_model_membership(opt, model)
    assert lines(capsys) == ["0.0.weight: NOT IN", "0.0.bias: NOT IN", "2.weight: IN", "2.bias: IN"]
