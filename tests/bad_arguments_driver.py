"""Child process of test_bad_arguments: calls every public callable of a group of
extension modules with a grid of bad arguments and reports how many calls it made.

Usage: python bad_arguments_driver.py GROUP PROGRESS_FILE RESULT_FILE [START]

Before each call the driver appends "<index>\t<call>" to PROGRESS_FILE (flushed), so
when the process dies from a signal the parent knows the call that killed it; START
skips the calls before that index (to go on past a known crash while investigating).
Any exception, SystemExit included, is an acceptable answer to a bad argument.
"""
import copy
import itertools
import json
import os
import random
import re
import sys
import types
import warnings

import torch
from torch import nn

from dendrograd import blockwise_dgr, deploy_net, modules_dgr, tracker_dgr, utils_dgr
from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL

GROUPS = {
    "modules_dgr": [modules_dgr],
    "tracker_dgr": [tracker_dgr],
    "conversion": [utils_dgr, blockwise_dgr, deploy_net],
}
# Classes whose methods are swept on real instances as well.
INSTANCE_CLASSES = {"conversion": ["ARBLayer", "ARBModulePyThread"]}
RANDOM_CALLS_PER_CALLABLE = 40


# ---- host objects ----------------------------------------------------------------------------

def grown_model(seed):
    torch.manual_seed(seed)
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 3), nn.ReLU(), nn.Linear(3, 2)))
    model[0].accept_best_candidate()  # one accepted dendrite, so conversions have skip weights
    return model


def strip_tensors(root, only=None):
    """Sets every tensor attribute below `root` (of modules of type `only`, if given) to None:
    parameters, buffers, plain tensor attributes and the entries of plain lists of tensors."""
    for module in root.modules():
        if only is not None and not isinstance(module, only):
            continue
        for name in list(module._parameters):
            module._parameters[name] = None
        for name in list(module._buffers):
            module._buffers[name] = None
        for name, value in list(vars(module).items()):
            if isinstance(value, torch.Tensor):
                object.__setattr__(module, name, None)
            elif isinstance(value, list) and value and all(isinstance(v, torch.Tensor) for v in value):
                object.__setattr__(module, name, [None] * len(value))
    return root


class BackReference(nn.Module):
    """A module whose child refers back to it (a cycle in the attribute graph)."""

    def __init__(self):
        super().__init__()
        self.child = nn.Linear(2, 2)
        object.__setattr__(self.child, "back", self)


def build_pool():
    """(label, value) pairs: plain bad values, foreign objects, odd tensors and host objects."""
    GDL.pc.reset()
    healthy = grown_model(0)
    broken = strip_tensors(grown_model(1))  # every tensor of the wrapped model is None
    holders_broken = strip_tensors(grown_model(2), only=MDL.DendriteValueTracker)
    block_net = blockwise_dgr.blockwise_network(UDL.deep_copy_arb(grown_model(3)))
    deployed = deploy_net.refresh_net(blockwise_dgr.blockwise_network(UDL.deep_copy_arb(grown_model(4))))
    cyclic = []
    cyclic.append(cyclic)
    linear = nn.Linear(2, 2)
    optimizer = torch.optim.SGD(healthy.parameters(), lr=0.1)
    broken_optimizer = torch.optim.SGD(nn.Linear(2, 2).parameters(), lr=0.1)
    broken_optimizer.param_groups[0]["params"] = [None, 3]
    tracker = GDL.arb_tracker
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        sparse = torch.sparse_coo_tensor(torch.tensor([[0]]), torch.tensor([1.0]), (3,))
    pool = [
        ("None", None), ("0", 0), ("-1", -1), ("1", 1), ("2.5", 2.5), ("nan", float("nan")),
        ("2**70", 2 ** 70), ("True", True), ("''", ""), ("'n'", "n"), ("'p'", "p"), ("'x'", "x"),
        ("'best_pearson_correlation'", "best_pearson_correlation"), ("'best_scores'", "best_scores"),
        ("b'x'", b"x"), ("object()", object()), ("[]", []), ("[None]", [None]), ("cyclic list", cyclic),
        ("{}", {}), ("(None,)", (None,)), ("namespace", types.SimpleNamespace()),
        ("lambda", lambda *a, **k: None), ("nn.Linear", linear), ("nn.Sequential()", nn.Sequential()),
        ("BackReference", BackReference()), ("optimizer", optimizer), ("broken optimizer", broken_optimizer),
        ("empty tensor", torch.empty(0)), ("empty 0x3 tensor", torch.empty(0, 3)),
        ("0-dim tensor", torch.tensor(1.0)), ("2x3 tensor", torch.randn(2, 3)),
        ("int tensor", torch.arange(4)), ("bool tensor", torch.ones(2, dtype=torch.bool)),
        ("complex tensor", torch.ones(2, dtype=torch.complex64)), ("meta tensor", torch.empty(3, device="meta")),
        ("sparse tensor", sparse), ("nan tensor", torch.tensor([float("nan"), 1.0])),
        ("parameter", nn.Parameter(torch.randn(3))),
        ("tracker", tracker), ("model", healthy), ("neuron module", healthy[0]),
        ("dendrite module", healthy[0].dendrite_module), ("value holder", healthy[0].dendrite_module.dendrite_values[0]),
        ("main module", healthy[0].main_module),
        ("stripped model", broken), ("stripped neuron module", broken[0]),
        ("stripped dendrite module", broken[0].dendrite_module),
        ("stripped value holder", broken[0].dendrite_module.dendrite_values[0]),
        ("neuron module with stripped holders", holders_broken[0]),
        ("dendrite module with stripped holders", holders_broken[0].dendrite_module),
        ("block net", block_net), ("ARBLayer", block_net[0]), ("ARBLayer without dendrites", block_net[2]),
        ("deployed net", deployed), ("ARBModulePyThread", deployed[0]),
        ("ARBModulePyThread without dendrites", deployed[2]),
    ]
    objects = {"healthy": healthy, "broken": broken, "holders_broken": holders_broken,
               "block_net": block_net, "deployed": deployed}
    return pool, objects


