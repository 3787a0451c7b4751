"""Do dendrites pay off? Dendrite networks against plain networks at equal epochs.

    .venv/bin/python benchmarks/eval_learning.py [--tasks digits spirals cascor] [--seeds 0 1 2 3 4]
        [--epochs N] [--batch-size full|N] [--arms ...] [--markdown runs/eval_learning.md]

Tasks:
  digits   the demo's deliberately too small network (64-2-10) on scikit-learn's digits,
           the demo's split and schedule, batches of 64; scored by validation accuracy.
           Also trains a front of plain 64-H-10 networks (--front-widths) and places every
           grown network against it.
  spirals  the two-spirals problem (194 points, 97 per arm, raw coordinates, the original
           cascade-correlation generator) on a 2-H-2 tanh network, full batch; the training
           set is the evaluation set, as in the classic benchmark; a seed is solved when the
           training accuracy reaches 100 %, and an arm stops there.
  cascor   cascade-correlation's own architecture on two-spirals: one tanh output unit and
           no hidden layer (nn.Sequential(nn.Linear(2, 1), nn.Tanh())), targets -1 and +1
           (--target 0.9: -0.9 and +0.9, inside the range tanh reaches),
           mean squared error, full batch (or --batch-size 32), patience 50 n-mode and 20
           p-mode epochs, 8 candidates, up to 25 dendrites, 6000 epochs; every other host
           setting at the host's default. Solved at 100 % training accuracy (the output's
           sign), where an arm stops.

Arms, each trained for the same epoch budget with Adam at the same learning rate:
  same       the task's network without dendrites;
  dendrites  the same network growing dendrites through the host's schedule (after the
             last growth cycle it keeps training in n mode until the budget is spent);
  cascor     (cascor task) cascade-correlation as the 1990 paper describes it, in plain
             PyTorch (benchmarks/cascor_reference.py): quickprop, a pool of 8, patience 8,
             up to as many units as the task's dendrites, within the same epoch budget;
  wider      a plain network with one hidden layer, the narrowest one with at least as many
             parameters as the grown dendrite network of the same seed;
  deeper     a plain network with two equal hidden layers, the narrowest one with at least
             as many parameters as the grown dendrite network of the same seed;
  gromo      a plain tanh network grown in width by GroMo's TINY method (the optional
             `gromo` package; benchmarks/gromo_arm.py), from 2-4-4-2 (spirals), 2-4-4-1
             (cascor) or the task's network (digits), up to the parameters of the grown
             dendrite network of the same seed (--gromo-params without the dendrites arm);
             skipped with a note when gromo is not installed.

Parameters are the weights each network computes with: for a grown network its layers,
each accepted dendrite's layer, the weights between dendrites and the dendrites' output
weights (cascade-correlation counts its networks the same way).

The dendrite arm's schedule length per task is in TASK_DEFAULTS; every other host
setting is the host's default. --candidate-lr-scale, --output-init and --set change them.

Prints a table (mean, standard deviation, min-max, seeds solved, parameters, epochs,
seconds per seed) and writes it as Markdown. Every arm of every seed starts from the same
seed, so a run is deterministic per seed, also with --jobs (seeds in parallel processes).
Bad options give a one-line error and exit
status 2.
"""
import argparse
import ast
import math
import os
import statistics
import sys
import time

from dendrograd import demo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cascor_reference  # noqa: E402  (benchmarks/ helpers, next to this script)
import gromo_arm  # noqa: E402

TASKS = ("digits", "spirals", "cascor")
ARMS = ("same", "dendrites", "cascor", "wider", "deeper", "gromo")
TASK_ARMS = {"digits": ("same", "dendrites", "wider", "deeper", "gromo"),
             "spirals": ("same", "dendrites", "wider", "deeper", "gromo"),
             "cascor": ARMS}
SOLVED_TASKS = ("spirals", "cascor")  # scored on the training set; solved at 100 %
FRONT_WIDTHS = (2, 4, 8, 12, 16, 24, 36, 48)


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


