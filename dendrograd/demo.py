"""Demo: grow dendrites on a network that is too small for its task.

    python -m dendrograd.demo            (also installed as `dendrograd-demo`)

Trains the same small network twice on a data set that ships with an installed
package: once with dendrites (n mode, p mode, accepted dendrites, repeated) and
once without, for the same total number of epochs. Prints per cycle the
validation accuracy, the candidates' best correlation scores and the parameter
count, then writes the deployment file, a PNG of the histories and a summary,
and checks that the saved deployment file predicts exactly what the trained
network predicts.
"""
import argparse
import math
import os
import statistics
import sys
import time

DATASETS = ("digits", "spirals")


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line and status 2, like any command-line tool
        self.exit(2, f"{self.prog}: error: {message}\n")


def _non_negative_int(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be >= 0, got {value}")
    return value


def _positive_int(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be >= 1, got {value}")
    return value


def parse_args(argv=None):
    parser = _Parser(prog="dendrograd-demo", description=__doc__.split("\n\n")[0])
    parser.add_argument("--dataset", choices=DATASETS, default="digits",
                        help="digits: scikit-learn's bundled 8x8 handwritten digits (default); "
                             "spirals: the two-spirals problem, generated deterministically")
    parser.add_argument("--dendrites", type=_non_negative_int, default=3,
                        help="number of dendrites to grow per neuron module (default 3; 0 trains without)")
    parser.add_argument("--epochs", type=_positive_int, default=200,
                        help="upper bound on the total number of epochs (default 200)")
    parser.add_argument("--switch-epochs", type=_positive_int, default=4,
                        help="epochs without improvement before a mode switch (default 4)")
    parser.add_argument("--candidates", type=_positive_int, default=2,
                        help="candidate dendrites per neuron module (default 2)")
    parser.add_argument("--hidden", type=_positive_int, default=2,
                        help="hidden neurons of the small network (default 2: deliberately too few)")
    parser.add_argument("--seed", type=int, default=0, help="random seed (default 0)")
    parser.add_argument("--output", default="runs/demo", help="output folder (default runs/demo)")
    parser.add_argument("--device", choices=("cpu", "cuda"), default="cpu", help="device (default cpu)")
    parser.add_argument("--threads", type=_non_negative_int, default=0,
                        help="run the inference module's layers on threads when > 0 (default 0)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the comparison run without dendrites")
    parser.add_argument("--quiet", action="store_true", help="no progress bars")
    args = parser.parse_args(argv)
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        parser.error(f"output folder {args.output!r} is a file")
    if args.device == "cuda":
        import torch

        if not torch.cuda.is_available():
            parser.error("--device cuda requested but no CUDA device is available")
    return args


# ---------------------------------------------------------------------------
# data and model
# ---------------------------------------------------------------------------
def load_data(name, seed):
    """(train_x, train_y, val_x, val_y, classes) as float/long tensors."""
    import torch

    generator = torch.Generator().manual_seed(seed)
    if name == "digits":
        from sklearn.datasets import load_digits

        digits = load_digits()
        x = torch.tensor(digits.data, dtype=torch.float32) / 16.0
        y = torch.tensor(digits.target, dtype=torch.long)
        classes = 10
    else:
        points = 400
        t = torch.linspace(0.05, 1.0, points, dtype=torch.float64) * 3 * math.pi
        arm = torch.stack([t * torch.cos(t), t * torch.sin(t)], 1) / (3 * math.pi)
        x = torch.cat([arm, -arm]).float()
        x = x + 0.02 * torch.randn(x.shape, generator=generator)
        y = torch.cat([torch.zeros(points), torch.ones(points)]).long()
        classes = 2
    order = torch.randperm(len(x), generator=generator)
    split = int(0.8 * len(x))
    train, val = order[:split], order[split:]
    return x[train], y[train], x[val], y[val], classes


def build_model(features, hidden, classes):
    from torch import nn

    return nn.Sequential(nn.Linear(features, hidden), nn.Tanh(), nn.Linear(hidden, classes))


def accuracy(model, x, y):
    import torch

    was_training = model.training
    model.eval()
    with torch.no_grad():
        result = (model(x).argmax(1) == y).float().mean().item()
    model.train(was_training)
    return result


def batches(x, y, size, generator):
    import torch

    order = torch.randperm(len(x), generator=generator)
    for start in range(0, len(x), size):
        index = order[start:start + size]
        yield x[index], y[index]


# ---------------------------------------------------------------------------
# training
# ---------------------------------------------------------------------------
BATCH_SIZE = 64
LEARNING_RATE = 0.01


def train_epoch(model, optimizer, x, y, generator):
    import torch.nn.functional as F

    model.train()
    for inputs, targets in batches(x, y, BATCH_SIZE, generator):
        optimizer.zero_grad()
        loss = F.cross_entropy(model(inputs), targets)
        loss.backward()
        optimizer.step()


def configure_host(args, batches_per_epoch):
    from dendrolab import globals_dendrolab as GDL

    pc = GDL.pc
    pc.reset()
    pc.set_device(args.device)
    pc.set_max_dendrites(args.dendrites)
    pc.set_n_epochs_to_switch(args.switch_epochs)
    # p mode ends once the candidates' correlation has not grown by 10% for 3 epochs,
    # and lasts at most as long as the first n phase.
    pc.set_p_epochs_to_switch(3)
    pc.set_arb_improvement_threshold(0.1)
    pc.set_cap_at_n(True)
    pc.set_global_candidates(args.candidates)
    pc.set_initial_correlation_batches(min(10, batches_per_epoch))
    pc.set_silent(True)  # the demo prints its own per-cycle report


def best_correlations(tracker):
    """Best candidate correlation of the last p epoch, per neuron module."""
    return [scores[-1] if scores else float("nan") for scores in tracker.member_vars["best_scores"]]


def run_with_dendrites(args, data, progress):
    import torch
    from dendrograd import utils_dgr as UTL
    from dendrolab import globals_dendrolab as GDL
    from dendrolab import utils_dendrolab as UDL

    train_x, train_y, val_x, val_y, classes = data
    torch.manual_seed(args.seed)
    generator = torch.Generator().manual_seed(args.seed)
    model = build_model(train_x.shape[1], args.hidden, classes).to(args.device)
    configure_host(args, math.ceil(len(train_x) / BATCH_SIZE))
    model = UDL.initialize_arb(model, save_name="demo")
    tracker = GDL.arb_tracker
    optimizer = tracker.setup_optimizer(model, torch.optim.Adam, lr=LEARNING_RATE)
    report = {"params_before": UTL.dg_count_params(model), "cycles": []}
    last_n_accuracy = 0.0
    epochs_run = 0
    epoch_seconds = {}  # (mode, dendrites) -> training time of each such epoch
    bar = progress(total=args.epochs, desc="with dendrites")
    while epochs_run < args.epochs:
        mode = tracker.member_vars["mode"]
        epoch_started = time.perf_counter()
        train_epoch(model, optimizer, train_x, train_y, generator)
        epoch_seconds.setdefault((mode, tracker.dendrites_added()), []).append(time.perf_counter() - epoch_started)
        epochs_run += 1
        val_acc = accuracy(model, val_x, val_y)
        if mode == "n":
            last_n_accuracy = val_acc
        model, restructured, done = tracker.add_validation_score(val_acc, model)
        bar.update(1)
        bar.set_postfix(mode=mode, acc=f"{val_acc:.3f}", dendrites=tracker.dendrites_added())
        if restructured:
            optimizer = tracker.optimizer
            if mode == "n":  # n -> p: the network as it stands before this growth cycle
                report.setdefault("accuracy_before", last_n_accuracy)
            else:  # p -> n: every neuron module has accepted a dendrite
                cycle = {"epoch": epochs_run, "dendrites": tracker.dendrites_added(),
                         "accuracy": last_n_accuracy, "correlations": best_correlations(tracker),
                         "params": UTL.dg_count_params(model)}
                report["cycles"].append(cycle)
                bar.write(f"cycle {len(report['cycles'])} (epoch {epochs_run}): validation accuracy "
                          f"{cycle['accuracy']:.4f} before growth, best candidate correlation per "
                          f"neuron module [" + ", ".join(f"{c:.3f}" for c in cycle["correlations"])
                          + f"], dendrite {cycle['dendrites']} added, parameters {cycle['params']}")
        if done:
            break
    bar.close()
    report.setdefault("accuracy_before", last_n_accuracy)
    report.update(model=model, epochs=epochs_run, accuracy_after=accuracy(model, val_x, val_y),
                  params_after=UTL.dg_count_params(model), dendrites=tracker.dendrites_added(),
                  history=tracker.member_vars, epoch_seconds=epoch_seconds)
    return report


def epoch_rates(epoch_seconds, mode):
    """'dendrites: epochs per second' of the training epochs in `mode`, by dendrite count
    (the median epoch of each count)."""
    rates = []
    for (epoch_mode, dendrites), seconds in sorted(epoch_seconds.items()):
        if epoch_mode == mode:
            rates.append(f"{dendrites}: {1.0 / max(statistics.median(seconds), 1e-9):.1f}")
    return ", ".join(rates) if rates else "none"


def run_baseline(args, data, epochs, progress, hidden=None):
    """A plain PyTorch network (the same one, or `hidden` neurons wide) for the same number of
    epochs; returns its validation accuracy."""
    import torch

    train_x, train_y, val_x, val_y, classes = data
    torch.manual_seed(args.seed)
    generator = torch.Generator().manual_seed(args.seed)
    model = build_model(train_x.shape[1], hidden or args.hidden, classes).to(args.device)
    optimizer = torch.optim.Adam(model.parameters(), lr=LEARNING_RATE)
    for _ in progress(range(epochs), desc="baseline"):
        train_epoch(model, optimizer, train_x, train_y, generator)
    return accuracy(model, val_x, val_y)


def width_with_params(features, classes, at_least):
    """The narrowest hidden width whose plain features-width-classes network has at least
    `at_least` parameters."""
    return max(1, math.ceil((at_least - classes) / (features + 1 + classes)))


# ---------------------------------------------------------------------------
# outputs
# ---------------------------------------------------------------------------
def save_plot(history, path):
    """Accuracy per epoch (p-mode epochs shaded) and the best candidate scores."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 5.5), sharex=False)
    accuracies = history["n_accuracies"]
    epochs = range(1, len(accuracies) + 1)
    top.plot(epochs, accuracies, color="tab:blue", label="validation accuracy")
    switches = list(history["switch_epochs"]) + [len(accuracies)]
    for start, end in zip(switches[0::2], switches[1::2]):
        top.axvspan(start + 0.5, end + 0.5, color="tab:orange", alpha=0.15,
                    label="p mode (candidates learn)" if start == switches[0] else None)
    top.set_xlabel("epoch")
    top.set_ylabel("accuracy")
    top.legend(loc="lower right")
    for layer, scores in enumerate(history["best_scores"]):
        bottom.plot(range(1, len(scores) + 1), scores, marker=".", label=f"neuron module {layer}")
    bottom.set_xlabel("p-mode epoch")
    bottom.set_ylabel("best candidate correlation")
    bottom.legend(loc="lower right")
    fig.tight_layout()
    tmp = path + ".tmp.png"
    try:
        fig.savefig(tmp, dpi=80)
        os.replace(tmp, path)
    finally:
        plt.close(fig)
        if os.path.exists(tmp):
            os.remove(tmp)


def reload_matches(model, folder, name, val_x):
    """Loads the saved deployment file into a deployment-form network and compares predictions."""
    import torch
    from dendrograd import utils_dgr as UTL
    from dendrolab import globals_dendrolab as GDL
    from dendrolab import utils_dendrolab as UDL

    path = os.path.join(folder, name + "_arb.pt")
    deployed = UTL.clean_net(UDL.deep_copy_arb(model))
    if GDL.pc.get_using_safe_tensors():
        from safetensors.torch import load_file

        deployed.load_state_dict(load_file(path))
    else:
        deployed = torch.load(path, weights_only=False)
    model.eval()
    deployed.eval()
    with torch.no_grad():
        expected, got = model(val_x), deployed(val_x)
    return torch.allclose(expected, got, rtol=1e-5, atol=1e-6), float((expected - got).abs().max())


def main(argv=None):
    args = parse_args(argv)
    started = time.time()
    try:
        from tqdm import tqdm
        from dendrograd import deploy_net as DN
        from dendrograd import utils_dgr as UTL

        def progress(iterable=None, **kwargs):
            return tqdm(iterable, disable=args.quiet, leave=False, dynamic_ncols=True, **kwargs)

        data = load_data(args.dataset, args.seed)
        data = tuple(t.to(args.device) if hasattr(t, "to") else t for t in data)
        print(f"dendrograd demo: {args.dataset}, {len(data[0])} training / {len(data[2])} validation samples, "
              f"network {data[0].shape[1]}-{args.hidden}-{data[4]}, up to {args.dendrites} dendrites, "
              f"{args.candidates} candidates, seed {args.seed}")
        result = run_with_dendrites(args, data, progress)
        baseline = wide = None
        if not args.no_baseline:
            baseline = run_baseline(args, data, result["epochs"], progress)
            width = width_with_params(data[0].shape[1], data[4], result["params_after"])
            wide = (width, run_baseline(args, data, result["epochs"], progress, hidden=width))

        os.makedirs(args.output, exist_ok=True)
        name = "demo"
        DN.doing_threading = args.threads > 0
        UTL.dg_save_net(result["model"], args.output, name)
        plot_path = os.path.join(args.output, "demo_history.png")
        save_plot(result["history"], plot_path)
        same, difference = reload_matches(result["model"], args.output, name, data[2])
    except KeyboardInterrupt:
        print("interrupted; nothing half-written was left behind", file=sys.stderr)
        return 130

    lines = [
        "",
        "summary",
        f"  epochs                      {result['epochs']} ({len(result['cycles'])} growth cycles, "
        f"{result['dendrites']} dendrites per neuron module)",
        f"  accuracy before dendrites   {result['accuracy_before']:.4f}",
        f"  accuracy after dendrites    {result['accuracy_after']:.4f}",
    ]
    if baseline is not None:
        lines.append(f"  same network, no dendrites  {baseline:.4f} (same {result['epochs']} epochs)")
        width, wide_accuracy = wide
        wide_params = width * (data[0].shape[1] + 1 + data[4]) + data[4]
        lines.append(f"  plain, equal parameters     {wide_accuracy:.4f} ({data[0].shape[1]}-{width}-{data[4]}, "
                     f"{wide_params} parameters, same epochs)")
    lines += [
        f"  parameters before / after   {result['params_before']} / {result['params_after']} (deployment form)",
        f"  deployment file             {os.path.join(args.output, name + '_arb.pt')}",
        f"  history plot                {plot_path}",
        f"  reloaded predictions equal  {'yes' if same else 'NO'} (max difference {difference:.2e})",
        f"  n-mode epochs per second    {epoch_rates(result['epoch_seconds'], 'n')} (by dendrites)",
        f"  p-mode epochs per second    {epoch_rates(result['epoch_seconds'], 'p')} (by dendrites)",
        f"  time                        {time.time() - started:.1f} s",
    ]
    print("\n".join(lines))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