def scenarios(objects):
    """Global states in which the sweep is repeated: the host tracker's mode and the
    neuron modules it holds decide which paths the tracker functions take."""
    tracker = GDL.arb_tracker

    def use(modules, mode, threading=False, **settings):
        def apply():
            GDL.pc.reset()
            deploy_net.doing_threading = threading  # inference modules run their layers on threads
            for key, value in settings.items():
                getattr(GDL.pc, "set_" + key)(value)
            tracker.neuron_module_vector = list(modules)
            tracker.member_vars["best_scores"] = [[] for _ in modules]
            tracker.member_vars["current_scores"] = [[] for _ in modules]
            tracker.member_vars["mode"] = mode
            tracker.member_vars["switch_epochs"] = [0]
            for m in modules:
                try:
                    m.dendrite_module.mode = mode
                except Exception:
                    pass
        return apply

    healthy = [m for m in objects["healthy"].modules() if isinstance(m, MDL.ARBNeuronModule)]
    broken = [m for m in objects["broken"].modules() if isinstance(m, MDL.ARBNeuronModule)]
    half = [m for m in objects["holders_broken"].modules() if isinstance(m, MDL.ARBNeuronModule)]
    return [
        ("n mode", use(healthy, "n")),
        ("p mode, verbose", use(healthy, "p", verbose=True, doing_mean_best=True, graphing_current_scores=True)),
        ("p mode, stripped modules", use(broken + half, "p", verbose=True, fixed_input_sizes=True, threading=True)),
    ]


# ---- callables and their arity ------------------------------------------------------------------

def arities(fn):
    """Positional argument counts worth trying: the required count and the full count."""
    drop_self = isinstance(fn, types.MethodType)
    if isinstance(fn, type) and type(vars(fn).get("__init__")).__name__ == "instancemethod":
        fn, drop_self = fn.__init__, True  # an extension class: its constructor's signature
    doc = (getattr(fn, "__doc__", None) or "").strip().splitlines()
    head = doc[0] if doc else ""
    match = re.match(r"^[\w.]+\((.*)\)\s*->", head)
    if match is None:
        return [0, 1, 2, 3]
    inner = match.group(1).strip()
    if not inner:
        return [0, 1]
    params = [p.strip() for p in re.split(r",(?![^\[]*\])", inner)]
    if params and params[0].startswith("self"):
        params = params[1:] if drop_self else params
    required = sum(1 for p in params if "=" not in p and not p.startswith("*"))
    full = sum(1 for p in params if not p.startswith("*"))
    variadic = any(p.startswith("*") and not p.startswith("**") for p in params)
    return sorted({required, full + (1 if variadic else 0), max(required - 1, 0)})


def callables(group, objects):
    found = []
    for module in GROUPS[group]:
        for name in sorted(dir(module)):
            value = getattr(module, name)
            if not name.startswith("_") and callable(value):
                found.append((f"{module.__name__.split('.')[-1]}.{name}", value))
    for cls_name in INSTANCE_CLASSES.get(group, []):
        instances = {"ARBLayer": [objects["block_net"][0], objects["block_net"][2]],
                     "ARBModulePyThread": [objects["deployed"][0], objects["deployed"][2]]}[cls_name]
        cls = type(instances[0])
        for attr, value in sorted(vars(cls).items()):
            if type(value).__name__ == "instancemethod":  # the methods the extension attached
                for k, inst in enumerate(instances):
                    found.append((f"{cls_name}#{k}.{attr}", getattr(inst, attr)))
    return found


# ---- the sweep ------------------------------------------------------------------------------------

def calls_for(fn, pool, rng):
    """Argument tuples: every pool value in every position at once, then random mixtures."""
    for n in arities(fn):
        if n == 0:
            yield ()
            continue
        for label, value in pool:
            yield tuple([(label, value)] * n)
        for _ in range(RANDOM_CALLS_PER_CALLABLE // max(len(arities(fn)), 1)):
            yield tuple(rng.choice(pool) for _ in range(n))


def main():
    group, progress_path, result_path = sys.argv[1:4]
    start = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    warnings.simplefilter("ignore")
    pool, objects = build_pool()
    found = callables(group, objects)
    rng = random.Random(1234)
    index = 0
    tried = 0
    progress = open(progress_path, "a", buffering=1)
    devnull = open(os.devnull, "w")
    for scenario_name, apply in scenarios(objects):
        for name, fn in found:
            for args in calls_for(fn, pool, rng):
                index += 1
                if index < start:
                    continue
                call = f"[{scenario_name}] {name}({', '.join(label for label, _ in args)})"
                progress.write(f"{index}\t{call}\n")
                try:
                    apply()
                except Exception:
                    pass
                saved_stdout = sys.stdout
                sys.stdout = devnull  # diagnostics of the add-on are not of interest here
                try:
                    fn(*[value for _, value in args])
                except BaseException:  # noqa: B036 - SystemExit from an exit diagnostic counts as an answer too
                    pass
                finally:
                    sys.stdout = saved_stdout
                tried += 1
    progress.close()
    with open(result_path, "w") as f:
        json.dump({"group": group, "callables": len(found), "calls": tried, "last_index": index}, f)


if __name__ == "__main__":
    main()
