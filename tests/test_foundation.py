"""Registry, role tags, mode hooks, candidate lifecycle, shape helper, gradient killing."""
import collections
import importlib.machinery
import re
import subprocess
import sys
import types

import pytest
import torch
from torch import nn

from dendrograd import modules_dgr as MDG
from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL

ADDON_TENSORS = [
    "prev_dendrite_candidate_correlation", "covariance_for_parallel", "best_score", "previous_best_score",
    "prev_dendrite_candidate_average", "main_grad_average_for_scaling", "candidate_grad_average_for_scaling",
    "indexes_of_best", "nodes_best_improved_this_epoch", "nodes_improved_any", "parents_average_d_vector",
    "normal_pass_average_d", "epoch_start_best_score", "prev_dendrite_candidate_pearson",
    "best_pearson_correlation",
]


@pytest.mark.parametrize("name", ["modules_dgr", "tracker_dgr", "utils_dgr", "blockwise_dgr", "deploy_net"])
def test_every_module_is_a_compiled_extension(name):
    module = __import__(f"dendrograd.{name}", fromlist=[name])
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)


# ---------------------------------------------------------------------------
# value registry
# ---------------------------------------------------------------------------
class TestRegistry:
    def test_update_hooks_append_in_order_without_touching_the_argument(self):
        host = ["own"]
        assert MDG.update_dendrite_tensor_values(host) == ["own"] + ADDON_TENSORS
        assert MDG.update_dendrite_single_values(host) == [
            "own", "breaking", "locked", "best_score_improved_this_epoch", "running_scalar"]
        assert MDG.update_value_tracker_arrays(host) == ["own", "current_parent_d"]
        assert host == ["own"]
        assert MDG.update_dendrite_tensor_values([]) is not MDG.update_dendrite_tensor_values([])

    @pytest.mark.parametrize("hook", ["update_dendrite_tensor_values", "update_dendrite_single_values",
                                      "update_value_tracker_arrays"])
    @pytest.mark.parametrize("bad", [("a",), "abc", None, 3])
    def test_update_hooks_reject_non_lists_with_type_error(self, hook, bad):
        with pytest.raises(TypeError, match="list"):
            getattr(MDG, hook)(bad)

    @pytest.fixture
    def restore_registry(self):
        saved = (list(MDG._variant_tensor_values), list(MDG._variant_single_values), MDG.NON_LIVE_SKIP_VALUES)
        yield
        MDG._variant_tensor_values[:] = saved[0]
        MDG._variant_single_values[:] = saved[1]
        MDG.NON_LIVE_SKIP_VALUES = saved[2]
        for cache in ("tensor_values", "tensor_dg_state", "single_values", "single_dg_state"):
            setattr(MDL, f"_cached_dendrite_{cache}", None)

    def test_register_without_names_changes_nothing(self, restore_registry):
        MDL.get_DENDRITE_TENSOR_VALUES(), MDL.get_DENDRITE_SINGLE_VALUES()
        caches = [MDL._cached_dendrite_tensor_values, MDL._cached_dendrite_single_values]
        skip = MDG.NON_LIVE_SKIP_VALUES
        assert MDG.register_dendrite_variant_values() is None
        MDG.register_dendrite_variant_values([], [], [])
        assert [MDL._cached_dendrite_tensor_values, MDL._cached_dendrite_single_values] == caches
        assert MDG.NON_LIVE_SKIP_VALUES is skip
        assert MDG._variant_tensor_values == [] and MDG._variant_single_values == []

    def test_register_accumulates_and_resets_only_the_matching_caches(self, restore_registry):
        MDL.get_DENDRITE_TENSOR_VALUES(), MDL.get_DENDRITE_TENSOR_DG_STATE(), MDL.get_DENDRITE_SINGLE_VALUES()
        MDG.register_dendrite_variant_values(tensor_values=["variant_t"])
        MDG.register_dendrite_variant_values(tensor_values=["variant_t"])
        assert MDG._variant_tensor_values == ["variant_t", "variant_t"]
        assert MDL._cached_dendrite_tensor_values is None and MDL._cached_dendrite_tensor_dg_state is None
        assert MDL._cached_dendrite_single_values is not None
        # The host rebuilds its list from the registry and new holders carry the name.
        assert MDL.get_DENDRITE_TENSOR_VALUES()[-2:] == ["variant_t", "variant_t"]
        holder = MDL.DendriteValueTracker("layer", 3, 1, [-1, 0])
        assert holder.variant_t.shape == (3,)

    def test_reinit_skip_registration_rebinds_the_list(self, restore_registry):
        before = MDG.NON_LIVE_SKIP_VALUES
        MDG.register_dendrite_variant_values(single_values=["variant_s"], reinit_skip_values=["variant_s"])
        assert before == ["normal_pass_average_d"]
        assert MDG.NON_LIVE_SKIP_VALUES == ["normal_pass_average_d", "variant_s"]
        assert MDL._cached_dendrite_single_values is None

    def test_replacement_points_are_looked_up_at_call_time(self, monkeypatch):
        calls = []
        monkeypatch.setattr(MDG, "custom_set_module_n_dg", lambda nm: calls.append(("n", nm)))
        monkeypatch.setattr(MDG, "custom_set_module_p_dg", lambda nm: calls.append(("p", nm)))
        neuron = types.SimpleNamespace(module_config=GDL.pc)
        MDG.set_module_n_dg(neuron)
        MDG.set_module_p_dg(neuron)
        assert calls == [("n", neuron), ("p", neuron)]

    def test_load_tagger_values_discards_the_host_result(self):
        neuron = types.SimpleNamespace(dendrite_module=types.SimpleNamespace(load_tagger_values=lambda: 42))
        assert MDG.load_tagger_values(neuron) is None

    @pytest.mark.parametrize("doing_thing", [False, True])
    def test_load_time_setting_decides_the_extra_single_values(self, doing_thing):
        code = (
            "from dendrolab import globals_dendrolab as GDL\n"
            f"GDL.pc.set_doing_thing({doing_thing})\n"
            "from dendrograd import modules_dgr as MDG\n"
            "print(hasattr(MDG, 'DENDRITE_SINGLE_VALUES'), MDG.NON_LIVE_SKIP_VALUES)\n"
            "print(getattr(MDG, 'DENDRITE_SINGLE_VALUES', [])[-2:])\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
        if doing_thing:
            assert "True ['normal_pass_average_d', 'normal_pass_max_mean_act']" in out
            assert "['normal_pass_max_mean_act', 'parent_max_mean_act']" in out
        else:
            assert "False ['normal_pass_average_d']" in out

    def test_running_torch_must_match_the_build(self, tmp_path):
        # A torch that reports another minor version makes the import fail with a clear message.
        fake = tmp_path / "torch_version_shim.py"
        fake.write_text("import torch\ntorch.__version__ = '2.99.0'\n")
        code = f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import torch_version_shim\nimport dendrograd.modules_dgr"
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
        assert result.returncode != 0
        assert "compiled against torch" in result.stderr and "2.99.0" in result.stderr


# ---------------------------------------------------------------------------
# role tags and modes
# ---------------------------------------------------------------------------
class Exploding(nn.Module):
    def __init__(self):
        super().__init__()
        self.own = nn.Parameter(torch.zeros(2))
        self._private = nn.Parameter(torch.zeros(1))
        self.child = nn.Linear(2, 2)

    @property
    def broken(self):
        raise RuntimeError("property that fails on access")


class TestRoles:
    def test_broad_then_narrow_tagging(self):
        layer = Exploding()
        MDG.set_neuron_parameters(layer)
        MDG.set_candidate_parameters(layer.child)
        assert {n: p.parameter_type for n, p in layer.named_parameters()} == {
            "own": "neuron", "_private": "neuron", "child.weight": "candidate", "child.bias": "candidate"}
        MDG.set_ignored_parameters(layer)
        assert MDG.set_main_parameters(layer) is None  # the raising property is skipped
        assert layer.own.parameter_type == "neuron" and layer._private.parameter_type == "neuron"
        assert layer.child.weight.parameter_type == "ignored"

    def test_set_main_parameters_lets_interrupts_through(self):
        class Interrupting(nn.Module):
            @property
            def stop(self):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            MDG.set_main_parameters(Interrupting())

    def test_set_dg_mode_locks_every_candidate_only_for_n(self, capsys):
        GDL.pc.set_global_candidates(3)
        GDL.pc.set_verbose(True)
        dendrite_module = MDL.DendriteModule(nn.Linear(2, 4), "layer", 4, 1, [-1, 0])
        MDG.set_dg_mode(dendrite_module, "p")
        assert capsys.readouterr().out == ""
        assert all(v.locked.item() == 0 for v in dendrite_module.dendrite_values)
        MDG.set_dg_mode(dendrite_module, "n")
        assert capsys.readouterr().out == "so calling all the things to add to layers\n"
        assert all(v.locked.item() == 1 for v in dendrite_module.dendrite_values)

    def test_set_dg_mode_with_no_candidates_still_reports(self, capsys):
        GDL.pc.set_verbose(True)
        GDL.pc.set_global_candidates(0)
        MDG.set_dg_mode(types.SimpleNamespace(dendrite_values=[]), "n")
        assert "so calling all the things" in capsys.readouterr().out

    def test_p_mode_live_connection(self):
        GDL.pc.set_learn_dendrites_live(True)
        neuron = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 5)))[0]
        MDG.set_module_p_dg(neuron)
        first = neuron.candidate_to_top
        assert first is neuron.current_candidate_to_top
        assert first.shape == (1, 5) and first.requires_grad and first.parameter_type == "candidate"
        assert torch.count_nonzero(first) == 0
        assert any(p is first for p in neuron.parameters())
        MDG.set_module_p_dg(neuron)
        assert neuron.candidate_to_top is not first  # a new zero parameter every time
        MDG.set_module_n_dg(neuron)
        assert neuron.current_candidate_to_top is neuron.candidate_to_top

    def test_p_mode_without_live_learning_creates_nothing(self):
        neuron = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 5)))[0]
        MDG.set_module_p_dg(neuron)
        assert neuron.candidate_to_top is None and "current_candidate_to_top" not in dict(neuron.named_parameters())

    def test_missing_host_attribute_is_the_interpreters_attribute_error(self):
        with pytest.raises(AttributeError, match="module_config"):
            MDG.set_module_p_dg(types.SimpleNamespace())
        with pytest.raises(AttributeError, match="dendrite_values"):
            MDG.set_dg_mode(types.SimpleNamespace(), "n")


