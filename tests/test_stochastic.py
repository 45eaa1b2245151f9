"""Slow and fast stochastics, Williams' %R and WaveTrend against plain-Python
re-statements, bit for bit, on documented cases, random candles (hypothesis)
and real candles (the minute candles have many flat windows)."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from range_refs import candles as range_candles
from references.stochastic import ref_stoch, ref_stochf, ref_willr, ref_wt
from support import assert_bits_equal

nan = math.nan
HUGE = 2**64 - 1

def check_wt(c, cl, al, ml, source_type="hlc3"):
    got = k.wt(c, cl, al, ml, 53.0, -53.0, source_type)
    want = ref_wt(c, cl, al, ml, 53.0, -53.0, source_type)
    assert len(got) == 7
    for i, (g, w) in enumerate(zip(got, want)):
        if i in (2, 3, 4, 5):
            assert g.dtype == np.bool_ and g.tolist() == w
        else:
            assert_bits_equal(g, w)


def check_all(c, fk, sk, sd):
    assert_bits_equal(k.stoch(c, fk, sk, 0, sd, 0), ref_stoch(c, fk, sk, sd))
    assert_bits_equal(k.stochf(c, fk, sd, 0), ref_stochf(c, fk, sd))
    assert_bits_equal(k.willr(c, fk), ref_willr(c, fk))


@pytest.mark.parametrize("candles", ["minute_candles", "daily_candles"])
def test_real_candles_match_references(candles, request):
    c = request.getfixturevalue(candles)[:3000]
    for fk, sk, sd in ((5, 3, 3), (14, 3, 5), (1, 1, 1), (30, 9, 2)):
        check_all(c, fk, sk, sd)
    late_nan = c.copy()  # the block form gives way to the deque at a late NaN
    late_nan[1500, 3] = late_nan[1600, 4] = nan
    check_all(late_nan, 14, 3, 3)
    for source_type in ("close", "open", "high", "low", "hlc3", "ohlc4"):
        check_wt(c, 10, 21, 4, source_type)


def candles():
    return range_candles(max_rows=40, first_price_col=1)


# Layouts are the table-driven test's (tests/test_table.py).
@settings(max_examples=300, deadline=None)
@given(candles(), st.integers(1, 10), st.integers(0, 6), st.integers(0, 6), st.sampled_from(["ohlc4", "close"]))
def test_random_candles_match_references(c, fk, sk, sd, source_type):
    check_all(c, fk, sk, sd)
    check_wt(c, fk, sk + 1, sd, source_type)


def test_documented_cases():
    flat = np.full((12, 6), 3.0)
    assert_bits_equal(k.willr(flat, 4), [nan] * 3 + [0.0] * 9)
    assert_bits_equal(k.stochf(flat, 4, 2, 0)[0], [nan] * 3 + [50.0] * 9)
    assert np.isnan(k.stoch(flat, 4, 2, 0, 2, 0)).all()

    # A NaN high at row 2 sits behind the larger high of row 1; at row 3 (p =
    # 2) it is the deque's front, so stochf writes 50 and willr NaN, while
    # the slow stochastic folds it away and takes the high of row 3.
    c = np.zeros((6, 6))
    c[:, 2] = [1.0, 4.0, 3.0, 2.0, 1.0, 2.0]
    c[:, 3], c[:, 4] = c[:, 2] + 1, c[:, 2] - 1
    c[2, 3] = nan
    assert k.stochf(c, 2, 1, 0)[0][3] == 50.0
    assert math.isnan(k.willr(c, 2)[3])
    assert k.stoch(c, 2, 1, 0, 1, 0)[0][3] == ((2.0 - 1.0) * 100) / (3.0 - 1.0)

    rng = np.random.default_rng(5)
    r = rng.normal(100, 1, size=(30, 6))
    for p in (31, HUGE):
        assert all(np.isnan(v).all() for v in k.stoch(r, p, 3, 0, 3, 0))
        assert all(np.isnan(v).all() for v in k.stochf(r, p, 3, 0))
        assert np.isnan(k.willr(r, p)).all()
    # Huge smoothing windows give NaN, not a failure.
    assert np.isnan(k.stoch(r, 5, HUGE, 0, 3, 0)).all()
    assert np.isnan(k.stochf(r, 5, HUGE, 0)[1]).all()
    # The moving-average types are accepted and ignored.
    assert_bits_equal(k.stoch(r, 5, 3, 7, 3, HUGE), k.stoch(r, 5, 3, 0, 3, 0))
    assert_bits_equal(k.stochf(r, 5, 3, 9), k.stochf(r, 5, 3, 0))
    with pytest.raises(OverflowError):
        k.stoch(r, 5, 3, -1, 3, 0)
    with pytest.raises(TypeError, match="argument 'fastd_matype'"):
        k.stochf(r, 5, 3, 1.5)


def test_wt_cases():
    rng = np.random.default_rng(6)
    c = rng.normal(100, 1, size=(40, 6))
    close_wt = k.wt(c, 9, 12, 3, 53.0, -53.0, "close")
    for name in ("median", "", "hl2", "HLC3", "Close"):  # exact names; hl2 is not one of them
        assert_bits_equal(k.wt(c, 9, 12, 3, 53.0, -53.0, name)[0], close_wt[0])
    assert close_wt[1][0] == close_wt[0][0]
    assert (k.wt(c, 9, 12, 0, 1.0, -1.0, "close")[1] == 0).all()  # ml 0: wt2 all zeros
    for cl, al, ml in ((9, 12, HUGE), (0, 0, 40), (HUGE, HUGE, 1)):  # ml beyond n: growing mean throughout
        check_wt(c, cl, al, ml)
    assert all(len(v) == 0 for v in k.wt(np.zeros((0, 6)), 9, 12, 3, 53.0, -53.0, "close"))
    assert (k.wt(np.full((10, 6), 5.0), 3, 4, 2, 0.0, 0.0, "close")[0] == 0).all()  # de == 0: ci = 0


def test_errors():
    r = np.random.default_rng(7).normal(100, 1, size=(10, 6))
    narrow = np.ascontiguousarray(r[:, :4])
    for call in (
        lambda m: k.stoch(m, 3, 3, 0, 3, 0),
        lambda m: k.stoch(m, 0, 3, 0, 3, 0),
        lambda m: k.stochf(m, 3, 3, 0),
        lambda m: k.willr(m, 3),
        lambda m: k.wt(m, 3, 3, 3, 1.0, -1.0, "close"),
    ):
        with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
            call(narrow)
    # Fewer rows than the period: the columns are not looked at.
    assert np.isnan(k.willr(narrow, 11)).all() and np.isnan(k.stochf(narrow, 11, 1, 0)).all()
    for call in (lambda: k.willr(r, 0), lambda: k.stochf(r, 0, 3, 0)):
        with pytest.raises(k.InternalError):
            call()
    assert np.isnan(k.stoch(r, 0, 3, 0, 3, 0)).all()
    with pytest.raises(TypeError, match="argument 'source_type'"):
        k.wt(r, 3, 3, 3, 1.0, -1.0, None)
