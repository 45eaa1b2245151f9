"""RSI-type oscillators against plain-Python re-statements of their
recurrences, bit for bit, on documented cases, random series and real candles."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from references.oscillators import ref_cmo, ref_lrsi, ref_rsi, ref_rsx, ref_srsi
from support import assert_bits_equal, bits, hostile_series, lane_periods

nan, inf = math.nan, math.inf
HUGE = 2**64 - 1

@pytest.mark.parametrize("candles", ["minute_candles", "daily_candles"])
def test_real_candles_match_references(candles, request):
    c = request.getfixturevalue(candles)[:3000]
    close = c[:, 2]  # strided column, read in place
    s = close.tolist()
    # Unit-stride copies take the vector loads, one with infinities and NaN.
    jumpy = np.array(s)
    jumpy[[700, 701, 1300]], jumpy[[900, 1222]] = inf, -inf
    jumpy[[1000, 1500]] = nan
    for p in (1, 2, 14):
        assert_bits_equal(k.rsi(close, p), ref_rsi(s, p))
        assert_bits_equal(k.rsx(close, p), ref_rsx(s, p))
        assert_bits_equal(k.cmo(close, p), ref_cmo(s, p))
        assert_bits_equal(k.cmo(jumpy, p), ref_cmo(jumpy.tolist(), p))
        for w in (14, 100):  # short windows are folded, long ones queued
            for got, want in zip(k.srsi(close, p, w, 3, 3), ref_srsi(s, p, w, 3, 3)):
                assert_bits_equal(got, want)
    assert_bits_equal(k.lrsi(c, 0.2), ref_lrsi(c, 0.2))


@st.composite
def series(draw, max_size=80):
    """A random walk (or flat stretches) with NaN at drawn positions."""
    n = draw(st.integers(0, max_size))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    steps = rng.normal(size=n) * rng.integers(0, 2, size=n) if draw(st.booleans()) else rng.normal(size=n)
    x = 100 + np.cumsum(steps)
    for i in draw(st.lists(st.integers(0, max(n - 1, 0)), max_size=3)) if n else ():
        x[i] = nan
    return x.tolist()


# Layouts are the table-driven test's (tests/test_table.py).
@settings(max_examples=300, deadline=None)
@given(series(), st.integers(0, 90))
def test_rsi_last_is_last_rsi_and_references_agree(values, p):
    x = np.asarray(values, dtype=np.float64)
    full = k.rsi(x, p)
    assert_bits_equal(full, ref_rsi(values, p))
    assert_bits_equal(k.cmo(x, p), ref_cmo(values, p))
    assert_bits_equal(k.rsx(x, p), ref_rsx(values, p))
    if values:
        assert_bits_equal([k.rsi_last(x, p)], full[-1:])


@settings(max_examples=200, deadline=None)
@given(series(max_size=160), st.integers(0, 8), st.integers(0, 8) | st.integers(60, 100), st.integers(0, 5),
       st.integers(0, 5))
def test_srsi_windows_match_reference(values, p, w, kp, dp):
    x = np.asarray(values, dtype=np.float64)
    for got, want in zip(k.srsi(x, p, w, kp, dp), ref_srsi(values, p, w, kp, dp)):
        assert_bits_equal(got, want)


def test_documented_cases():
    rising, x = np.arange(20.0), np.array([1.0, 2.0, 1.0, 3.0, 2.0, 4.0, 3.0, 5.0, 4.0, 6.0, 2.0, 1.0])
    assert (k.rsi(rising, 5)[5:] == 100).all() and (k.rsi(np.full(9, 3.0), 4)[4:] == 100).all()
    assert np.isnan(k.rsi(rising, 20)).all() and k.rsi(np.array([]), 3).shape == (0,)
    r = k.rsi(np.array([1.0, 2.0, 1.5, 3.0, nan, 4.0, 5.0]), 2)
    assert not np.isnan(r[2:4]).any() and np.isnan(r[4:]).all()  # the loss stays NaN
    with pytest.raises(IndexError, match="^index -1 is out of bounds for axis 0 with size 0$"):
        k.rsi_last(np.array([]), 0)
    assert math.isnan(k.rsi_last(rising, 20)) and k.rsi_last(rising, 3) == 100.0
    assert_bits_equal(k.srsi(x, 2, 3, 1, 0)[0], k.srsi(x, 2, 3, 0, 0)[0])  # raw value
    kk, dd = k.srsi(np.concatenate([np.arange(10.0), np.arange(10.0, 0.0, -1.0)]), 2, 3, 1, 2)
    assert np.isnan(kk[4:11]).all() and not np.isnan(dd[-3:]).any()  # flat RSI window: NaN k
    r = k.rsx(np.sin(np.arange(200.0)) * 5 + 50, 6)
    assert r[6] == 50.0 and ((r[6:] >= 0) & (r[6:] <= 100)).all()
    assert (k.lrsi(np.tile([0.0, 5.0, 5.0, 5.0, 5.0, 1.0], (8, 1)), 0.3) == 0).all()
    assert (k.cmo(np.full(9, 2.0), 3)[3:] == 0).all()


def test_degenerate_inputs_do_not_raise_or_allocate():
    x = np.arange(10.0)
    for f in (k.rsi, k.rsx, k.cmo):
        assert np.isnan(f(x, HUGE)).all()
    assert math.isnan(k.rsi_last(x, HUGE))
    for periods in [(HUGE, 3, 3, 3), (1, HUGE, 3, 3), (1, 3, HUGE, HUGE), (1, 3, 3, HUGE)]:
        assert all(np.isnan(v).all() for v in k.srsi(x, *periods)[int(periods[2] < 2):])
    with pytest.raises(k.InternalError):
        k.lrsi(np.zeros((0, 6)), 0.5)
    with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
        k.lrsi(np.zeros((5, 4)), 0.5)


@settings(max_examples=40, deadline=None)
@given(hostile_series(), st.sampled_from(lane_periods))
def test_rsi_on_long_hostile_series(x, p):
    expected = ref_rsi(x.tolist(), p)
    for view in (x, np.repeat(x, 2)[::2]):
        with np.errstate(all="ignore"):
            assert_bits_equal(k.rsi(view, p), expected)
            assert_bits_equal([k.rsi_last(view, p)], expected[-1:])


def test_rsi_last_from_a_suffix_matches_the_walk():
    # Long series take the shortcut that reads the last stretch only, and
    # must fall back to the whole walk wherever it cannot prove the result:
    # a NaN or infinity before the stretch, an early move so large that the
    # bounds do not meet in time, a flat history (the bounds start equal).
    rng = np.random.default_rng(7)
    walk = 100 + np.cumsum(rng.normal(size=40_000))
    jump = walk.copy()
    jump[5] = 1e250
    cases = {"walk": walk, "flat": np.full(40_000, 3.25), "jump": jump}
    for name, pos, v in (("nan early", 10, nan), ("inf early", 10, math.inf), ("nan late", -3, nan),
                         ("inf late", -3, -math.inf), ("tiny", None, None)):
        x = walk.copy() if pos is not None else walk * 1e-300
        if pos is not None:
            x[pos] = v
        cases[name] = x
    with np.errstate(all="ignore"):
        for name, x in cases.items():
            for p in (1, 2, 14, 100, 5000):
                for view in (x, np.repeat(x, 2)[::2]):
                    assert bits(k.rsi_last(view, p)) == bits(k.rsi(view, p)[-1]), (name, p)
