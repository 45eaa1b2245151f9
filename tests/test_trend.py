"""Directional movement and trend overlays against plain-Python re-statements
of their steps, bit for bit: real and random candles (hypothesis adds NaN,
inf and signed zeros), strided layouts, and the documented edge cases."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from support import assert_bits_equal, bits, candles_from, hostile_series, max_num, min_num

nan, inf = math.nan, math.inf
HUGE = 2**64 - 1


# ---------------------------------------------------------------- references


def div(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    if b != 0:
        return a / b
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def running_sum(xs, acc=0.0):
    for v in xs:
        acc = acc + v
    return acc


def lane_sum(xs):
    full = len(xs) - len(xs) % 8
    lanes = [running_sum(xs[j:full:8]) for j in range(8)]
    return running_sum(xs[full:], running_sum(lanes[j] + lanes[j + 4] for j in range(4)))


def movement(up, down):
    return (up if up > down and up > 0 else 0.0, down if down > up and down > 0 else 0.0)


def rows(c):
    """close, high, low, TR (row 0: bar range), +DM, -DM (row 0: 0.0)."""
    close, high, low = (c[:, j].tolist() for j in (2, 3, 4))
    n = len(close)
    tr = [high[0] - low[0]] if n else []
    tr += [max_num(max_num(high[i] - low[i], abs(high[i] - close[i - 1])), abs(low[i] - close[i - 1]))
           for i in range(1, n)]
    mv = [(0.0, 0.0)] + [movement(high[i] - high[i - 1], low[i - 1] - low[i]) for i in range(1, n)]
    return close, high, low, tr, [m[0] for m in mv], [m[1] for m in mv]


def ref_dm(c, p):
    n = len(c)
    plus, minus = [nan] * n, [nan] * n
    if p < n:
        _, _, _, _, pdm, mdm = rows(c)
        plus[p], minus[p] = running_sum(pdm[1:p + 1]), running_sum(mdm[1:p + 1])
        for i in range(p + 1, n):
            plus[i] = (plus[i - 1] - div(plus[i - 1], p)) + pdm[i]
            minus[i] = (minus[i - 1] - div(minus[i - 1], p)) + mdm[i]
    return plus, minus


def ref_di(c, p):
    n = len(c)
    plus, minus = [nan] * n, [nan] * n
    if n < 2 or n < p + 1:
        return plus, minus
    _, _, _, tr, pdm, mdm = rows(c)
    t, sp, sm = running_sum(tr[1:p + 1]), running_sum(pdm[1:p + 1]), running_sum(mdm[1:p + 1])
    plus[p], minus[p] = ((100 * sp) / t, (100 * sm) / t) if t > 0 else (0.0, 0.0)
    w = float((p - 1) % 2**64)  # unsigned subtraction
    for i in range(p + 1, n):
        t, sp, sm = div(t * w + tr[i], p), div(sp * w + pdm[i], p), div(sm * w + mdm[i], p)
        plus[i], minus[i] = ((sp * 100) / t, (sm * 100) / t) if t > 0 else (0.0, 0.0)
    return plus, minus


def ref_dx(c, length, smoothing):
    n = len(c)
    if n == 0:
        return [], [], []
    a = div(1.0, length)

    def rma(x):
        s = [a * x[0] + (1 - a) * x[-1]]
        for v in x[1:]:
            s.append(a * v + (1 - a) * s[-1])
        return s

    tr, pdm, mdm = (rma(x) for x in rows(c)[3:])
    pdi = [div(pdm[i] * 100, tr[i]) if tr[i] != 0 else 0.0 for i in range(n)]
    mdi = [div(mdm[i] * 100, tr[i]) if tr[i] != 0 else 0.0 for i in range(n)]
    d = [abs(x - y) if y + x == 0 else abs(x - y) / (y + x) for x, y in zip(pdi, mdi)]
    cc = div(1.0, smoothing)
    adx = [(cc * d[0] + (1 - cc) * d[-1]) * 100]
    for v in d[1:]:
        adx.append((1 - cc) * adx[-1] + (cc * 100) * v)
    return adx, pdi, mdi


def ref_adx(c, p):
    n = len(c)
    out = [nan] * n
    if 2 * p >= n or p == 0:
        return out
    _, _, _, tr, pdm, mdm = rows(c)
    t = sp = sm = 0.0
    dxs = []
    for i in range(1, n):
        if i > p:
            t, sp, sm = t - t / p, sp - sp / p, sm - sm / p
        t, sp, sm = tr[i] + t, pdm[i] + sp, mdm[i] + sm
        if i >= p:
            pdi, mdi = (sp * 100) / t if t else 0.0, (sm * 100) / t if t else 0.0
            s = mdi + pdi
            dxs.append(0.0 if t == 0 or s == 0 else (abs(pdi - mdi) * 100) / s)
        if i == 2 * p:
            out[i] = running_sum(dxs[:p], -0.0) / p
        elif i > 2 * p and out[i - 1] == out[i - 1]:
            out[i] = (dxs[-1] + out[i - 1] * (p - 1)) / p
    return out


def ref_adxr(c, p):
    n = len(c)
    out = [nan] * n
    if p == 0:
        return out
    smoothed = []
    for x in rows(c)[3:]:
        s = [x[0]]
        for v in x[1:]:
            s.append(v + (s[-1] - s[-1] / p))
        smoothed.append(s)
    dx = [0.0] * n
    for i, (t, sp, sm) in enumerate(zip(*smoothed)):
        if t != 0:
            pdi, mdi = (sp / t) * 100, (sm / t) * 100
            dx[i] = 0.0 if pdi + mdi == 0 else (abs(pdi - mdi) / (pdi + mdi)) * 100
    adx = [nan] * (p - 1) + [running_sum(dx[j - p + 1:j + 1], -0.0) / p for j in range(p - 1, n)]
    for i in range(p, n):
        if adx[i] == adx[i] and adx[i - p] == adx[i - p]:
            out[i] = (adx[i] + adx[i - p]) * 0.5
    return out


def ref_vi(c, p):
    n = len(c)
    vp, vm = [nan] * n, [nan] * n
    if p >= n:
        return vp, vm
    _, high, low, tr, _, _ = rows(c)
    up = [0.0] + [abs(high[i] - low[i - 1]) for i in range(1, n)]
    dn = [0.0] + [abs(low[i] - high[i - 1]) for i in range(1, n)]
    for e in range(p, n):
        t = lane_sum(tr[e - p + 1:e + 1])
        if t != 0:
            vp[e], vm[e] = lane_sum(up[e - p + 1:e + 1]) / t, lane_sum(dn[e - p + 1:e + 1]) / t
    return vp, vm


def ref_alligator(x):
    n = len(x)
    lines = [[nan] * n for _ in range(3)]
    if n <= 12:
        return lines
    sums = [running_sum(x[:m]) for m in (13, 8, 5)]  # same bits as the one running sum
    for out, p, seed, a, b, shift in (
        (lines[0], 13, sums[0] / 13, 0.9230769230769231, 0.07692307692307693, 8),
        (lines[1], 8, sums[1] * 0.125, 0.875, 0.125, 5),
        (lines[2], 5, sums[2] / 5, 0.8, 0.2, 3),
    ):
        v = seed
        for i in range(p - 1, n - shift):
            if i >= p:
                v = v * a + x[i] * b
            if v == v:
                out[i + shift] = v
    return lines


def ref_ichimoku(c, conv, base, lag, disp):
    high, low = c[:, 3].tolist(), c[:, 4].tolist()
    end = 1 - disp if disp <= 1 else len(high) + 1 - disp

    def mid(m, p):
        if m < p:
            return nan
        hi, lo = -inf, inf
        for i in range(m - p, m):
            hi, lo = max_num(hi, high[i]), min_num(lo, low[i])
        return (hi + lo) * 0.5

    n = len(high)
    return mid(n, conv), mid(n, base), (mid(end, conv) + mid(end, base)) * 0.5, mid(end, lag)


def ref_supertrend(c, p, f):
    close, high, low, tr, _, _ = rows(c)
    n = len(close)
    atr = [nan] * n
    if p <= n:
        atr[p - 1] = running_sum(tr[:p], -0.0) / p
        for i in range(p, n):
            atr[i] = ((p + -1.0) * atr[i - 1] + tr[i]) / p
    hl2 = [(h + l) * 0.5 for h, l in zip(high, low)]
    bu = [m + f * (0.0 if a != a else a) for m, a in zip(hl2, atr)]
    bl = [m - f * (0.0 if a != a else a) for m, a in zip(hl2, atr)]
    fu, fl = bu[:], bl[:]
    trend, changed = [0.0] * n, [0.0] * n
    if p - 1 < n:
        trend[p - 1] = fu[p - 1] if close[p - 1] <= fu[p - 1] else fl[p - 1]
    for i in range(p, n):
        fu[i] = min_num(bu[i], fu[i - 1]) if fu[i - 1] >= close[i - 1] else bu[i]
        fl[i] = max_num(bl[i], fl[i - 1]) if fl[i - 1] <= close[i - 1] else bl[i]
        if trend[i - 1] == fu[i - 1]:
            trend[i], changed[i] = (fu[i], 0.0) if close[i] <= fu[i] else (fl[i], 1.0)
        else:
            trend[i], changed[i] = (fl[i], 0.0) if close[i] >= fl[i] else (fu[i], 1.0)
    return trend, changed


def ref_sar(c, a, mx):
    high, low = c[:, 3].tolist(), c[:, 4].tolist()
    if high[1] > high[0]:
        out = [low[0]]
        cand = min_num(low[0] + a * (high[0] - low[0]), low[0])
        rising, sar, ep, af = (
            (False, high[0], low[1], a) if low[1] < cand else (True, cand, high[1], min_num(a + a, mx))
        )
    else:
        out = [high[0]]
        cand = max_num(high[0] - a * (high[0] - low[0]), high[0])
        if high[1] > cand:
            rising, sar, ep, af = True, low[0], high[1], a
        else:
            rising, sar = False, cand
            ep, af = (low[1], min_num(a + a, mx)) if low[1] < low[0] else (low[0], a)
    out.append(sar)
    for i in range(2, len(high)):
        if rising:
            cand = min_num(min_num(sar + af * (ep - sar), low[i - 1]), low[i - 2])
            if low[i] < cand:
                rising, sar, ep, af = False, ep, low[i], a
            else:
                sar = cand
                if high[i] > ep:
                    ep, af = high[i], min_num(a + af, mx)
        else:
            cand = max_num(max_num(sar - af * (sar - ep), high[i - 1]), high[i - 2])
            if high[i] > cand:
                rising, sar, ep, af = True, ep, high[i], a
            else:
                sar = cand
                if low[i] < ep:
                    ep, af = low[i], min_num(a + af, mx)
        out.append(sar)
    return out


def ref_safezone(c, p, m, lb, long):
    n = len(c)
    high, low = c[:, 3].tolist(), c[:, 4].tolist()
    kk = 1.0 - div(1.0, p)
    sp = sm = 0.0
    cand = [0.0] * n
    for i in range(1, n):
        up, dn = high[i] - high[i - 1], low[i - 1] - low[i]
        a, b = movement(0.0 if up != up else up, 0.0 if dn != dn else dn)
        sp, sm = kk * sp + a, kk * sm + b
        cand[i] = low[i - 1] - sm * m if long else high[i - 1] + sp * m
    out = []
    for i in range(n):
        w = i if lb == 0 else min(i, lb - 1)
        acc = -inf if long else inf
        for v in cand[i - w:i + 1]:
            acc = max_num(acc, v) if long else min_num(acc, v)
        out.append(acc)
    return out


# ------------------------------------------------------------------- inputs

def make_candles(rng, n, nan_rate=0.0):
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    c = np.column_stack([np.arange(n) * 6e4, close, close, close + rng.exponential(1, n),
                         close - rng.exponential(1, n), np.ones(n)])
    c[:, 2:5][rng.random((n, 3)) < nan_rate] = nan
    return c


def layouts(c):
    """Fortran order, reversed rows read backwards, a slice of a wider matrix."""
    wide = np.zeros((len(c), 9))
    wide[:, 1:7] = c
    return [np.asfortranarray(c), c[::-1].copy()[::-1], wide[:, 1:7]]


def pairs(c, p):
    """(our result, reference) for every candle function at period p."""
    n = len(c)
    out = [(k.dm(c, p), ref_dm(c, p)), (k.di(c, p), ref_di(c, p)), ((k.adx(c, p),), (ref_adx(c, p),)),
           (k.vi(c, p, True), ref_vi(c, p)), (k.dx(c, p, p + 3, False), ref_dx(c, p, p + 3))]
    if n:
        out.append(((k.adxr(c, p),), (ref_adxr(c, p),)))
        out += [((k.safezonestop(c, p, 2.5, p // 2, d),), (ref_safezone(c, p, 2.5, p // 2, d),)) for d in (True, False)]
        if p:
            out.append((k.supertrend(c, p, 3.0), ref_supertrend(c, p, 3.0)))
    if n > 1:
        out.append(((k.sar(c, 0.02, 0.2),), (ref_sar(c, 0.02, 0.2),)))
    return out


def check_all(c, p):
    for got, want in pairs(c, p):
        for g, w in zip(got, want, strict=True):
            assert_bits_equal(g, w)


# -------------------------------------------------------------------- tests

@pytest.mark.parametrize("fixture", ["daily_candles", "minute_candles"])
def test_real_candles(fixture, request):
    c = request.getfixturevalue(fixture)[:3000]
    for p in (1, 2, 7, 14, 30):
        check_all(c, p)
    for got, want in zip(k.alligator(c[:, 2]), ref_alligator(c[:, 2].tolist())):
        assert_bits_equal(got, want)
    for args in ((9, 26, 52, 26), (9, 26, 52, 0), (9, 26, 52, 1), (5000, 3, 0, 40)):
        assert_bits_equal(k.ichimoku_cloud(c, *args), ref_ichimoku(c, *args))


@pytest.mark.parametrize("seed", range(6))
def test_random_candles_and_layouts(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 90))
    c = make_candles(rng, n, nan_rate=[0, 0.03, 0.2][seed % 3])
    if seed % 2:
        c[rng.random(n) < 0.3, 3:5] = 100.0  # flat bars: zero ranges and movements
    for p in {0, 1, 3, 8, 9, 17, max(n - 1, 0), n, n + 1}:
        check_all(c, p)
        for view in layouts(c):
            for (got, _), (want, _) in zip(pairs(view, p), pairs(c, p)):
                for g, w in zip(got, want):
                    assert_bits_equal(g, w)


price = st.one_of(st.floats(-1e6, 1e6, width=64), st.sampled_from([nan, inf, -inf, 0.0, -0.0]))


@st.composite
def candles(draw, min_rows=0, values=price):
    n = draw(st.integers(min_rows, 30))
    return np.array([[0.0, 0.0, draw(values), draw(values), draw(values), 1.0] for _ in range(n)]).reshape(n, 6)


@settings(max_examples=150, deadline=None)
@given(c=candles(), p=st.integers(0, 12))
def test_hypothesis_nan_inf_and_zeros(c, p):
    with np.errstate(all="ignore"):
        check_all(c, p)
        x = c[:, 2]
        for got, want in zip(k.alligator(x), ref_alligator(x.tolist())):
            assert_bits_equal(got, want)


@settings(max_examples=150, deadline=None)
@given(c=candles(min_rows=2, values=st.sampled_from([1.0, 2.0, 3.0, nan, -0.0, 0.0])),
       a=st.sampled_from([0.02, 0.5, 0.0, nan]), mx=st.sampled_from([0.2, 0.01, nan]),
       lb=st.integers(0, 4), m=st.sampled_from([0.0, -0.0, 1.0]))
def test_hypothesis_regimes_and_ties(c, a, mx, lb, m):
    # Few distinct prices: ties, NaN comparisons, reversals and signed zeros
    # in the stops' rolling extremes on most rows.
    assert_bits_equal(k.sar(c, a, mx), ref_sar(c, a, mx))
    for long in (True, False):
        assert_bits_equal(k.safezonestop(c, 3, m, lb, long), ref_safezone(c, 3, m, lb, long))


def test_failures_and_degenerate_sizes():
    c = make_candles(np.random.default_rng(1), 10)
    narrow, empty = c[:, :4], np.empty((0, 6))
    dim = "assertion failed: index < dim"
    for call, match in [
        (lambda: k.dm(narrow, 3), dim), (lambda: k.di(narrow, 3), dim), (lambda: k.dx(narrow, 3, 3, True), dim),
        (lambda: k.adx(narrow, 3), dim), (lambda: k.vi(narrow, 3, True), dim),
        (lambda: k.ichimoku_cloud(narrow, 9, 26, 52, 26), dim),
        (lambda: k.adxr(narrow, 3), None), (lambda: k.adxr(empty, 3), None),
        (lambda: k.supertrend(narrow, 3, 3.0), None), (lambda: k.supertrend(empty, 3, 3.0), None),
        (lambda: k.supertrend(c, 0, 3.0), None),
        (lambda: k.sar(narrow, 0.02, 0.2), None), (lambda: k.sar(c[:1], 0.02, 0.2), None),
        (lambda: k.safezonestop(narrow, 3, 2.5, 3, True), None), (lambda: k.safezonestop(empty, 3, 2.5, 3, True), None),
        # A displacement reaching before the first row fails, however large.
        *[(lambda d=d: k.ichimoku_cloud(c, 9, 26, 52, d), "end <= axis_len") for d in (12, 2**63, HUGE)],
        (lambda: k.ichimoku_cloud(empty, 9, 26, 52, 0), "end <= axis_len"),
    ]:
        with pytest.raises(k.InternalError, match=match):
            call()
    # Periods beyond the data return before the columns are read.
    for p in (10, HUGE):
        assert all(np.isnan(a).all() and len(a) == 10 for a in (*k.dm(narrow, p), k.adx(narrow, p)))
    assert all(np.isnan(a).all() and a.shape == (10,) for a in k.vi(narrow, 10, False))
    for p in (11, HUGE):
        assert all(not a.any() and len(a) == 10 for a in k.supertrend(c, p, 3.0))
        assert np.isnan(k.adxr(c, p)).all() and np.isnan(k.di(c, p)[0]).all()
    assert all(math.isnan(v) for v in k.ichimoku_cloud(c, HUGE, HUGE, HUGE, 0))
    results = (*k.dx(empty[:, :2], 3, 3, True), *k.vi(empty, 3, False), k.sar(empty[:, :2], 0.1, 0.2))
    assert [len(a) for a in results] == [0] * 6
    assert_bits_equal(k.safezonestop(c[:1, :2], 22, 2.5, 3, False), [0.0])
    with np.errstate(all="ignore"):
        for got, want in zip(k.dx(c, HUGE, 0, True), ref_dx(c, HUGE, 0)):
            assert_bits_equal(got, want)
    for call, name in [(lambda: k.dx(c, 3, 3, 1), "_sequential"), (lambda: k.vi(c, 3, 0), "sequential"),
                       (lambda: k.safezonestop(c, 3, 2.5, 3, "long"), "direction")]:
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            call()


def test_documented_values():
    c = make_candles(np.random.default_rng(4), 60)
    p = 7
    plus = k.dm(c[:p + 1], p)[0]  # n = p + 1: only the last position, a plain sum
    assert np.isnan(plus[:p]).all() and plus[p] == ref_dm(c[:p + 1], p)[0][p]
    assert_bits_equal(k.di(np.full((6, 6), 5.0), 3)[0], [nan, nan, nan, 0.0, 0.0, 0.0])  # flat: zero range
    one = c[:1]
    assert_bits_equal(k.dx(one, 14, 14, True)[0], ref_dx(one, 14, 14)[0])
    assert not any(np.isnan(a).any() for a in k.dx(c, 14, 14, True))
    out = k.adx(c, p)
    assert np.isnan(out[:2 * p]).all() and not np.isnan(out[2 * p:]).any()
    out = k.adxr(c, p)
    assert np.isnan(out[:2 * p - 1]).all() and not np.isnan(out[2 * p - 1:]).any()
    assert all(np.isnan(a).all() for a in k.alligator(np.arange(12.0)))
    first = [np.flatnonzero(~np.isnan(a)).tolist() for a in k.alligator(np.arange(13.0))]
    assert first == [[], [12], list(range(7, 13))]
    assert [int(np.argmax(~np.isnan(a))) for a in k.alligator(np.arange(100.0)[::-3])] == [20, 12, 7]
    two = np.array([[0, 0, 10.0, 11.0, 9.0, 0], [0, 0, 12.0, 13.0, 10.0, 0]])
    assert_bits_equal(k.sar(two, 0.02, 0.2), [9.0, min_num(9.0 + 0.02 * 2.0, 9.0)])
    two[1, 4] = 8.0  # the second low pierces the stop: reverse to the first high
    assert_bits_equal(k.sar(two, 0.02, 0.2), [9.0, 11.0])
    stops = k.safezonestop(c, 22, 2.5, 1, True)  # max_lookback 1: the candidates themselves
    assert stops[0] == 0.0 and stops[1] == c[0, 4] - movement(c[1, 3] - c[0, 3], c[0, 4] - c[1, 4])[1] * 2.5
    for lb in (0, HUGE):  # no limit
        assert_bits_equal(k.safezonestop(c, 22, 2.5, lb, False), ref_safezone(c, 22, 2.5, 0, False))
    trend, changed = k.supertrend(c, 10, 0.5)
    assert not trend[:9].any() and trend[9] != 0 and not changed[:10].any() and changed.any()
    conv, base, a, b = k.ichimoku_cloud(c, 9, 26, 52, 26)
    assert isinstance(conv, float) and math.isnan(b) and not math.isnan(a)
    assert all(math.isnan(v) for v in k.ichimoku_cloud(c, 9, 26, 52, 1)[2:])


def test_vi_lanes_last_value_and_blocks(minute_candles):
    # Eight or more values per window use the lane grouping, which a plain
    # running sum does not reproduce: prices spread over many decades.
    rng = np.random.default_rng(5)
    close = rng.lognormal(0, 3, 200)
    wild = np.column_stack([close, close, close, close * (1 + rng.random(200)),
                            close * (1 - rng.random(200) * 0.9), close])
    vp = k.vi(wild, 12, True)[0]
    _, high, low, tr, _, _ = rows(wild)
    up = [0.0] + [abs(high[i] - low[i - 1]) for i in range(1, 200)]
    assert_bits_equal(vp, ref_vi(wild, 12)[0])
    assert sum(vp[s] != running_sum(up[s - 11:s + 1]) / running_sum(tr[s - 11:s + 1]) for s in range(12, 200)) > 10
    # Long inputs are summed block by block; each window equals the
    # one-window call on just its rows (plus the row before).
    c = minute_candles
    for p in (14, 4095, 5000):
        vp, vm = k.vi(c, p, True)
        for e in sorted({p, p + 1, len(c) - 1} | set(range(p + 4090, len(c), 997))):
            one = k.vi(c[e - p:e + 1], p, False)
            assert bits(vp[e]) == bits(one[0][0]) and bits(vm[e]) == bits(one[1][0]), (p, e)


@settings(max_examples=30, deadline=None)
@given(hostile_series(max_parts=4, max_part=900), st.sampled_from([1, 2, 3, 5, 40, 2**64 - 1]), st.booleans(),
       st.integers(0, 99))
def test_smoothing_on_long_hostile_candles(x, p, crossed, seed):
    c = candles_from(x, seed, crossed)
    with np.errstate(all="ignore"):
        got = [k.dm(c, p), k.di(c, p), (k.adx(c, p),), k.dx(c, p, 2, False), k.dx(c, 3, p, False)]
        want = [ref_dm(c, p), ref_di(c, p), (ref_adx(c, p),), ref_dx(c, p, 2), ref_dx(c, 3, p)]
        if p < 2**63:
            got.append((k.adxr(c, p),))
            want.append((ref_adxr(c, p),))
        for g, w in zip(got, want, strict=True):
            for a, b in zip(g, w, strict=True):
                assert_bits_equal(a, b)
