"""ATR and Bollinger bands against plain-Python re-statements, bit for bit,
on documented cases and random candles (hypothesis); layouts and real candles
are the table-driven test's."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from references.bands import ref_atr, ref_bb, ref_bbw
from support import assert_bits_equal, candles_from, hostile_series, lane_periods

nan = math.nan
HUGE = 2**64 - 1

@st.composite
def candles(draw, max_rows=60):
    """Random-walk candles (sometimes flat) with NaN prices at drawn cells."""
    n = draw(st.integers(1, max_rows))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    flat = draw(st.booleans())
    close = 50 + np.cumsum(rng.normal(size=n) * (rng.integers(0, 2, size=n) if flat else 1))
    c = np.zeros((n, 6))
    c[:, 2] = close
    c[:, 3] = close + rng.exponential(size=n) * (0 if flat else 1)
    c[:, 4] = close - rng.exponential(size=n) * (0 if flat else 1)
    for i, j in draw(st.lists(st.tuples(st.integers(0, n - 1), st.integers(2, 4)), max_size=3)):
        c[i, j] = nan
    return c


# Layouts are the table-driven test's (tests/test_table.py).
@settings(max_examples=300, deadline=None)
@given(candles(), st.integers(0, 65))
def test_last_forms_equal_series_last(c, p):
    x = c[:, 2].copy()
    if p > 0:
        full = k.atr(c, p)
        assert_bits_equal(full, ref_atr(c, p))
        assert_bits_equal([k.atr_last(c, p)], full[-1:])
        bands = k.bollinger_bands(x, p, 2.0, 3.0)
        assert_bits_equal(bands, ref_bb(x.tolist(), p, 2.0, 3.0))
        assert_bits_equal(k.bollinger_bands_last(x, p, 2.0, 3.0), [b[-1] for b in bands])
        assert_bits_equal(k.bollinger_bands_width(x, p, 2.0), ref_bbw(x.tolist(), p, 2.0))
    else:
        assert all(math.isnan(v) for v in k.bollinger_bands_last(x, 0, 2.0, 2.0))


def test_atr_documented_cases():
    empty = np.zeros((0, 6))
    assert k.atr(empty, 3).shape == (0,)
    with pytest.raises(IndexError, match="index -1 is out of bounds for axis 0 with size 0"):
        k.atr_last(empty, 3)
    c = np.array([[0, 0, 10, 12, 9, 0], [0, 0, 11, 13, 10, 0], [0, 0, 12, 14, 8, 0.0]])
    a = k.atr(c, 3)
    assert np.isnan(a[:2]).all() and a[2] == (3.0 + 3.0 + 6.0) / 3
    c[1, 3] = nan  # NaN high: TR[1] = max(|low - prev close|) = 0
    assert k.atr(c, 2)[1] == (3.0 + 0.0) / 2
    assert np.isnan(k.atr(c, HUGE)).all() and math.isnan(k.atr_last(c, HUGE))
    neg_zero_range = np.array([[0, 0, 0.0, -0.0, 0.0, 0]])  # TR[0] = -0.0; the seed sum starts at +0.0
    assert_bits_equal(k.atr(neg_zero_range, 1), [0.0])
    # n < period never looks at the columns; n >= period needs five.
    assert np.isnan(k.atr(np.zeros((2, 2)), 3)).all()
    for f in (k.atr, k.atr_last):
        with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
            f(np.zeros((3, 4)), 2)
        with pytest.raises(k.InternalError):
            f(c, 0)


def test_bollinger_documented_cases():
    x = np.arange(1.0, 31.0)
    x[12] = nan
    up, mid, lo = k.bollinger_bands(x, 5, 2.0, 2.0)
    assert not np.isnan(mid[4:12]).any() and np.isnan(mid[12:]).all()  # poisoned sums stay NaN
    const = np.full(8, 0.1)
    up, mid, lo = k.bollinger_bands(const, 3, 2.0, 2.0)
    var_negative = np.isnan(up[2:]) & ~np.isnan(mid[2:])
    assert ((up[2:] == mid[2:]) | var_negative).all() and not np.isnan(mid[2:]).any()
    w = k.bollinger_bands_width(np.array([1.0, -1.0, 2.0, -2.0, 3.0]), 2, 2.0)
    assert np.isnan(w[:2]).all() and not np.isnan(w[2]) and np.isnan(w[3])  # mean 0 at 1 and 3
    with pytest.raises(IndexError, match="index -1 is out of bounds"):
        k.bollinger_bands_last(np.array([]), 0, 2.0, 2.0)
    assert all(math.isnan(v) for v in k.bollinger_bands_last(x[:3], HUGE, 2.0, 2.0))
    assert all(np.isnan(b).all() for b in k.bollinger_bands(x, HUGE, 2.0, 2.0))
    for call in (lambda: k.bollinger_bands(x, 0, 2.0, 2.0), lambda: k.bollinger_bands_width(x, 0, 2.0)):
        with pytest.raises(k.InternalError):
            call()


@settings(max_examples=40, deadline=None)
@given(hostile_series(), st.sampled_from([p for p in lane_periods if p < 2**63]), st.booleans(), st.integers(0, 99))
def test_atr_on_long_hostile_candles(x, p, crossed, seed):
    c = candles_from(x, seed, crossed)
    expected = ref_atr(c, p)
    with np.errstate(all="ignore"):
        assert_bits_equal(k.atr(c, p), expected)
        assert_bits_equal([k.atr_last(c, p)], expected[-1:])
