"""The add-on inside a host built from the host contract alone.

tests/minimal_host/dendrolab is a host package that offers exactly what the add-on may ask
of a host: the listed getters on a plain configuration object (no setters, no change count,
no setting the contract does not list), a tracker with only the listed attributes, plain
Python lists where the contract says list, per-device lists as dicts of lists. The add-on
must run inside it as it runs inside ours.

The compiled modules keep the host modules they import for the life of the process, so the
run happens in a child process (minimal_host/run_through.py) whose first path entry is
that folder. It goes through one growth cycle: roles, an n step through the wrapped
optimizer, p mode from forward to candidate gradients (compared with torch's own
gradient of the correlation loss, and the statistics with covariances computed directly),
the epoch-end scoring and switch rules, growth, and the block and inference forms (their
output compared with the trained network's). Each step is one test below; the last one
lists every attribute the add-on wrote on a host object where the contract does not say
it writes.
"""
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "minimal_host", "run_through.py")
STEPS = (
    "the_host_is_the_minimal_one",
    "set_up_roles",
    "n_mode_step",
    "arb_step_returns_none",
    "p_mode_set_up",
    "correlation_step_alone",
    "first_p_batch",
    "second_p_batch",
    "epoch_end_scoring",
    "switch_decision",
    "block_conversion",
    "inference_form",
    "short_epoch_check",
    "missing_required_getter",
    "only_contract_attributes_written",
)
TIMEOUT_S = 300


@pytest.fixture(scope="module")
def run_through(tmp_path_factory):
    folder = tmp_path_factory.mktemp("minimal_host")
    result = folder / "result.json"
    env = dict(os.environ)
    env.pop("PYTHONBREAKPOINT", None)  # with stdin not a terminal, a debugger stop raises
    # The repository root after the driver's own folder: dendrograd from here, dendrolab from there.
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(HERE), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    child = subprocess.run([sys.executable, DRIVER, str(result)], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=TIMEOUT_S)
    assert child.returncode == 0 and result.exists(), (
        f"the driver ended with status {child.returncode}:\n{child.stdout[-4000:]}\n{child.stderr[-4000:]}")
    with open(result) as f:
        return {step["name"]: step for step in json.load(f)}


def test_the_driver_ran_every_step(run_through):
    assert tuple(run_through) == STEPS


@pytest.mark.parametrize("step", STEPS)
def test_step(run_through, step):
    outcome = run_through[step]
    if not outcome["ok"]:
        pytest.fail(f"{step} failed in the minimal host:\n{outcome['message']}", pytrace=False)
