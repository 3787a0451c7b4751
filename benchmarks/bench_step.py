"""Time of one training iteration: the add-on against the arithmetic it has to do.

For each network (MLP 784-256-256-10 batch 64, MLP 64-32-10 batch 32, a small CNN
batch 32; Linear and Conv2d layers wrapped) measures in one run, as the median
milliseconds of an iteration (zero_grad / forward / backward / step):

  plain          the unwrapped network
  n, k dendrites the wrapped network in n mode after every neuron module accepted k
                 dendrites (k = 0, 1, 3)
  fused, k       the same arithmetic written directly in PyTorch: per layer one product
                 with the neuron's and the k dendrites' weights concatenated, the
                 dendrite cascade and the skip weights applied elementwise
  p, c cand.     the wrapped network in p mode with c candidates per neuron module
                 (c = 1, 4), through the add-on's optimizer wrappers
  floor, c       only the arithmetic p mode needs, written directly in PyTorch: the
                 frozen network's forward and input-gradient backward (no weight
                 gradients), all candidates of a layer as one product, their per-node
                 covariance with the neuron error, the candidates' weight gradients and
                 the SGD update
  deploy, 3      the deployment form (utils_dgr.clean_net) with 3 dendrites, a forward
                 under no_grad, against the fused module's forward

and prints each time with its ratio to its reference (plain, fused or floor). Each
row's two sides are timed in alternating windows, so that a change in the machine's
speed during the run reaches both.

    .venv/bin/python benchmarks/bench_step.py [--iters 30] [--repeats 5] [--threads 1] [--only mlp small cnn]
"""
import argparse
import copy
import statistics
import sys
import time

import torch
from torch import nn
from torch.nn import functional as F

from dendrograd import tracker_dgr as TDG
from dendrograd import utils_dgr as UTL
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL


def mlp():
    return nn.Sequential(nn.Linear(784, 256), nn.ReLU(), nn.Linear(256, 256), nn.ReLU(), nn.Linear(256, 10)), (64, 784)


def small():
    return nn.Sequential(nn.Linear(64, 32), nn.ReLU(), nn.Linear(32, 10)), (32, 64)


def cnn():
    return nn.Sequential(
        nn.Conv2d(3, 16, 3, padding=1), nn.ReLU(),
        nn.Conv2d(16, 32, 3, padding=1), nn.ReLU(),
        nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(32, 10)), (32, 3, 32, 32)


NETWORKS = {"mlp": ("MLP 784-256-256-10, batch 64", mlp), "small": ("MLP 64-32-10, batch 32", small),
            "cnn": ("CNN 2xConv2d+Linear, batch 32x3x32x32", cnn)}
LAYERS = (nn.Linear, nn.Conv2d)


# ---- the reference arithmetic, written directly in PyTorch ------------------------------------

def apply_layer(template, x, weight, bias):
    if isinstance(template, nn.Conv2d):
        return F.conv2d(x, weight, bias, template.stride, template.padding, template.dilation, template.groups)
    return F.linear(x, weight, bias)


def node_view(template, x):
    """Shape that broadcasts a per-node vector over an output of `template`."""
    return (1, -1, 1, 1) if isinstance(template, nn.Conv2d) and x.dim() == 4 else (1, -1)


class FusedLayer(nn.Module):
    """A layer and its k dendrites as one product: weights concatenated along the outputs,
    then out_k = sigmoid(z_k + sum_j<k w_kj * out_j) and y = z_0 + sum_k top_k * out_k."""

    def __init__(self, layer, k):
        super().__init__()
        self.template, self.k, self.nodes = layer, k, layer.weight.shape[0]
        self.weight = nn.Parameter(torch.cat([layer.weight.detach()] * (k + 1)).clone())
        self.bias = nn.Parameter(torch.cat([layer.bias.detach()] * (k + 1)).clone())
        self.cascade = nn.Parameter(torch.randn(max(k, 1), max(k, 1), self.nodes) * 0.1)
        self.top = nn.Parameter(torch.randn(max(k, 1), self.nodes) * 0.1)

    def forward(self, x):
        z = apply_layer(self.template, x, self.weight, self.bias)
        if self.k == 0:
            return z
        parts = z.split(self.nodes, dim=1)
        view = node_view(self.template, z)
        outs = []
        for d in range(self.k):
            value = parts[d + 1]
            for j, earlier in enumerate(outs):
                value = value + self.cascade[d, j].view(view) * earlier
            outs.append(torch.sigmoid(value))
        y = parts[0]
        for d, out in enumerate(outs):
            y = y + self.top[d].view(view) * out
        return y


