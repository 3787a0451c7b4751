"""Training checkpoints: save a run, carry it on in a new process.

One safetensors file per checkpoint: the model's state dict, the optimizer's state
tensors, the accepted-candidate snapshots and torch's random states as tensors, and the
tracker's state, the settings and the optimizer's and scheduler's arguments as JSON
metadata. Nothing is unpickled, and nothing in a file chooses which code runs: the
optimizer and scheduler classes come from the caller, and the file's names for them are
only compared with the caller's.
"""
import json
import os

import torch
from safetensors import safe_open
from safetensors.torch import load_file

from dendrolab import globals_dendrolab as GDL
from dendrolab.tracker_dendrolab import unwrap_parallel
from dendrolab.random_states_dendrolab import random_states as _random_states
from dendrolab.random_states_dendrolab import restore_random_states as _restore_random_states
from dendrolab.utils_dendrolab import _raise_naming_path, _write_safetensors_atomically, deep_copy_arb

TRAINING_FORMAT = "dendrolab-training-1"
# Settings that only change what is printed: a resumed run may use others.
_UNCHECKED_SETTINGS = ("verbose", "extra_verbose", "silent", "dpp_verbose")
# Epoch-level state the add-on keeps at module level (GD dendrite learning).
_ADDON_EPOCH_STATE = ("_gd_epoch_loss_sum", "_gd_epoch_loss_count", "_gd_best_epoch_loss")


def training_checkpoint_path(folder, name):
    """The file `save_training(model, optimizer, folder, name)` writes."""
    return os.path.join(os.fspath(folder), f"{name}_training.safetensors")


def _describe(value):
    """A process-independent description of a setting that JSON cannot hold as it is:
    classes and functions by module and qualified name, dtypes by name, containers
    element by element; None when no stable description exists (an address in a repr)."""
    if isinstance(value, (list, tuple)):
        parts = [_describe(v) for v in value]
        return None if any(p is None for p in parts) else parts
    if isinstance(value, torch.dtype):
        return str(value)
    qualname = getattr(value, "__qualname__", None)
    if qualname is not None:
        return f"{getattr(value, '__module__', '?')}.{qualname}"
    text = repr(value)
    return None if " at 0x" in text else text


def _settings_record():
    """{setting: {"value": v}} for JSON-able settings, {"described": d} for the others."""
    record = {}
    for key, value in GDL.pc._values.items():
        try:
            json.dumps(value, allow_nan=True)
            record[key] = {"value": value}
        except TypeError:
            record[key] = {"described": _describe(value)}
    return record


def _settings_mismatches(saved):
    """Names of the settings whose current value differs from the saved record."""
    current = _settings_record()
    wrong = []
    for key, entry in saved.items():
        if key in _UNCHECKED_SETTINGS:
            continue
        now = current.get(key)
        if now is None:
            wrong.append(f"{key} (unknown setting)")
        elif "value" in entry and now.get("value", object()) != entry["value"]:
            wrong.append(f"{key}: saved {entry['value']!r}, now {now.get('value', now.get('described'))!r}")
        elif "described" in entry and entry["described"] is not None and now.get("described") != entry["described"]:
            wrong.append(f"{key}: saved {entry['described']}, now {now.get('described')}")
    return wrong


def _encode(value, tensors, prefix):
    """JSON form of an optimizer/scheduler state value; tensors go to `tensors` under
    `prefix` and are referenced by name, tuples are marked so they come back as tuples."""
    if isinstance(value, torch.Tensor):
        tensors[prefix] = value.detach().cpu().contiguous().clone()
        return {"__tensor__": prefix}
    if isinstance(value, tuple):
        return {"__tuple__": [_encode(v, tensors, f"{prefix}/{k}") for k, v in enumerate(value)]}
    if isinstance(value, list):
        return [_encode(v, tensors, f"{prefix}/{k}") for k, v in enumerate(value)]
    if isinstance(value, dict):
        if not all(isinstance(k, (str, int)) for k in value):
            raise TypeError(f"{prefix}: only str and int keys can be saved")
        items = [[k, _encode(v, tensors, f"{prefix}/{k}")] for k, v in value.items()]
        if all(isinstance(k, str) and not k.startswith("__") for k in value):
            return dict(items)
        return {"__dict__": items}  # int keys (optimizer state) stay ints
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    raise TypeError(f"{prefix}: a {type(value).__name__} cannot be saved without pickling")


