"""Host utilities: wrapping a model, deep copies, checkpoints with tied weights."""
import copy
import json
import os
import tempfile

import torch
from safetensors import safe_open
from safetensors.torch import load_file, save_file

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL


def initialize_arb(model, save_name=None):
    """Wraps every layer of a convertible type into an `ARBNeuronModule`.

    Registers the neuron modules with the global tracker and tags every remaining
    parameter as a neuron parameter. Returns the model (changed in place, or the new
    neuron module when the model itself is a convertible layer).
    """

    tracker = GDL.arb_tracker
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
    try:
        tmp = _atomic_target(path)
    except Exception as error:
        _raise_naming_path(error, path, "cannot write weight-tying checkpoint")
    try:
        save_file(stored, tmp, metadata={"weight_tying": json.dumps(aliases)})
        os.replace(tmp, path)
    except Exception as error:
        _raise_naming_path(error, path, "cannot write weight-tying checkpoint")
    finally:
        if os.path.exists(tmp):
            os.remove(tmp)


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
