"""Linear regression value, Damiani volatmeter and the rescaled-range Hurst
exponent against plain-Python re-statements, bit for bit, on documented
cases, random series (hypothesis) and real candles."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from references.statistics import hurst_of_sizes, ref_damiani, ref_hurst, ref_linearreg
from support import assert_bits_equal

nan = math.nan
HUGE = 2**64 - 1

@pytest.mark.parametrize("candles", ["minute_candles", "daily_candles"])
def test_real_candles_match_references(candles, request):
    c = request.getfixturevalue(candles)[:2500]
    close = np.ascontiguousarray(c[:, 2])
    x = close.tolist()
    for p in (1, 2, 3, 14, 50):
        assert_bits_equal(k.linearreg(close, p), ref_linearreg(x, p))
        assert_bits_equal(k.linearreg(close[1:], p), ref_linearreg(x[1:], p))  # unaligned lanes
    got = k.damiani_volatmeter(c, close, 13, 20, 40, 100, 1.4)
    for g, w in zip(got, ref_damiani(c, x, 13, 20, 40, 100, 1.4)):
        assert_bits_equal(g, w)
    for args in ((10, 100, 5), (8, 1000, 12), (2, 2500, 3)):
        assert_bits_equal([k.hurst_rs(close, *args)], [ref_hurst(x, *args)])


finite = st.floats(-1e6, 1e6, allow_nan=False, width=64)
values = st.one_of(finite, st.sampled_from([0.0, -0.0, nan, math.inf, 1.0]))


@settings(max_examples=300, deadline=None)
@given(st.lists(values, max_size=40), st.integers(0, 12))
def test_linearreg_random(x, p):
    assert_bits_equal(k.linearreg(np.array(x, dtype=np.float64), p), ref_linearreg(x, p))


@st.composite
def damiani_inputs(draw):
    n = draw(st.integers(1, 40))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    c = np.zeros((n, 6))
    c[:, 2] = 20 + np.cumsum(rng.normal(size=n))
    c[:, 3] = c[:, 2] + rng.exponential(size=n) * draw(st.sampled_from([0.0, 1.0]))
    c[:, 4] = c[:, 2] - rng.exponential(size=n)
    src = c[:, 2].copy()
    for i in draw(st.lists(st.integers(0, n - 1), max_size=2)):
        src[i] = nan
    for i, j in draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(2, 4)), max_size=2)):
        c[i, j] = nan
    return c, src


@settings(max_examples=200, deadline=None)
@given(damiani_inputs(), st.integers(1, 8), st.integers(0, 10), st.integers(1, 12), st.integers(1, 45))
def test_damiani_random(cs, vis_atr, vis_std, sed_atr, sed_std):
    c, src = cs
    got = k.damiani_volatmeter(c, src, vis_atr, vis_std, sed_atr, sed_std, 1.4)
    for g, w in zip(got, ref_damiani(c, src.tolist(), vis_atr, vis_std, sed_atr, sed_std, 1.4)):
        assert_bits_equal(g, w)


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.one_of(finite, st.just(nan)), max_size=60), st.integers(1, 20), st.integers(0, 40), st.integers(0, 6)
)
def test_hurst_random(x, mn, mx, num):
    assert_bits_equal([k.hurst_rs(np.array(x, dtype=np.float64), mn, mx, num)], [ref_hurst(x, mn, mx, num)])


def test_linearreg_cases():
    line = np.arange(20.0) * 3 + 1
    assert_bits_equal(k.linearreg(line, 5)[4:], line[4:])
    assert np.isnan(k.linearreg(line, 1)).all()  # 0/0
    assert np.isnan(k.linearreg(line, 0)).all()
    assert np.isnan(k.linearreg(line, HUGE)).all()
    assert len(k.linearreg(np.empty(0), 3)) == 0
    # Non-unit strides fail whenever a value is computed ...
    for bad in (line[::2], line[::-1], np.repeat(line, 2)[::2]):
        with pytest.raises(k.InternalError):
            k.linearreg(bad, 3)
    # ... but not when nothing is computed, nor for a single element.
    assert np.isnan(k.linearreg(line[::2], 11)).all()
    assert np.isnan(k.linearreg(line[::2], 0)).all()
    assert np.isnan(k.linearreg(line[::-1][:1], 1)).all()


def test_damiani_cases():
    c = np.random.default_rng(8).normal(100, 1, size=(30, 6))
    c[:, 3], c[:, 4] = c[:, 2] + 1, c[:, 2] - 1
    src = np.ascontiguousarray(c[:, 2])
    for sed_std in (31, HUGE):  # beyond n: an all-zero ratio and no deviations
        vol, anti = k.damiani_volatmeter(c, src, 3, 4, 5, sed_std, 1.4)
        assert (vol == 0).all() and (anti == 0).all()
    # A NaN in the source turns later deviations into 0, never NaN: the
    # vis/sed quotient then becomes 0/0 = NaN only where both are 0.
    src2 = src.copy()
    src2[10] = nan
    _, anti = k.damiani_volatmeter(c, src2, 3, 4, 5, 6, 1.4)
    assert np.isnan(anti[11:]).all() and not np.isnan(anti[6:11]).any()
    # A source longer than the candles is fine, a shorter one runs out.
    got = k.damiani_volatmeter(c, np.concatenate([src, src]), 3, 4, 5, 6, 1.4)
    for g, w in zip(got, ref_damiani(c, src.tolist() * 2, 3, 4, 5, 6, 1.4)):
        assert_bits_equal(g, w)
    for args in ((c[:0], src, 3, 4, 5, 6), (c, src, 0, 4, 5, 6), (c, src, 3, 4, 0, 6), (c, src, 3, 4, 5, 0),
                 (c, src[:20], 3, 4, 5, 6)):
        with pytest.raises(k.InternalError):
            k.damiani_volatmeter(*args, 1.4)
    with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
        k.damiani_volatmeter(np.ascontiguousarray(c[:, :4]), src, 3, 4, 5, 6, 1.4)


def test_hurst_cases():
    x = np.random.default_rng(9).normal(size=500)
    assert math.isnan(k.hurst_rs(x, 10, 100, 0))
    assert math.isnan(k.hurst_rs(x, 10, 100, 1))
    # num_chunksize 2 between 10 and 100 uses sizes 10 and 101 (note the +1)
    assert k.hurst_rs(x, 10, 100, 2) == hurst_of_sizes(x.tolist(), [10, 101])
    assert k.hurst_rs(x, 10, 100, 4) == hurst_of_sizes(x.tolist(), [10, 40, 70, 101])
    with pytest.raises(k.InternalError, match="attempt to divide by zero"):
        k.hurst_rs(x, 0, 100, 4)
    # Max below min: the sizes run down from min to max + 1 (the span is
    # negative, not a wrapped unsigned difference).
    assert_bits_equal([k.hurst_rs(x, 50, 20, 4)], [ref_hurst(x.tolist(), 50, 20, 4)])
    assert_bits_equal([k.hurst_rs(x, 5, 0, 3)], [ref_hurst(x.tolist(), 5, 0, 3)])
    # Sizes beyond the input give rs = 0; huge sizes saturate.
    assert_bits_equal([k.hurst_rs(x, 600, HUGE, 3)], [ref_hurst(x.tolist(), 600, HUGE, 3)])
    assert_bits_equal([k.hurst_rs(np.empty(0), 2, 8, 4)], [ref_hurst([], 2, 8, 4)])
    with pytest.raises(k.InternalError, match="capacity overflow"):
        k.hurst_rs(x, 10, 100, HUGE)