def _unit_fraction(text):
    """A number in (0, 1]."""
    value = float(text)
    if not 0 < value <= 1:
        raise argparse.ArgumentTypeError(f"must be a number in (0, 1], got {text}")
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
                        help="tasks to run (default: digits spirals cascor)")
    parser.add_argument("--seeds", nargs="+", type=demo._non_negative_int, default=[0, 1, 2, 3, 4],
                        help="seeds (default 0 1 2 3 4)")
    parser.add_argument("--epochs", type=demo._positive_int, default=None,
                        help="epoch budget of every arm (default: digits 200, spirals 3000, cascor 6000)")
    parser.add_argument("--batch-size", type=_full_or_positive, default=None,
                        help="'full' or a batch size (default: digits 64, spirals and cascor full)")
    parser.add_argument("--hidden", type=demo._positive_int, default=None,
                        help="hidden neurons of the task's network (default: digits 2, spirals 4; "
                             "the cascor task has no hidden layer)")
    parser.add_argument("--dendrites", type=demo._non_negative_int, default=None,
                        help="dendrites per neuron module (default: digits 3, spirals 16, cascor 25)")
    parser.add_argument("--candidates", type=demo._positive_int, default=None,
                        help="candidate dendrites per neuron module (default: digits 2, spirals and cascor 8)")
    parser.add_argument("--switch-epochs", type=demo._positive_int, default=None,
                        help="n-mode epochs without improvement before growth (default: digits 4, spirals 60, "
                             "cascor 50)")
    parser.add_argument("--p-switch-epochs", type=demo._positive_int, default=None,
                        help="p-mode epochs without a counted correlation gain before acceptance "
                             "(default: digits 3, spirals and cascor 20)")
    parser.add_argument("--lr", type=_positive_float, default=None,
                        help="Adam learning rate (default 0.01)")
    parser.add_argument("--candidate-lr-scale", type=_positive_float, default=None,
                        help="candidates' learning rate over the network's (default: the host's)")
    parser.add_argument("--output-init", type=_non_negative_float, default=None,
                        help="starting size of a new dendrite's output weights, against its correlation "
                             "(default: the host's; 0 starts them at zero)")
    parser.add_argument("--target", type=_unit_fraction, default=None,
                        help="the cascor task's targets are -T and +T (default 1)")
    parser.add_argument("--set", nargs="+", default=[], metavar="NAME=VALUE",
                        help="further host settings for the dendrite arm, e.g. cap_at_n=False (Python literals) or "
                             "arb_forward_function=torch.tanh")
    parser.add_argument("--arms", nargs="+", choices=ARMS, default=None,
                        help="arms to run (default: every arm of each task; wider, deeper and gromo are sized "
                             "from dendrites)")
    parser.add_argument("--front-widths", nargs="*", type=demo._positive_int, default=list(FRONT_WIDTHS),
                        help="hidden widths of the digits task's plain front (default 2 4 8 12 16 24 36 48; "
                             "none: no front)")
    parser.add_argument("--gromo-params", type=demo._positive_int, default=None,
                        help="parameter cap of the gromo arm when the dendrites arm does not run "
                             "(default: digits 2710, spirals 800, cascor 300)")
    parser.add_argument("--markdown", default="runs/eval_learning.md",
                        help="where the Markdown table goes (default runs/eval_learning.md)")
    parser.add_argument("--verbose", action="store_true", help="one line per task and seed")
    parser.add_argument("--jobs", type=demo._positive_int, default=1,
                        help="seeds run at once, each in its own single-threaded process (default 1); "
                             "the seconds per seed are each run's own")
    args = parser.parse_args(argv)
    _check_args(parser, args)
    return args


def _check_args(parser, args):
    """The checks argparse cannot make; also fills args.arms and args.host_settings."""
    if args.arms is None:
        args.arms = list(ARMS)
    elif not any(arm in TASK_ARMS[task] for arm in args.arms for task in args.tasks):
        parser.error(f"--arms {' '.join(args.arms)}: none of them runs on --tasks {' '.join(args.tasks)} "
                     "(the cascor arm runs on the cascor task only)")
    if ("wider" in args.arms or "deeper" in args.arms) and "dendrites" not in args.arms:
        parser.error("the wider and deeper arms are sized from the dendrites arm: add 'dendrites' to --arms")
    if args.target is not None and "cascor" not in args.tasks:
        parser.error("--target sets the cascor task's targets: add 'cascor' to --tasks")
    if os.path.isdir(args.markdown):
        parser.error(f"--markdown {args.markdown!r} is a folder")
    if len(set(args.seeds)) != len(args.seeds):
        parser.error("--seeds lists a seed twice")
    args.host_settings = host_settings(parser, args.set)


