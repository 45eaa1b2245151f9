"""Momentum oscillators outside the RSI and stochastic families against
plain-Python re-statements of their steps, bit for bit, on documented cases,
random series and real candles, with huge-period input; layouts are the
table-driven test's."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from references.other_oscillators import (
    ref_aroonosc,
    ref_cci,
    ref_cfo,
    ref_cg,
    ref_dpo,
    ref_dti,
    ref_fisher,
    ref_fosc,
    ref_macd,
    ref_mass,
    ref_pfe,
)
from support import assert_bits_equal, hostile_series, lane_periods

nan, inf = math.nan, math.inf
HUGE = 2**64 - 1

def candles_from(rng, n, nan_rate=0.0, flat_rate=0.0):
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    high = close + rng.random(n) * 2
    low = close - rng.random(n) * 2
    flat = rng.random(n) < flat_rate
    high[flat] = low[flat] = close[flat]
    c = np.column_stack([np.arange(n) * 60000.0, close + rng.normal(0, 0.5, n), close, high, low,
                         rng.random(n) * 1000])
    if nan_rate:
        c[rng.random(c.shape) < nan_rate] = nan
    return c


def same(actual, expected):
    if isinstance(expected, tuple):
        assert isinstance(actual, tuple) and len(actual) == len(expected)
        for a, e in zip(actual, expected):
            assert_bits_equal(a, e)
    else:
        assert_bits_equal(actual, expected)


SERIES = {  # name: (function, reference, extra parameters after the period)
    "fosc": (k.fosc, ref_fosc, ()),
    "dpo": (k.dpo, ref_dpo, ()),
    "cfo": (k.cfo, ref_cfo, (100.0,)),
    "cg": (k.cg, ref_cg, ()),
    "pfe": (k.pfe, ref_pfe, (5,)),
}
CANDLES = {
    "cci": (k.cci, ref_cci),
    "aroonosc": (k.aroonosc, ref_aroonosc),
    "mass": (k.mass, ref_mass),
    "fisher": (k.fisher, lambda c, p: ref_fisher(c, p)),
}


def run_series(name, x, p):
    fn, ref, extra = SERIES[name]
    same(fn(x, p, *extra), ref(list(map(float, x)), p, *extra))


def run_candles(name, c, p):
    fn, ref = CANDLES[name]
    got = fn(c, p)
    same(tuple(got) if isinstance(got, tuple) else got, ref(c, p))


# ---- real candles (layouts are the table-driven test's, tests/test_table.py)

@pytest.mark.parametrize("name", sorted(CANDLES))
@pytest.mark.parametrize("p", [1, 9, 14, 100])
def test_candle_oscillators_on_real_candles(name, p, daily_candles, minute_candles):
    run_candles(name, daily_candles, p)
    run_candles(name, minute_candles[:3000], p)  # flat bars
    late_nan = daily_candles.copy()  # block forms give way to NaN-aware trackers mid-series
    late_nan[1500, 3] = late_nan[1600, 4] = nan
    run_candles(name, late_nan, p)


# ---- random series -------------------------------------------------------

values = st.one_of(st.floats(-1e6, 1e6, allow_nan=False), st.sampled_from([0.0, -0.0, 1.0, nan, inf]))


@settings(max_examples=150, deadline=None)
@given(st.lists(values, max_size=40), st.integers(0, 45), st.sampled_from(sorted(SERIES)))
def test_series_oscillators_random(xs, p, name):
    if name == "pfe" and p < 2:
        p += 2
    run_series(name, np.array(xs, dtype=np.float64), p)


@settings(max_examples=150, deadline=None)
@given(st.integers(0, 150), st.one_of(st.integers(0, 20), st.integers(0, 140)), st.sampled_from(sorted(CANDLES)),
       st.integers(0, 2**32 - 1),
       st.sampled_from([0.0, 0.05]), st.sampled_from([0.0, 0.3]))
def test_candle_oscillators_random(n, p, name, seed, nan_rate, flat_rate):
    if name == "fisher" and p == 0:
        p = 1
    c = candles_from(np.random.default_rng(seed), n, nan_rate, flat_rate)
    # Rounded prices tie often: first-position rules and flat windows matter.
    c[:, 1:5] = np.round(c[:, 1:5])
    run_candles(name, c, p)


@settings(max_examples=100, deadline=None)
@given(st.lists(values, max_size=40), st.integers(0, 45), st.integers(0, 45), st.integers(0, 45))
def test_macd_random(xs, fp, sp, gp):
    same(k.macd(np.array(xs, dtype=np.float64), fp, sp, gp), ref_macd(xs, fp, sp, gp))


@settings(max_examples=100, deadline=None)
@given(st.integers(0, 40), st.integers(0, 45), st.integers(0, 45), st.integers(0, 45), st.integers(0, 2**32 - 1))
def test_dti_random(n, r, s, u, seed):
    c = candles_from(np.random.default_rng(seed), n, 0.05, 0.3)
    same(k.dti(c, r, s, u), ref_dti(c, r, s, u))


# ---- documented cases ----------------------------------------------------

def test_macd_nan_first_value_shows_zero_line_and_nan_histogram():
    line, sig, hist = k.macd(np.array([nan, 1.0, 2.0, 3.0]), 2, 3, 2)
    assert_bits_equal(line, [0.0] * 4)
    assert_bits_equal(sig, [0.0] * 4)
    assert np.isnan(hist).all()
    line, _, hist = k.macd(np.array([1.0, inf, 2.0]), 2, 3, 2)
    assert line[0] == 0.0 and math.isnan(hist[1]) and line[1] == 0.0  # inf - inf is NaN, shown as 0


def test_aroonosc_highest_last_lowest_first():
    p = 5
    c = candles_from(np.random.default_rng(0), p)
    c[:, 3] = [1, 2, 3, 4, 9]
    c[:, 4] = [-5, 0, 0, 0, 0]
    assert k.aroonosc(c, p)[-1] == ((p - 1) * 100) / p
    c[:, 3] = [7, 7, 7, 7, 7]  # ties keep the first bar
    assert k.aroonosc(c, p)[-1] == 0.0
    c[0, 3] = nan  # nothing beats a NaN at the window start
    c[:, 4] = [3, 2, 1, 0, -1]
    assert k.aroonosc(c, p)[-1] == -80.0


def test_zero_sources_and_flat_windows():
    x = np.array([1.0, 2.0, 0.0, 3.0, 0.0, 4.0])
    assert k.fosc(x, 2)[2] == 0.0 and k.fosc(x, 2)[4] == 0.0
    assert math.isnan(k.cfo(x, 2, 100.0)[2]) and math.isnan(k.cfo(x, 2, 100.0)[4])
    flat = np.tile([0.0, 5.0, 5.0, 5.0, 5.0, 1.0], (30, 1))
    assert_bits_equal(k.cci(flat, 7), [nan] * 6 + [0.0] * 24)
    fish, sig = k.fisher(flat, 4)
    assert_bits_equal(fish, [0.0] * 30) and assert_bits_equal(sig, [0.0] * 30)
    assert_bits_equal(k.mass(flat[:5], 3), [0.0, 0.0, 0.0, 0.0, 0.0])  # e2 == 0: ratio 0


def test_warm_up_fill_and_first_positions(daily_candles):
    c = daily_candles[:100]
    assert (k.mass(c, 25)[:24] == 0.0).all() and k.mass(c, 25)[24] > 0
    fish, sig = k.fisher(c, 9)
    assert (fish[:9] == 0.0).all() and (sig[:10] == 0.0).all() and fish[9] != 0.0
    cg = k.cg(c[:, 2].copy(), 10)
    assert np.isnan(cg[:11]).all() and not np.isnan(cg[11])
    d = k.dti(c, 14, 10, 5)
    assert d[0] == 0.0 and not np.isnan(d).any()
    dp = k.dpo(c[:, 2].copy(), 10)
    assert np.isnan(dp[:15]).all() and not np.isnan(dp[15:]).any()


def test_pfe_shorter_than_period_is_negative_zero():
    y = k.pfe(np.array([1.0, 2.0, 3.0]), 5, 3)
    assert_bits_equal(y, [-0.0, -0.0, -0.0])
    assert_bits_equal(k.pfe(np.array([1.0, 2.0, 4.0, 3.0]), 3, 1)[:2], [-0.0, -0.0])
    for p in (0, 1):
        with pytest.raises(ValueError):
            k.pfe(np.array([1.0, 2.0, 3.0]), p, 3)


# ---- period edges, empty input, layouts and errors ----------------------

def test_huge_and_too_long_periods(daily_candles):
    c = daily_candles[:50]
    x = c[:, 2].copy()
    n = len(x)
    for p in (n + 1, HUGE):
        assert np.isnan(k.fosc(x, p)).all() and np.isnan(k.dpo(x, p)).all()
        assert np.isnan(k.cfo(x, p, 1.0)).all() and np.isnan(k.cg(x, p)).all()
        assert np.isnan(k.cci(c, p)).all() and np.isnan(k.aroonosc(c, p)).all()
        assert (k.mass(c, p) == 0.0).all()
        assert all((a == 0.0).all() for a in k.fisher(c, p))
        assert np.isnan(k.dti(c, p, 1, 1)).all() and np.isnan(k.dti(c, 1, 1, p)).all()
        assert_bits_equal(k.pfe(x, p, 3), [-0.0] * n)
        same(k.macd(x, p, p, p), ref_macd(list(x), p, p, p))
    assert np.isnan(k.cg(x, n - 1)).all() and not np.isnan(k.cg(x, n - 2)[-1])
    assert np.isnan(k.dti(c, n, 1, 1)).all()
    assert all((a == 0.0).all() for a in k.fisher(c, n))
    same(k.dti(c, n - 1, n - 1, n - 1), ref_dti(c, n - 1, n - 1, n - 1))
    for p in (0, 1):
        run_series("cg", x, p)
    assert np.isnan(k.cci(c, 0)).all() and np.isnan(k.dpo(x, 0)).all()


def test_empty_input():
    e, ec = np.empty(0), np.empty((0, 6))
    for fn, args in [(k.fosc, (e, 3)), (k.dpo, (e, 3)), (k.cfo, (e, 3, 1.0)), (k.cg, (e, 3)),
                     (k.pfe, (e, 3, 3)), (k.cci, (ec, 3)), (k.aroonosc, (ec, 3)), (k.mass, (ec, 3)),
                     (k.dti, (ec, 1, 1, 1))]:
        assert fn(*args).shape == (0,)
    assert [a.shape for a in k.macd(e, 12, 26, 9)] == [(0,)] * 3
    assert [a.shape for a in k.fisher(ec, 0)] == [(0,)] * 2
    assert [a.shape for a in k.fisher(np.empty((0, 2)), 3)] == [(0,)] * 2


def test_dpo_needs_unit_stride(daily_candles):
    x = daily_candles[:40, 2]
    with pytest.raises(k.InternalError):
        k.dpo(x, 5)  # column slice
    with pytest.raises(k.InternalError):
        k.dpo(x.copy()[::-1], 5)
    with pytest.raises(k.InternalError):
        k.dpo(x.copy()[::-1], HUGE)  # checked whatever the period
    assert math.isnan(k.dpo(daily_candles[:1, 2], 1)[0])  # one element: any stride
    assert k.dpo(daily_candles[:0, 2], 1).shape == (0,)


def test_errors_for_missing_columns_and_zero_fisher_period(daily_candles):
    short = daily_candles[:30, :4]
    for fn in (k.cci, k.aroonosc, k.mass, k.fisher):
        with pytest.raises(k.InternalError, match="index < dim"):
            fn(short, 5)
    with pytest.raises(k.InternalError, match="index < dim"):
        k.dti(short, 2, 2, 2)
    assert np.isnan(k.dti(short, 30, 2, 2)).all()  # not computed, columns not read
    assert np.isnan(k.aroonosc(short, 31)).all()
    with pytest.raises(k.InternalError):
        k.fisher(daily_candles[:30], 0)
    with pytest.raises(TypeError, match="argument 'smoothing'"):
        k.pfe(daily_candles[:, 2], 10, 1.5)
    with pytest.raises(TypeError, match="argument 'scalar'"):
        k.cfo(daily_candles[:, 2], 10, "x")


@settings(max_examples=30, deadline=None)
@given(hostile_series(), st.sampled_from(lane_periods), st.sampled_from(lane_periods), st.sampled_from([1, 2, 9]))
def test_macd_on_long_hostile_series(x, fp, sp, gp):
    with np.errstate(all="ignore"):
        same(k.macd(x, fp, sp, gp), ref_macd(x.tolist(), fp, sp, gp))
