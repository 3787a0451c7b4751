"""Training checkpoints: a run saved and carried on in a new process is the run that was
never interrupted; bad files and networks that cannot take a checkpoint fail before
anything changes."""
import json
import os
import subprocess
import sys

import pytest
import torch
from safetensors import safe_open
from safetensors.torch import load_file, save_file
from torch import nn

import resume_driver
from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

DRIVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "resume_driver.py")


def driver(*args):
    subprocess.run([sys.executable, DRIVER, *map(str, args)], check=True, cwd=os.path.dirname(DRIVER),
                   capture_output=True, timeout=300)


def read_result(path):
    with safe_open(path, framework="pt") as handle:
        metadata = handle.metadata()
    return load_file(path), json.loads(metadata["member_vars"]), json.loads(metadata["lr"])


def assert_histories_close(actual, expected, path="member_vars"):
    if isinstance(expected, dict):
        assert actual.keys() == expected.keys(), path
        for key in expected:
            assert_histories_close(actual[key], expected[key], f"{path}.{key}")
    elif isinstance(expected, list):
        assert len(actual) == len(expected), path
        for k, (a, e) in enumerate(zip(actual, expected)):
            assert_histories_close(a, e, f"{path}[{k}]")
    elif isinstance(expected, float):
        assert actual == pytest.approx(expected, abs=1e-6), path
    else:
        assert actual == expected, path


@pytest.fixture(scope="module")
def uninterrupted(tmp_path_factory):
    out = tmp_path_factory.mktemp("full") / "full.safetensors"
    driver("full", out)
    return read_result(out)


class TestResumeInANewProcess:
    # epoch 7: an n phase after a dendrite was accepted; epoch 10: a p phase after two
    # restructures. Both have optimizer (Adam) and scheduler state to carry on.
    @pytest.mark.parametrize("save_epoch, mode", [(7, "n"), (10, "p")])
    def test_resumed_run_equals_the_uninterrupted_run(self, tmp_path, uninterrupted, save_epoch, mode):
        expected_state, expected_vars, expected_lr = uninterrupted
        # the schedule the run goes through: p and n phases, restructures on both sides of the save
        assert expected_vars["switch_epochs"] == [3, 6, 9, 12, 15]
        driver("save", tmp_path, save_epoch)
        with safe_open(UDL.training_checkpoint_path(tmp_path, "run"), framework="pt") as handle:
            record = json.loads(handle.metadata()["dendrolab_training"])
        assert record["tracker"]["member_vars"]["mode"] == mode
        driver("resume", tmp_path, tmp_path / "resumed.safetensors")
        state, member_vars, lr = read_result(tmp_path / "resumed.safetensors")
        assert state.keys() == expected_state.keys()
        for name, tensor in expected_state.items():
            assert state[name].shape == tensor.shape, name
            torch.testing.assert_close(state[name], tensor, atol=1e-6, rtol=0, msg=name)
        assert_histories_close(member_vars, expected_vars)
        assert lr == pytest.approx(expected_lr, abs=1e-9)  # the StepLR schedule carried on


def trained_run(folder, epochs=7):
    """In this process: the driver's run up to `epochs`, saved to `folder`."""
    model, optimizer = resume_driver.start()
    model, optimizer = resume_driver.train(model, optimizer, 1, epochs)
    return UDL.save_training(model, optimizer, folder, "run")


def fresh_network():
    GDL.arb_tracker.reset()
    return resume_driver.build()


def snapshot():
    """Everything a failed resume must leave alone."""
    tracker = GDL.arb_tracker
    model = tracker.neuron_module_vector[0] if tracker.neuron_module_vector else None
    return {
        "weights": {k: v.clone() for nm in tracker.neuron_module_vector for k, v in nm.state_dict().items()},
        "dendrites": [nm.dendrite_module.num_dendrites for nm in tracker.neuron_module_vector],
        "member_vars": json.dumps(tracker.member_vars),
        "optimizer": tracker.optimizer,
        "rng": torch.get_rng_state(),
        "first": model,
    }


def assert_unchanged(before):
    after = snapshot()
    assert after["dendrites"] == before["dendrites"]
    assert after["weights"].keys() == before["weights"].keys()
    for name, tensor in before["weights"].items():
        assert torch.equal(after["weights"][name], tensor), name
    assert after["member_vars"] == before["member_vars"]
    assert after["optimizer"] is before["optimizer"]
    assert torch.equal(after["rng"], before["rng"])


