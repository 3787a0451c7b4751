"""What a neuron module takes over from its candidates when it accepts a dendrite.

The reference is what the candidates themselves computed before acceptance: the new
dendrite must compute, for each neuron, the output of the candidate slot chosen for that
neuron (its inputs plus the accepted dendrites through that slot's skip weights), and its
output weights must start as the settings say.
"""
import pytest
import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL


def grown(layer, candidates, accepted, seed=0):
    """A wrapped layer with `candidates` slots and `accepted` dendrites already grown."""
    torch.manual_seed(seed)
    GDL.pc.set_global_candidates(candidates)
    neuron_module = UDL.initialize_arb(layer)
    for _ in range(accepted):
        neuron_module.accept_best_candidate()
    return neuron_module


def snapshot_outputs(neuron_module, x):
    """Per slot: the activated output of the slot's best-candidate snapshot on x, fed by the
    accepted dendrites through the snapshot's skip weights (what the slot was scored on)."""
    dm = neuron_module.dendrite_module
    out = neuron_module.main_module(x)
    view = neuron_module.view_tuple_for(out)
    with torch.no_grad():
        accepted = dm.accepted_outputs(neuron_module.dendrites_to_dendrites, view, x)
        outputs = []
        for slot, candidate in enumerate(dm.best_candidate_module):
            value = candidate(x)
            skip = dm.best_dendrites_to_candidates_saved[slot]
            for k, earlier in enumerate(accepted):
                value = value + skip[k].view(view) * earlier
            outputs.append(GDL.pc.get_arb_forward_function()(value))
    return outputs


def set_scores(neuron_module, best, correlation):
    """Gives every slot its best scores (slots x neurons) and signed running covariances."""
    with torch.no_grad():
        for values, b, c in zip(neuron_module.dendrite_module.dendrite_values, best, correlation):
            values.best_score.copy_(torch.tensor(b))
            values.prev_dendrite_candidate_correlation.copy_(torch.tensor(c))


def newest_dendrite_output(neuron_module, x):
    dm = neuron_module.dendrite_module
    view = neuron_module.view_tuple_for(neuron_module.main_module(x))
    with torch.no_grad():
        return dm.accepted_outputs(neuron_module.dendrites_to_dendrites, view, x)[-1]


BEST = [[0.9, 0.1, 0.2], [0.5, 0.8, 0.1], [0.1, 0.2, 0.3]]  # slot means 0.40, 0.47, 0.20
SIGNED = [[0.9, -0.1, 0.2], [-0.5, 0.8, -0.1], [0.1, -0.2, -0.3]]


@pytest.mark.parametrize("kind", ["linear", "conv1d"])
@pytest.mark.parametrize("accepted", [0, 2])
@pytest.mark.parametrize("per_neuron", [False, True])
def test_new_dendrite_computes_the_chosen_candidates(kind, accepted, per_neuron):
    """Without per-neuron selection every neuron takes the slot with the highest mean best
    score (slot 1); with it neuron i takes the slot with its own highest score (0, 1, 2)."""
    if kind == "linear":
        layer, x = nn.Linear(4, 3), torch.randn(6, 4)
    else:
        layer, x = nn.Conv1d(2, 3, 3), torch.randn(4, 2, 7)
    neuron_module = grown(layer, candidates=3, accepted=accepted)
    GDL.pc.set_select_candidates_per_neuron(per_neuron)
    expected_slots = [0, 1, 2] if per_neuron else [1, 1, 1]
    set_scores(neuron_module, BEST, SIGNED)
    before = snapshot_outputs(neuron_module, x)
    assert neuron_module.accept_best_candidate() == 1
    got = newest_dendrite_output(neuron_module, x)
    for neuron, slot in enumerate(expected_slots):
        torch.testing.assert_close(got[:, neuron], before[slot][:, neuron])
    assert neuron_module.dendrite_module.num_dendrites == accepted + 1


@pytest.mark.parametrize("scale", [0.0, 0.5])
@pytest.mark.parametrize("per_neuron", [False, True])
def test_new_output_weights_start_against_the_correlation(scale, per_neuron):
    """Output weights start at -scale * sign(covariance of the chosen slot with each neuron's
    error); the earlier dendrites keep the weights they had."""
    neuron_module = grown(nn.Linear(4, 3), candidates=3, accepted=1)
    with torch.no_grad():
        neuron_module.dendrites_to_top[-1].copy_(torch.tensor([[0.3, -0.7, 1.1]]))
    GDL.pc.set_select_candidates_per_neuron(per_neuron)
    GDL.pc.set_dendrite_output_init(scale)
    set_scores(neuron_module, BEST, SIGNED)
    neuron_module.accept_best_candidate()
    slots = [0, 1, 2] if per_neuron else [1, 1, 1]
    signs = torch.tensor([SIGNED[slot][i] for i, slot in enumerate(slots)]).sign()
    top = neuron_module.dendrites_to_top[-1].detach()
    torch.testing.assert_close(top[0], torch.tensor([0.3, -0.7, 1.1]))
    torch.testing.assert_close(top[1], -scale * signs if scale else torch.zeros(3))


