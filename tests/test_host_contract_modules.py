"""modules_dgr inside a host that offers only what the host contract promises: settings
outside the contract are optional, plain Python lists where the contract says list, and no
attributes written onto the host's objects beyond the ones the add-on owns."""
import pytest
import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrograd import modules_dgr as MDG

from test_learning import STEADY_WEIGHT, holder, wrapped_mlp

STATISTICS = ("prev_dendrite_candidate_average", "prev_dendrite_candidate_correlation",
              "prev_dendrite_candidate_pearson", "normal_pass_average_d", "initialized")


def dendrite_modules():
    return [nm.dendrite_module for nm in GDL.arb_tracker.neuron_module_vector]


def p_mode_batches(batches=3, seed=0):
    """A two-slot network through `batches` p-mode iterations (forward, backward, the
    candidates' step): the holders' statistics and the candidates' last gradients."""
    torch.manual_seed(seed)
    GDL.pc.set_global_candidates(2)
    GDL.pc.set_correlation_scores_per_epoch(False)  # scores across batches: the average factor counts
    GDL.pc.set_initial_correlation_batches(1)  # the second batch on runs on the average factor
    model = wrapped_mlp()
    data = [(torch.randn(16, 4), torch.randn(16, 2)) for _ in range(batches)]
    for x, y in data:
        model.zero_grad(set_to_none=True)
        nn.functional.mse_loss(model(x), y).backward()
        model.zero_grad(set_to_none=True)  # the step wrapper clears gradients first
        GDL.arb_tracker.apply_dg_grads()
    statistics = [{name: getattr(v, name).detach().clone() for name in STATISTICS}
                  for dm in dendrite_modules() for v in dm.dendrite_values]
    gradients = [p.grad.clone() for dm in dendrite_modules() for c in dm.candidate_module for p in c.parameters()]
    return statistics, gradients


def assert_same_run(got, want):
    for a, b in zip(got[0], want[0]):
        for name in STATISTICS:
            torch.testing.assert_close(a[name], b[name], rtol=0, atol=0, msg=name)
    assert len(got[1]) == len(want[1])
    for a, b in zip(got[1], want[1]):
        torch.testing.assert_close(a, b, rtol=0, atol=0)


class TestOptionalAverageFactor:
    """get_correlation_average_factor is not part of the host contract: a host without it gets 0.99."""

    @pytest.fixture
    def host_without_factor(self, monkeypatch):
        monkeypatch.delattr(GDL.Config, "get_correlation_average_factor")
        assert not hasattr(GDL.pc, "get_correlation_average_factor")

    def test_p_mode_batches_run_as_with_the_factor_0_99(self, monkeypatch):
        GDL.pc.set_correlation_average_factor(0.99)
        with_getter = p_mode_batches()
        GDL.pc.set_correlation_average_factor(0.5)
        other_factor = p_mode_batches()
        GDL.pc.reset()
        monkeypatch.delattr(GDL.Config, "get_correlation_average_factor")
        without_getter = p_mode_batches()
        assert all(g.abs().sum() > 0 for g in without_getter[1])
        assert all(s["initialized"].item() == 1 for s in without_getter[0])
        assert_same_run(without_getter, with_getter)
        # The factor is really read where the host has it: another one gives other statistics.
        assert not torch.equal(other_factor[0][0]["prev_dendrite_candidate_correlation"],
                               with_getter[0][0]["prev_dendrite_candidate_correlation"])

    def test_slot_by_slot_learning_and_the_steady_fold(self, host_without_factor, monkeypatch):
        # A custom loss sends every slot through the slot-by-slot path.
        monkeypatch.setattr(MDG, "dendrite_loss_fn", MDG.calculate_and_backwards_dendrite_loss)
        statistics, gradients = p_mode_batches(batches=2)
        assert all(g.abs().sum() > 0 for g in gradients)
        values = holder()
        values.prev_dendrite_candidate_correlation.fill_(2.0)
        values.current_batch_pearson = torch.zeros(3)
        MDG.update_saved_values_averages(values, torch.full((4, 3), 3.0), torch.full((3,), 3.0), None, None, [0])
        torch.testing.assert_close(values.prev_dendrite_candidate_correlation,
                                   torch.full((3,), 0.99 * 2.0 + STEADY_WEIGHT * 3.0))

    def test_a_getter_the_contract_lists_is_still_required(self, monkeypatch):
        monkeypatch.delattr(GDL.Config, "get_running_average_dg")
        GDL.pc.set_global_candidates(1)
        model = wrapped_mlp()
        nn.functional.mse_loss(model(torch.randn(4, 4)), torch.randn(4, 2)).backward()
        with pytest.raises(AttributeError, match="get_running_average_dg"):
            GDL.arb_tracker.apply_dg_grads()


def plain_candidate_lists():
    """Every dendrite module's candidate_module as a plain Python list of the same layers."""
    for dm in dendrite_modules():
        layers = list(dm.candidate_module)
        del dm.candidate_module  # a registered submodule: it cannot be assigned a list
        dm.candidate_module = layers
    return [dm.candidate_module for dm in dendrite_modules()]