class TestBadCheckpoints:
    def test_missing_file_names_the_path_and_changes_nothing(self, tmp_path):
        resume_driver.configure()
        model = fresh_network()
        before = snapshot()
        with pytest.raises(FileNotFoundError, match="run_training.safetensors") as info:
            UDL.resume_training(model, tmp_path / "nowhere", "run", optimizer_class=ADAM)
        assert str(tmp_path / "nowhere") in str(info.value)
        assert_unchanged(before)

    @pytest.mark.parametrize("keep", [0.5, 0.99, 16])
    def test_truncated_file_names_the_path_and_changes_nothing(self, tmp_path, keep):
        path = trained_run(tmp_path)
        size = os.path.getsize(path)
        with open(path, "r+b") as handle:
            handle.truncate(int(size * keep) if keep < 1 else keep)
        model = fresh_network()
        before = snapshot()
        with pytest.raises(Exception) as info:
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert path in str(info.value)
        assert_unchanged(before)

    def test_foreign_safetensors_file_is_refused(self, tmp_path):
        resume_driver.configure()
        save_file({"w": torch.zeros(2)}, UDL.training_checkpoint_path(tmp_path, "run"))
        model = fresh_network()
        before = snapshot()
        with pytest.raises(ValueError, match="not a training checkpoint"):
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert_unchanged(before)

    @pytest.mark.parametrize("damage", ["group sizes", "state shape"])
    def test_optimizer_state_that_does_not_fit_is_refused(self, tmp_path, damage):
        path = trained_run(tmp_path)
        tensors = load_file(path)
        with safe_open(path, framework="pt") as handle:
            record = json.loads(handle.metadata()["dendrolab_training"])
        if damage == "group sizes":
            record["optimizer"]["group_sizes"] = [record["optimizer"]["group_sizes"][0] + 2]
        else:
            key = next(k for k in tensors if k.startswith("optimizer/state/") and k.endswith("/exp_avg"))
            tensors[key] = torch.zeros(3, 5)
        save_file(tensors, path, metadata={"dendrolab_training": json.dumps(record)})
        model = fresh_network()
        before = snapshot()
        with pytest.raises(ValueError, match="optimizer state") as info:
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert path in str(info.value)
        assert_unchanged(before)


class TestNetworksThatCannotResume:
    def test_unwrapped_network(self, tmp_path):
        trained_run(tmp_path)
        GDL.arb_tracker.reset()
        model = nn.Sequential(nn.Linear(4, 8), nn.Tanh(), nn.Dropout(0.1), nn.Linear(8, 2))
        weights = {k: v.clone() for k, v in model.state_dict().items()}
        with pytest.raises(ValueError, match="not wrapped.*initialize_arb"):
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert all(torch.equal(model.state_dict()[k], v) for k, v in weights.items())

    def test_different_settings(self, tmp_path):
        trained_run(tmp_path)
        GDL.pc.set_global_candidates(3)
        model = fresh_network()
        before = snapshot()
        with pytest.raises(ValueError, match="global_candidates: saved 2, now 3"):
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert_unchanged(before)

    def test_printing_settings_may_differ_and_roles_are_the_live_ones(self, tmp_path):
        trained_run(tmp_path, epochs=13)  # two dendrites: the first top weights are "ignored"
        live = GDL.arb_tracker.model
        live_roles = [(n, p.parameter_type, p.requires_grad) for n, p in live.named_parameters()]
        live_groups = [len(g["params"]) for g in GDL.arb_tracker.optimizer.param_groups]
        GDL.pc.set_silent(False)
        model, optimizer = UDL.resume_training(fresh_network(), tmp_path, "run", optimizer_class=ADAM,
                                               scheduler_class=STEP_LR)
        assert optimizer is GDL.arb_tracker.optimizer
        assert GDL.arb_tracker.dendrites_added() == 2
        assert "ignored" in [role for _, role, _ in live_roles]
        # the roles the growth gave (an old top weight "ignored", not what retag would say)
        assert [(n, p.parameter_type, p.requires_grad) for n, p in model.named_parameters()] == live_roles
        assert [len(g["params"]) for g in optimizer.param_groups] == live_groups


class TestSaving:
    def test_only_rank_zero_writes(self, tmp_path, monkeypatch):
        monkeypatch.setenv("RANK", "1")
        assert trained_run(tmp_path / "r1") is None
        assert not os.path.exists(tmp_path / "r1")
        monkeypatch.setenv("RANK", "0")
        model, optimizer = GDL.arb_tracker.model, GDL.arb_tracker.optimizer
        path = UDL.save_training(model, optimizer, tmp_path / "r0", "run")
        assert os.listdir(tmp_path / "r0") == ["run_training.safetensors"]  # no temporary file left
        assert path == UDL.training_checkpoint_path(tmp_path / "r0", "run")

    def test_optimizer_must_be_the_trackers(self, tmp_path):
        model, _ = resume_driver.start()
        with pytest.raises(ValueError, match="optimizer the tracker built"):
            UDL.save_training(model, torch.optim.SGD(model.parameters(), lr=0.1), tmp_path, "run")


def rewrite_record(path, change):
    """Rewrites the file's training record through `change(record)`, tensors untouched."""
    tensors = load_file(path)
    with safe_open(path, framework="pt") as handle:
        metadata = handle.metadata()
    record = json.loads(metadata["dendrolab_training"])
    change(record)
    metadata["dendrolab_training"] = json.dumps(record)
    save_file(tensors, path, metadata=metadata)


