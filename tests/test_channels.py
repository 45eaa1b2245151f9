"""Channels and stops (Chandelier exit, Choppiness index, Donchian channels,
inner Keltner) against plain-Python re-statements, bit for bit, on documented
cases, random candles (hypothesis) and real candles."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from conftest import assert_bits_equal

nan = math.nan
HUGE = 2**64 - 1


def max_num(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    if a == b:
        return b if math.copysign(1, a) < 0 else a
    return max(a, b)


def true_range(high, low, close):
    return [high[0] - low[0]] + [
        max_num(max_num(high[i] - low[i], abs(high[i] - close[i - 1])), abs(low[i] - close[i - 1]))
        for i in range(1, len(close))
    ]


def div(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def columns(c):
    return c[:, 2].tolist(), c[:, 3].tolist(), c[:, 4].tolist()


def window_extreme(x, p, keep_max):
    """Front of the monotonic deque after each row p-1 .. n-1 (list of n, None before)."""
    dq, out = [], [None] * len(x)
    for j, v in enumerate(x):
        if j >= p:
            while dq and dq[0][0] <= j - p:
                dq.pop(0)
        while dq and (v >= dq[-1][1] if keep_max else v <= dq[-1][1]):
            dq.pop()
        dq.append((j, v))
        if j >= p - 1:
            out[j] = dq[0][1]
    return out


def ref_atr(c, p):
    close, high, low = columns(c)
    tr, n = true_range(high, low, close), len(close)
    out = [nan] * n
    s = 0.0 + tr[0]
    for v in tr[1:p]:
        s += v
    out[p - 1] = s / p
    for i in range(p, n):
        out[i] = out[i - 1] + (1.0 / p) * (tr[i] - out[i - 1])
    return out


def ref_wilder_atr(high, low, close, p):
    tr, n = true_range(high, low, close), len(close)
    out = [nan] * n
    if n < p:
        return out
    s = -0.0
    for v in tr[:p]:
        s += v
    out[p - 1] = s / p
    for i in range(p, n):
        out[i] = ((p + -1.0) * out[i - 1] + tr[i]) / p
    return out


def ref_chande(c, p, mult, direction):
    n = len(c)
    out = [nan] * n
    if n < p or direction not in ("long", "short"):
        return out
    close, high, low = columns(c)
    atr = ref_atr(c, p)
    ext = window_extreme(high if direction == "long" else low, p, direction == "long")
    for i in range(p - 1, n):
        out[i] = ext[i] - mult * atr[i] if direction == "long" else ext[i] + mult * atr[i]
    return out


def ref_chop(c, p, scalar, d):
    n = len(c)
    out = [nan] * n
    if n < p:
        return out
    close, high, low = columns(c)
    tr = true_range(high, low, close)
    if d == 1:
        a = tr
    else:
        a = [nan] * n
        s = 0.0
        for v in tr[:d]:
            s += v
        a[d - 1] = s / d
        r = 1.0 / d
        for i in range(d, n):
            a[i] = (1.0 - r) * a[i - 1] + r * tr[i]
    L = math.log10(p)
    s, hi, lo = 0.0, -math.inf, math.inf
    for j in range(p):
        if not math.isnan(a[j]):
            s += a[j]
        if high[j] > hi:
            hi = high[j]
        if low[j] < lo:
            lo = low[j]
    if s > 0 and hi - lo > 0:
        out[p - 1] = div(scalar * (math.log10(s) - math.log10(hi - lo)), L)
    mx, mn = window_extreme(high, p, True), window_extreme(low, p, False)
    for i in range(p, n):
        if not math.isnan(a[i]):
            s += a[i]
        if not math.isnan(a[i - p]):
            s -= a[i - p]
        rng = mx[i] - mn[i]
        if s > 0 and rng > 0:
            out[i] = div(scalar * (math.log10(s) - math.log10(rng)), L)
    return out


def ref_donchian(c, p):
    n = len(c)
    up, mid, lo = [nan] * n, [nan] * n, [nan] * n
    if n >= p:
        close, high, low = columns(c)
        mx, mn = window_extreme(high, p, True), window_extreme(low, p, False)
        for i in range(p - 1, n):
            up[i], lo[i] = mx[i], mn[i]
            mid[i] = (mx[i] + mn[i]) * 0.5
    return up, mid, lo


def check_all(c, p, drift=3):
    for direction in ("long", "short"):
        assert_bits_equal(k.chande(c, p, 2.5, direction), ref_chande(c, p, 2.5, direction))
    if len(c) >= drift >= 1:
        assert_bits_equal(k.chop(c, p, 100.0, drift), ref_chop(c, p, 100.0, drift))
    d = k.donchian(c, p)
    assert list(d) == ["upperband", "middleband", "lowerband"]
    for got, want in zip(d.values(), ref_donchian(c, p)):
        assert_bits_equal(got, want)


@pytest.mark.parametrize("candles", ["minute_candles", "daily_candles"])
def test_real_candles_match_references(candles, request):
    c = request.getfixturevalue(candles)[:3000]
    for rows in (c, c[::2], c[::-1]):  # strided and reversed row views are read in place
        for p in (1, 2, 14, 22):
            check_all(rows, p, drift=1 if p == 2 else p)
    close, high, low = (np.ascontiguousarray(c[:, j]) for j in (2, 3, 4))
    ma = k.sma(close, 20)
    up, mid, lo = k.keltner_inner(ma, high, low, close, 20, 2.0)
    atr = ref_wilder_atr(high.tolist(), low.tolist(), close.tolist(), 20)
    assert_bits_equal(mid, ma)
    assert_bits_equal(up, [m + 2.0 * a if not math.isnan(a) else nan for m, a in zip(ma, atr)])
    assert_bits_equal(lo, [m - 2.0 * a if not math.isnan(a) else nan for m, a in zip(ma, atr)])


@st.composite
def candles(draw, max_rows=50):
    """Random-walk candles (sometimes flat, sometimes with repeated prices and
    signed zeros) with NaN prices at drawn cells."""
    n = draw(st.integers(0, max_rows))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(["walk", "flat", "ties"]))
    close = 50 + np.cumsum(rng.normal(size=n))
    spread = rng.exponential(size=n)
    if kind == "flat":
        spread[:] = 0
    c = np.zeros((n, 6))
    c[:, 2], c[:, 3], c[:, 4] = close, close + spread, close - spread
    if kind == "ties":  # repeated values and zeros of both signs
        c[:, 2:5] = rng.integers(-1, 2, size=(n, 3))
        c[:, 2:5][rng.integers(0, 2, size=(n, 3)) == 1] *= -1.0
    for i, j in draw(st.lists(st.tuples(st.integers(0, max(n - 1, 0)), st.integers(2, 4)), max_size=4)):
        if n:
            c[i, j] = nan
    return c


@settings(max_examples=300, deadline=None)
@given(candles(), st.integers(1, 12), st.integers(1, 6), st.booleans())
def test_random_candles_match_references(c, p, drift, strided):
    if strided:
        c = np.repeat(c, 2, axis=0)[::2]
    check_all(c, p, drift)


def test_documented_cases():
    c = np.zeros((30, 6))
    c[:, 2] = np.arange(30.0)
    c[:, 3] = c[:, 2] + 1
    c[:, 4] = c[:, 2] - 1
    assert np.isnan(k.chande(c, 5, 3.0, "up")).all()
    assert np.isnan(k.chande(c, 5, 3.0, "Long")).all()  # compared as given

    # A NaN high stays behind larger highs and reaches the front once they
    # expire; the stop is NaN until the NaN itself expires.
    c2 = c.copy()
    c2[:, 3] = [100.0, 90.0, nan, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0] * 3
    out = k.chande(c2[:10], 3, 0.0, "long")
    assert_bits_equal(out[2:], [100.0, 90.0, nan, 7.0, 8.0, 9.0, 10.0, 11.0])

    flat = np.full((40, 6), 7.0)
    assert np.isnan(k.chop(flat, 14, 100.0, 1)).all()
    # drift 1: the raw true range is the ATR
    assert_bits_equal(k.chop(c, 5, 100.0, 1), ref_chop(c, 5, 100.0, 1))

    d = k.donchian(c, 1)
    assert_bits_equal(d["upperband"], c[:, 3])
    assert_bits_equal(d["lowerband"], c[:, 4])
    assert_bits_equal(d["middleband"], (c[:, 3] + c[:, 4]) * 0.5)

    # ma_values shorter than close: only the first m ATR values are used
    h, lo, cl = (np.ascontiguousarray(c[:, j]) for j in (3, 4, 2))
    up, mid, dn = k.keltner_inner(cl[:10][::-1], h, lo, cl, 3, 1.5)  # ma_values may be strided
    atr = ref_wilder_atr(h.tolist(), lo.tolist(), cl.tolist(), 3)[:10]
    assert_bits_equal(mid, cl[:10][::-1])
    assert mid.flags.c_contiguous and mid.flags.owndata
    assert_bits_equal(up, [nan, nan] + [m + 1.5 * a for m, a in zip(cl[:10][::-1][2:], atr[2:])])
    assert_bits_equal(dn, [nan, nan] + [m - 1.5 * a for m, a in zip(cl[:10][::-1][2:], atr[2:])])


def test_period_edges_and_errors():
    c = np.random.default_rng(3).normal(100, 1, size=(20, 6))
    narrow = np.ascontiguousarray(c[:, :4])
    for p in (21, HUGE):  # period beyond the input: NaN, columns never looked at
        assert np.isnan(k.chande(narrow, p, 1.0, "long")).all()
        assert np.isnan(k.chop(narrow, p, 100.0, HUGE)).all()
        assert all(np.isnan(v).all() and len(v) == 20 for v in k.donchian(narrow, p).values())
    assert len(k.chande(np.zeros((0, 3)), 1, 1.0, "long")) == 0
    for call in (
        lambda m: k.chande(m, 3, 1.0, "long"),
        lambda m: k.chande(m, 3, 1.0, "sideways"),
        lambda m: k.chop(m, 3, 100.0, 2),
        lambda m: k.donchian(m, 3),
    ):
        with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
            call(narrow)
    for call in (
        lambda: k.chande(c, 0, 1.0, "long"),
        lambda: k.chande(c, 0, 1.0, "up"),
        lambda: k.donchian(c, 0),
        lambda: k.chop(c, 3, 100.0, 0),
        lambda: k.chop(c, 3, 100.0, 21),
        lambda: k.chop(c, 3, 100.0, HUGE),
    ):
        with pytest.raises(k.InternalError):
            call()
    # period 0 with a valid drift: every window sum is 0, nothing is written
    assert np.isnan(k.chop(c, 0, 100.0, 2)).all()
    assert len(k.chop(np.zeros((0, 6)), 0, 100.0, 1)) == 0
    with pytest.raises(TypeError, match="argument 'direction'"):
        k.chande(c, 3, 1.0, b"long")


def test_keltner_inner_errors():
    c = np.random.default_rng(4).normal(100, 1, size=(20, 6))
    h, lo, cl = (np.ascontiguousarray(c[:, j]) for j in (3, 4, 2))
    ma = k.sma(cl, 5)
    for bad in (c[:, 3], h[::-1], np.repeat(h, 2)[::2]):  # anything but unit stride
        for args in ((ma, bad, lo, cl), (ma, h, bad, cl), (ma, h, lo, bad)):
            with pytest.raises(k.InternalError):
                k.keltner_inner(*args, 5, 2.0)
    one = c[:1, 3]  # a one-element strided view reads as a slice
    up, mid, dn = k.keltner_inner(cl[:1], one, c[:1, 4], c[:1, 2], 1, 2.0)
    assert_bits_equal(up, [2.0 * (-0.0 + (c[0, 3] - c[0, 4])) + cl[0]])
    for args in (
        (np.concatenate([ma, [1.0]]), h, lo, cl, 5),  # ma_values longer than close
        (ma, h, lo, np.empty(0), 5),  # empty close
        (ma, h[:10], lo, cl, 5),  # high shorter than close
        (ma, h, lo, cl, 0),
    ):
        with pytest.raises(k.InternalError):
            k.keltner_inner(*args, 2.0)
    up, mid, dn = k.keltner_inner(ma, h, lo, cl, HUGE, 2.0)
    assert np.isnan(up).all() and np.isnan(dn).all()
    assert_bits_equal(mid, ma)
    up, mid, dn = k.keltner_inner(np.empty(0), h, lo, cl, 3, 2.0)
    assert len(up) == len(mid) == len(dn) == 0
