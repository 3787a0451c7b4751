"""Runs the add-on through one growth cycle inside the minimal host of this folder.

Usage: python run_through.py RESULT_JSON

Started as a script, this folder is first on sys.path, so `import dendrolab` finds the
minimal host, not the repository's (the editable install's finder only answers after every
path entry); the first step checks it. Each step below is a check; a failing check is
recorded (with its traceback) and the run goes on, so one run reports every failure.
The result file holds [{"name", "ok", "message"}, ...] in run order.
"""
import copy
import json
import os
import sys
import traceback
import warnings

import torch
import torch.nn.functional as F
from torch import nn

HERE = os.path.dirname(os.path.abspath(__file__))

import dendrolab  # noqa: E402
from dendrolab import globals_dendrolab as GDL  # noqa: E402
from dendrolab import modules_dendrolab as MDL  # noqa: E402
from dendrolab import schedule  # noqa: E402
from dendrolab import utils_dendrolab as UDL  # noqa: E402
from dendrograd import blockwise_dgr as BDL  # noqa: E402
from dendrograd import deploy_net as DN  # noqa: E402
from dendrograd import modules_dgr as MDG  # noqa: E402
from dendrograd import tracker_dgr as TDG  # noqa: E402
from dendrograd import utils_dgr  # noqa: E402
from write_audit import WriteAudit  # noqa: E402

LR = 0.1
STEADY_WEIGHT = 1 - 0.99  # weight of a batch in the running averages after the initial batches
TIGHT = dict(rtol=1e-9, atol=1e-12)


def correlation_reference(candidate, inputs, error):
    """One candidate on one batch: its output's covariance and Pearson correlation with the
    neuron error, its mean, and the gradient of the correlation loss, with torch directly."""
    twin = copy.deepcopy(candidate)
    output = torch.sigmoid(twin(inputs))
    centred, centred_error = output - output.mean(0), error - error.mean(0)
    covariance = (centred * centred_error).sum(0).detach()
    pearson = (centred * centred_error).mean(0) / (
        error.std(0, correction=0).clamp_min(1e-8) * output.std(0, correction=0).clamp_min(1e-8))
    loss = (-output * torch.sign(covariance) * centred_error).sum()
    grads = torch.autograd.grad(loss, list(twin.parameters()))
    return {"covariance": covariance, "pearson": pearson.detach(), "grads": grads, "mean": output.mean(0).detach()}


