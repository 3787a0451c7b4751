"""Candidate learning in the training loops people write.

Every stored candidate output must meet the neuron error of its own forward call:
extra forwards (validation in training mode, a discarded loss, an exception before
the backward), shared layers, gradient accumulation, retained graphs and activation
checkpointing must not shift the pairing, and a bad batch must teach nothing. Each
test compares with a reference computed another way: the same loop without the extra
work, or statistics and gradients computed by hand from each call's own output and
error.
"""
import pytest
import torch
from torch import nn
from torch.nn import functional as F
from torch.utils.checkpoint import checkpoint

from dendrograd import modules_dgr as MDG
from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL

from test_learning import set_p_mode

STAT_NAMES = ("normal_pass_average_d", "prev_dendrite_candidate_average", "prev_dendrite_candidate_correlation",
              "prev_dendrite_candidate_pearson", "best_score", "initialized")


class SharedMiddle(nn.Module):
    """The middle layer runs twice per forward (weight sharing)."""

    def __init__(self, checkpointed=None):
        super().__init__()
        self.inp, self.mid, self.out = nn.Linear(4, 6), nn.Linear(6, 6), nn.Linear(6, 2)
        self.checkpointed = checkpointed

    def middle(self, h):
        if self.checkpointed is None:
            return torch.tanh(self.mid(h))
        return checkpoint(lambda t: torch.tanh(self.mid(t)), h, use_reentrant=self.checkpointed)

    def forward(self, x):
        h = torch.tanh(self.inp(x))
        return self.out(self.middle(self.middle(h)))


class Checkpointed(nn.Module):
    """An MLP whose hidden layer runs inside activation checkpointing (or not)."""

    def __init__(self, reentrant=None):
        super().__init__()
        self.inp, self.hid, self.out = nn.Linear(4, 8), nn.Linear(8, 8), nn.Linear(8, 2)
        self.reentrant = reentrant

    def forward(self, x):
        h = torch.relu(self.inp(x))
        if self.reentrant is None:
            h = torch.relu(self.hid(h))
        else:
            h = checkpoint(lambda t: torch.relu(self.hid(t)), h, use_reentrant=self.reentrant)
        return self.out(h)


def p_mode_model(net, seed=0):
    torch.manual_seed(seed)
    GDL.pc.set_dendrite_graph_mode(False)  # every layer gets its own neuron error
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    model = UDL.initialize_arb(net())
    set_p_mode()
    optimizer = GDL.arb_tracker.setup_optimizer(model, torch.optim.SGD, lr=0.05)
    return model, optimizer


def batches(count, seed=1, size=16):
    g = torch.Generator().manual_seed(seed)
    return [(torch.randn(size, 4, generator=g), torch.randn(size, 2, generator=g)) for _ in range(count)]


def neuron_modules():
    return GDL.arb_tracker.neuron_module_vector


def snapshot(model):
    """Candidate parameters and every candidate slot's statistics."""
    state = {name: p.detach().clone() for name, p in model.named_parameters()
             if getattr(p, "parameter_type", None) == "candidate"}
    for k, neuron_module in enumerate(neuron_modules()):
        for j, values in enumerate(neuron_module.dendrite_module.dendrite_values):
            for name in STAT_NAMES:
                state[f"{k}.{j}.{name}"] = getattr(values, name).detach().clone()
    return state


def assert_same_state(actual, expected, tol=1e-6):
    assert actual.keys() == expected.keys()
    for name in expected:
        assert torch.isfinite(actual[name]).all(), name
        assert torch.allclose(actual[name], expected[name], atol=tol, rtol=0), name


def train(data, extra=lambda model, step: None, net=lambda: nn.Sequential(nn.Linear(4, 8), nn.ReLU(),
                                                                                 nn.Linear(8, 2))):
    """The clean loop, with `extra` run before every step's training forward."""
    model, optimizer = p_mode_model(net)
    for step, (x, y) in enumerate(data):
        extra(model, step)
        optimizer.zero_grad()
        F.mse_loss(model(x), y).backward()
        optimizer.step()
    return model


