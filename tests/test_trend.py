"""Directional movement and trend overlays against plain-Python re-statements
of their steps, bit for bit, on documented cases, random candles (hypothesis),
real candles and strided layouts."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from support import assert_bits_equal, bits

nan = math.nan
inf = math.inf
HUGE = 2**64 - 1


# ---------------------------------------------------------------- references

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


def cols(c):
    return c[:, 2].tolist(), c[:, 3].tolist(), c[:, 4].tolist()


def tr_at(close, high, low, i):
    if i == 0:
        return high[0] - low[0]
    pc = close[i - 1]
    return max_num(max_num(high[i] - low[i], abs(high[i] - pc)), abs(low[i] - pc))


def movement(up, down):
    return (up if up > down and up > 0 else 0.0, down if down > up and down > 0 else 0.0)


def dm_at(high, low, i):
    return movement(high[i] - high[i - 1], low[i - 1] - low[i])


def running_sum(xs, start=0.0):
    for v in xs:
        start = start + v
    return start


def eight_lane_sum(xs):
    lanes = [0.0] * 8
    full = len(xs) // 8 * 8
    for g in range(0, full, 8):
        for j in range(8):
            lanes[j] += xs[g + j]
    acc = 0.0
    for j in range(4):
        acc = acc + (lanes[j] + lanes[j + 4])
    for v in xs[full:]:
        acc = acc + v
    return acc


def ref_dm(c, p):
    n = len(c)
    plus, minus = [nan] * n, [nan] * n
    if p >= n:
        return plus, minus
    _, high, low = cols(c)
    sp = sm = 0.0
    for i in range(1, p + 1):
        a, b = dm_at(high, low, i)
        sp += a
        sm += b
    plus[p], minus[p] = sp, sm
    for i in range(p + 1, n):
        a, b = dm_at(high, low, i)
        plus[i] = (plus[i - 1] - fdiv(plus[i - 1], p)) + a
        minus[i] = (minus[i - 1] - fdiv(minus[i - 1], p)) + b
    return plus, minus


def ref_di(c, p):
    n = len(c)
    plus, minus = [nan] * n, [nan] * n
    if n < 2 or n < p + 1:
        return plus, minus
    close, high, low = cols(c)
    tr = sp = sm = 0.0
    for i in range(1, p + 1):
        tr += tr_at(close, high, low, i)
        a, b = dm_at(high, low, i)
        sp += a
        sm += b
    plus[p], minus[p] = ((100 * sp) / tr, (100 * sm) / tr) if tr > 0 else (0.0, 0.0)
    w = float((p - 1) % 2**64)
    for i in range(p + 1, n):
        a, b = dm_at(high, low, i)
        tr = fdiv(tr * w + tr_at(close, high, low, i), p)
        sp = fdiv(sp * w + a, p)
        sm = fdiv(sm * w + b, p)
        plus[i], minus[i] = ((sp * 100) / tr, (sm * 100) / tr) if tr > 0 else (0.0, 0.0)
    return plus, minus


def series_trdm(c):
    close, high, low = cols(c)
    n = len(close)
    tr = [tr_at(close, high, low, i) for i in range(n)]
    moves = [(0.0, 0.0)] + [dm_at(high, low, i) for i in range(1, n)]
    return tr, [m[0] for m in moves], [m[1] for m in moves]


def fdiv(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    if b != 0:
        return a / b
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def ref_dx(c, di_length, adx_smoothing):
    n = len(c)
    if n == 0:
        return [], [], []
    with np.errstate(all="ignore"):
        a = fdiv(1.0, float(di_length))
        b = 1.0 - a

        def rma(x):
            s = [0.0] * n
            s[0] = a * x[0] + b * x[n - 1]
            for i in range(1, n):
                s[i] = a * x[i] + b * s[i - 1]
            return s

        tr, pdm, mdm = (rma(s) for s in series_trdm(c))
        pdi, mdi = [0.0] * n, [0.0] * n
        for i in range(n):
            if tr[i] != 0:
                pdi[i] = fdiv(pdm[i] * 100, tr[i])
                mdi[i] = fdiv(mdm[i] * 100, tr[i])
        d = []
        for i in range(n):
            den = mdi[i] + pdi[i]
            diff = abs(pdi[i] - mdi[i])
            d.append(diff if den == 0 else diff / den)
        cc = fdiv(1.0, float(adx_smoothing))
        adx = [(cc * d[0] + (1 - cc) * d[n - 1]) * 100]
        for j in range(1, n):
            adx.append((1 - cc) * adx[-1] + (cc * 100) * d[j])
    return adx, pdi, mdi


def ref_adx(c, p):
    n = len(c)
    out = [nan] * n
    if 2 * p >= n or p == 0:
        return out
    close, high, low = cols(c)
    tr = sp = sm = 0.0
    buf = []
    for i in range(1, n):
        if i > p:
            tr, sp, sm = tr - tr / p, sp - sp / p, sm - sm / p
        a, b = dm_at(high, low, i)
        tr = tr_at(close, high, low, i) + tr
        sp = a + sp
        sm = b + sm
        if i < p:
            continue
        if tr == 0:
            dx = 0.0
        else:
            pdi, mdi = (sp * 100) / tr, (sm * 100) / tr
            s = mdi + pdi
            dx = 0.0 if s == 0 else (abs(pdi - mdi) * 100) / s
        if i < 2 * p:
            buf.append(dx)
        elif i == 2 * p:
            acc = -0.0
            for v in buf:
                acc += v
            out[i] = acc / p
        elif not math.isnan(out[i - 1]):
            out[i] = (dx + out[i - 1] * (p - 1)) / p
    return out


def ref_adxr(c, p):
    n = len(c)
    tr, pdm, mdm = series_trdm(c)

    def smooth(x):
        s = [x[0]]
        for v in x[1:]:
            s.append(v + (s[-1] - s[-1] / p))
        return s

    out = [nan] * n
    if p == 0:
        return out
    tr, pdm, mdm = smooth(tr), smooth(pdm), smooth(mdm)
    dx = [0.0] * n
    for i in range(n):
        if tr[i] != 0:
            pdi = (pdm[i] / tr[i]) * 100
            mdi = (mdm[i] / tr[i]) * 100
            dx[i] = 0.0 if pdi + mdi == 0 else (abs(pdi - mdi) / (pdi + mdi)) * 100
    adx = [nan] * n
    for j in range(p - 1, n):
        acc = -0.0
        for v in dx[j - p + 1:j + 1]:
            acc += v
        adx[j] = acc / p
    for i in range(p, n):
        if not math.isnan(adx[i]) and not math.isnan(adx[i - p]):
            out[i] = (adx[i] + adx[i - p]) * 0.5
    return out


def ref_vi(c, p):
    n = len(c)
    vp, vm = [nan] * n, [nan] * n
    if p >= n:
        return vp, vm
    close, high, low = cols(c)
    tr = [tr_at(close, high, low, i) for i in range(n)]
    up = [0.0] + [abs(high[i] - low[i - 1]) for i in range(1, n)]
    dn = [0.0] + [abs(low[i] - high[i - 1]) for i in range(1, n)]
    for s in range(p, n):
        t = eight_lane_sum(tr[s - p + 1:s + 1])
        if t != 0:
            vp[s] = eight_lane_sum(up[s - p + 1:s + 1]) / t
            vm[s] = eight_lane_sum(dn[s - p + 1:s + 1]) / t
    return vp, vm


def ref_alligator(x):
    n = len(x)
    jaw, teeth, lips = [nan] * n, [nan] * n, [nan] * n
    if n <= 12:
        return jaw, teeth, lips
    s = 0.0
    sums = []
    for v in x[:13]:
        s = s + v
        sums.append(s)
    for out, first, seed, a, b, shift in (
        (jaw, 12, sums[12] / 13, 0.9230769230769231, 0.07692307692307693, 8),
        (teeth, 7, sums[7] * 0.125, 0.875, 0.125, 5),
        (lips, 4, sums[4] / 5, 0.8, 0.2, 3),
    ):
        line = [nan] * n
        line[first] = seed
        for i in range(first + 1, n):
            line[i] = line[i - 1] * a + x[i] * b
        for i, v in enumerate(line):
            if i + shift < n and not math.isnan(v):
                out[i + shift] = v
    return jaw, teeth, lips


def midpoint(high, low, p):
    if len(high) < p:
        return nan
    hi, lo = -inf, inf
    for h, l in zip(high[len(high) - p:], low[len(low) - p:]):
        hi, lo = max_num(hi, h), min_num(lo, l)
    return (hi + lo) * 0.5


def ref_ichimoku(c, conv, base, lag, disp):
    _, high, low = cols(c)
    end = 1 - disp
    if end < 0:
        end += len(high)
    dh, dl = high[:end], low[:end]
    return (
        midpoint(high, low, conv),
        midpoint(high, low, base),
        (midpoint(dh, dl, conv) + midpoint(dh, dl, base)) * 0.5,
        midpoint(dh, dl, lag),
    )


def ref_wilder_atr(close, high, low, p):
    n = len(close)
    out = [nan] * n
    if n < p:
        return out
    s = -0.0
    for i in range(p):
        s += tr_at(close, high, low, i)
    out[p - 1] = s / p
    for i in range(p, n):
        out[i] = ((p + -1.0) * out[i - 1] + tr_at(close, high, low, i)) / p
    return out


def ref_supertrend(c, p, f):
    close, high, low = cols(c)
    n = len(close)
    atr = ref_wilder_atr(close, high, low, p)
    bu, bl = [], []
    for i in range(n):
        a = 0.0 if math.isnan(atr[i]) else atr[i]
        hl2 = (high[i] + low[i]) * 0.5
        bu.append(hl2 + f * a)
        bl.append(hl2 - f * a)
    fu, fl = bu[:], bl[:]
    trend, changed = [0.0] * n, [0.0] * n
    s = max(p, 1) - 1
    if s < n:
        trend[s] = fu[s] if close[s] <= fu[s] else fl[s]
    for i in range(p, n):
        pc = close[i - 1]
        fu[i] = min_num(bu[i], fu[i - 1]) if fu[i - 1] >= pc else bu[i]
        fl[i] = max_num(bl[i], fl[i - 1]) if fl[i - 1] <= pc else bl[i]
        if trend[i - 1] == fu[i - 1]:
            trend[i], changed[i] = (fu[i], 0.0) if close[i] <= fu[i] else (fl[i], 1.0)
        else:
            trend[i], changed[i] = (fl[i], 0.0) if close[i] >= fl[i] else (fu[i], 1.0)
    return trend, changed


def ref_sar(c, a, mx):
    _, high, low = cols(c)
    n = len(high)
    out = [0.0] * n
    if high[1] > high[0]:
        out[0] = low[0]
        cand = min_num(low[0] + a * (high[0] - low[0]), low[0])
        if low[1] < cand:
            rising, sar, ep, af = False, high[0], low[1], a
        else:
            rising, sar, ep, af = True, cand, high[1], min_num(a + a, mx)
    else:
        out[0] = high[0]
        cand = max_num(high[0] - a * (high[0] - low[0]), high[0])
        if high[1] > cand:
            rising, sar, ep, af = True, low[0], high[1], a
        else:
            rising, sar = False, cand
            ep, af = (low[1], min_num(a + a, mx)) if low[1] < low[0] else (low[0], a)
    out[1] = sar
    for i in range(2, n):
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
        out[i] = sar
    return out


def ref_safezone(c, p, m, lb, long):
    n = len(c)
    if n == 1:
        return [0.0]
    _, high, low = cols(c)
    kk = 1.0 - fdiv(1.0, p)
    sp = sm = 0.0
    cand = [0.0] * n
    for i in range(1, n):
        up = high[i] - high[i - 1]
        dn = low[i - 1] - low[i]
        up = 0.0 if math.isnan(up) else up
        dn = 0.0 if math.isnan(dn) else dn
        a, b = movement(up, dn)
        sp = kk * sp + a
        sm = kk * sm + b
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

def make_candles(rng, n, nan_rate=0.0, flat_rate=0.0):
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    high = close + rng.exponential(1, n)
    low = close - rng.exponential(1, n)
    c = np.column_stack([np.arange(n) * 60000.0, close + rng.normal(0, 0.3, n), close, high, low,
                         rng.exponential(1000, n)])
    if flat_rate:
        flat = rng.random(n) < flat_rate
        c[flat, 1:5] = c[flat, 2:3]
    if nan_rate:
        c[:, 2:5][rng.random((n, 3)) < nan_rate] = nan
    return c


def layouts(c):
    """The same candles contiguous, Fortran-ordered, as rows of a reversed
    copy read backwards, and as a column slice of a wider matrix."""
    wide = np.zeros((len(c), 9))
    wide[:, 1:7] = c
    return {
        "c": c,
        "fortran": np.asfortranarray(c),
        "reversed": c[::-1].copy()[::-1],
        "wide": wide[:, 1:7],
    }


def check_all(c, p):
    """Every candle function of the family against its reference."""
    for name, ref in (("dm", ref_dm), ("di", ref_di)):
        for got, want in zip(getattr(k, name)(c, p), ref(c, p)):
            assert_bits_equal(got, want)
    assert_bits_equal(k.adx(c, p), ref_adx(c, p))
    for got, want in zip(k.vi(c, p, True), ref_vi(c, p)):
        assert_bits_equal(got, want)
    for got, want in zip(k.dx(c, p, p + 3, False), ref_dx(c, p, p + 3)):
        assert_bits_equal(got, want)
    if len(c):
        assert_bits_equal(k.adxr(c, p), ref_adxr(c, p))
        for long in (True, False):
            assert_bits_equal(k.safezonestop(c, p, 2.5, p // 2, long), ref_safezone(c, p, 2.5, p // 2, long))
        if p:
            for got, want in zip(k.supertrend(c, p, 3.0), ref_supertrend(c, p, 3.0)):
                assert_bits_equal(got, want)
    if len(c) > 1:
        assert_bits_equal(k.sar(c, 0.02, 0.2), ref_sar(c, 0.02, 0.2))


# -------------------------------------------------------------------- tests

@pytest.mark.parametrize("fixture", ["daily_candles", "minute_candles"])
def test_real_candles_match_references(fixture, request):
    c = request.getfixturevalue(fixture)[:3000]
    for p in (1, 2, 7, 14, 30):
        check_all(c, p)
    assert_bits_equal(k.sar(c, 0.02, 0.2), ref_sar(c, 0.02, 0.2))
    for got, want in zip(k.alligator(c[:, 2]), ref_alligator(c[:, 2].tolist())):
        assert_bits_equal(got, want)
    for args in ((9, 26, 52, 26), (9, 26, 52, 0), (9, 26, 52, 1), (5000, 3, 0, 40)):
        assert_bits_equal(k.ichimoku_cloud(c, *args), ref_ichimoku(c, *args))


@pytest.mark.parametrize("seed", range(6))
def test_random_candles_all_layouts(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 90))
    c = make_candles(rng, n, nan_rate=[0, 0.03, 0.2][seed % 3], flat_rate=0.2 * (seed % 2))
    for p in (0, 1, 3, 8, 9, 17, n - 1, n, n + 1):
        if p < 0:
            continue
        check_all(c, p)
        calls = {
            "dm": lambda v: k.dm(v, p), "di": lambda v: k.di(v, p), "adx": lambda v: (k.adx(v, p),),
            "adxr": lambda v: (k.adxr(v, p),), "vi": lambda v: k.vi(v, p, True),
            "sar": lambda v: (k.sar(v, 0.02, 0.2),), "safezone": lambda v: (k.safezonestop(v, p, 2.0, 4, False),),
        }
        if n < 2:
            del calls["sar"]
        for name, call in calls.items():
            expected = call(c)
            for layout, view in layouts(c).items():
                for got, want in zip(call(view), expected):
                    assert_bits_equal(got, want)


finite = st.floats(-1e6, 1e6, allow_nan=False, width=64)
price = st.one_of(finite, st.just(nan), st.just(inf), st.just(-inf), st.just(0.0), st.just(-0.0))


@st.composite
def candle_rows(draw, min_rows=0, max_rows=30, values=price):
    n = draw(st.integers(min_rows, max_rows))
    rows = [[0.0, 0.0] + [draw(values) for _ in range(3)] + [1.0] for _ in range(n)]
    return np.array(rows, dtype=np.float64).reshape(n, 6)


@settings(max_examples=150, deadline=None)
@given(c=candle_rows(), p=st.integers(0, 12))
def test_hypothesis_candles_with_nan_and_inf(c, p):
    with np.errstate(all="ignore"):
        check_all(c, p)


@settings(max_examples=150, deadline=None)
@given(c=candle_rows(min_rows=2, values=st.sampled_from([1.0, 2.0, 3.0, nan, -0.0, 0.0])),
       a=st.sampled_from([0.02, 0.5, 0.0, nan]), mx=st.sampled_from([0.2, 0.01, nan]))
def test_hypothesis_sar_regimes(c, a, mx):
    # Few distinct prices: ties, NaN comparisons and reversals on most rows.
    assert_bits_equal(k.sar(c, a, mx), ref_sar(c, a, mx))


@settings(max_examples=100, deadline=None)
@given(x=st.lists(price, max_size=40))
def test_hypothesis_alligator(x):
    with np.errstate(all="ignore"):
        for got, want in zip(k.alligator(np.array(x, dtype=np.float64)), ref_alligator(x)):
            assert_bits_equal(got, want)


def test_dm_documented_cases():
    c = make_candles(np.random.default_rng(1), 10)
    for p in (10, 11, HUGE):
        plus, minus = k.dm(c, p)
        assert np.isnan(plus).all() and np.isnan(minus).all() and len(plus) == 10
    # n = p + 1: only the last position, the plain sum of the movements.
    plus, _ = k.dm(c, 9)
    assert np.isnan(plus[:9]).all() and plus[9] == ref_dm(c, 9)[0][9]
    plus, minus = k.dm(c, 0)
    assert plus[0] == 0.0 and minus[0] == 0.0 and np.isnan(plus[1:]).all()
    # Too few columns only matter once the computation runs.
    assert np.isnan(k.dm(c[:, :4], 10)[0]).all()
    with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
        k.dm(c[:, :4], 3)


def test_di_flat_candles_and_short_input():
    flat = np.full((6, 6), 5.0)
    plus, minus = k.di(flat, 3)
    assert_bits_equal(plus, [nan, nan, nan, 0.0, 0.0, 0.0])
    assert_bits_equal(minus, [nan, nan, nan, 0.0, 0.0, 0.0])
    one = make_candles(np.random.default_rng(2), 1)
    assert np.isnan(k.di(one, 0)[0]).all()
    assert np.isnan(k.di(flat, HUGE)[0]).all()
    with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
        k.di(flat[:, :4], 2)


def test_dx_documented_cases():
    assert [len(a) for a in k.dx(np.empty((0, 2)), 14, 14, True)] == [0, 0, 0]
    one = np.array([[0, 1, 10.0, 12.0, 9.0, 1]])
    adx, pdi, mdi = k.dx(one, 14, 14, True)
    # A single candle seeds both ends of the recurrences with itself.
    assert_bits_equal(adx, ref_dx(one, 14, 14)[0]) and pdi[0] == 0.0 and mdi[0] == 0.0
    c = make_candles(np.random.default_rng(3), 40)
    full = k.dx(c, 14, 14, True)
    assert not any(np.isnan(a).any() for a in full)
    for got, want in zip(full, k.dx(c, 14, 14, False)):  # the flag is ignored
        assert_bits_equal(got, want)
    with np.errstate(all="ignore"):
        for got, want in zip(k.dx(c, 0, 0, True), ref_dx(c, 0, 0)):
            assert_bits_equal(got, want)
        for got, want in zip(k.dx(c, HUGE, HUGE, True), ref_dx(c, HUGE, HUGE)):
            assert_bits_equal(got, want)
    with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
        k.dx(c[:, :4], 14, 14, True)
    with pytest.raises(TypeError, match="argument '_sequential'"):
        k.dx(c, 14, 14, 1)


def test_adx_and_adxr_first_values():
    c = make_candles(np.random.default_rng(4), 60)
    p = 7
    out = k.adx(c, p)
    assert np.isnan(out[:2 * p]).all() and not np.isnan(out[2 * p:]).any()
    assert np.isnan(k.adx(c, 30)).all() and np.isnan(k.adx(c, HUGE)).all() and np.isnan(k.adx(c, 0)).all()
    assert np.isnan(k.adx(c[:, :4], 30)).all()  # returned before the columns are read
    with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
        k.adx(c[:, :4], 7)
    r = k.adxr(c, p)
    assert np.isnan(r[:2 * p - 1]).all() and not np.isnan(r[2 * p - 1:]).any()
    assert np.isnan(k.adxr(c, 0)).all() and np.isnan(k.adxr(c, HUGE)).all()
    for bad in (np.empty((0, 6)), c[:, :4]):
        with pytest.raises(k.InternalError):
            k.adxr(bad, p)


def test_vi_sequential_and_lanes():
    c = make_candles(np.random.default_rng(5), 50)
    vp, vm = k.vi(c, 3, False)
    assert vp.shape == (1,) and vm.shape == (1,) and vp[0] == k.vi(c, 3, True)[0][-1]
    # p >= n: full all-NaN arrays whatever the flag.
    for flag in (True, False):
        vp, vm = k.vi(c, 50, flag)
        assert vp.shape == (50,) and np.isnan(vp).all() and np.isnan(vm).all()
    assert [a.shape for a in k.vi(np.empty((0, 6)), 3, False)] == [(0,), (0,)]
    # Eight or more values per window use the lane grouping, which a plain
    # running sum does not reproduce: prices spread over many decades.
    rng = np.random.default_rng(5)
    close = rng.lognormal(0, 3, 200)
    wild = np.column_stack([close, close, close, close * (1 + rng.random(200)),
                            close * (1 - rng.random(200) * 0.9), close])
    vp = k.vi(wild, 12, True)[0]
    cl, hi, lo = cols(wild)
    tr = [tr_at(cl, hi, lo, i) for i in range(200)]
    up = [0.0] + [abs(hi[i] - lo[i - 1]) for i in range(1, 200)]
    plain = [running_sum(up[s - 11:s + 1]) / running_sum(tr[s - 11:s + 1]) for s in range(12, 200)]
    assert_bits_equal(vp, ref_vi(wild, 12)[0])
    assert sum(a != b for a, b in zip(vp[12:], plain)) > 10
    with pytest.raises(TypeError, match="argument 'sequential'"):
        k.vi(c, 3, 0)


def test_alligator_documented_cases():
    assert all(np.isnan(a).all() for a in k.alligator(np.arange(12.0)))
    jaw, teeth, lips = k.alligator(np.arange(13.0))
    assert np.isnan(jaw).all()
    assert np.flatnonzero(~np.isnan(teeth)).tolist() == [12]
    assert np.flatnonzero(~np.isnan(lips)).tolist() == list(range(7, 13))
    x = np.random.default_rng(6).normal(size=200)
    jaw, teeth, lips = k.alligator(x[::-2])
    assert [int(np.argmax(~np.isnan(a))) for a in (jaw, teeth, lips)] == [20, 12, 7]
    for got, want in zip((jaw, teeth, lips), ref_alligator(x[::-2].tolist())):
        assert_bits_equal(got, want)


def test_ichimoku_documented_cases():
    c = make_candles(np.random.default_rng(7), 30)
    conv, base, a, b = k.ichimoku_cloud(c, 9, 26, 52, 26)
    assert isinstance(conv, float) and math.isnan(b) and not math.isnan(conv)
    assert all(math.isnan(v) for v in k.ichimoku_cloud(c, 9, 26, 52, 1)[2:])
    assert all(math.isnan(v) for v in k.ichimoku_cloud(c, 0, 0, 0, 0))
    # A displacement reaching before the first row fails, however large.
    for disp in (32, 2**63, HUGE):
        with pytest.raises(k.InternalError, match="assertion failed: end <= axis_len"):
            k.ichimoku_cloud(c, 9, 26, 52, disp)
    with pytest.raises(k.InternalError, match="assertion failed: end <= axis_len"):
        k.ichimoku_cloud(np.empty((0, 6)), 9, 26, 52, 0)
    assert all(math.isnan(v) for v in k.ichimoku_cloud(c, HUGE, HUGE, HUGE, 0))
    with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
        k.ichimoku_cloud(c[:, :4], 9, 26, 52, 26)


def test_supertrend_documented_cases():
    c = make_candles(np.random.default_rng(8), 80)
    trend, changed = k.supertrend(c, 10, 3.0)
    assert not trend[:9].any() and trend[9] != 0 and not changed[:10].any()
    # changed marks exactly the rows whose band switches regime.
    flips = [i for i in range(10, 80) if changed[i]]
    assert flips
    for p in (81, HUGE):
        trend, changed = k.supertrend(c, p, 3.0)
        assert not trend.any() and not changed.any()
    for bad in (np.empty((0, 6)), c[:, :4]):
        with pytest.raises(k.InternalError):
            k.supertrend(bad, 10, 3.0)
    with pytest.raises(k.InternalError):
        k.supertrend(c, 0, 3.0)


def test_sar_documented_cases():
    c = np.array([[0, 0, 10.0, 11.0, 9.0, 0], [0, 0, 12.0, 13.0, 10.0, 0]])
    cand = min_num(9.0 + 0.02 * (11.0 - 9.0), 9.0)
    assert_bits_equal(k.sar(c, 0.02, 0.2), [9.0, cand])
    pierce = c.copy()
    pierce[1, 4] = 8.0  # the second low pierces the start stop: reversal to the first high
    assert_bits_equal(k.sar(pierce, 0.02, 0.2), [9.0, 11.0])
    assert k.sar(np.empty((0, 2)), 0.02, 0.2).shape == (0,)
    for bad in (c[:1], c[:, :4]):
        with pytest.raises(k.InternalError):
            k.sar(bad, 0.02, 0.2)


def test_safezonestop_documented_cases():
    c = make_candles(np.random.default_rng(9), 40)
    close, high, low = cols(c)
    # max_lookback 1: the candidate stops themselves.
    stops = k.safezonestop(c, 22, 2.5, 1, True)
    assert stops[0] == 0.0
    assert_bits_equal(stops, ref_safezone(c, 22, 2.5, 1, True))
    short = k.safezonestop(c, 22, 2.5, 3, False)
    assert short[0] == 0.0 and short[1] == 0.0 and short[2] == 0.0
    assert_bits_equal(k.safezonestop(c[:1, :2], 22, 2.5, 3, False), [0.0])
    for lb in (0, HUGE):
        for long in (True, False):
            assert_bits_equal(k.safezonestop(c, 22, 2.5, lb, long), ref_safezone(c, 22, 2.5, 0, long))
    with np.errstate(all="ignore"):
        assert_bits_equal(k.safezonestop(c, 0, 2.5, 5, True), ref_safezone(c, 0, 2.5, 5, True))
    for bad in (np.empty((0, 6)), c[:, :4]):
        with pytest.raises(k.InternalError):
            k.safezonestop(bad, 22, 2.5, 3, True)
    with pytest.raises(TypeError, match="argument 'direction'"):
        k.safezonestop(c, 22, 2.5, 3, "long")


def test_safezonestop_signed_zero_and_nan_windows():
    # Candidates of +-0.0 and NaN in any order: the rolling fold must give the
    # sign a refold of the window gives, and an all-NaN window the start value.
    rng = np.random.default_rng(10)
    for _ in range(30):
        n = int(rng.integers(2, 25))
        c = np.zeros((n, 6))
        c[:, 3] = rng.choice([0.0, -0.0, 1.0, nan], n)
        c[:, 4] = rng.choice([0.0, -0.0, 1.0, nan], n)
        for lb in (0, 1, 2, 5):
            for long in (True, False):
                for m in (0.0, -0.0, 1.0):
                    assert_bits_equal(k.safezonestop(c, 3, m, lb, long), ref_safezone(c, 3, m, lb, long))


@pytest.mark.parametrize("p", [14, 4095, 5000])
def test_vi_long_input_matches_single_windows(p, minute_candles):
    # Every window of the full series equals the one-window call on just its
    # rows (plus the row before): long inputs are summed block by block.
    c = minute_candles
    vp, vm = k.vi(c, p, True)
    ends = sorted({p, p + 1, len(c) - 1} | set(range(p + 4090, len(c), 997)))
    for e in ends:
        one = k.vi(c[e - p:e + 1], p, False)
        assert (bits(vp[e]) == bits(one[0][0])) and (bits(vm[e]) == bits(one[1][0])), e
