"""A small training run for the resume tests, run in child processes.

    python resume_driver.py full   OUT            train every epoch, write OUT
    python resume_driver.py save   FOLDER EPOCH   train up to EPOCH, save_training
    python resume_driver.py resume FOLDER OUT     resume_training, train on, write OUT

OUT is a safetensors file of the final state dict with the tracker's member_vars
(JSON) as metadata. Every epoch's batches come from a generator seeded by the
epoch, so the data do not depend on where a process started.
"""
import json
import sys

import torch
from safetensors.torch import save_file
from torch import nn
from torch.nn import functional as F

from dendrolab import globals_dendrolab as GDL
from dendrolab import utils_dendrolab as UDL

EPOCHS = 16


def configure():
    GDL.pc.set_silent(True)
    GDL.pc.set_n_epochs_to_switch(2)
    GDL.pc.set_p_epochs_to_switch(2)
    GDL.pc.set_initial_correlation_batches(2)
    GDL.pc.set_global_candidates(2)
    GDL.pc.set_max_dendrites(3)


def build():
    # The dropout layer draws from torch's global generator every batch: a resumed run
    # matches only with the random state restored.
    torch.manual_seed(0)
    return UDL.initialize_arb(nn.Sequential(nn.Linear(4, 8), nn.Tanh(), nn.Dropout(0.1), nn.Linear(8, 2)))


def batches(epoch):
    g = torch.Generator().manual_seed(1000 + epoch)
    x = torch.randn(64, 4, generator=g)
    y = torch.stack([torch.sin(x[:, 0] * x[:, 1]), x[:, 2].abs() - x[:, 3]], dim=1)
    return [(x[k:k + 16], y[k:k + 16]) for k in range(0, 64, 16)]


def train(model, optimizer, first, last):
    tracker = GDL.arb_tracker
    for epoch in range(first, last + 1):
        for x, y in batches(epoch):
            optimizer.zero_grad()
            F.mse_loss(model(x), y).backward()
            optimizer.step()
        tracker.scheduler.step()
        # a constant score: n phases last n_epochs_to_switch epochs after their first
        model, restructured, done = tracker.add_validation_score(1.0, model)
        if restructured:
            optimizer = tracker.optimizer
        if done:
            break
    return model, optimizer


def start():
    configure()
    model = build()
    optimizer = GDL.arb_tracker.setup_optimizer(model, torch.optim.Adam, lr=0.02, betas=(0.8, 0.95))
    GDL.arb_tracker.setup_scheduler(torch.optim.lr_scheduler.StepLR, step_size=3, gamma=0.7)
    return model, optimizer


def write(model, out):
    tensors = {k: v.detach().clone().contiguous() for k, v in model.state_dict().items()}
    member_vars = json.dumps(GDL.arb_tracker.member_vars)
    save_file(tensors, out, metadata={"member_vars": member_vars,
                                      "lr": json.dumps(GDL.arb_tracker.optimizer.param_groups[0]["lr"])})


def main(argv):
    phase = argv[1]
    if phase == "full":
        model, optimizer = start()
        model, _ = train(model, optimizer, 1, EPOCHS)
        write(model, argv[2])
    elif phase == "save":
        model, optimizer = start()
        model, optimizer = train(model, optimizer, 1, int(argv[3]))
        UDL.save_training(model, optimizer, argv[2], "run")
    elif phase == "resume":
        configure()
        model, optimizer = UDL.resume_training(build(), argv[2], "run", optimizer_class=torch.optim.Adam,
                                               scheduler_class=torch.optim.lr_scheduler.StepLR)
        first = GDL.arb_tracker.member_vars["num_epochs_run"] + 1
        model, _ = train(model, optimizer, first, EPOCHS)
        write(model, argv[3])
    else:
        raise SystemExit(f"unknown phase {phase}")


if __name__ == "__main__":
    main(sys.argv)
