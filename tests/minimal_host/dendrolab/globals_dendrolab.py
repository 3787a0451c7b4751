"""The configuration object `pc` and the tracker `arb_tracker`, nothing more."""
import torch

# One entry per getter of the contract; the values are this host's defaults. A test changes
# a setting through `pc.values`: the contract asks for getters only.
SETTINGS = {
    "verbose": False,
    "extra_verbose": False,
    "silent": False,
    "dpp_verbose": False,
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
    "cap_at_n": True,
    "doing_mean_best": False,
    "graphing_current_scores": False,
    "count_training_params": False,
    "using_safe_tensors": True,
    "weight_tying_experimental": False,
    "global_candidates": 2,
    "initial_correlation_batches": 1,
    "p_epochs_to_switch": 3,
    "arb_improvement_threshold": 0.1,
    "arb_improvement_threshold_raw": 1e-5,
    "candidate_grad_clipping": 0.0,
    "device": "cpu",
    "d_type": torch.float64,
    "arb_forward_function": torch.sigmoid,
    "module_names_to_not_save": [],
    "modules_to_track": [],
}


class Config:
    DOING_HISTORY = 0

    def __init__(self):
        self.values = dict(SETTINGS)


def _getter(name):
    def getter(self):
        return self.values[name]

    getter.__name__ = "get_" + name
    return getter


for _name in SETTINGS:
    setattr(Config, "get_" + _name, _getter(_name))
del _name

pc = Config()


class Tracker:
    """The tracker's contract: member_vars, member_var_types, neuron_module_vector, save_name,
    apply_dg_grads() and apply_dg_zero()."""

    def __init__(self):
        self.member_vars = {
            "mode": "n",
            "step_status": 0,
            "switch_mode": Config.DOING_HISTORY,
            "switch_epochs": [],
            "num_epochs_run": 0,
            "epoch_last_improved": 0,
            "best_scores": [],
            "current_scores": [],
            "best_mean_scores": [],
            "best_mean_score_improved_this_epoch": 0,
            "watch_weights": [],
            "p_accuracies": [],
        }
        self.member_var_types = {"n_accuracies": []}
        self.neuron_module_vector = []
        self.save_name = "minimal_host"

    def apply_dg_grads(self):
        from dendrograd import modules_dgr as MDG

        for neuron_module in self.neuron_module_vector:
            MDG.apply_dg_grads(neuron_module.dendrite_module)

    def apply_dg_zero(self):
        from dendrograd import modules_dgr as MDG

        for neuron_module in self.neuron_module_vector:
            MDG.apply_dg_zero(neuron_module.dendrite_module)


arb_tracker = Tracker()
