"""The host's training tracker: mode, step status, score histories, neuron modules.

It also runs the schedule. The user builds the optimizer through `setup_optimizer`
and reports each epoch's validation score through `add_validation_score`:

    optimizer = GDL.arb_tracker.setup_optimizer(model, torch.optim.Adam, lr=1e-3)
    for epoch in ...:
        train one epoch with optimizer.zero_grad(); loss.backward(); optimizer.step()
        model, restructured, done = GDL.arb_tracker.add_validation_score(accuracy, model)
        if restructured:
            optimizer = GDL.arb_tracker.optimizer
        if done:
            break

n mode trains the neurons until validation has not improved for
`pc.get_n_epochs_to_switch()` epochs; p mode then trains candidate dendrites until the
add-on's history or cap rule ends it; each neuron module then accepts its best
candidate as a new dendrite and n mode starts again, up to `pc.get_max_dendrites()`.
"""
import sys

import torch
from torch.nn.parallel import DataParallel, DistributedDataParallel


def gather_rank_random_states(tracker):
    from dendrolab.random_states_dendrolab import gather_rank_random_states as gather

    gather(tracker)


def unwrap_parallel(model):
    """The network a DistributedDataParallel / DataParallel wrapper trains; `model` otherwise."""
    return model.module if isinstance(model, (DistributedDataParallel, DataParallel)) else model


def candidate_rate_scale(scale, steps_per_epoch):
    """The candidates' learning-rate scale for an epoch of `steps_per_epoch` optimizer steps
    (None: not known yet). A scale above 1 is for one step per epoch (full batch): with more
    steps the candidates already take more of them, so the scale shrinks with the steps,
    down to 1. A scale of 1 or below is taken as it is."""
    if not steps_per_epoch or scale <= 1:
        return scale
    return max(1.0, scale / steps_per_epoch)


def split_candidates(parameters):
    """(the parameters tagged "candidate", all the others), each in the given order."""
    candidates = [p for p in parameters if getattr(p, "parameter_type", None) == "candidate"]
    others = [p for p in parameters if getattr(p, "parameter_type", None) != "candidate"]
    return candidates, others


def parameter_groups(parameters, optimizer_class, optimizer_kwargs, steps_per_epoch=None):
    """What the tracker passes to `optimizer_class`: for a torch.optim class with a learning
    rate, the candidate dendrites in their own group at `lr × candidate_rate_scale(...)` of
    `pc.get_candidate_lr_scale()` and every other parameter in one group at `lr`; otherwise
    (a factory such as `candidate_lr_optimizer`, or a scale of 1) the parameters as they
    are. The add-on's mode filter drops whichever group the current mode does not train."""
    import inspect

    from dendrolab import globals_dendrolab as GDL

    parameters = list(parameters)
    scale = candidate_rate_scale(GDL.pc.get_candidate_lr_scale(), steps_per_epoch)
    if scale == 1 or not (isinstance(optimizer_class, type) and issubclass(optimizer_class, torch.optim.Optimizer)):
        return parameters
    lr = optimizer_kwargs.get("lr")
    if lr is None:
        default = inspect.signature(optimizer_class).parameters.get("lr")
        if default is None or not isinstance(default.default, (int, float)):
            return parameters  # no learning rate to scale
        lr = default.default
    candidates, others = split_candidates(parameters)
    if not candidates:
        return parameters
    # The group keeps its scale, so that a schedule carried over to the next mode's optimizer
    # keeps the candidates' rate in proportion (ArbTracker._rebuild_scheduler).
    return [{"params": others}, {"params": candidates, "lr": lr * scale, "candidate_lr_scale": scale}]