def _decode(value, tensors):
    if isinstance(value, list):
        return [_decode(v, tensors) for v in value]
    if isinstance(value, dict):
        if "__tensor__" in value:
            return tensors[value["__tensor__"]]
        if "__tuple__" in value:
            return tuple(_decode(v, tensors) for v in value["__tuple__"])
        if "__dict__" in value:
            return {k: _decode(v, tensors) for k, v in value["__dict__"]}
        return {k: _decode(v, tensors) for k, v in value.items()}
    return value


def _class_name(cls):
    return {"module": cls.__module__, "qualname": cls.__qualname__}


def _class_label(record):
    """'module.qualname' of a class record, for messages; never imported."""
    if not isinstance(record, dict) or not all(isinstance(record.get(k), str) for k in ("module", "qualname")):
        return repr(record)
    return f"{record['module']}.{record['qualname']}"


def _checked_class(given, record, what, argument, path):
    """The caller's class `given` when it is the one the file names; the file's names are
    only compared, never imported or looked up, so a file cannot choose the code that runs."""
    if given is None:
        raise ValueError(f"resume_training: {path} was saved with the {what} {_class_label(record)}; pass that "
                         f"class as {argument}= (a checkpoint never chooses the code that runs)")
    if not isinstance(given, type) and not callable(given):
        raise TypeError(f"resume_training: {argument} must be a class, got {type(given).__name__}")
    if record != _class_name(given):
        raise ValueError(f"resume_training: {path} was saved with the {what} {_class_label(record)}, not the "
                         f"{argument} given, {_class_label(_class_name(given))}")
    return given


def save_training(model, optimizer, folder, name):
    """Writes everything needed to carry a training run on in a new process.

    One safetensors file, `<folder>/<name>_training.safetensors` (written under a temporary
    name and renamed into place; only rank 0 writes): the model's state dict, the tensors of
    the optimizer's state, the accepted-candidate snapshots and torch's random states, and as
    JSON metadata the tracker's state (member_vars, dendrites per neuron module), the
    settings, the optimizer's class, constructor arguments and the rest of its state, and
    the tracker's scheduler if one was set up. Nothing is pickled.

    Args:
        model: the wrapped network being trained (`initialize_arb`), or its
            DistributedDataParallel wrapper.
        optimizer: the tracker's current optimizer (`GDL.arb_tracker.optimizer`).
        folder: the folder to write into (created when missing).
        name: the file's base name.

    Returns the path written (None on every process but rank 0 of an initialised
    torch.distributed process group or, without one, the process whose RANK is not 0).
    Raises ValueError when `optimizer` is not the tracker's current optimizer or RANK is
    not an integer, TypeError when some state cannot be saved without pickling, and
    OSError (naming the path) when the file cannot be written.
    """
    from dendrograd import utils_dgr as UTL

    tracker = GDL.arb_tracker
    model = unwrap_parallel(model)
    path = training_checkpoint_path(folder, name)
    if optimizer is not tracker.optimizer or tracker.optimizer_class is None:
        raise ValueError("save_training: pass the optimizer the tracker built "
                         "(GDL.arb_tracker.setup_optimizer / GDL.arb_tracker.optimizer)")
    if not UTL.is_writing_rank(path):
        return None
    tensors = {}
    for key, value in model.state_dict().items():
        tensors["model/" + key] = value.detach().cpu().contiguous().clone()
    dendrites = []
    for k, neuron_module in enumerate(tracker.neuron_module_vector):
        dendrite_module = neuron_module.dendrite_module
        dendrites.append({"name": neuron_module.name, "num_dendrites": int(dendrite_module.num_dendrites)})
        for j, saved in enumerate(dendrite_module.best_dendrites_to_candidates_saved):
            tensors[f"best_saved/{k}/{j}"] = saved.detach().cpu().contiguous().clone()
    optimizer_state = optimizer.state_dict()
    record = {
        "format": TRAINING_FORMAT,
        "settings": _settings_record(),
        "tracker": {
            "member_vars": _encode(tracker.member_vars, tensors, "tracker"),
            "short_epoch_warned": bool(tracker.short_epoch_warned),
            "save_name": tracker.save_name,
            "dendrites": dendrites,
        },
        "optimizer": {
            "class": _class_name(tracker.optimizer_class),
            "kwargs": _encode(tracker.optimizer_kwargs, tensors, "optimizer_kwargs"),
            "group_sizes": [len(group["params"]) for group in optimizer.param_groups],
            "state_dict": _encode(optimizer_state, tensors, "optimizer"),
        },
        "addon": {key: getattr(_addon_module(), key) for key in _ADDON_EPOCH_STATE
                  if isinstance(getattr(_addon_module(), key, None), (int, float))},
    }
    if tracker.scheduler_class is not None:
        record["scheduler"] = {
            "class": _class_name(tracker.scheduler_class),
            "kwargs": _encode(tracker.scheduler_kwargs, tensors, "scheduler_kwargs"),
            "state_dict": _encode(tracker.scheduler.state_dict(), tensors, "scheduler"),
        }
    tensors.update(_random_states(tracker))
    metadata = {"dendrolab_training": json.dumps(record)}
    try:
        os.makedirs(os.fspath(folder), exist_ok=True)
    except Exception as error:
        _raise_naming_path(error, path, "cannot write training checkpoint")
    from dendrograd import utils_dgr as UTL

    metadata = UTL.with_tensor_digest(tensors, metadata)  # checked on every read
    _write_safetensors_atomically(tensors, path, metadata, "cannot write training checkpoint")
    return path


