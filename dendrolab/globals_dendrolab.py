"""Global configuration (`pc`) and the global training tracker (`arb_tracker`)."""
import itertools
import math
import numbers

import torch

_CHANGES = itertools.count(1)


def _changed():
    """Counts a configuration change, so readers that keep settings know to read them again."""
    type.__setattr__(Config, "_settings_version", next(_CHANGES))


class _VersionedType(type):
    """Counts every attribute set on or deleted from the class (a getter patched by a test)."""

    def __setattr__(cls, name, value):
        super().__setattr__(name, value)
        _changed()

    def __delattr__(cls, name):
        super().__delattr__(name)
        _changed()


class Config(metaclass=_VersionedType):
    """Every setting has a getter `get_<name>()` and a setter `set_<name>(value)`.

    Settings are generated from `_DEFAULTS` so that the add-on can read any of them
    by name at the moment of use. Change them through the setters (or `reset`):
    every change is counted in `_settings_version`, and the add-on keeps the
    generated getters' results (`_PLAIN_GETTERS`) until the count moves.
    """

    _settings_version = 0
    _PLAIN_GETTERS = {}

    DOING_HISTORY = 0
    DOING_FIXED_SWITCH = 1

    _DEFAULTS = {
        # diagnostics
        "verbose": False,
        "extra_verbose": False,
        "silent": False,
        "dpp_verbose": False,
        # candidate learning
        "doing_thing": False,
        "learn_dendrites_live": False,
        "default_random_arb_to_candidates": True,
        "candidate_graph_mode": True,
        "dendrite_graph_mode": True,
        "dendrite_learn_mode": True,
        "no_backward_workaround": False,
        "debugging_memory_leak": True,
        "debugging_backwards_nan": False,
        "fixed_input_sizes": False,
        "correlations_by_mean": False,
        "normalized_covariance": False,
        "running_average_dg": False,
        "dendrite_update_mode": True,
        "global_candidates": 1,
        "initial_correlation_batches": 10,
        "arb_improvement_threshold": 0.1,
        "arb_improvement_threshold_raw": 1e-5,
        "correlation_average_factor": 0.99,
        "correlation_scores_per_epoch": True,
        "dendrite_output_init": 0.1,
        "select_candidates_per_neuron": True,
        "freeze_accepted_dendrites": False,
        "candidate_lr_scale": 10.0,
        "candidate_grad_clipping": 0.0,
        # p mode: the network's own parameters compute no weight gradients while it lasts
        "freeze_network_in_p_mode": True,
        "arb_forward_function": torch.sigmoid,
        # schedule
        "cap_at_n": True,
        "cap_at_last_n_phase": False,
        "p_patience_by_best_candidate": True,
        "mean_best_over_candidates": True,
        "snapshot_candidates_per_neuron": True,
        "doing_mean_best": False,
        "p_epochs_to_switch": 3,
        "n_epochs_to_switch": 3,
        "max_dendrites": 2,
        "graphing_current_scores": False,
        # wrapping, counting and saving
        "device": "cpu",
        "d_type": torch.float32,
        "count_training_params": False,
        "using_safe_tensors": True,
        "weight_tying_experimental": False,
        "module_names_to_not_save": [".base_model"],
        "modules_to_track": [],
        "modules_to_convert": [torch.nn.Linear, torch.nn.Conv1d, torch.nn.Conv2d],
    }

    def __init__(self):
        self._values = dict(self._DEFAULTS)
        for key in ("module_names_to_not_save", "modules_to_track", "modules_to_convert"):
            self._values[key] = list(self._values[key])

    def __setattr__(self, name, value):
        object.__setattr__(self, name, value)
        _changed()

    def __delattr__(self, name):
        object.__delattr__(self, name)
        _changed()

    def reset(self):
        """Back to the defaults (used between independent runs and by tests)."""
        self.__init__()

    def append_module_names_to_not_save(self, names):
        """Adds module names that saving leaves out."""
        self._values["module_names_to_not_save"] += list(names)
        _changed()

    def append_modules_to_track(self, types):
        """Adds module types that are tracked rather than converted."""
        self._values["modules_to_track"] += list(types)
        _changed()


def _number_in(low, high, low_open=False):
    """A check that a value is a finite real number in [low, high] ((low, high] when low_open)."""
    def check(value):
        if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value):
            return False
        return (value > low if low_open else value >= low) and value <= high
    return check


# Settings whose values are checked when set: (check, what the value must be).
_CHECKS = {
    "candidate_lr_scale": (_number_in(0.0, math.inf, low_open=True), "a positive finite number"),
    "correlation_average_factor": (_number_in(0.0, 1.0), "a number in [0, 1]"),
    "dendrite_output_init": (_number_in(0.0, math.inf), "a non-negative finite number"),
    "candidate_grad_clipping": (_number_in(0.0, math.inf), "a non-negative finite number"),
}


def _checked(key, value):
    check = _CHECKS.get(key)
    if check is not None and not check[0](value):
        raise ValueError(f"set_{key}: {key} must be {check[1]}, got {value!r}")
    return value


def _make_accessors(key):
    def getter(self):
        return self._values[key]

    def setter(self, value):
        self._values[key] = _checked(key, value)
        _changed()

    getter.__name__, setter.__name__ = "get_" + key, "set_" + key
    return getter, setter


for _key in Config._DEFAULTS:
    _get, _set = _make_accessors(_key)
    setattr(Config, _get.__name__, _get)
    setattr(Config, _set.__name__, _set)
    Config._PLAIN_GETTERS[_get.__name__] = _get
del _key, _get, _set

pc = Config()

from dendrolab.tracker_dendrolab import ArbTracker  # noqa: E402  (needs `pc` defined)

arb_tracker = ArbTracker()
