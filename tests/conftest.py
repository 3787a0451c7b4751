import sys

import pytest
import torch

from dendrolab import globals_dendrolab as GDL


class DebuggerStops:
    """Stands in for sys.breakpointhook: counts the add-on's debugger stops."""

    def __init__(self):
        self.count = 0

    def __call__(self, *args, **kwargs):
        self.count += 1


@pytest.fixture(autouse=True)
def fresh_host(monkeypatch):
    """Every test starts from the default configuration and an empty tracker,
    and a debugger stop is recorded instead of waiting for input."""
    GDL.pc.reset()
    GDL.arb_tracker.reset()
    stops = DebuggerStops()
    monkeypatch.setattr(sys, "breakpointhook", stops)
    torch.manual_seed(0)
    yield stops
    GDL.pc.reset()
    GDL.arb_tracker.reset()


@pytest.fixture
def debugger_stops(fresh_host):
    return fresh_host
