"""Volume-weighted averages against plain-Python re-statements, bit for bit:
anchored VWAP (period keys, restarts, price sources, `sequential`) and the
prefix-sum VWMA, on examples, random candles (hypothesis) and real candles."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import korva_rust as k
from references.volume_averages import DAY_MS, ref_vwap, ref_vwma
from support import assert_bits_equal

nan = math.nan
def candles(ts, close, volume, high=None, low=None):
    n = len(ts)
    c = np.zeros((n, 6))
    c[:, 0] = ts
    c[:, 1] = close
    c[:, 2] = close
    c[:, 3] = close if high is None else high
    c[:, 4] = close if low is None else low
    c[:, 5] = volume
    return c


def test_vwap_restarts_at_each_anchor_period():
    # Rows every six hours across two UTC days; the day changes at row 4.
    ts = [DAY_MS + h * 3_600_000 for h in (0, 6, 12, 23)] + [2 * DAY_MS, 2 * DAY_MS + 1]
    close = [1.0, 2.0, 3.0, 4.0, 10.0, 20.0]
    c = candles(ts, close, [1.0, 1.0, 2.0, 1.0, 3.0, 1.0])
    out = k.vwap(c, "close", "D", True)
    assert out[4] == 10.0 and out[5] == (10.0 * 3.0 + 20.0) / 4.0
    assert out[3] == (((1.0 + 2.0) + 6.0) + 4.0) / 5.0
    for same in ("d", "Q", "", "day", "\u00df"):
        assert_bits_equal(k.vwap(c, "close", same, True), out)
    assert_bits_equal(k.vwap(c, "close", "h", True), k.vwap(c, "close", "H", True))
    last = k.vwap(c, "close", "D", False)
    assert last.shape == (1,) and last[0] == out[-1]
    for seq in (True, False):
        empty = k.vwap(np.zeros((0, 6)), "close", "D", seq)
        assert empty.shape == (0,) and empty.dtype == np.float64


def test_vwap_month_is_thirty_days_from_the_epoch():
    day = [d * DAY_MS for d in (28, 29, 30, 31, 59, 60)]  # a calendar month starts at day 31
    c = candles(day, [1.0, 2.0, 3.0, 4.0, 5.0, 6.0], [1.0] * 6)
    out = k.vwap(c, "close", "MN", True)
    assert_bits_equal(out, [1.0, 1.5, 3.0, 3.5, (((3.0 + 4.0) + 5.0) / 3.0), 6.0])
    # Weeks start on Thursdays: the epoch was one.
    week = candles([6 * DAY_MS, 7 * DAY_MS, 8 * DAY_MS], [1.0, 3.0, 5.0], [1.0] * 3)
    assert_bits_equal(k.vwap(week, "close", "W", True), [1.0, 3.0, 4.0])


def test_vwap_zero_volume_and_returns_to_earlier_periods():
    c = candles([0, 1000, 2000, 3000], [5.0, 6.0, 7.0, 8.0], [0.0, 0.0, 2.0, 1.0])
    assert_bits_equal(k.vwap(c, "close", "D", True), [nan, nan, 7.0, (14.0 + 8.0) / 3.0])
    # Day 0, day 1, day 0 again: the third row starts a new accumulation.
    back = candles([0, DAY_MS, 5], [1.0, 2.0, 3.0], [1.0, 1.0, 1.0])
    assert_bits_equal(k.vwap(back, "close", "D", True), [1.0, 2.0, 3.0])
    # Negative timestamps divide toward zero, so -1 s and +1 s share day 0;
    # NaN and out-of-range timestamps saturate instead of failing.
    odd = candles([-1000.0, 1000.0, nan, 1e30, -1e30], [1.0, 3.0, 5.0, 7.0, 9.0], [1.0] * 5)
    assert_bits_equal(k.vwap(odd, "close", "D", True), ref_vwap(odd, "close", "D"))
    assert k.vwap(odd, "close", "D", True)[1] == 2.0


def test_vwma_examples():
    c = candles(np.arange(5.0), [1.0, 2.0, 3.0, 4.0, 5.0], [2.0, 1.0, 1.0, 0.0, 0.0])
    out = k.vwma(c, 3)
    assert out[0] == (1.0 * 2.0) / 2.0
    assert out[1] == (2.0 + 2.0) / 3.0
    assert out[2] == ((2.0 + 2.0) + 3.0) / 4.0
    assert out[3] == (((2.0 + 2.0) + 3.0) + 0.0 - 2.0) / ((((2.0 + 1.0) + 1.0) + 0.0) - 2.0)
    assert math.isnan(k.vwma(c, 2)[4])  # the last two volumes sum to 0
    assert np.isnan(k.vwma(c, 0)).all()
    assert_bits_equal(k.vwma(c, 2**64 - 1), ref_vwma(c, 5))


def test_column_count():
    c = np.ones((4, 5))
    for bad in (lambda: k.vwap(c, "close", "D", True), lambda: k.vwma(c, 3),
                lambda: k.vwap(c[:, :2], "hl2", "D", False)):
        with pytest.raises(k.InternalError, match=r"^assertion failed: index < dim$"):
            bad()
    assert k.vwap(np.ones((0, 5)), "close", "D", True).shape == (0,)
    assert k.vwma(np.ones((0, 5)), 3).shape == (0,)


candle_sets = st.integers(0, 40).flatmap(lambda n: st.tuples(
    hnp.arrays(np.float64, n, elements=st.integers(-3, 3 * 24 * 4).map(lambda q: q * 900_000.0)),
    hnp.arrays(np.float64, (n, 4), elements=st.one_of(st.floats(1.0, 1e3), st.just(nan))),
    hnp.arrays(np.float64, n, elements=st.one_of(st.floats(0.0, 1e4), st.just(0.0), st.just(-1.0), st.just(nan))),
))


@settings(max_examples=200, deadline=None)
@given(parts=candle_sets, p=st.integers(0, 45),
       name=st.sampled_from(["close", "HLC3", "ohlc4", "hl2", "open", "x"]),
       anchor=st.sampled_from(["H", "4h", "12H", "M", "W", "MN", "D", "y"]))
def test_against_references(parts, p, name, anchor):
    ts, prices, volume = parts
    ts = np.sort(ts)  # mostly ordered, with repeats
    c = np.column_stack([ts, prices, volume])
    expected = ref_vwap(c, name, anchor)
    assert_bits_equal(k.vwap(c, name, anchor, True), expected)
    assert_bits_equal(k.vwma(c, p), ref_vwma(c, p))
    if len(c):
        assert_bits_equal(k.vwap(c, name, anchor, False), expected[-1:])


@pytest.mark.parametrize("anchor", ["M", "H", "4H", "D", "W", "MN"])
def test_real_candles(anchor, minute_candles, daily_candles):
    for c in (minute_candles, daily_candles):
        assert_bits_equal(k.vwap(c, "hlc3", anchor, True), ref_vwap(c, "hlc3", anchor))

