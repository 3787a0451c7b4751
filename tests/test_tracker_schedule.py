"""The tracker with real neuron modules: candidate learning through the optimizer
wrappers, and the host's n -> p -> n schedule on a small synthetic problem."""
import pytest
import torch
from torch import nn

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL


def problem(n, seed):
    g = torch.Generator().manual_seed(seed)
    x = torch.rand(n, 2, generator=g) * 4 - 2
    y = ((x[:, 0] * x[:, 1] > 0) ^ (x.norm(dim=1) < 1)).long()
    return x, y


@pytest.fixture
def config():
    GDL.pc.set_global_candidates(1)
    GDL.pc.set_initial_correlation_batches(4)
    # the neuron modules' inputs keep their gradient path, so every layer sees its error in p mode
    GDL.pc.set_dendrite_graph_mode(False)
    GDL.pc.set_arb_improvement_threshold(0.1)
    GDL.pc.set_arb_improvement_threshold_raw(1e-3)
    GDL.pc.set_n_epochs_to_switch(2)
    GDL.pc.set_p_epochs_to_switch(2)


def wrapped_model():
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    return UDL.initialize_arb(nn.Sequential(nn.Linear(2, 8), nn.ReLU(), nn.Linear(8, 2)))


def candidate_params(tracker):
    return [p for m in tracker.neuron_module_vector for p in m.dendrite_module.candidate_module.parameters()]


def stored(tracker):
    return [m.dendrite_module.dendrite_values[0].stored_counts() for m in tracker.neuron_module_vector]


@pytest.mark.parametrize("with_closure", [False, True])
def test_user_loop_trains_candidates_once_per_iteration(config, monkeypatch, with_closure):
    model = wrapped_model()
    tracker = GDL.arb_tracker
    tracker.setup_optimizer(model, torch.optim.SGD, lr=0.5)
    tracker._switch_to_p()
    opt = tracker.optimizer
    applied = []
    original_apply = tracker.apply_dg_grads
    monkeypatch.setattr(tracker, "apply_dg_grads", lambda: (applied.append(stored(tracker)), original_apply()))
    neuron_before = [p.detach().clone() for p in model.parameters() if p.parameter_type == "neuron"]
    cand_before = [p.detach().clone() for p in candidate_params(tracker)]
    x, y = problem(64, 1)
    for i in range(0, 64, 16):
        opt.zero_grad()

        def closure():
            loss = nn.functional.cross_entropy(model(x[i:i + 16]), y[i:i + 16])
            loss.backward()
            return loss

        if with_closure:
            assert opt.step(closure).ndim == 0
        else:
            closure()
            opt.step()
        assert stored(tracker) == [(0, 0), (0, 0)]  # every stored batch consumed by the step
    # one (output, error) pair per neuron module was waiting at each of the 4 steps
    assert applied == [[(1, 1), (1, 1)]] * 4
    opt.step()  # a second step without zero_grad
    assert len(applied) == 4
    assert all(not torch.equal(a, p) for a, p in zip(cand_before, candidate_params(tracker)))
    neuron_after = [p.detach() for p in model.parameters() if p.parameter_type == "neuron"]
    assert all(torch.equal(a, b) for a, b in zip(neuron_before, neuron_after))


