"""Candidate learning: forward path, running statistics, correlation loss,
best scores and gradient application (dendrograd.modules_dgr)."""
import types

import pytest
import torch
from torch import nn
from torch.nn import functional as F

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import modules_dgr as MDG

STEADY_WEIGHT = 1 - 0.99  # 0.010000000000000009


def set_p_mode():
    GDL.arb_tracker.member_vars["mode"] = "p"
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        neuron_module.dendrite_module.mode = "p"


def holder(channels=3, name="layer"):
    return MDL.DendriteValueTracker(name, channels, 1, [-1, 0])


def wrapped_linear(inputs=4, outputs=3):
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    neuron_module = UDL.initialize_arb(nn.Linear(inputs, outputs))
    set_p_mode()
    return neuron_module


def wrapped_mlp():
    # Without cutting the neurons' inputs every layer gets its neuron error.
    GDL.pc.set_dendrite_graph_mode(False)
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 8), nn.ReLU(), nn.Linear(8, 2)))
    set_p_mode()
    return model


def store_batch(values, error, output):
    values.current_parent_d[0].append(error)
    values.dendrite_outs[0].append(output)
    values.device = 0


# ---------------------------------------------------------------------------
# Forward path
# ---------------------------------------------------------------------------
class TestForwardPath:
    def test_outside_p_mode_nothing_runs(self):
        neuron_module = wrapped_linear()
        GDL.arb_tracker.member_vars["mode"] = "n"
        dm = neuron_module.dendrite_module
        assert MDG.forward_candidates(dm, [1, -1], [], torch.randn(2, 4)) == ({}, {}, {})
        assert dm.dendrite_values[0].dendrite_outs[0] == []

    def test_training_stores_output_with_graph_and_returns_copies(self):
        dm = wrapped_linear().dendrite_module
        x = torch.randn(5, 4, requires_grad=True)
        outs, nonlinear, non_zeroed = MDG.forward_candidates(dm, [1, -1], [], x)
        stored = dm.dendrite_values[0].dendrite_outs[0]
        assert len(stored) == 1 and stored[0] is nonlinear[0]
        assert nonlinear[0].grad_fn is not None
        torch.testing.assert_close(outs[0], dm.candidate_module[0](x))
        torch.testing.assert_close(nonlinear[0], torch.sigmoid(outs[0]))
        assert not non_zeroed[0].requires_grad
        assert non_zeroed[0].data_ptr() != nonlinear[0].data_ptr()
        # The candidate's inputs are cut: its loss never reaches the layer input.
        nonlinear[0].sum().backward()
        assert x.grad is None

    @pytest.mark.parametrize("training, learn_mode", [(False, True), (True, False)])
    def test_nothing_stored_when_not_training_or_not_learning(self, training, learn_mode):
        dm = wrapped_linear().dendrite_module
        dm.train(training)
        GDL.pc.set_dendrite_learn_mode(learn_mode)
        _, nonlinear, non_zeroed = MDG.forward_candidates(dm, [1, -1], [], torch.randn(2, 4))
        assert dm.dendrite_values[0].dendrite_outs[0] == []
        torch.testing.assert_close(non_zeroed[0], nonlinear[0].detach())

    def test_unconsumed_output_is_replaced_under_the_workaround(self, capsys):
        dm = wrapped_linear().dendrite_module
        GDL.pc.set_no_backward_workaround(True)
        stale = torch.zeros(2, 3)
        dm.dendrite_values[0].dendrite_outs[0].append(stale)
        _, nonlinear, _ = MDG.forward_candidates(dm, [1, -1], [], torch.randn(2, 4))
        assert dm.dendrite_values[0].dendrite_outs[0] == [nonlinear[0]]
        assert "multiple times" not in capsys.readouterr().out

    def test_unconsumed_output_is_reported_without_the_workaround(self, capsys, debugger_stops):
        dm = wrapped_linear().dendrite_module
        dm.dendrite_values[0].dendrite_outs[0].append(torch.zeros(2, 3))
        MDG.forward_candidates(dm, [1, -1], [], torch.randn(2, 4))
        out = capsys.readouterr().out
        assert "model is in backwards graph multiple times." in out
        assert "Dendrite outs and neuron errors are currently stacked (1/0) times" in out
        assert "a library or method that sometime does forwards and backwards without optimizer.step()\n" in out
        assert len(dm.dendrite_values[0].dendrite_outs[0]) == 2
        assert debugger_stops.count == 0

    def test_non_finite_candidate_output_stops(self, capsys, debugger_stops):
        dm = wrapped_linear().dendrite_module
        GDL.pc.set_debugging_backwards_nan(True)
        with torch.no_grad():
            dm.candidate_module[0].bias.fill_(float("inf"))
        MDG.forward_candidates(dm, [1, -1], [], torch.randn(2, 4))
        out = capsys.readouterr().out
        assert "Got a NaN or inf in candidate outputs in layer model" in out
        assert "Try using GDL.pc.set_candidate_grad_clipping(1.0) to prevent large candidate gradients" in out
        assert debugger_stops.count == 1

    def test_nan_stored_output_stops_when_verbose(self, capsys, debugger_stops):
        dm = wrapped_linear().dendrite_module
        GDL.pc.set_verbose(True)
        with torch.no_grad():
            dm.candidate_module[0].bias.fill_(float("nan"))
        MDG.forward_candidates(dm, [1, -1], [], torch.randn(2, 4))
        assert "got candidate out nan" in capsys.readouterr().out
        assert debugger_stops.count == 1
        assert len(dm.dendrite_values[0].dendrite_outs[0]) == 1  # resumes after the stop

    def test_inputs_without_tensor_name_the_layer(self):
        dm = wrapped_linear().dendrite_module
        with pytest.raises(ValueError, match="layer model"):
            MDG.forward_candidates(dm, [1, -1], [], 3, scale=2.0)

    def test_processors_transform_inputs_and_outputs(self):
        dm = wrapped_linear().dendrite_module

        class Doubler:
            def pre_d(self, x):
                return (2 * x,), {}

            def post_d(self, out):
                return out + 1

        dm.candidate_processors = [Doubler()]
        x = torch.randn(2, 4)
        outs, _, _ = MDG.forward_candidates(dm, [1, -1], [], x)
        torch.testing.assert_close(outs[0], dm.candidate_module[0](2 * x) + 1)

    @pytest.mark.parametrize("failing, line, error", [
        ("pre_d", "Your candidate pre_d processor for model caused this error", "ValueError: not enough values"),
        ("post_d", "Your post_d processor for model caused this error", "KeyError: 'boom'"),
    ])
    def test_failing_processor_ends_the_run_with_failure(self, capsys, failing, line, error):
        dm = wrapped_linear().dendrite_module

        class Broken:
            def pre_d(self, x):
                if failing == "pre_d":
                    return (x,)  # one item: the unpacking fails
                return (x,), {}

            def post_d(self, out):
                raise KeyError("boom")

        dm.candidate_processors = [Broken()]
        with pytest.raises(SystemExit) as exit_info:
            MDG.forward_candidates(dm, [1, -1], [], torch.randn(2, 4))
        assert exit_info.value.code == 1
        captured = capsys.readouterr()
        assert line in captured.out
        assert "You must check how this is defined and ensure that it is properly" in captured.out
        assert error in captured.err

    def test_accepted_dendrite_terms(self):
        weights = torch.tensor([[1.0, 2.0, 3.0], [0.5, 0.5, 0.5]])
        dm = types.SimpleNamespace(num_dendrites=2, dendrites_to_candidates=[weights])
        base = torch.ones(2, 3)
        outs = [torch.full((2, 3), 10.0), torch.full((2, 3), 4.0)]
        expected = base + weights[0] * 10.0 + weights[1] * 4.0
        for view in ([1, -1], [1]):
            result = MDG.add_dendrite_inputs(dm, 0, base, outs, view, torch.device("cpu"))
            torch.testing.assert_close(result, expected)
        dm.num_dendrites = 0
        assert MDG.add_dendrite_inputs(dm, 0, base, outs, [1, -1], "cpu") is base

    def test_live_candidate_weights_broadcast_per_channel(self):
        GDL.pc.set_learn_dendrites_live(True)
        neuron_module = UDL.initialize_arb(nn.Conv2d(2, 3, 1))
        MDG.set_module_p_dg(neuron_module)
        with torch.no_grad():
            neuron_module.current_candidate_to_top.copy_(torch.tensor([[1.0, 2.0, 3.0]]))
        out = torch.zeros(2, 3, 4, 4, requires_grad=True)
        candidate = torch.ones(2, 3, 4, 4, requires_grad=True)
        result = MDG.apply_live_candidate_to_output(neuron_module, out, {0: candidate})
        torch.testing.assert_close(result[:, :, 1, 2], torch.tensor([[1.0, 2.0, 3.0]] * 2))
        result.sum().backward()
        assert candidate.grad is None and neuron_module.current_candidate_to_top.grad is not None
        GDL.pc.set_learn_dendrites_live(False)
        assert MDG.apply_live_candidate_to_output(neuron_module, out, {0: candidate}) is out