# ---------------------------------------------------------------------------
# candidate lifecycle
# ---------------------------------------------------------------------------
def make_holder(channels=4):
    holder = MDL.DendriteValueTracker("layer", channels, 1, [-1, 0])
    for name in MDL.HOST_REINIT_VALUES:
        getattr(holder, name).fill_(3.0)
    return holder


class TestLifecycle:
    def test_extra_tensors_are_fresh_on_every_call(self):
        GDL.pc.set_default_random_arb_to_candidates(False)
        module = types.SimpleNamespace()
        MDG.create_extra_tensors(module)
        first = module.current_recurrent_pass_tensors
        MDG.create_extra_tensors(module)
        assert module.current_recurrent_pass_tensors == [] and module.current_recurrent_pass_tensors is not first
        assert module.normal_learning_taggers == {} and module.random_arb_to_candidates is False

    def test_random_start_deviation(self):
        weights = nn.Parameter(torch.zeros(400, 8))
        module = types.SimpleNamespace(dendrites_to_candidates=[weights], random_arb_to_candidates=True,
                                       out_channels=8)
        MDG.init_candidates(module, 0)
        assert weights.std().item() == pytest.approx(0.5, rel=0.05)
        assert weights.mean().abs().item() < 0.05

    def test_no_random_start_keeps_weights_bit_for_bit(self):
        weights = nn.Parameter(torch.randn(3, 8))
        before = weights.detach().clone()
        module = types.SimpleNamespace(dendrites_to_candidates=[weights], random_arb_to_candidates=False,
                                       out_channels=8)
        MDG.init_candidates(module, 0)
        assert torch.equal(weights, before)

    def test_zero_channels_is_a_division_error_before_any_fill(self):
        weights = nn.Parameter(torch.ones(2, 2))
        module = types.SimpleNamespace(dendrites_to_candidates=[weights], random_arb_to_candidates=True,
                                       out_channels=0)
        with pytest.raises(ZeroDivisionError, match="float division by zero"):
            MDG.init_candidates(module, 0)
        assert torch.equal(weights, torch.ones(2, 2))

    def test_reinit_keeps_normal_pass_averages_unless_live(self):
        holder = make_holder()
        kept = holder.normal_pass_average_d
        holder.best_score[1] = float("nan")
        old_best = holder.best_score
        MDG.reinitialize_for_dg(holder)
        assert holder.normal_pass_average_d is kept and torch.all(kept == 3.0)
        assert holder.best_score is not old_best and torch.all(old_best[[0, 2, 3]] == 3.0)
        assert torch.isnan(holder.best_score[1]) and holder.best_score[0] == 0  # a product, not a fill
        assert torch.count_nonzero(holder.prev_dendrite_candidate_correlation) == 0
        assert holder.initialized.item() == 0
        # The parent averages are a frozen clone of the normal-pass averages.
        assert torch.equal(holder.parents_average_d_vector, kept) and not holder.parents_average_d_vector.requires_grad
        kept.add_(1.0)
        assert torch.all(holder.parents_average_d_vector == 3.0)

    def test_reinit_with_live_learning_resets_everything(self):
        GDL.pc.set_learn_dendrites_live(True)
        holder = make_holder()
        MDG.reinitialize_for_dg(holder)
        assert torch.count_nonzero(holder.normal_pass_average_d) == 0
        assert torch.count_nonzero(holder.parents_average_d_vector) == 0

    def test_reinit_of_plain_numbers_and_missing_names(self, monkeypatch):
        monkeypatch.setattr(MDL, "get_DENDRITE_REINIT_VALUES", lambda: ["count", "absent"])
        holder = types.SimpleNamespace(count=7)
        with pytest.raises(AttributeError, match="absent"):
            MDG.reinitialize_for_dg(holder)
        assert holder.count == 0  # earlier names were already reset


