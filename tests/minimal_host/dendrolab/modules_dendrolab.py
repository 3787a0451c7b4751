"""Neuron modules, dendrite modules and dendrite value holders, each with the attributes the
host contract lists and no others; the value registry's functions and name caches."""
import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL

# Set to None by the add-on when a model variant registers names; rebuilt when found None.
_cached_dendrite_tensor_values = None
_cached_dendrite_tensor_dg_state = None
_cached_dendrite_single_values = None
_cached_dendrite_single_dg_state = None

_REINIT_VALUES = [
    "prev_dendrite_candidate_correlation", "best_score", "previous_best_score", "prev_dendrite_candidate_average",
    "indexes_of_best", "nodes_best_improved_this_epoch", "nodes_improved_any", "normal_pass_average_d",
    "epoch_start_best_score", "prev_dendrite_candidate_pearson", "best_pearson_correlation", "initialized",
    "best_score_improved_this_epoch", "running_scalar", "locked",
]


def _addon():
    # Imported at call time: the add-on imports this module while it loads.
    from dendrograd import modules_dgr

    return modules_dgr


def _tensor_values():
    global _cached_dendrite_tensor_values
    if _cached_dendrite_tensor_values is None:
        MDG = _addon()
        _cached_dendrite_tensor_values = MDG.update_dendrite_tensor_values([]) + list(MDG._variant_tensor_values)
    return _cached_dendrite_tensor_values


def get_DENDRITE_SINGLE_VALUES():
    global _cached_dendrite_single_values
    if _cached_dendrite_single_values is None:
        MDG = _addon()
        _cached_dendrite_single_values = (MDG.update_dendrite_single_values(["initialized"])
                                          + list(MDG._variant_single_values))
    return _cached_dendrite_single_values


def get_DENDRITE_REINIT_VALUES():
    return _REINIT_VALUES + (["parent_max_mean_act"] if GDL.pc.get_doing_thing() else [])


class DendriteValues:
    """One candidate slot's statistics: a plain object, per-device lists as dicts of lists."""

    def __init__(self, layer_name, out_channels, this_node_index, this_output_dimensions):
        dtype, device = GDL.pc.get_d_type(), GDL.pc.get_device()
        self.layer_name = layer_name
        self.out_channels = out_channels
        self.this_node_index = this_node_index
        self.this_output_dimensions = list(this_output_dimensions)
        self.device = None
        self.dendrite_storage_shape = torch.tensor([out_channels])
        for name in _tensor_values():
            setattr(self, name, torch.zeros(out_channels, dtype=dtype, device=device))
        for name in get_DENDRITE_SINGLE_VALUES():
            setattr(self, name, torch.zeros(1, dtype=dtype, device=device))
        for name in _addon().update_value_tracker_arrays(["dendrite_outs"]):
            setattr(self, name, {0: []})  # device index -> stored tensors; this host runs on the CPU
        dims = len(self.this_output_dimensions)
        self.full_mult_cache = torch.zeros(1)
        self.math_tuple_cache = torch.full((dims,), -1, dtype=torch.long)
        self.view_tuple_cache = torch.ones(dims, dtype=torch.long)


class DendriteModule(nn.Module):
    """Accepted dendrite layers and the candidates (plain lists) of one neuron module."""

    def __init__(self, name, out_channels, this_node_index, this_output_dimensions):
        super().__init__()
        self.name = name
        self.out_channels = out_channels
        self.mode = "n"
        self.num_dendrites = 0
        self.layers = nn.ModuleList()
        self.processors = []
        self.candidate_processors = []
        self.dendrite_values = [DendriteValues(name, out_channels, this_node_index, this_output_dimensions)
                                for _ in range(GDL.pc.get_global_candidates())]
        self.candidate_module = []
        self.best_candidate_module = []
        self.dendrites_to_candidates = []
        self.best_dendrites_to_candidates_saved = []
        _addon().create_extra_tensors(self)

    def load_tagger_values(self):
        MDG = _addon()
        MDG.set_dendrite_parameters(self.layers)
        for candidate in self.candidate_module:
            MDG.set_candidate_parameters(candidate)
        for weights in self.dendrites_to_candidates:
            weights.parameter_type = "candidate"
        for candidate in self.best_candidate_module:
            MDG.set_ignored_parameters(candidate)


class ARBNeuronModule(nn.Module):
    """A wrapped layer whose outputs are (batch, neurons)."""

    def __init__(self, main_module, name):
        super().__init__()
        self.main_module = main_module
        self.name = name
        self.out_channels = main_module.out_features
        self.this_node_index = 1
        self.module_config = GDL.pc
        self.debug_arb_weights = False
        self.processor = None
        self.register_buffer("num_cycles", torch.zeros(1))
        dtype = GDL.pc.get_d_type()
        # Entry k + 1 holds the weights into dendrite k from the dendrites before it; entry 0 leads.
        self.dendrites_to_dendrites = [torch.zeros(1, self.out_channels, dtype=dtype)]
        # One entry per accepted dendrite; the last holds the weights of every dendrite into the neurons.
        self.dendrites_to_top = []
        self.dendrite_module = DendriteModule(name, self.out_channels, self.this_node_index, [-1, 0])

    def forward(self, *args, **kwargs):
        MDG = _addon()
        dendrite_module = self.dendrite_module
        out = self.main_module(*args, **kwargs)
        view_tuple = [-1 if i == self.this_node_index else 1 for i in range(out.dim())]
        activation = GDL.pc.get_arb_forward_function()
        accepted = []
        for k, layer in enumerate(dendrite_module.layers):
            value = layer(*args, **kwargs)
            for j, earlier in enumerate(accepted):
                value = value + self.dendrites_to_dendrites[k + 1][j].view(view_tuple) * earlier
            accepted.append(activation(value))
        for k, value in enumerate(accepted):
            out = out + self.dendrites_to_top[-1][k].view(view_tuple) * value
        if dendrite_module.mode != "p" or GDL.arb_tracker.member_vars["mode"] != "p":
            return out
        args, kwargs = MDG.preprocess_dg(*args, **kwargs)
        results = MDG.forward_candidates(dendrite_module, view_tuple, accepted, *args, **kwargs)
        if out.requires_grad:
            values = dendrite_module.dendrite_values
            out.register_hook(lambda error: MDG.filter_backward_dg(error, values))
        return MDG.apply_live_candidate_to_output(self, out, results[1])
