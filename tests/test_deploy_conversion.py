"""Block layers, inference modules and the conversion walks."""
import pickle

import pytest
import torch
from torch import nn

from deploy_nets import grown_conv, grown_mlp, neuron_modules
from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import blockwise_dgr as BDL
from dendrograd import deploy_net as DN
from dendrograd import utils_dgr as UT


class Proc:
    """A processor: dendrites see shifted inputs and shifted outputs; the main
    output is reduced by post_n1 and wrapped into a tuple again by post_n2."""

    def pre_d(self, *args, **kwargs):
        return (args[0] + 1.0,), kwargs

    def post_d(self, out):
        return out - 0.5

    def post_n1(self, out):
        return out * 2.0

    def post_n2(self, out):
        return (out, "extra")


def block_of(nm):
    return BDL.convert_to_arb_layer_block(UDL.deep_copy_arb(nm))


# ---- equivalence of the forms -------------------------------------------------------

@pytest.mark.parametrize("make, shape", [(grown_mlp, (5, 4)), (grown_conv, (2, 2, 6, 6))])
def test_deployment_form_matches_training_form(make, shape, monkeypatch):
    model = make()
    x = torch.randn(*shape)
    with torch.no_grad():
        expected = model(x)
        clean = UT.clean_net(UDL.deep_copy_arb(model))
        assert [type(m).__name__ for m in clean] == ["ARBModulePyThread", "ReLU", "ARBModulePyThread"]
        torch.testing.assert_close(clean(x), expected)
        monkeypatch.setattr(DN, "doing_threading", True)
        torch.testing.assert_close(clean(x), expected)
        restored = pickle.loads(pickle.dumps(clean))
        torch.testing.assert_close(restored(x), expected)
    assert type(restored[0]) is DN.ARBModulePyThread


def test_three_layer_combination_by_hand(monkeypatch):
    torch.manual_seed(1)
    nm = MDL.ARBNeuronModule(nn.Linear(4, 3), "n")
    nm.accept_best_candidate()
    nm.accept_best_candidate()
    with torch.no_grad():
        for p in list(nm.dendrites_to_top) + list(nm.dendrites_to_dendrites):
            p.normal_()
    nm.dendrite_module.processors = [Proc(), Proc()]
    nm.processor = Proc()
    block = BDL.convert_to_arb_layer_block(nm)
    module = DN.make_module(block)
    x = torch.randn(5, 4)
    f = torch.sigmoid
    layers = nm.dendrite_module.layers
    w1 = nm.dendrites_to_dendrites[2].detach()
    w2 = nm.dendrites_to_top[-1].detach()
    with torch.no_grad():
        a0 = f(layers[0](x + 1.0) - 0.5)
        a1 = f(layers[1](x + 1.0) - 0.5 + w1[0] * a0)
        expected = 2.0 * nm.main_module(x) + w2[0] * a0 + w2[1] * a1
        out, tag = module(x)
        torch.testing.assert_close(out, expected)
        assert tag == "extra"
        torch.testing.assert_close(block(x)[0], expected)  # the block's own forward
        monkeypatch.setattr(DN, "doing_threading", True)
        torch.testing.assert_close(module(x)[0], expected)


# ---- block layer contents ---------------------------------------------------------

def test_block_layout_by_dendrite_count():
    model = grown_mlp(dendrites=1)
    nm = neuron_modules(model)[0]
    for p in nm.parameters():
        p.wrapped = True
    block = BDL.convert_to_arb_layer_block(nm)
    assert len(block.layer_array) == 2
    assert not any(hasattr(p, "wrapped") for p in nm.parameters())
    # entry 1 (the main layer) row 0: the one dendrite's weights into the neuron
    torch.testing.assert_close(block.skip_weights[1][0], nm.dendrites_to_top[-1][0].detach())
    assert block.view_tuple.tolist() == [1, -1]
    keys = block.state_dict().keys()
    assert {"module_id", "num_cycles", "view_tuple", "layer_array.0.module_id", "layer_array.1.module_id"} <= keys
    module = DN.make_module(block)
    assert {"node_index", "module_id", "num_cycles", "view_tuple"} <= module.state_dict().keys()
    assert module.skip_weights.shape[0] == 1

    conv_block = block_of(neuron_modules(grown_conv())[0])
    assert conv_block.view_tuple.tolist() == [1, -1, 1, 1]