# ---------------------------------------------------------------------------
# shape reduction
# ---------------------------------------------------------------------------
class TestShapeHelper:
    def holder(self, dims, node=1):
        return MDL.DendriteValueTracker("layer", 4, node, dims)

    def test_computed_triples(self):
        assert MDG.get_tuples_and_mult(torch.zeros(8, 16, 32, 32), self.holder([-1, 0, -1, -1])) == (
            [0, 2, 3], [1, -1, 1, 1], 8192)
        assert MDG.get_tuples_and_mult(torch.zeros(4, 10, 64), self.holder([-1, 1, 0], node=2)) == (
            [0], [1, 10, -1], 4)
        assert MDG.get_tuples_and_mult(torch.zeros(5), self.holder([0], node=0)) == ([], [-1], 1)
        # A node index outside the tensor: every dimension follows its flag.
        assert MDG.get_tuples_and_mult(torch.zeros(2, 3), self.holder([-1, -1], node=5)) == ([0, 1], [1, 1], 6)

    def test_cache_ignored_unless_input_sizes_are_fixed(self):
        holder = self.holder([-1, 0])
        holder.full_mult_cache.fill_(99)
        assert MDG.get_tuples_and_mult(torch.zeros(3, 4), holder) == ([0], [1, -1], 3)
        assert not hasattr(holder, "_tuples_py_cache")

    def test_empty_cache_falls_through_to_computation(self):
        GDL.pc.set_fixed_input_sizes(True)
        holder = self.holder([-1, 0])
        assert MDG.get_tuples_and_mult(torch.zeros(3, 4), holder) == ([0], [1, -1], 3)
        assert not hasattr(holder, "_tuples_py_cache")

    def test_two_level_cache(self):
        GDL.pc.set_fixed_input_sizes(True)
        holder = self.holder([-1, 0, -1, -1])
        holder.math_tuple_cache.copy_(torch.tensor([0, 2, 3, -1]))
        holder.view_tuple_cache.copy_(torch.tensor([1, -1, 1, 1]))
        holder.full_mult_cache.fill_(12)
        first = MDG.get_tuples_and_mult(torch.zeros(2, 4, 3, 2), holder)
        assert first == ([0, 2, 3], [1, -1, 1, 1], 12.0)
        assert holder._tuples_py_cache is first
        holder.full_mult_cache.fill_(1000)  # later buffer changes are not seen
        assert MDG.get_tuples_and_mult(torch.zeros(9, 4), holder) is first

    def test_zero_padding_entries_stay(self):
        GDL.pc.set_fixed_input_sizes(True)
        holder = self.holder([-1, -1, 0], node=2)
        holder.math_tuple_cache.copy_(torch.tensor([0, -1, -5]))
        holder.view_tuple_cache.copy_(torch.tensor([1, 1, -1]))
        holder.full_mult_cache.fill_(2)
        assert MDG.get_tuples_and_mult(torch.zeros(2, 1, 4), holder)[0] == [0]

    def test_host_fills_the_cache_from_a_real_output(self):
        GDL.pc.set_fixed_input_sizes(True)
        holder = self.holder([-1, 0, -1, -1])
        holder.fill_shape_cache(torch.zeros(2, 4, 3, 5))
        assert MDG.get_tuples_and_mult(torch.zeros(1), holder) == ([0, 2, 3], [1, -1, 1, 1], 30.0)