class TestPlainCandidateList:
    def test_an_iteration_trains_the_candidates_of_a_plain_list(self):
        GDL.pc.set_global_candidates(2)
        model = wrapped_mlp()
        lists = plain_candidate_lists()
        parameters = [p for candidates in lists for c in candidates for p in c.parameters()]
        before = [p.detach().clone() for p in parameters]
        optimizer = torch.optim.SGD(parameters, lr=0.1)
        nn.functional.mse_loss(model(torch.randn(16, 4)), torch.randn(16, 2)).backward()
        optimizer.zero_grad(set_to_none=True)
        GDL.arb_tracker.apply_dg_grads()
        assert all(p.grad is not None and p.grad.abs().sum() > 0 for p in parameters)
        optimizer.step()
        assert all(not torch.equal(p, b) for p, b in zip(parameters, before))
        for dm in dendrite_modules():
            assert all(v.stored_counts() == (0, 0) for v in dm.dendrite_values)

    def test_same_gradients_as_the_host_module_list(self):
        def run(plain):
            torch.manual_seed(1)
            GDL.pc.set_global_candidates(2)
            model = wrapped_mlp()
            if plain:
                plain_candidate_lists()
            nn.functional.mse_loss(model(torch.randn(8, 4)), torch.randn(8, 2)).backward()
            GDL.arb_tracker.apply_dg_grads()
            return [p.grad for dm in dendrite_modules() for c in dm.candidate_module for p in c.parameters()]

        for a, b in zip(run(plain=True), run(plain=False)):
            torch.testing.assert_close(a, b, rtol=0, atol=0)

    def test_candidates_follow_the_inputs_device_whatever_moved_them(self):
        GDL.pc.set_global_candidates(2)
        dm = wrapped_mlp()[0].dendrite_module
        dm.eval()  # nothing is stored: only where the candidates run is looked at
        candidates = dm.candidate_module
        outs = MDG.forward_candidates(dm, [1, -1], [], torch.randn(3, 4, device="meta"))[0]
        assert all(p.device.type == "meta" for c in candidates for p in c.parameters())
        assert all(out.device.type == "meta" for out in outs.values())
        # Moved back behind the add-on's back (model.to_empty / model.to on the host's list).
        for c in candidates:
            c.to_empty(device="cpu")
        outs = MDG.forward_candidates(dm, [1, -1], [], torch.randn(3, 4, device="meta"))[0]
        assert all(p.device.type == "meta" for c in candidates for p in c.parameters())
        # A new candidate list is looked at afresh, and a dtype change is no device change.
        dm.candidate_module = nn.ModuleList([nn.Linear(4, 8), nn.Linear(4, 8)]).double()
        x = torch.randn(3, 4, dtype=torch.float64)
        outs = MDG.forward_candidates(dm, [1, -1], [], x)[0]
        for c, out in zip(dm.candidate_module, outs.values()):
            torch.testing.assert_close(out, c(x))
            assert out.dtype == torch.float64 and out.device == x.device

    @pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
    def test_candidates_move_between_cpu_and_cuda(self):
        GDL.pc.set_global_candidates(2)
        dm = wrapped_mlp()[0].dendrite_module
        dm.eval()
        candidates = plain_candidate_lists()[0]
        for device in ("cuda", "cpu", "cuda"):
            nonlinear = MDG.forward_candidates(dm, [1, -1], [], torch.randn(3, 4, device=device))[1]
            assert all(p.device.type == device for c in candidates for p in c.parameters())
            assert all(out.device.type == device for out in nonlinear.values())


def attribute_names(obj):
    return set(vars(obj))


class TestNothingWrittenOntoHostObjects:
    """Over whole p-mode iterations the add-on adds no attribute to the host's neuron
    modules, dendrite modules, candidate lists or value holders, beyond those it owns."""

    OWNED_ON_HOLDERS = {"device", "current_batch_pearson", "_tuples_py_cache"}

    @pytest.mark.parametrize("fixed_input_sizes", [False, True])
    def test_one_iteration_and_zero_grad(self, fixed_input_sizes):
        GDL.pc.set_fixed_input_sizes(fixed_input_sizes)
        GDL.pc.set_global_candidates(2)
        model = wrapped_mlp()
        objects = []
        for nm in GDL.arb_tracker.neuron_module_vector:
            dm = nm.dendrite_module
            objects += [(nm, set()), (dm, set()), (dm.candidate_module, set())]
            objects += [(v, self.OWNED_ON_HOLDERS) for v in dm.dendrite_values]
        before = [attribute_names(obj) for obj, _ in objects]
        for _ in range(2):
            nn.functional.mse_loss(model(torch.randn(8, 4)), torch.randn(8, 2)).backward()
            GDL.arb_tracker.apply_dg_grads()
            GDL.arb_tracker.apply_dg_zero()
        for (obj, owned), names in zip(objects, before):
            added = attribute_names(obj) - names - owned
            added.discard("shape_cache_filled")  # the host's own flag
            assert not added, f"{type(obj).__name__} gained {sorted(added)}"
