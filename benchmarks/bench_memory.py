"""Resident memory of a long p-mode run whose loop does the things real loops do.

Every iteration, in turn: a validation forward under torch.no_grad() with the model
still in training mode, a forward whose loss is discarded, and a training step whose
loss goes backward twice through a retained graph. With model_parallel, the middle
layer's candidates run on another device than the one its output and error arrive on:
on a CPU-only machine, which has one device, its stored candidate outputs move to
device key 1 right after each forward while its error arrives under key 0. None of the
extra work may leave anything stored behind, so memory must stay flat: the script
prints the resident set size at iteration 200 and at the last one, and the growth
between them (target: at most 16 MB). Exit status 1 when the target is missed.

    .venv/bin/python benchmarks/bench_memory.py [--iters 2000] [--threads 1]
                                                [--patterns no_grad,discarded,retain_graph,model_parallel]
"""
import argparse
import gc
import os

import torch
from torch import nn
from torch.nn import functional as F

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

TARGET_MB = 16.0


def resident_mb():
    with open("/proc/self/statm") as handle:
        pages = int(handle.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def p_mode_model():
    torch.manual_seed(0)
    GDL.pc.set_dendrite_graph_mode(False)
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(64, 128), nn.ReLU(), nn.Linear(128, 128), nn.ReLU(),
                                             nn.Linear(128, 10)))
    GDL.arb_tracker.member_vars["mode"] = "p"
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        neuron_module.dendrite_module.mode = "p"
    return model, GDL.arb_tracker.setup_optimizer(model, torch.optim.SGD, lr=0.01)


PATTERNS = ("no_grad", "discarded", "retain_graph", "model_parallel")


def candidates_on_second_device(module, args, out):
    """Forward hook: what this call stored under device key 0 moves to key 1, as if the
    layer's inputs (where its candidates run) lived on a second device and its output
    moved back to the first before the loss."""
    for values in module.dendrite_module.dendrite_values:
        values.dendrite_outs[1].extend(values.dendrite_outs.pop(0, []))


def iteration(model, optimizer, x, y, patterns):
    if "no_grad" in patterns:
        with torch.no_grad():
            model(x)  # validation pass, model still in training mode
    if "discarded" in patterns:
        F.cross_entropy(model(x), y)  # a loss nobody back-propagates
    optimizer.zero_grad()
    loss = F.cross_entropy(model(x), y)
    if "retain_graph" in patterns:
        loss.backward(retain_graph=True)  # a second backward through the retained graph follows
    loss.backward()
    optimizer.step()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iters", type=int, default=2000)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--patterns", default=",".join(PATTERNS),
                        help="comma-separated subset of " + ", ".join(PATTERNS))
    args = parser.parse_args()
    patterns = set(args.patterns.split(",")) - {""}
    if not patterns <= set(PATTERNS):
        parser.error(f"--patterns: unknown {sorted(patterns - set(PATTERNS))}; choose from {', '.join(PATTERNS)}")
    torch.set_num_threads(args.threads)
    GDL.pc.set_debugging_memory_leak(False)  # the point here is memory, not the diagnostics
    model, optimizer = p_mode_model()
    if "model_parallel" in patterns:
        model[2].register_forward_hook(candidates_on_second_device)
    g = torch.Generator().manual_seed(1)
    x, y = torch.randn(64, 64, generator=g), torch.randint(0, 10, (64,), generator=g)
    marks = {}
    for i in range(1, args.iters + 1):
        iteration(model, optimizer, x, y, patterns)
        if i in (200, args.iters):
            gc.collect()
            marks[i] = resident_mb()
            print(f"iteration {i:5d}: resident {marks[i]:8.1f} MB", flush=True)
    stored = max((len(lists[key]) for m in GDL.arb_tracker.neuron_module_vector
                  for v in m.dendrite_module.dendrite_values
                  for lists in (v.dendrite_outs, v.current_parent_d) for key in list(lists)), default=0)
    growth = marks[args.iters] - marks[200]
    print(f"growth from iteration 200 to {args.iters}: {growth:+.1f} MB (target <= {TARGET_MB:.0f} MB); "
          f"largest stored list at the end: {stored}")
    return 0 if growth <= TARGET_MB else 1


if __name__ == "__main__":
    raise SystemExit(main())