# ---------------------------------------------------------------------------
# gradient killing
# ---------------------------------------------------------------------------
class TestGradientKilling:
    def test_single_tensor(self):
        t = torch.randn(3, requires_grad=True)
        killed, device = MDG.killer_recursive(t, True)
        assert killed is not t and torch.equal(killed, t)
        assert not killed.requires_grad and killed.grad_fn is None
        assert killed.data_ptr() != t.data_ptr()  # a copy, not a view
        assert device == t.device
        same, device = MDG.killer_recursive(t, False)
        assert same is t and device == t.device

    def test_nested_structure_in_place_and_tuple_rebuilt(self):
        a, b, c = (torch.randn(2, requires_grad=True) for _ in range(3))
        inner_tuple = (a, 5)
        inner_list = [inner_tuple, "text"]
        outer = {"x": inner_list, "y": b, "z": None}
        top = [outer, c]
        result, device = MDG.killer_recursive(top, True)
        assert result is top and top[0] is outer and outer["x"] is inner_list
        rebuilt = inner_list[0]
        assert isinstance(rebuilt, tuple) and rebuilt is not inner_tuple
        assert inner_tuple[0] is a  # the original tuple is unchanged
        for killed in (rebuilt[0], outer["y"], top[1]):
            assert not killed.requires_grad
        assert rebuilt[1] == 5 and inner_list[1] == "text" and outer["z"] is None
        assert device == torch.device("cpu")

    def test_exact_type_rule(self):
        Pair = collections.namedtuple("Pair", "a b")
        t = torch.randn(2, requires_grad=True)
        pair, ordered = Pair(t, t), collections.OrderedDict(a=t)
        assert MDG.killer_recursive(pair, True) == (pair, None)
        result, device = MDG.killer_recursive(ordered, True)
        assert result is ordered and ordered["a"] is t and device is None
        param = nn.Parameter(torch.randn(2))
        killed, _ = MDG.killer_recursive([param], True)
        assert type(killed[0]) is torch.Tensor and not killed[0].requires_grad

    @pytest.mark.parametrize("empty", [[], (), {}])
    def test_empty_containers_come_back_as_they_are(self, empty):
        result, device = MDG.killer_recursive(empty, True)
        assert result is empty and device is None

    @pytest.mark.parametrize("leaf", [3, "text", None, 2.5])
    def test_leaves(self, leaf):
        assert MDG.killer_recursive(leaf, True) == (leaf, None)

    def test_killer_passes_values_forward_and_zero_gradient_back(self):
        x = torch.randn(4, 3, requires_grad=True)
        y = MDG.grad_killer(x)
        assert torch.equal(y, x)
        (y * 5).sum().backward()
        assert torch.equal(x.grad, torch.zeros(4, 3))

    def test_killed_inputs_stop_gradient_into_the_network(self):
        layer = nn.Linear(3, 3)
        x = torch.randn(2, 3, requires_grad=True)
        hidden = layer(x)
        (args, kwargs) = MDG.preprocess_dg(hidden, scale=hidden) if hasattr(MDG, "preprocess_dg") else (
            MDG.killer_recursive((hidden,), True)[0], MDG.killer_recursive({"scale": hidden}, True)[0])
        assert not args[0].requires_grad and not kwargs["scale"].requires_grad


