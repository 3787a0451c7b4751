"""The candidates' correlation objective and its gradient, checked by hand.

Cascade-correlation trains a candidate to maximise, per neuron o,
S_o = |sum_p (V_po - mean V_o)(E_po - mean E_o)|, the covariance of its output V with the
neuron's error E over the batch. Here the reference is built in plain PyTorch from the
layer's weights alone: the network's output and its error by autograd through a hand-written
forward, the candidate's output from its own weights (and, once a dendrite has been
accepted, from that dendrite's output through the candidate's skip weights), and the
gradient of -sum_o S_o by autograd. The add-on must produce exactly that gradient on every
candidate weight at optimizer.step() (SGD with lr 1: the weight moves by minus the
gradient), and keep the covariance and Pearson correlation the reference computes.
"""
import pytest
import torch
from torch import nn
from torch.nn import functional as F

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

from test_learning import set_p_mode


def layer_and_input(kind, generator):
    """A layer (float64) and a batch for it; the node dimension is 1 in both cases."""
    if kind == "linear":
        return nn.Linear(3, 4).double(), torch.randn(7, 3, generator=generator, dtype=torch.float64)
    return nn.Conv1d(2, 3, 2).double(), torch.randn(5, 2, 6, generator=generator, dtype=torch.float64)


def layer_fn(layer, weight, bias):
    """The layer's operation with explicitly given weights."""
    if isinstance(layer, nn.Conv1d):
        return lambda x: F.conv1d(x, weight, bias)
    return lambda x: F.linear(x, weight, bias)


def per_node(t):
    """Broadcasts a per-neuron vector against an output whose node dimension is 1."""
    return lambda v: v.view([1, -1] + [1] * (t.dim() - 2))


@pytest.fixture(autouse=True)
def one_learning_rate():
    """The steps below are checked against SGD at the optimizer's own rate."""
    GDL.pc.set_candidate_lr_scale(1.0)


def wrapped(kind, accepted, seed):
    """A wrapped one-layer network in p mode with `accepted` dendrites already grown, and
    an SGD optimizer with lr 1 built by the tracker for p mode."""
    generator = torch.Generator().manual_seed(seed)
    torch.manual_seed(seed)
    GDL.pc.set_d_type(torch.float64)
    layer, x = layer_and_input(kind, generator)
    neuron_module = UDL.initialize_arb(layer)
    for _ in range(accepted):
        neuron_module.accept_best_candidate()
    with torch.no_grad():  # outputs that reach the neuron, so its error depends on them
        for top in neuron_module.dendrites_to_top:
            top.normal_(0, 1.0, generator=generator)
    set_p_mode()
    optimizer = GDL.arb_tracker.setup_optimizer(neuron_module, torch.optim.SGD, lr=1.0)
    return neuron_module, optimizer, x, generator


def reference(neuron_module, x, target):
    """(covariance, pearson, {candidate parameter: gradient}) computed by hand for candidate 0."""
    dm = neuron_module.dendrite_module
    main = neuron_module.main_module
    sig = torch.sigmoid
    # Accepted dendrites, each fed by the earlier ones through its skip weights.
    accepted = []
    for k, layer in enumerate(dm.layers):
        value = layer_fn(layer, layer.weight.detach(), layer.bias.detach())(x)
        for j, earlier in enumerate(accepted):
            value = value + per_node(value)(neuron_module.dendrites_to_dendrites[k + 1].detach()[j]) * earlier
        accepted.append(sig(value))
    out = layer_fn(main, main.weight.detach(), main.bias.detach())(x).requires_grad_(True)
    total = out
    if accepted:
        top = neuron_module.dendrites_to_top[-1].detach()
        total = out + sum(per_node(out)(top[k]) * d for k, d in enumerate(accepted))
    loss = F.mse_loss(torch.tanh(total), target)
    (error,) = torch.autograd.grad(loss, out)  # dL/d(neuron output): the same through every sum term

    candidate = dm.candidate_module[0]
    weight = candidate.weight.detach().clone().requires_grad_(True)
    bias = candidate.bias.detach().clone().requires_grad_(True)
    skip = dm.dendrites_to_candidates[0].detach().clone().requires_grad_(True)
    value = layer_fn(candidate, weight, bias)(x)
    for k, d in enumerate(accepted):
        value = value + per_node(value)(skip[k]) * d
    v = sig(value)
    dims = [d for d in range(v.dim()) if d != 1]
    vc = v - v.mean(dims, keepdim=True)
    ec = error - error.mean(dims, keepdim=True)
    covariance = (vc * ec).sum(dims)
    count = v.numel() / v.shape[1]
    pearson = (covariance / count) / ((vc.pow(2).sum(dims) / count).sqrt() * (ec.pow(2).sum(dims) / count).sqrt())
    objective = covariance.abs().sum()
    grads = torch.autograd.grad(-objective, [weight, bias, skip], allow_unused=True)
    expected = {"weight": grads[0], "bias": grads[1]}
    if accepted:
        expected["skip"] = grads[2]
    return covariance.detach(), pearson.detach(), expected


