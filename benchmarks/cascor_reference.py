"""Cascade-correlation (Fahlman & Lebiere, 1990) in plain PyTorch: the reference the
benchmark measures grown dendrites against.

The network starts with its output units connected to the inputs and a bias only. It then
alternates two phases until every training pattern is classified correctly:

  output phase     the output units' incoming weights learn (quickprop on the sum of
                   squared errors) until the error stops falling;
  candidate phase  a pool of candidate units, each connected to the inputs, the bias and
                   every hidden unit installed so far, learns (quickprop ascent) to
                   maximise S = sum over outputs of |covariance of the candidate's value
                   with the residual error| over the training set, until S stops rising;
                   the best candidate becomes a hidden unit: its incoming weights are
                   frozen and it feeds every output unit and every later unit.

Units, hidden and output, use the paper's symmetric sigmoid (range -0.5 to +0.5); targets
are -0.5 and +0.5. Both phases train on the whole training set per epoch, as the paper
does, and an epoch of the candidate phase trains the whole pool at once.

Choices the paper leaves open or that differ from it, all in `Settings`:
  * a phase ends when its score has not improved by a fraction `output_change` /
    `candidate_change` for `patience` epochs, or after `max_output_epochs` /
    `max_candidate_epochs`;
  * S is divided by the residual error's sum of squares, so the candidates' step size does
    not shrink as the error does (the ranking of candidates is unchanged);
  * the residual error E_p,o the candidates correlate with is the output's error signal,
    (o - t) times the slope of its sigmoid: the term the output weights' own slopes are
    built from (with the bare o - t, the pool solved 1 to 4 seeds of 5 in our trials
    rather than all of them, with more units);
  * slopes carry the sigmoid-prime offset (0.1) the quickprop description recommends, and
    the quickprop learning rates are per pattern;
  * a pattern counts as correct when its output has the target's sign (the benchmark's
    criterion for every arm), not the paper's 0.4 score threshold;
  * a new unit's output weights start at zero.
"""
import dataclasses
import time

import torch


@dataclasses.dataclass
class Settings:
    pool: int = 8                  # candidates trained at once
    patience: int = 8              # epochs without enough improvement that end a phase
    output_change: float = 0.01    # relative fall of the error that counts as improvement
    candidate_change: float = 0.03  # relative rise of the best S that counts as improvement
    max_output_epochs: int = 200
    max_candidate_epochs: int = 200
    output_epsilon: float = 1.0    # quickprop's gradient step, per pattern
    candidate_epsilon: float = 100.0
    mu: float = 1.75               # quickprop's largest step growth
    decay: float = 1e-4            # weight decay added to every slope
    prime_offset: float = 0.1
    weight_range: float = 1.0      # initial weights uniform in [-range, range]


def symmetric_sigmoid(x):
    """The paper's activation: a sigmoid shifted to the range -0.5 to +0.5."""
    return torch.sigmoid(x) - 0.5


def _slope_factor(value, offset):
    """The symmetric sigmoid's derivative from its value, plus the flat-spot offset."""
    return 0.25 - value * value + offset


class Quickprop:
    """Fahlman's quickprop for one weight tensor, minimising: each weight jumps to the
    minimum of the parabola through its last two slopes, at most `mu` times its last step,
    with a gradient step added while the slope keeps the last step's direction."""

    def __init__(self, weights, epsilon, mu, decay):
        self.weights, self.epsilon, self.mu, self.decay = weights, epsilon, mu, decay
        self.previous_slope = torch.zeros_like(weights)
        self.previous_step = torch.zeros_like(weights)

    def step(self, slope):
        slope = slope + self.decay * self.weights
        previous_slope, previous_step = self.previous_slope, self.previous_step
        moved = previous_step != 0
        downhill = slope * previous_step < 0          # the slope still points along the last step
        gradient = torch.where(~moved | downhill, -self.epsilon * slope, torch.zeros_like(slope))
        denominator = previous_slope - slope
        factor = torch.where(denominator != 0, slope / torch.where(denominator != 0, denominator, 1.0),
                             torch.full_like(slope, self.mu))
        # Same-sign slopes that barely shrank: the parabola's minimum is far; take the largest step.
        shrink = self.mu / (1.0 + self.mu)
        steep = (slope * previous_slope > 0) & (slope.abs() >= shrink * previous_slope.abs())
        factor = torch.where(steep, torch.full_like(factor, self.mu), factor.clamp(-self.mu, self.mu))
        step = gradient + torch.where(moved, factor * previous_step, torch.zeros_like(slope))
        self.weights += step
        self.previous_slope, self.previous_step = slope, step


class _Stall:
    """Counts epochs without a relative improvement of `change` on the score's best value."""

    def __init__(self, change, lower_is_better):
        self.change, self.lower = change, lower_is_better
        self.reference, self.epochs = None, 0

    def stalled(self, score, patience):
        if self.reference is None:
            self.reference = score
            return False
        better = (score < self.reference * (1.0 - self.change) if self.lower
                  else score > self.reference * (1.0 + self.change))
        if better:
            self.reference, self.epochs = score, 0
        else:
            self.epochs += 1
        return self.epochs >= patience


