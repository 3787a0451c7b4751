"""Where an iteration through the add-on spends the time its arithmetic does not explain.

Three views, on bench_step's networks and loops (one torch thread):

  ops       torch.profiler's table of 100 iterations in one mode (self CPU time per op)
  wrappers  the iteration split at the add-on's Python entry points (the wrapped
            zero_grad and step, the neuron modules' forwards) against the plain network,
            n mode, each part timed best of 7
  demo      the demo's network (64-2-10, Tanh, Adam, batch 64) in n mode with 0 and 3
            dendrites against bench_step's equal-math fused module: how much of the
            slowdown from 0 to 3 dendrites the arithmetic itself has

    .venv/bin/python benchmarks/profile_step.py ops [--network small] [--mode p] [--count 4]
    .venv/bin/python benchmarks/profile_step.py wrappers [--network small]
    .venv/bin/python benchmarks/profile_step.py demo
"""
import argparse
import copy
import sys
import timeit

import torch
from torch import nn
from torch.nn import functional as F
from torch.profiler import ProfilerActivity, profile

from bench_step import NETWORKS, addon_optimizer, addon_step, fused, iteration, paired_ms, plain_step, wrapped


def example(network):
    """(plain network, inputs, targets) of one of bench_step's networks, seeded."""
    torch.manual_seed(0)
    plain, shape = NETWORKS[network][1]()
    return plain, torch.randn(*shape), torch.randint(0, 10, (shape[0],))


def ops_table(network, mode, count, rows):
    """torch.profiler's table of 100 iterations; `count` candidates (p) or dendrites (n)."""
    plain, x, y = example(network)
    growth = {"candidates": count} if mode == "p" else {"dendrites": count}
    step = addon_step(wrapped(plain, **growth), mode, x, y)
    for _ in range(50):
        step()
    with profile(activities=[ProfilerActivity.CPU]) as prof:
        for _ in range(100):
            step()
    return prof.key_averages().table(sort_by="self_cpu_time_total", row_limit=rows)


def best_us(call, number=1000):
    """Best of 7 timings of `number` calls, in µs per call."""
    for _ in range(100):
        call()
    return min(timeit.repeat(call, number=number, repeat=7)) / number * 1e6


def wrapper_parts(network):
    """[(part, plain µs, add-on µs)] in n mode with no dendrites: zero_grad with no
    gradients present, the forward, the forward and backward alone and followed by
    zero_grad or by step, and the whole iteration."""
    plain, x, y = example(network)
    model = wrapped(plain)
    reference = copy.deepcopy(plain)
    pairs = ((reference, torch.optim.SGD(reference.parameters(), lr=1e-3)), (model, addon_optimizer(model, "n")))

    def backward_then(net, optimizer, what):
        def call():
            F.cross_entropy(net(x), y).backward()
            if what:
                getattr(optimizer, what)()
        return call

    parts = [("zero_grad, no gradients", lambda net, opt: opt.zero_grad),
             ("forward", lambda net, opt: lambda: net(x)),
             ("forward+backward", lambda net, opt: backward_then(net, opt, None)),
             ("forward+backward+zero_grad", lambda net, opt: backward_then(net, opt, "zero_grad")),
             ("forward+backward+step", lambda net, opt: backward_then(net, opt, "step"))]
    rows = [(name, *(best_us(make(net, opt)) for net, opt in pairs)) for name, make in parts]
    rows.append(("iteration", *(best_us(iteration(net, opt, x, y)) for net, opt in pairs)))
    return rows


def demo_comparison():
    """{dendrites: (add-on ms, fused ms)} for the demo's network, alternating windows."""
    torch.manual_seed(0)
    plain = nn.Sequential(nn.Linear(64, 2), nn.Tanh(), nn.Linear(2, 10))
    x, y = torch.randn(64, 64), torch.randint(0, 10, (64,))
    times = {}
    for k in (0, 3):
        addon = addon_step(wrapped(plain, dendrites=k), "n", x, y, torch.optim.Adam, lr=1e-2)
        times[k] = paired_ms(addon, plain_step(fused(plain, k), x, y, torch.optim.Adam, lr=1e-2), 100, 9)
    return times


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("view", choices=("ops", "wrappers", "demo"))
    parser.add_argument("--network", choices=sorted(NETWORKS), default="small")
    parser.add_argument("--mode", choices=("n", "p"), default="p")
    parser.add_argument("--count", type=int, default=4, help="candidates (p) or dendrites (n)")
    parser.add_argument("--rows", type=int, default=25)
    args = parser.parse_args(argv)
    least = 1 if args.mode == "p" else 0
    if args.count < least:
        parser.error(f"--count must be at least {least} in {args.mode} mode (got {args.count})")
    if args.rows < 1:
        parser.error(f"--rows must be at least 1 (got {args.rows})")
    torch.set_num_threads(1)
    if args.view == "ops":
        print(ops_table(args.network, args.mode, args.count, args.rows))
    elif args.view == "wrappers":
        for name, plain_us, addon_us in wrapper_parts(args.network):
            print(f"{name:<28} plain {plain_us:8.1f} us   add-on {addon_us:8.1f} us   +{addon_us - plain_us:7.1f} us")
    else:
        times = demo_comparison()
        for k, (ms, ref) in times.items():
            print(f"{k} dendrites   add-on {ms * 1e3:8.1f} us   fused {ref * 1e3:8.1f} us   ratio {ms / ref:.2f}")
        print(f"0 -> 3 dendrites: add-on x{times[3][0] / times[0][0]:.2f}, fused x{times[3][1] / times[0][1]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
