"""The wrapped optimizer with what people put around it: learning-rate schedulers (also
across restructures), GradScaler and autocast, gradient clipping of the candidates.
Each test compares with a reference computed another way: a plain optimizer with the
same scheduler, the same loop without scaling or in float32, clip_grad_norm_ by hand."""
import warnings

import pytest
import torch
from torch import nn
from torch.nn import functional as F
from torch.optim import lr_scheduler

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

LR = 0.05


def wrapped(mode, optimizer_class=torch.optim.SGD, **kwargs):
    """A wrapped MLP and the tracker's optimizer for `mode` (p: after a real switch)."""
    torch.manual_seed(0)
    GDL.pc.set_dendrite_graph_mode(False)  # every layer gets its neuron error
    GDL.pc.set_initial_correlation_batches(1)
    GDL.pc.set_candidate_lr_scale(1.0)  # the plain references train every parameter at one rate
    GDL.pc.set_silent(True)
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 8), nn.Tanh(), nn.Linear(8, 2)))
    tracker = GDL.arb_tracker
    tracker.setup_optimizer(model, optimizer_class, lr=LR, **kwargs)
    if mode == "p":
        tracker._switch_to_p()
    return model, tracker.optimizer


def data(count=6, seed=1):
    g = torch.Generator().manual_seed(seed)
    return [(torch.randn(16, 4, generator=g), torch.randn(16, 2, generator=g)) for _ in range(count)]


def trained(model, mode):
    role = "candidate" if mode == "p" else "neuron"
    return {n: p.detach().clone() for n, p in model.named_parameters() if getattr(p, "parameter_type", None) == role}


def assert_same(actual, expected, atol=1e-6):
    assert actual.keys() == expected.keys()
    for name in expected:
        torch.testing.assert_close(actual[name], expected[name], atol=atol, rtol=0, msg=name)


def statistics(model):
    """Every candidate slot's correlation statistics and scores."""
    found = {}
    for k, neuron_module in enumerate(GDL.arb_tracker.neuron_module_vector):
        for j, values in enumerate(neuron_module.dendrite_module.dendrite_values):
            for name in ("normal_pass_average_d", "prev_dendrite_candidate_average",
                         "prev_dendrite_candidate_correlation", "best_score", "initialized"):
                found[f"{k}.{j}.{name}"] = getattr(values, name).detach().clone()
    return found


def plain_lrs(scheduler_class, kwargs, steps, metric):
    """The learning rates the same scheduler gives a plain optimizer."""
    optimizer = torch.optim.SGD([nn.Parameter(torch.zeros(1))], lr=LR)
    scheduler = scheduler_class(optimizer, **kwargs)
    lrs = []
    for _ in range(steps):
        optimizer.step()
        scheduler.step(*metric)
        lrs.append(optimizer.param_groups[0]["lr"])
    return lrs


SCHEDULERS = [
    pytest.param(lr_scheduler.StepLR, dict(step_size=2, gamma=0.5), (), id="StepLR"),
    pytest.param(lr_scheduler.CosineAnnealingLR, dict(T_max=5), (), id="CosineAnnealingLR"),
    pytest.param(lr_scheduler.ReduceLROnPlateau, dict(patience=1, factor=0.5), (1.0,), id="ReduceLROnPlateau"),
]


