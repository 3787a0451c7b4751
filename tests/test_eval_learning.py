"""The learning benchmark's pieces: the cascade-correlation reference, the GroMo arm's
growth under its cap, the grown network's parameter count and the script's command line."""
import math
import os
import subprocess
import sys

import pytest
import torch

BENCHMARKS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "benchmarks")
sys.path.insert(0, BENCHMARKS)

import cascor_reference as CR  # noqa: E402
import eval_learning as EL  # noqa: E402
import gromo_arm  # noqa: E402

SCRIPT = os.path.join(BENCHMARKS, "eval_learning.py")


def test_quickprop_lands_on_a_quadratics_minimum():
    # On a separable quadratic the second step is the parabola's exact minimum, whatever the curvature.
    curvature = torch.tensor([0.1, 1.0, 10.0], dtype=torch.float64)
    minimum = torch.tensor([3.0, -2.0, 0.5], dtype=torch.float64)
    weights = torch.zeros(3, dtype=torch.float64)
    optimizer = CR.Quickprop(weights, epsilon=0.05, mu=1.75, decay=0.0)
    for _ in range(40):
        optimizer.step(curvature * (weights - minimum))
    assert torch.allclose(weights, minimum, atol=1e-9)


def test_candidate_slope_is_the_gradient_of_the_covariance_score():
    generator = torch.Generator().manual_seed(1)
    features = torch.cat([torch.randn(30, 4, generator=generator, dtype=torch.float64),
                          torch.ones(30, 1, dtype=torch.float64)], 1)
    residual = torch.randn(30, 2, generator=generator, dtype=torch.float64)
    centred = residual - residual.mean(0)
    weights = torch.randn(5, 3, generator=generator, dtype=torch.float64, requires_grad=True)
    scores, ascent = CR.candidate_scores(features, weights.detach(), centred, 7.0, prime_offset=0.0)
    values = torch.sigmoid(features @ weights) - 0.5
    by_autograd = ((values - values.mean(0)).T @ residual).abs().sum(1) / 7.0
    by_autograd.sum().backward()
    assert torch.allclose(scores, by_autograd.detach())
    assert torch.allclose(ascent, weights.grad)


def cascade_weights(inputs, outputs, units):
    """Weights of a cascade network: outputs see inputs, bias and every unit; unit k sees
    inputs, bias and the k units before it."""
    return (inputs + 1 + units) * outputs + sum(inputs + 1 + k for k in range(units))


def test_reference_solves_xor_like_rings_and_predicts_what_it_scored():
    # Two rings around the origin: no linear separation, so hidden units must be installed.
    angles = torch.linspace(0, 2 * math.pi, 25)[:-1]
    inner = torch.stack([angles.cos(), angles.sin()], 1)
    x = torch.cat([inner, 3 * inner])
    targets = torch.cat([torch.full((24, 1), 0.5), torch.full((24, 1), -0.5)]).double()
    first = CR.run(x, targets, seed=3, max_units=10, max_epochs=3000)
    again = CR.run(x, targets, seed=3, max_units=10, max_epochs=3000)
    assert first["solved"] and first["accuracy"] == 1.0 and 1 <= first["units"] <= 10
    assert first["weights"] == cascade_weights(2, 1, first["units"])
    assert (first["units"], first["epochs"]) == (again["units"], again["epochs"])
    assert torch.equal((first["predict"](x) > 0), (targets > 0))


def test_reference_stops_at_its_unit_and_epoch_caps():
    x, y = EL.two_spirals()
    targets = (y.double() - 0.5).unsqueeze(1)
    capped = CR.run(x, targets, seed=0, max_units=2, max_epochs=6000)
    assert not capped["solved"] and capped["units"] == 2
    assert capped["weights"] == cascade_weights(2, 1, 2)
    short = CR.run(x, targets, seed=0, max_units=25, max_epochs=40)
    assert short["epochs"] <= 40 and not short["solved"]


def test_grown_parameters_count_what_the_cascade_computes_with():
    from dendrolab import globals_dendrolab as GDL
    from dendrolab import utils_dendrolab as UDL

    GDL.pc.set_global_candidates(2)
    GDL.pc.set_silent(True)
    model = UDL.initialize_arb(torch.nn.Sequential(torch.nn.Linear(2, 1), torch.nn.Tanh()), save_name="t")
    neuron_module = GDL.arb_tracker.neuron_module_vector[0]
    for units in range(4):
        assert EL.grown_params(model) == cascade_weights(2, 1, units)
        neuron_module.accept_best_candidate()

    # The cascor task's claim: each dendrite sees the inputs and the earlier dendrites, and
    # feeds the unit's pre-activation; written out by hand as a cascade of sigmoid units.
    with torch.no_grad():
        for weights in (*neuron_module.dendrites_to_dendrites, *neuron_module.dendrites_to_top):
            weights.copy_(torch.randn_like(weights))
        x = torch.randn(16, 2)
        main = neuron_module.main_module
        units, pre_activation = [], main(x)
        for k, layer in enumerate(neuron_module.dendrite_module.layers):
            value = layer(x)
            for j, earlier in enumerate(units):
                value = value + neuron_module.dendrites_to_dendrites[k + 1][j] * earlier
            units.append(torch.sigmoid(value))
            pre_activation = pre_activation + neuron_module.dendrites_to_top[-1][k] * units[-1]
        model.eval()
        assert torch.allclose(model(x), torch.tanh(pre_activation), atol=1e-6)


