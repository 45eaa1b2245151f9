"""Core averages against plain-Python re-statements of their recurrences,
bit for bit, on examples and random series (hypothesis); layouts, hostile series
and real candles are the table-driven test's (tests/test_table.py)."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import korva_rust as k
from references.core_averages import (
    ref_dema,
    ref_ema,
    ref_rma,
    ref_sma,
    ref_smma,
    ref_tema,
    ref_wilders,
    ref_wma,
    ref_zlema,
)
from support import assert_bits_equal, hostile_series, lane_periods

nan = math.nan

CASES = [
    (k.sma, ref_sma), (k.ema, ref_ema), (k.smma, ref_smma), (k.rma, ref_rma),
    (k.wilders, ref_wilders), (k.wma, ref_wma), (k.dema, ref_dema), (k.tema, ref_tema),
    (k.zlema, ref_zlema),
]
CASE_IDS = [f.__name__ for f, _ in CASES]


def test_documented_examples():
    assert_bits_equal(k.sma(np.array([1, 2, nan, 4.0]), 2), [nan, 1.5, 2.0, 4.0])
    assert k.rma(np.array([1, 2, 3.0]), 2)[0] == 2.0
    assert k.wilders(np.array([1, 2, 3.0]), 2)[0] == 1.0
    out = k.smma(np.array([1, 2, 3, 4, 5.0]), 3)
    assert np.isnan(out[:2]).all() and out[2] == 2.0
    assert np.isnan(k.ema(np.arange(3.0), 4)).all()
    assert k.ema(np.arange(3.0), 3)[0] == 0.0
    assert np.isnan(k.zlema(np.arange(5.0), 5)).all()
    assert not np.isnan(k.zlema(np.arange(5.0), 4)[-1])
    assert_bits_equal(k.sma(np.array([nan, nan, 1.0, 2.0]), 2), [nan, nan, 1.0, 1.5])
    # dema/tema of a constant: the stated operation order, which for these
    # finite constants happens to give the constant back.
    c = np.full(50, 3.7)
    assert_bits_equal(k.dema(c, 9), ref_dema(list(c), 9))
    assert_bits_equal(k.tema(c, 9), ref_tema(list(c), 9))


def test_errors_and_degenerate_parameters():
    for fn in (k.sma_last, k.ema_last):
        with pytest.raises(IndexError, match=r"^index -1 is out of bounds for axis 0 with size 0$"):
            fn(np.array([]), 3)
    for bad in (lambda: k.smma(np.arange(3.0), 0), lambda: k.rma(np.array([]), 3),
                lambda: k.zlema(np.arange(3.0), 0)):
        with pytest.raises(k.InternalError):
            bad()
    assert k.zlema(np.array([]), 0).shape == (0,)
    assert np.isnan(k.sma(np.arange(5.0), 0)).all()
    assert np.isnan(k.wma(np.arange(5.0), 0)).all()
    assert np.isnan(k.sma_last(np.arange(5.0), 0))
    assert_bits_equal(k.ema(np.arange(4.0), 0), ref_ema([0.0, 1.0, 2.0, 3.0], 0))
    assert_bits_equal(k.rma(np.arange(4.0), 0), ref_rma([0.0, 1.0, 2.0, 3.0], 0))
    huge = 2**64 - 1
    x = np.arange(10.0)
    for fn in (k.sma, k.ema, k.wma, k.zlema, k.smma):
        assert np.isnan(fn(x, huge)).all()
    assert np.isnan(k.sma_last(x, huge)) and np.isnan(k.ema_last(x, huge))
    for fn in (k.dema, k.tema, k.wilders, k.rma):
        assert np.isfinite(fn(x, huge)).all()


def test_results_are_fresh_owned_arrays():
    x = np.arange(10.0)
    for fn in (k.sma, k.ema, k.wma, k.wilders, k.dema):
        out = fn(x, 3)
        assert out.dtype == np.float64 and out.flags.c_contiguous and out.flags.writeable
        assert out.flags.owndata and not np.shares_memory(out, x)
    assert type(k.sma_last(x, 3)) is float and type(k.ema_last(x, 3)) is float


# Long enough for whole blocks of vector lanes plus a ragged end.
series = hnp.arrays(
    np.float64, st.integers(0, 100),
    elements=st.one_of(st.floats(-1e6, 1e6, allow_nan=False), st.sampled_from([nan, math.inf, -math.inf])),
)


# Layouts are the table-driven test's (tests/test_table.py); here the values
# and periods vary, the last forms included.
@settings(max_examples=200, deadline=None)
@given(x=series, p=st.integers(0, 70))
def test_against_references_on_random_series(x, p):
    xs = x.tolist()
    for fn, ref in CASES:
        if (fn is k.smma and p == 0) or (fn is k.zlema and p == 0 and len(x) > 0):
            continue  # internal errors, checked above
        if fn is k.rma and not xs:
            continue
        if fn is k.wilders and p == 0:
            continue
        assert_bits_equal(fn(x, p), ref(xs, p))
    if xs:
        assert_bits_equal([k.sma_last(x, p), k.ema_last(x, p)], [k.sma(x, p)[-1], k.ema(x, p)[-1]])


@settings(max_examples=60, deadline=None)
@given(x=hostile_series(), p=st.sampled_from(lane_periods))
def test_recurrences_on_long_hostile_series(x, p):
    xs = x.tolist()
    for fn, ref in CASES:
        if fn in (k.sma, k.wma, k.zlema) or (fn is k.ema and p > len(xs)):
            continue
        assert_bits_equal(fn(x, p), ref(xs, p))
    assert_bits_equal([k.ema_last(x, p)], ref_ema(xs, p)[-1:])
    # sma_last sums as if there were no NaN and redoes the walk when it met one.
    assert_bits_equal([k.sma_last(x, p)], [k.sma(x, p)[-1]])
