"""Host utilities: wrapping a model, deep copies, checkpoints with tied weights."""
import copy
import gc
import json
import os
import tempfile
import weakref

import torch
from safetensors import safe_open
from safetensors.torch import load_file, save_file

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab.tracker_dendrolab import unwrap_parallel


def _served_model_in_use(tracker, model):
    """Whether the tracker serves another wrapped model that something besides the
    tracker itself still holds (the tracker's own references do not count)."""
    served = tracker.wrapped_model() if tracker.wrapped_model is not None else None
    if served is None or served is model:
        return False
    del served
    modules = [weakref.ref(m) for m in tracker.neuron_module_vector]
    tracker.model, tracker.neuron_module_vector = None, []
    gc.collect()  # a dropped model may sit in a reference cycle
    served = tracker.wrapped_model()
    if served is None:
        return False
    tracker.model = served  # still in use: the tracker keeps serving it unchanged
    tracker.neuron_module_vector = [m() for m in modules if m() is not None]
    return True


def initialize_arb(model, save_name=None):
    """Wraps every layer of a convertible type into an `ARBNeuronModule`.

    Registers the neuron modules with the global tracker and tags every remaining
    parameter as a neuron parameter. Returns the model (changed in place, or the new
    neuron module when the model itself is a convertible layer).

    The process has one tracker (`GDL.arb_tracker`), so it trains one wrapped model
    at a time. Raises RuntimeError, before changing anything, while an earlier
    wrapped model is still in use: wrapping a second one would silently stop the
    first one's dendrite learning.
    """

    tracker = GDL.arb_tracker
    if _served_model_in_use(tracker, model):
        raise RuntimeError(
            "initialize_arb: another wrapped model is still in use, and dendrolab trains one wrapped model "
            "per process (one tracker, GDL.arb_tracker); wrapping this one would silently stop the first "
            "one's dendrite learning. Finish with the first model and drop every reference to it before "
            "wrapping the next, call GDL.arb_tracker.reset() to give up its dendrite training on purpose, "
            "or train the second model in a process of its own.")
    tracker.reset()
    if save_name is not None:
        tracker.save_name = save_name
    types = tuple(GDL.pc.get_modules_to_convert())

    def wrap(module, prefix):
        for child_name, child in list(module.named_children()):
            path = f"{prefix}.{child_name}" if prefix else child_name
            if isinstance(child, MDL.ARBNeuronModule):
                continue
            if isinstance(child, types):
                neuron_module = MDL.ARBNeuronModule(child, path)
                setattr(module, child_name, neuron_module)
                tracker.add_neuron_module(neuron_module)
            else:
                wrap(child, path)

    if isinstance(model, types):
        model = MDL.ARBNeuronModule(model, "model")
        tracker.add_neuron_module(model)
    else:
        wrap(model, "")
    for _, param in model.named_parameters():
        if not hasattr(param, "parameter_type"):
            param.parameter_type = "neuron"
    model.tracker_string = tracker.save_name
    tracker.wrapped_model = weakref.ref(model)
    from dendrograd import tracker_dgr as TDG

    TDG.exclude_from_ddp(model)  # a default DistributedDataParallel(model) reduces only what n mode trains
    return model


def _copy_tags(source, copied):
    for (_, a), (_, b) in zip(source.named_parameters(remove_duplicate=False),
                              copied.named_parameters(remove_duplicate=False)):
        if hasattr(a, "parameter_type"):
            b.parameter_type = a.parameter_type


def deep_copy_arb(net):
    """A deep copy of a wrapped network; stored per-batch tensors are not copied."""
    copied = copy.deepcopy(net)
    _copy_tags(net, copied)
    return copied


def string_to_tensor(text):
    """The characters of `text` as an integer tensor (identification buffers)."""
    return torch.tensor(list(text.encode("utf-8")), dtype=torch.int32)


def retag(net):
    """Restores the role tags that a state dict does not carry."""
    for module in net.modules():
        if isinstance(module, MDL.DendriteModule):
            module.load_tagger_values()
        if isinstance(module, MDL.ARBNeuronModule):
            from dendrograd import modules_dgr as MDG

            MDG.set_neuron_parameters(module.main_module)
            for weights in module.dendrites_to_top:
                weights.parameter_type = "dendrite"
            MDG.set_ignored_parameters(module.dendrites_to_dendrites)
    for _, param in net.named_parameters():
        if not hasattr(param, "parameter_type"):
            param.parameter_type = "neuron"