def fused(plain, k):
    model = copy.deepcopy(plain)
    for name, child in list(model.named_children()):
        if isinstance(child, LAYERS):
            setattr(model, name, FusedLayer(child, k))
    return model


class Floor:
    """The arithmetic of one p-mode iteration with `count` candidates per layer."""

    def __init__(self, plain, count):
        self.model = copy.deepcopy(plain).requires_grad_(False)
        self.layers = [m for m in self.model if isinstance(m, LAYERS)]
        self.candidates = []
        for layer in self.layers:
            weight = torch.cat([layer.weight.detach()] * count).clone().requires_grad_()
            bias = torch.cat([layer.bias.detach()] * count).clone().requires_grad_()
            self.candidates.append((weight, bias))
        self.count = count
        self.optimizer = torch.optim.SGD([t for pair in self.candidates for t in pair], lr=1e-3)

    def step(self, x, y):
        self.optimizer.zero_grad()
        inputs, outputs, h = [], [], x
        for module in self.model:  # frozen forward: only the layer outputs require grad
            if isinstance(module, LAYERS):
                inputs.append(h)
                h = module(h).requires_grad_() if not h.requires_grad else module(h)
                outputs.append(h)
            else:
                h = module(h)
        errors = torch.autograd.grad(F.cross_entropy(h, y), outputs)  # input-gradient backward only
        loss = 0
        for layer, (weight, bias), x_in, error in zip(self.layers, self.candidates, inputs, errors):
            c = torch.sigmoid(apply_layer(layer, x_in.detach(), weight, bias))
            c = c.unflatten(1, (self.count, -1))  # (B, count, nodes, ...)
            dims = [0] + list(range(3, c.dim()))
            e = error.unsqueeze(1)
            centred_e = e - e.mean(dim=dims, keepdim=True)
            with torch.no_grad():
                cov = ((c - c.mean(dim=dims, keepdim=True)) * centred_e).sum(dim=dims, keepdim=True)
            loss = loss + (c * (-cov.sign() * centred_e)).sum()
        loss.backward()
        self.optimizer.step()


# ---- the add-on's loops -------------------------------------------------------------------------

def set_mode(mode):
    GDL.arb_tracker.member_vars["mode"] = mode
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        neuron_module.dendrite_module.mode = mode


def wrapped(plain, dendrites=0, candidates=1):
    GDL.pc.reset()
    GDL.pc.set_silent(True)
    GDL.pc.set_global_candidates(candidates)
    GDL.arb_tracker.reset()  # the previous measurement's network is done
    model = UDL.initialize_arb(copy.deepcopy(plain))
    for _ in range(dendrites):
        for neuron_module in GDL.arb_tracker.neuron_module_vector:
            neuron_module.accept_best_candidate()
    return model


def addon_optimizer(model, mode, optimizer_class=torch.optim.SGD, lr=1e-3):
    """The add-on's wrapped optimizer for `mode`; the mode is set once, as the host sets
    it per epoch."""
    set_mode(mode)
    optimizer = optimizer_class(model.parameters(), lr=lr)
    TDG.setup_optimizer_dg(optimizer)
    return optimizer


def addon_step(model, mode, x, y, optimizer_class=torch.optim.SGD, lr=1e-3):
    """One training iteration in `mode` through the add-on's optimizer wrappers."""
    return iteration(model, addon_optimizer(model, mode, optimizer_class, lr), x, y)


