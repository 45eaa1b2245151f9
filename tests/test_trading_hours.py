"""Session membership and candle filtering against NumPy: searchsorted for
membership, boolean-mask indexing for the filtered rows."""
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from support import bits

I64 = np.iinfo(np.int64)


def ref_mask(ts, starts, ends):
    """t is inside when the last start at or before it has its end after t."""
    ts = np.asarray(ts, dtype=np.int64)
    c = np.searchsorted(starts, ts, side="right")
    inside = c > 0
    ends_before = np.where(inside, ends[np.maximum(c - 1, 0)] if len(ends) else 0, 0)
    return inside & (ts < ends_before)


def i64(*xs):
    return np.array(xs, dtype=np.int64)


@st.composite
def sessions(draw):
    """Sorted starts (duplicates allowed), arbitrary ends, and timestamps in
    any order, concentrated around the bounds."""
    raw = draw(st.lists(st.integers(-1000, 1000), max_size=30))
    starts = np.sort(np.array(raw, dtype=np.int64))
    ends = starts + np.array(draw(st.lists(st.integers(-5, 60), min_size=len(raw), max_size=len(raw))), dtype=np.int64)
    bounds = list(starts) + list(ends)
    near = st.sampled_from(bounds).flatmap(lambda b: st.integers(b - 2, b + 2)) if bounds else st.integers(-1100, 1100)
    ts = draw(st.lists(st.one_of(near, st.integers(-1100, 1100)), max_size=200))
    return np.array(ts, dtype=np.int64), starts, ends


@settings(max_examples=300, deadline=None)
@given(sessions(), st.booleans())
def test_membership_matches_searchsorted(session, sort_first):
    ts, starts, ends = session
    if sort_first:
        ts = np.sort(ts)
    expected = ref_mask(ts, starts, ends)
    got = k.trading_hours_mask(ts, starts, ends)
    assert got.dtype == np.bool_ and got.shape == ts.shape
    np.testing.assert_array_equal(got, expected)
    # strided and reversed timestamp views are read in place
    m = np.stack([ts, ts]).T.copy()
    np.testing.assert_array_equal(k.trading_hours_mask(m[:, 1], starts, ends), expected)
    np.testing.assert_array_equal(k.trading_hours_mask(ts[::-1], starts, ends), expected[::-1])


def test_bounds_and_duplicates():
    starts, ends = i64(10, 20, 20, 40), i64(15, 25, 30, 50)
    ts = i64(9, 10, 14, 15, 19, 20, 25, 29, 30, 40, 49, 50, 10**12, -(10**12))
    # start inside, end outside; of equal starts the last one's end decides
    expected = [0, 1, 1, 0, 0, 1, 1, 1, 0, 1, 1, 0, 0, 0]
    np.testing.assert_array_equal(k.trading_hours_mask(ts, starts, ends), np.array(expected, bool))
    # descending timestamps walk the cursor backwards every step
    np.testing.assert_array_equal(k.trading_hours_mask(ts[::-1].copy(), starts, ends), np.array(expected[::-1], bool))


def test_extreme_values():
    starts, ends = i64(I64.min, 0, I64.max), i64(-5, 10, I64.max)
    ts = i64(I64.min, -6, -5, 0, 9, 10, I64.max - 1, I64.max)
    got = k.trading_hours_mask(ts, starts, ends)
    np.testing.assert_array_equal(got, ref_mask(ts, starts, ends))
    assert got.tolist() == [True, True, False, True, True, False, False, False]


def test_empty_inputs():
    empty = i64()
    assert k.trading_hours_mask(empty, i64(1), i64(2)).shape == (0,)
    assert not k.trading_hours_mask(i64(1, 2, 3), empty, empty).any()
    out = k.filter_candles_by_intervals(np.ones((3, 7)), i64(1, 2, 3), empty, empty)
    assert out.shape == (0, 7) and out.dtype == np.float64
    out = k.filter_candles_by_intervals(np.ones((0, 6)), empty, i64(0), i64(5))
    assert out.shape == (0, 6)


