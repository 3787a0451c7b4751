"""Where an iteration through the add-on spends the time its arithmetic does not explain.

Four views (one torch thread), the first three on bench_step's networks and loops:

  ops       torch.profiler's table of 100 iterations in one mode (self CPU time per op)
  wrappers  the iteration split at the add-on's Python entry points (the wrapped
            zero_grad and step, the neuron modules' forwards) against the plain network,
            n mode, each part timed best of 7
  demo      the demo's network (64-2-10, Tanh, Adam, batch 64) in n mode with 0 and 3
            dendrites against bench_step's equal-math fused module: how much of the
            slowdown from 0 to 3 dendrites the arithmetic itself has
  growth    one whole growth run of eval_learning's cascor task (one seed, the host's
            defaults): milliseconds per epoch in each mode, split into the loop's parts

    .venv/bin/python benchmarks/profile_step.py ops [--network small] [--mode p] [--count 4]
    .venv/bin/python benchmarks/profile_step.py wrappers [--network small]
    .venv/bin/python benchmarks/profile_step.py demo
    .venv/bin/python benchmarks/profile_step.py growth [--seed 0] [--set freeze_accepted_dendrites=True]
"""
import argparse
import copy
import sys
import time
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


GROWTH_PARTS = ("zero_grad", "forward", "backward", "step", "evaluation", "epoch end")


def growth_profile(seed, host_settings):
    """({mode: {part: seconds}}, {mode: epochs}, result) of eval_learning's cascor dendrite
    run for one seed, its loop timed part by part (the same loop as run_dendrites)."""
    import eval_learning as E
    from dendrolab import globals_dendrolab as GDL
    from dendrolab import utils_dendrolab as UDL

    args = E.parse_args(["--tasks", "cascor", "--arms", "dendrites", "--seeds", str(seed)])
    setup, _ = E.task_setup("cascor", args)
    setup["host"] = dict(host_settings)
    x, y, eval_x, eval_y, outputs = E.task_data("cascor", seed)
    GDL.arb_tracker.reset()
    torch.manual_seed(seed)
    model = E.task_model("cascor", x.shape[1], None, outputs)
    E.configure_host(setup, 1)
    model = UDL.initialize_arb(model, save_name="profile_growth")
    tracker = GDL.arb_tracker
    optimizer = tracker.setup_optimizer(model, torch.optim.Adam, lr=setup["lr"])
    spent = {mode: dict.fromkeys(GROWTH_PARTS, 0.0) for mode in "np"}
    epochs = {"n": 0, "p": 0}
    done, acc = False, 0.0
    for _ in range(setup["epochs"]):
        mode = tracker.member_vars["mode"]
        marks = [time.perf_counter()]
        model.train()
        optimizer.zero_grad()
        marks.append(time.perf_counter())
        loss = E.task_loss("cascor", model(x), y)
        marks.append(time.perf_counter())
        loss.backward()
        marks.append(time.perf_counter())
        optimizer.step()
        marks.append(time.perf_counter())
        acc = E.task_accuracy("cascor", model, eval_x, eval_y)
        marks.append(time.perf_counter())
        if acc == 1.0 and mode == "n":
            break
        if not done:
            model, restructured, done = tracker.add_validation_score(acc, model)
            if restructured:
                optimizer = tracker.optimizer
        marks.append(time.perf_counter())
        epochs[mode] += 1
        for part, start, end in zip(GROWTH_PARTS, marks, marks[1:]):
            spent[mode][part] += end - start
    return spent, epochs, (acc, tracker.dendrites_added())


def print_growth(spent, epochs, result):
    """growth_profile's result as a table: ms per epoch of each part, per mode."""
    print(f"accuracy {result[0]:.3f}, {result[1]} dendrites, {epochs['n']} n and {epochs['p']} p epochs")
    print("mode  " + "".join(f"{part:>12}" for part in GROWTH_PARTS) + "   total ms/epoch   seconds")
    for mode in "np":
        count = max(epochs[mode], 1)
        total = sum(spent[mode].values())
        print(f"{mode:<6}" + "".join(f"{spent[mode][part] / count * 1e3:12.3f}" for part in GROWTH_PARTS)
              + f"   {total / count * 1e3:14.3f}   {total:7.2f}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("view", choices=("ops", "wrappers", "demo", "growth"))
    parser.add_argument("--network", choices=sorted(NETWORKS), default="small")
    parser.add_argument("--mode", choices=("n", "p"), default="p")
    parser.add_argument("--count", type=int, default=4, help="candidates (p) or dendrites (n)")
    parser.add_argument("--rows", type=int, default=25)
    parser.add_argument("--seed", type=int, default=0, help="growth: the cascor task's seed")
    parser.add_argument("--set", nargs="+", default=[], metavar="NAME=VALUE",
                        help="growth: host settings (Python literals or torch functions), "
                             "e.g. freeze_accepted_dendrites=True")
    args = parser.parse_args(argv)
    from eval_learning import host_settings

    settings = host_settings(parser, args.set)
    least = 1 if args.mode == "p" else 0
    if args.count < least:
        parser.error(f"--count must be at least {least} in {args.mode} mode (got {args.count})")
    if args.seed < 0:
        parser.error(f"--seed must be at least 0 (got {args.seed})")
    if args.rows < 1:
        parser.error(f"--rows must be at least 1 (got {args.rows})")
    torch.set_num_threads(1)
    if args.view == "ops":
        print(ops_table(args.network, args.mode, args.count, args.rows))
    elif args.view == "growth":
        print_growth(*growth_profile(args.seed, settings))
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
