"""Loading a deployment file into the plain network in a fresh process."""
import json
import os
import subprocess
import sys
import textwrap

import pytest
import torch
from safetensors import safe_open
from safetensors.torch import load_file, save_file
from torch import nn
from torch.nn import functional as F

from deploy_nets import grow, same_state, state_of
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import utils_dgr as UT

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
KEY = "dendrograd_deployment"


class Net(nn.Module):
    """Grown layers under attribute names, inside a container and nested two deep."""

    def __init__(self, head_out=2):
        super().__init__()
        self.conv = nn.Conv2d(1, 3, 3, padding=1)
        self.body = nn.Sequential(nn.Linear(3 * 4 * 4, 8), nn.Tanh())
        self.head = nn.Linear(8, head_out)

    def forward(self, x):
        x = torch.relu(self.conv(x)).flatten(1)
        return self.head(self.body(x))


def inputs():
    return torch.randn(6, 1, 4, 4, generator=torch.Generator().manual_seed(1))


def trained_grown_net(dendrites=1):
    """A Net trained a little, grown by `dendrites` per neuron module, then trained again."""
    torch.manual_seed(0)
    GDL.arb_tracker.reset()  # comparison models: the earlier one is done training
    model = UDL.initialize_arb(Net())
    x, target = torch.randn(32, 1, 4, 4), torch.randn(32, 2)

    def train(steps):
        optimizer = torch.optim.SGD([p for p in model.parameters() if p.requires_grad], lr=0.05)
        for _ in range(steps):
            optimizer.zero_grad()
            F.mse_loss(model(x), target).backward()
            optimizer.step()

    train(5)
    grow(model, dendrites)
    train(5)
    return model.eval()


def expected_outputs(model):
    with torch.no_grad():
        return model(inputs())


LOADER = textwrap.dedent("""
    import sys
    import torch
    sys.path.insert(0, {tests!r})
    from test_deploy_load import Net, inputs
    from dendrograd import utils_dgr
    torch.manual_seed(12345)  # other initial weights than the trained network's
    plain = Net()
    deployed = utils_dgr.load_deployment(plain, {path!r}).eval()
    with torch.no_grad():
        torch.save({{"deployed": deployed(inputs()), "plain": plain(inputs()),
                    "kinds": [type(m).__name__ for m in deployed.modules()]}}, {out!r})
""")


def load_in_fresh_process(path, out):
    script = LOADER.format(tests=TESTS, path=str(path), out=str(out))
    env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return torch.load(out, weights_only=True)


def description(path):
    with safe_open(path, framework="pt") as handle:
        return handle.metadata() or {}


# ---- the round trip -------------------------------------------------------------

@pytest.mark.parametrize("fmt", ["safetensors", "weight_tying"])
def test_fresh_process_rebuilds_the_trained_outputs(fmt, tmp_path):
    GDL.pc.set_weight_tying_experimental(fmt == "weight_tying")
    model = trained_grown_net(dendrites=2)
    expected = expected_outputs(model)
    UT.dg_save_net(model, str(tmp_path), "net")
    path = tmp_path / "net_arb.pt"

    result = load_in_fresh_process(path, tmp_path / "outputs.pt")

    assert torch.max(torch.abs(result["deployed"] - expected)) <= 1e-6
    assert not torch.allclose(result["plain"], expected)  # the file's weights made the difference
    assert result["kinds"].count("ARBModulePyThread") == 3 and "ARBNeuronModule" not in result["kinds"]


def test_loaded_structure_equals_the_conversion(tmp_path):
    """Same module types, state names and values as clean_net of the trained network."""
    model = trained_grown_net(dendrites=1)
    UT.dg_save_net(model, str(tmp_path), "net")
    reference = UT.clean_net(UDL.deep_copy_arb(model))
    plain = Net()
    before = state_of(plain)
    loaded = UT.load_deployment(plain, tmp_path / "net_arb.pt")  # os.PathLike accepted

    assert [(n, type(m).__name__) for n, m in loaded.named_modules()] == \
        [(n, type(m).__name__) for n, m in reference.named_modules()]
    assert same_state(state_of(loaded), state_of(reference))
    assert same_state(before, state_of(plain)) and type(plain.head) is nn.Linear  # argument untouched
    meta = json.loads(description(str(tmp_path / "net_arb.pt"))[KEY])
    assert meta["format_version"] == 1 and meta["forward_function"] == "torch.sigmoid"
    assert [(b["path"], b["dendrites"], b["layer_types"][-1].rsplit(".", 1)[-1]) for b in meta["blocks"]] == \
        [("conv", 1, "Conv2d"), ("body.0", 1, "Linear"), ("head", 1, "Linear")]