def test_schedule_alternates_modes_and_grows_dendrites(config, capsys):
    GDL.pc.set_max_dendrites(2)
    torch.manual_seed(0)
    model = wrapped_model()
    tracker = GDL.arb_tracker
    opt = tracker.setup_optimizer(model, torch.optim.Adam, lr=0.01)
    xt, yt = problem(512, 2)
    xv, yv = problem(256, 3)

    def accuracy():
        model.eval()
        with torch.no_grad():
            value = (model(xv).argmax(1) == yv).float().mean().item()
        model.train()
        return value

    modes, accuracies, done = [], [], False
    neurons_at_p_start = None
    for epoch in range(80):
        for i in range(0, 512, 32):
            opt.zero_grad()
            nn.functional.cross_entropy(model(xt[i:i + 32]), yt[i:i + 32]).backward()
            opt.step()
        modes.append(tracker.member_vars["mode"])
        accuracies.append(accuracy())
        model, restructured, done = tracker.add_validation_score(accuracies[-1], model)
        if restructured:
            opt = tracker.optimizer
            if tracker.member_vars["mode"] == "p" and neurons_at_p_start is None:
                before_dendrites = accuracies[-1]
                neurons_at_p_start = [p.detach().clone() for p in model.parameters()
                                      if p.parameter_type == "neuron"]
            if tracker.member_vars["mode"] == "n" and tracker.dendrites_added() == 1:
                # neurons were frozen for the whole p phase
                neurons_now = [p.detach() for p in model.parameters() if p.parameter_type == "neuron"]
                assert all(torch.equal(a, b) for a, b in zip(neurons_at_p_start, neurons_now))
        if done:
            break
    with capsys.disabled():
        print(f"\nvalidation accuracy before dendrites {before_dendrites:.4f}, after {accuracies[-1]:.4f} "
              f"({len(modes)} epochs, modes {''.join(modes)})")
    runs = "".join(m for k, m in enumerate(modes) if k == 0 or modes[k - 1] != m)
    assert runs.startswith("npn")
    assert done and tracker.dendrites_added() == 2
    for neuron_module in tracker.neuron_module_vector:
        assert neuron_module.dendrite_module.num_dendrites == 2
        assert all(p.parameter_type == "dendrite" for p in neuron_module.dendrite_module.layers[-1].parameters())
    assert len(tracker.member_vars["switch_epochs"]) == 4
    assert all(len(h) == modes.count("p") for h in tracker.member_vars["best_scores"])
    assert len(tracker.member_vars["p_accuracies"]) == len(modes)
    # the last optimizer trains the neurons and the dendrites, never the candidates
    kept = {id(p) for g in opt.param_groups for p in g["params"]}
    assert not kept & {id(p) for p in candidate_params(tracker)}
    assert {id(p) for p in model.parameters() if p.parameter_type in ("neuron", "dendrite")} <= kept


def requires_grad_by_role(model):
    roles = {}
    for name, p in model.named_parameters():
        roles.setdefault(p.parameter_type, {})[name] = p.requires_grad
    return roles


def test_p_mode_freezes_the_network_and_n_mode_gives_it_back(config):
    """In p mode the network's own weights compute no gradients (the candidates learn from the
    neuron errors alone); the switch back to n mode unfreezes exactly what p mode froze."""
    GDL.pc.set_dendrite_graph_mode(True)  # inputs cut: the first layer's output has no graph of its own
    model = wrapped_model()
    tracker = GDL.arb_tracker
    model[2].main_module.bias.requires_grad_(False)  # frozen by the user: stays frozen
    tracker.setup_optimizer(model, torch.optim.SGD, lr=0.5)
    tracker._switch_to_p()
    roles = requires_grad_by_role(model)
    assert not any(roles["neuron"].values())
    assert all(roles["candidate"].values())
    x, y = problem(32, 2)
    before = [p.detach().clone() for p in candidate_params(tracker)]
    for _ in range(2):
        tracker.optimizer.zero_grad()
        nn.functional.cross_entropy(model(x), y).backward()
        assert all(p.grad is None for p in model.parameters() if p.parameter_type == "neuron")
        tracker.optimizer.step()
    # both layers' candidates learned, the first one's too although its input carries no graph
    assert all(not torch.equal(b, p) for b, p in zip(before, candidate_params(tracker)))

    tracker._switch_to_n()
    roles = requires_grad_by_role(model)
    assert roles["neuron"] == {name: name != "2.main_module.bias" for name in roles["neuron"]}
    assert all(roles["dendrite"][name] for name in roles["dendrite"] if "dendrites_to_dendrites.0" not in name)
    tracker._switch_to_p()
    tracker._switch_to_n()
    # the output weights replaced at the second growth stay frozen, as the host left them
    roles = requires_grad_by_role(model)
    assert roles["ignored"]["0.dendrites_to_top.0"] is False and roles["ignored"]["2.dendrites_to_top.0"] is False
    assert roles["dendrite"]["0.dendrites_to_top.1"] and roles["dendrite"]["2.dendrites_to_top.1"]


def test_a_run_stopped_in_p_mode_is_unfrozen_by_reset(config):
    model = wrapped_model()
    tracker = GDL.arb_tracker
    tracker.setup_optimizer(model, torch.optim.SGD, lr=0.5)
    tracker._switch_to_p()
    assert not any(p.requires_grad for p in model.parameters() if p.parameter_type == "neuron")
    tracker.reset()
    assert all(p.requires_grad for p in model.parameters() if p.parameter_type == "neuron")