# ---------------------------------------------------------------------------
# Running statistics
# ---------------------------------------------------------------------------
class TestRunningStatistics:
    def batch(self, value):
        """A batch whose output mean, covariance and Pearson value are all `value` per node."""
        outs = torch.full((4, 3), float(value))
        covariance = torch.full((3,), float(value))
        return outs, covariance

    def test_initial_phase_is_the_arithmetic_mean_and_resets_best_scores(self):
        values = holder()
        values.best_score.fill_(5.0)
        values.previous_best_score.fill_(4.0)
        for k, v in enumerate([2.0, 4.0, 9.0], start=1):
            outs, covariance = self.batch(v)
            values.current_batch_pearson = torch.full((3,), v / 10)
            MDG.update_saved_values_averages_initial(values, outs, covariance, None, None, [0])
            assert values.initialized.item() == k
        torch.testing.assert_close(values.prev_dendrite_candidate_average, torch.full((3,), 5.0))
        torch.testing.assert_close(values.prev_dendrite_candidate_correlation, torch.full((3,), 5.0))
        torch.testing.assert_close(values.prev_dendrite_candidate_pearson, torch.full((3,), 0.5))
        assert values.best_score.abs().sum() == 0 and values.previous_best_score.abs().sum() == 0
        assert values.running_scalar.item() == 1.0

    def test_steady_phase_moves_by_one_percent_and_replaces_score_storage(self):
        values = holder()
        values.prev_dendrite_candidate_average.fill_(1.0)
        values.prev_dendrite_candidate_correlation.fill_(2.0)
        values.current_batch_pearson = torch.full((3,), 0.0)
        correlation = values.prev_dendrite_candidate_correlation
        storage_before = correlation.data_ptr()
        average_storage = values.prev_dendrite_candidate_average.data_ptr()
        outs, covariance = self.batch(3.0)
        MDG.update_saved_values_averages(values, outs, covariance, None, None, [0])
        expected = torch.tensor(0.99 * 2.0 + STEADY_WEIGHT * 3.0, dtype=torch.float32)
        assert values.prev_dendrite_candidate_correlation is correlation
        assert correlation.data_ptr() != storage_before
        torch.testing.assert_close(correlation, expected.expand(3))
        torch.testing.assert_close(values.prev_dendrite_candidate_average, torch.full((3,), 0.99 + STEADY_WEIGHT * 3))
        assert values.prev_dendrite_candidate_average.data_ptr() == average_storage
        assert values.initialized.item() == 0

    def test_error_mean_and_phase_choice(self):
        GDL.pc.set_correlation_scores_per_epoch(False)
        GDL.pc.set_initial_correlation_batches(1)
        values = holder()
        values.normal_pass_average_d.fill_(1.0)
        error = torch.tensor([[1.0, 2.0, 3.0], [3.0, 4.0, 5.0]])
        outs, covariance = self.batch(6.0)
        values.current_batch_pearson = torch.zeros(3)
        MDG.update_running_averages(error, outs, None, values, [0], 2, covariance)  # initial
        MDG.update_running_averages(error, outs, None, values, [0], 2, covariance)  # steady
        once = 0.99 * 1.0 + torch.tensor([4.0, 6.0, 8.0]) * 0.01 / 2
        torch.testing.assert_close(values.normal_pass_average_d, 0.99 * once + torch.tensor([4.0, 6.0, 8.0]) * 0.01 / 2)
        torch.testing.assert_close(values.prev_dendrite_candidate_correlation,
                                   torch.full((3,), 0.99 * 6.0 + STEADY_WEIGHT * 6.0))
        assert values.initialized.item() == 1
        assert values.parents_average_d_vector.abs().sum() == 0  # live learning off

    def test_live_learning_copies_the_error_mean(self):
        GDL.pc.set_learn_dendrites_live(True)
        values = holder()
        outs, covariance = self.batch(1.0)
        MDG.update_running_averages(torch.ones(2, 3), outs, None, values, [0], 2, covariance)
        torch.testing.assert_close(values.parents_average_d_vector, values.normal_pass_average_d)
        assert values.parents_average_d_vector.data_ptr() != values.normal_pass_average_d.data_ptr()

    def test_shape_failure_reports_and_ends_with_failure(self, capsys, debugger_stops):
        values = holder()
        outs, covariance = self.batch(1.0)
        with pytest.raises(SystemExit) as exit_info:
            MDG.update_running_averages(torch.ones(2, 5), outs, None, values, [0], 2, covariance)
        assert exit_info.value.code == 1
        out = capsys.readouterr().out
        assert "Error with type shape in layer" in out and "torch.Size([2, 5])" in out
        assert debugger_stops.count == 1


