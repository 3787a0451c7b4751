"""Neuron modules, dendrite modules and the per-candidate value holders.

A wrapped layer becomes an `ARBNeuronModule`: its own layer (`main_module`), the
accepted dendrites that feed it, and a `DendriteModule` with the candidate dendrites
that learn in p mode. Each candidate slot has a `DendriteValueTracker` holding the
statistics the add-on keeps; the names of those statistics come from the value
registry: the host's own names extended by the add-on's update hooks.
"""
import copy

import torch
from torch import nn
from torch.nn import functional as F

from dendrolab import globals_dendrolab as GDL

# ---------------------------------------------------------------------------
# Value registry
# ---------------------------------------------------------------------------
# The host's own per-candidate names; the add-on appends its names to these.
HOST_TENSOR_VALUES = ["current_batch_pearson"]
HOST_SINGLE_VALUES = ["initialized"]
HOST_VALUE_TRACKER_ARRAYS = ["dendrite_outs"]

# Statistics reset (multiplied by zero) before a new set of candidates trains.
HOST_REINIT_VALUES = [
    "prev_dendrite_candidate_correlation",
    "best_score",
    "previous_best_score",
    "prev_dendrite_candidate_average",
    "indexes_of_best",
    "nodes_best_improved_this_epoch",
    "nodes_improved_any",
    "normal_pass_average_d",
    "epoch_start_best_score",
    "prev_dendrite_candidate_pearson",
    "best_pearson_correlation",
    "current_batch_pearson",
    "initialized",
    "best_score_improved_this_epoch",
    "running_scalar",
    "locked",
]

# Name caches. The add-on sets these to None when a model variant registers new
# names; the getters below rebuild a cache they find empty.
_cached_dendrite_tensor_values = None
_cached_dendrite_tensor_dg_state = None
_cached_dendrite_single_values = None
_cached_dendrite_single_dg_state = None


def _addon():
    from dendrograd import modules_dgr

    return modules_dgr


def get_DENDRITE_TENSOR_VALUES():
    global _cached_dendrite_tensor_values
    if _cached_dendrite_tensor_values is None:
        MDG = _addon()
        _cached_dendrite_tensor_values = (
            MDG.update_dendrite_tensor_values(list(HOST_TENSOR_VALUES)) + list(MDG._variant_tensor_values))
    return _cached_dendrite_tensor_values


def get_DENDRITE_TENSOR_DG_STATE():
    """Tensor names that travel with a checkpoint (all but the per-batch value)."""
    global _cached_dendrite_tensor_dg_state
    if _cached_dendrite_tensor_dg_state is None:
        _cached_dendrite_tensor_dg_state = [n for n in get_DENDRITE_TENSOR_VALUES() if n != "current_batch_pearson"]
    return _cached_dendrite_tensor_dg_state


def get_DENDRITE_SINGLE_VALUES():
    global _cached_dendrite_single_values
    if _cached_dendrite_single_values is None:
        MDG = _addon()
        _cached_dendrite_single_values = (
            MDG.update_dendrite_single_values(list(HOST_SINGLE_VALUES)) + list(MDG._variant_single_values))
    return _cached_dendrite_single_values


def get_DENDRITE_SINGLE_DG_STATE():
    global _cached_dendrite_single_dg_state
    if _cached_dendrite_single_dg_state is None:
        MDG = _addon()
        names = list(getattr(MDG, "DENDRITE_SINGLE_VALUES", get_DENDRITE_SINGLE_VALUES()))
        for extra in get_DENDRITE_SINGLE_VALUES():  # variant names registered after load
            if extra not in names:
                names.append(extra)
        _cached_dendrite_single_dg_state = names
    return _cached_dendrite_single_dg_state


def get_VALUE_TRACKER_ARRAYS():
    return _addon().update_value_tracker_arrays(list(HOST_VALUE_TRACKER_ARRAYS))


def get_DENDRITE_REINIT_VALUES():
    names = list(HOST_REINIT_VALUES)
    if GDL.pc.get_doing_thing():
        names.append("parent_max_mean_act")
    return names


