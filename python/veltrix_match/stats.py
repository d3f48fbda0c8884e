"""Match statistics: score, Elo difference with its error margin, likelihood of superiority.

Every function takes the result counts of one side (wins, losses, draws) and returns plain
floats. An estimate that the data cannot bound (a score of exactly 0 or 1, or an error bar
reaching past either end) is returned as an infinity, never as NaN; `format_elo` prints it as
"+inf" / "-inf".
"""

from __future__ import annotations

import math

__all__ = [
    "Z95",
    "score",
    "draw_ratio",
    "elo_from_score",
    "elo_difference",
    "los",
    "format_elo",
]

#: The two-sided 95% quantile of the normal distribution used by the error margin.
Z95 = 1.96


def _check_counts(wins: int, losses: int, draws: int) -> int:
    """Returns the number of games; raises ValueError on a negative count."""
    for name, value in (("wins", wins), ("losses", losses), ("draws", draws)):
        if value < 0:
            raise ValueError(f"{name} must not be negative (got {value})")
    return wins + losses + draws


def score(wins: int, losses: int, draws: int) -> float:
    """The mean points per game, (W + D/2) / N, between 0 and 1.

    Raises ValueError when there are no games or a count is negative.
    """
    games = _check_counts(wins, losses, draws)
    if games == 0:
        raise ValueError("no games to score")
    return (wins + draws / 2) / games


def draw_ratio(wins: int, losses: int, draws: int) -> float:
    """The share of drawn games, D / N (0.0 when there are no games)."""
    games = _check_counts(wins, losses, draws)
    return draws / games if games else 0.0


def elo_from_score(p: float) -> float:
    """The logistic Elo difference of a mean score p: -400 log10(1/p - 1).

    p <= 0 gives -inf and p >= 1 gives +inf (the data cannot bound the estimate).
    """
    if p <= 0.0:
        return -math.inf
    if p >= 1.0:
        return math.inf
    return -400.0 * math.log10(1.0 / p - 1.0)


def elo_difference(wins: int, losses: int, draws: int) -> tuple[float, float]:
    """The Elo difference of one side over the other and its 95% error margin.

    The score is p = (W + D/2) / N and the estimate -400 log10(1/p - 1). The margin is half
    the distance between the Elo of p - 1.96 s and of p + 1.96 s, where s is the standard
    deviation of the mean per-game score under the normal approximation:
    s^2 = (W (1-p)^2 + L p^2 + D (1/2-p)^2) / N / N.

    A score of 0 or 1 gives an infinite estimate (-inf or +inf) and an infinite margin; an
    interval reaching past 0 or 1 gives an infinite margin. With no games there is nothing to
    estimate: (0.0, inf). Raises ValueError on a negative count.
    """
    games = _check_counts(wins, losses, draws)
    if games == 0:
        return 0.0, math.inf
    p = (wins + draws / 2) / games
    variance = (wins * (1 - p) ** 2 + losses * p**2 + draws * (0.5 - p) ** 2) / games
    deviation = math.sqrt(variance / games)
    elo = elo_from_score(p)
    low, high = p - Z95 * deviation, p + Z95 * deviation
    if math.isinf(elo) or low <= 0.0 or high >= 1.0:
        return elo, math.inf
    return elo, (elo_from_score(high) - elo_from_score(low)) / 2


def los(wins: int, losses: int, draws: int) -> float:
    """The likelihood of superiority: the probability that the side is the stronger one.

    LOS = 1/2 + 1/2 erf((W - L) / sqrt(2 (W + L))); draws carry no information about which
    side is stronger. With no decisive game it is 0.5. Raises ValueError on a negative count.
    """
    _check_counts(wins, losses, draws)
    decisive = wins + losses
    if decisive == 0:
        return 0.5
    return 0.5 + 0.5 * math.erf((wins - losses) / math.sqrt(2.0 * decisive))


def format_elo(elo: float, margin: float | None = None) -> str:
    """Elo as a person reads it: "+35.2", "-inf", "+35.2 ± 12.0", "+inf ± inf"."""
    # An even score comes out of the logarithm as -0.0; nothing that rounds to 0 gets a "-".
    shown = 0.0 if not math.isinf(elo) and round(elo, 1) == 0 else elo
    text = "+inf" if elo == math.inf else "-inf" if elo == -math.inf else f"{shown:+.1f}"
    if margin is None:
        return text
    return f"{text} ± {'inf' if math.isinf(margin) else f'{margin:.1f}'}"