# ---------------------------------------------------------------------------
# Covariance and correlation loss
# ---------------------------------------------------------------------------
class TestCovarianceLoss:
    def test_loss_gradient_is_centred_error_times_covariance_sign(self):
        torch.manual_seed(1)
        values = holder()
        error = torch.randn(6, 3, dtype=torch.float64)
        values.prev_dendrite_candidate_correlation = values.prev_dendrite_candidate_correlation.double()
        output = (error * torch.tensor([1.0, -2.0, 0.5], dtype=torch.float64)
                  + 0.1 * torch.randn(6, 3, dtype=torch.float64)).requires_grad_()
        store_batch(values, error, output)
        loss, record = MDG.get_cc_loss(values)
        (grad,) = torch.autograd.grad(loss, output)
        centred = error - error.mean(0)
        cov = ((output.detach() - output.detach().mean(0)) * centred).sum(0)
        torch.testing.assert_close(grad, -torch.sign(cov) * centred)
        # Finite differences on the element-wise loss agree (the sign is fixed per batch).
        h = 1e-6
        for index in [(0, 0), (3, 1), (5, 2)]:
            bumped = output.detach().clone()
            bumped[index] += h
            sign = torch.sign(cov).view(1, -1)
            plus = MDG.covariance_loss(sign, error, error.mean(0).view(1, -1), bumped).sum()
            base = MDG.covariance_loss(sign, error, error.mean(0).view(1, -1), output.detach()).sum()
            assert abs((plus - base).item() / h - grad[index].item()) < 1e-5
        assert record[3] is values and record[4] == [0] and record[5] == 6 and record[6] == [1, -1]

    @pytest.mark.parametrize("by_mean, normalized", [(False, False), (True, False), (False, True)])
    def test_covariance_reduction_and_normalisation(self, by_mean, normalized):
        GDL.pc.set_correlations_by_mean(by_mean)
        GDL.pc.set_normalized_covariance(normalized)
        error = torch.tensor([[1.0, 0.0], [3.0, 2.0], [5.0, 1.0]])
        outs = torch.tensor([[2.0, 1.0], [2.0, 3.0], [8.0, 2.0]])
        products = (outs - outs.mean(0)) * (error - error.mean(0))
        expected = products.mean(0) if by_mean else products.sum(0)
        if normalized:
            expected = expected / error.std(0, correction=0)
        torch.testing.assert_close(MDG.get_current_covariance(outs, error, [0], [1, -1]), expected)

    def test_constant_inputs_give_zero_pearson(self):
        values = holder(2)
        MDG.get_current_covariance(torch.ones(4, 2), torch.randn(4, 2), [0], [1, -1], values)
        assert torch.equal(values.current_batch_pearson, torch.zeros(2))

    def test_pearson_of_a_scaled_copy_is_one(self):
        values = holder(2)
        error = torch.randn(8, 2)
        MDG.get_current_covariance(3 * error + 1, error, [0], [1, -1], values)
        torch.testing.assert_close(values.current_batch_pearson, torch.ones(2))

    def test_running_average_sign_zero_gives_no_gradient(self):
        GDL.pc.set_running_average_dg(True)
        values = holder()
        values.prev_dendrite_candidate_correlation.copy_(torch.tensor([1.0, 0.0, -1.0]))
        error = torch.randn(4, 3)
        output = torch.randn(4, 3, requires_grad=True)
        store_batch(values, error, output)
        loss, _ = MDG.get_cc_loss(values)
        (grad,) = torch.autograd.grad(loss, output)
        torch.testing.assert_close(grad[:, 1], torch.zeros(4))
        torch.testing.assert_close(grad[:, 0], -error[:, 0])  # running error mean is 0

    def test_non_finite_covariance_stops_and_continues(self, capsys, debugger_stops):
        values = holder(2)
        error = torch.tensor([[1.0, float("nan")], [2.0, 1.0]])
        cov = MDG.get_current_covariance(torch.randn(2, 2), error, [0], [1, -1], values)
        out = capsys.readouterr().out
        assert "Covariance contains NaN values.\nFor layer: layer\n" in out
        assert "GDL.pc.set_candidate_grad_clipping(1.0)" in out and "append_module_ids_to_track" not in out
        assert debugger_stops.count == 1 and torch.isnan(cov[1])

    def test_missing_stored_output_stops(self, capsys, debugger_stops):
        values = holder()
        values.current_parent_d[0].append(torch.randn(2, 3))
        values.device = 0
        with pytest.raises(IndexError):  # the user continued past the stop
            MDG.get_cc_loss(values)
        out = capsys.readouterr().out
        assert "Dendrite does not have output Value for layer layer" in out
        assert "This can be caused by your model being in eval mode when you call loss.backwards()" in out
        assert debugger_stops.count == 1