class TestExtraForwards:
    """Forwards that never get a backward leave the learning exactly as without them."""

    @staticmethod
    def validation_no_grad(model, step):
        with torch.no_grad():
            model(torch.randn(5, 4))

    @staticmethod
    def validation_inference_mode(model, step):
        with torch.inference_mode():
            model(torch.randn(5, 4))

    @staticmethod
    def discarded_loss(model, step):
        F.mse_loss(model(torch.randn(5, 4)), torch.zeros(5, 2))

    @staticmethod
    def failed_backward(model, step):
        try:
            out = model(torch.randn(5, 4))
            raise KeyboardInterrupt  # e.g. Ctrl-C between forward and backward
        except KeyboardInterrupt:
            pass
        del out

    @pytest.mark.parametrize("extra", ["validation_no_grad", "validation_inference_mode", "discarded_loss",
                                       "failed_backward"])
    def test_candidates_and_statistics_equal_the_clean_loop(self, extra):
        data = batches(30)
        clean = snapshot(train(data))
        perturbed = train(data, getattr(self, extra))
        assert_same_state(snapshot(perturbed), clean)
        for neuron_module in neuron_modules():
            for values in neuron_module.dendrite_module.dendrite_values:
                assert values.stored_counts() == (0, 0)

    def test_no_grad_forward_stores_nothing(self):
        model, _ = p_mode_model(lambda: nn.Linear(4, 3))
        with torch.no_grad():
            model(torch.randn(5, 4))
        with torch.inference_mode():
            model(torch.randn(5, 4))
        assert model.dendrite_module.dendrite_values[0].stored_counts() == (0, 0)

    @pytest.mark.parametrize("live", [False, True])
    def test_a_validation_pass_predicts_what_a_training_forward_computes(self, live):
        """Under no_grad the candidates are skipped, unless a live candidate adds to the output."""
        GDL.pc.set_learn_dendrites_live(live)
        model, _ = p_mode_model(lambda: nn.Linear(4, 3))
        if live:
            MDG.set_module_p_dg(model)  # creates the live connection
            with torch.no_grad():
                model.current_candidate_to_top.copy_(torch.tensor([[0.5, -1.0, 2.0]]))
        x = torch.randn(5, 4)
        trained = model(x).detach()
        with torch.no_grad():
            validated = model(x)
        assert torch.equal(validated, trained)
        assert torch.equal(validated, model.main_module(x)) != live  # the live candidate's part

    def test_loss_held_across_the_step_is_never_paired(self):
        data = batches(12)
        clean = snapshot(train(data))
        held = []

        def hold_validation_loss(model, step):
            held[:] = [F.mse_loss(model(torch.randn(5, 4)), torch.zeros(5, 2))]  # freed one step later

        assert_same_state(snapshot(train(data, hold_validation_loss)), clean)

    def test_forward_zero_grad_backward_step_order(self):
        data = batches(10)
        clean = snapshot(train(data))
        model, optimizer = p_mode_model(lambda: nn.Sequential(nn.Linear(4, 8), nn.ReLU(), nn.Linear(8, 2)))
        for x, y in data:
            out = model(x)
            optimizer.zero_grad()
            F.mse_loss(out, y).backward()
            optimizer.step()
        assert_same_state(snapshot(model), clean)


