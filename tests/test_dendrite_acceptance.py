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
