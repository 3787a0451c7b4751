"""Do dendrites pay off? Dendrite networks against plain networks at equal epochs.

    .venv/bin/python benchmarks/eval_learning.py [--tasks digits spirals] [--seeds 0 1 2 3 4]
        [--epochs N] [--batch-size full|N] [--markdown runs/eval_learning.md]

Tasks:
  digits   the demo's deliberately too small network (64-2-10) on scikit-learn's digits,
           the demo's split and schedule, batches of 64; scored by validation accuracy.
  spirals  the two-spirals problem (194 points, 97 per arm, raw coordinates, the original
           cascade-correlation generator) on a 2-H-2 tanh network, full batch; the training
           set is the evaluation set, as in the classic benchmark; a seed is solved when the
           training accuracy reaches 100 %, and an arm stops there.

Arms, each trained for the same epoch budget with Adam at the same learning rate:
  same       the task's network without dendrites;
  dendrites  the same network growing dendrites through the host's schedule (after the
             last growth cycle it keeps training in n mode until the budget is spent);
  wider      a plain network with one hidden layer, the narrowest one with at least as many
             parameters as the grown dendrite network of the same seed;
  deeper     a plain network with two equal hidden layers, the narrowest one with at least
             as many parameters as the grown dendrite network of the same seed.

The dendrite arm's host settings per task are in TASK_DEFAULTS (digits: the demo's
schedule, every other setting at its default; spirals: candidates at ten times the
network's learning rate, scores from the current full-batch covariance, each neuron's
part of a new dendrite from its own best candidate); --candidate-lr-scale, --output-init
and --set change them.

Prints a table (mean, standard deviation, min-max, seeds solved, parameters, epochs) and
writes it as Markdown. Every arm of every seed starts from the same seed, so a run is
deterministic per seed. Bad options give a one-line error and exit status 2.
"""
import argparse
import ast
import math
import os
import statistics
import sys
import time

from dendrograd import demo

TASKS = ("digits", "spirals")
ARMS = ("same", "dendrites", "wider", "deeper")


def _full_or_positive(text):
    """'full' (0: the whole training set per batch) or a batch size >= 1."""
    if text == "full":
        return 0
    value = demo._positive_int(text)
    return value


def _non_negative_float(text):
    """A finite number >= 0."""
    value = float(text)
    if not value >= 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text}")
    return value


def _positive_float(text):
    """A finite number > 0."""
    value = float(text)
    if not value > 0 or not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number > 0, got {text}")
    return value