def test_forward_function_of_the_file_is_required(tmp_path):
    GDL.pc.set_arb_forward_function(torch.tanh)
    model = trained_grown_net()
    expected = expected_outputs(model)
    UT.dg_save_net(model, str(tmp_path), "net")
    path = str(tmp_path / "net_arb.pt")
    GDL.pc.set_arb_forward_function(torch.sigmoid)
    with pytest.raises(ValueError, match=r"torch\.tanh.*torch\.sigmoid") as info:
        UT.load_deployment(Net(), path)
    assert path in str(info.value)
    GDL.pc.set_arb_forward_function(torch.tanh)
    torch.testing.assert_close(expected_outputs(UT.load_deployment(Net(), path)), expected, rtol=0, atol=1e-6)


# ---- networks that do not fit ----------------------------------------------------------

class Renamed(Net):
    def __init__(self):
        super().__init__()
        self.trunk = self.body
        del self.body


class HeadConv(Net):
    def __init__(self):
        super().__init__()
        self.head = nn.Conv1d(8, 2, 1)


class Extra(Net):
    def __init__(self):
        super().__init__()
        self.extra = nn.Linear(2, 2)


@pytest.mark.parametrize("make, module, detail", [
    (lambda: Net(head_out=3), "'head'", r"shape \[3, 8\], the file \[2, 8\]"),
    (Renamed, "'body.0'", "has no such module"),
    (HeadConv, "'head'", "Conv1d there, the file a grown Linear"),
    (Extra, "'extra'", "the file has no 'extra.weight'"),
    (lambda: UDL.initialize_arb(Net()), "'conv'", "before initialize_arb"),
])
def test_other_architecture_names_the_first_differing_module(make, module, detail, tmp_path):
    UT.dg_save_net(trained_grown_net(), str(tmp_path), "net")
    path = str(tmp_path / "net_arb.pt")
    plain = make()
    before = state_of(plain)
    with pytest.raises(UT.DeploymentMismatchError, match=detail) as info:
        UT.load_deployment(plain, path)
    message = str(info.value)
    assert isinstance(info.value, ValueError) and path in message and f"at module {module}" in message
    assert same_state(before, state_of(plain))


# ---- files that cannot be read -----------------------------------------------------------

