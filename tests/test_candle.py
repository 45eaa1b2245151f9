"""Candle construction and repair: candle_from_one_minutes against NumPy's own
reductions, the rest against plain-Python loops, bit for bit."""
import math

import numpy as np
import pytest

import korva_rust as k
from references.candles import ref_emd, ref_heikin_ashi, ref_qstick
from support import assert_bits_equal, bits

nan = math.nan
OPEN, CLOSE, HIGH, LOW, VOLUME = 1, 2, 3, 4, 5


def numpy_candle(c):
    return np.array([c[0, 0], c[0, 1], c[-1, 2], c[:, 3].max(), c[:, 4].min(), c[:, 5].sum()])


def ref_pairwise(v, start, count):
    if count < 8:
        r = 0.0
        for i in range(count):
            r += v[start + i]
        return r
    if count <= 128:
        acc = list(v[start:start + 8])
        whole = count - count % 8
        for i in range(8, whole, 8):
            acc = [a + v[start + i + j] for j, a in enumerate(acc)]
        r = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]))
        for i in range(whole, count):
            r += v[start + i]
        return r
    half = (count // 16) * 8
    return ref_pairwise(v, start, half) + ref_pairwise(v, start + half, count - half)


def test_candle_from_one_minutes_equals_numpy_for_every_block_size():
    rng = np.random.default_rng(7)
    rows = 4320
    base = rng.standard_normal((rows, 6)) * 10.0 ** rng.integers(-4, 7, (rows, 6))
    base[:, 5] = np.abs(base[:, 5])
    with_nan = base.copy()
    with_nan[rng.integers(0, rows, 40), HIGH] = nan
    with_nan[rng.integers(0, rows, 40), LOW] = nan
    fortran = np.asfortranarray(base)  # contiguous columns: NumPy's SIMD reductions
    for n in range(1, rows + 1):
        for c in (base[:n], fortran[:n], with_nan[rows - n:]):
            assert_bits_equal(k.candle_from_one_minutes(c), numpy_candle(c))


def test_volume_block_rules():
    rng = np.random.default_rng(3)
    differs = 0
    for n in (1, 7, 8, 9, 16, 127, 128, 129, 255, 256, 1000, 4320, 5000):
        c = np.zeros((n, 6))
        c[:, VOLUME] = rng.random(n) * 10.0 ** rng.integers(-8, 9, n)
        vol = c[:, VOLUME].tolist()
        expected = ref_pairwise(vol, 0, n)
        got = k.candle_from_one_minutes(c)[5]
        assert got == expected
        assert got == c[:, VOLUME].sum()
        differs += expected != sum(vol)
    assert differs  # the block order is visible in the bits


def test_signed_zeros_and_nan():
    c = np.zeros((1, 6))
    c[0, VOLUME] = -0.0
    assert str(k.candle_from_one_minutes(c)[5]) == "0.0"  # +0.0 + -0.0
    for n, sign in ((7, "0.0"), (8, "-0.0"), (300, "-0.0")):
        c = np.zeros((n, 6))
        c[:, VOLUME] = -0.0
        assert str(k.candle_from_one_minutes(c)[5]) == sign
    c = np.zeros((2, 6))
    c[:, HIGH] = [0.0, -0.0]
    c[:, LOW] = [-0.0, 0.0]
    r = k.candle_from_one_minutes(c)
    assert str(r[3]) == "0.0" and str(r[4]) == "-0.0"  # ties keep the earlier value
    c = np.zeros((50, 6))
    c[:, HIGH], c[:, LOW] = -1.0, 1.0
    c[[7, 20], HIGH] = [-0.0, 0.0]
    c[[5, 30], LOW] = [0.0, -0.0]
    r = k.candle_from_one_minutes(c)
    assert str(r[3]) == "-0.0" and str(r[4]) == "0.0"
    c = np.ones((4, 6))
    c[:, HIGH] = [1.0, nan, 5.0, 2.0]
    c[:, LOW] = [1.0, 0.5, 0.2, nan]
    r = k.candle_from_one_minutes(c)
    assert math.isnan(r[3]) and math.isnan(r[4])


def test_candle_from_one_minutes_errors():
    with pytest.raises(ValueError, match="^No candles were passed$"):
        k.candle_from_one_minutes(np.zeros((0, 6)))
    with pytest.raises(k.InternalError, match="index < dim"):
        k.candle_from_one_minutes(np.zeros((3, 5)))


def ref_fix_jumped_candle(prev, cur):
    """One candle repaired against the previous one."""
    cur = cur.copy()
    pc, o = prev[CLOSE], cur[OPEN]
    if pc < o:
        cur[OPEN] = pc
        if pc < cur[LOW]:
            cur[LOW] = pc
    elif pc > o:
        cur[OPEN] = pc
        if pc > cur[HIGH]:
            cur[HIGH] = pc
    return cur


def ref_fix_jumped_candles(c):
    c = c.copy()
    for i in range(1, len(c)):
        c[i] = ref_fix_jumped_candle(c[i - 1], c[i])
    return c


def test_fix_jumped_candles_real_data(minute_candles):
    c = minute_candles.copy()
    # open each candle away from the previous close in both directions
    c[1::3, OPEN] += 1e-4
    c[2::3, OPEN] -= 1e-4
    expected = ref_fix_jumped_candles(c)
    assert (expected != c).any(axis=1).sum() > 1000
    assert k.fix_jumped_candles(c) is None
    np.testing.assert_array_equal(bits(c), bits(expected))
    # already repaired data is a fixed point
    again = c.copy()
    k.fix_jumped_candles(again)
    np.testing.assert_array_equal(bits(again), bits(c))


def test_fix_jumped_candles_views_and_nan():
    rng = np.random.default_rng(5)
    big = rng.random((40, 8))
    big[3, CLOSE] = nan
    big[7, OPEN] = nan
    big[9, OPEN] = big[8, CLOSE]
    for view in (big[::2, :6], np.asfortranarray(big)[::-1], big[:, :5]):
        expected = ref_fix_jumped_candles(view)
        untouched = big.copy()
        k.fix_jumped_candles(view)  # written through the view
        np.testing.assert_array_equal(bits(view), bits(expected))
        big[...] = untouched
    one = np.array([[0.0, 5.0, 1.0, 6.0, 0.5, 1.0]])
    k.fix_jumped_candles(one)
    assert one.tolist() == [[0.0, 5.0, 1.0, 6.0, 0.5, 1.0]]
    k.fix_jumped_candles(np.zeros((0, 6)))


def test_fix_jumped_candles_refusals():
    c = np.arange(24.0).reshape(4, 6)
    before = c.copy()
    c.flags.writeable = False
    with pytest.raises(k.InternalError, match="NotWriteable"):
        k.fix_jumped_candles(c)
    np.testing.assert_array_equal(c, before)
    narrow = np.arange(16.0).reshape(4, 4)
    narrow_before = narrow.copy()
    with pytest.raises(k.InternalError, match="index < dim"):
        k.fix_jumped_candles(narrow)
    np.testing.assert_array_equal(narrow, narrow_before)
    # the failed call released its borrow
    c.flags.writeable = True
    k.fix_jumped_candles(c)



def test_heikin_ashi(daily_candles):
    c = daily_candles.copy()
    c[10, HIGH] = nan
    c[20, LOW] = nan
    c[30, OPEN] = nan
    rows = c.tolist()
    for got, expected in zip(k.heikin_ashi_candles(c), ref_heikin_ashi(rows)):
        assert_bits_equal(got, expected)
    assert not math.isnan(k.heikin_ashi_candles(c)[2][10])  # a NaN high is ignored
    assert [a.tolist() for a in k.heikin_ashi_candles(c[:0])] == [[]] * 4
    assert all(math.isnan(a[0]) and a.shape == (1,) for a in k.heikin_ashi_candles(c[:1]))
    with pytest.raises(k.InternalError, match="index < dim"):
        k.heikin_ashi_candles(c[:, :4])



def test_qstick(daily_candles):
    rows = daily_candles.tolist()
    for p in (0, 1, 2, 14, 200, len(rows), len(rows) + 1, 2**64 - 1):
        assert_bits_equal(k.qstick(daily_candles, p), ref_qstick(rows, p))
    assert_bits_equal(k.qstick(daily_candles[::-3], 7), ref_qstick(daily_candles[::-3].tolist(), 7))
    # narrow matrices only matter when something is computed
    assert k.qstick(np.zeros((3, 2)), 5).tolist() == [0.0, 0.0, 0.0]
    with pytest.raises(k.InternalError, match="index < dim"):
        k.qstick(np.zeros((3, 2)), 2)



def test_emd(daily_candles, minute_candles):
    for c, period, delta, fraction in ((daily_candles, 20, 0.5, 0.1), (minute_candles[:3000], 7, 0.3, 0.25),
                                       (daily_candles[:60], 40, 0.5, 0.1), (daily_candles[::-2], 3, 0.1, 1.0)):
        got = k.emd(c, period, delta, fraction)
        for g, e in zip(got, ref_emd(c.tolist(), period, delta, fraction)):
            assert_bits_equal(g, e)
    upper, middle, lower = k.emd(daily_candles[:49], 5, 0.5, 0.1)
    assert np.isnan(upper).all() and np.isnan(lower).all() and not np.isnan(middle[9:]).any()
    # a period too large to double is longer than any input, not a wrapped window
    upper, middle, lower = k.emd(daily_candles[:80], 2**63, 0.5, 0.1)
    assert np.isnan(middle).all()
    assert [a.shape for a in k.emd(daily_candles[:0], 5, 0.5, 0.1)] == [(0,)] * 3
    with pytest.raises(k.InternalError, match="index < dim"):
        k.emd(daily_candles[:, :4], 5, 0.5, 0.1)
