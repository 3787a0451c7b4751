"""GroMo as a benchmark arm: a plain tanh network grown in width by the `gromo` package
(an optional dependency of the benchmark: `pip install gromo`).

The network trains with the benchmark's loop (same data, batches, optimizer and learning
rate as every other arm). When its score has not improved for the task's n-mode patience,
it grows once with GroMo's TINY method without the natural-gradient (delta) step:

  1. statistics (GroMo's S, M and N tensors) over one pass of the whole training set,
     with the task's loss summed over samples;
  2. `compute_optimal_updates` with TINY's settings and `compute_delta=False`, for every
     hidden layer, each limited to the new neurons that fit under the parameter cap;
  3. `select_best_update` (the largest first-order improvement);
  4. the line search of GroMo's examples on the scale of the new neurons (an Armijo bound
     with factor 0.1 on the first-order improvement, steps of sqrt(0.5), extended while
     the loss keeps falling), the loss measured with `extended_forward` on the whole
     training set;
  5. `apply_change`, and a new optimizer over the grown parameters.

Growth stops at the parameter cap; the network then trains on until the budget is spent.
"""
import math

import numpy as np


def available():
    """None when GroMo can be imported, else a one-line reason."""
    try:
        import gromo  # noqa: F401
        from gromo.containers.growing_mlp import GrowingMLP  # noqa: F401
    except ImportError as error:
        return f"the gromo package is not installed ({error}); pip install gromo to run it"
    return None


TINY = dict(compute_delta=False, use_covariance=True, alpha_zero=False, omega_zero=False,
            use_projection=True, ignore_singular_values=False)


def build(features, widths, outputs, tanh_output):
    """A GroMo MLP features-widths-outputs with tanh hidden units (and a tanh output for
    the single-unit task)."""
    import torch
    from torch import nn
    from gromo.containers.growing_mlp import GrowingMLP

    class Grown(nn.Module):
        def __init__(self):
            super().__init__()
            self.mlp = GrowingMLP(features, outputs, hidden_size=widths[0], number_hidden_layers=len(widths),
                                  activation=nn.Tanh(), device=torch.device("cpu"))
            self.head = nn.Tanh() if tanh_output else nn.Identity()

        def forward(self, x):
            return self.head(self.mlp(x))

        def extended_forward(self, x):
            return self.head(self.mlp.extended_forward(x))

    return Grown()


def hidden_widths(model):
    return [layer.out_features for layer in model.mlp.layers[:-1]]


def count_params(model):
    return sum(p.numel() for layer in model.mlp.layers for p in (layer.weight, layer.bias))


def _neuron_cost(layer):
    """Parameters one new neuron in front of `layer` adds: its incoming weights and bias
    in the previous layer, and its outgoing weights into `layer`."""
    return layer.previous_module.in_features + 1 + layer.out_features


def line_search(evaluate, initial_loss, first_order, alpha=0.1, beta=0.5, max_iter=100, epsilon=1e-7):
    """GroMo's examples' line search on sqrt(gamma), the new neurons' scale: returns the
    scale chosen. `evaluate(scale)` is the training loss with the extension at that scale."""
    beta, epsilon = math.sqrt(beta), math.sqrt(epsilon)

    def under_bound(scale, loss):
        return loss < initial_loss - alpha * scale ** 2 * first_order

    scale = math.sqrt(2 * initial_loss / first_order) if first_order > 0 else 1.0
    last = evaluate(scale)
    i = 0
    if under_bound(scale, last):
        while True:  # extended search: grow the step while the loss keeps falling
            previous = last
            scale /= beta
            last = evaluate(scale)
            i += 1
            if not (last < previous and i < max_iter):
                break
        return scale * beta
    while True:
        previous = last
        scale *= beta
        last = evaluate(scale)
        i += 1
        if not (((not under_bound(scale, last)) or last < previous) and i < max_iter and scale > epsilon):
            break
    return scale / beta


def grow(model, x, y, summed_loss, cap):
    """One TINY growth step under the parameter cap; returns the neurons added (0: GroMo
    found no direction worth a neuron), None when no neuron fits under the cap."""
    import torch

    mlp = model.mlp
    room = cap - count_params(model)
    limits = [room // _neuron_cost(layer) for layer in mlp._growing_layers]
    if max(limits) < 1:
        return None
    mlp.init_computation()
    mlp.zero_grad()
    loss = summed_loss(model(x), y)
    loss.backward()
    mlp.update_computation()
    initial_loss = loss.item() / len(x)
    candidates = []
    for index, (layer, limit) in enumerate(zip(mlp._growing_layers, limits)):
        if limit >= 1:
            layer.compute_optimal_updates(maximum_added_neurons=limit, **TINY)
            if layer.eigenvalues_extension is not None and layer.eigenvalues_extension.numel():
                candidates.append(index)
    mlp.reset_computation()
    if not candidates:
        for layer in mlp._growing_layers:
            layer.delete_update()
        return 0
    improvements = [float(layer.first_order_improvement) if i in candidates else -math.inf
                    for i, layer in enumerate(mlp._growing_layers)]
    chosen = int(np.argmax(improvements))
    mlp.select_update(chosen)
    layer = mlp.currently_updated_layer

    def evaluate(scale):
        layer.scaling_factor = scale
        with torch.no_grad():
            return float(summed_loss(model.extended_forward(x), y)) / len(x)

    scale = line_search(evaluate, initial_loss, improvements[chosen])
    layer.scaling_factor = scale
    added = int(layer.eigenvalues_extension.shape[0])
    mlp.apply_change()
    return added
