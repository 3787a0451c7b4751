"""Grown networks for the deployment tests: wrapped by the host, dendrites accepted
without training, and every dendrite connection weight randomised so it matters."""
import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrolab import modules_dendrolab as MDL
from dendrolab import utils_dendrolab as UDL


def neuron_modules(model):
    return [m for m in model.modules() if isinstance(m, MDL.ARBNeuronModule)]


def grow(model, dendrites=2):
    for nm in neuron_modules(model):
        for _ in range(dendrites):
            nm.accept_best_candidate()
        with torch.no_grad():
            for p in list(nm.dendrites_to_top) + list(nm.dendrites_to_dendrites):
                p.normal_()
    return model


def grown_mlp(dendrites=2, seed=0):
    torch.manual_seed(seed)
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 6), nn.ReLU(), nn.Linear(6, 3)))
    return grow(model, dendrites).eval()


def grown_conv(dendrites=2, seed=0):
    torch.manual_seed(seed)
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    model = UDL.initialize_arb(nn.Sequential(nn.Conv2d(2, 4, 3, padding=1), nn.ReLU(), nn.Conv2d(4, 3, 3)))
    return grow(model, dendrites).eval()


def state_of(model):
    return {k: v.detach().clone() for k, v in model.state_dict().items()}


def same_state(a, b):
    return a.keys() == b.keys() and all(torch.equal(a[k], b[k]) for k in a)