def _addon_module():
    from dendrograd import modules_dgr

    return modules_dgr


def _read_training_file(path):
    """(record, tensors) of a training checkpoint; raises naming the path."""
    try:
        if not os.path.isfile(path):
            raise FileNotFoundError(2, "no training checkpoint here", path)
        with safe_open(path, framework="pt") as handle:
            metadata = handle.metadata() or {}
        if "dendrolab_training" not in metadata:
            raise ValueError(f"{path} is not a training checkpoint of save_training (no 'dendrolab_training' metadata)")
        record = json.loads(metadata["dendrolab_training"])
        if record.get("format") != TRAINING_FORMAT:
            raise ValueError(f"{path} has format {record.get('format')!r}, expected {TRAINING_FORMAT!r}")
        tensors = load_file(path)
        from dendrograd import utils_dgr as UTL

        UTL.check_tensor_digest(path, tensors, metadata)  # flipped bytes fail here, before any change
    except Exception as error:
        _raise_naming_path(error, path, "cannot read training checkpoint (truncated or damaged file?)")
    return record, tensors


def _grow_to(model, tracker, dendrites, mode):
    """Grows every neuron module of `model` (registered with `tracker`) to the saved number
    of dendrites, the way the schedule grew them, and puts it into the saved mode."""
    MDG = _addon_module()
    live = GDL.pc.get_learn_dendrites_live()
    for neuron_module, entry in zip(tracker.neuron_module_vector, dendrites):
        dendrite_module = neuron_module.dendrite_module
        for _ in range(entry["num_dendrites"] - dendrite_module.num_dendrites):
            if live:
                MDG.set_module_p_dg(neuron_module)
            neuron_module.accept_best_candidate()
            dendrite_module.mode = "n"
            MDG.set_dg_mode(dendrite_module, "n")
            MDG.set_module_n_dg(neuron_module)
        if mode == "p":
            MDG.set_module_p_dg(neuron_module)
            dendrite_module.mode = "p"
    from dendrograd import tracker_dgr as TDG

    TDG.exclude_from_ddp(model)  # the grown network's ignore list, before the user wraps it