def _with_bias(values):
    return torch.cat([values, torch.ones(len(values), 1, dtype=values.dtype)], 1)


def _train_outputs(features, weights, targets, settings, budget):
    """The output phase; returns (epochs run, solved)."""
    patterns = len(features)
    optimizer = Quickprop(weights, settings.output_epsilon / patterns, settings.mu, settings.decay)
    stall = _Stall(settings.output_change, lower_is_better=True)
    for epoch in range(1, min(budget, settings.max_output_epochs) + 1):
        outputs = symmetric_sigmoid(features @ weights)
        error = outputs - targets
        if bool(((outputs > 0) == (targets > 0)).all()):
            return epoch - 1, True  # scored before this epoch's step: solved as it stands
        optimizer.step(features.T @ (error * _slope_factor(outputs, settings.prime_offset)))
        if stall.stalled(float((error * error).sum()), settings.patience):
            return epoch, False
    return min(budget, settings.max_output_epochs), False


def candidate_scores(features, weights, centred, scale, prime_offset):
    """(S per candidate, dS/dweights) for candidates with incoming `weights` (inputs, pool)
    against the centred residual (patterns, outputs), both divided by `scale`. With a zero
    prime offset the slope is S's exact gradient."""
    values = symmetric_sigmoid(features @ weights)                  # (patterns, pool)
    covariance = (values - values.mean(0)).T @ centred / scale      # (pool, outputs)
    # dS/dw: the mean-value term vanishes because the centred residual sums to zero.
    direction = centred @ covariance.sign().T                       # (patterns, pool)
    ascent = features.T @ (direction * _slope_factor(values, prime_offset)) / scale
    return covariance.abs().sum(1), ascent


def _train_candidates(features, residual, generator, settings, budget):
    """The candidate phase; returns (best candidate's incoming weights, epochs run, its S)."""
    patterns = len(features)
    weights = (torch.rand(features.shape[1], settings.pool, generator=generator, dtype=features.dtype)
               * 2 - 1) * settings.weight_range
    centred = residual - residual.mean(0)            # (patterns, outputs)
    scale = float((centred * centred).sum()) or 1.0
    optimizer = Quickprop(weights, settings.candidate_epsilon / patterns, settings.mu, settings.decay)
    stall = _Stall(settings.candidate_change, lower_is_better=False)
    epochs = min(budget, settings.max_candidate_epochs)
    for epoch in range(1, epochs + 1):
        scores, ascent = candidate_scores(features, weights, centred, scale, settings.prime_offset)
        optimizer.step(-ascent)
        if stall.stalled(float(scores.max()), settings.patience):
            epochs = epoch
            break
    scores, _ = candidate_scores(features, weights, centred, scale, settings.prime_offset)
    best = int(scores.argmax())
    return weights[:, best].clone(), epochs, float(scores[best])


def run(inputs, targets, seed, max_units=25, max_epochs=6000, settings=None):
    """Grows a cascade-correlation network on (inputs, targets in {-0.5, +0.5}, shape
    (patterns, outputs)) from `seed`. Returns a dict: solved, accuracy, units, weights,
    epochs (both phases), seconds, and `predict` (a function of new inputs)."""
    settings = settings or Settings()
    started = time.perf_counter()
    generator = torch.Generator().manual_seed(seed)
    inputs, targets = inputs.double(), targets.double()
    features = _with_bias(inputs)                   # grows by one column per hidden unit
    outputs = targets.shape[1]
    weights = (torch.rand(features.shape[1], outputs, generator=generator, dtype=torch.float64) * 2 - 1) \
        * settings.weight_range
    hidden = []                                     # incoming weights of each installed unit
    epochs, solved = 0, False
    while True:
        used, solved = _train_outputs(features, weights, targets, settings, max_epochs - epochs)
        epochs += used
        if solved or len(hidden) >= max_units or epochs >= max_epochs:
            break
        outputs_now = symmetric_sigmoid(features @ weights)
        residual = (outputs_now - targets) * _slope_factor(outputs_now, settings.prime_offset)
        unit, used, _ = _train_candidates(features, residual, generator, settings, max_epochs - epochs)
        epochs += used
        hidden.append(unit)
        features = torch.cat([features, symmetric_sigmoid(features @ unit).unsqueeze(1)], 1)
        weights = torch.cat([weights, torch.zeros(1, outputs, dtype=weights.dtype)])
    final = symmetric_sigmoid(features @ weights)
    correct = ((final > 0) == (targets > 0)).all(1)
    frozen = [w.clone() for w in hidden]
    output_weights = weights.clone()

    def predict(new_inputs):
        values = _with_bias(new_inputs.double())
        for unit in frozen:
            values = torch.cat([values, symmetric_sigmoid(values @ unit).unsqueeze(1)], 1)
        return symmetric_sigmoid(values @ output_weights)

    count = sum(w.numel() for w in hidden) + weights.numel()
    return dict(solved=bool(correct.all()), accuracy=float(correct.double().mean()), units=len(hidden),
                weights=count, epochs=epochs, seconds=time.perf_counter() - started, predict=predict)
