"""The candidate correlation kernels against straightforward PyTorch references.

Each kernel takes a whole candidate pool ([C, *S] outputs, one shared neuron error [*S])
and has two implementations: a composite of ATen operations, used whenever autograd has to
see the computation, and plain loops over CPU memory, used for float and double CPU tensors
without a graph. Both are compared here with a reference written candidate by candidate
with torch's own reductions, over shapes that include a single element, odd sizes and
4-D convolution outputs; the composite's gradients are checked with gradcheck.

The learning step built on them is compared with the slot-by-slot path it replaces: the
same network trained through both ends with the same candidate weights and statistics.
"""
import contextlib
import copy
import functools
import math

import pytest
import torch
from torch import nn
from torch.nn import functional as F
from torch.nn.utils import parametrize
from torch.overrides import TorchFunctionMode

from dendrograd import modules_dgr as MDG
from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL

from test_learning import set_p_mode

# (candidates, shape of one output, reduced dims, node dimension)
SHAPES = [
    (1, (1, 1), (0,), 1),            # a single element
    (3, (7, 5), (0,), 1),            # Linear, odd sizes
    (2, (4, 3, 5, 6), (0, 2, 3), 1),  # Conv2d
    (4, (3, 5, 2), (0, 2), 1),        # Conv1d
    (2, (5, 3), (1,), 0),             # node dimension first
    (2, (6,), (), None),              # everything reduced
]


def view_of(shape, dims, node):
    """The broadcast shape the add-on uses: -1 at the node dimension, 1 where reduced."""
    return [-1 if d == node else (1 if d in dims or not dims else shape[d]) for d in range(len(shape))]


def keepdim(value, shape, dims):
    """A per-node value reshaped to broadcast over one output (reduced dims kept as 1)."""
    reduced = dims or tuple(range(len(shape)))
    return value.reshape([1 if d in reduced else s for d, s in enumerate(shape)])


def reference_statistics(outs, error, dims, by_mean=False, normalized=False, average_outs=None, average_error=None):
    """Candidate by candidate, with torch's mean and sum."""
    reduced = dims or tuple(range(error.dim()))
    count = math.prod(error.shape[d] for d in reduced)
    centred_error = error - error.mean(reduced, keepdim=True)
    error_std = centred_error.pow(2).mean(reduced).sqrt().clamp_min(1e-8)
    outs_mean, covariance, pearson = [], [], []
    for c in range(outs.shape[0]):
        out = outs[c]
        centred_out = out - out.mean(reduced, keepdim=True)
        centred = (centred_out * centred_error).sum(reduced)
        if average_outs is not None:
            around = ((out - keepdim(average_outs[c], out.shape, dims))
                      * (error - keepdim(average_error[c], out.shape, dims))).sum(reduced)
        else:
            around = centred
        score = around / count if by_mean else around
        if normalized:
            score = score / error_std
        outs_mean.append(out.mean(reduced))
        covariance.append(score)
        pearson.append(centred / count / (error_std * centred_out.pow(2).mean(reduced).sqrt().clamp_min(1e-8)))
    return (error.sum(reduced), error.mean(reduced), torch.stack(outs_mean), torch.stack(covariance),
            torch.stack(pearson))


def pool(case, dtype=torch.float64, seed=0):
    candidates, shape, dims, node = case
    g = torch.Generator().manual_seed(seed)
    outs = torch.randn((candidates,) + shape, generator=g, dtype=dtype)
    error = torch.randn(shape, generator=g, dtype=dtype)
    return outs, error, list(dims), view_of(shape, dims, node)


def running_averages(outs, error, dims, seed=1):
    g = torch.Generator().manual_seed(seed)
    nodes = error.sum(dims or tuple(range(error.dim()))).shape
    return (torch.randn((outs.shape[0],) + nodes, generator=g, dtype=outs.dtype),
            torch.randn((outs.shape[0],) + nodes, generator=g, dtype=outs.dtype))


OPTIONS = [dict(), dict(by_mean=True), dict(normalized=True), dict(running=True), dict(running=True, by_mean=True)]


def options_for(option, outs, error, dims):
    kwargs = {k: v for k, v in option.items() if k != "running"}
    if option.get("running"):
        kwargs["average_outs"], kwargs["average_error"] = running_averages(outs, error, dims)
    return kwargs


@pytest.mark.parametrize("case", SHAPES, ids=lambda c: f"C{c[0]}-{'x'.join(map(str, c[1]))}")
@pytest.mark.parametrize("option", OPTIONS, ids=lambda o: "+".join(o) or "plain")
@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
def test_statistics_match_the_reference_in_both_implementations(case, option, dtype):
    outs, error, dims, view = pool(case, dtype)
    kwargs = options_for(option, outs, error, dims)
    expected = reference_statistics(outs.double(), error.double(), dims,
                                    **{k: (v.double() if torch.is_tensor(v) else v) for k, v in kwargs.items()})
    tolerance = dict(rtol=1e-4, atol=1e-5) if dtype == torch.float32 else dict(rtol=1e-10, atol=1e-12)
    with torch.no_grad():  # the loop kernels
        loops = MDG.correlation_statistics(outs, error, dims, view, **kwargs)
    composite = MDG.correlation_statistics(outs.clone().requires_grad_(), error, dims, view, **kwargs)
    names = ("error_sum", "error_mean", "outs_mean", "covariance", "pearson")
    for name, want, got_loops, got_composite in zip(names, expected, loops, composite):
        assert got_loops.dtype == dtype and got_loops.shape == want.shape, name
        torch.testing.assert_close(got_loops.double(), want, **tolerance, msg=f"loops: {name}")
        torch.testing.assert_close(got_composite.detach().double(), want, **tolerance, msg=f"composite: {name}")