class TestSchedulers:
    @pytest.mark.parametrize("mode", ["n", "p"])
    @pytest.mark.parametrize("scheduler_class, kwargs, metric", SCHEDULERS)
    def test_scheduler_on_the_wrapped_optimizer(self, mode, scheduler_class, kwargs, metric):
        batches = data()
        expected_lrs = plain_lrs(scheduler_class, kwargs, len(batches), metric)
        assert expected_lrs[-1] < LR  # the schedule changes the rate
        model, optimizer = wrapped(mode)
        lrs = []
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # e.g. "optimizer.step() has been overridden"
            scheduler = scheduler_class(optimizer, **kwargs)
            for x, y in batches:
                optimizer.zero_grad()
                F.mse_loss(model(x), y).backward()
                optimizer.step()
                scheduler.step(*metric)
                lrs.append(optimizer.param_groups[0]["lr"])
        assert lrs == pytest.approx(expected_lrs, abs=1e-12)
        # the same loop without a scheduler, the rates set by hand, trains the same
        scheduled = trained(model, mode)
        model, optimizer = wrapped(mode)
        lr = LR
        for (x, y), next_lr in zip(batches, expected_lrs):
            optimizer.zero_grad()
            F.mse_loss(model(x), y).backward()
            optimizer.step()
            optimizer.param_groups[0]["lr"] = lr = next_lr
        assert_same(scheduled, trained(model, mode))
        assert scheduled != {} and lr == lrs[-1]

    def test_closure_step_after_a_scheduler_wrapped_the_step(self):
        model, optimizer = wrapped("p")
        scheduler = lr_scheduler.StepLR(optimizer, step_size=1, gamma=0.5)
        before = trained(model, "p")
        x, y = data(1)[0]

        def closure():
            optimizer.zero_grad()
            loss = F.mse_loss(model(x), y)
            loss.backward()
            return loss

        for _ in range(2):
            loss = optimizer.step(closure)
            scheduler.step()
        assert isinstance(loss, torch.Tensor)
        assert optimizer._opt_called and optimizer.step._wrapped_by_lr_sched  # the scheduler's wrapper stays
        assert any(not torch.equal(a, b) for a, b in zip(before.values(), trained(model, "p").values()))

    @pytest.mark.parametrize("scheduler_class, kwargs, metric", SCHEDULERS)
    def test_tracker_schedule_carries_on_across_restructures(self, scheduler_class, kwargs, metric):
        model, _ = wrapped("n")
        tracker = GDL.arb_tracker
        tracker.setup_scheduler(scheduler_class, **kwargs)
        batches = data(9)
        switches = {2: tracker._switch_to_p, 5: tracker._switch_to_n, 7: tracker._switch_to_p}
        lrs = []
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for epoch, (x, y) in enumerate(batches):
                optimizer = tracker.optimizer
                optimizer.zero_grad()
                F.mse_loss(model(x), y).backward()
                optimizer.step()
                tracker.scheduler.step(*metric)
                lrs.append(tracker.optimizer.param_groups[0]["lr"])
                if epoch in switches:
                    old = tracker.optimizer
                    switches[epoch]()
                    assert tracker.optimizer is not old and tracker.scheduler.optimizer is tracker.optimizer
                    assert tracker.optimizer.param_groups[0]["lr"] == lrs[-1]  # where the schedule was
        assert lrs == pytest.approx(plain_lrs(scheduler_class, kwargs, len(batches), metric), abs=1e-12)
        assert GDL.arb_tracker.dendrites_added() == 1

    def test_setup_scheduler_needs_an_optimizer(self):
        with pytest.raises(RuntimeError, match="setup_optimizer"):
            GDL.arb_tracker.setup_scheduler(lr_scheduler.StepLR, step_size=1)


def run(mode, batches, precision=None, scaler=None, optimizer_class=torch.optim.SGD, **optimizer_kwargs):
    """The ordinary loop under autocast (`precision`) and a GradScaler, or plain."""
    model, optimizer = wrapped(mode, optimizer_class, **optimizer_kwargs)
    for x, y in batches:
        optimizer.zero_grad()
        with torch.autocast("cpu", dtype=precision or torch.float32, enabled=precision is not None):
            loss = F.mse_loss(model(x), y)
        if scaler is None:
            loss.backward()
            optimizer.step()
        else:
            scaler.scale(loss).backward()
            scaler.step(optimizer)
            scaler.update()
    return model, optimizer