# ---------------------------------------------------------------------------
# Best scores
# ---------------------------------------------------------------------------
class TestBestScores:
    @pytest.mark.parametrize("relative, raw, new, beats", [
        (0.1, 0.0, 1.10, False), (0.1, 0.0, 1.12, True),
        (0.0, 0.05, 1.04, False), (0.0, 0.05, 1.06, True),
        (0.0, 0.0, 1.0, False), (0.0, 0.0, 1.0000001, True),
    ])
    def test_margins(self, relative, raw, new, beats):
        GDL.pc.set_arb_improvement_threshold(relative)
        GDL.pc.set_arb_improvement_threshold_raw(raw)
        old = torch.tensor([1.0, 0.0], dtype=torch.float64)
        result = MDG.dendrite_score_beats_current_best(torch.tensor([new, 0.0], dtype=torch.float64), old)
        assert isinstance(result, torch.Tensor) and bool(result) is beats

    def test_launch_error_falls_back_to_a_plain_boolean(self, monkeypatch, capsys):
        calls = []

        def flaky():
            calls.append(1)
            if len(calls) == 1:
                raise RuntimeError("CUDA error: unspecified LAUNCH failure")
            return 0.0

        monkeypatch.setattr(GDL.pc, "get_arb_improvement_threshold", flaky)
        result = MDG.dendrite_score_beats_current_best(torch.tensor([2.0]), torch.tensor([1.0]))
        assert result is True
        assert "falling back to CPU-synchronized check" in capsys.readouterr().out

    def test_other_runtime_errors_propagate(self, monkeypatch):
        def broken():
            raise RuntimeError("device-side assert triggered")

        monkeypatch.setattr(GDL.pc, "get_arb_improvement_threshold", broken)
        with pytest.raises(RuntimeError, match="device-side assert"):
            MDG.dendrite_score_beats_current_best(torch.tensor([2.0]), torch.tensor([1.0]))

    def test_new_best_keeps_the_stored_best_on_ties(self):
        values = holder()
        values.best_score.copy_(torch.tensor([1.0, 2.0, 3.0]))
        values.prev_dendrite_candidate_correlation.copy_(torch.tensor([-1.0, 5.0, 0.5]))
        best, indices = MDG.new_best(values)
        assert best.tolist() == [1.0, 5.0, 3.0] and indices.tolist() == [0, 1, 0]

    def test_first_check_is_always_accepted(self):
        values = holder()
        values.previous_best_score.copy_(torch.tensor([0.5, 0.0, 0.0]))
        MDG.check_new_best_score(values)
        assert values.best_score_improved_this_epoch.item() == 1
        assert values.indexes_of_best.tolist() == [0, 0, 0]
        assert values.previous_best_score.tolist() == [0.5, 0.0, 0.0]

    def test_accepted_and_accumulating_improvements(self, capsys):
        GDL.pc.set_verbose(True)
        GDL.pc.set_arb_improvement_threshold(0.1)
        GDL.pc.set_arb_improvement_threshold_raw(0.0)
        values = holder()
        values.initialized.fill_(5)
        values.best_score.fill_(1.0)
        values.previous_best_score.fill_(1.0)
        values.prev_dendrite_candidate_pearson.copy_(torch.tensor([0.1, -0.7, 0.2]))
        values.prev_dendrite_candidate_correlation.copy_(torch.tensor([0.0, -1.05, 0.0]))
        MDG.check_new_best_score(values)  # +5 %: raises best_score, not accepted
        assert values.best_score.tolist() == pytest.approx([1.0, 1.05, 1.0])
        assert values.nodes_improved_any.tolist() == [0, 1, 0]
        assert values.previous_best_score.tolist() == [1.0, 1.0, 1.0]
        assert values.best_score_improved_this_epoch.item() == 0
        values.prev_dendrite_candidate_correlation.copy_(torch.tensor([0.0, 1.2, 0.0]))
        MDG.check_new_best_score(values)  # 1.2 * 0.9 > 1.0: accepted
        assert values.best_score_improved_this_epoch.item() == 1
        assert values.indexes_of_best.tolist() == [0, 1, 0]
        assert values.nodes_best_improved_this_epoch.tolist() == [0, 1, 0]
        assert values.previous_best_score.tolist() == pytest.approx([1.0, 1.2, 1.0])
        assert values.best_pearson_correlation.tolist() == pytest.approx([0.1, 0.7, 0.2])
        line = f"Score from {1.0:.16f} to {torch.tensor(1.2).item():.16f} for layer with initialized 5"
        assert line in capsys.readouterr().out

    def test_correlation_dump_stops_on_nan(self, capsys, debugger_stops):
        values = holder()
        t = torch.ones(2)
        MDG.print_correlation_values(values, t, t, t, t)
        assert debugger_stops.count == 0
        MDG.print_correlation_values(values, t, torch.tensor([float("nan")]), t, t)
        out = capsys.readouterr().out
        assert "Correlation Values:\nLast Dendrite Outs: tensor([1., 1.])" in out
        assert "got a nan in correlation function" in out and debugger_stops.count == 1


