"""Match statistics and the SPRT against values worked out by hand."""

import math

import pytest

from veltrix_match import (
    Sprt,
    draw_ratio,
    elo_difference,
    elo_from_score,
    expected_score,
    format_elo,
    llr_pentanomial,
    los,
    score,
)
from veltrix_match.sprt import PAIR_SCORES


# (W, L, D) -> Elo, margin, LOS, worked out from p = (W + D/2) / N, the per-game variance
# of the score and erf by hand; 50-50-0 over 100 games is the familiar "0.0 +/- 69.0".
@pytest.mark.parametrize(
    "counts, elo, margin, superiority",
    [
        ((50, 50, 0), 0.0, 68.990, 0.5),
        ((10, 5, 5), 88.739, 143.878, 0.901647),
        ((60, 40, 100), 34.860, 34.160, 0.977250),
        ((3, 7, 10), -70.437, 111.736, 0.102952),
        ((0, 0, 10), 0.0, 0.0, 0.5),
    ],
)
def test_elo_and_los_match_hand_computed_values(counts, elo, margin, superiority):
    got_elo, got_margin = elo_difference(*counts)
    assert got_elo == pytest.approx(elo, abs=1e-3)
    assert got_margin == pytest.approx(margin, abs=1e-3)
    assert los(*counts) == pytest.approx(superiority, abs=1e-6)


def test_elo_is_antisymmetric_between_the_two_sides():
    elo, margin = elo_difference(31, 17, 12)
    assert elo_difference(17, 31, 12) == (pytest.approx(-elo), pytest.approx(margin))
    assert los(31, 17, 12) + los(17, 31, 12) == pytest.approx(1.0)


@pytest.mark.parametrize(
    "counts, elo, text",
    [
        ((5, 0, 0), math.inf, "+inf ± inf"),
        ((0, 7, 0), -math.inf, "-inf ± inf"),
        ((0, 0, 0), 0.0, "+0.0 ± inf"),
    ],
)
def test_unbounded_estimates_are_infinite_never_nan(counts, elo, text):
    got_elo, margin = elo_difference(*counts)
    assert got_elo == elo and margin == math.inf
    assert format_elo(got_elo, margin) == text
    assert not math.isnan(los(*counts))


@pytest.mark.parametrize("counts", [(5, 5, 0), (0, 0, 4), (3, 3, 2)])
def test_an_even_score_is_shown_without_a_minus_sign(counts):
    assert format_elo(*elo_difference(*counts)).startswith("+0.0 ± ")
    assert format_elo(-0.04) == "+0.0" and format_elo(-0.05) == "-0.1"


def test_an_interval_reaching_past_a_perfect_score_has_an_infinite_margin():
    # p = 3/4 over two games: p + 1.96 s is past 1, so the upper end is unbounded.
    elo, margin = elo_difference(1, 0, 1)
    assert elo == pytest.approx(190.849, abs=1e-3)
    assert margin == math.inf
    assert "nan" not in format_elo(elo, margin)


@pytest.mark.parametrize("function", [elo_difference, los, draw_ratio, score])
def test_negative_counts_are_refused(function):
    with pytest.raises(ValueError, match="losses"):
        function(3, -1, 2)


def test_score_draw_ratio_and_elo_of_a_score():
    assert score(3, 1, 2) == pytest.approx(4 / 6)
    assert draw_ratio(3, 1, 2) == pytest.approx(2 / 6)
    assert draw_ratio(0, 0, 0) == 0.0
    with pytest.raises(ValueError):
        score(0, 0, 0)
    # 10^(200/400) : 1 odds, the 76% of a 200 Elo edge.
    assert elo_from_score(1 / (1 + 10**-0.5)) == pytest.approx(200.0)
    assert expected_score(200.0) == pytest.approx(0.759746, abs=1e-6)
    assert (elo_from_score(0.0), elo_from_score(1.0)) == (-math.inf, math.inf)


def normal_llr(counts, elo0, elo1):
    """The usual normal approximation of the pentanomial LLR, for cross-checking."""
    pairs = sum(counts)
    mean = sum(c * x for c, x in zip(counts, PAIR_SCORES)) / pairs
    variance = sum(c * (x - mean) ** 2 for c, x in zip(counts, PAIR_SCORES)) / pairs
    s0, s1 = expected_score(elo0), expected_score(elo1)
    return pairs * (s1 - s0) * (2 * mean - s0 - s1) / (2 * variance)


@pytest.mark.parametrize(
    "counts, elo0, elo1",
    [
        ((100, 400, 1000, 450, 120), 0, 5),
        ((120, 450, 1000, 400, 100), 0, 5),
        ((300, 900, 1500, 1100, 400), -5, 5),
        ((20, 150, 900, 160, 30), 0, 2),
    ],
)
def test_llr_agrees_with_the_normal_approximation_on_large_samples(counts, elo0, elo1):
    assert llr_pentanomial(counts, elo0, elo1) == pytest.approx(normal_llr(counts, elo0, elo1), rel=0.02)


def test_llr_grows_with_evidence_and_points_the_right_way():
    stronger = [llr_pentanomial((0, 1, 2, 3, 4 * k), 0, 100) for k in (1, 2, 4, 8)]
    assert 0 < stronger[0] < stronger[1] < stronger[2] < stronger[3]
    assert llr_pentanomial((4, 3, 2, 1, 0), 0, 100) < 0
    assert llr_pentanomial((0, 0, 0, 0, 0), 0, 100) == 0.0
    # A run of perfectly even pairs speaks for H0, never for H1.
    assert llr_pentanomial((0, 0, 30, 0, 0), 0, 20) < 0


def test_sprt_bounds_and_decisions():
    test = Sprt(0, 200)
    assert test.lower == pytest.approx(math.log(0.05 / 0.95))
    assert test.upper == pytest.approx(math.log(0.95 / 0.05))
    assert test.state((0, 0, 0, 0, 2)).decision is None
    winning = test.state((0, 0, 0, 0, 20))
    assert winning.decision == "H1" and winning.llr >= test.upper
    assert "H1 accepted" in winning.describe()
    losing = test.state((20, 0, 0, 0, 0))
    assert losing.decision == "H0" and "H0 accepted" in losing.describe()


@pytest.mark.parametrize(
    "arguments, message",
    [((10, 0), "elo0 must be below elo1"), ((0, 10, 0.0), "alpha"), ((0, 10, 0.05, 0.7), "beta")],
)
def test_sprt_settings_are_checked(arguments, message):
    with pytest.raises(ValueError, match=message):
        Sprt(*arguments)


def test_llr_refuses_malformed_counts():
    with pytest.raises(ValueError, match="5 cells"):
        llr_pentanomial((1, 2, 3), 0, 5)
    with pytest.raises(ValueError, match="negative"):
        llr_pentanomial((1, 2, -3, 0, 0), 0, 5)