def _check_wrapped(model, record, path):
    """Raises ValueError before anything changes when `model` cannot take the checkpoint."""
    tracker = GDL.arb_tracker
    ours = {id(m) for m in model.modules()}
    if not hasattr(model, "tracker_string") or not tracker.neuron_module_vector or \
            any(id(m) not in ours for m in tracker.neuron_module_vector):
        raise ValueError(f"resume_training: the network is not wrapped; build it as for the saved run and call "
                         f"dendrolab.utils_dendrolab.initialize_arb(model) (with the same settings) before "
                         f"resuming from {path}")
    wrong = _settings_mismatches(record["settings"])
    if wrong:
        raise ValueError(f"resume_training: settings differ from those saved in {path}: " + "; ".join(wrong) +
                         ". Set them as in the saved run before initialize_arb.")
    saved = record["tracker"]["dendrites"]
    names = [m.name for m in tracker.neuron_module_vector]
    if names != [entry["name"] for entry in saved]:
        raise ValueError(f"resume_training: the network's neuron modules {names} are not the saved ones "
                         f"{[entry['name'] for entry in saved]} of {path}")
    for neuron_module, entry in zip(tracker.neuron_module_vector, saved):
        if neuron_module.dendrite_module.num_dendrites > entry["num_dendrites"]:
            raise ValueError(f"resume_training: {neuron_module.name} already has "
                             f"{neuron_module.dendrite_module.num_dendrites} dendrites, more than the "
                             f"{entry['num_dendrites']} saved in {path}")


def _checked_record(record, tracker, path):
    """Checks what the file says beyond the network: the tracker's keys and mode, the
    add-on's epoch state. A damaged or foreign record fails here, before any change."""
    try:
        saved_mv = record["tracker"]["member_vars"]
        dendrites = record["tracker"]["dendrites"]
        addon = record.get("addon", {})
        if not isinstance(saved_mv, dict) or not isinstance(dendrites, list) or not isinstance(addon, dict):
            raise TypeError("the tracker record is not a mapping with a list of dendrites")
        if saved_mv.get("mode") not in ("n", "p"):
            raise ValueError(f"mode {saved_mv.get('mode')!r} is neither 'n' nor 'p'")
        unknown = sorted(set(saved_mv) - set(tracker.member_vars))
        if unknown:
            raise ValueError(f"unknown tracker entries {unknown}")
        for entry in dendrites:
            if not isinstance(entry.get("num_dendrites"), int) or entry["num_dendrites"] < 0:
                raise ValueError(f"dendrite count {entry.get('num_dendrites')!r} of {entry.get('name')!r}")
        for key, value in addon.items():
            if key not in _ADDON_EPOCH_STATE or isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError(f"add-on entry {key}={value!r}")
        bool(record["tracker"]["short_epoch_warned"])
        record["optimizer"]["class"], record["optimizer"]["group_sizes"], record["optimizer"]["kwargs"]  # noqa: B018
    except (KeyError, TypeError, ValueError, AttributeError) as error:
        raise ValueError(f"resume_training: {path} holds a damaged training record ({error})") from None


def _load_optimizer_state(optimizer, state, path):
    try:
        optimizer.load_state_dict(state)
    except (ValueError, KeyError, RuntimeError, TypeError) as error:
        raise ValueError(f"resume_training: the optimizer state in {path} does not fit: {error}") from None


def _trial_optimizer(kept, classes, record, tensors, path):
    """Builds the caller's optimizer (and scheduler) on `kept` and loads the saved states,
    so that a state that does not fit fails before the network changes."""
    optimizer_class, scheduler_class = classes
    try:
        optimizer = optimizer_class(kept, **_decode(record["optimizer"]["kwargs"], tensors))
    except (ValueError, KeyError, RuntimeError, TypeError) as error:
        raise ValueError(f"resume_training: the optimizer arguments in {path} do not fit "
                         f"{_class_label(_class_name(optimizer_class))}: {error}") from None
    _load_optimizer_state(optimizer, _decode(record["optimizer"]["state_dict"], tensors), path)
    if scheduler_class is not None:
        entry = record["scheduler"]
        try:
            scheduler = scheduler_class(optimizer, **_decode(entry["kwargs"], tensors))
            scheduler.load_state_dict(_decode(entry["state_dict"], tensors))
        except (ValueError, KeyError, RuntimeError, TypeError) as error:
            raise ValueError(f"resume_training: the scheduler state in {path} does not fit: {error}") from None