class RunThrough:
    def __init__(self):
        self.results = []
        self.model = nn.Sequential()  # the network, once set_up_roles has built it
        self.writes = WriteAudit()

    # -- bookkeeping -------------------------------------------------------------------
    def run(self, name, step):
        try:
            step()
            self.results.append({"name": name, "ok": True, "message": ""})
        except BaseException as error:  # noqa: BLE001  (SystemExit from the add-on is a finding too)
            text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
            self.results.append({"name": name, "ok": False, "message": text[-6000:]})
        self.writes.audit(name, self.model)

    # -- the run ------------------------------------------------------------------------
    def the_host_is_the_minimal_one(self):
        assert os.path.dirname(os.path.abspath(dendrolab.__file__)) == os.path.join(HERE, "dendrolab"), \
            dendrolab.__file__
        assert MDG.GDL is GDL and MDG.MDL is MDL and TDG.GDL is GDL
        for getter in ("get_correlation_average_factor", "set_verbose", "reset"):
            assert not hasattr(GDL.pc, getter), getter
        assert not hasattr(GDL.Config, "_settings_version") and not hasattr(GDL.Config, "_PLAIN_GETTERS")

    def set_up_roles(self):
        torch.manual_seed(0)
        self.neuron_module = schedule.wrap(nn.Linear(6, 3).double(), "layer")
        self.model = nn.Sequential(nn.Linear(5, 6).double(), nn.Tanh(), self.neuron_module)
        schedule.tag_network(self.model)
        dendrite_module = self.neuron_module.dendrite_module
        assert type(dendrite_module.candidate_module) is list
        assert len(dendrite_module.candidate_module) == len(dendrite_module.dendrite_values) == 2
        assert all(p.parameter_type == "neuron" for p in self.model.parameters())
        for candidate in dendrite_module.candidate_module:
            assert all(p.parameter_type == "candidate" for p in candidate.parameters())
        for values in dendrite_module.dendrite_values:
            for name in ("prev_dendrite_candidate_correlation", "best_score", "nodes_improved_any",
                         "best_score_improved_this_epoch", "locked", "running_scalar"):
                assert isinstance(getattr(values, name), torch.Tensor), name
            assert values.current_parent_d == {0: []}
        assert dendrite_module.normal_learning_taggers == {}

    def batch(self, seed):
        generator = torch.Generator().manual_seed(seed)
        return (torch.randn(8, 5, dtype=torch.float64, generator=generator),
                torch.randn(8, 3, dtype=torch.float64, generator=generator))

    def n_mode_step(self):
        self.optimizer = schedule.optimizer_for(self.model, LR)
        kept = [p for group in self.optimizer.param_groups for p in group["params"]]
        assert {id(p) for p in kept} == {id(p) for p in self.model.parameters()}
        x, y = self.batch(1)
        self.optimizer.zero_grad()
        assert GDL.arb_tracker.member_vars["step_status"] == TDG.STEP_CLEARED
        before = [p.detach().clone() for p in self.model.parameters()]
        candidates_before = self.candidate_weights()
        F.mse_loss(self.model(x), y).backward()
        assert self.optimizer.step() is None
        assert GDL.arb_tracker.member_vars["step_status"] == TDG.STEP_CALLED
        for old, param in zip(before, self.model.parameters()):
            torch.testing.assert_close(param.detach(), old - LR * param.grad, **TIGHT)
        for old, new in zip(candidates_before, self.candidate_weights()):
            assert torch.equal(old, new)

    def arb_step_returns_none(self):
        # A step after a step applies nothing; the answer is None either way.
        assert GDL.arb_tracker.member_vars["step_status"] == TDG.STEP_CALLED
        answer = TDG.arb_step(self.optimizer)
        assert answer is None, f"arb_step returned {answer!r}"
        assert GDL.arb_tracker.member_vars["step_status"] == TDG.STEP_CALLED

    def candidate_weights(self):
        return [p.detach().clone() for c in self.neuron_module.dendrite_module.candidate_module
                for p in c.parameters()]

    def p_mode_set_up(self):
        GDL.arb_tracker.member_vars["num_epochs_run"] += 1
        GDL.arb_tracker.member_var_types["n_accuracies"].append(0.5)
        schedule.start_p_mode()
        self.optimizer = schedule.optimizer_for(self.model, LR)
        dendrite_module = self.neuron_module.dendrite_module
        expected = [p for c in dendrite_module.candidate_module for p in c.parameters()]
        expected += dendrite_module.dendrites_to_candidates
        kept = [p for group in self.optimizer.param_groups for p in group["params"]]
        assert {id(p) for p in kept} == {id(p) for p in expected}
        # Set-up changes the optimizer only: the network keeps computing its gradients, so its
        # backward still carries the neuron errors whatever the host's layers are.
        frozen = [name for name, p in self.model.named_parameters() if not p.requires_grad]
        assert not frozen, f"optimizer set-up in p mode set requires_grad=False on {frozen}"

    def correlation_step_alone(self):
        """apply_dg_grads on two stored (error, output) batches of a dendrite module of its own,
        no forward or backward pass around it: gradients add up over the batches, the first
        batch is the initial phase and the second moves the averages with the fixed factor 0.99
        that a host without the optional average-factor setting gets."""
        torch.manual_seed(1)
        neuron_module = MDL.ARBNeuronModule(nn.Linear(6, 3).double(), "alone")
        schedule.new_candidates(neuron_module)
        dendrite_module = neuron_module.dendrite_module
        generator = torch.Generator().manual_seed(7)
        batches = [(torch.randn(8, 6, dtype=torch.float64, generator=generator),
                    torch.randn(8, 3, dtype=torch.float64, generator=generator)) for _ in range(2)]
        references = []
        for values, candidate in zip(dendrite_module.dendrite_values, dendrite_module.candidate_module):
            references.append([correlation_reference(candidate, inputs, error) for inputs, error in batches])
            for inputs, error in batches:
                values.dendrite_outs[0].append(torch.sigmoid(candidate(inputs)))
                values.current_parent_d[0].append(error)
            values.device = 0
        MDG.apply_dg_grads(dendrite_module)
        for values, candidate, (first, second) in zip(dendrite_module.dendrite_values,
                                                      dendrite_module.candidate_module, references):
            assert values.dendrite_outs[0] == [] and values.current_parent_d[0] == []
            for param, grad_first, grad_second in zip(candidate.parameters(), first["grads"], second["grads"]):
                torch.testing.assert_close(param.grad, grad_first + grad_second, **TIGHT)
            assert values.initialized.item() == 1
            for name, key in (("prev_dendrite_candidate_correlation", "covariance"),
                              ("prev_dendrite_candidate_pearson", "pearson"),
                              ("prev_dendrite_candidate_average", "mean")):
                expected = 0.99 * first[key] + STEADY_WEIGHT * second[key]
                torch.testing.assert_close(getattr(values, name), expected, **TIGHT)

    def reference(self, x, y):
        """The neuron error of the network on (x, y) and each candidate's correlation_reference,
        computed with torch directly from the network's weights."""
        with torch.no_grad():
            hidden = self.model[1](self.model[0](x))
            main = self.neuron_module.main_module
            out = F.linear(hidden, main.weight, main.bias)
        out.requires_grad_()
        (error,) = torch.autograd.grad(F.mse_loss(out, y), out)
        candidates = self.neuron_module.dendrite_module.candidate_module
        return error, [correlation_reference(candidate, hidden, error) for candidate in candidates]

    def p_mode_batch(self, seed):
        x, y = self.batch(seed)
        error, references = self.reference(x, y)
        network_before = [p.detach().clone() for p in self.model.parameters()]
        candidates_before = self.candidate_weights()
        dendrite_module = self.neuron_module.dendrite_module
        self.optimizer.zero_grad()
        F.mse_loss(self.model(x), y).backward()
        for values in dendrite_module.dendrite_values:
            assert len(values.dendrite_outs[0]) == 1 and len(values.current_parent_d[0]) == 1
            torch.testing.assert_close(values.current_parent_d[0][0], error, **TIGHT)
        assert self.optimizer.step() is None
        for values in dendrite_module.dendrite_values:
            assert values.dendrite_outs[0] == [] and values.current_parent_d[0] == []
            assert values.device == 0
        for candidate, reference in zip(dendrite_module.candidate_module, references):
            for param, grad in zip(candidate.parameters(), reference["grads"]):
                assert param.grad is not None and param.grad.abs().sum() > 0
                torch.testing.assert_close(param.grad, grad, **TIGHT)
        for old, new in zip(candidates_before, self.candidate_weights()):
            assert not torch.equal(old, new)
        for old, param in zip(network_before, self.model.parameters()):
            assert torch.equal(old, param.detach()), "a neuron weight moved in p mode"
        self.optimizer.zero_grad()
        assert GDL.arb_tracker.member_vars["step_status"] == TDG.STEP_CLEARED
        return error, references

    def first_p_batch(self):
        error, self.first = self.p_mode_batch(2)
        for values, reference in zip(self.neuron_module.dendrite_module.dendrite_values, self.first):
            # The first batch is the whole initial phase: the averages are this batch's values.
            assert values.initialized.item() == 1
            torch.testing.assert_close(values.prev_dendrite_candidate_correlation, reference["covariance"], **TIGHT)
            torch.testing.assert_close(values.prev_dendrite_candidate_pearson, reference["pearson"], **TIGHT)
            torch.testing.assert_close(values.prev_dendrite_candidate_average, reference["mean"], **TIGHT)
            torch.testing.assert_close(values.normal_pass_average_d, 0.01 * error.mean(0), **TIGHT)
            assert values.best_score.abs().sum() == 0

    def second_p_batch(self):
        """After the initial batches: moving averages with the fixed factor 0.99."""
        _, second = self.p_mode_batch(3)
        for values, first, reference in zip(self.neuron_module.dendrite_module.dendrite_values, self.first, second):
            assert values.initialized.item() == 1
            for name, key in (("prev_dendrite_candidate_correlation", "covariance"),
                              ("prev_dendrite_candidate_pearson", "pearson"),
                              ("prev_dendrite_candidate_average", "mean")):
                expected = 0.99 * first[key] + STEADY_WEIGHT * reference[key]
                torch.testing.assert_close(getattr(values, name), expected, **TIGHT)

    def epoch_end_scoring(self):
        tracker = GDL.arb_tracker
        member_vars = tracker.member_vars
        member_vars["num_epochs_run"] += 1
        tracker.member_var_types["n_accuracies"].append(0.5)
        dendrite_module = self.neuron_module.dendrite_module
        assert all(values.initialized.item() == 1 for values in dendrite_module.dendrite_values), \
            "no p-mode batch reached the statistics"
        assert TDG.best_arb_score_improved_this_epoch(tracker) is True
        assert member_vars["epoch_last_improved"] == member_vars["num_epochs_run"]
        for m, values in enumerate(dendrite_module.dendrite_values):
            torch.testing.assert_close(values.best_score, values.prev_dendrite_candidate_correlation.abs(), **TIGHT)
            torch.testing.assert_close(values.best_pearson_correlation, values.prev_dendrite_candidate_pearson.abs(),
                                       **TIGHT)
            assert values.best_score_improved_this_epoch[0] == 1 and values.best_score.sum() > 0
            best, current = dendrite_module.best_candidate_module[m], dendrite_module.candidate_module[m]
            assert best is not current
            for a, b in zip(best.parameters(), current.parameters()):
                assert torch.equal(a, b)
        assert TDG.check_best_arb_score_improvement() is None
        TDG.update_dg_scores(tracker)
        expected = max(float(v.best_pearson_correlation.abs().max()) for v in dendrite_module.dendrite_values)
        assert member_vars["best_scores"] == [[expected]]
        assert len(member_vars["p_accuracies"]) == len(tracker.member_var_types["n_accuracies"])

    def switch_decision(self):
        tracker = GDL.arb_tracker
        member_vars = tracker.member_vars
        p_epochs = member_vars["num_epochs_run"] - member_vars["switch_epochs"][-1]
        assert not TDG.history_switch(tracker)  # improved this epoch
        assert TDG.check_cap_switch(tracker, p_epochs - 1) is False
        assert TDG.check_cap_switch(tracker, p_epochs) is True
        schedule.end_p_mode()
        dendrite_module = self.neuron_module.dendrite_module
        assert all(values.locked[0] == 1 for values in dendrite_module.dendrite_values)
        best = schedule.accept_best_candidate(self.neuron_module)
        assert dendrite_module.num_dendrites == 1
        accepted = dendrite_module.layers[0]
        assert all(p.parameter_type == "dendrite" for p in accepted.parameters())
        assert best in (0, 1)
        # n mode again: the neurons and the new dendrite train, the new candidates do not.
        self.optimizer = schedule.optimizer_for(self.model, LR)
        kept = {id(p) for group in self.optimizer.param_groups for p in group["params"]}
        assert kept == {id(p) for p in self.model.parameters()} | {id(self.neuron_module.dendrites_to_top[-1])}
        x, y = self.batch(4)
        before = self.neuron_module.dendrites_to_top[-1].detach().clone()
        self.optimizer.zero_grad()
        F.mse_loss(self.model(x), y).backward()
        self.optimizer.step()
        assert not torch.equal(before, self.neuron_module.dendrites_to_top[-1].detach())

    def block_conversion(self):
        x, _ = self.batch(5)
        with torch.no_grad():
            self.expected = self.model(x)
        blocks = BDL.blockwise_network(UDL.deep_copy_arb(self.model))
        assert type(blocks[2]).__name__ == "ARBLayer"
        assert len(blocks[2].layer_array) == 2
        inference = DN.refresh_net(blocks)
        assert type(inference[2]) is DN.ARBModulePyThread
        with torch.no_grad():
            torch.testing.assert_close(inference(x), self.expected, **TIGHT)

    def inference_form(self):
        x, _ = self.batch(5)
        cleaned = utils_dgr.clean_net(UDL.deep_copy_arb(self.model))
        assert type(cleaned[2]) is DN.ARBModulePyThread
        with torch.no_grad():
            torch.testing.assert_close(cleaned(x), self.expected, **TIGHT)
            DN.doing_threading = True
            try:
                torch.testing.assert_close(cleaned(x), self.expected, **TIGHT)
            finally:
                DN.doing_threading = False
            torch.testing.assert_close(self.model(x), self.expected, **TIGHT)  # the trained network is untouched

    def short_epoch_check(self):
        """The epoch-end check with candidates that saw fewer batches than the initial phase
        (the fresh ones after growth) reports it and writes nothing on the tracker."""
        tracker = GDL.arb_tracker
        before = set(vars(tracker))
        tracker.member_vars["mode"] = "p"
        previous_hook = sys.breakpointhook
        sys.breakpointhook = lambda *args, **kwargs: None  # a stop for the user goes on here
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                answer = TDG.best_arb_score_improved_this_epoch(tracker)
        finally:
            sys.breakpointhook = previous_hook
            tracker.member_vars["mode"] = "n"
        assert answer in (True, False)
        written = set(vars(tracker)) - before
        assert not written, f"written on the tracker: {sorted(written)}"

    def missing_required_getter(self):
        """A host without a getter the contract lists gets the interpreter's AttributeError,
        naming the getter and the configuration object's class."""
        weights = nn.Parameter(torch.zeros(1))
        weights.parameter_type = "dendrite"
        calls = {
            "get_global_candidates": lambda: MDG.set_dg_mode(self.neuron_module.dendrite_module, "n"),
            "get_dendrite_update_mode": lambda: TDG.filter_single_param_group([weights], "n", False),
        }
        for name, call in calls.items():
            getter = getattr(GDL.Config, name)
            delattr(GDL.Config, name)
            try:
                call()
            except AttributeError as error:
                assert name in str(error) and "Config" in str(error), str(error)
            else:
                raise AssertionError(f"no AttributeError without the required getter {name}")
            finally:
                setattr(GDL.Config, name, getter)

    def only_contract_attributes_written(self):
        found = self.writes.found
        assert not found, "attributes the contract does not let the add-on write:\n" + "\n".join(
            f"  {attribute} (first seen after {step})" for attribute, step in sorted(found.items()))


STEPS = ("the_host_is_the_minimal_one", "set_up_roles", "n_mode_step", "arb_step_returns_none", "p_mode_set_up",
         "correlation_step_alone", "first_p_batch", "second_p_batch", "epoch_end_scoring", "switch_decision", "block_conversion",
         "inference_form", "short_epoch_check", "missing_required_getter", "only_contract_attributes_written")


def main(result_path):
    run = RunThrough()
    for name in STEPS:
        run.run(name, getattr(run, name))
    with open(result_path, "w") as f:
        json.dump(run.results, f, indent=1)


if __name__ == "__main__":
    main(sys.argv[1])