@pytest.mark.parametrize("case", [c for c in SHAPES if math.prod(c[1]) > 1],
                         ids=lambda c: f"C{c[0]}-{'x'.join(map(str, c[1]))}")
@pytest.mark.parametrize("option", OPTIONS, ids=lambda o: "+".join(o) or "plain")
def test_statistics_gradcheck(case, option):
    outs, error, dims, view = pool(case)
    kwargs = options_for(option, outs, error, dims)
    outs.requires_grad_()
    error.requires_grad_()

    def covariance_and_pearson(o, e):
        stats = MDG.correlation_statistics(o, e, dims, view, **kwargs)
        return stats[3], stats[4]

    assert torch.autograd.gradcheck(covariance_and_pearson, (outs, error))


@pytest.mark.parametrize("case", SHAPES, ids=lambda c: f"C{c[0]}-{'x'.join(map(str, c[1]))}")
@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
def test_gradient_is_the_steepest_ascent_of_the_covariance_magnitude(case, dtype):
    """With batch-centred sums, -d/d(outs) of sum |covariance| is -sign(cov) * (error - mean error)."""
    outs, error, dims, view = pool(case, dtype)
    reduced = tuple(dims) or tuple(range(error.dim()))
    o = outs.double().requires_grad_()
    covariance = torch.stack([((o[c] - o[c].mean(reduced, keepdim=True))
                               * (error.double() - error.double().mean(reduced, keepdim=True))).sum(reduced)
                              for c in range(o.shape[0])])
    (ascent,) = torch.autograd.grad(-covariance.abs().sum(), o)
    stats = MDG.correlation_statistics(outs, error, dims, view)
    tolerance = dict(rtol=1e-5, atol=1e-5) if dtype == torch.float32 else {}
    with torch.no_grad():
        loops = MDG.correlation_gradient(error, stats[1], stats[3], dims, view)
    composite = MDG.correlation_gradient(error.clone().requires_grad_(), stats[1], stats[3], dims, view)
    assert loops.shape == outs.shape and loops.dtype == dtype
    torch.testing.assert_close(loops.double(), ascent, **tolerance)
    torch.testing.assert_close(composite.detach().double(), ascent, **tolerance)


def test_gradient_with_running_centres_and_a_zero_score():
    outs, error, dims, view = pool(SHAPES[2])
    _, centre = running_averages(outs, error, dims)
    score = torch.randn_like(centre)
    score[0, 1] = 0.0  # no direction yet: no gradient for that node
    expected = torch.stack([-score[c].sign().view(1, -1, 1, 1) * (error - centre[c].view(1, -1, 1, 1))
                            for c in range(score.shape[0])])
    with torch.no_grad():
        got = MDG.correlation_gradient(error, centre, score, dims, view)
    torch.testing.assert_close(got, expected, rtol=0, atol=0)
    assert torch.all(got[0, :, 1] == 0)


def test_folds_and_best_scores():
    g = torch.Generator().manual_seed(3)
    stored = [torch.randn(4, generator=g) for _ in range(3)]
    batch = [torch.randn(4, generator=g) for _ in range(3)]
    originals = [t.clone() for t in stored]
    for got, s, b in zip(MDG.exponential_fold(stored, batch, 0.9), stored, batch):
        assert torch.equal(got, s * 0.9 + b * (1 - 0.9))
    for got, s, b in zip(MDG.arithmetic_fold(stored, batch, 3.0), stored, batch):
        torch.testing.assert_close(got, (s * 3 + b) / 4)
    assert all(torch.equal(a, b) for a, b in zip(stored, originals))  # inputs untouched

    best = torch.tensor([0.5, 0.2, -0.1, 0.3])
    score = torch.tensor([-0.7, 0.1, 0.05, 0.3])
    values, indices = MDG.best_scores(best, score)
    assert torch.equal(values, torch.tensor([0.7, 0.2, 0.05, 0.3]))
    assert torch.equal(indices, torch.tensor([1, 0, 1, 0]))  # a tie keeps the stored best
    beats = MDG.beats_by_margins(torch.tensor([1.0, 1.0, 1.0]), torch.tensor([0.5, 0.89, 0.95]), 0.1, 0.01)
    assert beats.tolist() == [True, True, False]


def test_bad_shapes_are_named():
    outs, error, dims, view = pool(SHAPES[1])
    with pytest.raises(ValueError, match=r"error must have the shape of one candidate's output \[7, 5\], got \[5, 7\]"):
        MDG.correlation_statistics(outs, error.t(), dims, view)
    with pytest.raises(ValueError, match=r"dims must lie in \[-2, 2\), got \[2\]"):
        MDG.correlation_statistics(outs, error, [2], view)
    with pytest.raises(ValueError, match="average_outs and average_error go together"):
        MDG.correlation_statistics(outs, error, dims, view, average_outs=torch.zeros(3, 5))
    with pytest.raises(ValueError, match="view must have one entry per dimension"):
        MDG.correlation_gradient(error, torch.zeros(5), torch.zeros(3, 5), dims, [1, -1, 1])


# ---- the pooled learning step against the slot-by-slot one -------------------------------------

def slot_by_slot(values):
    """A loss function that sends every slot through the slot-by-slot learning step."""
    MDG.calculate_and_backwards_dendrite_loss(values)