def candidate_lr_optimizer(params, optimizer="Adam", **kwargs):
    """`torch.optim.<optimizer>(params, **kwargs)` with the candidate dendrites at their own
    learning rate: the parameters tagged "candidate" form a group at
    `lr × GDL.pc.get_candidate_lr_scale()`, all others one at `lr` (the optimizer's default
    lr when none is given). The add-on's mode filter keeps the groups.

    The tracker's own `setup_optimizer` already gives any torch.optim class these groups; the
    factory stays for code and checkpoints that name it:

        tracker.setup_optimizer(model, MDL.candidate_lr_optimizer, optimizer="Adam", lr=0.01)

    Raises AttributeError when torch.optim has no class of that name.
    """
    import inspect

    from dendrolab.tracker_dendrolab import split_candidates

    optimizer_class = getattr(torch.optim, optimizer)
    params = list(params)
    lr = kwargs.get("lr")
    if lr is None:
        lr = inspect.signature(optimizer_class).parameters["lr"].default
    scale = float(GDL.pc.get_candidate_lr_scale())
    candidates, others = split_candidates(params)
    return optimizer_class([{"params": others}, {"params": candidates, "lr": lr * scale}], **kwargs)


class PerDeviceLists(dict):
    """Device index -> list of stored per-batch tensors.

    The tensors carry autograd graphs of one iteration; copies of a network never
    take them along, so a deep copy starts empty.
    """

    def __missing__(self, device_index):
        stored = self[device_index] = []
        return stored

    def __deepcopy__(self, memo):
        return PerDeviceLists()

    def __reduce__(self):
        return (PerDeviceLists, ())


def output_layout(module):
    """(node index, output dimension flags) of a wrapped layer's output.

    Flags: 0 marks the node dimension, -1 a reduced dimension, 1 a retained one.
    """
    if isinstance(module, nn.Conv2d):
        return 1, [-1, 0, -1, -1]
    if isinstance(module, nn.Conv1d):
        return 1, [-1, 0, -1]
    return 1, [-1, 0]


def out_channels_of(module):
    for attr in ("out_features", "out_channels"):
        if hasattr(module, attr):
            return int(getattr(module, attr))
    raise TypeError(f"cannot tell the number of neurons of {type(module).__name__}; "
                    "give out_channels explicitly")


class DendriteValueTracker(nn.Module):
    """Statistics of one candidate slot: the registry's tensors and single values,
    the per-device lists of stored outputs/errors and the shape caches."""

    def __init__(self, layer_name, out_channels, this_node_index, this_output_dimensions):
        super().__init__()
        self.layer_name = layer_name
        self.out_channels = out_channels
        self.this_node_index = this_node_index
        self.this_output_dimensions = list(this_output_dimensions)
        self.device = None
        storage_shape = [out_channels]
        dtype, device = GDL.pc.get_d_type(), GDL.pc.get_device()
        self.register_buffer("dendrite_storage_shape", torch.tensor(storage_shape, dtype=torch.long))
        saved = set(get_DENDRITE_TENSOR_DG_STATE())
        for name in get_DENDRITE_TENSOR_VALUES():
            self.register_buffer(name, torch.zeros(storage_shape, dtype=dtype, device=device),
                                 persistent=name in saved)
        for name in get_DENDRITE_SINGLE_DG_STATE():
            self.register_buffer(name, torch.zeros(1, dtype=dtype, device=device))
        for name in get_VALUE_TRACKER_ARRAYS():
            setattr(self, name, PerDeviceLists())
        ndim = len(self.this_output_dimensions)
        self.register_buffer("full_mult_cache", torch.zeros(1))
        self.register_buffer("math_tuple_cache", torch.full((ndim,), -1, dtype=torch.long))
        self.register_buffer("view_tuple_cache", torch.ones(ndim, dtype=torch.long))

    def fill_shape_cache(self, out):
        """Records the reduction of a fixed-size output so later batches skip the shape work."""
        math_tuple, view_tuple, full_mult = _addon().get_tuples_and_mult(out, self)
        with torch.no_grad():
            self.math_tuple_cache.fill_(-1)
            self.math_tuple_cache[: len(math_tuple)] = torch.tensor(math_tuple, dtype=torch.long)
            self.view_tuple_cache.copy_(torch.tensor(view_tuple, dtype=torch.long))
            self.full_mult_cache.fill_(float(full_mult))

    def stored_counts(self):
        device = self.device if self.device is not None else 0
        return len(self.dendrite_outs[device]), len(self.current_parent_d[device])


