"""Time per epoch of two gloo ranks with even and uneven numbers of batches.

For the MLP 784-256-256-10 (batch 64 per rank, 2 candidates per neuron module), in n mode
and in p mode, measures the median wall time of one epoch (zero_grad / forward /
backward / step per batch, from a barrier to the slower rank's end) for
  even        both ranks 9 batches, no Join
  even, Join  both ranks 9 batches inside Join([ddp, optimizer])
  uneven      rank 0 7 batches, rank 1 9, inside Join([ddp, optimizer])
The cases alternate epoch by epoch, so a load that comes and goes on the machine
touches each alike. Every process uses one thread.

    .venv/bin/python benchmarks/bench_uneven.py [--epochs 40]
"""
import argparse
import datetime
import os
import socket
import statistics
import subprocess
import sys
import time
from contextlib import nullcontext

import torch
import torch.distributed as dist
from torch import nn
from torch.distributed.algorithms.join import Join
from torch.nn.parallel import DistributedDataParallel

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

CASES = (("even", (9, 9), False), ("even, Join", (9, 9), True), ("uneven, Join", (7, 9), True))


def epoch_seconds(mode, epochs, rank):
    """{case: [seconds of each epoch]} on this rank (the slower rank's time)."""
    GDL.pc.set_silent(True)
    GDL.pc.set_global_candidates(2)
    torch.manual_seed(0)
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(784, 256), nn.ReLU(), nn.Linear(256, 256), nn.ReLU(),
                                             nn.Linear(256, 10)))
    tracker = GDL.arb_tracker
    tracker.setup_optimizer(model, torch.optim.SGD, lr=1e-3, momentum=0.9)
    if mode == "p":
        tracker._switch_to_p()
    ddp = DistributedDataParallel(model)
    optimizer = tracker.optimizer
    x, y = torch.randn(64, 784), torch.randint(0, 10, (64,))
    times = {name: [] for name, _, _ in CASES}
    for epoch in range(epochs + 1):  # the first round warms up
        for name, batches, joined in CASES:
            dist.barrier()
            started = time.perf_counter()
            with Join([ddp, optimizer]) if joined else nullcontext():
                for _ in range(batches[rank]):
                    optimizer.zero_grad()
                    nn.functional.cross_entropy(ddp(x), y).backward()
                    optimizer.step()
            elapsed = torch.tensor([time.perf_counter() - started])
            dist.all_reduce(elapsed, op=dist.ReduceOp.MAX)
            if epoch:
                times[name].append(elapsed.item())
    return times


def rank_main(rank, port, epochs):
    torch.set_num_threads(1)
    dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=2,
                            timeout=datetime.timedelta(seconds=120))
    try:
        for mode in ("n", "p"):
            GDL.pc.reset()
            GDL.arb_tracker.reset()
            times = epoch_seconds(mode, epochs, rank)
            if rank == 0:
                for name, batches, _ in CASES:
                    ms = statistics.median(times[name]) * 1e3
                    print(f"{mode:<6}{name:<14}{batches[0]:>4}/{batches[1]:<4}{ms:>14.2f}{ms / max(batches):>14.3f}",
                          flush=True)
    finally:
        dist.destroy_process_group()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=40)
    parser.add_argument("--rank", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.rank is not None:
        rank_main(args.rank, args.port, args.epochs)
        return
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    print(f"{'mode':<6}{'case':<14}{'batches':>9}{'ms per epoch':>14}{'ms per batch':>14}")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                                       os.environ.get("PYTHONPATH", "")]).rstrip(os.pathsep))
    procs = [subprocess.Popen([sys.executable, __file__, "--epochs", str(args.epochs), "--rank", str(r), "--port",
                               str(port)], env=env) for r in range(2)]
    sys.exit(max(p.wait() for p in procs))


if __name__ == "__main__":
    main()