def with_foreach(optimizer_class, optimizer_kwargs):
    """`optimizer_kwargs`, with `foreach=True` for a class of torch.optim that takes it when the
    caller chose neither `foreach` nor `fused` (nor `differentiable`, which foreach lacks).

    A grown network has many small tensors: every dendrite brings its layer and its
    connections. torch's per-tensor loop (its CPU default) spends most of a small step in
    Python; the foreach path updates them all in each of a few calls, with the same
    arithmetic (on one cascor run, 17.1 s instead of 20.5, the same result). On CUDA it is
    torch's default already."""
    import inspect

    if not (isinstance(optimizer_class, type) and issubclass(optimizer_class, torch.optim.Optimizer)
            and optimizer_class.__module__.startswith("torch.optim")):
        return optimizer_kwargs  # another library's optimizer keeps its own defaults
    if {"foreach", "fused"} & set(optimizer_kwargs) or optimizer_kwargs.get("differentiable"):
        return optimizer_kwargs
    try:
        takes_foreach = "foreach" in inspect.signature(optimizer_class).parameters
    except (TypeError, ValueError):
        return optimizer_kwargs
    return {**optimizer_kwargs, "foreach": True} if takes_foreach else optimizer_kwargs


class ArbTracker:
    def __init__(self, save_name="dendrolab"):
        self.save_name = save_name
        self.reset()

    def reset(self):
        from dendrolab import globals_dendrolab as GDL

        # A run that stopped in p mode leaves the network frozen. The add-on keeps the record
        # of what it froze, so only an add-on already loaded (not one still importing this
        # module) can have frozen anything.
        unfreeze_network = getattr(sys.modules.get("dendrograd.tracker_dgr"), "unfreeze_network", None)
        if unfreeze_network is not None:
            unfreeze_network(self)
        self.neuron_module_vector = []
        self.member_vars = {
            "mode": "n",
            "step_status": 0,
            "switch_mode": GDL.pc.DOING_HISTORY,
            "switch_epochs": [],
            "num_epochs_run": 0,
            "epoch_last_improved": 0,
            "best_scores": [],
            "current_scores": [],
            "best_mean_scores": [],
            "best_mean_score_improved_this_epoch": 0,
            "watch_weights": [],
            "n_accuracies": [],
            "p_accuracies": [],
            # schedule: best validation score of the current n phase and when it was reached
            "best_validation_score": None,
            "n_epoch_last_improved": 0,
        }
        # Set by the add-on once it has warned that an epoch is shorter than the initial
        # correlation phase; the warning is shown once per tracker (and again after reset).
        self.short_epoch_warned = False
        self.wrapped_model = None  # weak reference to the model initialize_arb wrapped
        # Ranks of the torch.distributed process group this run trains with (1: none); the
        # add-on records it whenever it builds an optimizer.
        self.distributed_world_size = 1
        # Every rank's random states as of the last epoch end (under a process group only).
        self.rank_random_states = None
        self.model = None
        self.optimizer = None
        self.optimizer_class = None
        self.optimizer_kwargs = {}
        # Learning-rate schedule kept across restructures (see setup_scheduler).
        self.scheduler = None
        self.scheduler_class = None
        self.scheduler_kwargs = {}
        # Optimizer steps of the epoch running and of the last one that stepped (None: none
        # yet, or training under a process group, where the ranks' counts may differ).
        self._steps_this_epoch = 0
        self.steps_per_epoch = None
        # Histories plotted per kind; the accuracy series of n mode sets the plot length.
        self.member_var_types = {"n_accuracies": self.member_vars["n_accuracies"]}

    def add_neuron_module(self, neuron_module):
        self.neuron_module_vector.append(neuron_module)
        self.member_vars["best_scores"].append([])
        self.member_vars["current_scores"].append([])

    # Entry points of the optimizer wrappers: run the add-on over every dendrite module.
    def apply_dg_grads(self):
        from dendrograd import modules_dgr as MDG

        MDG.apply_dg_grads_together([neuron_module.dendrite_module for neuron_module in self.neuron_module_vector])

    def apply_dg_zero(self):
        from dendrograd import modules_dgr as MDG

        for neuron_module in self.neuron_module_vector:
            MDG.apply_dg_zero(neuron_module.dendrite_module)

    # -- schedule -------------------------------------------------------------------
    def setup_optimizer(self, model, optimizer_class, **optimizer_kwargs):
        """Builds `optimizer_class(model.parameters(), **optimizer_kwargs)` (for a torch.optim
        class, with the candidates in their own group at `pc.get_candidate_lr_scale()` times
        the rate: see `parameter_groups`) and passes it through the add-on, which wraps it
        and keeps the current mode's parameters.
        A torch.optim class that takes `foreach` gets `foreach=True` unless the arguments
        choose `foreach`, `fused` or `differentiable` (see `with_foreach`).
        The class and arguments are reused for the optimizer of every later mode.
        `model` may be the network or its DistributedDataParallel wrapper."""
        self.model = unwrap_parallel(model)
        self.optimizer_class = optimizer_class
        self.optimizer_kwargs = dict(optimizer_kwargs)
        return self._rebuild_optimizer()

    def _rebuild_optimizer(self):
        from dendrograd import tracker_dgr as TDG

        params = parameter_groups(self.model.parameters(), self.optimizer_class, self.optimizer_kwargs,
                                  self.steps_per_epoch)
        self.optimizer = self.optimizer_class(params, **with_foreach(self.optimizer_class, self.optimizer_kwargs))
        if hasattr(self.optimizer, "register_step_post_hook"):
            self.optimizer.register_step_post_hook(self._count_step)
        TDG.setup_optimizer_dg(self.optimizer)
        self.member_vars["step_status"] = TDG.STEP_CLEARED
        if self.scheduler_class is not None:
            self._rebuild_scheduler()
        return self.optimizer

    def _count_step(self, optimizer, args, kwargs):
        self._steps_this_epoch += 1

    def _end_step_count(self):
        """The epoch's step count becomes steps_per_epoch, which scales the candidates' rate."""
        distributed = torch.distributed.is_available() and torch.distributed.is_initialized()
        if self._steps_this_epoch and not distributed:
            self.steps_per_epoch = self._steps_this_epoch
        self._steps_this_epoch = 0

    def setup_scheduler(self, scheduler_class, **scheduler_kwargs):
        """Builds `scheduler_class(self.optimizer, **scheduler_kwargs)` (any
        torch.optim.lr_scheduler class) and keeps it going across restructures.

        Every restructure builds a new optimizer; the tracker then builds a new scheduler
        on it, loads the old scheduler's state (epoch counter, plateau counters, ...) and
        gives the new optimizer's groups the learning rate the schedule had reached. Call
        `tracker.scheduler.step()` (or `.step(metric)` for ReduceLROnPlateau) once per epoch
        as usual, and read `tracker.scheduler` again after a restructure.

        Args:
            scheduler_class: the scheduler's class, e.g. torch.optim.lr_scheduler.StepLR.
            **scheduler_kwargs: its constructor arguments other than the optimizer.

        Returns the scheduler. Raises RuntimeError when no optimizer was set up with
        `setup_optimizer`; whatever the scheduler's constructor raises for bad arguments.
        """
        if self.optimizer is None:
            raise RuntimeError("setup_scheduler: build the optimizer first with "
                               "tracker.setup_optimizer(model, optimizer_class, ...)")
        self.scheduler = scheduler_class(self.optimizer, **scheduler_kwargs)
        self.scheduler_class = scheduler_class
        self.scheduler_kwargs = dict(scheduler_kwargs)
        return self.scheduler

    def _rebuild_scheduler(self, state=None):
        """A scheduler of the kept class on the current optimizer, carrying on from `state`
        (by default the previous scheduler's state_dict)."""
        old = self.scheduler
        # A schedule carried over from the previous mode's optimizer: its rates are per group,
        # each at its group's candidate_lr_scale, and come over at the new groups' scales.
        old_groups = old.optimizer.param_groups if state is None and old is not None else None
        if state is None and old is not None:
            state = old.state_dict()
        self.scheduler = self.scheduler_class(self.optimizer, **self.scheduler_kwargs)
        if state is not None:
            self.scheduler.load_state_dict(state)
            last_lrs = state.get("_last_lr")
            if last_lrs:
                for k, group in enumerate(self.optimizer.param_groups):
                    j = min(k, len(last_lrs) - 1)
                    scale = group.get("candidate_lr_scale", 1.0)
                    known = old_groups and j < len(old_groups)
                    before = old_groups[j].get("candidate_lr_scale", 1.0) if known else scale
                    group["lr"] = last_lrs[j] / before * scale
        return self.scheduler

    def dendrites_added(self):
        """Dendrites accepted by every neuron module so far."""
        return min((m.dendrite_module.num_dendrites for m in self.neuron_module_vector), default=0)

    def add_validation_score(self, accuracy, model):
        """Epoch end. Returns (model, restructured, training_complete); when restructured
        is true the mode changed and `self.optimizer` is a new optimizer to train with.

        `model` may be the network or its DistributedDataParallel wrapper; the returned
        model is always the network itself (wrap it again after a restructure). With a
        torch.distributed process group the score is averaged over the ranks first, so
        every rank takes the same decisions."""
        result = self._epoch_end(accuracy, model)
        gather_rank_random_states(self)  # after any restructure: what save_training stores per rank
        return result

    def _epoch_end(self, accuracy, model):
        from dendrograd import tracker_dgr as TDG
        from dendrolab import globals_dendrolab as GDL

        accuracy = TDG.agree_at_epoch_end(self, accuracy, model)
        self._end_step_count()
        model = unwrap_parallel(model)
        self.model = model
        mv = self.member_vars
        mv["num_epochs_run"] += 1
        mv["n_accuracies"].append(float(accuracy))
        TDG.update_dg_scores(self)
        if mv["mode"] == "n":
            if mv["best_validation_score"] is None or accuracy > mv["best_validation_score"]:
                mv["best_validation_score"] = float(accuracy)
                mv["n_epoch_last_improved"] = mv["num_epochs_run"]
            if mv["num_epochs_run"] - mv["n_epoch_last_improved"] < GDL.pc.get_n_epochs_to_switch():
                return model, False, False
            if self.dendrites_added() >= GDL.pc.get_max_dendrites():
                return model, False, True
            self._switch_to_p()
            return model, True, False
        TDG.check_best_arb_score_improvement()
        p_epochs = mv["num_epochs_run"] - mv["switch_epochs"][-1]
        if TDG.history_switch(self) or TDG.check_cap_switch(self, p_epochs):
            self._switch_to_n()
            return model, True, False
        self._start_p_epoch()
        return model, False, False

    def _start_p_epoch(self):
        """Scores at the start of a p epoch, and the per-epoch improvement flags cleared."""
        with torch.no_grad():
            for neuron_module in self.neuron_module_vector:
                for values in neuron_module.dendrite_module.dendrite_values:
                    values.epoch_start_best_score.copy_(values.best_score)
                    values.best_score_improved_this_epoch.zero_()
                    values.nodes_best_improved_this_epoch.zero_()
                    values.nodes_improved_any.zero_()

    def _switch_to_p(self):
        from dendrograd import modules_dgr as MDG
        from dendrograd import tracker_dgr as TDG

        mv = self.member_vars
        mv["mode"] = "p"
        mv["switch_epochs"].append(mv["num_epochs_run"])
        mv["epoch_last_improved"] = mv["num_epochs_run"]
        for neuron_module in self.neuron_module_vector:
            MDG.set_module_p_dg(neuron_module)
            neuron_module.dendrite_module.mode = "p"
        self._start_p_epoch()
        TDG.exclude_from_ddp(self.model)
        self._rebuild_optimizer()

    def _switch_to_n(self):
        from dendrograd import modules_dgr as MDG
        from dendrograd import tracker_dgr as TDG

        mv = self.member_vars
        for neuron_module in self.neuron_module_vector:
            neuron_module.accept_best_candidate()
            neuron_module.dendrite_module.mode = "n"
            MDG.set_dg_mode(neuron_module.dendrite_module, "n")
            MDG.set_module_n_dg(neuron_module)
        mv["mode"] = "n"
        mv["switch_epochs"].append(mv["num_epochs_run"])
        mv["best_validation_score"] = None
        mv["n_epoch_last_improved"] = mv["num_epochs_run"]
        TDG.exclude_from_ddp(self.model)  # before the user wraps the grown network again
        self._rebuild_optimizer()
