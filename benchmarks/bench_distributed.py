"""What data-parallel training adds to a training step: 2 gloo ranks against 1 process.

For the MLP 784-256-256-10 (batch 64 per rank, 1 and 4 candidates per neuron module)
measures the median time of one iteration (zero_grad / forward / backward / step) in
n mode and in p mode
  1 process : the wrapped model without a process group
  2 ranks   : each rank a process with one torch thread, the model wrapped in
              DistributedDataParallel (gloo over TCP on this machine); in p mode the
              step also averages the candidates' gradients and statistics
and prints milliseconds per iteration, the ratio of 2 ranks to 1 process and, for p
mode, the time of the candidates' all-reduce on its own. Every
process uses one thread, so on a 2-core machine the two ranks run side by side.

    .venv/bin/python benchmarks/bench_distributed.py [--iters 60] [--repeats 5]
"""
import argparse
import datetime
import json
import os
import socket
import statistics
import subprocess
import sys
import time

import torch
import torch.distributed as dist
from torch import nn
from torch.nn.parallel import DistributedDataParallel

from dendrograd import tracker_dgr as TDG
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL


def set_mode(mode):
    GDL.arb_tracker.member_vars["mode"] = mode
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        neuron_module.dendrite_module.mode = mode


def measure(candidates, mode, iters, repeats, distributed):
    """(median milliseconds per iteration, median milliseconds of the candidates'
    all-reduce alone) in this process."""
    GDL.pc.reset()
    GDL.arb_tracker.reset()
    GDL.pc.set_silent(True)
    GDL.pc.set_global_candidates(candidates)
    torch.manual_seed(0)
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(784, 256), nn.ReLU(), nn.Linear(256, 256), nn.ReLU(),
                                             nn.Linear(256, 10)))
    set_mode(mode)
    network = DistributedDataParallel(model) if distributed else model
    optimizer = torch.optim.SGD(model.parameters(), lr=1e-3)
    TDG.setup_optimizer_dg(optimizer)
    x, y = torch.randn(64, 784), torch.randint(0, 10, (64,))
    loss_fn = nn.CrossEntropyLoss()

    def step():
        optimizer.zero_grad()
        loss_fn(network(x), y).backward()
        optimizer.step()

    for _ in range(5):
        step()
    def reduce_only():  # the step's own collective, on the gradients the last step left
        TDG.reduce_candidate_step(GDL.arb_tracker)

    medians = []
    for run in (step, reduce_only):
        times = []
        for _ in range(repeats):
            if distributed:
                dist.barrier()
            start = time.perf_counter()
            for _ in range(iters):
                run()
            times.append((time.perf_counter() - start) / iters * 1e3)
        medians.append(statistics.median(times))
    return medians


CASES = [(1, "n"), (1, "p"), (4, "p")]


def worker(rank, world, port, iters, repeats):
    torch.set_num_threads(1)
    distributed = world > 1
    if distributed:
        dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=world,
                                timeout=datetime.timedelta(seconds=120))
    results = [measure(c, m, iters, repeats, distributed) for c, m in CASES]
    if distributed:
        dist.destroy_process_group()
    if rank == 0:
        print(json.dumps(results))


def run(world, iters, repeats):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    procs = [subprocess.Popen([sys.executable, __file__, "--worker", str(r), str(world), str(port),
                               "--iters", str(iters), "--repeats", str(repeats)],
                              stdout=subprocess.PIPE, text=True) for r in range(world)]
    outputs = [p.communicate(timeout=1800)[0] for p in procs]
    if any(p.returncode for p in procs):
        sys.exit(f"a worker failed: exit statuses {[p.returncode for p in procs]}")
    return json.loads(outputs[0])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iters", type=int, default=60)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--worker", nargs=3, type=int, metavar=("RANK", "WORLD", "PORT"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.iters < 1 or args.repeats < 1:
        parser.error("--iters and --repeats must be at least 1")
    if args.worker:
        worker(*args.worker, args.iters, args.repeats)
        return 0
    one = run(1, args.iters, args.repeats)
    two = run(2, args.iters, args.repeats)
    print(f"MLP 784-256-256-10, batch 64 per rank, one thread per process ({os.cpu_count()} cores)")
    print(f"{'case':<22}{'1 process ms':>14}{'2 ranks ms':>12}{'ratio':>8}{'candidate all-reduce ms':>25}")
    for (candidates, mode), (a, _), (b, reduce_ms) in zip(CASES, one, two):
        label = f"{mode} mode" + (f", {candidates} candidate{'s' if candidates > 1 else ''}" if mode == "p" else "")
        extra = f"{reduce_ms:>25.3f}" if mode == "p" else f"{'-':>25}"
        print(f"{label:<22}{a:>14.3f}{b:>12.3f}{b / a:>8.2f}{extra}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
