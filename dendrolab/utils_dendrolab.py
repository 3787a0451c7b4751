"""Host utilities: wrapping a model, deep copies, checkpoints with tied weights."""
import copy
import gc
import json
import os
import tempfile
import warnings
import weakref

import torch
from safetensors import safe_open
from safetensors.torch import load_file, save_file

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab.tracker_dendrolab import unwrap_parallel


def _served_model_in_use(tracker, model):
    """The wrapped model the tracker serves when something besides the tracker itself still
    holds it (the tracker's own references do not count) and it is not `model`; else None."""
    served = tracker.wrapped_model() if tracker.wrapped_model is not None else None
    if served is None or served is model:
        return None
    del served
    modules = [weakref.ref(m) for m in tracker.neuron_module_vector]
    optimizer = weakref.ref(tracker.optimizer) if tracker.optimizer is not None else None
    tracker.model, tracker.neuron_module_vector, tracker.optimizer = None, [], None
    gc.collect()  # a dropped model may sit in a reference cycle
    served = tracker.wrapped_model()
    if served is None:
        return None
    tracker.model = served  # still in use: the tracker serves it until the new wrap takes over
    tracker.neuron_module_vector = [m() for m in modules if m() is not None]
    tracker.optimizer = optimizer() if optimizer is not None else None
    return served


REPLACED = ("{what} belongs to a wrapped model that a later initialize_arb call replaced: "
            "GDL.arb_tracker now serves the newer model, and training this one would change the "
            "newer model's dendrite state. Keep training the newer model, or wrap this network "
            "again with initialize_arb to train it (the newer one is then replaced).")


def _refuse_replaced(what):
    def refuse(*args, **kwargs):
        raise RuntimeError(REPLACED.format(what=what))
    refuse.__name__ = "replaced_model_" + what.split()[-1].replace("()", "")
    return refuse


def _retire(tracker):
    """Parts of the tracker's current model that must not act once a new wrap takes over:
    its neuron modules stop storing candidate outputs, its optimizer stops stepping."""
    for neuron_module in tracker.neuron_module_vector:
        neuron_module.replaced = True
    optimizer = tracker.optimizer
    if optimizer is not None:
        optimizer.step = _refuse_replaced("this optimizer's step()")
        optimizer.zero_grad = _refuse_replaced("this optimizer's zero_grad()")


def initialize_arb(model, save_name=None):
    """Wraps every layer of a convertible type into an `ARBNeuronModule`.

    Registers the neuron modules with the global tracker and tags every remaining
    parameter as a neuron parameter. Returns the model (changed in place, or the new
    neuron module when the model itself is a convertible layer).

    The process has one tracker (`GDL.arb_tracker`), so it trains one wrapped model at a
    time: the newest wrap takes over. When an earlier wrapped model is still in use (a
    notebook cell run again, a sweep that builds one model after another), a warning says
    so; the earlier model still predicts, but its optimizer's step and zero_grad raise
    RuntimeError and its layers store no candidate outputs, so nothing it does touches the
    new model's state.
    """

    tracker = GDL.arb_tracker
    replaced = _served_model_in_use(tracker, model)
    if replaced is not None:
        warnings.warn(f"initialize_arb: this wrap replaces the wrapped {type(replaced).__name__} the tracker "
                      "served; GDL.arb_tracker starts afresh for the new model, and the earlier model's "
                      "optimizer raises if it is stepped again", UserWarning, stacklevel=2)
        _retire(tracker)
        del replaced
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
    from dendrograd import utils_dgr as UTL

    metadata = UTL.with_tensor_digest(stored, {"weight_tying": json.dumps(aliases)})
    _write_safetensors_atomically(stored, path, metadata,
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
        from dendrograd import utils_dgr as UTL

        UTL.check_tensor_digest(path, state, metadata)
        for alias, source in aliases.items():
            state[alias] = state[source]
        return load_net_from_dict(net, state)
    except Exception as error:
        _raise_naming_path(error, path, "cannot load weight-tying checkpoint")


# Training checkpoints live in their own module; these names are the host's API.
from dendrolab.training_dendrolab import (  # noqa: E402,F401  (needs the helpers above)
    TRAINING_FORMAT, resume_training, save_training, training_checkpoint_path)