class TestBadBatches:
    """A non-finite or empty batch gives its diagnostic and teaches nothing."""

    def run_with_bad_batch(self, bad_x, at=4):
        data = batches(10)
        model, optimizer = p_mode_model(lambda: nn.Sequential(nn.Linear(4, 8), nn.ReLU(), nn.Linear(8, 2)))
        before = None
        for step, (x, y) in enumerate(data):
            if step == at:
                before = snapshot(model)
                optimizer.zero_grad()
                model(bad_x).sum().backward()
                optimizer.step()
                assert_same_state(snapshot(model), before)  # nothing learned from it
            optimizer.zero_grad()
            F.mse_loss(model(x), y).backward()
            optimizer.step()
        return model

    def test_nan_batch_changes_nothing_and_stops_once_per_slot(self, capsys, debugger_stops):
        clean = snapshot(train(batches(10)))
        bad = torch.randn(16, 4)
        bad[3, 1] = float("nan")
        model = self.run_with_bad_batch(bad)
        assert_same_state(snapshot(model), clean)
        assert debugger_stops.count == len(neuron_modules())
        out = capsys.readouterr().out
        assert "is not finite; the batch is skipped" in out

    def test_inf_in_the_error_only(self, debugger_stops):
        model, optimizer = p_mode_model(lambda: nn.Linear(4, 3))
        values = model.dendrite_module.dendrite_values[0]
        before = snapshot(model)
        weights = torch.ones(6, 3)
        weights[2] = float("inf")  # the neuron error is these weights
        optimizer.zero_grad()
        (model(torch.randn(6, 4)) * weights).sum().backward()
        optimizer.step()
        assert_same_state(snapshot(model), before)
        assert values.stored_counts() == (0, 0) and debugger_stops.count == 1

    def test_empty_batch_changes_nothing(self, capsys, debugger_stops):
        clean = snapshot(train(batches(10)))
        model = self.run_with_bad_batch(torch.zeros(0, 4))
        assert_same_state(snapshot(model), clean)
        assert debugger_stops.count == 0
        assert "Skipping an empty batch" in capsys.readouterr().out


def per_call_record(neuron_module):
    """Records, per forward call of `neuron_module`, its input and the error its output receives."""
    calls = []

    def forward_hook(module, args, out):
        if not torch.is_grad_enabled():
            return
        record = {"input": args[0].detach().clone(), "error": None}
        calls.append(record)

        def catch(grad):
            record["error"] = grad.clone() if record["error"] is None else record["error"] + grad

        out.register_hook(catch)

    neuron_module.register_forward_hook(forward_hook)
    return calls


def by_hand(candidate, calls):
    """Candidate gradient and initial-phase statistics from each call's own output and error."""
    weight = candidate.weight.detach().clone().requires_grad_()
    bias = candidate.bias.detach().clone().requires_grad_()
    total, covariances, out_means = 0.0, [], []
    error_average = torch.zeros(candidate.out_features)
    for record in calls:
        out = torch.sigmoid(record["input"] @ weight.T + bias)
        error = record["error"]
        centred_error = error - error.mean(0)
        covariance = ((out.detach() - out.detach().mean(0)) * centred_error).sum(0)
        total = total + (-out * covariance.sign() * centred_error).sum()
        covariances.append(covariance)
        out_means.append(out.detach().mean(0))
        error_average = error_average * 0.99 + error.sum(0) * 0.01 / error.shape[0]
    total.backward()
    return {"weight.grad": weight.grad, "bias.grad": bias.grad,
            "prev_dendrite_candidate_correlation": torch.stack(covariances).mean(0),
            "prev_dendrite_candidate_average": torch.stack(out_means).mean(0),
            "normal_pass_average_d": error_average}


def learned(neuron_module):
    dendrite_module = neuron_module.dendrite_module
    candidate, values = dendrite_module.candidate_module[0], dendrite_module.dendrite_values[0]
    return {"weight.grad": candidate.weight.grad, "bias.grad": candidate.bias.grad,
            "prev_dendrite_candidate_correlation": values.prev_dendrite_candidate_correlation,
            "prev_dendrite_candidate_average": values.prev_dendrite_candidate_average,
            "normal_pass_average_d": values.normal_pass_average_d}


def assert_matches_hand(neuron_module, calls, expected_pairs):
    assert len(calls) == expected_pairs and all(r["error"] is not None for r in calls)
    reference = by_hand(neuron_module.dendrite_module.candidate_module[0], calls)
    actual = learned(neuron_module)
    assert neuron_module.dendrite_module.dendrite_values[0].initialized.item() == expected_pairs
    for name, value in reference.items():
        assert torch.allclose(actual[name], value, atol=1e-6, rtol=1e-5), name


