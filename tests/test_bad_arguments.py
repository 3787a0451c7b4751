"""No argument, however wrong, may kill the interpreter.

Every public callable of the five extension modules (and the methods of the block layer
and the inference module, on real instances) is called with a grid of bad arguments:
None, numbers, strings, foreign objects, empty and odd tensors, host objects of the wrong
kind and real host objects whose tensors were set to None. The calls run in child
processes (bad_arguments_driver.py); an exception of any type is an acceptable answer,
a child that dies from a signal or hangs is not.
"""
import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "bad_arguments_driver.py")
GROUPS = {  # group -> least number of callables it must find (guards against an empty sweep)
    "modules_dgr": 40,
    "tracker_dgr": 20,
    "conversion": 30,
}
CHILD_TIMEOUT_S = 90
MAX_CHILDREN_PER_GROUP = 4  # after a death the sweep goes on past the fatal call, this many times at most


def child_environment():
    env = dict(os.environ)
    env.pop("PYTHONBREAKPOINT", None)  # with stdin not a terminal, a debugger stop raises
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(HERE), env.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    return env


def last_call(progress):
    if not os.path.exists(progress):
        return 0, "(before the first call)"
    with open(progress) as f:
        lines = f.read().splitlines()
    if not lines:
        return 0, "(before the first call)"
    index, call = lines[-1].split("\t", 1)
    return int(index), call


def sweep_group(group, folder):
    """Runs the group's children; returns calls made, callables found and the fatal calls."""
    folder = os.path.join(folder, group)
    os.makedirs(folder)
    progress, result = os.path.join(folder, "progress"), os.path.join(folder, "result.json")
    summary = {"group": group, "calls": 0, "callables": 0, "signals": [], "hangs": [], "failures": []}
    start = 0
    for _ in range(MAX_CHILDREN_PER_GROUP):
        with open(os.path.join(folder, "output"), "w") as output:
            child = subprocess.Popen([sys.executable, DRIVER, group, progress, result, str(start)], cwd=folder,
                                     env=child_environment(), stdin=subprocess.DEVNULL, stdout=output,
                                     stderr=subprocess.STDOUT)
            try:
                returncode = child.wait(timeout=CHILD_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
                returncode = None
        if returncode == 0:
            with open(result) as f:
                done = json.load(f)
            summary["callables"] = done["callables"]
            summary["calls"] += done["calls"]
            return summary
        index, call = last_call(progress)
        summary["calls"] += max(index - start, 0)
        if returncode is None:
            summary["hangs"].append(call)
        elif returncode < 0:
            summary["signals"].append(f"signal {-returncode}: {call}")
        else:
            with open(os.path.join(folder, "output")) as f:
                summary["failures"].append(f"exit status {returncode} after {call}:\n{f.read()[-2000:]}")
            return summary
        start = index + 1
    summary["failures"].append(f"stopped after {MAX_CHILDREN_PER_GROUP} fatal calls; there may be more")
    return summary


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("bad_arguments"))
    with ThreadPoolExecutor(max_workers=len(GROUPS)) as pool:
        results = list(pool.map(lambda g: sweep_group(g, folder), GROUPS))
    return {r["group"]: r for r in results}


@pytest.mark.parametrize("group", list(GROUPS))
def test_no_bad_argument_kills_or_hangs_the_process(group, sweep, capsys):
    found = sweep[group]
    with capsys.disabled():
        print(f"\n[bad arguments] {group}: {found['calls']} calls, {found['callables']} callables, "
              f"{len(found['signals'])} deaths by signal, {len(found['hangs'])} hangs")
    fatal = [f"killed the process ({line.split(': ', 1)[0]}): {line.split(': ', 1)[1]}" for line in found["signals"]]
    fatal += [f"hung (no answer within {CHILD_TIMEOUT_S} s): {call}" for call in found["hangs"]]
    assert not fatal, f"{group}: calls that\n  " + "\n  ".join(fatal)
    assert not found["failures"], "\n".join(found["failures"])
    assert found["callables"] >= GROUPS[group] and found["calls"] > 50 * found["callables"]