class ScaledLinear(nn.Module):
    """A layer with a parameter that is not one row per neuron: it cannot be put together row
    by row, so it is taken whole from the best slot."""

    out_features = 3

    def __init__(self):
        super().__init__()
        self.weight = nn.Parameter(torch.randn(3, 4))
        self.gain = nn.Parameter(torch.tensor(1.5))

    def forward(self, x):
        return self.gain * x @ self.weight.t()

    def reset_parameters(self):
        with torch.no_grad():
            self.weight.normal_()
            self.gain.uniform_(0.5, 2.0)


def test_layer_that_cannot_be_split_by_neuron_takes_the_best_slot_whole():
    GDL.pc.set_modules_to_convert([ScaledLinear])
    neuron_module = grown(ScaledLinear(), candidates=3, accepted=0)
    GDL.pc.set_select_candidates_per_neuron(True)
    set_scores(neuron_module, BEST, SIGNED)
    x = torch.randn(5, 4)
    before = snapshot_outputs(neuron_module, x)
    neuron_module.accept_best_candidate()
    torch.testing.assert_close(newest_dendrite_output(neuron_module, x), before[1])


class TestAcceptedDendritesFrozen:
    """freeze_accepted_dendrites: an accepted dendrite keeps the input weights it was chosen
    with (its layer and its connections from earlier dendrites) through every later n and p
    phase, while its output weights and the layer itself go on learning exactly as they would
    with the dendrite's inputs trainable."""

    @staticmethod
    def grown_network(freeze, seed=0):
        GDL.arb_tracker.reset()  # the previous comparison model is done training
        GDL.pc.set_global_candidates(2)
        GDL.pc.set_freeze_accepted_dendrites(freeze)
        torch.manual_seed(seed)
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 4), nn.Tanh(), nn.Linear(4, 1)))
        tracker = GDL.arb_tracker
        tracker.setup_optimizer(model, torch.optim.Adam, lr=0.05)
        g = torch.Generator().manual_seed(1)
        data = [(torch.randn(12, 3, generator=g), torch.randn(12, 1, generator=g)) for _ in range(3)]
        return model, tracker, data

    @staticmethod
    def train(tracker, model, data):
        for x, y in data:
            tracker.optimizer.zero_grad()
            nn.functional.mse_loss(model(x), y).backward()
            tracker.optimizer.step()

    @staticmethod
    def accepted_inputs(model):
        """name -> parameter of every accepted dendrite's layer and connections from earlier ones."""
        return {name: p for name, p in model.named_parameters()
                if ".dendrite_module.layers." in name
                or (".dendrites_to_dendrites." in name and not name.endswith(".dendrites_to_dendrites.0"))}

    def grow(self, model, tracker, data, cycles):
        for _ in range(cycles):
            tracker._switch_to_p()
            self.train(tracker, model, data)
            tracker._switch_to_n()
            self.train(tracker, model, data)

    def test_inputs_stay_as_accepted_through_later_cycles(self):
        model, tracker, data = self.grown_network(freeze=True)
        self.grow(model, tracker, data, cycles=1)
        first = {name: p.detach().clone() for name, p in self.accepted_inputs(model).items()}
        top_before = [nm.dendrites_to_top[-1].detach().clone() for nm in tracker.neuron_module_vector]
        self.grow(model, tracker, data, cycles=1)  # p freezes and unfreezes the network around them
        assert tracker.dendrites_added() == 2
        inputs = self.accepted_inputs(model)
        assert len(inputs) == 2 * 2 * (2 + 1)  # 2 layers x 2 dendrites x (weight, bias, connections)
        assert not any(p.requires_grad for p in inputs.values())
        assert set(first) < set(inputs)
        for name, before in first.items():
            assert torch.equal(before, inputs[name]), name
        for nm, before in zip(tracker.neuron_module_vector, top_before):
            assert nm.dendrites_to_top[-1].requires_grad
            assert not torch.equal(nm.dendrites_to_top[-1][:1].detach(), before[:1])  # the output weights learn

    def test_the_rest_of_the_network_gets_the_gradients_it_gets_when_they_learn(self):
        """On equal weights, freezing only drops the accepted inputs' own gradients."""
        learning, learning_tracker, data = self.grown_network(freeze=False)
        self.grow(learning, learning_tracker, data, cycles=2)
        frozen, tracker, _ = self.grown_network(freeze=True)
        self.grow(frozen, tracker, data, cycles=2)
        frozen.load_state_dict(learning.state_dict())
        for model in (learning, frozen):
            for p in model.parameters():
                p.grad = None
            nn.functional.mse_loss(model(data[0][0]), data[0][1]).backward()
        expected = {name: p.grad for name, p in learning.named_parameters() if p.grad is not None}
        got = {name: p.grad for name, p in frozen.named_parameters() if p.grad is not None}
        dropped = set(expected) - set(got)
        assert len(dropped) == 2 * 2 * 2 + 2 and set(got) < set(expected)  # the first connections are empty
        assert all(".dendrite_module.layers." in n or ".dendrites_to_dendrites." in n for n in dropped)
        for name, grad in got.items():
            assert torch.equal(grad, expected[name]), name