# ---------------------------------------------------------------------------
# host contract
# ---------------------------------------------------------------------------
class TestHostContract:
    def test_configuration_is_read_at_the_moment_of_use(self, monkeypatch, capsys):
        module = types.SimpleNamespace(dendrite_values=[])
        GDL.pc.set_global_candidates(0)
        MDG.set_dg_mode(module, "n")
        assert capsys.readouterr().out == ""
        swapped = GDL.Config()
        swapped.set_verbose(True)
        swapped.set_global_candidates(0)
        monkeypatch.setattr(GDL, "pc", swapped)  # a new object, not a changed one
        MDG.set_dg_mode(module, "n")
        assert "so calling all the things" in capsys.readouterr().out

    def test_kept_settings_follow_every_kind_of_change(self, monkeypatch, capsys):
        module = types.SimpleNamespace(dendrite_values=[])
        GDL.pc.set_global_candidates(0)

        def verbose_output():
            MDG.set_dg_mode(module, "n")
            return "so calling all the things" in capsys.readouterr().out

        assert not verbose_output() and not verbose_output()  # the second read may be a kept one
        GDL.pc.set_verbose(True)
        assert verbose_output()
        GDL.pc.reset()
        GDL.pc.set_global_candidates(0)
        assert not verbose_output()
        calls = []
        monkeypatch.setattr(GDL.pc, "get_verbose", lambda: calls.append(1) or len(calls) % 2 == 1)
        assert [verbose_output() for _ in range(4)] == [True, False, True, False]  # called on every use
        monkeypatch.undo()
        GDL.pc.set_global_candidates(0)
        assert not verbose_output()
        calls.clear()
        monkeypatch.setattr(GDL.Config, "get_verbose", lambda self: calls.append(1) or len(calls) % 2 == 1)
        assert [verbose_output() for _ in range(4)] == [True, False, True, False]  # patched on the class
        monkeypatch.undo()
        assert not verbose_output()

    def test_configuration_without_a_change_count_is_read_on_every_use(self, monkeypatch, capsys):
        values = dict(GDL.Config._DEFAULTS, global_candidates=0)
        getters = {"get_" + key: (lambda key=key: values[key]) for key in values}
        module = types.SimpleNamespace(dendrite_values=[])
        with monkeypatch.context() as patch:
            patch.setattr(GDL, "pc", types.SimpleNamespace(**getters))
            for verbose in (False, True, False):
                values["verbose"] = verbose
                MDG.set_dg_mode(module, "n")
                assert ("so calling all the things" in capsys.readouterr().out) == verbose

    def test_debugger_stops_go_through_the_breakpoint_hook(self, debugger_stops, capsys):
        holder = MDL.DendriteValueTracker("layer", 2, 1, [-1, 0])
        MDG.check_dendrite_outs(holder, 0)
        assert debugger_stops.count == 1
        assert "Dendrite does not have output Value for layer layer" in capsys.readouterr().out

    def test_breakpoint_environment_variable_disables_the_stop(self):
        code = ("from dendrolab import modules_dendrolab as MDL\nfrom dendrograd import modules_dgr as MDG\n"
                "MDG.check_dendrite_outs(MDL.DendriteValueTracker('layer', 2, 1, [-1, 0]), 0)\nprint('went on')\n")
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                                env={**__import__("os").environ, "PYTHONBREAKPOINT": "0"}, stdin=subprocess.DEVNULL)
        assert result.returncode == 0 and "went on" in result.stdout

    def test_stop_without_a_terminal_raises_instead_of_waiting(self):
        code = ("from dendrolab import modules_dendrolab as MDL\nfrom dendrograd import modules_dgr as MDG\n"
                "try:\n    MDG.check_dendrite_outs(MDL.DendriteValueTracker('layer', 2, 1, [-1, 0]), 0)\n"
                "except RuntimeError as e:\n    print('raised:', e)\n")
        env = {k: v for k, v in __import__("os").environ.items() if k != "PYTHONBREAKPOINT"}
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                                env=env, stdin=subprocess.DEVNULL)
        assert result.returncode == 0, result.stderr
        assert "Dendrite does not have output Value for layer layer" in result.stdout
        assert "raised: dendrograd: no stored candidate output for layer layer" in result.stdout