def parse_args(argv=None):
    """Parses the command line; bad options exit with a one-line error and status 2."""
    parser = demo._Parser(prog="eval_learning.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--tasks", nargs="+", choices=TASKS, default=list(TASKS),
                        help="tasks to run (default: digits spirals)")
    parser.add_argument("--seeds", nargs="+", type=demo._non_negative_int, default=[0, 1, 2, 3, 4],
                        help="seeds (default 0 1 2 3 4)")
    parser.add_argument("--epochs", type=demo._positive_int, default=None,
                        help="epoch budget of every arm (default: digits 200, spirals 3000)")
    parser.add_argument("--batch-size", type=_full_or_positive, default=None,
                        help="'full' or a batch size (default: digits 64, spirals full)")
    parser.add_argument("--hidden", type=demo._positive_int, default=None,
                        help="hidden neurons of the task's network (default: digits 2, spirals 4)")
    parser.add_argument("--dendrites", type=demo._non_negative_int, default=None,
                        help="dendrites per neuron module (default: digits 3, spirals 16)")
    parser.add_argument("--candidates", type=demo._positive_int, default=None,
                        help="candidate dendrites per neuron module (default: digits 2, spirals 8)")
    parser.add_argument("--switch-epochs", type=demo._positive_int, default=None,
                        help="n-mode epochs without improvement before growth (default: digits 4, spirals 60)")
    parser.add_argument("--p-switch-epochs", type=demo._positive_int, default=None,
                        help="p-mode epochs without a counted correlation gain before acceptance "
                             "(default: digits 3, spirals 20)")
    parser.add_argument("--lr", type=_positive_float, default=None,
                        help="Adam learning rate (default: digits 0.01, spirals 0.01)")
    parser.add_argument("--candidate-lr-scale", type=_positive_float, default=None,
                        help="candidates' learning rate over the network's (default: digits 1, spirals 10)")
    parser.add_argument("--output-init", type=_non_negative_float, default=None,
                        help="starting size of a new dendrite's output weights, against its correlation "
                             "(default: digits 0, spirals 0.1; 0 starts them at zero)")
    parser.add_argument("--set", nargs="+", default=[], metavar="NAME=VALUE",
                        help="further host settings for the dendrite arm, e.g. cap_at_n=False (Python literals; "
                             "spirals sets correlation_average_factor=0.0 select_candidates_per_neuron=True)")
    parser.add_argument("--arms", nargs="+", choices=ARMS, default=list(ARMS),
                        help="arms to run (default: all four; wider and deeper need dendrites)")
    parser.add_argument("--markdown", default="runs/eval_learning.md",
                        help="where the Markdown table goes (default runs/eval_learning.md)")
    parser.add_argument("--verbose", action="store_true", help="one line per arm and seed")
    args = parser.parse_args(argv)
    if ("wider" in args.arms or "deeper" in args.arms) and "dendrites" not in args.arms:
        parser.error("the wider and deeper arms are sized from the dendrites arm: add 'dendrites' to --arms")
    if os.path.isdir(args.markdown):
        parser.error(f"--markdown {args.markdown!r} is a folder")
    if len(set(args.seeds)) != len(args.seeds):
        parser.error("--seeds lists a seed twice")
    args.host_settings = {}
    for item in args.set:
        name, _, text = item.partition("=")
        if not _ or not hasattr(_host_config_class(), "set_" + name):
            parser.error(f"--set {item!r}: expected NAME=VALUE with a host setting's name")
        try:
            args.host_settings[name] = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            parser.error(f"--set {item!r}: the value is not a Python literal")
    return args


def _host_config_class():
    """The host's configuration class (its setters name every setting)."""
    from dendrolab import globals_dendrolab as GDL

    return GDL.Config


# ---------------------------------------------------------------------------
# tasks
# ---------------------------------------------------------------------------
TASK_DEFAULTS = {
    # digits: the demo's schedule and every other host setting at its default.
    "digits": dict(epochs=200, batch_size=64, hidden=2, dendrites=3, candidates=2,
                   switch_epochs=4, p_switch_epochs=3, lr=0.01, candidate_lr_scale=1.0, output_init=0.0,
                   host={}),
    # spirals: one optimizer step per epoch, so the candidates get ten times the network's
    # learning rate and a score that is the current (exact, full-batch) covariance; each
    # neuron takes the best candidate of the pool for itself, and a new dendrite's output
    # weights start at 0.1 against its correlation.
    "spirals": dict(epochs=3000, batch_size=0, hidden=4, dendrites=16, candidates=8,
                    switch_epochs=60, p_switch_epochs=20, lr=0.01, candidate_lr_scale=10.0, output_init=0.1,
                    host=dict(correlation_average_factor=0.0, select_candidates_per_neuron=True)),
}


def two_spirals():
    """The 194 points of the classic two-spirals benchmark (raw coordinates, radius up to 6.5)
    and their classes, built as the original cascade-correlation generator builds them."""
    import torch

    points, classes = [], []
    for i in range(97):
        angle = i * math.pi / 16.0
        radius = 6.5 * (104 - i) / 104.0
        x, y = radius * math.sin(angle), radius * math.cos(angle)
        points += [(x, y), (-x, -y)]
        classes += [1, 0]
    return torch.tensor(points, dtype=torch.float32), torch.tensor(classes, dtype=torch.long)