@pytest.mark.skipif(gromo_arm.available() is not None, reason="the optional gromo package is not installed")
def test_gromo_growth_stays_under_its_cap():
    x, y = EL.two_spirals()
    torch.manual_seed(0)
    model = gromo_arm.build(2, (4, 4), 1, tanh_output=True)
    start = gromo_arm.count_params(model)
    assert start == EL.plain_params(2, [4, 4], 1)

    def summed(out, target):
        return EL.task_loss("cascor", out, target, reduction="sum")

    cap = start + 20
    while (added := gromo_arm.grow(model, x, y, summed, cap)) is not None:
        assert gromo_arm.count_params(model) <= cap
        if added == 0:
            break
    widths = gromo_arm.hidden_widths(model)
    assert gromo_arm.count_params(model) == EL.plain_params(2, widths, 1) <= cap
    assert model(x).shape == (194, 1)


def test_line_search_finds_the_scale_that_lowers_the_loss():
    # loss(scale) = 1 - scale^2 + scale^4 / 8 falls until scale = 2, first-order gain 1 per scale^2.
    def loss(scale):
        return 1.0 - scale ** 2 + scale ** 4 / 8

    scale = gromo_arm.line_search(loss, initial_loss=1.0, first_order=1.0)
    assert loss(scale) < 1.0 - 0.1 * scale ** 2  # the Armijo bound holds
    assert 1.0 < scale < 3.0


def run_script(*args):
    return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True, timeout=300)


def test_a_short_cascor_run_prints_and_writes_its_table_deterministically(tmp_path):
    """The same table twice, the second time with the seeds in two worker processes."""
    args = ["--tasks", "cascor", "--seeds", "1", "2", "--epochs", "120", "--switch-epochs", "10", "--p-switch-epochs",
            "5", "--dendrites", "1", "--arms", "same", "dendrites", "cascor", "wider", "--verbose"]
    first = run_script(*args, "--markdown", str(tmp_path / "a.md"))
    second = run_script(*args, "--jobs", "2", "--markdown", str(tmp_path / "b.md"))
    assert first.returncode == 0, first.stderr
    rows = [line for line in first.stdout.splitlines() if line.startswith("cascor ")]
    assert [row.split()[1] for row in rows] == ["same", "dendrites", "cascor", "wider"]
    markdown = (tmp_path / "a.md").read_text()
    assert "| cascor | wider | 2-" in markdown

    def without_times(text):
        return [line.rsplit("  ", 1)[0] for line in text.splitlines() if line.startswith("cascor ")]

    assert without_times(first.stdout) == without_times(second.stdout)
    assert "in 2 processes" in second.stdout and "in 2 processes" not in first.stdout


@pytest.mark.parametrize("args, message", [
    (["--tasks", "digits", "--arms", "cascor"], "none of them runs on --tasks digits"),
    (["--arms", "wider"], "sized from the dendrites arm"),
    (["--front-widths", "0"], "must be >= 1"),
    (["--gromo-params", "-3"], "must be >= 1"),
    (["--jobs", "0"], "must be >= 1"),
    (["--tasks", "cascade"], "invalid choice"),
    (["--set", "no_such_setting=1"], "a host setting's name"),
    (["--set", "arb_forward_function=os.system"], "not a Python literal or a torch function"),
    (["--target", "0"], "must be a number in (0, 1], got 0"),
    (["--target", "1.5"], "must be a number in (0, 1], got 1.5"),
    (["--tasks", "digits", "--target", "0.9"], "add 'cascor' to --tasks"),
])
def test_bad_options_give_one_line_and_status_2(args, message):
    result = run_script(*args)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert result.stderr.startswith("eval_learning.py: error:")


def test_set_takes_literals_and_torch_functions_by_name():
    args = EL.parse_args(["--set", "cap_at_n=False", "arb_forward_function=torch.nn.functional.silu",
                          "dendrite_output_init=0.5"])
    assert args.host_settings == {"cap_at_n": False, "arb_forward_function": torch.nn.functional.silu,
                                  "dendrite_output_init": 0.5}


def test_cascor_target_reaches_every_arms_loss_and_the_reference(monkeypatch):
    """--target T: squared error against -T and +T for the trained arms, -T/2 and +T/2 for
    cascade-correlation's symmetric sigmoid, and said in the task's line."""
    out = torch.tensor([[0.3], [-0.8], [0.95]])
    y = torch.tensor([1, 0, 1])
    by_hand = ((0.3 - 0.9) ** 2 + (-0.8 + 0.9) ** 2 + (0.95 - 0.9) ** 2) / 3
    assert EL.task_loss("cascor", out, y, target=0.9).item() == pytest.approx(by_hand)
    assert EL.task_loss("cascor", out, y).item() == pytest.approx(((0.3 - 1) ** 2 + 0.2 ** 2 + 0.05 ** 2) / 3)
    setup, line = EL.task_setup("cascor", EL.parse_args(["--tasks", "cascor", "--target", "0.9"]))
    assert setup["target"] == 0.9 and "targets -0.9 and +0.9" in line
    seen = {}

    def fake_run(inputs, targets, seed, **kwargs):
        seen["targets"] = targets
        return {}

    monkeypatch.setattr(EL.cascor_reference, "run", fake_run)
    EL.run_cascor(dict(setup, epochs=10), EL.task_data("cascor", 0), 0)
    assert sorted(set(seen["targets"].reshape(-1).tolist())) == pytest.approx([-0.45, 0.45])