def tensor_options(layer):
    """(dtype, device) of a layer's first floating-point parameter or buffer, so that what
    grows beside it matches it after `model.double()` or `model.to(device)`; the settings'
    dtype and device for a layer without any."""
    for tensor in (*layer.parameters(), *layer.buffers()):
        if tensor.is_floating_point():
            return tensor.dtype, tensor.device
    return GDL.pc.get_d_type(), GDL.pc.get_device()


def _fresh_copy(layer):
    """A layer of the same shape with freshly initialised weights."""
    new = copy.deepcopy(layer)
    for sub in new.modules():
        if hasattr(sub, "reset_parameters"):
            sub.reset_parameters()
    return new


class DendriteModule(nn.Module):
    """Accepted dendrites of one neuron module and its candidate dendrites."""

    def __init__(self, main_module, name, out_channels, this_node_index, this_output_dimensions):
        super().__init__()
        MDG = _addon()
        self.name = name
        self.out_channels = out_channels
        self.this_node_index = this_node_index
        self.this_output_dimensions = list(this_output_dimensions)
        self.mode = "n"
        self.num_dendrites = 0
        self.layers = nn.ModuleList()
        self.processors = []
        self.candidate_processors = []
        self._template = _fresh_copy(main_module)
        MDG.set_ignored_parameters(self._template)
        self.dendrite_values = nn.ModuleList(
            DendriteValueTracker(name, out_channels, this_node_index, this_output_dimensions)
            for _ in range(GDL.pc.get_global_candidates()))
        MDG.create_extra_tensors(self)
        self.new_candidates()

    # -- candidates ---------------------------------------------------------
    def new_candidates(self):
        """A fresh set of candidates, connected to every accepted dendrite."""
        MDG = _addon()
        count = GDL.pc.get_global_candidates()
        self.candidate_module = nn.ModuleList(_fresh_copy(self._template) for _ in range(count))
        MDG.set_candidate_parameters(self.candidate_module)
        dtype, device = tensor_options(self._template)
        self.dendrites_to_candidates = nn.ParameterList(
            nn.Parameter(torch.zeros(self.num_dendrites, self.out_channels, dtype=dtype, device=device))
            for _ in range(count))
        for j, weights in enumerate(self.dendrites_to_candidates):
            weights.parameter_type = "candidate"
            MDG.init_candidates(self, j)
        self.best_candidate_module = nn.ModuleList(copy.deepcopy(c) for c in self.candidate_module)
        MDG.set_ignored_parameters(self.best_candidate_module)
        self.best_dendrites_to_candidates_saved = [w.detach().clone() for w in self.dendrites_to_candidates]
        for values in self.dendrite_values:
            for stored in (values.dendrite_outs, values.current_parent_d):
                stored.clear()
            values.device = None
            MDG.reinitialize_for_dg(values)
            values.__dict__.pop("_tuples_py_cache", None)
            values.full_mult_cache.zero_()
        self.shape_cache_filled = False

    def best_candidate_index(self):
        """The candidate slot with the highest mean best correlation."""
        scores = [float(v.best_score.abs().mean()) for v in self.dendrite_values]
        return max(range(len(scores)), key=lambda i: scores[i])

    def load_tagger_values(self):
        """Re-tags every parameter after a load (tags are not part of a state dict)."""
        MDG = _addon()
        MDG.set_dendrite_parameters(self.layers)
        MDG.set_candidate_parameters(self.candidate_module)
        for weights in self.dendrites_to_candidates:
            weights.parameter_type = "candidate"
        MDG.set_ignored_parameters(self.best_candidate_module)
        MDG.set_ignored_parameters(self._template)
        return len(self.layers)

    # -- accepted dendrites --------------------------------------------------
    def accepted_outputs(self, dendrites_to_dendrites, view_tuple, *args, **kwargs):
        """Activated outputs of the accepted dendrites, each fed by the earlier ones.

        Dendrite k's value is its layer's output plus, for j = 0 .. k-1 in order, row j of
        dendrites_to_dendrites[k + 1] times dendrite j's output. The sums run column by
        column: once dendrite j is known, its term goes into every later dendrite's value in
        one product (the same sums element for element, K products instead of K^2 / 2)."""
        f = GDL.pc.get_arb_forward_function()
        count = len(self.layers)
        if count == 0:
            return []
        # square[k, j]: the row from dendrite j into dendrite k, zero for j >= k
        square = torch.stack([_rows_padded(dendrites_to_dendrites[k + 1], k, count) for k in range(count)])
        values = torch.stack([layer(*args, **kwargs) for layer in self.layers])
        outs = []
        for j in range(count):
            # Its own copy: an activation that keeps its input for the backward (or works on
            # it in place) would otherwise hold on to the whole stack.
            outs.append(f(values[0].clone()))
            later = count - j - 1
            if later:
                values = values[1:] + square[j + 1:, j].view(later, *view_tuple) * outs[-1]
        return outs