ADAM, STEP_LR = torch.optim.Adam, torch.optim.lr_scheduler.StepLR


class TestFilesNeverChooseCode:
    """The optimizer and scheduler classes come from the caller; the names in a file are
    compared with them, never imported or called."""

    def hostile(self, tmp_path, module, qualname, kwargs=None):
        path = trained_run(tmp_path)

        def change(record):
            record["optimizer"]["class"] = {"module": module, "qualname": qualname}
            if kwargs is not None:
                record["optimizer"]["kwargs"] = kwargs
        rewrite_record(path, change)
        return path

    def test_a_file_naming_a_module_to_import_is_refused_before_the_import(self, tmp_path, capsys):
        if "this" in sys.modules:
            pytest.skip("the module 'this' is imported already in this process")
        path = self.hostile(tmp_path, "this", "s")
        model = fresh_network()
        before = snapshot()
        capsys.readouterr()
        with pytest.raises(ValueError, match=r"saved with the optimizer this\.s, not the optimizer_class given"):
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert "this" not in sys.modules
        assert "Beautiful is better than ugly" not in capsys.readouterr().out
        assert_unchanged(before)

    def test_a_file_naming_a_builtin_to_call_is_refused_without_a_call(self, tmp_path, capsys):
        path = self.hostile(tmp_path, "builtins", "print", kwargs={"sep": "<sep>", "end": "<end>"})
        model = fresh_network()
        before = snapshot()
        capsys.readouterr()
        with pytest.raises(ValueError, match=r"saved with the optimizer builtins\.print; pass that class as "
                                             r"optimizer_class="):
            UDL.resume_training(model, tmp_path, "run")  # no class from the caller or the tracker
        assert "<sep>" not in capsys.readouterr().out
        assert_unchanged(before)
        with pytest.raises(ValueError, match=r"builtins\.print, not the optimizer_class given, torch\.optim"):
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert "<sep>" not in capsys.readouterr().out
        assert_unchanged(before)

    def test_the_scheduler_is_the_callers_too(self, tmp_path):
        trained_run(tmp_path)
        model = fresh_network()
        before = snapshot()
        with pytest.raises(ValueError, match=r"saved with the scheduler torch\.optim\.lr_scheduler\.StepLR; pass "
                                             r"that class as scheduler_class="):
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM)
        with pytest.raises(ValueError, match=r"StepLR, not the scheduler_class given, .*ExponentialLR"):
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM,
                                scheduler_class=torch.optim.lr_scheduler.ExponentialLR)
        assert_unchanged(before)

    def test_the_trackers_own_classes_serve_when_none_are_passed(self, tmp_path):
        trained_run(tmp_path)
        model = fresh_network()
        GDL.arb_tracker.setup_optimizer(model, ADAM, lr=0.5)
        GDL.arb_tracker.setup_scheduler(STEP_LR, step_size=1)
        model, optimizer = UDL.resume_training(model, tmp_path, "run")
        assert optimizer is GDL.arb_tracker.optimizer and isinstance(optimizer, ADAM)
        assert optimizer.param_groups[0]["betas"] == (0.8, 0.95)  # the file's arguments, not lr=0.5's set-up
        assert GDL.arb_tracker.scheduler.step_size == 3

    @pytest.mark.parametrize("damage", ["arguments", "tracker entry", "mode", "add-on entry", "scheduler arguments"])
    def test_a_record_that_fails_late_fails_before_any_change(self, tmp_path, damage):
        path = trained_run(tmp_path)

        def change(record):
            if damage == "arguments":
                record["optimizer"]["kwargs"]["bogus"] = 1
            elif damage == "tracker entry":
                record["tracker"]["member_vars"]["injected"] = 1
            elif damage == "mode":
                record["tracker"]["member_vars"]["mode"] = "q"
            elif damage == "add-on entry":
                record["addon"] = {"dendrite_loss_fn": 1}
            else:
                record["scheduler"]["kwargs"]["bogus"] = 1
        rewrite_record(path, change)
        model = fresh_network()
        before = snapshot()
        with pytest.raises(ValueError, match="resume_training") as info:
            UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
        assert path in str(info.value)
        assert_unchanged(before)


def test_flipped_bytes_in_a_training_checkpoint_are_named_before_any_change(tmp_path):
    from test_deploy_load import flip_bytes_of
    from dendrograd import utils_dgr as UT

    path = trained_run(tmp_path)
    name = next(k for k in load_file(path) if k.startswith("model/") and k.endswith("weight"))
    flip_bytes_of(path, name)
    model = fresh_network()
    before = snapshot()
    with pytest.raises(UT.CheckpointError, match=f"is damaged: the data of tensor '{name}'") as info:
        UDL.resume_training(model, tmp_path, "run", optimizer_class=ADAM, scheduler_class=STEP_LR)
    assert path in str(info.value)
    assert_unchanged(before)