def train_candidates(kind, candidates, accepted, per_slot, running=False, accumulate=1, steps=4, prepare=None,
                     **sgd_options):
    GDL.pc.reset()
    GDL.arb_tracker.reset()
    GDL.pc.set_silent(True)
    GDL.pc.set_d_type(torch.float64)
    GDL.pc.set_global_candidates(candidates)
    GDL.pc.set_running_average_dg(running)
    torch.manual_seed(0)
    if kind == "linear":
        network, x = nn.Sequential(nn.Linear(5, 4), nn.Tanh(), nn.Linear(4, 3)), torch.randn(8, 5)
    else:
        network, x = nn.Sequential(nn.Conv2d(2, 3, 3), nn.Tanh(), nn.Flatten(), nn.Linear(3 * 4 * 4, 3)), \
            torch.randn(6, 2, 6, 6)
    network = UDL.initialize_arb(network.double())
    for _ in range(accepted):
        for neuron_module in GDL.arb_tracker.neuron_module_vector:
            neuron_module.accept_best_candidate()
    set_p_mode()
    if prepare:
        prepare()
    optimizer = GDL.arb_tracker.setup_optimizer(network, torch.optim.SGD, lr=0.5, **sgd_options)
    x, y = x.double(), torch.randint(0, 3, (x.shape[0],))
    MDG.dendrite_loss_fn = slot_by_slot if per_slot else None
    try:
        for step in range(steps):
            optimizer.zero_grad()
            for part in range(accumulate):
                F.cross_entropy(network(x[part::accumulate] * (step + 1)), y[part::accumulate]).backward()
            optimizer.step()
    finally:
        MDG.dendrite_loss_fn = None
    state = {}
    for m, neuron_module in enumerate(GDL.arb_tracker.neuron_module_vector):
        dm = neuron_module.dendrite_module
        for name, tensor in dm.candidate_module.state_dict().items():
            state[f"{m}.candidate.{name}"] = tensor.clone()
        for i, values in enumerate(dm.dendrite_values):
            for name in ("prev_dendrite_candidate_average", "prev_dendrite_candidate_correlation",
                         "prev_dendrite_candidate_pearson", "normal_pass_average_d", "initialized",
                         "current_batch_pearson"):
                state[f"{m}.{i}.{name}"] = getattr(values, name).clone()
        if accepted:
            state[f"{m}.skip"] = torch.stack(list(dm.dendrites_to_candidates)).clone()
    return state


@pytest.mark.parametrize("kind,candidates,accepted,running,accumulate", [
    ("linear", 3, 0, False, 1),
    ("linear", 2, 1, False, 2),  # accepted dendrite feeding the candidates; gradient accumulation
    ("linear", 3, 0, True, 1),   # centred on running averages
    ("conv", 2, 1, False, 1),
    ("conv", 1, 0, False, 2),
])
def test_pool_step_equals_the_slot_by_slot_step(kind, candidates, accepted, running, accumulate):
    pooled = train_candidates(kind, candidates, accepted, per_slot=False, running=running, accumulate=accumulate)
    per_slot = train_candidates(kind, candidates, accepted, per_slot=True, running=running, accumulate=accumulate)
    assert pooled.keys() == per_slot.keys()
    initial = train_candidates(kind, candidates, accepted, per_slot=False, running=running, steps=0)
    moved = [k for k in pooled if ".candidate." in k and not torch.equal(pooled[k], initial[k])]
    assert moved, "the candidates did not learn, so the comparison would prove nothing"
    for key in pooled:
        torch.testing.assert_close(pooled[key], per_slot[key], rtol=1e-9, atol=1e-12, msg=key)


# ---- a module's candidates as one product -------------------------------------------------------

def layer_parameters(count, weight_shape, bias):
    weights = [torch.randn(*weight_shape, dtype=torch.float64, requires_grad=True) for _ in range(count)]
    biases = [torch.randn(weight_shape[0], dtype=torch.float64, requires_grad=True) for _ in range(count)] if bias else []
    return weights, biases


def assert_same_outputs_and_gradients(stacked, reference, inputs):
    assert [o.shape for o in stacked] == [r.shape for r in reference]
    for out, ref in zip(stacked, reference):
        torch.testing.assert_close(out, ref)
    cotangents = [torch.randn_like(r) for r in reference]
    got = torch.autograd.grad(stacked, inputs, cotangents)
    want = torch.autograd.grad(reference, inputs, cotangents)
    for g, w in zip(got, want):
        torch.testing.assert_close(g, w)


@pytest.mark.parametrize("input_shape,out,count,bias", [
    ((5,), 3, 3, True),         # unbatched input
    ((7, 5), 1, 4, True),       # one output node per candidate
    ((2, 3, 5), 4, 2, False),   # an extra leading dimension, no bias
    ((1, 1), 1, 1, True),       # one element, one candidate
])
def test_stacked_linear_equals_the_layers_one_by_one(input_shape, out, count, bias):
    x = torch.randn(*input_shape, dtype=torch.float64, requires_grad=True)
    weights, biases = layer_parameters(count, (out, input_shape[-1]), bias)
    stacked = MDG.stacked_linear(x, weights, biases)
    reference = [F.linear(x, w, biases[c] if bias else None) for c, w in enumerate(weights)]
    assert_same_outputs_and_gradients(stacked, reference, [x, *weights, *biases])
    assert torch.autograd.gradcheck(lambda x, *p: tuple(MDG.stacked_linear(x, list(p[:count]), list(p[count:]))),
                                    (x, *weights, *biases))