def task_data(task, seed):
    """(train_x, train_y, eval_x, eval_y, classes) of a task for a seed."""
    if task == "digits":
        return demo.load_data("digits", seed)
    x, y = two_spirals()
    return x, y, x, y, 2


def plain_params(features, widths, classes):
    """Parameters of a plain tanh network features-widths...-classes."""
    sizes = [features, *widths, classes]
    return sum(a * b + b for a, b in zip(sizes[:-1], sizes[1:]))


def narrowest(features, classes, depth, at_least):
    """The narrowest hidden width w such that depth hidden layers of width w give a plain
    network with at least `at_least` parameters."""
    width = 1
    while plain_params(features, [width] * depth, classes) < at_least:
        width += 1
    return width


def plain_model(features, widths, classes):
    """A plain tanh network with the given hidden widths."""
    from torch import nn

    layers, last = [], features
    for width in widths:
        layers += [nn.Linear(last, width), nn.Tanh()]
        last = width
    layers.append(nn.Linear(last, classes))
    return nn.Sequential(*layers)


# ---------------------------------------------------------------------------
# training
# ---------------------------------------------------------------------------
def train_epoch(model, optimizer, x, y, batch_size, generator):
    """One epoch of the ordinary loop: zero_grad, cross-entropy, backward, step per batch."""
    import torch.nn.functional as F

    model.train()
    for inputs, targets in demo.batches(x, y, batch_size or len(x), generator):
        optimizer.zero_grad()
        F.cross_entropy(model(inputs), targets).backward()
        optimizer.step()


def configure_host(setup, batches_per_epoch):
    """The host's schedule for one task: the demo's rules with the task's patience."""
    from dendrolab import globals_dendrolab as GDL

    pc = GDL.pc
    pc.reset()
    pc.set_max_dendrites(setup["dendrites"])
    pc.set_n_epochs_to_switch(setup["switch_epochs"])
    pc.set_p_epochs_to_switch(setup["p_switch_epochs"])
    pc.set_arb_improvement_threshold(0.1)
    pc.set_cap_at_n(True)
    pc.set_global_candidates(setup["candidates"])
    pc.set_initial_correlation_batches(min(10, batches_per_epoch))
    pc.set_candidate_lr_scale(setup["candidate_lr_scale"])
    pc.set_dendrite_output_init(setup["output_init"])
    pc.set_silent(True)
    for name, value in setup["host"].items():
        getattr(pc, "set_" + name)(value)


def run_plain(model, setup, data, seed, stop_when_solved):
    """Trains a plain network for the budget; returns (accuracy, epochs run)."""
    import torch

    train_x, train_y, eval_x, eval_y, _ = data
    optimizer = torch.optim.Adam(model.parameters(), lr=setup["lr"])
    generator = torch.Generator().manual_seed(seed)
    acc = demo.accuracy(model, eval_x, eval_y)
    for epoch in range(1, setup["epochs"] + 1):
        train_epoch(model, optimizer, train_x, train_y, setup["batch_size"], generator)
        acc = demo.accuracy(model, eval_x, eval_y)
        if stop_when_solved and acc == 1.0:
            return acc, epoch
    return acc, setup["epochs"]


