"""Saving the deployment form, loading training checkpoints, counting, diagnostics."""
import errno
import os
import warnings

import pytest
import safetensors.torch
import torch
from safetensors import safe_open
from safetensors.torch import load_file, save_file
from torch import nn

from deploy_nets import grown_mlp, same_state, state_of
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL
from dendrograd import utils_dgr as UT


@pytest.fixture
def x():
    return torch.randn(5, 4)


def deployed_structure(seed):
    return UT.clean_net(grown_mlp(seed=seed))


# ---- dg_save_net --------------------------------------------------------------------

@pytest.mark.parametrize("fmt", ["safetensors", "weight_tying", "archive"])
def test_saved_deployment_form_reproduces_outputs(fmt, tmp_path, x):
    model = grown_mlp()
    before = state_of(model)
    expected = model(x).detach()
    GDL.pc.set_using_safe_tensors(fmt != "archive")
    GDL.pc.set_weight_tying_experimental(fmt == "weight_tying")
    folder = tmp_path / "a" / "b"  # the whole chain is created
    UT.dg_save_net(model, str(folder), "best")
    path = str(folder / "best_arb.pt")
    assert os.listdir(folder) == ["best_arb.pt"]
    if fmt == "archive":
        loaded = torch.load(path, weights_only=False)
    else:
        loaded = deployed_structure(seed=7)  # same structure, other weights
        assert not torch.allclose(loaded(x), expected)
        if fmt == "safetensors":
            loaded.load_state_dict(load_file(path))
        else:
            UDL.load_model_with_weight_tying(loaded, path)
    torch.testing.assert_close(loaded(x), expected)
    assert same_state(before, state_of(model)) and type(model[0]).__name__ == "ARBNeuronModule"
    torch.testing.assert_close(model(x), expected)


def test_shared_storage_falls_back_to_weight_tying_file(tmp_path, capsys, x):
    model = grown_mlp()
    model.extra = nn.Linear(4, 6)
    model.extra.weight = model[0].main_module.weight  # tied
    UT.dg_save_net(model, str(tmp_path), "tied")
    line = "Detected shared-memory tensors while saving _arb checkpoint; falling back to weight-tying-aware save."
    assert capsys.readouterr().out.count(line) == 1
    with safe_open(str(tmp_path / "tied_arb.pt"), framework="pt") as f:
        assert "weight_tying" in f.metadata()


def test_rank_gate(tmp_path, monkeypatch):
    model = grown_mlp()
    monkeypatch.setenv("RANK", "1")
    UT.dg_save_net(model, str(tmp_path / "r1"), "m")
    assert not (tmp_path / "r1").exists()
    monkeypatch.setenv("RANK", "zero")
    with pytest.raises(ValueError, match="RANK.*r2/m_arb.pt"):
        UT.dg_save_net(model, str(tmp_path / "r2"), "m")
    assert not (tmp_path / "r2").exists()
    monkeypatch.setenv("RANK", "0")
    UT.dg_save_net(model, str(tmp_path / "r0"), "m")
    assert (tmp_path / "r0" / "m_arb.pt").is_file()


def test_failed_writes_leave_nothing(tmp_path, monkeypatch):
    model = grown_mlp()
    not_a_folder = tmp_path / "file"
    not_a_folder.write_text("x")
    with pytest.raises(NotADirectoryError) as err:
        UT.dg_save_net(model, str(not_a_folder), "m")
    assert err.value.filename == str(not_a_folder)

    def half_written(state, path, **kwargs):
        with open(path, "wb") as f:
            f.write(b"partial")
        raise OSError("disk full")

    monkeypatch.setattr(safetensors.torch, "save_file", half_written)
    with pytest.raises(OSError, match="disk full") as err:
        UT.dg_save_net(model, str(tmp_path / "out"), "m")
    assert str(tmp_path / "out" / "m_arb.pt") in str(err.value)  # the file the user asked for, not the temporary one
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("error, kind", [
    (OSError(errno.ENOSPC, "No space left on device", "/elsewhere/.tmp"), OSError),
    (PermissionError(errno.EACCES, "Permission denied", "/elsewhere/.tmp"), PermissionError),
    (RuntimeError("writer failed"), RuntimeError),
    (ValueError("bad tensor"), ValueError),
])
def test_write_errors_name_the_checkpoint_path(error, kind, tmp_path, monkeypatch):
    def failing(*args, **kwargs):
        raise error

    monkeypatch.setattr(safetensors.torch, "save_file", failing)
    path = str(tmp_path / "m_arb.pt")
    with pytest.raises(kind) as err:
        UT.dg_save_net(grown_mlp(), str(tmp_path), "m")
    assert type(err.value) is kind and path in str(err.value) and err.value.__cause__ is error
    if isinstance(error, OSError):  # the error number stays, the file name becomes the checkpoint
        assert (err.value.errno, err.value.filename) == (error.errno, path)
    assert os.listdir(tmp_path) == []


