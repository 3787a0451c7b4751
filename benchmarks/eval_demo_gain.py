"""Does growing dendrites help? The demo's comparison over several seeds.

    .venv/bin/python benchmarks/eval_demo_gain.py [--seeds 0 1 2 3 4] [demo options]

For every seed: the demo network trained with dendrites, and the same network
trained without dendrites for the same total number of epochs. Prints both
validation accuracies per seed, then the mean gain and its spread.
"""
import argparse
import statistics
import sys

from dendrograd import demo
from dendrolab import globals_dendrolab as GDL


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2, 3, 4])
    own, rest = parser.parse_known_args(argv)
    gains = []
    print(f"{'seed':>4}  {'epochs':>6}  {'no dendrites':>12}  {'dendrites':>9}  {'gain':>7}")
    for seed in own.seeds:
        args = demo.parse_args(["--quiet", "--seed", str(seed)] + rest)
        data = demo.load_data(args.dataset, seed)

        def quiet(iterable=None, **kwargs):
            from tqdm import tqdm

            return tqdm(iterable, disable=True, **kwargs)

        GDL.arb_tracker.reset()  # the previous seed's model is done training
        grown = demo.run_with_dendrites(args, data, quiet)
        baseline = demo.run_baseline(args, data, grown["epochs"], quiet)
        gain = grown["accuracy_after"] - baseline
        gains.append(gain)
        print(f"{seed:>4}  {grown['epochs']:>6}  {baseline:>12.4f}  {grown['accuracy_after']:>9.4f}  {gain:>+7.4f}")
    spread = statistics.stdev(gains) if len(gains) > 1 else 0.0
    print(f"mean gain {statistics.mean(gains):+.4f} (standard deviation {spread:.4f}, "
          f"min {min(gains):+.4f}, max {max(gains):+.4f}) over {len(gains)} seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