def _rows_padded(weights, rows, count):
    """The first `rows` rows of `weights`, then zero rows up to `count` rows (without a
    graph for no rows: an empty weight gets no gradient)."""
    if rows == 0:
        return weights.new_zeros(count, *weights.shape[1:])
    return F.pad(weights[:rows], [0] * (2 * weights.dim() - 1) + [count - rows])


class ARBNeuronModule(nn.Module):
    """A wrapped layer: main layer + accepted dendrites + candidates."""

    def __init__(self, main_module, name, out_channels=None, this_node_index=None, this_output_dimensions=None):
        super().__init__()
        MDG = _addon()
        node, dims = output_layout(main_module)
        self.main_module = main_module
        self.name = name
        self.out_channels = out_channels if out_channels is not None else out_channels_of(main_module)
        self.this_node_index = this_node_index if this_node_index is not None else node
        dims = list(this_output_dimensions) if this_output_dimensions is not None else dims
        self.module_config = GDL.pc
        self.processor = None
        self.debug_arb_weights = False
        self.register_buffer("num_cycles", torch.zeros(1))
        dtype, device = tensor_options(main_module)
        # Entry k+1 holds the weights into dendrite k from dendrites 0..k-1; entry 0 leads.
        self.dendrites_to_dendrites = nn.ParameterList(
            [nn.Parameter(torch.zeros(1, self.out_channels, dtype=dtype, device=device), requires_grad=False)])
        # One entry per accepted dendrite; the last holds the weights of all dendrites into this neuron.
        self.dendrites_to_top = nn.ParameterList()
        self.candidate_to_top = None
        self.replaced = False  # set when a later initialize_arb takes the tracker over
        self.dendrite_module = DendriteModule(main_module, name, self.out_channels, self.this_node_index, dims)
        MDG.set_neuron_parameters(self.main_module)
        MDG.set_ignored_parameters(self.dendrites_to_dendrites)

    def view_tuple_for(self, out):
        dims = self.dendrite_module.this_output_dimensions
        return [-1 if i == self.this_node_index else (size if dims[i] == 1 else 1)
                for i, size in enumerate(out.shape)]

    def forward_with_dendrites(self, *args, **kwargs):
        """(out, dendrite_outs, view_tuple): the layer's output plus every accepted dendrite's
        weighted output, each layer called on its own."""
        out = self.main_module(*args, **kwargs)
        view_tuple = self.view_tuple_for(out)
        dendrite_outs = self.dendrite_module.accepted_outputs(self.dendrites_to_dendrites, view_tuple, *args, **kwargs)
        top = self.dendrites_to_top[-1]
        for k, value in enumerate(dendrite_outs):
            out = out + top[k].view(view_tuple) * value
        return out, dendrite_outs, view_tuple

    def _accepted_sum_is_ours(self, dendrite_module):
        """Whether the dendrite sum is this class's own: not traced by torch.compile, and
        neither forward_with_dendrites nor accepted_outputs replaced on a subclass, on the
        class itself or on the instance (dendrite_module: this module's)."""
        return (not torch.compiler.is_compiling()
                and type(self).forward_with_dendrites is _OWN_FORWARD_WITH_DENDRITES
                and type(dendrite_module).accepted_outputs is _OWN_ACCEPTED_OUTPUTS
                and "forward_with_dendrites" not in self.__dict__
                and "accepted_outputs" not in dendrite_module.__dict__)

    def forward(self, *args, **kwargs):
        MDG = _addon()
        dendrite_module = self.dendrite_module
        candidates_learn = (dendrite_module.mode == "p" and GDL.arb_tracker.member_vars["mode"] == "p"
                            and not self.replaced)
        if dendrite_module.num_dendrites > 0:
            # The add-on computes the layer and its dendrites' layers without their Python
            # calls where that is exactly the same; a traced or compiled forward, or a
            # subclass with its own dendrite sum, keeps the calls.
            fused = MDG.accepted_forward(self, *args, **kwargs) if self._accepted_sum_is_ours(dendrite_module) else None
            out, dendrite_outs, view_tuple = fused if fused is not None else self.forward_with_dendrites(
                *args, **kwargs)
        else:
            out = self.main_module(*args, **kwargs)
            if not candidates_learn:
                return out  # a plain layer until its first dendrite
            view_tuple, dendrite_outs = self.view_tuple_for(out), []
        if not candidates_learn or not (torch.is_grad_enabled() or self._candidates_seen_without_grad()):
            # Under no_grad (a validation pass) no error comes back: the candidates would
            # compute outputs that nothing learns from.
            return out
        if GDL.pc.get_fixed_input_sizes() and not dendrite_module.shape_cache_filled:
            for values in dendrite_module.dendrite_values:
                values.fill_shape_cache(out)
            dendrite_module.shape_cache_filled = True  # a flag, not a read of the buffer: no device sync per batch
        if not out.requires_grad and torch.is_grad_enabled():
            # The network is frozen in p mode: a first layer (inputs without a graph) has no
            # graph of its own, yet its error is what the candidates learn from, and a
            # backward through the output must still run.
            out = out.detach().requires_grad_()
        # The neuron keeps its full graph (its error must reach the layers before it);
        # only the candidates' copies of the inputs are cut from it.
        candidate_args, candidate_kwargs = MDG.preprocess_dg(*args, **kwargs)
        results = MDG.forward_candidates(dendrite_module, view_tuple, dendrite_outs,
                                         *candidate_args, **candidate_kwargs)
        # The neuron error of this call reaches the candidate outputs of this call.
        MDG.watch_neuron_error(dendrite_module, out, results[1])
        return MDG.apply_live_candidate_to_output(self, out, results[1])

    @staticmethod
    def _candidates_seen_without_grad():
        """Whether a forward under no_grad still needs the candidates: a live candidate adds
        to the output, and the NaN check looks at every candidate output."""
        return GDL.pc.get_learn_dendrites_live() or GDL.pc.get_debugging_backwards_nan()

    # -- growth -------------------------------------------------------------
    def initial_output_weights(self, slots):
        """Starting weights of a newly accepted dendrite into its neurons: one per neuron,
        neuron i taken from candidate slot `slots[i]`.

        With `dendrite_output_init` at 0 they start at zero and the dendrite joins the neuron
        only as n mode trains that weight. With a positive value s each starts at -s times the
        sign of the candidate's running covariance with that neuron's error: the neuron error
        is the loss gradient at the neuron's output, so a dendrite whose output rises with it
        lowers the loss when it is subtracted.
        """
        scale = float(GDL.pc.get_dendrite_output_init())
        if scale == 0.0:
            return torch.zeros(self.out_channels)
        channels = self.out_channels
        correlations = torch.stack([v.prev_dendrite_candidate_correlation.detach().reshape(-1)[:channels].float().cpu()
                                    for v in self.dendrite_module.dendrite_values])
        return -scale * torch.sign(correlations[torch.tensor(slots), torch.arange(channels)])

    def candidate_slots_per_neuron(self, best):
        """The candidate slot each neuron's part of the new dendrite comes from.

        By default every neuron takes the slot with the highest mean best score (`best`). With
        `select_candidates_per_neuron`, each neuron takes the slot with its own highest best
        score, provided every parameter of the candidate holds one row per neuron (Linear and
        ConvNd layers do), so that the new dendrite can be put together row by row.
        """
        dendrite_module = self.dendrite_module
        channels = self.out_channels
        if not GDL.pc.get_select_candidates_per_neuron():
            return [best] * channels
        template = dendrite_module.best_candidate_module[best]
        if any(p.dim() == 0 or p.shape[0] != channels for p in template.parameters()):
            return [best] * channels
        if any(b.is_floating_point() for b in template.buffers()):
            return [best] * channels
        scores = torch.stack([v.best_score.detach().abs().reshape(-1)[:channels].float().cpu()
                              for v in dendrite_module.dendrite_values])
        # Ties (a neuron no candidate improved) stay with the best slot overall.
        chosen = scores.argmax(0).tolist()
        return [c if scores[c, i] > scores[best, i] else best for i, c in enumerate(chosen)]

    def accept_best_candidate(self):
        """Turns the best candidate into a new accepted dendrite and starts fresh candidates.
        Returns the slot with the highest mean best score."""
        MDG = _addon()
        dendrite_module = self.dendrite_module
        best = dendrite_module.best_candidate_index()
        slots = self.candidate_slots_per_neuron(best)
        k = dendrite_module.num_dendrites
        layer = copy.deepcopy(dendrite_module.best_candidate_module[best])
        dtype, device = tensor_options(self.main_module)
        saved = dendrite_module.best_dendrites_to_candidates_saved[best].detach().to(
            dtype=dtype, device=device, copy=True)
        if any(slot != best for slot in slots):
            with torch.no_grad():
                by_slot = {s: dict(dendrite_module.best_candidate_module[s].named_parameters()) for s in set(slots)}
                for name, param in layer.named_parameters():
                    for i, slot in enumerate(slots):
                        param[i].copy_(by_slot[slot][name][i])
                for i, slot in enumerate(slots):
                    if k > 0:
                        saved[:, i] = dendrite_module.best_dendrites_to_candidates_saved[slot][:, i]
        MDG.set_dendrite_parameters(layer)
        dendrite_module.layers.append(layer)
        into_new = nn.Parameter(saved)
        into_new.parameter_type = "dendrite"
        self.dendrites_to_dendrites.append(into_new)
        if GDL.pc.get_freeze_accepted_dendrites():
            # Cascade-correlation's rule: a dendrite keeps the input weights it was chosen
            # for; only its output weights go on learning with the network.
            for param in (*layer.parameters(), into_new):
                param.requires_grad_(False)
        top = torch.zeros(k + 1, self.out_channels, dtype=dtype, device=device)
        if k > 0:
            top[:k] = self.dendrites_to_top[-1].detach()
        if self.candidate_to_top is not None and best == 0:
            top[k] = self.candidate_to_top.detach()[0]
        else:
            top[k] = self.initial_output_weights(slots).to(dtype=dtype, device=device)
        new_top = nn.Parameter(top)
        new_top.parameter_type = "dendrite"
        if len(self.dendrites_to_top) > 0:
            self.dendrites_to_top[-1].parameter_type = "ignored"
            self.dendrites_to_top[-1].requires_grad_(False)
        self.dendrites_to_top.append(new_top)
        dendrite_module.num_dendrites = k + 1
        self.num_cycles += 1
        dendrite_module.new_candidates()
        return best


# The dendrite sum as defined here: the add-on computes it from C++ only while these are
# the ones a neuron module would run.
_OWN_FORWARD_WITH_DENDRITES = ARBNeuronModule.forward_with_dendrites
_OWN_ACCEPTED_OUTPUTS = DendriteModule.accepted_outputs
