"""Gradient application over whole training iterations in p mode."""
import pytest
import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import modules_dgr as MDG

from test_learning import set_p_mode, wrapped_mlp


def candidate_parameters(model):
    return [p for p in model.parameters() if getattr(p, "parameter_type", None) == "candidate"]


def neuron_parameters(model):
    return [p for p in model.parameters() if getattr(p, "parameter_type", None) == "neuron"]


def holders(model):
    return [nm.dendrite_module.dendrite_values[0] for nm in GDL.arb_tracker.neuron_module_vector]


@pytest.fixture
def restore_loss_fn():
    yield
    MDG.dendrite_loss_fn = None


class TestStep:
    def test_one_p_mode_iteration_trains_only_the_candidates(self):
        model = wrapped_mlp()
        x, y = torch.randn(16, 4), torch.randn(16, 2)
        loss = nn.functional.mse_loss(model(x), y)
        loss.backward()
        for values in holders(model):
            assert values.stored_counts() == (1, 1)
        model.zero_grad(set_to_none=True)  # the step wrapper clears gradients first
        hook_calls = []
        first_candidate = GDL.arb_tracker.neuron_module_vector[0].dendrite_module.candidate_module[0]
        first_candidate.weight.register_hook(lambda grad: hook_calls.append(grad.shape))
        GDL.arb_tracker.apply_dg_grads()
        assert hook_calls == [first_candidate.weight.shape]  # Python hooks run inside the candidate backward
        for neuron_module in GDL.arb_tracker.neuron_module_vector:
            for p in neuron_module.dendrite_module.candidate_module.parameters():
                assert p.grad is not None and p.grad.abs().sum() > 0
        assert all(p.grad is None for p in neuron_parameters(model))
        for values in holders(model):
            assert values.stored_counts() == (0, 0)
            assert values.initialized.item() == 1

    def test_hook_stores_nothing_in_n_mode(self):
        model = wrapped_mlp()
        GDL.arb_tracker.member_vars["mode"] = "n"
        model(torch.randn(3, 4)).sum().backward()
        assert all(v.stored_counts() == (0, 0) for v in holders(model))

    def test_accumulated_batches_are_consumed_oldest_first(self, restore_loss_fn):
        model = wrapped_mlp()
        GDL.pc.set_debugging_memory_leak(False)
        outputs = []
        for _ in range(2):
            model(torch.randn(5, 4)).sum().backward()
        values = holders(model)[-1]
        expected = list(values.dendrite_outs[0])

        def record(holder):
            if holder is values:
                outputs.append(holder.dendrite_outs[holder.device][0])

        MDG.dendrite_loss_fn = record  # does not back-propagate: the batches are still removed
        GDL.arb_tracker.apply_dg_grads()
        assert [o is e for o, e in zip(outputs, expected)] == [True, True]
        assert all(v.stored_counts() == (0, 0) for v in holders(model))
        assert all(p.grad is None for p in candidate_parameters(model))

    def test_step_before_any_backward_is_skipped(self, capsys):
        model = wrapped_mlp()
        model(torch.randn(2, 4))
        GDL.arb_tracker.apply_dg_grads()
        assert "skipping dg batch for 0" in capsys.readouterr().out

    @pytest.mark.parametrize("errors, outs, cleared, left", [
        (2, 3, "1122", (1, 0)), (2, 2, "1122", (0, 0)), (0, 2, "", (2, 0)), (3, 1, "", (1, 3)),
    ])
    def test_zero_grad_discards_leftovers(self, capsys, errors, outs, cleared, left):
        GDL.pc.set_verbose(True)
        values = MDL.DendriteValueTracker("layer", 3, 1, [-1, 0])
        stored = [torch.full((1, 3), float(k)) for k in range(outs)]
        values.dendrite_outs[0].extend(stored)
        values.current_parent_d[0].extend(torch.zeros(1, 3) for _ in range(errors))
        values.device = 0
        MDG.apply_dg_zero(type("D", (), {"dendrite_values": [values]})())
        assert values.stored_counts() == left
        if left[0] == 1 and outs > 1:
            assert values.dendrite_outs[0][0] is stored[-1]
        out = capsys.readouterr().out
        assert f"layer cleared:: {cleared}\n" in out
        assert f"dendrite_outs and current_parent_d lenghts are now: {left[0]}/{left[1]}" in out

    def test_ordinary_iterations_do_not_leak(self, capsys):
        model = wrapped_mlp()
        optimizer = torch.optim.SGD(candidate_parameters(model), lr=0.01)
        for _ in range(20):
            x = torch.randn(8, 4)
            nn.functional.mse_loss(model(x), torch.zeros(8, 2)).backward()
            optimizer.zero_grad()
            GDL.arb_tracker.apply_dg_grads()
            optimizer.step()
            GDL.arb_tracker.apply_dg_zero()
            for values in holders(model):
                for device_lists in (values.dendrite_outs, values.current_parent_d):
                    assert all(len(stored) <= 1 for stored in device_lists.values())
        out = capsys.readouterr().out
        assert "multiple times" not in out and "didn't clear the previous error" not in out

    def test_forward_without_backward_is_dropped_once_its_graph_is_gone(self):
        model = wrapped_mlp()
        model(torch.randn(8, 4)).sum().backward()
        GDL.arb_tracker.apply_dg_grads()
        model(torch.randn(8, 4))  # e.g. a validation pass in training mode: no backward can follow
        GDL.arb_tracker.apply_dg_zero()
        assert all(v.stored_counts() == (0, 0) for v in holders(model))

    def test_forward_before_zero_grad_keeps_its_output_for_the_backward(self):
        model = wrapped_mlp()
        out = model(torch.randn(8, 4))  # forward, zero_grad, backward, step
        GDL.arb_tracker.apply_dg_zero()
        assert all(v.stored_counts() == (1, 0) for v in holders(model))
        out.sum().backward()
        assert all(v.stored_counts() == (1, 1) for v in holders(model))