class TestMixedPrecision:
    @pytest.mark.parametrize("mode", ["n", "p"])
    def test_grad_scaler_steps_equal_unscaled_steps(self, mode):
        # Without autocast the scaled gradients are exact multiples: after unscaling the
        # steps must be the plain ones (the candidates learn from a scaled neuron error).
        batches = data()
        scaler = torch.amp.GradScaler("cpu", init_scale=2.0 ** 12)
        scaled, _ = run(mode, batches, scaler=scaler)
        plain, _ = run(mode, batches)
        assert_same(trained(scaled, mode), trained(plain, mode), atol=1e-6)
        assert scaler.get_scale() == 2.0 ** 12  # no step found a non-finite gradient
        if mode == "p":  # the scores do not depend on the scale either
            assert_same(statistics(scaled), statistics(plain), atol=1e-6)

    def test_overflowing_scaled_backward_teaches_the_candidates_nothing(self, debugger_stops):
        batches = data(4)
        model, optimizer = wrapped("p")
        scaler = torch.amp.GradScaler("cpu", init_scale=2.0 ** 40)  # float16 errors overflow
        before, stats_before = trained(model, "p"), statistics(model)
        for k, (x, y) in enumerate(batches):
            optimizer.zero_grad()
            with torch.autocast("cpu", dtype=torch.float16):
                loss = F.mse_loss(model(x), y)
            scaler.scale(loss).backward()
            scaler.step(optimizer)
            if k < 2:
                assert_same(trained(model, "p"), before, atol=0)
                assert_same(statistics(model), stats_before, atol=0)
            # (the scale stays too large for two iterations, then is workable: learning goes on)
            scaler.update(2.0 ** 40 if k == 0 else 2.0 ** 8 if k == 1 else None)
        assert debugger_stops.count == 0
        after = trained(model, "p")
        assert any(not torch.equal(after[n], before[n]) for n in before)
        assert all(torch.isfinite(t).all() for t in (*after.values(), *statistics(model).values()))

    @pytest.mark.parametrize("mode", ["n", "p"])
    @pytest.mark.parametrize("precision", [torch.float16, torch.bfloat16])
    def test_autocast_steps_follow_float32_steps(self, mode, precision):
        batches = data()
        scaler = torch.amp.GradScaler("cpu") if precision == torch.float16 else None
        model, _ = run(mode, batches, precision, scaler, torch.optim.Adam)
        reference, _ = run(mode, batches, optimizer_class=torch.optim.Adam)
        start, _ = wrapped(mode)
        got, expected, initial = trained(model, mode), trained(reference, mode), trained(start, mode)
        assert all(t.dtype == torch.float32 and torch.isfinite(t).all() for t in got.values())
        moved = sum((expected[n] - initial[n]).abs().sum() for n in expected)
        off = sum((got[n] - expected[n]).abs().sum() for n in expected)
        assert moved > 0 and off < 0.1 * moved  # low precision learns nearly the same steps

    def test_non_finite_candidate_gradient_skips_the_step(self, monkeypatch):
        batches = data(3)
        model, optimizer = wrapped("p", torch.optim.Adam)
        tracker = GDL.arb_tracker
        apply = tracker.apply_dg_grads
        poison = {"on": True}

        def apply_then_poison():
            apply()
            if poison["on"]:
                next(p for p in model.parameters() if p.parameter_type == "candidate" and p.grad is not None).grad[0] = \
                    float("inf")

        monkeypatch.setattr(tracker, "apply_dg_grads", apply_then_poison)
        scaler = torch.amp.GradScaler("cpu")
        before = trained(model, "p")
        for k, (x, y) in enumerate(batches):
            poison["on"] = k == 0
            optimizer.zero_grad()
            scaler.scale(F.mse_loss(model(x), y)).backward()
            scaler.step(optimizer)
            scaler.update()
            if k == 0:
                assert_same(trained(model, "p"), before, atol=0)
                assert len(optimizer.state) == 0  # Adam never ran
        assert len(optimizer.state) > 0 and all(torch.isfinite(t).all() for t in trained(model, "p").values())