def candidate_tensors(neuron_module):
    dm = neuron_module.dendrite_module
    tensors = {"weight": dm.candidate_module[0].weight, "bias": dm.candidate_module[0].bias}
    if dm.num_dendrites:
        tensors["skip"] = dm.dendrites_to_candidates[0]
    return {name: t.detach().clone() for name, t in tensors.items()}


@pytest.mark.parametrize("kind", ["linear", "conv1d"])
@pytest.mark.parametrize("accepted", [0, 2])
def test_candidate_step_is_the_gradient_of_the_covariance_magnitude(kind, accepted):
    """Two ordinary iterations: each moves the candidate by minus the gradient of -sum_o |cov_o|
    of its own batch, and the stored covariance and Pearson correlation follow the hand values
    (arithmetic mean over the first batches)."""
    neuron_module, optimizer, x, generator = wrapped(kind, accepted, seed=5)
    values = neuron_module.dendrite_module.dendrite_values[0]
    covariances, pearsons = [], []
    for step in range(2):
        if step:
            x = torch.randn(x.shape, generator=generator, dtype=torch.float64)
        target = torch.rand(neuron_module.main_module(x).shape, generator=generator, dtype=torch.float64) - 0.5
        covariance, pearson, expected = reference(neuron_module, x, target)
        covariances.append(covariance)
        pearsons.append(pearson)
        before = candidate_tensors(neuron_module)
        optimizer.zero_grad()
        F.mse_loss(torch.tanh(neuron_module(x)), target).backward()
        optimizer.step()
        after = candidate_tensors(neuron_module)
        assert before.keys() == expected.keys()
        for name in expected:
            torch.testing.assert_close(before[name] - after[name], expected[name], rtol=1e-6, atol=1e-10,
                                       msg=f"step {step}, {name}")
        torch.testing.assert_close(values.current_batch_pearson.reshape(-1), pearson, rtol=1e-5, atol=1e-8)
    signs = torch.cat(covariances).sign()
    assert (signs > 0).any() and (signs < 0).any()  # both branches of |.| are exercised
    running = values.prev_dendrite_candidate_correlation.reshape(-1)
    torch.testing.assert_close(running, (covariances[0] + covariances[1]) / 2, rtol=1e-5, atol=1e-8)
    torch.testing.assert_close(values.prev_dendrite_candidate_pearson.reshape(-1), (pearsons[0] + pearsons[1]) / 2,
                               rtol=1e-5, atol=1e-8)


def step_change(neuron_module, optimizer, x, target):
    """How much one training step moves each candidate tensor (before - after)."""
    before = candidate_tensors(neuron_module)
    optimizer.zero_grad()
    F.mse_loss(torch.tanh(neuron_module(x)), target).backward()
    optimizer.step()
    after = candidate_tensors(neuron_module)
    return {name: before[name] - after[name] for name in before}


def test_mean_covariance_scales_the_score_not_the_step():
    """With correlations by mean the score is the covariance over the batch size; the
    step still follows the sign of the covariance, so it is the same as by sum."""
    steps = {}
    for by_mean in (False, True):
        GDL.pc.reset()
        GDL.arb_tracker.reset()
        GDL.pc.set_candidate_lr_scale(1.0)
        GDL.pc.set_correlations_by_mean(by_mean)
        neuron_module, optimizer, x, generator = wrapped("linear", 1, seed=2)
        target = torch.rand(x.shape[0], 4, generator=generator, dtype=torch.float64) - 0.5
        covariance, _, expected = reference(neuron_module, x, target)
        steps[by_mean] = step_change(neuron_module, optimizer, x, target)
        score = neuron_module.dendrite_module.dendrite_values[0].prev_dendrite_candidate_correlation.reshape(-1)
        torch.testing.assert_close(score, covariance / x.shape[0] if by_mean else covariance, rtol=1e-5, atol=1e-9)
        for name in expected:
            torch.testing.assert_close(steps[by_mean][name], expected[name], rtol=1e-6, atol=1e-10)


