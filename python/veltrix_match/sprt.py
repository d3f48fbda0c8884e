"""Sequential probability ratio test on pentanomial pair results (logistic Elo).

Games are played in pairs (one opening, each program Black once), so the unit of observation
is the pair: the first program's points in it, 0, 1/2, 1, 3/2 or 2 (the five pentanomial
outcomes). The test is the generalized SPRT used for engine testing: for each hypothesis
Elo E (logistic, expected score s = 1 / (1 + 10^(-E/400)) per game), the maximum-likelihood
distribution of the five outcomes whose mean pair score is s; the log-likelihood ratio is
the log-likelihood of the data under the H1 fit minus that under the H0 fit. H1 (Elo >= elo1)
is accepted when it reaches log((1 - beta) / alpha), H0 (Elo <= elo0) when it falls to
log(beta / (1 - alpha)).

Empty outcome cells are given a tiny weight so that the fits exist from the first pair on.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

__all__ = ["PAIR_SCORES", "Sprt", "SprtState", "expected_score", "llr_pentanomial"]

#: Mean per-game score of the first program for the five pair outcomes (0, 1/2, 1, 3/2, 2
#: points out of 2), in the order of the pentanomial counts.
PAIR_SCORES = (0.0, 0.25, 0.5, 0.75, 1.0)

# Weight given to an outcome never seen (relative to counts of whole pairs).
_EMPTY_CELL = 1e-3


def expected_score(elo: float) -> float:
    """The expected per-game score of a side that is `elo` logistic Elo stronger."""
    return 1.0 / (1.0 + math.pow(10.0, -elo / 400.0))


def _constrained_fit(freqs: Sequence[float], target: float) -> list[float]:
    """log(p_i / q_i) for the distribution q closest in likelihood to freqs with mean target.

    The maximum-likelihood q has the form q_i = p_i / (1 + lam (x_i - target)); lam solves
    f(lam) = sum p_i (x_i - target) / (1 + lam (x_i - target)) = 0. f decreases on the interval
    where every 1 + lam (x_i - target) stays positive, so Newton steps kept inside a shrinking
    bracket (bisecting when a step would leave it) find the root in a few iterations.
    """
    offsets = [x - target for x in PAIR_SCORES]
    low = -1.0 / max(offsets)
    high = -1.0 / min(offsets)
    lam = 0.0
    for _ in range(100):
        slope = 0.0
        curvature = 0.0
        for p, d in zip(freqs, offsets):
            share = d / (1 + lam * d)
            slope += p * share
            curvature += p * share * share
        if slope > 0:
            low = lam
        else:
            high = lam
        step = slope / curvature
        following = lam + step
        if not low < following < high:
            following = (low + high) / 2
        if abs(following - lam) < 1e-13:
            lam = following
            break
        lam = following
    return [math.log1p(lam * d) for d in offsets]


def llr_pentanomial(counts: Sequence[int], elo0: float, elo1: float) -> float:
    """The generalized log-likelihood ratio of H1 (elo1) against H0 (elo0).

    `counts` are the five pentanomial counts: pairs in which the first program scored 0, 1/2,
    1, 3/2 and 2 points. Returns 0.0 when there is no pair yet.
    """
    if len(counts) != 5:
        raise ValueError(f"pentanomial counts need 5 cells (got {len(counts)})")
    if any(count < 0 for count in counts):
        raise ValueError("pentanomial counts must not be negative")
    pairs = sum(counts)
    if pairs == 0:
        return 0.0
    cells = [count if count > 0 else _EMPTY_CELL for count in counts]
    total = sum(cells)
    freqs = [cell / total for cell in cells]
    # log q0 - log q1 = log(p / q1) - log(p / q0)
    fit0 = _constrained_fit(freqs, expected_score(elo0))
    fit1 = _constrained_fit(freqs, expected_score(elo1))
    return pairs * sum(p * (f0 - f1) for p, f0, f1 in zip(freqs, fit0, fit1))


@dataclass(frozen=True)
class Sprt:
    """The test's settings: the two hypotheses (logistic Elo) and the error rates."""

    elo0: float
    elo1: float
    alpha: float = 0.05
    beta: float = 0.05

    def __post_init__(self) -> None:
        if not self.elo0 < self.elo1:
            raise ValueError(f"elo0 must be below elo1 (got {self.elo0} and {self.elo1})")
        for name, value in (("alpha", self.alpha), ("beta", self.beta)):
            if not 0.0 < value < 0.5:
                raise ValueError(f"{name} must be between 0 and 0.5 (got {value})")

    @property
    def lower(self) -> float:
        """The bound at which H0 is accepted: log(beta / (1 - alpha))."""
        return math.log(self.beta / (1 - self.alpha))

    @property
    def upper(self) -> float:
        """The bound at which H1 is accepted: log((1 - beta) / alpha)."""
        return math.log((1 - self.beta) / self.alpha)

    def state(self, counts: Sequence[int]) -> SprtState:
        """The LLR of `counts` and the decision it leads to (if any)."""
        llr = llr_pentanomial(counts, self.elo0, self.elo1)
        decision = "H1" if llr >= self.upper else "H0" if llr <= self.lower else None
        return SprtState(self, llr, decision)


@dataclass(frozen=True)
class SprtState:
    """Where a running test stands: its LLR and, once a bound is crossed, the decision."""

    test: Sprt
    llr: float
    decision: str | None  # "H0", "H1" or None while the test goes on

    def describe(self) -> str:
        """One line a person reads: the LLR within its bounds and the outcome."""
        test = self.test
        bounds = f"LLR {self.llr:+.2f} ({test.lower:+.2f}, {test.upper:+.2f})"
        hypotheses = f"[{test.elo0:g}, {test.elo1:g}]"
        if self.decision == "H1":
            outcome = f"H1 accepted: Elo >= {test.elo1:g}"
        elif self.decision == "H0":
            outcome = f"H0 accepted: Elo <= {test.elo0:g}"
        else:
            outcome = "no decision yet"
        return f"SPRT {hypotheses}: {bounds}, {outcome}"