class TestCandidateClipping:
    def test_clipping_sees_only_the_candidates(self, monkeypatch):
        GDL.pc.set_candidate_grad_clipping(0.01)
        model, optimizer = wrapped("p", torch.optim.SGD)
        tracker = GDL.arb_tracker
        apply = tracker.apply_dg_grads
        applied = []

        def recording_apply():
            apply()
            applied.append({id(p): p.grad.clone() for p in model.parameters() if p.grad is not None})

        monkeypatch.setattr(tracker, "apply_dg_grads", recording_apply)
        for x, y in data(4):
            optimizer.zero_grad()
            F.mse_loss(model(x), y).backward()
            optimizer.step()
            neuron_grads = {n: p.grad.clone() for n, p in model.named_parameters()
                            if p.parameter_type == "neuron" and p.grad is not None}
            # the reference: clip_grad_norm_ on exactly the candidates of each neuron module
            for neuron_module in tracker.neuron_module_vector:
                candidates = [p for p in neuron_module.parameters() if p.parameter_type == "candidate"]
                expected = [applied[-1][id(p)].clone() if id(p) in applied[-1] else None for p in candidates]
                reference = [g for g in expected if g is not None]
                holders = [nn.Parameter(torch.zeros_like(g)) for g in reference]
                for holder, g in zip(holders, reference):
                    holder.grad = g
                torch.nn.utils.clip_grad_norm_(holders, max_norm=0.01)
                got = [p.grad for p in candidates if p.grad is not None]
                assert len(got) == len(holders) > 0
                for g, holder in zip(got, holders):
                    torch.testing.assert_close(g, holder.grad, atol=1e-7, rtol=1e-6)
        # the frozen network computes no weight gradients in p mode, so none can be clipped
        assert not neuron_grads
        assert not any(p.requires_grad for p in model.parameters() if p.parameter_type == "neuron")


def candidate_params(model):
    return [p for p in model.parameters() if getattr(p, "parameter_type", None) == "candidate"]


def plain_network():
    """The wrapped MLP's network as plain PyTorch, with the same initial weights."""
    torch.manual_seed(0)
    return nn.Sequential(nn.Linear(4, 8), nn.Tanh(), nn.Linear(8, 2))


def scaled_iteration(model, optimizer, scaler, x, y, factor=1.0, precision=None):
    """zero_grad, forward (under autocast for `precision`), the scaled backward of the loss
    times `factor` (inf forces an overflow)."""
    optimizer.zero_grad()
    with torch.autocast("cpu", dtype=precision or torch.float32, enabled=precision is not None):
        loss = F.mse_loss(model(x), y) * factor
    scaler.scale(loss).backward()