def host_settings(parser, items):
    """{name: value} of --set's NAME=VALUE items: a Python literal, or a function of torch
    written out (torch.tanh). Anything else is the parser's one-line error."""
    settings = {}
    for item in items:
        name, equals, text = item.partition("=")
        if not equals or not hasattr(_host_config_class(), "set_" + name):
            parser.error(f"--set {item!r}: expected NAME=VALUE with a host setting's name")
        try:
            settings[name] = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            function = _torch_function(text)
            if function is None:
                parser.error(f"--set {item!r}: the value is not a Python literal or a torch function (torch.tanh)")
            settings[name] = function
    return settings


def _torch_function(text):
    """The callable that `text` names inside torch (torch.tanh, torch.nn.functional.gelu), or None."""
    import torch

    parts = text.split(".")
    if parts[0] != "torch" or len(parts) < 2 or not all(part.isidentifier() for part in parts):
        return None
    value = torch
    for part in parts[1:]:
        value = getattr(value, part, None)
    return value if callable(value) else None


def _host_config_class():
    """The host's configuration class (its setters name every setting)."""
    from dendrolab import globals_dendrolab as GDL

    return GDL.Config


# ---------------------------------------------------------------------------
# tasks
# ---------------------------------------------------------------------------
TASK_DEFAULTS = {
    # Each task fixes its data, network and schedule length (patience, pool, dendrites,
    # budget); every other setting is the host's default (None: not set here).
    # digits: the demo's schedule.
    "digits": dict(epochs=200, batch_size=64, hidden=2, dendrites=3, candidates=2,
                   switch_epochs=4, p_switch_epochs=3, lr=0.01, candidate_lr_scale=None, output_init=None,
                   host={}, fit_initial_batches=True, gromo_widths=None, gromo_params=2710, target=1.0),
    # spirals: a 2-4-2 network on the two-spirals set, full batch.
    "spirals": dict(epochs=3000, batch_size=0, hidden=4, dendrites=16, candidates=8,
                    switch_epochs=60, p_switch_epochs=20, lr=0.01, candidate_lr_scale=None, output_init=None,
                    host={}, fit_initial_batches=True, gromo_widths=(4, 4), gromo_params=800, target=1.0),
    # cascor: one tanh output unit growing a cascade of dendrites, full batch.
    "cascor": dict(epochs=6000, batch_size=0, hidden=None, dendrites=25, candidates=8,
                   switch_epochs=50, p_switch_epochs=20, lr=0.01, candidate_lr_scale=None, output_init=None,
                   host={}, fit_initial_batches=False, gromo_widths=(4, 4), gromo_params=300, target=1.0),
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
    """(train_x, train_y, eval_x, eval_y, outputs) of a task for a seed; y holds classes."""
    if task == "digits":
        return demo.load_data("digits", seed)
    x, y = two_spirals()
    return x, y, x, y, (1 if task == "cascor" else 2)


def task_loss(task, out, y, reduction="mean", target=1.0):
    """Cross-entropy on the classes; for cascor, squared error against targets -target and
    +target."""
    import torch.nn.functional as F

    if task == "cascor":
        return F.mse_loss(out.squeeze(1), (y.to(out.dtype) * 2 - 1) * target, reduction=reduction)
    return F.cross_entropy(out, y, reduction=reduction)


def task_accuracy(task, model, x, y):
    """Share of samples classified right: the largest output, or the single output's sign."""
    import torch

    if task != "cascor":
        return demo.accuracy(model, x, y)
    was_training = model.training
    model.eval()
    with torch.no_grad():
        result = ((model(x).squeeze(1) > 0).long() == y).float().mean().item()
    model.train(was_training)
    return result


def task_model(task, features, hidden, outputs):
    """The task's network: features-hidden-outputs with tanh, or cascor's single tanh unit."""
    from torch import nn

    if task == "cascor":
        return nn.Sequential(nn.Linear(features, outputs), nn.Tanh())
    return demo.build_model(features, hidden, outputs)


def plain_params(features, widths, outputs):
    """Parameters of a plain tanh network features-widths...-outputs."""
    sizes = [features, *widths, outputs]
    return sum(a * b + b for a, b in zip(sizes[:-1], sizes[1:]))


def narrowest(features, outputs, depth, at_least):
    """The narrowest hidden width w such that depth hidden layers of width w give a plain
    network with at least `at_least` parameters."""
    width = 1
    while plain_params(features, [width] * depth, outputs) < at_least:
        width += 1
    return width


def plain_model(task, features, widths, outputs):
    """A plain tanh network with the given hidden widths (a tanh output unit for cascor)."""
    from torch import nn

    layers, last = [], features
    for width in widths:
        layers += [nn.Linear(last, width), nn.Tanh()]
        last = width
    layers.append(nn.Linear(last, outputs))
    if task == "cascor":
        layers.append(nn.Tanh())
    return nn.Sequential(*layers)


def grown_params(model):
    """Weights a wrapped network computes with: every layer's own, and per neuron module its
    accepted dendrites' layers, the weights between dendrites and the dendrites' current
    output weights. (The training form also keeps each superseded output-weight tensor.)"""
    from dendrolab import modules_dendrolab as MDL

    total, counted = 0, set()
    for module in model.modules():
        if not isinstance(module, MDL.ARBNeuronModule):
            continue
        dendrites = module.dendrite_module.num_dendrites
        weights = list(module.main_module.parameters())
        weights += [p for layer in module.dendrite_module.layers for p in layer.parameters()]
        weights += [module.dendrites_to_dendrites[k + 1] for k in range(dendrites)]
        weights += [module.dendrites_to_top[-1]] if dendrites else []
        total += sum(p.numel() for p in weights)
        counted.update(id(p) for p in module.parameters())
    return total + sum(p.numel() for p in model.parameters() if id(p) not in counted)


# ---------------------------------------------------------------------------
# training
# ---------------------------------------------------------------------------
def train_epoch(task, model, optimizer, x, y, batch_size, generator, target=1.0):
    """One epoch of the ordinary loop: zero_grad, the task's loss, backward, step per batch."""
    model.train()
    for inputs, targets in demo.batches(x, y, batch_size or len(x), generator):
        optimizer.zero_grad()
        task_loss(task, model(inputs), targets, target=target).backward()
        optimizer.step()


def configure_host(setup, batches_per_epoch):
    """The host's schedule for one task: the task's patience, pool and dendrites, and the
    task's settings; whatever the task leaves as None stays at the host's default."""
    from dendrolab import globals_dendrolab as GDL

    pc = GDL.pc
    pc.reset()
    pc.set_max_dendrites(setup["dendrites"])
    pc.set_n_epochs_to_switch(setup["switch_epochs"])
    pc.set_p_epochs_to_switch(setup["p_switch_epochs"])
    pc.set_global_candidates(setup["candidates"])
    if setup["fit_initial_batches"]:  # the demo's rules
        pc.set_arb_improvement_threshold(0.1)
        pc.set_cap_at_n(True)
        pc.set_initial_correlation_batches(min(10, batches_per_epoch))
    if setup["candidate_lr_scale"] is not None:
        pc.set_candidate_lr_scale(setup["candidate_lr_scale"])
    if setup["output_init"] is not None:
        pc.set_dendrite_output_init(setup["output_init"])
    pc.set_silent(True)
    for name, value in setup["host"].items():
        getattr(pc, "set_" + name)(value)


def run_plain(task, model, setup, data, seed, stop_when_solved):
    """Trains a plain network for the budget; returns (accuracy, epochs run)."""
    import torch

    train_x, train_y, eval_x, eval_y, _ = data
    optimizer = torch.optim.Adam(model.parameters(), lr=setup["lr"])
    generator = torch.Generator().manual_seed(seed)
    acc = task_accuracy(task, model, eval_x, eval_y)
    for epoch in range(1, setup["epochs"] + 1):
        train_epoch(task, model, optimizer, train_x, train_y, setup["batch_size"], generator, setup["target"])
        acc = task_accuracy(task, model, eval_x, eval_y)
        if stop_when_solved and acc == 1.0:
            return acc, epoch
    return acc, setup["epochs"]


def _setup_optimizer(tracker, model, lr):
    """The dendrite arm's optimizer: Adam through the tracker, which gives the candidates
    their own group at the host's candidate learning-rate scale."""
    import torch

    return tracker.setup_optimizer(model, torch.optim.Adam, lr=lr)


def run_dendrites(task, setup, data, seed, stop_when_solved):
    """Grows dendrites through the host's schedule within the budget; returns
    (accuracy, epochs run, parameters, dendrites per neuron module)."""
    import torch
    from dendrolab import globals_dendrolab as GDL
    from dendrolab import utils_dendrolab as UDL

    train_x, train_y, eval_x, eval_y, outputs = data
    GDL.arb_tracker.reset()  # the previous run's model is done training
    torch.manual_seed(seed)
    model = task_model(task, train_x.shape[1], setup["hidden"], outputs)
    batch = setup["batch_size"] or len(train_x)
    configure_host(setup, math.ceil(len(train_x) / batch))
    model = UDL.initialize_arb(model, save_name="eval_learning")
    tracker = GDL.arb_tracker
    optimizer = _setup_optimizer(tracker, model, setup["lr"])
    generator = torch.Generator().manual_seed(seed)
    done = False
    acc = task_accuracy(task, model, eval_x, eval_y)
    epoch = 0
    for epoch in range(1, setup["epochs"] + 1):
        mode = tracker.member_vars["mode"]
        train_epoch(task, model, optimizer, train_x, train_y, setup["batch_size"], generator, setup["target"])
        acc = task_accuracy(task, model, eval_x, eval_y)
        if stop_when_solved and acc == 1.0 and mode == "n":
            break
        if not done:  # after the last growth cycle the network keeps training in n mode
            model, restructured, done = tracker.add_validation_score(acc, model)
            if restructured:
                optimizer = tracker.optimizer
    return acc, epoch, grown_params(model), tracker.dendrites_added()


def run_cascor(setup, data, seed):
    """The cascade-correlation reference on the task's training set; returns its result."""
    train_x, train_y = data[0], data[1]
    targets = (train_y.double() - 0.5).unsqueeze(1) * setup["target"]  # the paper's -0.5 / +0.5
    return cascor_reference.run(train_x, targets, seed, max_units=setup["dendrites"], max_epochs=setup["epochs"])


def run_gromo(task, setup, data, seed, cap, stop_when_solved):
    """A plain tanh network grown by GroMo (see gromo_arm); returns (accuracy, epochs run,
    parameters, hidden widths)."""
    import torch

    train_x, train_y, eval_x, eval_y, outputs = data
    torch.manual_seed(seed)
    widths = setup["gromo_widths"] or (setup["hidden"],)
    model = gromo_arm.build(train_x.shape[1], widths, outputs, tanh_output=task == "cascor")
    optimizer = torch.optim.Adam(model.parameters(), lr=setup["lr"])
    generator = torch.Generator().manual_seed(seed)
    best, last_improved, growing = -1.0, 0, True
    acc = task_accuracy(task, model, eval_x, eval_y)
    for epoch in range(1, setup["epochs"] + 1):
        train_epoch(task, model, optimizer, train_x, train_y, setup["batch_size"], generator, setup["target"])
        acc = task_accuracy(task, model, eval_x, eval_y)
        if stop_when_solved and acc == 1.0:
            break
        if acc > best:
            best, last_improved = acc, epoch
        if growing and epoch - last_improved >= setup["switch_epochs"]:
            added = gromo_arm.grow(model, train_x, train_y,
                                   lambda out, y: task_loss(task, out, y, reduction="sum", target=setup["target"]), cap)
            growing = added is not None  # None: no neuron fits under the cap any more
            best, last_improved = -1.0, epoch
            optimizer = torch.optim.Adam(model.parameters(), lr=setup["lr"])
    return acc, epoch, gromo_arm.count_params(model), gromo_arm.hidden_widths(model)


def _timed(function, *args):
    """(function(*args), seconds)."""
    started = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - started


def run_seed(task, setup, arms, seed, gromo_cap):
    """All requested arms for one seed: {arm: {"acc", "epochs", "params", "seconds", ...}}."""
    import torch

    data = task_data(task, seed)
    features, outputs = data[0].shape[1], data[4]
    solve = task in SOLVED_TASKS
    results = {}
    if "same" in arms:
        torch.manual_seed(seed)
        model = task_model(task, features, setup["hidden"], outputs)
        (acc, epochs), seconds = _timed(run_plain, task, model, setup, data, seed, solve)
        params = sum(p.numel() for p in model.parameters())
        results["same"] = dict(acc=acc, epochs=epochs, params=params, seconds=seconds)
    if "dendrites" in arms:
        (acc, epochs, params, grown), seconds = _timed(run_dendrites, task, setup, data, seed, solve)
        results["dendrites"] = dict(acc=acc, epochs=epochs, params=params, grown=grown, seconds=seconds)
    if "cascor" in arms:
        result = run_cascor(setup, data, seed)
        results["cascor"] = dict(acc=result["accuracy"], epochs=result["epochs"], params=result["weights"],
                                 grown=result["units"], seconds=result["seconds"])
    for arm, depth in (("wider", 1), ("deeper", 2)):
        if arm not in arms:
            continue
        width = narrowest(features, outputs, depth, results["dendrites"]["params"])
        torch.manual_seed(seed)
        model = plain_model(task, features, [width] * depth, outputs)
        (acc, epochs), seconds = _timed(run_plain, task, model, setup, data, seed, solve)
        results[arm] = dict(acc=acc, epochs=epochs, params=plain_params(features, [width] * depth, outputs),
                            width=width, seconds=seconds)
    if "gromo" in arms:
        cap = results["dendrites"]["params"] if "dendrites" in results else gromo_cap
        (acc, epochs, params, widths), seconds = _timed(run_gromo, task, setup, data, seed, cap, solve)
        results["gromo"] = dict(acc=acc, epochs=epochs, params=params, grown=widths, seconds=seconds)
    return results


def run_front(setup, seeds, widths):
    """The digits task's plain 64-H-10 networks over the seeds: one row per width."""
    import torch

    rows = []
    for width in widths:
        accs, seconds = [], []
        for seed in seeds:
            data = task_data("digits", seed)
            torch.manual_seed(seed)
            model = plain_model("digits", data[0].shape[1], [width], data[4])
            (acc, _), spent = _timed(run_plain, "digits", model, setup, data, seed, False)
            accs.append(acc)
            seconds.append(spent)
        rows.append(dict(width=width, params=plain_params(64, [width], 10), accs=accs, seconds=seconds,
                         mean=statistics.mean(accs)))
    return rows


# ---------------------------------------------------------------------------
# tables
# ---------------------------------------------------------------------------
def describe(task, setup, arm, runs):
    """The network of an arm in words, with what it grew per seed."""
    features, outputs = {"digits": (64, 10), "spirals": (2, 2), "cascor": (2, 1)}[task]
    base = f"{features}-{outputs} tanh unit" if task == "cascor" else f"{features}-{setup['hidden']}-{outputs}"
    widths = sorted({r["width"] for r in runs if "width" in r})
    label = "/".join(str(w) for w in widths)
    grown = ", ".join(str(r["grown"]) for r in runs if "grown" in r)
    start = "-".join(map(str, [features, *(setup["gromo_widths"] or (setup["hidden"],)), outputs]))
    return {"same": f"{base}, no dendrites",
            "dendrites": f"{base}, up to {setup['dendrites']} dendrites, {setup['candidates']} candidates "
                         f"(grown: {grown})",
            "cascor": f"cascade-correlation, pool 8, up to {setup['dendrites']} units, whole training set per "
                      f"epoch (units: {grown})",
            "wider": f"{features}-{label}-{outputs}",
            "deeper": f"{features}-{label}-{label}-{outputs}",
            "gromo": f"GroMo TINY from {start} (hidden widths: {grown.replace(', [', '; [')})"}[arm]


def summarise(task, setup, arms, per_seed):
    """Table rows (one per arm) from the per-seed results."""
    rows = []
    for arm in arms:
        runs = [r[arm] for r in per_seed]
        accs = [r["acc"] for r in runs]
        params = [r["params"] for r in runs]
        epochs = [r["epochs"] for r in runs]
        rows.append(dict(
            task=task, arm=arm, network=describe(task, setup, arm, runs),
            mean=statistics.mean(accs), std=statistics.stdev(accs) if len(accs) > 1 else 0.0,
            low=min(accs), high=max(accs), seeds=len(accs),
            solved=sum(a == 1.0 for a in accs) if task in SOLVED_TASKS else None,
            params=(min(params), max(params)), epochs=(min(epochs), max(epochs)),
            per_seed=accs, seconds=[r["seconds"] for r in runs]))
    return rows


def _range(pair):
    """'a' or 'a-b' for a (min, max) pair."""
    low, high = pair
    return f"{low}" if low == high else f"{low}-{high}"


HEADER = ("task", "arm", "network", "accuracy mean", "std", "min-max", "solved", "parameters", "epochs",
          "per seed", "seconds per seed")


def row_cells(row):
    """The cells of one table row as strings."""
    solved = "" if row["solved"] is None else f"{row['solved']}/{row['seeds']}"
    return (row["task"], row["arm"], row["network"], f"{row['mean']:.4f}", f"{row['std']:.4f}",
            f"{row['low']:.3f}-{row['high']:.3f}", solved, _range(row["params"]), _range(row["epochs"]),
            " ".join(f"{a:.3f}" for a in row["per_seed"]), " ".join(f"{s:.1f}" for s in row["seconds"]))


FRONT_HEADER = ("network", "parameters", "accuracy mean", "per seed", "seconds per seed")


def front_cells(front, rows):
    """The digits front's rows, then each grown arm placed against it: the best plain network
    with at most its parameters, and the smallest plain network at least as accurate."""
    cells = [(f"64-{f['width']}-10", str(f["params"]), f"{f['mean']:.4f}",
              " ".join(f"{a:.3f}" for a in f["accs"]), " ".join(f"{s:.1f}" for s in f["seconds"]))
             for f in front]
    for row in rows:
        if row["task"] != "digits" or row["arm"] not in ("dendrites", "gromo"):
            continue
        params = row["params"][1]
        below = [f for f in front if f["params"] <= params]
        best = max(below, key=lambda f: f["mean"]) if below else None
        level = [f for f in front if f["mean"] >= row["mean"]]
        cheapest = min(level, key=lambda f: f["params"]) if level else None
        cells.append((f"{row['arm']} (grown)", _range(row["params"]), f"{row['mean']:.4f}",
                      "front at <= its parameters: " + (f"64-{best['width']}-10 {best['mean']:.4f}" if best else "none")
                      + "; as accurate: " + (f"64-{cheapest['width']}-10 ({cheapest['params']} parameters)"
                                             if cheapest else "none"), ""))
    return cells


def markdown_table(header, cells):
    """Rows of cells as a Markdown table."""
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(c) + " |" for c in cells]
    return "\n".join(lines) + "\n"


