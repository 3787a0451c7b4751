"""What a PyTorch user does around training: dtype and device changes of a wrapped model."""
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