def _sgd_through_factory(neuron_module):
    from dendrolab import modules_dendrolab as MDL

    return GDL.arb_tracker.setup_optimizer(neuron_module, MDL.candidate_lr_optimizer, optimizer="SGD", lr=0.4)


def _sgd_class(neuron_module):
    return GDL.arb_tracker.setup_optimizer(neuron_module, torch.optim.SGD, lr=0.4)


@pytest.mark.parametrize("build", [_sgd_class, _sgd_through_factory], ids=["optimizer class", "factory"])
def test_candidate_learning_rate_scales_only_the_candidates(build):
    """Through the tracker's own optimizer construction (any torch.optim class) or the
    candidate_lr_optimizer factory, the candidates step at lr x candidate_lr_scale (p mode) and
    the neurons at lr (n mode), each by the gradient computed by hand."""
    GDL.pc.set_candidate_lr_scale(2.5)
    neuron_module, _, x, generator = wrapped("linear", 1, seed=4)
    optimizer = build(neuron_module)
    assert [g["lr"] for g in optimizer.param_groups] == [1.0]  # p mode keeps the candidate group only
    target = torch.rand(x.shape[0], 4, generator=generator, dtype=torch.float64) - 0.5
    _, _, expected = reference(neuron_module, x, target)
    change = step_change(neuron_module, optimizer, x, target)
    for name in expected:
        torch.testing.assert_close(change[name], 1.0 * expected[name], rtol=1e-6, atol=1e-10)

    GDL.arb_tracker.member_vars["mode"] = "n"
    neuron_module.dendrite_module.mode = "n"
    optimizer = build(neuron_module)
    assert [g["lr"] for g in optimizer.param_groups] == [0.4]
    weight = neuron_module.main_module.weight.detach().clone().requires_grad_(True)
    main = neuron_module.main_module
    dm = neuron_module.dendrite_module
    with torch.no_grad():
        dendrite = torch.sigmoid(dm.layers[0](x))
    total = F.linear(x, weight, main.bias.detach()) + neuron_module.dendrites_to_top[-1].detach()[0] * dendrite
    (grad,) = torch.autograd.grad(F.mse_loss(torch.tanh(total), target), weight)
    start = main.weight.detach().clone()
    optimizer.zero_grad()
    F.mse_loss(torch.tanh(neuron_module(x)), target).backward()
    optimizer.step()
    torch.testing.assert_close(start - main.weight.detach(), 0.4 * grad, rtol=1e-6, atol=1e-10)


def test_candidate_learning_rate_scale_uses_the_class_default_rate_and_leaves_factories_alone():
    """Without an lr argument the candidates' group starts from the class's own default rate;
    a callable that is not a torch.optim class gets the parameters as they are."""
    from dendrolab.tracker_dendrolab import parameter_groups

    GDL.pc.set_candidate_lr_scale(3.0)
    neuron_module, _, _, _ = wrapped("linear", 1, seed=4)
    groups = parameter_groups(neuron_module.parameters(), torch.optim.RMSprop, {})
    candidates = [p for p in neuron_module.parameters() if getattr(p, "parameter_type", None) == "candidate"]
    assert [len(g["params"]) for g in groups] == [len(list(neuron_module.parameters())) - len(candidates),
                                                 len(candidates)]
    assert groups[1]["lr"] == pytest.approx(3.0 * 1e-2)  # RMSprop's default lr is 0.01
    assert isinstance(parameter_groups(neuron_module.parameters(), lambda params: None, {"lr": 1.0})[0],
                      torch.nn.Parameter)