def text_table(header, cells):
    """Rows of cells as an aligned plain-text table."""
    cells = [header] + list(cells)
    widths = [max(len(c[i]) for c in cells) for i in range(len(header))]
    return "\n".join("  ".join(c[i].ljust(widths[i]) for i in range(len(header))).rstrip() for c in cells)


# ---------------------------------------------------------------------------
# main
# ---------------------------------------------------------------------------
def task_setup(task, args):
    """The task's defaults with the command line's changes, and a line describing them."""
    setup = dict(TASK_DEFAULTS[task])
    for key in setup:
        value = getattr(args, key, None)
        if value is not None and not (task == "cascor" and key == "hidden"):
            setup[key] = value
    setup["host"] = {**setup["host"], **args.host_settings}
    host_default = "the host's default"
    line = (f"{task}: budget {setup['epochs']} epochs, batch "
            f"{'full' if not setup['batch_size'] else setup['batch_size']}, "
            + (f"targets -{setup['target']:g} and +{setup['target']:g}, " if task == "cascor" else "")
            + f"Adam lr {setup['lr']}, "
            f"n patience {setup['switch_epochs']}, p patience {setup['p_switch_epochs']}, candidate lr x"
            + (host_default if setup["candidate_lr_scale"] is None else f"{setup['candidate_lr_scale']:g}")
            + ", output init " + (host_default if setup["output_init"] is None else f"{setup['output_init']:g}")
            + "".join(f", {k}={v!r}" for k, v in setup["host"].items()))
    return setup, line


