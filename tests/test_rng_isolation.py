"""Counting, converting and saving a network leave torch's global random state alone:
only candidate initialisation may draw from it."""
import pytest
import torch
from torch import nn

from deploy_nets import grown_mlp, same_state, state_of
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import blockwise_dgr as BDL
from dendrograd import utils_dgr as UT


def count_deployed(model, folder):
    GDL.pc.set_count_training_params(False)  # counts the deployment form: converts a copy
    UT.dg_count_params(model)


def count_training(model, folder):
    GDL.pc.set_count_training_params(True)
    UT.dg_count_params(model)


def clean(model, folder):
    UT.clean_net(UDL.deep_copy_arb(model))


def save_safetensors(model, folder):
    UT.dg_save_net(model, str(folder), "m")


def save_weight_tying(model, folder):
    GDL.pc.set_weight_tying_experimental(True)
    UT.dg_save_net(model, str(folder), "m")


def save_archive(model, folder):
    GDL.pc.set_using_safe_tensors(False)
    UT.dg_save_net(model, str(folder), "m")


UTILITIES = [count_deployed, count_training, clean, save_safetensors, save_weight_tying, save_archive]


@pytest.mark.parametrize("utility", UTILITIES)
def test_global_random_state_is_unchanged(utility, tmp_path):
    model = grown_mlp()
    before = torch.get_rng_state()
    utility(model, tmp_path)
    assert torch.equal(torch.get_rng_state(), before)


def seeded_run(model, between_steps, folder):
    """A few seeded training steps with random inputs; `between_steps` runs after each."""
    torch.manual_seed(123)
    optimizer = torch.optim.SGD(model.parameters(), lr=0.1)
    for _ in range(3):
        optimizer.zero_grad()
        model(torch.randn(8, 4)).pow(2).mean().backward()
        optimizer.step()
        between_steps(model, folder)
    return state_of(model), torch.randn(4)


def test_seeded_run_is_the_same_with_or_without_the_utilities(tmp_path):
    def every_utility(model, folder):
        for utility in UTILITIES:
            GDL.pc.reset()
            utility(model, folder)
        GDL.pc.reset()

    plain_state, plain_next = seeded_run(grown_mlp().train(), lambda m, f: None, tmp_path)
    state, next_draw = seeded_run(grown_mlp().train(), every_utility, tmp_path)
    assert same_state(plain_state, state)
    assert torch.equal(plain_next, next_draw)


def test_unread_skip_cells_keep_their_filler_and_are_reproducible():
    """Cells no layer reads still hold small filler values (not zeros), the same on every
    conversion; the cells that are read hold the host's weights."""
    neuron_module = grown_mlp(dendrites=1)[0]
    blocks = [BDL.convert_to_arb_layer_block(UDL.deep_copy_arb(neuron_module)) for _ in range(2)]
    first, second = (b.skip_weights.detach() for b in blocks)
    torch.testing.assert_close(first, second, rtol=0, atol=0)
    assert first.shape == (2, 3, 6)  # entries of the dendrite and of the main layer, 3 rows, 6 channels
    torch.testing.assert_close(first[1, 0], neuron_module.dendrites_to_top[-1].detach()[0])  # dendrite -> main
    filler = first[0]  # the first dendrite reads nothing from other dendrites
    assert 0 < filler.abs().max() < 0.1 and (filler != 0).all()


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs an accelerator")
def test_conversion_on_the_accelerator_leaves_its_random_state():
    device = torch.device("cuda")
    before = torch.cuda.get_rng_state(device)
    top = torch.randn(1, 2, 4, device=device)
    layer = BDL.ARBLayer(nn.Sequential(nn.Linear(2, 4), nn.Linear(2, 4)).to(device), [None, None], [top],
                         [torch.zeros(1, 4, device=device), top[0]], 1, torch.zeros(1, device=device), [1, -1])
    assert layer.skip_weights.device.type == "cuda"
    assert torch.equal(torch.cuda.get_rng_state(device), before)
