"""What this host does around the hooks: wrapping, candidates, optimizers and mode switches.
The add-on never imports this module; only the driver calls it."""
import copy

import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL


def _addon():
    from dendrograd import modules_dgr, tracker_dgr

    return modules_dgr, tracker_dgr


def _fresh_copy(layer):
    new = copy.deepcopy(layer)
    new.reset_parameters()
    return new


def new_candidates(neuron_module):
    """A fresh candidate per slot, a copy of the main layer, connected to every accepted dendrite."""
    MDG, _ = _addon()
    dendrite_module = neuron_module.dendrite_module
    count = GDL.pc.get_global_candidates()
    dendrite_module.candidate_module = [_fresh_copy(neuron_module.main_module) for _ in range(count)]
    for candidate in dendrite_module.candidate_module:
        MDG.set_candidate_parameters(candidate)
    dendrite_module.dendrites_to_candidates = [
        nn.Parameter(torch.zeros(dendrite_module.num_dendrites, dendrite_module.out_channels,
                                 dtype=GDL.pc.get_d_type())) for _ in range(count)]
    for j, weights in enumerate(dendrite_module.dendrites_to_candidates):
        weights.parameter_type = "candidate"
        MDG.init_candidates(dendrite_module, j)
    dendrite_module.best_candidate_module = [copy.deepcopy(c) for c in dendrite_module.candidate_module]
    for candidate in dendrite_module.best_candidate_module:
        MDG.set_ignored_parameters(candidate)
    dendrite_module.best_dendrites_to_candidates_saved = [
        w.detach().clone() for w in dendrite_module.dendrites_to_candidates]
    for values in dendrite_module.dendrite_values:
        for stored in (values.dendrite_outs, values.current_parent_d):
            for entries in stored.values():
                entries.clear()
        values.device = None
        MDG.reinitialize_for_dg(values)


def wrap(layer, name):
    """The neuron module of `layer`, served by the tracker."""
    MDG, _ = _addon()
    neuron_module = MDL.ARBNeuronModule(layer, name)
    MDG.set_neuron_parameters(neuron_module.main_module)
    new_candidates(neuron_module)
    tracker = GDL.arb_tracker
    tracker.neuron_module_vector.append(neuron_module)
    tracker.member_vars["best_scores"].append([])
    tracker.member_vars["current_scores"].append([])
    return neuron_module


def tag_network(model):
    """Every parameter the wrapping left untagged belongs to the neurons."""
    for param in model.parameters():
        if not hasattr(param, "parameter_type"):
            param.parameter_type = "neuron"


def host_parameters(model):
    """The network's parameters and those the host keeps in plain lists."""
    params = list(model.parameters())
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        dendrite_module = neuron_module.dendrite_module
        params += list(neuron_module.dendrites_to_top)
        for candidate in dendrite_module.candidate_module:
            params += list(candidate.parameters())
        params += list(dendrite_module.dendrites_to_candidates)
    return params


def optimizer_for(model, lr):
    """An SGD optimizer over every parameter, passed through the add-on's set-up."""
    _, TDG = _addon()
    optimizer = torch.optim.SGD(host_parameters(model), lr=lr)
    TDG.setup_optimizer_dg(optimizer)
    GDL.arb_tracker.member_vars["step_status"] = TDG.STEP_CLEARED
    return optimizer


def start_p_mode():
    MDG, _ = _addon()
    member_vars = GDL.arb_tracker.member_vars
    member_vars["mode"] = "p"
    member_vars["switch_epochs"].append(member_vars["num_epochs_run"])
    member_vars["epoch_last_improved"] = member_vars["num_epochs_run"]
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        MDG.set_module_p_dg(neuron_module)
        neuron_module.dendrite_module.mode = "p"
        with torch.no_grad():
            for values in neuron_module.dendrite_module.dendrite_values:
                values.epoch_start_best_score.copy_(values.best_score)


def end_p_mode():
    MDG, _ = _addon()
    member_vars = GDL.arb_tracker.member_vars
    for neuron_module in GDL.arb_tracker.neuron_module_vector:
        neuron_module.dendrite_module.mode = "n"
        MDG.set_dg_mode(neuron_module.dendrite_module, "n")
        MDG.set_module_n_dg(neuron_module)
    member_vars["mode"] = "n"
    member_vars["switch_epochs"].append(member_vars["num_epochs_run"])


def accept_best_candidate(neuron_module, output_weight=0.5):
    """The slot with the highest mean best score becomes a dendrite; fresh candidates follow."""
    MDG, _ = _addon()
    dendrite_module = neuron_module.dendrite_module
    scores = [float(v.best_score.abs().mean()) for v in dendrite_module.dendrite_values]
    best = max(range(len(scores)), key=scores.__getitem__)
    layer = copy.deepcopy(dendrite_module.best_candidate_module[best])
    MDG.set_dendrite_parameters(layer)
    dendrite_module.layers.append(layer)
    neuron_module.dendrites_to_dendrites.append(dendrite_module.best_dendrites_to_candidates_saved[best].clone())
    k = dendrite_module.num_dendrites
    top = torch.full((k + 1, neuron_module.out_channels), output_weight, dtype=GDL.pc.get_d_type())
    if k > 0:
        top[:k] = neuron_module.dendrites_to_top[-1].detach()
    top = nn.Parameter(top)
    top.parameter_type = "dendrite"
    neuron_module.dendrites_to_top.append(top)
    dendrite_module.num_dendrites = k + 1
    neuron_module.num_cycles += 1
    new_candidates(neuron_module)
    return best
