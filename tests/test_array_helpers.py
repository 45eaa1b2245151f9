"""Array helpers: row lookup, moving deviation (whose window sum depends on
the input's memory layout) and shift, bit for bit against plain Python."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from references.array_helpers import ref_moving_std
from support import assert_bits_equal, bits

nan = math.nan
HUGE = 2**64 - 1
I64 = 2**63



def test_find_order_index():
    orders = np.array([[1.0, 2.0, 3.0], [4.0, nan, 6.0], [7.0, -0.0, 9.0], [7.0, 0.0, 9.0]])
    assert k.find_order_index(orders, np.array([7.0, 0.0, 9.0])) == 2  # -0.0 == 0.0, first match wins
    assert k.find_order_index(orders, np.array([4.0, nan, 6.0])) == -1  # NaN never matches
    assert k.find_order_index(orders, np.array([1.0, 2.0])) == -1  # length mismatch
    assert k.find_order_index(orders[:0], np.array([1.0, 2.0, 3.0])) == -1
    assert k.find_order_index(np.empty((3, 0)), np.empty(0)) == 0  # empty comparison is all-true
    assert k.find_order_index(np.asfortranarray(orders)[::-1], np.array([1.0, 2.0, 3.0])) == 3
    assert k.find_order_index(orders[:, ::2], np.array([7.0, 9.0])[::-1][::-1]) == 2
    assert isinstance(k.find_order_index(orders, np.array([0.0, 0.0, 0.0])), int)


@pytest.mark.parametrize("p", [1, 2, 7, 8, 9, 16, 23])
def test_moving_std_with_nan_and_inf(p, daily_candles):
    """Layouts, which decide the last bits, are the table-driven test's
    (tests/test_table.py)."""
    rng = np.random.default_rng(p)
    for x in (rng.lognormal(0, 4, 120), daily_candles[:400, 2].copy()):
        x[rng.random(len(x)) < 0.02] = nan
        x[rng.random(len(x)) < 0.01] = np.inf
        assert_bits_equal(k.moving_std(x, p), ref_moving_std(x, p, "contiguous"))


def test_moving_std_layout_changes_last_bits():
    # Windows of eight or more values are summed in lanes only when the input
    # is unit-step; a strided view of the same values rounds differently.
    x = np.random.default_rng(1).lognormal(0, 4, 300)
    contiguous, strided = k.moving_std(x, 12), k.moving_std(np.repeat(x, 2)[::2], 12)
    assert (bits(contiguous) != bits(strided)).any()


def test_moving_std_edges():
    x = np.array([1.0, 2.0, nan, 4.0, 5.0])
    assert_bits_equal(k.moving_std(x, 1), [0.0, 0.0, nan, 0.0, 0.0])
    assert_bits_equal(k.moving_std(x, 2), [nan, 0.5, nan, nan, 0.5])
    assert_bits_equal(k.moving_std(np.full(20, 0.25), 10)[9:], [0.0] * 11)
    for p in (0, 6, HUGE):
        assert np.isnan(k.moving_std(x, p)).all()
    assert k.moving_std(np.empty(0), 3).shape == (0,)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.floats(width=64), max_size=30), st.integers(0, 12))
def test_moving_std_random(xs, p):
    x = np.array(xs, dtype=np.float64)
    with np.errstate(all="ignore"):
        assert_bits_equal(k.moving_std(x, p), ref_moving_std(x.tolist(), p, "contiguous"))


def test_shift():
    x = np.array([1.0, -0.0, 3.0, 4.0, 5.0])
    # A NaN with a payload and -0.0 move as bit patterns.
    x[3] = np.frombuffer(np.uint64(0x7FF8_0000_DEAD_BEEF).tobytes(), dtype=np.float64)[0]
    n = len(x)
    for view in (x, x[::-1].copy()[::-1], np.column_stack([x, x])[:, 1]):
        for k_ in range(-n - 1, n + 2):
            got = k.shift(view, k_)
            src = np.arange(n) - k_  # where each output value comes from
            copied = (src >= 0) & (src < n)
            assert (bits(got)[copied] == bits(x)[src[copied]]).all()
            assert np.isnan(got[~copied]).all()
    same = k.shift(x, 0)
    assert (bits(same) == bits(x)).all() and not np.shares_memory(same, x)
    for extreme in (I64 - 1, -I64):
        assert np.isnan(k.shift(x, extreme)).all()
    with pytest.raises(OverflowError):
        k.shift(x, I64)
    with pytest.raises(TypeError, match="argument 'periods'"):
        k.shift(x, 1.0)
    assert k.shift(np.empty(0), -3).shape == (0,)