def test_candidate_learns_to_follow_the_error():
    """A frozen zero neuron must learn y = x @ w: its error is -y, which a linear
    candidate can match. The running covariance grows well beyond its start."""
    torch.manual_seed(3)
    GDL.pc.set_initial_correlation_batches(5)
    neuron_module = UDL.initialize_arb(nn.Linear(6, 1))
    set_p_mode()
    with torch.no_grad():
        neuron_module.main_module.weight.zero_()
        neuron_module.main_module.bias.zero_()
        neuron_module.dendrite_module.candidate_module[0].weight.mul_(0.05)
    w_true = torch.randn(6, 1)
    values = neuron_module.dendrite_module.dendrite_values[0]
    optimizer = torch.optim.SGD(candidate_parameters(neuron_module), lr=0.05)
    start = None
    for step in range(300):
        x = torch.randn(64, 6)
        nn.functional.mse_loss(neuron_module(x), x @ w_true).backward()
        optimizer.zero_grad()
        GDL.arb_tracker.apply_dg_grads()
        optimizer.step()
        GDL.arb_tracker.apply_dg_zero()
        if step == 5:
            start = values.prev_dendrite_candidate_correlation.abs().item()
    end = values.prev_dendrite_candidate_correlation.abs().item()
    assert end > 5 * start
    assert values.prev_dendrite_candidate_pearson.abs().item() > 0.8