def task_arms(task, args, notes):
    """The requested arms that run on the task; a note for gromo when it cannot run."""
    arms = [arm for arm in args.arms if arm in TASK_ARMS[task]]
    if "gromo" in arms:
        reason = gromo_arm.available()
        if reason is not None:
            arms.remove("gromo")
            if reason not in notes:
                notes.append(reason)
                print(f"gromo arm skipped: {reason}", flush=True)
    return arms


def _single_threaded():
    import torch

    torch.set_num_threads(1)


def seed_results(task, setup, arms, args):
    """run_seed's results for every seed, in order: here, or with --jobs in that many
    single-threaded worker processes (started fresh, so no OpenMP state is forked)."""
    gromo_cap = args.gromo_params or setup["gromo_params"]
    if args.jobs == 1 or len(args.seeds) == 1:
        for seed in args.seeds:
            yield run_seed(task, setup, arms, seed, gromo_cap)
        return
    import concurrent.futures
    import multiprocessing

    with concurrent.futures.ProcessPoolExecutor(max_workers=args.jobs, initializer=_single_threaded,
                                                mp_context=multiprocessing.get_context("spawn")) as pool:
        yield from pool.map(run_seed, *zip(*[(task, setup, arms, seed, gromo_cap) for seed in args.seeds]))