class TestCallsPairWithTheirOwnErrors:
    def middle(self):
        return next(m for m in neuron_modules() if m.name == "mid")

    def apply(self, model):
        model.zero_grad(set_to_none=True)
        GDL.arb_tracker.apply_dg_grads()

    def test_shared_layer_pairs_each_call_with_its_own_error(self):
        model, _ = p_mode_model(SharedMiddle)
        calls = per_call_record(self.middle())
        x, y = batches(1)[0]
        F.mse_loss(model(x), y).backward()
        assert self.middle().dendrite_module.dendrite_values[0].stored_counts() == (2, 2)
        self.apply(model)
        assert_matches_hand(self.middle(), calls, expected_pairs=2)

    def test_gradient_accumulation_consumes_every_pair(self):
        model, _ = p_mode_model(SharedMiddle)
        calls = per_call_record(self.middle())
        for x, y in batches(3):
            (F.mse_loss(model(x), y) / 3).backward()
        self.apply(model)
        assert_matches_hand(self.middle(), calls, expected_pairs=6)
        assert self.middle().dendrite_module.dendrite_values[0].stored_counts() == (0, 0)

    def test_retained_graph_sums_the_errors_of_one_call(self):
        model, _ = p_mode_model(SharedMiddle)
        calls = per_call_record(self.middle())
        x, y = batches(1)[0]
        out = model(x)
        F.mse_loss(out, y).backward(retain_graph=True)
        out.pow(2).mean().backward()
        assert self.middle().dendrite_module.dendrite_values[0].stored_counts() == (2, 2)
        self.apply(model)
        assert_matches_hand(self.middle(), calls, expected_pairs=2)

    @pytest.mark.parametrize("reentrant", [True, False])
    def test_activation_checkpointing_learns_as_without_it(self, reentrant):
        data = batches(8)
        plain = snapshot(train(data, net=Checkpointed))
        checkpointed = train(data, net=lambda: Checkpointed(reentrant))
        assert_same_state(snapshot(checkpointed), plain)
        for neuron_module in neuron_modules():
            assert neuron_module.dendrite_module.dendrite_values[0].stored_counts() == (0, 0)

    @pytest.mark.parametrize("reentrant", [True, False])
    def test_checkpointed_shared_layer(self, reentrant):
        data = batches(4)
        plain = snapshot(train(data, net=SharedMiddle))
        # The reentrant variant runs the forward under no_grad and recomputes it during the
        # backward, last call first: the pairs are the same, folded in the other order,
        # which moves the error's moving average by a few 1e-6.
        tol = 1e-5 if reentrant else 1e-6
        assert_same_state(snapshot(train(data, net=lambda: SharedMiddle(reentrant))), plain, tol)


class TestStoreStaysBounded:
    def test_eval_mode_backward_stores_nothing(self):
        model, _ = p_mode_model(lambda: nn.Linear(4, 3))
        model.eval()
        for _ in range(5):
            model(torch.randn(6, 4)).sum().backward()  # e.g. input attributions
        values = model.dendrite_module.dendrite_values[0]
        assert values.stored_counts() == (0, 0) and values.device is None

    def test_forward_that_raises_after_storing_leaves_nothing_behind(self):
        GDL.pc.set_global_candidates(2)
        model, optimizer = p_mode_model(lambda: nn.Sequential(nn.Linear(4, 8), nn.ReLU(), nn.Linear(8, 2)))
        failing = neuron_modules()[0].dendrite_module.candidate_module[1]

        def fail(module, args):
            raise RuntimeError("out of memory")  # e.g. caught by the user's retry loop

        handle = failing.register_forward_pre_hook(fail)
        for x, y in batches(4):
            with pytest.raises(RuntimeError, match="out of memory"):
                model(x)  # candidate 0 of the first layer has stored its output already
            handle.remove()
            optimizer.zero_grad()
            F.mse_loss(model(x), y).backward()
            optimizer.step()
            handle = failing.register_forward_pre_hook(fail)
            for neuron_module in neuron_modules():
                for values in neuron_module.dendrite_module.dendrite_values:
                    assert values.stored_counts() == (0, 0)

    def test_several_candidates_share_one_error_per_call(self):
        GDL.pc.set_global_candidates(3)
        model, _ = p_mode_model(SharedMiddle)
        middle = next(m for m in neuron_modules() if m.name == "mid")
        calls = per_call_record(middle)
        x, y = batches(1)[0]
        out = model(x)
        F.mse_loss(out, y).backward(retain_graph=True)
        out.pow(2).mean().backward()
        holders = middle.dendrite_module.dendrite_values
        assert all(v.stored_counts() == (2, 2) for v in holders)
        assert all(a is b for v in holders[1:] for a, b in zip(v.current_parent_d[0], holders[0].current_parent_d[0]))
        model.zero_grad(set_to_none=True)
        GDL.arb_tracker.apply_dg_grads()
        for k in range(3):
            candidate = middle.dendrite_module.candidate_module[k]
            reference = by_hand(candidate, calls)
            assert torch.allclose(candidate.weight.grad, reference["weight.grad"], atol=1e-6, rtol=1e-5)
            assert torch.allclose(holders[k].prev_dendrite_candidate_correlation,
                                  reference["prev_dendrite_candidate_correlation"], atol=1e-6, rtol=1e-5)