class TestEveryCandidateSlot:
    """Each slot stores an output per forward and an error per backward; each must be consumed."""

    @pytest.mark.parametrize("dendrite_graph_mode", [True, False])
    def test_all_slots_learn_and_nothing_piles_up(self, dendrite_graph_mode):
        GDL.pc.set_global_candidates(3)
        GDL.pc.set_dendrite_graph_mode(dendrite_graph_mode)
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 8), nn.Tanh(), nn.Linear(8, 2)))
        set_p_mode()
        x, y = torch.randn(16, 4), torch.randn(16, 2)
        for _ in range(4):
            GDL.arb_tracker.apply_dg_zero()
            model.zero_grad(set_to_none=True)
            nn.functional.mse_loss(model(x), y).backward()
            model.zero_grad(set_to_none=True)
            GDL.arb_tracker.apply_dg_grads()
            for neuron_module in GDL.arb_tracker.neuron_module_vector:
                dendrite_module = neuron_module.dendrite_module
                for slot, values in enumerate(dendrite_module.dendrite_values):
                    assert values.stored_counts() == (0, 0), (neuron_module.name, slot)
                    weight = dendrite_module.candidate_module[slot].weight
                    assert weight.grad is not None and weight.grad.abs().sum() > 0, (neuron_module.name, slot)
        for neuron_module in GDL.arb_tracker.neuron_module_vector:
            assert all(v.initialized.item() == 4 for v in neuron_module.dendrite_module.dendrite_values)