def run_task(task, args, notes):
    """Every seed of one task; returns (settings line, table rows, front or None)."""
    setup, line = task_setup(task, args)
    print(line, flush=True)
    arms = task_arms(task, args, notes)
    per_seed = []
    for seed, results in zip(args.seeds, seed_results(task, setup, arms, args)):
        per_seed.append(results)
        if args.verbose:
            print(f"  {task} seed {seed}: " + ", ".join(
                f"{arm} {r['acc']:.3f} ({r['params']} params, {r['epochs']} epochs"
                + (f", grown {r['grown']}" if "grown" in r else "") + f", {r['seconds']:.1f} s)"
                for arm, r in results.items()), flush=True)
    front = None
    if task == "digits" and args.front_widths:
        front = run_front(setup, args.seeds, args.front_widths)
    return line, summarise(task, setup, arms, per_seed), front


def main(argv=None):
    """Runs every task, arm and seed; prints the tables and writes them as Markdown."""
    args = parse_args(argv)
    import torch

    torch.set_num_threads(1)
    started = time.time()
    rows, settings, fronts, notes = [], [], [], []
    for task in args.tasks:
        line, task_rows, front = run_task(task, args, notes)
        settings.append(line)
        rows += task_rows
        if front is not None:
            fronts.append(front_cells(front, task_rows))
    elapsed = time.time() - started
    wall = f"{elapsed:.0f} s" + (f" in {args.jobs} processes" if args.jobs > 1 and len(args.seeds) > 1 else "")
    cells = [row_cells(r) for r in rows]
    print()
    print(text_table(HEADER, cells))
    for front in fronts:
        print("\ndigits: plain 64-H-10 networks (the front) and where the grown networks fall")
        print(text_table(FRONT_HEADER, front))
    print(f"\n{len(args.seeds)} seeds ({' '.join(map(str, args.seeds))}), {wall}")
    folder = os.path.dirname(args.markdown)
    if folder:
        os.makedirs(folder, exist_ok=True)
    with open(args.markdown + ".tmp", "w") as f:
        f.write(markdown_table(HEADER, cells))
        for front in fronts:
            f.write("\n" + markdown_table(FRONT_HEADER, front))
        f.write("\n" + "; ".join(settings + notes) + f"; seeds {' '.join(map(str, args.seeds))}; {wall}.\n")
    os.replace(args.markdown + ".tmp", args.markdown)
    print(f"Markdown table: {args.markdown}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
