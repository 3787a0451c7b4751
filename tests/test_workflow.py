"""What a PyTorch user does around training: dtype and device changes, the README loop, one model per process."""
import pytest
import torch
from torch import nn
from torch.nn import functional as F

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL


def floating_tensors(model):
    return [(name, t) for name, t in (*model.named_parameters(), *model.named_buffers()) if t.is_floating_point()]


class TestGrowthFollowsTheModel:
    def grow_twice(self, model, dtype):
        tracker = GDL.arb_tracker
        optimizer = tracker.setup_optimizer(model, torch.optim.SGD, lr=0.01)
        for _ in range(2):
            tracker._switch_to_p()
            optimizer = tracker.optimizer
            x = torch.randn(8, 4, dtype=dtype)
            optimizer.zero_grad()
            F.mse_loss(model(x), torch.zeros(8, 2, dtype=dtype)).backward()
            optimizer.step()
            tracker._switch_to_n()
        return model

    def test_double_model_grows_double_tensors(self):
        GDL.pc.set_learn_dendrites_live(True)  # the live connection is created at the switch too
        model = UDL.initialize_arb(nn.Sequential(nn.Linear(4, 6), nn.Tanh(), nn.Linear(6, 2))).double()
        self.grow_twice(model, torch.float64)
        wrong = [name for name, t in floating_tensors(model) if t.dtype != torch.float64]
        assert wrong == []
        assert all(w.dtype == torch.float64 for nm in GDL.arb_tracker.neuron_module_vector
                   for w in nm.dendrite_module.best_dendrites_to_candidates_saved)
        assert GDL.arb_tracker.dendrites_added() == 2
        model(torch.randn(3, 4, dtype=torch.float64)).sum().backward()  # trains in n mode as grown


def test_readme_loop_with_default_settings_grows_dendrites():
    """The README's loop, settings untouched, on the digits the demo uses."""
    from dendrograd.demo import accuracy, batches, load_data

    train_x, train_y, val_x, val_y, _ = load_data("digits", 0)
    generator = torch.Generator().manual_seed(0)
    model = UDL.initialize_arb(nn.Sequential(nn.Linear(64, 8), nn.Tanh(), nn.Linear(8, 10)))
    tracker = GDL.arb_tracker
    optimizer = tracker.setup_optimizer(model, torch.optim.Adam, lr=0.01)
    for epoch in range(150):
        for x, y in batches(train_x, train_y, 64, generator):
            optimizer.zero_grad()
            nn.functional.cross_entropy(model(x), y).backward()
            optimizer.step()
        model, restructured, done = tracker.add_validation_score(accuracy(model, val_x, val_y), model)
        if restructured:
            optimizer = tracker.optimizer
        if done:
            break
    assert done and tracker.dendrites_added() == GDL.pc.get_max_dendrites()
    assert accuracy(model, val_x, val_y) > 0.9


class TestOneModelPerProcess:
    def small_model(self):
        return nn.Sequential(nn.Linear(4, 6), nn.Tanh(), nn.Linear(6, 2))

    def new_model_state(self, model):
        """Everything of a wrapped model that the replaced one must not touch."""
        stored = [values.stored_counts() for nm in GDL.arb_tracker.neuron_module_vector
                  for values in nm.dendrite_module.dendrite_values]
        grads = [None if p.grad is None else p.grad.clone() for p in model.parameters()]
        return {k: v.clone() for k, v in model.state_dict().items()}, stored, grads, GDL.arb_tracker.member_vars["mode"]

    def test_the_newest_wrap_takes_over_and_the_replaced_model_refuses_to_train(self):
        torch.manual_seed(0)
        x = torch.randn(8, 4)
        model = UDL.initialize_arb(self.small_model())  # a notebook cell ...
        tracker = GDL.arb_tracker
        old_optimizer = tracker.setup_optimizer(model, torch.optim.SGD, lr=0.1)
        tracker._switch_to_p()
        old_optimizer = tracker.optimizer
        old = model
        with pytest.warns(UserWarning, match="replaces the wrapped Sequential") as record:
            model = UDL.initialize_arb(self.small_model())  # ... run again while `model` is the old one
        assert len(record) == 1
        assert [nm is m for nm, m in zip(tracker.neuron_module_vector, (model[0], model[2]))] == [True, True]
        assert tracker.member_vars["mode"] == "n" and tracker.optimizer is None
        # the new model trains into p mode and stores a batch
        optimizer = tracker.setup_optimizer(model, torch.optim.SGD, lr=0.1)
        tracker._switch_to_p()
        optimizer = tracker.optimizer
        optimizer.zero_grad()
        F.mse_loss(model(x), torch.zeros(8, 2)).backward()
        before = self.new_model_state(model)
        # the replaced model still predicts, stores nothing, and its optimizer refuses to act
        F.mse_loss(old(x), torch.zeros(8, 2)).backward()
        for call in (old_optimizer.zero_grad, old_optimizer.step):
            with pytest.raises(RuntimeError, match="belongs to a wrapped model that a later initialize_arb call "
                                                   "replaced"):
                call()
        after = self.new_model_state(model)
        assert after[1] == before[1] and after[3] == before[3]
        assert all(torch.equal(after[0][k], v) for k, v in before[0].items())
        assert all((a is None and b is None) or torch.equal(a, b) for a, b in zip(after[2], before[2]))
        assert all(v.stored_counts() == (0, 0) for nm in (old[0], old[2]) for v in nm.dendrite_module.dendrite_values)
        # the new model's own step consumes its batch as usual
        optimizer.step()
        assert all(v.initialized.item() == 1 for nm in tracker.neuron_module_vector
                   for v in nm.dendrite_module.dendrite_values)

    def test_a_dropped_model_makes_room_for_the_next(self):
        first = UDL.initialize_arb(self.small_model())
        GDL.arb_tracker.setup_optimizer(first, torch.optim.SGD, lr=0.1)
        del first
        second = UDL.initialize_arb(self.small_model())
        assert GDL.arb_tracker.neuron_module_vector[0] is second[0]

    def test_reset_gives_up_the_first_model_on_purpose(self):
        first = UDL.initialize_arb(self.small_model())
        GDL.arb_tracker.reset()
        second = UDL.initialize_arb(self.small_model())
        assert [nm is m for nm, m in zip(GDL.arb_tracker.neuron_module_vector, (second[0], second[2]))] == [True] * 2
        assert first is not second