class TestSettingValues:
    @pytest.mark.parametrize("name, bad", [
        ("candidate_lr_scale", -1.0), ("candidate_lr_scale", 0), ("candidate_lr_scale", float("inf")),
        ("candidate_lr_scale", "10"), ("correlation_average_factor", 1.5), ("correlation_average_factor", -0.1),
        ("correlation_average_factor", float("nan")), ("dendrite_output_init", -0.1),
        ("candidate_grad_clipping", True),
    ])
    def test_a_bad_value_is_refused_by_name_and_the_setting_keeps_its_value(self, name, bad):
        before = getattr(GDL.pc, "get_" + name)()
        with pytest.raises(ValueError, match=f"set_{name}: {name} must be .*got {re.escape(repr(bad))}"):
            getattr(GDL.pc, "set_" + name)(bad)
        assert getattr(GDL.pc, "get_" + name)() == before

    @pytest.mark.parametrize("name, good", [
        ("candidate_lr_scale", 10), ("correlation_average_factor", 0), ("correlation_average_factor", 1.0),
        ("dendrite_output_init", 0.0), ("candidate_grad_clipping", 5),
    ])
    def test_edge_values_are_taken(self, name, good):
        getattr(GDL.pc, "set_" + name)(good)
        assert getattr(GDL.pc, "get_" + name)() == good