def run_dendrites(setup, data, seed, stop_when_solved):
    """Grows dendrites through the host's schedule within the budget; returns
    (accuracy, epochs run, deployment-form parameters, dendrites per neuron module)."""
    import torch
    from dendrograd import utils_dgr as UTL
    from dendrolab import globals_dendrolab as GDL
    from dendrolab import modules_dendrolab as MDL
    from dendrolab import utils_dendrolab as UDL

    train_x, train_y, eval_x, eval_y, classes = data
    GDL.arb_tracker.reset()  # the previous run's model is done training
    torch.manual_seed(seed)
    model = demo.build_model(train_x.shape[1], setup["hidden"], classes)
    batch = setup["batch_size"] or len(train_x)
    configure_host(setup, math.ceil(len(train_x) / batch))
    model = UDL.initialize_arb(model, save_name="eval_learning")
    tracker = GDL.arb_tracker
    # The candidates learn at lr x candidate_lr_scale (see configure_host).
    optimizer = tracker.setup_optimizer(model, MDL.candidate_lr_optimizer, optimizer="Adam", lr=setup["lr"])
    generator = torch.Generator().manual_seed(seed)
    done = False
    acc = demo.accuracy(model, eval_x, eval_y)
    epoch = 0
    for epoch in range(1, setup["epochs"] + 1):
        mode = tracker.member_vars["mode"]
        train_epoch(model, optimizer, train_x, train_y, setup["batch_size"], generator)
        acc = demo.accuracy(model, eval_x, eval_y)
        if stop_when_solved and acc == 1.0 and mode == "n":
            break
        if not done:  # after the last growth cycle the network keeps training in n mode
            model, restructured, done = tracker.add_validation_score(acc, model)
            if restructured:
                optimizer = tracker.optimizer
    return acc, epoch, UTL.dg_count_params(model), tracker.dendrites_added()


def run_seed(task, setup, arms, seed):
    """All requested arms for one seed: {arm: {"acc", "epochs", "params", "dendrites"?}}."""
    import torch

    data = task_data(task, seed)
    features, classes = data[0].shape[1], data[4]
    solve = task == "spirals"
    results = {}
    if "same" in arms:
        torch.manual_seed(seed)
        model = demo.build_model(features, setup["hidden"], classes)
        acc, epochs = run_plain(model, setup, data, seed, solve)
        results["same"] = dict(acc=acc, epochs=epochs, params=plain_params(features, [setup["hidden"]], classes))
    if "dendrites" in arms:
        acc, epochs, params, grown = run_dendrites(setup, data, seed, solve)
        results["dendrites"] = dict(acc=acc, epochs=epochs, params=params, dendrites=grown)
    for arm, depth in (("wider", 1), ("deeper", 2)):
        if arm not in arms:
            continue
        width = narrowest(features, classes, depth, results["dendrites"]["params"])
        torch.manual_seed(seed)
        model = plain_model(features, [width] * depth, classes)
        acc, epochs = run_plain(model, setup, data, seed, solve)
        results[arm] = dict(acc=acc, epochs=epochs, params=plain_params(features, [width] * depth, classes),
                            width=width)
    return results


# ---------------------------------------------------------------------------
# table
# ---------------------------------------------------------------------------
def describe(task, setup, arm, hidden_label):
    """The network of an arm in words."""
    features, classes = (64, 10) if task == "digits" else (2, 2)
    base = f"{features}-{setup['hidden']}-{classes}"
    return {"same": f"{base}, no dendrites",
            "dendrites": f"{base}, up to {setup['dendrites']} dendrites, {setup['candidates']} candidates",
            "wider": f"{features}-{hidden_label}-{classes}",
            "deeper": f"{features}-{hidden_label}-{hidden_label}-{classes}"}[arm]


def summarise(task, setup, arms, per_seed):
    """Table rows (one per arm) from the per-seed results."""
    rows = []
    for arm in arms:
        runs = [r[arm] for r in per_seed]
        accs = [r["acc"] for r in runs]
        widths = sorted({r["width"] for r in runs}) if "width" in runs[0] else []
        label = "/".join(str(w) for w in widths) if widths else ""
        mean = statistics.mean(accs)
        spread = statistics.stdev(accs) if len(accs) > 1 else 0.0
        solved = sum(a == 1.0 for a in accs) if task == "spirals" else None
        params = [r["params"] for r in runs]
        epochs = [r["epochs"] for r in runs]
        extra = ""
        if arm == "dendrites":
            extra = " (grown: " + ", ".join(str(r["dendrites"]) for r in runs) + ")"
        rows.append(dict(
            task=task, arm=arm, network=describe(task, setup, arm, label) + extra,
            mean=mean, std=spread, low=min(accs), high=max(accs), solved=solved, seeds=len(accs),
            params=(min(params), max(params)), epochs=(min(epochs), max(epochs)),
            per_seed=accs))
    return rows