CONVOLUTIONS = {1: F.conv1d, 2: F.conv2d, 3: F.conv3d}


@pytest.mark.parametrize("input_shape,out,kernel,stride,padding,dilation,count,bias", [
    ((2, 2, 7), 3, (3,), (2,), (1,), (1,), 2, True),
    ((3, 2, 5, 6), 2, (3, 2), (1, 2), (1, 0), (2, 1), 3, True),   # odd geometry per dimension
    ((2, 5, 5), 3, (3, 3), (1, 1), (0, 0), (1, 1), 2, False),     # unbatched, no bias
    ((1, 1, 4, 4, 4), 1, (2, 2, 2), (1, 1, 1), (1, 1, 1), (1, 1, 1), 2, True),
])
def test_stacked_convolution_equals_the_layers_one_by_one(input_shape, out, kernel, stride, padding, dilation,
                                                          count, bias):
    spatial = len(kernel)
    channels = input_shape[-spatial - 1]
    x = torch.randn(*input_shape, dtype=torch.float64, requires_grad=True)
    weights, biases = layer_parameters(count, (out, channels, *kernel), bias)
    geometry = (list(stride), list(padding), list(dilation))
    stacked = MDG.stacked_convolution(x, weights, biases, *geometry)
    conv = CONVOLUTIONS[spatial]
    reference = [conv(x, w, biases[c] if bias else None, stride, padding, dilation) for c, w in enumerate(weights)]
    assert_same_outputs_and_gradients(stacked, reference, [x, *weights, *biases])
    assert torch.autograd.gradcheck(
        lambda x, *p: tuple(MDG.stacked_convolution(x, list(p[:count]), list(p[count:]), *geometry)),
        (x, *weights, *biases))


def dendrite_terms_one_by_one(outs, weights, dendrite_outs, row_view):
    """Each candidate's sum on its own, as a module without the pooled path computes it."""
    sums = []
    for out, weight in zip(outs, weights):
        for k, dendrite_out in enumerate(dendrite_outs):
            row = weight[k] if row_view is None else weight[k].view(row_view)
            out = out + row * dendrite_out
        sums.append(out)
    return sums


@pytest.mark.parametrize("out_shape,rows,row_view,candidates,dendrites", [
    ((194, 1), 1, [1, -1], 8, 1),           # one output unit (the cascor network)
    ((9, 4), 6, [1, -1], 3, 5),             # more weight rows than accepted dendrites
    ((2, 5, 4), 3, [1, 1, -1], 2, 3),       # a sequence of linear outputs
    ((2, 3, 4, 4), 2, [1, -1, 1, 1], 4, 2),  # convolution channels
    ((6, 4), 2, None, 3, 2),                # rows broadcast as they are
])
def test_dendrite_terms_of_the_pool_equal_each_candidate_summed_alone(out_shape, rows, row_view, candidates,
                                                                       dendrites):
    nodes = out_shape[1] if len(out_shape) == 4 else out_shape[-1]
    outs = [torch.randn(out_shape, dtype=torch.float64, requires_grad=True) for _ in range(candidates)]
    weights = [torch.randn(rows, nodes, dtype=torch.float64, requires_grad=True) for _ in range(candidates)]
    dendrite_outs = [torch.randn(out_shape, dtype=torch.float64, requires_grad=True) for _ in range(dendrites)]
    pooled = MDG.add_dendrite_terms(outs, weights, dendrite_outs, row_view)
    reference = dendrite_terms_one_by_one(outs, weights, dendrite_outs, row_view)
    assert all(torch.equal(p, r) for p, r in zip(pooled, reference, strict=True))  # the same sums, bit for bit
    assert_same_outputs_and_gradients(pooled, reference, [*outs, *weights, *dendrite_outs])


def test_dendrite_terms_that_do_not_pool_are_left_to_each_candidate():
    out, weight, dendrite_out = torch.randn(7, 2), torch.randn(3, 2), torch.randn(7, 2)
    assert MDG.add_dendrite_terms([out, out], [weight, weight], [dendrite_out] * 3, [1, -1]) is not None
    assert MDG.add_dendrite_terms([out, out], [weight, weight], [dendrite_out] * 4, [1, -1]) is None  # 3 rows
    assert MDG.add_dendrite_terms([out, out[:, :1]], [weight, weight], [dendrite_out], [1, -1]) is None
    assert MDG.add_dendrite_terms([out, out], [weight, weight[:, :1]], [dendrite_out], [1, -1]) is None
    assert MDG.add_dendrite_terms([out], [weight], [dendrite_out], [1, 3]) is None  # 2 weights per row, not 3
    # a term that would widen the output: [7, 1] outputs with [1, 2] rows
    assert MDG.add_dendrite_terms([out[:, :1]], [weight], [dendrite_out[:, :1]], [1, -1]) is None
    assert MDG.add_dendrite_terms([], [], [dendrite_out], None) is None
    assert MDG.add_dendrite_terms([out], [weight[:0]], [], [1, -1])[0] is out  # no dendrite yet: nothing to add
    # 0-dimensional rows of double weights leave float outputs float: each candidate sums alone
    assert MDG.add_dendrite_terms([out], [torch.randn(3, dtype=torch.float64)], [dendrite_out], None) is None


