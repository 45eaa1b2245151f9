"""Slow and fast stochastics, Williams' %R and WaveTrend against plain-Python
re-statements, bit for bit, on documented cases, random candles (hypothesis)
and real candles (the minute candles have many flat windows)."""
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


def min_num(a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    if a == b:
        return a if math.copysign(1, a) < 0 else b
    return min(a, b)


def columns(c):
    return c[:, 2].tolist(), c[:, 3].tolist(), c[:, 4].tolist()


def window_mean(x, w):
    n = len(x)
    out = [nan] * n
    if 1 <= w <= n:
        for i in range(w - 1, n):
            s, cnt = 0.0, 0
            for v in x[i - w + 1 : i + 1]:
                if not math.isnan(v):
                    s += v
                    cnt += 1
            if cnt:
                out[i] = s / cnt
    return out


def deque_extremes(high, low, p):
    """(hh, ll) of the monotonic deques after each row p-1 .. n-1."""
    qmax, qmin = [], []
    for j, (h, lo) in enumerate(zip(high, low)):
        if j >= p:
            while qmax and qmax[0][0] <= j - p:
                qmax.pop(0)
            while qmin and qmin[0][0] <= j - p:
                qmin.pop(0)
        while qmax and h >= qmax[-1][1]:
            qmax.pop()
        qmax.append((j, h))
        while qmin and lo <= qmin[-1][1]:
            qmin.pop()
        qmin.append((j, lo))
        if j >= p - 1:
            yield j, qmax[0][1], qmin[0][1]


def ref_stoch(c, fk, sk, sd):
    n = len(c)
    if n < fk:
        return [nan] * n, [nan] * n
    close, high, low = columns(c)
    fastk = [nan] * n
    for i in range(fk - 1, n) if fk else ():
        hh, ll = -math.inf, math.inf
        for j in range(i - fk + 1, i + 1):
            hh, ll = max_num(hh, high[j]), min_num(ll, low[j])
        if hh > ll:
            fastk[i] = ((close[i] - ll) * 100) / (hh - ll)
    slowk = window_mean(fastk, sk)
    return slowk, window_mean(slowk, sd)


def ref_stochf(c, fk, fd):
    n = len(c)
    fastk = [nan] * n
    if n >= fk:
        close, high, low = columns(c)
        for j, hh, ll in deque_extremes(high, low, fk):
            fastk[j] = ((close[j] - ll) * 100) / (hh - ll) if hh > ll else 50.0
    return fastk, window_mean(fastk, fd)


def ref_willr(c, p):
    n = len(c)
    out = [nan] * n
    if n >= p:
        close, high, low = columns(c)
        for j, hh, ll in deque_extremes(high, low, p):
            rng = hh - ll
            out[j] = 0.0 if rng == 0 else ((hh - close[j]) / rng) * -100
    return out


def ema(x, p):
    a = 2 / (p + 1.0)
    out = [x[0]] if x else []
    for v in x[1:]:
        out.append(a * v + (1 - a) * out[-1])
    return out


def ref_wt(c, cl, al, ml, ob, os_, source_type):
    o, close, high, low = (c[:, j].tolist() for j in (1, 2, 3, 4))
    n = len(close)
    ap = {
        "open": o,
        "high": high,
        "low": low,
        "hlc3": [((h + lo) + cc) / 3 for h, lo, cc in zip(high, low, close)],
        "ohlc4": [(((oo + h) + lo) + cc) * 0.25 for oo, h, lo, cc in zip(o, high, low, close)],
    }.get(source_type, close)
    esa = ema(ap, cl)
    de = ema([abs(a - e) for a, e in zip(ap, esa)], cl)
    ci = [0.0 if d == 0 else (a - e) / (d * 0.015) if not math.isnan(d) else nan for a, e, d in zip(ap, esa, de)]
    wt1 = ema(ci, al)
    wt2 = [0.0] * n
    s = 0.0
    for i in range(min(n, ml)):
        s += wt1[i]
        wt2[i] = s / (i + 1.0)
    for i in range(ml, n) if ml else ():
        wt2[i] = wt2[i - 1] + (wt1[i] - wt1[i - ml]) / ml
    d = [b - a for a, b in zip(wt1, wt2)]
    return (
        wt1,
        wt2,
        [v <= 0 for v in d],
        [v >= 0 for v in d],
        [v <= os_ for v in wt2],
        [v >= ob for v in wt2],
        [a - b for a, b in zip(wt1, wt2)],
    )


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
    for rows in (c, c[::3], c[::-1]):  # strided and reversed row views are read in place
        for fk, sk, sd in ((5, 3, 3), (14, 3, 5), (1, 1, 1), (30, 9, 2)):
            check_all(rows, fk, sk, sd)
    for source_type in ("close", "open", "high", "low", "hlc3", "ohlc4"):
        check_wt(c[::2], 10, 21, 4, source_type)


@st.composite
def candles(draw, max_rows=40):
    """Random-walk candles, sometimes flat or with repeated values and zeros
    of both signs, with NaN prices at drawn cells."""
    n = draw(st.integers(0, max_rows))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(["walk", "flat", "ties"]))
    c = np.zeros((n, 6))
    c[:, 1] = c[:, 2] = 50 + np.cumsum(rng.normal(size=n))
    spread = rng.exponential(size=n) * (kind != "flat")
    c[:, 3], c[:, 4] = c[:, 2] + spread, c[:, 2] - spread
    if kind == "ties":
        c[:, 1:5] = rng.integers(-1, 2, size=(n, 4))
        c[:, 1:5][rng.integers(0, 2, size=(n, 4)) == 1] *= -1.0
    for i, j in draw(st.lists(st.tuples(st.integers(0, max(n - 1, 0)), st.integers(1, 4)), max_size=4)):
        if n:
            c[i, j] = nan
    return c