def _range(pair):
    """'a' or 'a-b' for a (min, max) pair."""
    low, high = pair
    return f"{low}" if low == high else f"{low}-{high}"


HEADER = ("task", "arm", "network", "accuracy mean", "std", "min-max", "solved", "parameters", "epochs",
          "per seed")


def row_cells(row):
    """The cells of one table row as strings."""
    solved = "" if row["solved"] is None else f"{row['solved']}/{row['seeds']}"
    return (row["task"], row["arm"], row["network"], f"{row['mean']:.4f}", f"{row['std']:.4f}",
            f"{row['low']:.3f}-{row['high']:.3f}", solved, _range(row["params"]), _range(row["epochs"]),
            " ".join(f"{a:.3f}" for a in row["per_seed"]))


def markdown_table(rows):
    """The rows as a Markdown table."""
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "|".join("---" for _ in HEADER) + "|"]
    lines += ["| " + " | ".join(row_cells(r)) + " |" for r in rows]
    return "\n".join(lines) + "\n"


def text_table(rows):
    """The rows as an aligned plain-text table."""
    cells = [HEADER] + [row_cells(r) for r in rows]
    widths = [max(len(c[i]) for c in cells) for i in range(len(HEADER))]
    return "\n".join("  ".join(c[i].ljust(widths[i]) for i in range(len(HEADER))).rstrip() for c in cells)


def main(argv=None):
    """Runs every task, arm and seed; prints the table and writes it as Markdown."""
    args = parse_args(argv)
    import torch

    torch.set_num_threads(1)
    started = time.time()
    rows, settings = [], []
    for task in args.tasks:
        setup = dict(TASK_DEFAULTS[task])
        for key in setup:
            value = getattr(args, key, None)
            if value is not None:
                setup[key] = value
        setup["host"] = {**setup["host"], **args.host_settings}
        settings.append(f"{task}: budget {setup['epochs']} epochs, batch "
                        f"{'full' if not setup['batch_size'] else setup['batch_size']}, Adam lr {setup['lr']}, "
                        f"n patience {setup['switch_epochs']}, p patience {setup['p_switch_epochs']}, "
                        f"candidate lr x{setup['candidate_lr_scale']:g}, output init {setup['output_init']:g}"
                        + "".join(f", {k}={v!r}" for k, v in setup["host"].items()))
        print(settings[-1], flush=True)
        per_seed = []
        for seed in args.seeds:
            task_started = time.time()
            per_seed.append(run_seed(task, setup, args.arms, seed))
            if args.verbose:
                print(f"  {task} seed {seed} ({time.time() - task_started:.1f} s): " + ", ".join(
                    f"{arm} {r['acc']:.3f} ({r['params']} params, {r['epochs']} epochs"
                    + (f", {r['dendrites']} dendrites" if "dendrites" in r else "") + ")"
                    for arm, r in per_seed[-1].items()), flush=True)
        rows += summarise(task, setup, args.arms, per_seed)
    elapsed = time.time() - started
    print()
    print(text_table(rows))
    print(f"\n{len(args.seeds)} seeds ({' '.join(map(str, args.seeds))}), {elapsed:.0f} s")
    folder = os.path.dirname(args.markdown)
    if folder:
        os.makedirs(folder, exist_ok=True)
    with open(args.markdown + ".tmp", "w") as f:
        f.write(markdown_table(rows))
        f.write("\n" + "; ".join(settings) + f"; seeds {' '.join(map(str, args.seeds))}; {elapsed:.0f} s.\n")
    os.replace(args.markdown + ".tmp", args.markdown)
    print(f"Markdown table: {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