class TestModulesLearnTogether:
    """The step runs the candidate backward of every module as one pass of the engine."""

    @staticmethod
    def stored_network(nan_second_batch=False):
        GDL.arb_tracker.reset()
        GDL.pc.set_global_candidates(2)
        torch.manual_seed(0)
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 8), nn.Tanh(), nn.Linear(8, 6), nn.Tanh(),
                                                 nn.Linear(6, 2)))
        set_p_mode()
        x, y = torch.randn(16, 4), torch.randn(16, 2)
        if nan_second_batch:  # its pairs go slot by slot, after the first pairs went as a pool
            x[1::2] = float("nan")
        for part in range(2):  # two accumulated batches
            nn.functional.mse_loss(model(x[part::2]), y[part::2]).backward()
        model.zero_grad(set_to_none=True)
        return model, [nm.dendrite_module for nm in GDL.arb_tracker.neuron_module_vector]

    @staticmethod
    def learned(dendrite_module):
        state = {name: p.grad.clone() for name, p in dendrite_module.candidate_module.named_parameters()
                 if p.grad is not None}
        for i, values in enumerate(dendrite_module.dendrite_values):
            state[f"{i}.correlation"] = values.prev_dendrite_candidate_correlation.clone()
            state[f"{i}.counts"] = values.stored_counts()
        return state

    def assert_same(self, got, want):
        assert got.keys() == want.keys()
        for key in want:
            if isinstance(want[key], torch.Tensor):
                assert torch.equal(got[key], want[key]), key
            else:
                assert got[key] == want[key], key

    @pytest.mark.parametrize("nan_second_batch", [False, True])
    def test_same_gradients_and_statistics_as_module_by_module(self, nan_second_batch, debugger_stops):
        _, modules = self.stored_network(nan_second_batch)
        for dendrite_module in modules:
            MDG.apply_dg_grads(dendrite_module)
        one_by_one = [self.learned(m) for m in modules]
        assert all(len(state) > 2 * len(modules[0].dendrite_values) for state in one_by_one)  # gradients came
        stops = debugger_stops.count
        assert stops == (len(modules) * 2 if nan_second_batch else 0)  # each slot reports its bad batch
        _, modules = self.stored_network(nan_second_batch)
        MDG.apply_dg_grads_together(modules)
        for got, want in zip([self.learned(m) for m in modules], one_by_one):
            self.assert_same(got, want)
        assert debugger_stops.count == 2 * stops

    def test_a_failing_combined_pass_leaves_no_candidate_a_gradient(self):
        model, modules = self.stored_network()
        modules[1].candidate_module[0].weight.register_hook(lambda grad: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            MDG.apply_dg_grads_together(modules)
        assert all(p.grad is None for p in candidate_parameters(model))  # the step updates none of them
        assert all(v.stored_counts() == (0, 0) for m in modules for v in m.dendrite_values)

    def test_a_failing_module_leaves_the_earlier_ones_learned_and_the_later_ones_untouched(self):
        _, modules = self.stored_network()
        MDG.apply_dg_grads(modules[0])
        first_alone = self.learned(modules[0])
        untouched = self.learned(modules[1])
        _, modules = self.stored_network()
        with pytest.raises(AttributeError):
            MDG.apply_dg_grads_together([modules[0], object(), modules[1]])
        self.assert_same(self.learned(modules[0]), first_alone)
        self.assert_same(self.learned(modules[1]), untouched)
        assert untouched["0.counts"] == (2, 2)


class TestCandidateGraphMode:
    """candidate_graph_mode False: the candidates read the layer's inputs and the accepted
    dendrites' outputs themselves instead of copies; they learn exactly what they learn from
    copies, also once dendrites exist (whose outputs the network's backward has freed the
    graph of by the time the candidates learn)."""

    @staticmethod
    def grown_then_learned(candidate_graph_mode, dendrite_graph_mode, freeze):
        GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
        GDL.pc.set_global_candidates(2)
        GDL.pc.set_candidate_graph_mode(candidate_graph_mode)
        GDL.pc.set_dendrite_graph_mode(dendrite_graph_mode)
        GDL.pc.set_freeze_network_in_p_mode(freeze)
        GDL.pc.set_dendrite_output_init(0.5)  # the accepted dendrite feeds the network at once
        torch.manual_seed(0)
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 6), nn.Tanh(), nn.Linear(6, 6), nn.Tanh(),
                                                 nn.Linear(6, 2)))
        tracker = GDL.arb_tracker
        tracker.setup_optimizer(model, torch.optim.SGD, lr=0.05)
        g = torch.Generator().manual_seed(1)
        data = [(torch.randn(16, 4, generator=g), torch.randn(16, 2, generator=g)) for _ in range(4)]
        for _ in range(2):  # two dendrites: each later candidate also reads the earlier ones
            tracker._switch_to_p()
            for x, y in data[:2]:
                tracker.optimizer.zero_grad()
                nn.functional.mse_loss(model(x), y).backward()
                tracker.optimizer.step()
            tracker._switch_to_n()
        tracker._switch_to_p()
        for x, y in data:
            tracker.optimizer.zero_grad()
            nn.functional.mse_loss(model(x), y).backward()
            tracker.optimizer.step()
        assert tracker.dendrites_added() == 2
        state = {name: t.detach().clone() for name, t in model.state_dict().items()}
        state.update({name + ".grad": p.grad.clone() for name, p in model.named_parameters()
                      if getattr(p, "parameter_type", None) == "candidate" and p.grad is not None})
        stored = [values.stored_counts() for nm in tracker.neuron_module_vector
                  for values in nm.dendrite_module.dendrite_values]
        return state, stored

    @pytest.mark.parametrize("dendrite_graph_mode", [True, False])
    @pytest.mark.parametrize("freeze", [True, False])
    def test_learns_exactly_as_with_copies(self, dendrite_graph_mode, freeze):
        expected, _ = self.grown_then_learned(True, dendrite_graph_mode, freeze)
        actual, stored = self.grown_then_learned(False, dendrite_graph_mode, freeze)
        assert actual.keys() == expected.keys()
        assert sum(name.endswith(".grad") for name in actual) == 3 * 2 * 3  # 3 layers, 2 slots, weight/bias/inputs
        for name in expected:
            assert torch.equal(actual[name], expected[name]), name
        assert set(stored) == {(0, 0)}

    def test_a_candidate_that_changes_its_input_in_place_is_refused(self):
        def scale_input(module, args):
            args[0].mul_(2.0)

        for graph_mode in (True, False):
            GDL.pc.set_candidate_graph_mode(graph_mode)
            model = wrapped_mlp()
            model[2].dendrite_module.candidate_module[0].register_forward_pre_hook(scale_input)
            x = torch.randn(16, 4)
            if graph_mode:
                model(x).sum().backward()  # the candidate scales its own copy
                continue
            h = torch.relu(model[0](x)).detach()
            with pytest.raises(ValueError, match="a candidate of layer 2 changed its input in place"):
                model[2](h)
