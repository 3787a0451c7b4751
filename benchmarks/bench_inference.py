"""Inference time of the deployment form against the training form of one network.

A host-wrapped MLP grows two dendrites per neuron module (accepted without training,
weights randomised), then runs in eval mode under no_grad in three forms: the training
form, the deployment form from utils_dgr.clean_net, and the deployment form with one
thread per layer (deploy_net.doing_threading). One run; prints the median time per
forward pass of each form and checks that the outputs agree.

    .venv/bin/python benchmarks/bench_inference.py [--width 512] [--batch 64] [--iters 200] [--torch-threads 1]
"""
import argparse
import statistics
import time

import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import deploy_net as DN
from dendrograd import utils_dgr as UT


def build(width, depth, dendrites):
    layers = []
    for i in range(depth):
        layers += [nn.Linear(width, width), nn.ReLU()]
    model = UDL.initialize_arb(nn.Sequential(*layers[:-1]))
    for nm in GDL.arb_tracker.neuron_module_vector:
        for _ in range(dendrites):
            nm.accept_best_candidate()
        with torch.no_grad():
            for p in list(nm.dendrites_to_top) + list(nm.dendrites_to_dendrites):
                p.normal_(std=0.1)
    return model.eval()


def median_ms(fn, x, iters, warmup=20):
    with torch.no_grad():
        for _ in range(warmup):
            fn(x)
        times = []
        for _ in range(iters):
            start = time.perf_counter()
            fn(x)
            times.append(time.perf_counter() - start)
    return 1000.0 * statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--width", type=int, default=512)
    parser.add_argument("--depth", type=int, default=3)
    parser.add_argument("--dendrites", type=int, default=2)
    parser.add_argument("--batch", type=int, default=64)
    parser.add_argument("--iters", type=int, default=200)
    parser.add_argument("--torch-threads", type=int, default=0,
                        help="intra-op threads for torch (0: torch's default); 1 is steadier on a busy machine")
    args = parser.parse_args()
    if args.torch_threads > 0:
        torch.set_num_threads(args.torch_threads)

    torch.manual_seed(0)
    model = build(args.width, args.depth, args.dendrites)
    deployed = UT.clean_net(UDL.deep_copy_arb(model)).eval()
    x = torch.randn(args.batch, args.width)
    with torch.no_grad():
        expected = model(x)
        torch.testing.assert_close(deployed(x), expected)

    training_ms = median_ms(model, x, args.iters)
    deployed_ms = median_ms(deployed, x, args.iters)
    DN.doing_threading = True
    try:
        with torch.no_grad():
            torch.testing.assert_close(deployed(x), expected)
        threaded_ms = median_ms(deployed, x, args.iters)
    finally:
        DN.doing_threading = False

    print(f"network: {args.depth} x Linear({args.width}, {args.width}), {args.dendrites} dendrites each, "
          f"batch {args.batch}, torch threads {torch.get_num_threads()}, {args.iters} timed passes")
    GDL.pc.set_count_training_params(True)
    training_params = UT.dg_count_params(model)
    GDL.pc.set_count_training_params(False)
    print(f"parameters: training form {training_params}, deployment form {UT.dg_count_params(model)}")
    print(f"training form (eval)        {training_ms:8.3f} ms / forward")
    print(f"deployment form             {deployed_ms:8.3f} ms / forward  ({training_ms / deployed_ms:.2f}x)")
    print(f"deployment form, threaded   {threaded_ms:8.3f} ms / forward  ({training_ms / threaded_ms:.2f}x)")


if __name__ == "__main__":
    main()