def test_the_trackers_optimizer_takes_the_foreach_path_with_the_per_tensor_loops_result():
    """A torch.optim class gets foreach=True unless the caller chose foreach, fused or
    differentiable; Adam on a neuron with dendrites then steps exactly as torch's per-tensor
    loop does, in both modes."""
    from dendrolab.tracker_dendrolab import with_foreach

    assert with_foreach(torch.optim.Adam, {"lr": 0.1}) == {"lr": 0.1, "foreach": True}
    for chosen in ({"foreach": False}, {"fused": True}, {"differentiable": True}):
        assert with_foreach(torch.optim.Adam, chosen) == chosen
    assert with_foreach(torch.optim.LBFGS, {}) == {}  # no foreach path to take

    class ElsewhereAdam(torch.optim.Adam):
        pass
    assert with_foreach(ElsewhereAdam, {}) == {}  # another library's optimizer keeps its defaults

    def factory(params, **kwargs):
        return torch.optim.SGD(params, **kwargs)
    assert with_foreach(factory, {"lr": 1.0}) == {"lr": 1.0}

    def train(**choice):
        GDL.arb_tracker.reset()
        neuron_module, _, x, generator = wrapped("linear", 3, seed=5)
        target = torch.rand(x.shape[0], 4, generator=generator, dtype=torch.float64) - 0.5
        for mode in ("p", "n"):
            GDL.arb_tracker.member_vars["mode"] = mode
            neuron_module.dendrite_module.mode = mode
            optimizer = GDL.arb_tracker.setup_optimizer(neuron_module, torch.optim.Adam, lr=0.05, **choice)
            assert optimizer.defaults["foreach"] is (choice.get("foreach", True))
            for _ in range(3):
                optimizer.zero_grad()
                F.mse_loss(torch.tanh(neuron_module(x)), target).backward()
                optimizer.step()
        return {name: t.detach().clone() for name, t in neuron_module.state_dict().items()}

    default, per_tensor = train(), train(foreach=False)
    GDL.arb_tracker.reset()
    initial = wrapped("linear", 3, seed=5)[0].state_dict()
    assert any(not torch.equal(initial[name], value) for name, value in per_tensor.items() if "candidate" in name)
    assert any(not torch.equal(initial[name], value) for name, value in per_tensor.items() if "dendrites_to" in name)
    for name, value in per_tensor.items():
        assert torch.equal(default[name], value), name


def test_the_candidate_rate_scale_shrinks_with_the_steps_of_an_epoch():
    """The scale is for one step per epoch: the tracker divides it by the steps it counted in
    the last epoch (not below 1); a scale of 1 or below is kept."""
    from dendrolab.tracker_dendrolab import candidate_rate_scale

    assert [candidate_rate_scale(10.0, k) for k in (None, 1, 4, 10, 23)] == [10.0, 10.0, 2.5, 1.0, 1.0]
    assert candidate_rate_scale(0.5, 4) == 0.5 and candidate_rate_scale(1.0, 1) == 1.0

    GDL.pc.set_candidate_lr_scale(10.0)
    GDL.pc.set_silent(True)
    lrs = {}
    for batches in (1, 4):
        GDL.arb_tracker.reset()
        torch.manual_seed(0)
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 2)))
        tracker = GDL.arb_tracker
        optimizer = tracker.setup_optimizer(model, torch.optim.SGD, lr=0.1)
        for _ in range(batches):  # one n-mode epoch of `batches` steps
            optimizer.zero_grad()
            F.mse_loss(model(torch.randn(4, 3)), torch.zeros(4, 2)).backward()
            optimizer.step()
        tracker._epoch_end(0.5, model)
        tracker._switch_to_p()
        lrs[batches] = [group["lr"] for group in tracker.optimizer.param_groups]
        assert tracker.steps_per_epoch == batches
    assert lrs == {1: [pytest.approx(1.0)], 4: [pytest.approx(0.25)]}


def test_a_schedule_carried_across_a_mode_switch_keeps_the_candidates_scale():
    """StepLR halves the rate each epoch; the candidates' optimizer built at the switch to p
    mode starts at the rate the schedule reached, times the candidates' scale, and the n-mode
    optimizer after it at the schedule's rate alone."""
    GDL.pc.set_candidate_lr_scale(10.0)
    GDL.pc.set_silent(True)
    torch.manual_seed(0)
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(3, 2)))
    tracker = GDL.arb_tracker
    optimizer = tracker.setup_optimizer(model, torch.optim.SGD, lr=0.1)
    tracker.setup_scheduler(torch.optim.lr_scheduler.StepLR, step_size=1, gamma=0.5)
    optimizer.zero_grad()
    F.mse_loss(model(torch.randn(4, 3)), torch.zeros(4, 2)).backward()
    optimizer.step()
    tracker.scheduler.step()  # 0.1 -> 0.05
    tracker._epoch_end(0.5, model)  # one step per epoch: the full scale applies
    tracker._switch_to_p()
    assert [g["lr"] for g in tracker.optimizer.param_groups] == [pytest.approx(0.5)]
    tracker.scheduler.step()  # 0.05 -> 0.025, the candidates 0.5 -> 0.25
    assert [g["lr"] for g in tracker.optimizer.param_groups] == [pytest.approx(0.25)]
    tracker._switch_to_n()
    assert [g["lr"] for g in tracker.optimizer.param_groups] == [pytest.approx(0.025)]