def test_stacks_that_do_not_fit_are_named():
    x = torch.randn(4, 3)
    with pytest.raises(ValueError, match="weight 1 differs from weight 0"):
        MDG.stacked_linear(x, [torch.randn(2, 3), torch.randn(3, 3)], [])
    with pytest.raises(ValueError, match="2 weights but 1 biases"):
        MDG.stacked_linear(x, [torch.randn(2, 3)] * 2, [torch.randn(2)])
    with pytest.raises(ValueError, match=r"bias 0 is not a \[2\] tensor"):
        MDG.stacked_linear(x, [torch.randn(2, 3)], [torch.randn(3)])
    with pytest.raises(ValueError, match="no weights to stack"):
        MDG.stacked_linear(x, [], [])
    with pytest.raises(ValueError, match="need 2 entries each, got 1"):
        MDG.stacked_convolution(torch.randn(1, 3, 5, 5), [torch.randn(2, 3, 3, 3)], [], [1], [0, 0], [1, 1])


def graph_names(tensor):
    """Names of every node in the autograd graph behind `tensor`."""
    names, stack, seen = set(), [tensor.grad_fn], set()
    while stack:
        node = stack.pop()
        if node is None or node in seen:
            continue
        seen.add(node)
        names.add(type(node).__name__)
        stack.extend(next_node for next_node, _ in node.next_functions)
    return names


def stored_output(neuron_module):
    """The first candidate output a neuron module stored in its last forward."""
    values = neuron_module.dendrite_module.dendrite_values[0]
    return values.dendrite_outs[0][-1]


@pytest.mark.parametrize("kind", ["linear", "conv"])
def test_candidates_run_as_one_product_unless_a_hook_needs_the_call(kind):
    def forward_once(hooked):
        train_candidates(kind, 3, 0, per_slot=False, steps=0)
        first = GDL.arb_tracker.neuron_module_vector[0]
        calls = []
        if hooked:
            for candidate in first.dendrite_module.candidate_module:
                candidate.register_forward_hook(lambda *args: calls.append(1))
        x = torch.randn(6, 5) if kind == "linear" else torch.randn(6, 2, 6, 6)
        first(x.double())
        return graph_names(stored_output(first)), calls

    stacked_graph, _ = forward_once(hooked=False)
    hooked_graph, calls = forward_once(hooked=True)
    # Convolutions get one product each: stacked, they cost more on the CPU.
    assert ("StackBackward0" in stacked_graph and "UnbindBackward0" in stacked_graph) == (kind == "linear")
    assert "StackBackward0" not in hooked_graph and len(calls) == 3  # every hook ran


@pytest.mark.parametrize("kind,accumulate", [("linear", 1), ("conv", 1), ("linear", 2)])
def test_candidates_from_cpp_learn_as_the_layers_called_one_by_one(kind, accumulate):
    def hook_every_candidate():
        for neuron_module in GDL.arb_tracker.neuron_module_vector:
            for candidate in neuron_module.dendrite_module.candidate_module:
                candidate.register_forward_pre_hook(lambda module, args: None)

    options = dict(accumulate=accumulate, momentum=0.9, weight_decay=0.01)
    # Two accepted dendrites: the pooled dendrite terms against each candidate's own sum.
    stacked = train_candidates(kind, 3, 2, per_slot=False, **options)
    called = train_candidates(kind, 3, 2, per_slot=False, prepare=hook_every_candidate, **options)
    initial = train_candidates(kind, 3, 2, per_slot=False, steps=0)
    assert any(not torch.equal(stacked[k], initial[k]) for k in stacked if ".candidate." in k)
    for key in stacked:
        torch.testing.assert_close(stacked[key], called[key], rtol=1e-9, atol=1e-12, msg=key)


def test_a_slot_whose_output_is_not_finite_gets_no_gradient_from_the_shared_graph(capsys, debugger_stops):
    GDL.pc.set_silent(True)
    GDL.pc.set_d_type(torch.float64)
    GDL.pc.set_global_candidates(3)
    network = UDL.initialize_arb(nn.Sequential(nn.Linear(5, 4), nn.Tanh(), nn.Linear(4, 3)).double())
    set_p_mode()
    first = GDL.arb_tracker.neuron_module_vector[0]
    candidates = first.dendrite_module.candidate_module
    with torch.no_grad():
        candidates[1].weight[0, 0] = float("nan")
    optimizer = GDL.arb_tracker.setup_optimizer(network, torch.optim.SGD, lr=0.5, momentum=0.9)
    before = [c.weight.detach().clone() for c in candidates]
    optimizer.zero_grad()
    # One zero gradient stands in for a GradScaler's inf check; every other candidate keeps None.
    with_grad = [p for group in optimizer.param_groups for p in group["params"] if p.grad is not None]
    assert len(with_grad) == 1 and not with_grad[0].grad.any()
    x = torch.randn(8, 5, dtype=torch.float64)
    F.cross_entropy(network(x), torch.randint(0, 3, (8,))).backward()
    assert "StackBackward0" in graph_names(stored_output(first))
    optimizer.step()
    assert candidates[1].weight.grad is None and candidates[1].bias.grad is None
    torch.testing.assert_close(candidates[1].weight, before[1], equal_nan=True)
    for c in (0, 2):  # the finite slots learned
        assert candidates[c].weight.grad is not None and not torch.equal(candidates[c].weight, before[c])
    assert debugger_stops.count == 1


# ---- when the candidates must keep their own call ------------------------------------------------

class ShiftedLayers(TorchFunctionMode):
    """Adds 1 to every linear and convolution result computed under it."""

    def __torch_function__(self, func, types, args=(), kwargs=None):
        out = func(*args, **(kwargs or {}))
        return out + 1 if func in (F.linear, F.conv2d) else out