class TestScalerSeesTheCandidates:
    """In p mode the candidates' gradients are learned from stored batches, not made by the
    backward: the scaler must still see their overflow (and back off), and unscale_ must
    reach them."""

    @pytest.mark.parametrize("optimizer_class, kwargs", [
        pytest.param(torch.optim.SGD, dict(momentum=0.9, weight_decay=1e-3), id="SGD"),
        pytest.param(torch.optim.Adam, {}, id="Adam"),
    ])
    def test_forced_overflow_backs_off_as_for_a_plain_model(self, optimizer_class, kwargs, debugger_stops):
        batches, overflowing = data(8), {1, 3, 4}
        settings = dict(init_scale=2.0 ** 16, growth_interval=2)

        def scales_of(model, optimizer, on_step=None):
            scaler, scales = torch.amp.GradScaler("cpu", **settings), []
            for k, (x, y) in enumerate(batches):
                scaled_iteration(model, optimizer, scaler, x, y, float("inf") if k in overflowing else 1.0)
                scaler.step(optimizer)
                scaler.update()
                scales.append(scaler.get_scale())
                if on_step:
                    on_step(k)
            return scales

        plain = plain_network()
        expected = scales_of(plain, optimizer_class(plain.parameters(), lr=LR, **kwargs))
        assert expected == [2.0 ** 16, 2.0 ** 15, 2.0 ** 15, 2.0 ** 14, 2.0 ** 13, 2.0 ** 13, 2.0 ** 14, 2.0 ** 14]

        model, optimizer = wrapped("p", optimizer_class, **kwargs)
        moved = []
        last = [trained(model, "p")]

        def record(k):
            now = trained(model, "p")
            moved.append(any(not torch.equal(now[n], last[0][n]) for n in now))
            last[0] = now

        assert scales_of(model, optimizer, record) == expected
        assert moved == [k not in overflowing for k in range(len(batches))]  # skipped exactly on overflow
        assert debugger_stops.count == 0
        # the overflowing iterations taught nothing, the others learned once each: the same
        # as the unscaled loop that never saw the overflowing batches
        got, got_statistics = trained(model, "p"), statistics(model)
        reference, _ = run("p", [b for k, b in enumerate(batches) if k not in overflowing],
                           optimizer_class=optimizer_class, **kwargs)
        assert_same(got, trained(reference, "p"), atol=1e-6)
        assert_same(got_statistics, statistics(reference), atol=1e-6)

    def test_persistent_float16_overflow_backs_off_until_the_errors_fit(self):
        # Every scaled float16 neuron error overflows at the first scales: the scale must
        # halve at each skipped iteration until they fit, then the candidates learn. The
        # reference: the plain network under the same autocast, whose layer outputs' scaled
        # gradients are the errors the candidates learn from.
        batches, init_scale = data(14), 2.0 ** 26
        plain = plain_network()
        expected_scales, expected_skips, scale = [], [], init_scale
        for x, y in batches:
            grads = []
            with torch.autocast("cpu", dtype=torch.float16):
                hidden = plain[0](x)
                out = plain[2](plain[1](hidden))
                loss = F.mse_loss(out, y)
            for t in (hidden, out):
                t.register_hook(grads.append)
            (loss * scale).backward()
            overflow = not all(torch.isfinite(g).all() for g in grads)
            expected_skips.append(overflow)
            scale = scale / 2 if overflow else scale
            expected_scales.append(scale)
        assert expected_skips[:3] == [True] * 3 and not expected_skips[-1]  # persistent, then it fits

        model, optimizer = wrapped("p")
        scaler = torch.amp.GradScaler("cpu", init_scale=init_scale)
        scales, skips = [], []
        for x, y in batches:
            before = trained(model, "p")
            scaled_iteration(model, optimizer, scaler, x, y, precision=torch.float16)
            scaler.step(optimizer)
            scaler.update()
            after = trained(model, "p")
            skips.append(all(torch.equal(after[n], before[n]) for n in after))
            scales.append(scaler.get_scale())
        assert scales == expected_scales
        assert skips == expected_skips
        assert all(torch.isfinite(t).all() for t in (*trained(model, "p").values(), *statistics(model).values()))

    @pytest.mark.parametrize("accumulate", [1, 2], ids=["one backward", "two backwards per step"])
    def test_unscale_then_clip_sees_the_unscaled_candidate_gradients(self, accumulate, monkeypatch):
        # The usual recipe: scaler.unscale_(optimizer), clip_grad_norm_, scaler.step. The
        # reference: the unscaled loop, whose candidate gradients are clipped the same way
        # right where they come into being.
        batches, max_norm = data(8), 0.05

        def iterations():
            for k in range(0, len(batches), accumulate):
                yield batches[k:k + accumulate]

        model, optimizer = wrapped("p")
        scaler = torch.amp.GradScaler("cpu", init_scale=2.0 ** 12)
        unscaled, norms = [], []
        for group in iterations():
            optimizer.zero_grad()
            for x, y in group:
                scaler.scale(F.mse_loss(model(x), y)).backward()
            scaler.unscale_(optimizer)
            unscaled.append([None if p.grad is None else p.grad.clone() for p in candidate_params(model)])
            norms.append(torch.nn.utils.clip_grad_norm_(candidate_params(model), max_norm))
            scaler.step(optimizer)
            scaler.update()
        assert scaler.get_scale() == 2.0 ** 12

        reference, reference_optimizer = wrapped("p")
        tracker = GDL.arb_tracker
        apply = tracker.apply_dg_grads
        expected, expected_norms = [], []

        def apply_then_clip():
            apply()
            expected.append([None if p.grad is None else p.grad.clone() for p in candidate_params(reference)])
            expected_norms.append(torch.nn.utils.clip_grad_norm_(candidate_params(reference), max_norm))

        monkeypatch.setattr(tracker, "apply_dg_grads", apply_then_clip)
        for group in iterations():
            reference_optimizer.zero_grad()
            for x, y in group:
                F.mse_loss(reference(x), y).backward()
            reference_optimizer.step()

        assert len(unscaled) == len(expected) == len(batches) // accumulate
        for got, want in zip(unscaled, expected):
            assert [g is None for g in got] == [w is None for w in want]
            for g, w in zip(got, want):
                if w is not None:
                    torch.testing.assert_close(g, w, atol=1e-7, rtol=1e-6)
        torch.testing.assert_close(torch.stack(norms), torch.stack(expected_norms), atol=0, rtol=1e-6)
        assert max(expected_norms) > max_norm  # the clipping did clip
        assert_same(trained(model, "p"), trained(reference, "p"), atol=1e-6)
        assert_same(statistics(model), statistics(reference), atol=1e-6)  # learned once per step

    def test_unscale_without_step_then_zero_grad_learns_afresh(self):
        # A loop that inspects the unscaled gradients and drops the iteration: the next
        # iteration's candidates learn at its own unscale_/step.
        batches = data(3)
        model, optimizer = wrapped("p")
        scaler = torch.amp.GradScaler("cpu", init_scale=2.0 ** 8)
        x, y = batches[0]
        scaled_iteration(model, optimizer, scaler, x, y)
        scaler.unscale_(optimizer)
        assert any(p.grad is not None and p.grad.abs().sum() > 0 for p in candidate_params(model))
        scaler.update()
        for x, y in batches[1:]:
            before = trained(model, "p")
            scaled_iteration(model, optimizer, scaler, x, y)
            assert all(p.grad is None or not p.grad.any() for p in candidate_params(model))  # nothing learned yet
            scaler.step(optimizer)
            scaler.update()
            after = trained(model, "p")
            assert any(not torch.equal(after[n], before[n]) for n in after)

    def test_replaced_model_optimizer_leaves_the_new_model_alone(self):
        old_model, old_optimizer = wrapped("p")
        scaler = torch.amp.GradScaler("cpu")
        x, y = data(1)[0]
        scaled_iteration(old_model, old_optimizer, scaler, x, y)
        with pytest.warns(UserWarning, match="replaces"):
            new_model = UDL.initialize_arb(plain_network())
        GDL.arb_tracker.setup_optimizer(new_model, torch.optim.SGD, lr=LR)
        GDL.arb_tracker._switch_to_p()
        new_optimizer = GDL.arb_tracker.optimizer
        new_optimizer.zero_grad()
        F.mse_loss(new_model(x), y).backward()  # the new model's batch waits for its step
        before, stats_before = trained(new_model, "p"), statistics(new_model)
        scaler.unscale_(old_optimizer)
        with pytest.raises(RuntimeError, match="replaced"):
            scaler.step(old_optimizer)
        assert_same(trained(new_model, "p"), before, atol=0)
        assert_same(statistics(new_model), stats_before, atol=0)
        new_optimizer.step()  # its batch is still there to learn from
        assert any(not torch.equal(a, b) for a, b in zip(before.values(), trained(new_model, "p").values()))