def plain_step(model, x, y, optimizer_class=torch.optim.SGD, lr=1e-3):
    """One training iteration of a network the add-on does not know."""
    return iteration(model, optimizer_class(model.parameters(), lr=lr), x, y)


def iteration(model, optimizer, x, y):
    """zero_grad, forward, cross-entropy backward and step, as one call."""
    def step():
        optimizer.zero_grad()
        F.cross_entropy(model(x), y).backward()
        optimizer.step()

    return step


def forward_only(model, x):
    def step():
        with torch.no_grad():
            model(x)

    return step


def window_ms(step, iters):
    """Mean ms of `iters` calls of `step`."""
    start = time.perf_counter()
    for _ in range(iters):
        step()
    return (time.perf_counter() - start) / iters * 1e3


def median_ms(step, iters, repeats):
    """Median ms of `step` over `repeats` windows of `iters` calls, after three warm-up calls."""
    for _ in range(3):
        step()
    return statistics.median(window_ms(step, iters) for _ in range(repeats))


def paired_ms(step, ref_step, iters, repeats):
    """Median ms of `step` and of `ref_step`, timed in alternating windows: a change in
    the machine's speed during the run reaches both sides of the ratio alike."""
    for _ in range(3):
        step()
        ref_step()
    times, ref_times = [], []
    for _ in range(repeats):
        times.append(window_ms(step, iters))
        ref_times.append(window_ms(ref_step, iters))
    return statistics.median(times), statistics.median(ref_times)


def timed_addon(pair, plain, mode, x, y, ref_step, **growth):
    """Median ms of the wrapped network's iteration in `mode` and of `ref_step`; checks
    that the wrapped network stayed in `mode`."""
    ms, ref = pair(addon_step(wrapped(plain, **growth), mode, x, y), ref_step)
    if GDL.arb_tracker.member_vars["mode"] != mode:
        raise RuntimeError(f"the {mode}-mode measurement left {mode} mode")
    return ms, ref


def measure(builder, iters, repeats):
    """[(label, ms, reference label, reference ms)] for one network."""
    torch.manual_seed(0)
    plain, shape = builder()
    x, y = torch.randn(*shape), torch.randint(0, 10, (shape[0],))
    pair = lambda step, ref_step: paired_ms(step, ref_step, iters, repeats)  # noqa: E731
    base = median_ms(plain_step(plain, x, y), iters, repeats)
    rows = [("plain", base, "plain", base)]
    for k in (0, 1, 3):
        ms, ref = timed_addon(pair, plain, "n", x, y, plain_step(fused(plain, k), x, y), dendrites=k)
        rows.append((f"n, {k} dendrites", ms, f"fused, {k}", ref))
    for count in (1, 4):
        floor = Floor(plain, count)
        ms, ref = timed_addon(pair, plain, "p", x, y, lambda: floor.step(x, y), candidates=count)
        rows.append((f"p, {count} candidate(s)", ms, f"floor, {count}", ref))
    grown = wrapped(plain, dendrites=3)
    deployed = UTL.clean_net(UDL.deep_copy_arb(grown))
    ms, ref = pair(forward_only(deployed, x), forward_only(fused(plain, 3), x))
    rows.append(("deploy, 3 dendrites", ms, "fused fwd, 3", ref))
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iters", type=int, default=30)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--only", nargs="+", choices=sorted(NETWORKS), default=list(NETWORKS))
    args = parser.parse_args(argv)
    if args.iters < 1 or args.repeats < 1 or args.threads < 1:
        parser.error("--iters, --repeats and --threads must be at least 1")
    torch.set_num_threads(args.threads)
    print(f"torch {torch.__version__}, {args.threads} thread(s), {args.iters} iterations x {args.repeats} repeats "
          "(median ms per iteration)")
    for key in args.only:
        name, builder = NETWORKS[key]
        print(name)
        for label, ms, ref_label, ref_ms in measure(builder, args.iters, args.repeats):
            print(f"  {label:<22}{ms:>9.3f} ms   {ref_label:<13}{ref_ms:>9.3f} ms   ratio {ms / ref_ms:>5.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
