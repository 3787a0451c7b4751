"""Wrong inputs get an ordinary exception that names the argument or attribute and what
was found; module trees with cycles or great depth are walked without overflowing."""
import pytest
import torch
from torch import nn

from deploy_nets import grown_mlp, neuron_modules
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import blockwise_dgr as BDL
from dendrograd import deploy_net as DN
from dendrograd import tracker_dgr as TDG
from dendrograd import utils_dgr as UT


class WithBackReference(nn.Module):
    """A wrapped layer and a helper whose attribute points back at the model: a cycle."""

    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 3))
        self.helper = nn.Module()
        object.__setattr__(self.helper, "owner", self)

    def forward(self, x):
        return self.body(x)


def deep_chain(levels):
    root = nn.Sequential()
    current = root
    for _ in range(levels):
        child = nn.Sequential()
        current.append(child)
        current = child
    return root


class TestModuleTreeWalks:
    def test_back_reference_is_converted_like_the_tree_without_it(self):
        torch.manual_seed(0)
        model = UDL.initialize_arb(WithBackReference())
        for nm in neuron_modules(model):
            nm.accept_best_candidate()
            with torch.no_grad():
                for p in list(nm.dendrites_to_top) + list(nm.dendrites_to_dendrites):
                    p.normal_()
        x = torch.randn(5, 4)
        with torch.no_grad():
            expected = model(x)
            clean = UT.clean_net(UDL.deep_copy_arb(model))
            assert [type(m).__name__ for m in clean.body] == ["ARBModulePyThread", "ReLU", "ARBModulePyThread"]
            torch.testing.assert_close(clean(x), expected)
        assert UT.dg_count_params(model) == sum(p.numel() for p in clean.parameters())

    def test_back_reference_in_a_container(self):
        torch.manual_seed(0)
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(2, 2), nn.Sequential()))
        object.__setattr__(model[1], "parent", model)
        converted = BDL.blockwise_network(model)
        assert type(converted[0]).__name__ == "ARBLayer"
        assert type(DN.refresh_net(converted)[0]).__name__ == "ARBModulePyThread"

    @pytest.mark.parametrize("walk", [
        BDL.blockwise_network, DN.refresh_net, lambda net: UT.debug_print_grad_modules(net, 0, "net"),
    ])
    def test_too_deep_a_tree_is_a_recursion_error(self, walk, capsys):
        deep = deep_chain(20000)
        with pytest.raises(RecursionError):
            walk(deep)
        walk(deep_chain(50))  # a tree of ordinary depth is walked