def _check_optimizer_state(kept, optimizer_record, saved_optimizer, path):
    """The saved optimizer state's groups and tensor shapes against the kept parameters."""
    sizes = [len(kept)] if len(kept) else []
    if sizes != optimizer_record["group_sizes"]:
        raise ValueError(f"resume_training: the optimizer state in {path} has parameter groups of sizes "
                         f"{optimizer_record['group_sizes']}, the resumed network gives {sizes}")
    order = [index for group in saved_optimizer["param_groups"] for index in group["params"]]
    for index, entry in saved_optimizer["state"].items():
        param = kept[order.index(index)] if index in order else None
        for key, value in entry.items():
            if param is not None and isinstance(value, torch.Tensor) and value.dim() > 0 and \
                    value.shape != param.shape:
                raise ValueError(f"resume_training: the optimizer state in {path} does not fit: its {key!r} of "
                                 f"parameter {index} has shape {tuple(value.shape)}, the parameter "
                                 f"{tuple(param.shape)}")


def _restore_network(model, record, tensors, path):
    """Grows `model` to the saved structure and loads the weights and the candidate
    snapshots. Returns the saved member_vars and the parameters the saved mode trains."""
    tracker = GDL.arb_tracker
    saved_mv = _decode(record["tracker"]["member_vars"], tensors)
    _grow_to(model, tracker, record["tracker"]["dendrites"], saved_mv["mode"])
    # The growth above tagged every parameter as the live run did (an earlier dendrite's
    # top weights "ignored", ...); loading copies values in place and keeps those tags.
    # retag() would not: it tags by kind of holder and changes the optimizer's groups.
    state = {key[len("model/"):]: value for key, value in tensors.items() if key.startswith("model/")}
    try:
        model.load_state_dict(state)
    except RuntimeError as error:
        raise ValueError(f"resume_training: the weights in {path} do not fit the grown network: {error}") from None
    for k, neuron_module in enumerate(tracker.neuron_module_vector):
        dendrite_module = neuron_module.dendrite_module
        for j, saved in enumerate(dendrite_module.best_dendrites_to_candidates_saved):
            source = tensors.get(f"best_saved/{k}/{j}")
            if source is None or source.shape != saved.shape:
                raise ValueError(f"resume_training: candidate snapshot {k}/{j} in {path} does not fit")
            saved.copy_(source)
        dendrite_module.shape_cache_filled = False
    from dendrograd import tracker_dgr as TDG

    kept = TDG.filter_single_param_group(list(model.parameters()), saved_mv["mode"], False)
    return saved_mv, kept


def _trial(model, record, tensors, path, classes):
    """Everything resume_training does to the network and the optimizer, on a copy: any
    mismatch shows up before the network, the tracker or the random state change."""
    tracker = GDL.arb_tracker
    rng = torch.get_rng_state()
    served = tracker.neuron_module_vector
    trial = deep_copy_arb(model)
    by_id = {id(m): k for k, m in enumerate(model.modules())}
    trial_modules = list(trial.modules())
    tracker.neuron_module_vector = [trial_modules[by_id[id(m)]] for m in served]
    try:
        _, kept = _restore_network(trial, record, tensors, path)
        saved_optimizer = _decode(record["optimizer"]["state_dict"], tensors)
        _check_optimizer_state(kept, record["optimizer"], saved_optimizer, path)
        _trial_optimizer(kept, classes, record, tensors, path)
    finally:
        tracker.neuron_module_vector = served
        torch.set_rng_state(rng)