def test_missing_damaged_and_foreign_files_name_the_path(tmp_path):
    UT.dg_save_net(trained_grown_net(), str(tmp_path), "net")
    good = (tmp_path / "net_arb.pt").read_bytes()

    missing = str(tmp_path / "nothing_arb.pt")
    with pytest.raises(FileNotFoundError) as info:
        UT.load_deployment(Net(), missing)
    assert info.value.filename == missing
    with pytest.raises(IsADirectoryError):
        UT.load_deployment(Net(), str(tmp_path))

    for cut in (len(good) // 2, 7, 0):
        truncated = tmp_path / f"cut{cut}_arb.pt"
        truncated.write_bytes(good[:cut])
        with pytest.raises(UT.CheckpointError, match="not a readable safetensors") as info:
            UT.load_deployment(Net(), str(truncated))
        assert str(truncated) in str(info.value)

    GDL.pc.set_using_safe_tensors(False)  # a whole-module archive: never unpickled here
    UT.dg_save_net(trained_grown_net(), str(tmp_path), "archive")
    archive = str(tmp_path / "archive_arb.pt")
    with pytest.raises(UT.CheckpointError, match="whole-module archive") as info:
        UT.load_deployment(Net(), archive)
    assert archive in str(info.value)

    broken = tmp_path / "broken_arb.pt"
    save_file(load_file(str(tmp_path / "net_arb.pt")), str(broken), metadata={KEY: "{not json"})
    with pytest.raises(UT.CheckpointError, match=KEY):
        UT.load_deployment(Net(), str(broken))
    newer = tmp_path / "newer_arb.pt"
    save_file(load_file(str(tmp_path / "net_arb.pt")), str(newer), metadata={KEY: json.dumps({"format_version": 9})})
    with pytest.raises(UT.CheckpointError, match="format 9"):
        UT.load_deployment(Net(), str(newer))


@pytest.mark.parametrize("net, path", [(None, "x_arb.pt"), (Net, 3), (Net, b"x_arb.pt")])
def test_bad_arguments_are_type_errors(net, path):
    with pytest.raises(TypeError):
        UT.load_deployment(net() if net else net, path)


# ---- files written before the description -------------------------------------------------

def test_file_without_description_loads_from_its_tensor_names(tmp_path):
    model = trained_grown_net(dendrites=2)
    expected = expected_outputs(model)
    UT.dg_save_net(model, str(tmp_path), "net")
    old = tmp_path / "old_arb.pt"
    save_file(load_file(str(tmp_path / "net_arb.pt")), str(old))  # the same tensors, no metadata
    assert KEY not in description(str(old))

    result = load_in_fresh_process(old, tmp_path / "outputs.pt")
    assert torch.max(torch.abs(result["deployed"] - expected)) <= 1e-6

    with pytest.raises(UT.DeploymentMismatchError, match="at module 'head'") as info:
        UT.load_deployment(Net(head_out=3), str(old))
    assert str(old) in str(info.value)


def test_file_without_description_or_blocks_says_what_is_missing(tmp_path):
    plain_state = tmp_path / "plain_arb.pt"
    save_file(Net().state_dict(), str(plain_state))
    with pytest.raises(UT.CheckpointError, match=f"no '{KEY}' metadata entry.*no dendrite blocks") as info:
        UT.load_deployment(Net(), str(plain_state))
    assert str(plain_state) in str(info.value)


# ---- damaged tensor data ------------------------------------------------------------------

def flip_bytes_of(path, name, count=3):
    """Flips `count` bytes in the middle of tensor `name`'s data, header untouched."""
    with open(path, "rb") as handle:
        header_size = int.from_bytes(handle.read(8), "little")
        header = json.loads(handle.read(header_size))
    start, end = header[name]["data_offsets"]
    at = 8 + header_size + (start + end) // 2
    with open(path, "r+b") as handle:
        handle.seek(at)
        data = bytearray(handle.read(count))
        handle.seek(at)
        handle.write(bytes(b ^ 0xFF for b in data))


@pytest.mark.parametrize("fmt", ["safetensors", "weight_tying"])
def test_flipped_bytes_in_a_deployment_file_are_named_before_the_network_changes(fmt, tmp_path):
    GDL.pc.set_weight_tying_experimental(fmt == "weight_tying")
    model = trained_grown_net(dendrites=1)
    UT.dg_save_net(model, str(tmp_path), "net")
    path = str(tmp_path / "net_arb.pt")
    intact = UT.load_deployment(Net(), path)  # the digest of an intact file passes
    torch.testing.assert_close(intact(inputs()), expected_outputs(model), atol=1e-6, rtol=0)
    name = "head.layer_array.0.weight"
    assert name in load_file(path)
    flip_bytes_of(path, name)
    plain = Net()
    before = {k: v.clone() for k, v in plain.state_dict().items()}
    with pytest.raises(UT.CheckpointError, match=f"is damaged: the data of tensor '{name}' differs") as info:
        UT.load_deployment(plain, path)
    assert path in str(info.value)
    assert all(torch.equal(before[k], v) for k, v in plain.state_dict().items())


def test_a_file_from_before_the_digest_loads_with_one_warning(tmp_path):
    model = trained_grown_net(dendrites=1)
    UT.dg_save_net(model, str(tmp_path), "net")
    path = str(tmp_path / "net_arb.pt")
    metadata = description(path)
    del metadata["dendrograd_digest"]
    save_file(load_file(path), path, metadata=metadata)
    with pytest.warns(UserWarning, match="carries no digest of its tensor data") as record:
        loaded = UT.load_deployment(Net(), path)
    assert len(record) == 1
    torch.testing.assert_close(loaded(inputs()), expected_outputs(model), atol=1e-6, rtol=0)


def test_digest_is_the_sha256_of_each_tensors_bytes():
    tensors = {"a": torch.arange(6, dtype=torch.float32).reshape(2, 3).t(), "b": torch.zeros(0),
               "c": torch.tensor([1, 2], dtype=torch.int64)}
    record = json.loads(UT.with_tensor_digest(tensors, {"k": "v"})["dendrograd_digest"])
    import hashlib

    expected = {k: hashlib.sha256(v.contiguous().numpy().tobytes()).hexdigest() for k, v in tensors.items()}
    assert record == {"algorithm": "sha256", "tensors": expected}
    UT.check_tensor_digest("x.safetensors", tensors, UT.with_tensor_digest(tensors))
    changed = dict(tensors, c=torch.tensor([1, 3]))
    with pytest.raises(UT.CheckpointError, match="x.safetensors is damaged: the data of tensor 'c'"):
        UT.check_tensor_digest("x.safetensors", changed, UT.with_tensor_digest(tensors))
    with pytest.raises(UT.CheckpointError, match="holds tensor 'd' that its digest does not list"):
        UT.check_tensor_digest("x.safetensors", dict(tensors, d=torch.ones(1)), UT.with_tensor_digest(tensors))