def test_validation_order_and_messages():
    ts, s, e = i64(1, 2), i64(0, 5), i64(3, 9)
    strided = i64(0, 0, 5, 0)[::2]
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        k.trading_hours_mask(ts, strided, e)
    with pytest.raises(TypeError, match=r"^The given array is not contiguous$"):
        k.trading_hours_mask(ts, s, i64(9, 3)[::-1])
    # contiguity is checked before the lengths
    with pytest.raises(TypeError, match="not contiguous"):
        k.trading_hours_mask(ts, i64(0), i64(3, 3, 9, 9)[::2])
    sorted_msg = r"^interval starts and ends must have equal lengths and starts must be sorted$"
    for starts, ends in [(i64(0, 5), i64(3)), (i64(5, 0), i64(9, 3))]:
        with pytest.raises(ValueError, match=sorted_msg):
            k.trading_hours_mask(ts, starts, ends)
        with pytest.raises(ValueError, match=sorted_msg):
            k.filter_candles_by_intervals(np.zeros((2, 6)), ts, starts, ends)
    # the row count is checked before the intervals
    with pytest.raises(ValueError, match=r"^one timestamp is required per candle row$"):
        k.filter_candles_by_intervals(np.zeros((3, 6)), ts, strided, e)
    # a single element is contiguous whatever its stride
    assert k.trading_hours_mask(ts, i64(0, 0)[::2], i64(3, 0)[::2]).tolist() == [True, True]
    with pytest.raises(TypeError, match="argument 'starts': type mismatch"):
        k.trading_hours_mask(ts, s.astype(np.float64), e)
    with pytest.raises(TypeError, match="argument 'timestamps': dimensionality mismatch"):
        k.trading_hours_mask(ts.reshape(1, 2), s, e)


def special_candles(rng, n, m):
    c = rng.standard_normal((n, m))
    flat = c.reshape(-1).view(np.uint64)
    if flat.size == 0:
        return c
    picks = rng.integers(0, flat.size, size=max(1, flat.size // 10))
    payloads = np.array([0x7FF8000000000001, 0xFFF0000000000ABC, 0x7FF4000000000000, 0x8000000000000000],
                        dtype=np.uint64)
    flat[picks] = payloads[rng.integers(0, len(payloads), picks.size)]
    return c


@settings(max_examples=150, deadline=None)
@given(sessions(), st.integers(1, 9), st.sampled_from(["c", "fortran", "rows", "cols", "reversed"]),
       st.integers(0, 2**32 - 1))
def test_filter_matches_boolean_indexing(session, m, layout, seed):
    ts, starts, ends = session
    rng = np.random.default_rng(seed)
    n = len(ts)
    if layout == "c":
        candles = special_candles(rng, n, m)
    elif layout == "fortran":
        candles = np.asfortranarray(special_candles(rng, n, m))
    elif layout == "rows":
        candles = special_candles(rng, 2 * n, m)[::2]
    elif layout == "cols":
        candles = special_candles(rng, n, 2 * m)[:, ::2]
    else:
        candles = special_candles(rng, n, m)[::-1, ::-1]
    expected = candles[ref_mask(ts, starts, ends)]
    got = k.filter_candles_by_intervals(candles, ts, starts, ends)
    assert got.shape == expected.shape and got.dtype == np.float64
    assert got.flags.c_contiguous and got.flags.owndata
    # bit patterns, NaN payloads and -0.0 included
    np.testing.assert_array_equal(bits(got), bits(expected))
    if got.size:
        assert not np.shares_memory(got, candles)


def test_filter_real_candles(minute_candles):
    ts = minute_candles[:, 0].astype(np.int64)
    day = 86_400_000
    first = ts[0] - ts[0] % day
    # two sessions a day, 13:30-20:00 and 01:00-03:00
    starts = np.array([d + o for d in range(first, ts[-1] + day, day) for o in (3_600_000, 48_600_000)], np.int64)
    ends = starts + np.tile(np.array([7_200_000, 23_400_000], np.int64), len(starts) // 2)
    expected = minute_candles[ref_mask(ts, starts, ends)]
    got = k.filter_candles_by_intervals(minute_candles, ts, starts, ends)
    assert 0 < len(got) < len(minute_candles)
    np.testing.assert_array_equal(bits(got), bits(expected))
