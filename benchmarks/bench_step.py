"""Time of one training iteration: p mode vs n mode vs plain PyTorch.

For an MLP and a small CNN (Linear and Conv2d layers wrapped), measures in one run
  plain : the unwrapped model, zero_grad / forward / backward / step
  n     : the wrapped model in n mode, same loop
  p     : the wrapped model in p mode, same loop through the add-on's optimizer
          wrappers: zero_grad drops leftovers, forward stores the candidate outputs,
          backward stores the neuron errors, step turns them into candidate gradients
          (correlation loss and its backward per layer) and updates the candidates
and prints milliseconds per iteration and the ratios to plain.

    .venv/bin/python benchmarks/bench_step.py [--iters 50] [--repeats 5] [--threads 1]
"""
import argparse
import copy
import statistics
import time

import torch
from torch import nn

from dendrograd import tracker_dgr as TDG
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL


def mlp():
    return nn.Sequential(nn.Linear(784, 256), nn.ReLU(), nn.Linear(256, 256), nn.ReLU(), nn.Linear(256, 10)), (64, 784)


def cnn():
    return nn.Sequential(
        nn.Conv2d(3, 16, 3, padding=1), nn.ReLU(),
        nn.Conv2d(16, 32, 3, padding=1), nn.ReLU(),
        nn.AdaptiveAvgPool2d(1), nn.Flatten(), nn.Linear(32, 10)), (32, 3, 32, 32)


def tagged(model, role):
    return [p for p in model.parameters() if getattr(p, "parameter_type", None) == role]


def set_mode(mode):
    GDL.arb_tracker.member_vars["mode"] = mode
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        neuron_module.dendrite_module.mode = mode


def wrapped_optimizer(model, mode):
    """An optimizer passed through the add-on in `mode`: it keeps that mode's parameters
    and its step/zero_grad drive the candidate learning."""
    set_mode(mode)
    optimizer = torch.optim.SGD(model.parameters(), lr=1e-3)
    TDG.setup_optimizer_dg(optimizer)
    return optimizer


def make_loops(builder):
    torch.manual_seed(0)
    plain, input_shape = builder()
    GDL.arb_tracker.reset()  # the previous network's measurement is done
    wrapped = UDL.initialize_arb(copy.deepcopy(plain))
    x = torch.randn(*input_shape)
    y = torch.randint(0, 10, (input_shape[0],))
    loss_fn = nn.CrossEntropyLoss()
    plain_opt = torch.optim.SGD(plain.parameters(), lr=1e-3)
    neuron_opt = wrapped_optimizer(wrapped, "n")
    candidate_opt = wrapped_optimizer(wrapped, "p")

    def loop(model, optimizer, mode=None):
        def step():
            if mode is not None:
                set_mode(mode)
            optimizer.zero_grad()
            loss_fn(model(x), y).backward()
            optimizer.step()

        return step

    # The same user loop in all three: zero_grad, forward, backward, step.
    return {"plain": loop(plain, plain_opt), "n": loop(wrapped, neuron_opt, "n"),
            "p": loop(wrapped, candidate_opt, "p")}


def time_loop(step, iters):
    start = time.perf_counter()
    for _ in range(iters):
        step()
    return (time.perf_counter() - start) / iters * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--iters", type=int, default=50)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--threads", type=int, default=1)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    print(f"torch {torch.__version__}, {args.threads} thread(s), {args.iters} iterations x {args.repeats} repeats "
          "(median ms per iteration)")
    for name, builder in (("MLP 784-256-256-10, batch 64", mlp), ("CNN 2xConv2d+Linear, 32x3x32x32", cnn)):
        GDL.pc.reset()
        loops = make_loops(builder)
        for step in loops.values():  # warm-up
            time_loop(step, 5)
        samples = {mode: [] for mode in loops}
        for _ in range(args.repeats):  # interleaved, so load changes hit every mode alike
            for mode, step in loops.items():
                samples[mode].append(time_loop(step, args.iters))
        ms = {mode: statistics.median(v) for mode, v in samples.items()}
        print(f"{name}: plain {ms['plain']:.3f} ms, n mode {ms['n']:.3f} ms, p mode {ms['p']:.3f} ms | "
              f"n/plain {ms['n'] / ms['plain']:.2f}x, p/plain {ms['p'] / ms['plain']:.2f}x, "
              f"p/n {ms['p'] / ms['n']:.2f}x")


if __name__ == "__main__":
    main()