def _restore_tracker(model, tracker, saved_mv, record, tensors, classes):
    """The tracker's state, its optimizer (and scheduler) with their saved states, and the
    add-on's epoch state: the steps that follow a successful trial."""
    for key, value in saved_mv.items():
        current = tracker.member_vars.get(key)
        if isinstance(current, list) and isinstance(value, list):
            current[:] = value  # keeps the lists other holders point at (member_var_types)
        else:
            tracker.member_vars[key] = value
    tracker.short_epoch_warned = record["tracker"]["short_epoch_warned"]
    tracker.scheduler, tracker.scheduler_class, tracker.scheduler_kwargs = None, None, {}
    optimizer_class, scheduler_class = classes
    tracker.setup_optimizer(model, optimizer_class, **_decode(record["optimizer"]["kwargs"], tensors))
    optimizer = tracker.optimizer
    optimizer.load_state_dict(_decode(record["optimizer"]["state_dict"], tensors))
    if scheduler_class is not None:
        entry = record["scheduler"]
        tracker.scheduler_class = scheduler_class
        tracker.scheduler_kwargs = _decode(entry["kwargs"], tensors)
        tracker._rebuild_scheduler(_decode(entry["state_dict"], tensors))
    for key, value in record.get("addon", {}).items():
        setattr(_addon_module(), key, value)
    return optimizer


def _resume_classes(record, path, optimizer_class, scheduler_class):
    """(optimizer class, scheduler class or None): the caller's, checked against the names
    in the file; the tracker's own classes where the caller passes none."""
    tracker = GDL.arb_tracker
    optimizer_class = optimizer_class if optimizer_class is not None else tracker.optimizer_class
    optimizer_class = _checked_class(optimizer_class, record["optimizer"]["class"], "optimizer",
                                     "optimizer_class", path)
    if "scheduler" not in record:
        if scheduler_class is not None:
            raise ValueError(f"resume_training: {path} was saved without a scheduler, yet scheduler_class "
                             f"{_class_label(_class_name(scheduler_class))} was given")
        return optimizer_class, None
    scheduler_class = scheduler_class if scheduler_class is not None else tracker.scheduler_class
    return optimizer_class, _checked_class(scheduler_class, record["scheduler"]["class"], "scheduler",
                                           "scheduler_class", path)


def resume_training(model, folder, name, optimizer_class=None, scheduler_class=None):
    """Carries on a run saved by `save_training`, typically in a new process.

    `model` is the freshly built network, already wrapped by `initialize_arb` under the
    same settings as the saved run. The function grows every neuron module to its saved
    number of dendrites, loads the weights, the tracker's state (mode, histories, counters,
    switch epochs), builds the optimizer through the tracker and loads its state (and the
    tracker's scheduler, if one was saved), then restores torch's random states.

    The file names the classes it was saved with but never chooses them: the optimizer
    and scheduler classes come from the caller (or from the tracker, when it has set up
    one already), and must be the ones the file names.

    Args:
        model: the wrapped network.
        folder, name: as given to `save_training`.
        optimizer_class: the optimizer class (or factory) of the saved run, e.g.
            torch.optim.Adam; by default the tracker's.
        scheduler_class: the scheduler class of the saved run, when it had one; by
            default the tracker's.

    Returns (model, optimizer); the optimizer is also `GDL.arb_tracker.optimizer`.
    Raises FileNotFoundError / ValueError / RuntimeError naming the path for a missing,
    truncated or foreign file; ValueError for an unwrapped network, settings that differ
    from the saved ones, classes other than the saved ones (or none given), or an optimizer
    state that does not fit the network. In every such case the network in memory is left
    as it was.
    """
    model = unwrap_parallel(model)
    path = training_checkpoint_path(folder, name)
    record, tensors = _read_training_file(path)
    _check_wrapped(model, record, path)
    tracker = GDL.arb_tracker
    _checked_record(record, tracker, path)
    classes = _resume_classes(record, path, optimizer_class, scheduler_class)
    _trial(model, record, tensors, path, classes)
    saved_mv, _ = _restore_network(model, record, tensors, path)
    optimizer = _restore_tracker(model, tracker, saved_mv, record, tensors, classes)
    _restore_random_states(tensors)
    return model, optimizer