class ShiftedParameter(nn.Parameter):
    """A parameter whose linear products come out 1 higher."""

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        with torch._C.DisableTorchFunctionSubclass():
            out = func(*args, **(kwargs or {}))
        return out + 1 if func is F.linear else out


class Doubled(nn.Module):
    def forward(self, weight):
        return 2 * weight


def double_every_forward(candidates):
    for c in candidates:
        c.forward = lambda x, c=c: 2 * type(c).forward(c, x)


def shift_weights(candidates):
    for c in candidates:
        c.weight = ShiftedParameter(c.weight.detach())


@contextlib.contextmanager
def patched(owner, name, replacement):
    """`owner.name` replaced for the duration, as a user's monkeypatch would."""
    original = getattr(owner, name)
    setattr(owner, name, replacement)
    try:
        yield
    finally:
        setattr(owner, name, original)


def doubled(forward):
    """`forward` with its result doubled, wrapped as monitoring tools wrap methods."""
    @functools.wraps(forward)
    def wrapper(*args, **kwargs):
        return 2 * forward(*args, **kwargs)
    return wrapper


def shift_every_conv_forward(candidates):
    for c in candidates:
        c._conv_forward = lambda x, weight, bias, c=c: type(c)._conv_forward(c, x, weight, bias) + 1


def double_every_call_impl(candidates):
    for c in candidates:
        c._call_impl = doubled(functools.partial(nn.Module._call_impl, c))


def compile_every_candidate(candidates):
    for c in candidates:
        c.compile(backend="eager")


def reorder(candidates):
    candidates.insert(0, candidates.pop(2))  # ModuleList renumbers its entries
    del candidates[1]
    candidates.append(copy.deepcopy(candidates[0]))


LINEAR, CONV = (lambda: nn.Linear(5, 4)), (lambda: nn.Conv2d(2, 3, 3))
# (layer, change to the candidates, context around the forward, call by keyword, activation, stacked)
CANDIDATE_CALLS = {
    "plain linear": (LINEAR, None, None, False, None, True),
    "plain conv, one product each": (CONV, None, None, False, None, False),
    "large linear, one product each": (lambda: nn.Linear(200, 100), None, None, False, None, False),
    "in-place activation": (CONV, None, None, False, torch.sigmoid_, False),
    "forward replaced on the instance": (LINEAR, double_every_forward, None, False, None, False),
    "parametrized weight": (LINEAR, lambda cs: [parametrize.register_parametrization(c, "weight", Doubled())
                                                for c in cs], None, False, None, False),
    "tensor subclass weight": (LINEAR, shift_weights, None, False, None, False),
    "torch function mode": (LINEAR, None, ShiftedLayers, False, None, False),
    "module-wide hook": (LINEAR, None, lambda: nn.modules.module.register_module_forward_hook(
        lambda module, inputs, out: out + 1), False, None, False),
    "forward patched on the class": (LINEAR, None, lambda: patched(
        nn.Linear, "forward", lambda self, x: 2 * F.linear(x, self.weight, self.bias)), False, None, False),
    "layer function patched": (CONV, None, lambda: patched(
        F, "conv2d", lambda *args, **kwargs: torch.conv2d(*args, **kwargs) + 1), False, None, False),
    "forward wrapped on the class": (LINEAR, None, lambda: patched(nn.Linear, "forward", doubled(nn.Linear.forward)),
                                     False, None, False),
    "conv forward on the instance": (CONV, shift_every_conv_forward, None, False, None, False),
    "call machinery on the instance": (LINEAR, double_every_call_impl, None, False, None, False),
    "compiled candidates": (LINEAR, compile_every_candidate, None, False, None, False),
    "input by keyword": (LINEAR, None, None, True, None, False),
    "one candidate without bias": (LINEAR, lambda cs: setattr(cs[1], "bias", None), None, False, None, False),
    "renumbered candidates": (LINEAR, reorder, None, False, None, True),
    "grouped conv": (lambda: nn.Conv2d(2, 4, 3, groups=2), None, None, False, None, False),
    "reflect padding": (lambda: nn.Conv2d(2, 3, 3, padding=1, padding_mode="reflect"), None, None, False, None,
                        False),
    "padding by name": (lambda: nn.Conv2d(2, 3, 3, padding="same"), None, None, False, None, False),
}


@pytest.mark.parametrize("case", CANDIDATE_CALLS)
def test_every_candidate_output_is_what_its_own_call_gives(case):
    make_layer, change, context, by_keyword, activation, stacked = CANDIDATE_CALLS[case]
    GDL.pc.set_silent(True)
    GDL.pc.set_d_type(torch.float64)
    GDL.pc.set_global_candidates(3)
    if activation is not None:
        GDL.pc.set_arb_forward_function(activation)
    torch.manual_seed(0)
    layer = make_layer().double()
    UDL.initialize_arb(nn.Sequential(layer))
    set_p_mode()
    neuron_module = GDL.arb_tracker.neuron_module_vector[0]
    candidates = neuron_module.dendrite_module.candidate_module
    if change:
        change(candidates)
    x = torch.randn(4, layer.in_features) if isinstance(layer, nn.Linear) else torch.randn(4, 2, 6, 6)
    x = x.double()
    with context() if context else contextlib.nullcontext():
        neuron_module(input=x) if by_keyword else neuron_module(x)
        nonlinearity = activation or GDL.pc.get_arb_forward_function()
        with torch.no_grad():
            expected = [nonlinearity(c(x)) for c in candidates]
    stored = [values.dendrite_outs[0][-1] for values in neuron_module.dendrite_module.dendrite_values]
    for out, want in zip(stored, expected, strict=True):
        torch.testing.assert_close(out.detach(), want)
    assert ("StackBackward0" in graph_names(stored[0])) == stacked