def move_stored_outputs(module, args, out, to_key=1):
    """Forward hook: the candidate outputs this call stored move from device key 0 to
    `to_key`, as if the layer's inputs (and so its candidates) lived on a second device while
    its output, and so its error, arrives on the first (model parallel on one CPU)."""
    for values in module.dendrite_module.dendrite_values:
        values.dendrite_outs[to_key].extend(values.dendrite_outs.pop(0, []))


def stored_entries(model):
    """Every stored output and error of every slot, under every device key."""
    return sum(len(stored) for neuron_module in neuron_modules()
               for values in neuron_module.dendrite_module.dendrite_values
               for lists in (values.dendrite_outs, values.current_parent_d) for stored in lists.values())


class TestOutputOnAnotherDevice:
    """A layer whose output and error live on another device than its candidate outputs."""

    def moved_loop(self, data, extra=lambda model, step: None):
        def hook_last_layer(model, step):
            if step == 0:
                neuron_modules()[-1].register_forward_hook(move_stored_outputs)
            extra(model, step)
        return train(data, hook_last_layer)

    def test_learns_as_on_one_device_and_keeps_nothing(self, recwarn):
        data = batches(12)
        expected = snapshot(train(data))
        model = self.moved_loop(data)
        assert_same_state(snapshot(model), expected)
        assert neuron_modules()[-1].dendrite_module.dendrite_values[0].device == 1
        assert stored_entries(model) == 0
        assert not [w for w in recwarn if "device index" in str(w.message)]

    def test_discarded_forwards_do_not_pile_up(self):
        data = batches(40)
        sizes = []

        def discarded(model, step):
            F.mse_loss(model(torch.randn(5, 4)), torch.zeros(5, 2))
            sizes.append(stored_entries(model))

        model = self.moved_loop(data, discarded)
        assert max(sizes) <= 2 * len(neuron_modules()) and stored_entries(model) == 0

    def test_a_forward_before_zero_grad_keeps_its_output_under_its_key(self):
        model, optimizer = p_mode_model(lambda: nn.Sequential(nn.Linear(4, 8), nn.ReLU(), nn.Linear(8, 2)))
        neuron_modules()[-1].register_forward_hook(move_stored_outputs)
        values = neuron_modules()[-1].dendrite_module.dendrite_values[0]
        for x, y in batches(3):
            loss = F.mse_loss(model(x), y)
            optimizer.zero_grad()  # between the forward and its backward
            assert len(values.dendrite_outs[1]) == 1
            loss.backward()
            optimizer.step()
            assert stored_entries(model) == 0

    def test_entries_that_cannot_pair_are_dropped_and_reported_once(self):
        """Positional entries (stored by other code) under a key the layer does not learn from."""
        data = batches(6)
        expected = snapshot(train(data))

        def stray(model, step):
            if step == 0:
                return
            values = neuron_modules()[0].dendrite_module.dendrite_values[0]
            values.dendrite_outs[1].append(torch.rand(16, 8, requires_grad=True))
            values.current_parent_d[1].append(torch.randn(16, 8))

        with pytest.warns(UserWarning) as caught:
            model = train(data, stray)
        reports = [w for w in caught if "device index 1" in str(w.message)]
        assert len(reports) == 1
        assert "layer 0 stored 1 candidate output(s) and 1 neuron error(s)" in str(reports[0].message)
        assert "learns from the ones under device index 0" in str(reports[0].message)
        assert stored_entries(model) == 0
        assert_same_state(snapshot(model), expected)