def load_net_from_dict(net, state_dict):
    """Copies the tensors of `state_dict` into `net` by name and hands `net` back."""
    net.load_state_dict(state_dict)
    retag(net)
    return net


def _raise_naming_path(error, path, action):
    """Raises `error` again with `path` in its message, chained to the original: the same
    exception type where it can be built from a message (an OSError with an error number
    keeps it and gets `path` as its file name), RuntimeError otherwise."""
    path = os.fspath(path)
    if path in str(error):
        raise error
    message = f"{action} {path}: {str(error) or type(error).__name__}"
    try:
        if isinstance(error, OSError) and error.errno is not None:
            replacement = type(error)(error.errno, error.strerror, path)
        else:
            replacement = type(error)(message)
            if path not in str(replacement):
                replacement = None
    except Exception:
        replacement = None
    raise (replacement if isinstance(replacement, type(error)) else RuntimeError(message)) from error


def _atomic_target(path):
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tmp_", suffix=".pt", dir=folder)
    os.close(fd)
    return tmp


def _write_safetensors_atomically(tensors, path, metadata, what):
    """Writes a safetensors file under a temporary name and renames it into place, so an
    interrupted write leaves no half-written file; errors name `path` (`what` says which)."""
    try:
        tmp = _atomic_target(path)
    except Exception as error:
        _raise_naming_path(error, path, what)
    try:
        save_file(tensors, tmp, metadata=metadata)
        os.replace(tmp, path)
    except Exception as error:
        _raise_naming_path(error, path, what)
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


def save_model_with_weight_tying(net, path):
    """Safetensors file in which tensors that share storage are stored once.

    The metadata key "weight_tying" maps every alias name to the name stored.
    """
    state = net.state_dict()
    stored, aliases, seen = {}, {}, {}
    for name, tensor in state.items():
        key = (tensor.untyped_storage().data_ptr(), tensor.storage_offset(), tuple(tensor.shape),
               tuple(tensor.stride()), tensor.dtype) if tensor.numel() else None
        if key is not None and key in seen:
            aliases[name] = seen[key]
            continue
        if key is not None:
            seen[key] = name
        stored[name] = tensor.detach().contiguous().clone()
    _write_safetensors_atomically(stored, path, {"weight_tying": json.dumps(aliases)},
                                  "cannot write weight-tying checkpoint")


def load_model_with_weight_tying(net, path):
    """Reads a file of `save_model_with_weight_tying` into `net` and re-ties the aliases."""
    try:
        with safe_open(path, framework="pt") as handle:
            metadata = handle.metadata() or {}
        if "weight_tying" not in metadata:
            raise ValueError(f"{path} is not a weight-tying checkpoint (no 'weight_tying' metadata)")
        aliases = json.loads(metadata["weight_tying"])
        state = load_file(path)
        for alias, source in aliases.items():
            state[alias] = state[source]
        return load_net_from_dict(net, state)
    except Exception as error:
        _raise_naming_path(error, path, "cannot load weight-tying checkpoint")


# ---------------------------------------------------------------------------
# Training checkpoints: save a run, carry it on in a new process
# ---------------------------------------------------------------------------
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


def _import_class(record):
    import importlib

    target = importlib.import_module(record["module"])
    for part in record["qualname"].split("."):
        target = getattr(target, part)
    return target


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
    tensors["rng/cpu"] = torch.get_rng_state()
    if torch.cuda.is_available():
        for index, state in enumerate(torch.cuda.get_rng_state_all()):
            tensors[f"rng/cuda/{index}"] = state
    metadata = {"dendrolab_training": json.dumps(record)}
    try:
        os.makedirs(os.fspath(folder), exist_ok=True)
    except Exception as error:
        _raise_naming_path(error, path, "cannot write training checkpoint")
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