@settings(max_examples=300, deadline=None)
@given(candles(), st.integers(1, 10), st.integers(0, 6), st.integers(0, 6), st.booleans())
def test_random_candles_match_references(c, fk, sk, sd, strided):
    if strided:
        c = np.repeat(c, 2, axis=0)[::2]
    check_all(c, fk, sk, sd)
    check_wt(c, fk, sk + 1, sd, "ohlc4" if strided else "close")


def test_documented_cases():
    flat = np.full((12, 6), 3.0)
    assert_bits_equal(k.willr(flat, 4), [nan] * 3 + [0.0] * 9)
    assert_bits_equal(k.stochf(flat, 4, 2, 0)[0], [nan] * 3 + [50.0] * 9)
    assert np.isnan(k.stoch(flat, 4, 2, 0, 2, 0)).all()

    # A NaN high inside the window: the slow stochastic skips it, the deque
    # versions see it while it sits at the front.
    c = np.zeros((6, 6))
    c[:, 2] = [1.0, 2.0, 3.0, 2.0, 1.0, 2.0]
    c[:, 3] = c[:, 2] + 1
    c[:, 4] = c[:, 2] - 1
    c[2, 3] = nan
    # deque fronts at rows 2..5 for p = 2: hh = nan? row 2 adds NaN behind 3.0
    _, hh, _ = zip(*deque_extremes(c[:, 3].tolist(), c[:, 4].tolist(), 2))
    assert math.isnan(hh[2]) and not math.isnan(hh[1])  # row 3: NaN at the front
    fastk, _ = k.stochf(c, 2, 1, 0)
    assert fastk[3] == 50.0
    assert math.isnan(k.willr(c, 2)[3])
    slowk, _ = k.stoch(c, 2, 1, 0, 1, 0)
    assert slowk[3] == ((2.0 - 1.0) * 100) / (3.0 - 1.0)  # hh from the finite high of row 3

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
    check_wt(c, 9, 12, 0)  # ml 0: wt2 all zeros
    assert (k.wt(c, 9, 12, 0, 1.0, -1.0, "close")[1] == 0).all()
    check_wt(c, 9, 12, HUGE)  # ml beyond n: the growing mean runs to the end
    check_wt(c, 0, 0, 40)
    check_wt(c, HUGE, HUGE, 1)
    out = k.wt(np.zeros((0, 6)), 9, 12, 3, 53.0, -53.0, "close")
    assert len(out) == 7 and all(len(v) == 0 for v in out)
    flat = np.full((10, 6), 5.0)  # de == 0 gives ci = 0
    check_wt(flat, 3, 4, 2)
    assert (k.wt(flat, 3, 4, 2, 0.0, 0.0, "close")[0] == 0).all()


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
    assert np.isnan(k.willr(narrow, 11)).all()
    assert np.isnan(k.stochf(narrow, 11, 1, 0)).all()
    with pytest.raises(k.InternalError):
        k.willr(r, 0)
    with pytest.raises(k.InternalError):
        k.stochf(r, 0, 3, 0)
    assert np.isnan(k.stoch(r, 0, 3, 0, 3, 0)).all()
    with pytest.raises(TypeError, match="argument 'source_type'"):
        k.wt(r, 3, 3, 3, 1.0, -1.0, None)