def test_block_without_dendrites_is_the_main_layer():
    torch.manual_seed(0)
    nm = MDL.ARBNeuronModule(nn.Linear(4, 3), "n")
    module = DN.make_module(BDL.convert_to_arb_layer_block(nm))
    assert len(module.layer_array) == 1 and not hasattr(module, "skip_weights")
    x = torch.randn(2, 4)
    torch.testing.assert_close(module(x), nm.main_module(x))


def test_single_skip_entry_gives_no_skip_terms():
    torch.manual_seed(0)
    d, main = nn.Linear(4, 3), nn.Linear(4, 3)
    block = BDL.ARBLayer(nn.Sequential(d, main), [None, None], [torch.ones(1, 3)], [], torch.tensor([1]),
                         torch.zeros(1), [1, -1])
    module = DN.make_module(block)
    assert block.skip_weights.shape[0] == 1 and not hasattr(module, "skip_weights")
    x = torch.randn(2, 4)
    torch.testing.assert_close(module(x), main(x))
    torch.testing.assert_close(block(x), main(x))


# ---- the walks -----------------------------------------------------------------

class Holder(nn.Module):
    def forward(self, x):
        return x


class Kept(Holder):
    pass


def test_refresh_walk_shared_kept_and_excluded(capsys):
    nms = neuron_modules(grown_mlp())
    root = Holder()
    seq = nn.Sequential(block_of(nms[0]))
    root.a, root.b = seq, seq  # one container under two names
    root.keep = block_of(nms[1])
    root.tracked = Kept()
    root.tracked.inner = block_of(nms[1])
    root.pair = nn.Sequential(block_of(nms[0]), block_of(nms[1]))
    GDL.pc.append_module_names_to_not_save([".keep"])
    GDL.pc.append_modules_to_track([Kept])
    GDL.pc.set_extra_verbose(True)
    out = DN.refresh_arb(root, 0, "", [])
    text = capsys.readouterr().out
    assert out is root and root.a is root.b and type(root.a[0]) is DN.ModuleType
    assert text.count("pointed to twice by two different variables.  Highest") == 1
    assert type(root.keep).__name__ == "ARBLayer"
    assert type(root.tracked.inner).__name__ == "ARBLayer"
    assert [type(m) for m in root.pair] == [DN.ModuleType, DN.ModuleType]
    assert ".pair[0]: ARBLayer" in text and ".pair[1]: ARBLayer" in text
    assert type(DN.refresh_net(block_of(nms[0]))) is DN.ARBModulePyThread


def test_neuron_module_under_two_names_becomes_two_blocks():
    nm = neuron_modules(grown_mlp())[0]
    root = Holder()
    root.first, root.second = nm, nm
    BDL.blockwise_network(root)
    assert type(root.first).__name__ == "ARBLayer" and root.first is not root.second
    assert root.first.layer_array[0] is root.second.layer_array[0]


# ---- threads ----------------------------------------------------------------------

class Boom(nn.Module):
    def forward(self, x):
        raise ValueError("dendrite layer failed")


def test_threaded_worker_error_and_grad_mode(monkeypatch):
    monkeypatch.setattr(DN, "doing_threading", True)
    module = DN.make_module(block_of(neuron_modules(grown_mlp())[0]))
    x = torch.randn(3, 4)
    with torch.no_grad():
        assert not module(x).requires_grad  # workers run under the caller's grad mode
    assert module(x).requires_grad
    module.layer_array[1] = Boom()
    with pytest.raises(ValueError, match="dendrite layer failed"):
        module(x)
