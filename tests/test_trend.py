"""Directional movement and trend overlays against plain-Python re-statements
of their steps, bit for bit: real and random candles (hypothesis adds NaN,
inf and signed zeros), strided layouts, and the documented edge cases."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from references.trend import (
    movement,
    ref_adx,
    ref_adxr,
    ref_alligator,
    ref_di,
    ref_dm,
    ref_dx,
    ref_ichimoku,
    ref_safezone,
    ref_sar,
    ref_supertrend,
    ref_vi,
    rows,
    running_sum,
)
from support import assert_bits_equal, bits, candles_from, hostile_series, min_num

nan, inf = math.nan, math.inf
HUGE = 2**64 - 1

def make_candles(rng, n, nan_rate=0.0):
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    c = np.column_stack([np.arange(n) * 6e4, close, close, close + rng.exponential(1, n),
                         close - rng.exponential(1, n), np.ones(n)])
    c[:, 2:5][rng.random((n, 3)) < nan_rate] = nan
    return c


def pairs(c, p):
    """(our result, reference) for every candle function at period p."""
    n = len(c)
    out = [(k.dm(c, p), ref_dm(c, p)), (k.di(c, p), ref_di(c, p)), ((k.adx(c, p),), (ref_adx(c, p),)),
           (k.vi(c, p, True), ref_vi(c, p)), (k.dx(c, p, p + 3, False), ref_dx(c, p, p + 3))]
    if n:
        out.append(((k.adxr(c, p),), (ref_adxr(c, p),)))
        out += [((k.safezonestop(c, p, 2.5, p // 2, d),), (ref_safezone(c, p, 2.5, p // 2, d),)) for d in (True, False)]
        if p:
            out.append((k.supertrend(c, p, 3.0), ref_supertrend(c, p, 3.0)))
    if n > 1:
        out.append(((k.sar(c, 0.02, 0.2),), (ref_sar(c, 0.02, 0.2),)))
    return out


def check_all(c, p):
    for got, want in pairs(c, p):
        for g, w in zip(got, want, strict=True):
            assert_bits_equal(g, w)


# -------------------------------------------------------------------- tests

@pytest.mark.parametrize("fixture", ["daily_candles", "minute_candles"])
def test_real_candles(fixture, request):
    c = request.getfixturevalue(fixture)[:3000]
    for p in (1, 2, 7, 14, 30):
        check_all(c, p)
    for got, want in zip(k.alligator(c[:, 2]), ref_alligator(c[:, 2].tolist())):
        assert_bits_equal(got, want)
    for args in ((9, 26, 52, 26), (9, 26, 52, 0), (9, 26, 52, 1), (5000, 3, 0, 40)):
        assert_bits_equal(k.ichimoku_cloud(c, *args), ref_ichimoku(c, *args))


@pytest.mark.parametrize("seed", range(6))
def test_random_candles(seed):
    """NaN prices and flat bars at every period edge (layouts are the
    table-driven test's, tests/test_table.py)."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 90))
    c = make_candles(rng, n, nan_rate=[0, 0.03, 0.2][seed % 3])
    if seed % 2:
        c[rng.random(n) < 0.3, 3:5] = 100.0  # flat bars: zero ranges and movements
    for p in {0, 1, 3, 8, 9, 17, max(n - 1, 0), n, n + 1}:
        check_all(c, p)


price = st.one_of(st.floats(-1e6, 1e6, width=64), st.sampled_from([nan, inf, -inf, 0.0, -0.0]))


@st.composite
def candles(draw, min_rows=0, values=price):
    n = draw(st.integers(min_rows, 30))
    return np.array([[0.0, 0.0, draw(values), draw(values), draw(values), 1.0] for _ in range(n)]).reshape(n, 6)


@settings(max_examples=150, deadline=None)
@given(c=candles(), p=st.integers(0, 12))
def test_hypothesis_nan_inf_and_zeros(c, p):
    with np.errstate(all="ignore"):
        check_all(c, p)
        x = c[:, 2]
        for got, want in zip(k.alligator(x), ref_alligator(x.tolist())):
            assert_bits_equal(got, want)


@settings(max_examples=150, deadline=None)
@given(c=candles(min_rows=2, values=st.sampled_from([1.0, 2.0, 3.0, nan, -0.0, 0.0])),
       a=st.sampled_from([0.02, 0.5, 0.0, nan]), mx=st.sampled_from([0.2, 0.01, nan]),
       lb=st.integers(0, 4), m=st.sampled_from([0.0, -0.0, 1.0]))
def test_hypothesis_regimes_and_ties(c, a, mx, lb, m):
    # Few distinct prices: ties, NaN comparisons, reversals and signed zeros
    # in the stops' rolling extremes on most rows.
    assert_bits_equal(k.sar(c, a, mx), ref_sar(c, a, mx))
    for long in (True, False):
        assert_bits_equal(k.safezonestop(c, 3, m, lb, long), ref_safezone(c, 3, m, lb, long))


def test_failures_and_degenerate_sizes():
    c = make_candles(np.random.default_rng(1), 10)
    narrow, empty = c[:, :4], np.empty((0, 6))
    dim = "assertion failed: index < dim"
    for call, match in [
        (lambda: k.dm(narrow, 3), dim), (lambda: k.di(narrow, 3), dim), (lambda: k.dx(narrow, 3, 3, True), dim),
        (lambda: k.adx(narrow, 3), dim), (lambda: k.vi(narrow, 3, True), dim),
        (lambda: k.ichimoku_cloud(narrow, 9, 26, 52, 26), dim),
        (lambda: k.adxr(narrow, 3), None), (lambda: k.adxr(empty, 3), None),
        (lambda: k.supertrend(narrow, 3, 3.0), None), (lambda: k.supertrend(empty, 3, 3.0), None),
        (lambda: k.supertrend(c, 0, 3.0), None),
        (lambda: k.sar(narrow, 0.02, 0.2), None), (lambda: k.sar(c[:1], 0.02, 0.2), None),
        (lambda: k.safezonestop(narrow, 3, 2.5, 3, True), None), (lambda: k.safezonestop(empty, 3, 2.5, 3, True), None),
        # A displacement reaching before the first row fails, however large.
        *[(lambda d=d: k.ichimoku_cloud(c, 9, 26, 52, d), "end <= axis_len") for d in (12, 2**63, HUGE)],
        (lambda: k.ichimoku_cloud(empty, 9, 26, 52, 0), "end <= axis_len"),
    ]:
        with pytest.raises(k.InternalError, match=match):
            call()
    # Periods beyond the data return before the columns are read.
    for p in (10, HUGE):
        assert all(np.isnan(a).all() and len(a) == 10 for a in (*k.dm(narrow, p), k.adx(narrow, p)))
    assert all(np.isnan(a).all() and a.shape == (10,) for a in k.vi(narrow, 10, False))
    for p in (11, HUGE):
        assert all(not a.any() and len(a) == 10 for a in k.supertrend(c, p, 3.0))
        assert np.isnan(k.adxr(c, p)).all() and np.isnan(k.di(c, p)[0]).all()
    assert all(math.isnan(v) for v in k.ichimoku_cloud(c, HUGE, HUGE, HUGE, 0))
    results = (*k.dx(empty[:, :2], 3, 3, True), *k.vi(empty, 3, False), k.sar(empty[:, :2], 0.1, 0.2))
    assert [len(a) for a in results] == [0] * 6
    assert_bits_equal(k.safezonestop(c[:1, :2], 22, 2.5, 3, False), [0.0])
    with np.errstate(all="ignore"):
        for got, want in zip(k.dx(c, HUGE, 0, True), ref_dx(c, HUGE, 0)):
            assert_bits_equal(got, want)
    for call, name in [(lambda: k.dx(c, 3, 3, 1), "_sequential"), (lambda: k.vi(c, 3, 0), "sequential"),
                       (lambda: k.safezonestop(c, 3, 2.5, 3, "long"), "direction")]:
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            call()


def test_documented_values():
    c = make_candles(np.random.default_rng(4), 60)
    p = 7
    plus = k.dm(c[:p + 1], p)[0]  # n = p + 1: only the last position, a plain sum
    assert np.isnan(plus[:p]).all() and plus[p] == ref_dm(c[:p + 1], p)[0][p]
    assert_bits_equal(k.di(np.full((6, 6), 5.0), 3)[0], [nan, nan, nan, 0.0, 0.0, 0.0])  # flat: zero range
    one = c[:1]
    assert_bits_equal(k.dx(one, 14, 14, True)[0], ref_dx(one, 14, 14)[0])
    assert not any(np.isnan(a).any() for a in k.dx(c, 14, 14, True))
    out = k.adx(c, p)
    assert np.isnan(out[:2 * p]).all() and not np.isnan(out[2 * p:]).any()
    out = k.adxr(c, p)
    assert np.isnan(out[:2 * p - 1]).all() and not np.isnan(out[2 * p - 1:]).any()
    assert all(np.isnan(a).all() for a in k.alligator(np.arange(12.0)))
    first = [np.flatnonzero(~np.isnan(a)).tolist() for a in k.alligator(np.arange(13.0))]
    assert first == [[], [12], list(range(7, 13))]
    assert [int(np.argmax(~np.isnan(a))) for a in k.alligator(np.arange(100.0)[::-3])] == [20, 12, 7]
    two = np.array([[0, 0, 10.0, 11.0, 9.0, 0], [0, 0, 12.0, 13.0, 10.0, 0]])
    assert_bits_equal(k.sar(two, 0.02, 0.2), [9.0, min_num(9.0 + 0.02 * 2.0, 9.0)])
    two[1, 4] = 8.0  # the second low pierces the stop: reverse to the first high
    assert_bits_equal(k.sar(two, 0.02, 0.2), [9.0, 11.0])
    stops = k.safezonestop(c, 22, 2.5, 1, True)  # max_lookback 1: the candidates themselves
    assert stops[0] == 0.0 and stops[1] == c[0, 4] - movement(c[1, 3] - c[0, 3], c[0, 4] - c[1, 4])[1] * 2.5
    for lb in (0, HUGE):  # no limit
        assert_bits_equal(k.safezonestop(c, 22, 2.5, lb, False), ref_safezone(c, 22, 2.5, 0, False))
    trend, changed = k.supertrend(c, 10, 0.5)
    assert not trend[:9].any() and trend[9] != 0 and not changed[:10].any() and changed.any()
    conv, base, a, b = k.ichimoku_cloud(c, 9, 26, 52, 26)
    assert isinstance(conv, float) and math.isnan(b) and not math.isnan(a)
    assert all(math.isnan(v) for v in k.ichimoku_cloud(c, 9, 26, 52, 1)[2:])


def test_vi_lanes_last_value_and_blocks(minute_candles):
    # Eight or more values per window use the lane grouping, which a plain
    # running sum does not reproduce: prices spread over many decades.
    rng = np.random.default_rng(5)
    close = rng.lognormal(0, 3, 200)
    wild = np.column_stack([close, close, close, close * (1 + rng.random(200)),
                            close * (1 - rng.random(200) * 0.9), close])
    vp = k.vi(wild, 12, True)[0]
    _, high, low, tr, _, _ = rows(wild)
    up = [0.0] + [abs(high[i] - low[i - 1]) for i in range(1, 200)]
    assert_bits_equal(vp, ref_vi(wild, 12)[0])
    assert sum(vp[s] != running_sum(up[s - 11:s + 1]) / running_sum(tr[s - 11:s + 1]) for s in range(12, 200)) > 10
    # Long inputs are summed block by block; each window equals the
    # one-window call on just its rows (plus the row before).
    c = minute_candles
    for p in (14, 4095, 5000):
        vp, vm = k.vi(c, p, True)
        for e in sorted({p, p + 1, len(c) - 1} | set(range(p + 4090, len(c), 997))):
            one = k.vi(c[e - p:e + 1], p, False)
            assert bits(vp[e]) == bits(one[0][0]) and bits(vm[e]) == bits(one[1][0]), (p, e)


@settings(max_examples=30, deadline=None)
@given(hostile_series(max_parts=4, max_part=900), st.sampled_from([1, 2, 3, 5, 40, 2**64 - 1]), st.booleans(),
       st.integers(0, 99))
def test_smoothing_on_long_hostile_candles(x, p, crossed, seed):
    c = candles_from(x, seed, crossed)
    with np.errstate(all="ignore"):
        got = [k.dm(c, p), k.di(c, p), (k.adx(c, p),), k.dx(c, p, 2, False), k.dx(c, 3, p, False)]
        want = [ref_dm(c, p), ref_di(c, p), (ref_adx(c, p),), ref_dx(c, p, 2), ref_dx(c, 3, p)]
        if p < 2**63:
            got.append((k.adxr(c, p),))
            want.append((ref_adxr(c, p),))
        for g, w in zip(got, want, strict=True):
            for a, b in zip(g, w, strict=True):
                assert_bits_equal(a, b)