# ---- a neuron with accepted dendrites, computed from C++ -------------------------------------------

def neuron_with_dendrites(layer, dendrites):
    """The first neuron module of a one-layer network, with `dendrites` accepted dendrites whose
    connection weights are random, so every term of the sum shows."""
    GDL.pc.set_silent(True)
    GDL.pc.set_d_type(torch.float64)
    torch.manual_seed(0)
    UDL.initialize_arb(nn.Sequential(layer.double()))
    neuron_module = GDL.arb_tracker.neuron_module_vector[0]
    for _ in range(dendrites):
        neuron_module.accept_best_candidate()
    with torch.no_grad():
        for weights in [*neuron_module.dendrites_to_dendrites, *neuron_module.dendrites_to_top]:
            weights.copy_(torch.randn_like(weights))
        for dendrite in neuron_module.dendrite_module.layers:
            for parameter in dendrite.parameters():
                parameter.copy_(torch.randn_like(parameter))
    return neuron_module


def dendrite_by_dendrite(neuron_module, x):
    """The neuron's output with each dendrite's value summed on its own, earlier dendrite by
    earlier dendrite: the order the deployed and block forms use."""
    view = neuron_module.view_tuple_for(neuron_module.main_module(x))
    f = GDL.pc.get_arb_forward_function()
    outs = []
    for k, layer in enumerate(neuron_module.dendrite_module.layers):
        value = layer(x)
        for j, earlier in enumerate(outs):
            value = value + neuron_module.dendrites_to_dendrites[k + 1][j].view(view) * earlier
        outs.append(f(value))
    out = neuron_module.main_module(x)
    for k, value in enumerate(outs):
        out = out + neuron_module.dendrites_to_top[-1][k].view(view) * value
    return out, outs


@pytest.mark.parametrize("layer,x_shape,dendrites", [
    (nn.Linear(5, 4), (6, 5), 3), (nn.Linear(2, 1), (9, 2), 7), (nn.Conv2d(2, 3, 3, padding=1), (2, 2, 5, 5), 3)])
def test_accepted_dendrites_from_cpp_equal_the_layer_calls_bit_for_bit(layer, x_shape, dendrites):
    neuron_module = neuron_with_dendrites(layer, dendrites)
    x = torch.randn(*x_shape, dtype=torch.float64, requires_grad=True)
    parameters = [x, *neuron_module.parameters()]
    parameters = [p for p in parameters if p.requires_grad]

    def outputs_and_gradients(forward):
        out, dendrite_outs, view_tuple = forward(x)
        gradients = torch.autograd.grad(out.square().sum(), parameters, allow_unused=True)
        return out, dendrite_outs, view_tuple, gradients

    got = outputs_and_gradients(lambda x: MDG.accepted_forward(neuron_module, x))
    want = outputs_and_gradients(neuron_module.forward_with_dendrites)
    assert torch.equal(got[0], want[0]) and got[2] == want[2]
    assert len(got[1]) == len(want[1]) == dendrites and all(torch.equal(g, w) for g, w in zip(got[1], want[1]))
    assert any(g is not None for g in got[3])
    for g, w in zip(got[3], want[3], strict=True):
        assert (g is None and w is None) or torch.equal(g, w)
    # The column-by-column sums are the dendrite-by-dendrite ones, element for element.
    reference = dendrite_by_dendrite(neuron_module, x)
    assert torch.equal(got[0], reference[0]) and all(torch.equal(g, r) for g, r in zip(got[1], reference[1]))
    reference_gradients = torch.autograd.grad(reference[0].square().sum(), parameters, allow_unused=True)
    for g, r in zip(got[3], reference_gradients, strict=True):
        if r is None:  # the first dendrite's empty row block: no weight, no gradient
            assert g is None or g.count_nonzero() == 0
        else:
            torch.testing.assert_close(g, r, rtol=1e-12, atol=1e-12)

    neuron_module.dendrite_module.layers[1].register_forward_hook(lambda module, inputs, out: out * 2)
    assert MDG.accepted_forward(neuron_module, x) is None  # the hook needs the call
    torch.testing.assert_close(neuron_module(x), neuron_module.forward_with_dendrites(x)[0])


@pytest.mark.parametrize("activation", [torch.sigmoid, lambda value: value.sigmoid_()], ids=["sigmoid", "in place"])
def test_candidates_of_a_neuron_with_dendrites_sum_each_dendrite_in(activation):
    """Each candidate's stored output is the nonlinearity of its layer plus every accepted
    dendrite's output times its own connection, computed by hand; an activation that works in
    place on its input gets sums of its own (the pooled ones share one result)."""
    neuron_module = neuron_with_dendrites(nn.Linear(5, 4), 3)
    GDL.pc.set_arb_forward_function(activation)
    set_p_mode()
    dm = neuron_module.dendrite_module
    with torch.no_grad():
        for weights in dm.dendrites_to_candidates:
            weights.copy_(torch.randn_like(weights))
    x = torch.randn(6, 5, dtype=torch.float64)
    neuron_module(x)
    with torch.no_grad():
        accepted = dendrite_by_dendrite(neuron_module, x)[1]
        for slot, values in enumerate(dm.dendrite_values):
            value = dm.candidate_module[slot](x)
            for k, earlier in enumerate(accepted):
                value = value + dm.dendrites_to_candidates[slot][k].view(1, -1) * earlier
            torch.testing.assert_close(values.dendrite_outs[0][-1].detach(), torch.sigmoid(value), rtol=1e-12, atol=0)
    pooled = "UnbindBackward0" in graph_names(dm.dendrite_values[0].dendrite_outs[0][-1])
    assert pooled == (activation is torch.sigmoid)