class TestArgumentTypes:
    @pytest.mark.parametrize("call, message", [
        (lambda: UT.clean_net(None), "clean_net: net must be a torch.nn.Module, got NoneType"),
        (lambda: UT.dg_count_params("model"), "dg_count_params: net must be a torch.nn.Module, got str"),
        (lambda: UT.dg_save_net(grown_mlp(), None, "m"), "dg_save_net: folder must be a str or os.PathLike, got NoneType"),
        (lambda: UT.dg_save_net(grown_mlp(), b"out", "m"), "folder must be a str or os.PathLike, got bytes"),
        (lambda: UT.dg_save_net(grown_mlp(), "out", 3), "dg_save_net: name must be a str, got int"),
        (lambda: UT.load_net(grown_mlp(), "out", None), "load_net: name must be a str, got NoneType"),
        (lambda: UT.load_net(object(), "out", "m"), "load_net: net must be a torch.nn.Module, got object"),
        (lambda: UT.check_requires_grad(torch.zeros(2)), "check_requires_grad: module must be a torch.nn.Module"),
        (lambda: BDL.blockwise_network([nn.Linear(2, 2)]), "blockwise_network: net must be a torch.nn.Module, got list"),
        (lambda: BDL.convert_to_arb_layer_block(grown_mlp()[0].dendrite_module),
         "pretrained_dendrite must be a neuron module \\(ARBNeuronModule\\), got DendriteModule without 'main_module'"),
        (lambda: DN.ARBModulePyThread(nn.Linear(2, 2)),
         "original_module must be a block layer \\(ARBLayer\\), got Linear without 'layer_array'"),
        (lambda: TDG.setup_optimizer_dg(nn.Linear(2, 2)),
         "setup_optimizer_dg: optimizer must be a torch.optim.Optimizer .*got Linear without 'step'"),
        (lambda: BDL.ARBLayer(nn.Sequential(nn.Linear(2, 2)), [None], [torch.zeros(1, 2)], [None], 1, torch.zeros(1),
                              [1, -1]),
         "every entry of dendrites_to_dendrites and dendrites_to_top must be a tensor, got NoneType"),
        (lambda: BDL.ARBLayer([nn.Linear(2, 2)], [None], [], [], 1, torch.zeros(1), [1, -1]),
         "ARBLayer: layer_array must be a torch.nn.Module, got list"),
        (lambda: BDL.ARBLayer(nn.Sequential(nn.Linear(2, 2)), [None], [], [], None, torch.zeros(1), [1, -1]),
         "ARBLayer: node_index must be a tensor or an integer, got NoneType"),
    ])
    def test_type_errors_name_the_argument_and_what_was_found(self, call, message):
        with pytest.raises(TypeError, match=message):
            call()

    def test_rejected_optimizer_is_left_untouched(self):
        layer = nn.Linear(2, 2)
        step = layer.__dict__.get("step")
        with pytest.raises(TypeError):
            TDG.setup_optimizer_dg(layer)
        assert layer.__dict__.get("step") is step and not hasattr(layer, "_original_step")

    def test_stripped_host_tensors_are_named(self):
        model = grown_mlp()
        model[0].dendrite_module.dendrite_values[0].best_pearson_correlation = None
        GDL.arb_tracker.member_vars["mode"] = "p"
        with pytest.raises(TypeError, match="DendriteValueTracker.best_pearson_correlation must be a tensor, "
                                            "got NoneType"):
            TDG.add_best_scores(GDL.arb_tracker)

    def test_inference_module_parts(self):
        deployed = UT.clean_net(grown_mlp())
        block = deployed[0]
        x = torch.randn(3, 4)
        outs = [None] * len(block.layer_array)
        with pytest.raises(IndexError, match="c = 5 is not a dendrite layer of a block with 3 layers"):
            block.process_and_forward(5, outs, x)
        with pytest.raises(IndexError, match="c = -1"):
            block.process_and_forward(-1, outs, x)
        with pytest.raises(IndexError, match="out_values has 1 entries, the block has 3 layers"):
            block.process_and_pre([None], x)
        block.process_and_forward(1, outs, x)
        block.process_and_pre(outs, x)
        torch.testing.assert_close(outs[2], block.layer_array[2](x))
        block.skip_weights = nn.Parameter(torch.zeros(4))
        with pytest.raises(ValueError, match="skip_weights must have 3 dimensions"):
            block(x)
        block.layer_array = None
        with pytest.raises(TypeError, match="ARBModulePyThread.layer_array must be a sequence of layers, got NoneType"):
            block(x)

    def test_a_none_skip_parameter_means_no_skip_terms(self):
        model = grown_mlp(dendrites=1)
        blocks = BDL.blockwise_network(UDL.deep_copy_arb(model))
        blocks[0].skip_weights = None  # nn.Module's "no parameter"
        deployed = DN.make_module(blocks[0])
        assert not hasattr(deployed, "skip_weights") or deployed.skip_weights is None
        x = torch.randn(3, 4)
        main, dendrite = deployed.layer_array[1], deployed.layer_array[0]
        assert main is blocks[0].layer_array[1] and dendrite is blocks[0].layer_array[0]
        torch.testing.assert_close(deployed(x), main(x))

    def test_block_view_tuple_in_any_integer_sequence(self):
        """view_tuple as a list, a tuple, a one-pass iterator or a tensor gives the same buffer;
        an entry that is not an integer is a TypeError naming the argument."""
        def block(view):
            return BDL.ARBLayer(nn.Sequential(nn.Linear(2, 2)), [None], [], [], 1, torch.zeros(1), view)

        for view in ([1, -1], (1, -1), iter([1, -1]), torch.tensor([1, -1])):
            buffer = block(view).view_tuple
            assert buffer.dtype == torch.long and buffer.tolist() == [1, -1]
        with pytest.raises(TypeError, match="ARBLayer: view_tuple must hold integers, got float"):
            block([1, 2.5])

    def test_inference_module_part_arguments(self):
        block = UT.clean_net(grown_mlp())[0]
        x = torch.randn(3, 4)
        with pytest.raises(TypeError, match="process_and_forward: c must be an integer, got str"):
            block.process_and_forward("0", [None] * 3, x)
        block.layer_array = nn.Sequential()
        with pytest.raises(ValueError, match="process_and_pre: the dendrite block has no layers"):
            block.process_and_pre([], x)