class TestScoresPerEpoch:
    """With correlation_scores_per_epoch a candidate's score is the mean over the epoch's
    batches: the same as the arithmetic initial phase over those batches, started afresh
    at each epoch end without clearing the best scores."""

    def run_epoch(self, per_epoch, batches=3, epochs=1, initial=None):
        torch.manual_seed(0)
        GDL.arb_tracker.reset()
        GDL.pc.set_correlation_scores_per_epoch(per_epoch)
        GDL.pc.set_initial_correlation_batches(initial or batches)
        GDL.pc.set_global_candidates(2)
        GDL.pc.set_silent(True)
        GDL.pc.set_cap_at_n(False)
        GDL.pc.set_p_epochs_to_switch(100)
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 4), nn.Tanh(), nn.Linear(4, 2)))
        tracker = GDL.arb_tracker
        tracker.setup_optimizer(model, torch.optim.SGD, lr=0.05)
        tracker._switch_to_p()
        generator = torch.Generator().manual_seed(1)
        for epoch in range(epochs):
            for _ in range(batches):
                x, y = torch.randn(8, 3, generator=generator), torch.randn(8, 2, generator=generator)
                tracker.optimizer.zero_grad()
                F.mse_loss(model(x), y).backward()
                tracker.optimizer.step()
            if epoch < epochs - 1:
                model, restructured, _ = tracker.add_validation_score(0.5, model)
                assert not restructured
        return [m.dendrite_module.dendrite_values for m in tracker.neuron_module_vector]

    def test_the_epoch_mean_equals_the_initial_phase_over_the_same_batches(self):
        expected = self.run_epoch(False)
        got = self.run_epoch(True)
        for want_layer, got_layer in zip(expected, got):
            for want, have in zip(want_layer, got_layer):
                for name in ("prev_dendrite_candidate_correlation", "prev_dendrite_candidate_pearson",
                             "prev_dendrite_candidate_average"):
                    torch.testing.assert_close(getattr(have, name), getattr(want, name))
                assert have.initialized.item() == 3

    def test_each_epoch_starts_afresh_and_keeps_the_best_scores(self):
        layers = self.run_epoch(True, batches=2, epochs=2)
        for holders in layers:
            for values in holders:
                assert values.initialized.item() == 2  # reset at the epoch end, two batches since
                assert values.best_score.abs().sum() > 0  # taken at the first epoch end, kept
        for holders in self.run_epoch(False, batches=2, epochs=2, initial=10):
            assert holders[0].initialized.item() == 4  # without it the count runs on across epochs