class RecordingParameter(nn.Parameter):
    """A parameter that notes every torch function called on it."""
    calls = []

    @classmethod
    def __torch_function__(cls, func, types, args=(), kwargs=None):
        cls.calls.append(func)
        with torch._C.DisableTorchFunctionSubclass():
            return func(*args, **(kwargs or {}))


def record_weights_into_the_neuron(neuron_module):
    weights = neuron_module.dendrites_to_top[-1]
    neuron_module.dendrites_to_top[-1] = RecordingParameter(weights.detach(), requires_grad=weights.requires_grad)


def record_the_nonlinearity(neuron_module):
    def activation(value):
        return torch.tanh(value).as_subclass(RecordingParameter)
    GDL.pc.set_arb_forward_function(activation)


@pytest.mark.parametrize("change", [record_weights_into_the_neuron, record_the_nonlinearity])
def test_tensor_subclasses_in_the_dendrite_sum_keep_their_own_ops(change):
    neuron_module = neuron_with_dendrites(nn.Linear(5, 4), 2)
    change(neuron_module)
    x = torch.randn(6, 5, dtype=torch.float64)
    assert MDG.accepted_forward(neuron_module, x) is None
    RecordingParameter.calls.clear()
    torch.testing.assert_close(neuron_module(x), neuron_module.forward_with_dendrites(x)[0])
    assert RecordingParameter.calls  # the sum ran through the subclass


def double_the_instance_sum(neuron_module):
    own = neuron_module.forward_with_dendrites

    def forward_with_dendrites(*args, **kwargs):
        out, dendrite_outs, view_tuple = own(*args, **kwargs)
        return 2 * out, dendrite_outs, view_tuple
    neuron_module.forward_with_dendrites = forward_with_dendrites
    return contextlib.nullcontext()


SUM_CHANGES = {
    "Linear.forward wrapped on the class": lambda nm: patched(nn.Linear, "forward", doubled(nn.Linear.forward)),
    "dendrite sum replaced on the class": lambda nm: patched(
        MDL.ARBNeuronModule, "forward_with_dendrites", doubled_sum(MDL.ARBNeuronModule.forward_with_dendrites)),
    "dendrite outputs replaced on the instance": lambda nm: patched(
        nm.dendrite_module, "accepted_outputs", lambda *args, **kwargs: [
            3 * value for value in MDL.DendriteModule.accepted_outputs(nm.dendrite_module, *args, **kwargs)]),
    "dendrite sum replaced on the instance": double_the_instance_sum,
}


def doubled_sum(forward_with_dendrites):
    def replaced(self, *args, **kwargs):
        out, dendrite_outs, view_tuple = forward_with_dendrites(self, *args, **kwargs)
        return 2 * out, dendrite_outs, view_tuple
    return replaced


@pytest.mark.parametrize("change", SUM_CHANGES)
def test_a_neuron_with_dendrites_runs_what_was_patched_in(change):
    neuron_module = neuron_with_dendrites(nn.Linear(5, 4), 2)
    x = torch.randn(6, 5, dtype=torch.float64)
    unchanged = neuron_module(x)
    with SUM_CHANGES[change](neuron_module):
        changed = neuron_module(x)
        expected = neuron_module.forward_with_dendrites(x)[0]
    assert not torch.allclose(changed, unchanged)
    torch.testing.assert_close(changed, expected)


def test_a_compiled_neuron_with_dendrites_traces_its_layer_calls():
    neuron_module = neuron_with_dendrites(nn.Linear(5, 4), 2)
    x = torch.randn(6, 5, dtype=torch.float64)
    compiled = torch.compile(neuron_module, backend="eager", fullgraph=True)
    assert torch.equal(compiled(x), neuron_module(x))


def test_a_failing_slot_leaves_no_gradient_on_the_slots_that_did_not_learn():
    train_candidates("linear", 3, 0, per_slot=False, steps=0)
    first = GDL.arb_tracker.neuron_module_vector[0].dendrite_module
    network_input = torch.randn(8, 5, dtype=torch.float64)
    GDL.arb_tracker.neuron_module_vector[-1](torch.tanh(GDL.arb_tracker.neuron_module_vector[0](network_input)))\
        .square().sum().backward()
    assert "StackBackward0" in graph_names(first.dendrite_values[0].dendrite_outs[0][-1])

    def fail_at_slot_1(values):
        if values is first.dendrite_values[1]:
            raise RuntimeError("slot 1 failed")
        slot_by_slot(values)

    MDG.dendrite_loss_fn = fail_at_slot_1
    try:
        with pytest.raises(RuntimeError, match="slot 1 failed"):
            GDL.arb_tracker.apply_dg_grads()
    finally:
        MDG.dendrite_loss_fn = None
    slots = first.candidate_module
    assert slots[0].weight.grad is not None and slots[0].weight.grad.any()
    # Slot 0's backward through the shared stack reached slots 1 and 2 as zeros: dropped.
    assert all(p.grad is None for slot in slots[1:] for p in slot.parameters())