def _restore(model, record, tensors, path, rebuild_optimizer):
    """Grows `model`, loads the weights and the tracker's state; with `rebuild_optimizer`
    also builds and loads the optimizer (and scheduler). Returns the optimizer."""
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
    optimizer_record = record["optimizer"]
    optimizer_class = _import_class(optimizer_record["class"])
    params = list(model.parameters())
    from dendrograd import tracker_dgr as TDG

    kept = TDG.filter_single_param_group(params, saved_mv["mode"], False)
    sizes = [len(kept)] if len(kept) else []
    if sizes != optimizer_record["group_sizes"]:
        raise ValueError(f"resume_training: the optimizer state in {path} has parameter groups of sizes "
                         f"{optimizer_record['group_sizes']}, the resumed network gives {sizes}")
    saved_optimizer = _decode(optimizer_record["state_dict"], tensors)
    order = [index for group in saved_optimizer["param_groups"] for index in group["params"]]
    for index, entry in saved_optimizer["state"].items():
        param = kept[order.index(index)] if index in order else None
        for key, value in entry.items():
            if param is not None and isinstance(value, torch.Tensor) and value.dim() > 0 and \
                    value.shape != param.shape:
                raise ValueError(f"resume_training: the optimizer state in {path} does not fit: its {key!r} of "
                                 f"parameter {index} has shape {tuple(value.shape)}, the parameter "
                                 f"{tuple(param.shape)}")
    if not rebuild_optimizer:
        return None
    for key, value in saved_mv.items():
        current = tracker.member_vars.get(key)
        if isinstance(current, list) and isinstance(value, list):
            current[:] = value  # keeps the lists other holders point at (member_var_types)
        else:
            tracker.member_vars[key] = value
    tracker.short_epoch_warned = record["tracker"]["short_epoch_warned"]
    tracker.scheduler, tracker.scheduler_class, tracker.scheduler_kwargs = None, None, {}
    tracker.setup_optimizer(model, optimizer_class, **_decode(optimizer_record["kwargs"], tensors))
    optimizer = tracker.optimizer
    try:
        optimizer.load_state_dict(_decode(optimizer_record["state_dict"], tensors))
    except (ValueError, KeyError, RuntimeError) as error:
        raise ValueError(f"resume_training: the optimizer state in {path} does not fit: {error}") from None
    if "scheduler" in record:
        entry = record["scheduler"]
        tracker.scheduler_class = _import_class(entry["class"])
        tracker.scheduler_kwargs = _decode(entry["kwargs"], tensors)
        tracker._rebuild_scheduler(_decode(entry["state_dict"], tensors))
    for key, value in record.get("addon", {}).items():
        setattr(_addon_module(), key, value)
    return optimizer


def resume_training(model, folder, name):
    """Carries on a run saved by `save_training`, typically in a new process.

    `model` is the freshly built network, already wrapped by `initialize_arb` under the
    same settings as the saved run. The function grows every neuron module to its saved
    number of dendrites, loads the weights, the tracker's state (mode, histories, counters,
    switch epochs), builds the optimizer through the tracker and loads its state (and the
    tracker's scheduler, if one was saved), then restores torch's random states.

    Args:
        model: the wrapped network.
        folder, name: as given to `save_training`.

    Returns (model, optimizer); the optimizer is also `GDL.arb_tracker.optimizer`.
    Raises FileNotFoundError / ValueError / RuntimeError naming the path for a missing,
    truncated or foreign file; ValueError for an unwrapped network, settings that differ
    from the saved ones, or an optimizer state that does not fit the network. In every
    such case the network in memory is left as it was.
    """
    model = unwrap_parallel(model)
    path = training_checkpoint_path(folder, name)
    record, tensors = _read_training_file(path)
    _check_wrapped(model, record, path)
    rng = torch.get_rng_state()
    tracker = GDL.arb_tracker
    # A trial run on a copy first: any mismatch shows up before the network changes.
    trial_tracker_vector = tracker.neuron_module_vector
    trial = deep_copy_arb(model)
    by_id = {id(m): k for k, m in enumerate(model.modules())}
    trial_modules = list(trial.modules())
    tracker.neuron_module_vector = [trial_modules[by_id[id(m)]] for m in trial_tracker_vector]
    try:
        _restore(trial, record, tensors, path, rebuild_optimizer=False)
    finally:
        tracker.neuron_module_vector = trial_tracker_vector
        torch.set_rng_state(rng)
    del trial
    optimizer = _restore(model, record, tensors, path, rebuild_optimizer=True)
    torch.set_rng_state(tensors["rng/cpu"])
    cuda_states = [tensors[f"rng/cuda/{i}"] for i in range(torch.cuda.device_count()) if f"rng/cuda/{i}" in tensors]
    if cuda_states:
        torch.cuda.set_rng_state_all(cuda_states)
    return model, optimizer