# ---- load_net -------------------------------------------------------------------------

def test_load_training_checkpoint_safetensors_and_archive(tmp_path, x):
    source = grown_mlp(seed=1)
    expected = source(x).detach()
    save_file({k: v.contiguous() for k, v in source.state_dict().items()}, str(tmp_path / "st.pt"))
    torch.save(source, str(tmp_path / "arch.pt"))
    loaded = UT.load_net(grown_mlp(seed=2), str(tmp_path), "st")
    torch.testing.assert_close(loaded(x), expected)
    GDL.pc.set_using_safe_tensors(False)
    filters = list(warnings.filters)
    loaded = UT.load_net(grown_mlp(seed=2), str(tmp_path), "arch")
    torch.testing.assert_close(loaded(x), expected)
    assert warnings.filters == filters


@pytest.mark.parametrize("safe", [True, False])
def test_bad_checkpoints_name_the_path_and_leave_the_network(safe, tmp_path):
    GDL.pc.set_using_safe_tensors(safe)
    net = grown_mlp()
    before = state_of(net)
    filters = list(warnings.filters)
    with pytest.raises(FileNotFoundError) as err:
        UT.load_net(net, str(tmp_path), "missing")
    assert err.value.filename == str(tmp_path) + "/missing.pt"
    (tmp_path / "folder.pt").mkdir()
    with pytest.raises(IsADirectoryError):
        UT.load_net(net, str(tmp_path), "folder")
    (tmp_path / "text.pt").write_text("not a checkpoint at all")
    good = tmp_path / "good.pt"
    save_file({k: v.contiguous() for k, v in grown_mlp(seed=3).state_dict().items()}, str(good))
    torch.save(grown_mlp(seed=3), str(tmp_path / "good_archive.pt"))
    source = good if safe else tmp_path / "good_archive.pt"
    (tmp_path / "cut.pt").write_bytes(source.read_bytes()[: source.stat().st_size // 2])
    for bad in ("text", "cut"):
        with pytest.raises(UT.CheckpointError, match=f"{bad}.pt"):
            UT.load_net(net, str(tmp_path), bad)
    assert warnings.filters == filters
    other = grown_mlp(dendrites=1)  # checkpoint of another structure: the host reports the mismatch
    save_file({k: v.contiguous() for k, v in other.state_dict().items()}, str(tmp_path / "other.pt"))
    GDL.pc.set_using_safe_tensors(True)
    with pytest.raises(RuntimeError, match="size mismatch|Missing|Unexpected") as err:
        UT.load_net(net, str(tmp_path), "other")
    assert str(tmp_path / "other.pt") in str(err.value)
    assert same_state(before, state_of(net))


@pytest.mark.parametrize("form", ["weight_tying", "weight_tying_probe", "archive"])
def test_load_mismatch_names_the_path_and_leaves_the_network(form, tmp_path):
    """A checkpoint of another structure, in every form that goes through the host loaders."""
    other = grown_mlp(dendrites=1)
    path = tmp_path / "other.pt"
    if form == "archive":
        torch.save(other, str(path))
        GDL.pc.set_using_safe_tensors(False)
    else:
        UDL.save_model_with_weight_tying(other, str(path))
        GDL.pc.set_weight_tying_experimental(form == "weight_tying")  # else found by its metadata
    net = grown_mlp()
    before = state_of(net)
    with pytest.raises(RuntimeError, match="size mismatch|Missing|Unexpected") as err:
        UT.load_net(net, str(tmp_path), "other")
    assert str(err.value).count(str(path)) == 1  # named once, also where both layers add it
    assert same_state(before, state_of(net))


def test_failed_weight_tying_load_falls_back_to_the_plain_read(tmp_path, monkeypatch):
    """A file whose metadata marks the host's weight-tying layout but that the host's loader
    fails on is read the plain way (load_file, then the host's load_net_from_dict)."""
    source = grown_mlp(seed=1)
    path = tmp_path / "wt.pt"
    UDL.save_model_with_weight_tying(source, str(path))
    GDL.pc.set_using_safe_tensors(True)
    tried = []

    def failing(net, path):
        tried.append(path)
        with torch.no_grad():
            for p in net.parameters():
                p.fill_(7.0)  # left half-loaded
        raise RuntimeError("host loader failed")

    monkeypatch.setattr(UDL, "load_model_with_weight_tying", failing)
    loaded = UT.load_net(grown_mlp(seed=2), str(tmp_path), "wt")
    assert tried == [str(path)]
    assert same_state(state_of(loaded), state_of(source))


def test_host_weight_tying_files_name_their_path(tmp_path):
    missing_folder = tmp_path / "no" / "m.pt"
    with pytest.raises(FileNotFoundError) as err:
        UDL.save_model_with_weight_tying(grown_mlp(), str(missing_folder))
    assert str(missing_folder) in str(err.value)
    path = tmp_path / "other.pt"
    UDL.save_model_with_weight_tying(grown_mlp(dendrites=1), str(path))
    with pytest.raises(RuntimeError, match="size mismatch|Missing|Unexpected") as err:
        UDL.load_model_with_weight_tying(grown_mlp(), str(path))
    assert str(path) in str(err.value)
    (tmp_path / "junk.pt").write_text("not a checkpoint")
    with pytest.raises(Exception) as err:
        UDL.load_model_with_weight_tying(grown_mlp(), str(tmp_path / "junk.pt"))
    assert str(tmp_path / "junk.pt") in str(err.value)


# ---- counting and small utilities ---------------------------------------------------------

def test_count_params_tied_parent_and_forms():
    GDL.pc.set_count_training_params(True)
    shared = nn.Linear(3, 3)
    net = nn.Sequential(shared, nn.Linear(3, 2))
    net.append(nn.Linear(3, 2))
    net[2].weight = nn.Parameter(net[1].weight.data)  # another parameter on the same storage
    net.parent_module = nn.Linear(10, 10)  # only reachable under a "parent_module" name
    assert UT.dg_count_params(net) == 12 + 6 + 2 + 2
    GDL.pc.set_count_training_params(False)
    model = grown_mlp()
    before = state_of(model)
    deployed = UT.dg_count_params(model)
    GDL.pc.set_count_training_params(True)
    assert deployed != UT.dg_count_params(model)
    assert same_state(before, state_of(model)) and type(model[0]).__name__ == "ARBNeuronModule"


def test_requires_grad_and_warning_silencing():
    frozen = nn.Sequential(nn.Linear(2, 2), nn.Linear(2, 2)).requires_grad_(False)
    assert UT.check_requires_grad(frozen) is False and UT.check_requires_grad(nn.ReLU()) is False
    frozen[1].bias.requires_grad_(True)
    assert UT.check_requires_grad(frozen) is True

    def noisy():
        with warnings.catch_warnings(record=True) as seen:
            warnings.warn("noise", FutureWarning)  # the registry is shared, so repeated warnings count
        return len(seen)

    UT.add_future_warning()
    try:
        assert warnings.filters[0] == ("ignore", None, Warning, None, 0)
        assert noisy() == 0
    finally:
        UT.remove_future_warning()
    assert noisy() == 1


# ---- gradient print-out -------------------------------------------------------------------

class Awkward(nn.Module):
    def __init__(self):
        super().__init__()
        self.child = nn.Linear(2, 2)
        object.__setattr__(self.child, "back", self)  # a plain back reference: a cycle

    @property
    def broken(self):
        raise RuntimeError("not readable")


def test_debug_print_grad_modules(capsys):
    UT.debug_print_grad_modules(nn.Linear(2, 2), 0, "lin")
    assert capsys.readouterr().out.splitlines() == ["lin: has req grads: 1"]
    UT.debug_print_grad_modules(nn.Sequential(nn.Linear(2, 2), nn.Linear(2, 2)).requires_grad_(False), 0, "s")
    assert capsys.readouterr().out.splitlines() == ["s: has req grads: 0", "s.0: has req grads: 0",
                                                    "s.1: has req grads: 0"]
    UT.debug_print_grad_modules(Awkward(), 0, "a")
    assert capsys.readouterr().out.splitlines() == ["a: has req grads: 1", "a.child: has req grads: 1"]
