"""The demo command: a reduced run, its files, and its command-line errors."""
import os
import re
import subprocess
import sys

import pytest
import torch
from safetensors.torch import load_file

from dendrograd import demo
from dendrograd import utils_dgr as UTL
from dendrolab import utils_dendrolab as UDL


def test_reduced_run_completes_a_growth_cycle_and_reloads(tmp_path, capsys):
    out = tmp_path / "run"
    status = demo.main(["--quiet", "--dendrites", "1", "--epochs", "60", "--switch-epochs", "2",
                        "--no-baseline", "--output", str(out)])
    printed = capsys.readouterr().out
    assert status == 0
    assert "cycle 1" in printed and "1 dendrites per neuron module" in printed
    assert "reloaded predictions equal  yes" in printed
    rates = {line.split()[0]: line for line in printed.splitlines() if "epochs per second" in line}
    assert " 0: " in rates["n-mode"] and " 1: " in rates["n-mode"]  # before and after the growth
    assert " 0: " in rates["p-mode"]
    assert sorted(os.listdir(out)) == ["demo_arb.pt", "demo_history.png"]
    assert (out / "demo_history.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    # The deployment file alone reproduces the trained network's predictions.
    from dendrolab import globals_dendrolab as GDL

    assert GDL.arb_tracker.member_vars["switch_epochs"][:2]  # n -> p -> n happened
    model = GDL.arb_tracker.model
    deployed = UTL.clean_net(UDL.deep_copy_arb(model))
    deployed.load_state_dict(load_file(str(out / "demo_arb.pt")))
    x = demo.load_data("digits", 0)[2]
    model.eval()
    with torch.no_grad():
        assert torch.equal(model(x), deployed(x))


def test_equal_parameter_baseline_is_the_narrowest_plain_network_at_least_as_large():
    def count(width):
        return sum(p.numel() for p in demo.build_model(64, width, 10).parameters())

    for target in (1, 75, 76, 1234, 2710):
        width = demo.width_with_params(64, 10, target)
        assert count(width) >= target and (width == 1 or count(width - 1) < target)


def test_summary_sets_the_grown_network_beside_plain_networks(tmp_path, capsys):
    status = demo.main(["--quiet", "--dendrites", "1", "--epochs", "30", "--switch-epochs", "2",
                        "--output", str(tmp_path / "run")])
    printed = capsys.readouterr().out
    assert status == 0
    after = int(re.search(r"parameters before / after\s+\d+ / (\d+)", printed).group(1))
    line = re.search(r"plain, equal parameters\s+[01]\.\d{4} \(64-(\d+)-10, (\d+) parameters", printed)
    assert line and "same network, no dendrites" in printed
    width, params = int(line.group(1)), int(line.group(2))
    assert params == sum(p.numel() for p in demo.build_model(64, width, 10).parameters()) >= after


def run_cli(*args):
    return subprocess.run([sys.executable, "-m", "dendrograd.demo", *args], capture_output=True, text=True,
                          timeout=120)


@pytest.mark.parametrize("args, message", [
    (["--epochs", "-1"], "must be >= 1"),
    (["--dendrites", "-2"], "must be >= 0"),
    (["--dataset", "mnist"], "invalid choice"),
    (["--bogus"], "unrecognized arguments"),
])
def test_bad_options_give_one_line_and_status_2(args, message):
    result = run_cli(*args)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and message in result.stderr
    assert result.stderr.startswith("dendrograd-demo: error:")


def test_output_folder_that_is_a_file(tmp_path):
    target = tmp_path / "taken"
    target.write_text("not a folder")
    result = run_cli("--output", str(target))
    assert result.returncode == 2 and "is a file" in result.stderr
    assert target.read_text() == "not a folder"


def test_help_describes_the_options():
    result = run_cli("--help")
    assert result.returncode == 0
    for option in ("--dataset", "--dendrites", "--epochs", "--seed", "--output", "--device", "--threads"):
        assert option in result.stdout
