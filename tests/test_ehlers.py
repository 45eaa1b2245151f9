"""Cycle filters checked bit for bit against plain-Python restatements of each
recurrence (Python floats round every operation separately and its math
module calls the same C library functions)."""
import math

import numpy as np
import pytest

import korva_rust as k
from support import assert_bits_equal, max_num, min_num

NAN = math.nan
TWO_PI = 6.283185307179586
PI = 3.141592653589793
PI_1414 = 1.414 * PI
PI_1738 = 1.738 * PI
HUGE = 2**64 - 1


def random_walk(n, seed=0):
    rng = np.random.default_rng(seed)
    return 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))


# ---------------------------------------------------------------- references


def ref_super_smoother(x, p):
    out = list(x)
    a = math.exp(-PI_1414 / p)
    kk = math.cos(PI_1414 / p)
    c2 = kk * (a + a)
    a2 = a * a
    c1 = ((a2 + 1.0) - c2) * 0.5
    for i in range(2, len(x)):
        out[i] = ((c1 * (x[i] + x[i - 1])) + c2 * out[i - 1]) - a2 * out[i - 2]
    return out


def ref_supersmoother_3(x, p):
    out = list(x)
    if len(x) <= 3:
        return out
    a = math.exp(-PI / p)
    g = a * a
    b = math.cos(PI_1738 / p) * (a + a)
    cx = (g * b) + ((1.0 - g * g) - b)
    c1 = g + b
    c2 = (-(a * a)) - (g * b)
    c3 = g * g
    for i in range(3, len(x)):
        out[i] = (((cx * x[i]) + c1 * out[i - 1]) + c2 * out[i - 2]) + c3 * out[i - 3]
    return out


def ref_high_pass_1(y, q):
    out = list(y)
    theta = TWO_PI / q
    alpha = ((math.sin(theta) + (-1.0)) / math.cos(theta)) + 1.0
    kk = alpha * (-0.5) + 1.0
    r = 1.0 - alpha
    for i in range(1, len(y)):
        out[i] = ((kk * y[i]) - (kk * y[i - 1])) + r * out[i - 1]
    return out


def ref_high_pass_2(x, p):
    out = list(x)
    if len(x) <= 2:
        return out
    theta = PI_1414 / p
    alpha = ((math.sin(theta) + (-1.0)) / math.cos(theta)) + 1.0
    g = (alpha * (-0.5) + 1.0) ** 2
    h = g + g
    r = 1.0 - alpha
    q2 = r * r
    q1 = 2.0 * r
    for i in range(2, len(x)):
        out[i] = ((((g * x[i]) - h * x[i - 1]) + g * x[i - 2]) + q1 * out[i - 1]) - q2 * out[i - 2]
    return out


def ref_gauss(x, p, m):
    z = [v for v in x if not math.isnan(v)]
    beta = (1.0 - math.cos(TWO_PI / p)) / (math.exp2(1.0 / m) + (-1.0))
    alpha = math.sqrt((beta * beta) + (beta + beta)) - beta
    v = 1.0 - alpha
    if m == 1:
        d, e = alpha, [v]
    elif m == 2:
        d, e = alpha * alpha, [v + v, -(v * v)]
    elif m == 3:
        d, e = alpha * (alpha * alpha), [3 * v, -3 * (v * v), v * (v * v)]
    else:
        d, e = (alpha * alpha) * (alpha * alpha), [4 * v, -6 * (v * v), (v * (v * v)) * 4, -((v * v) * (v * v))]
    y = []
    for j, zj in enumerate(z):
        hist = [y[j - t] if j - t >= 0 else 0.0 for t in range(1, len(e) + 1)]
        acc = e[0] * hist[0]
        for t in range(1, len(e)):
            acc = acc + e[t] * hist[t]
        y.append((d * zj) + acc)
    return [NAN] * (len(x) - len(z)) + y


def ref_bandpass(x, p, w):
    n = len(x)
    hp = ref_high_pass_1(x, (p * 4.0) / w)
    beta = math.cos(TWO_PI / p)
    gamma = math.cos((w * TWO_PI) / p)
    alpha = (1.0 / gamma) - math.sqrt((1.0 / (gamma * gamma)) + (-1.0))
    k1 = (1.0 - alpha) * 0.5
    k2 = beta * (alpha + 1.0)
    bp = list(hp)
    for i in range(2, n):
        bp[i] = ((k1 * (hp[i] - hp[i - 2])) + k2 * bp[i - 1]) - alpha * bp[i - 2]
    pk = [0.0] * n
    for i in range(n):
        if i == 0:
            pk[0] = bp[0]
        else:
            pk[i] = pk[i - 1] * 0.991
            if abs(bp[i]) > pk[i]:
                pk[i] = abs(bp[i])
    norm = [bp[i] / pk[i] if pk[i] != 0 else 0.0 for i in range(n)]
    trig = ref_high_pass_1(norm, (p / w) / 1.5)
    sig = [1.0 if a < b else (-1.0 if b < a else 0.0) for a, b in zip(norm, trig)]
    return bp, norm, sig, trig


# ------------------------------------------------------------------ 7.1 tests

SIMPLE = [
    (k.supersmoother, ref_super_smoother, 2),
    (k.supersmoother_3_pole, ref_supersmoother_3, 3),
    (k.high_pass, ref_high_pass_1, 1),
    (k.high_pass_2_pole, ref_high_pass_2, 2),
]


@pytest.mark.parametrize("fn,ref,copied", SIMPLE, ids=lambda v: getattr(v, "__name__", str(v)))
def test_simple_filters_match_reference(fn, ref, copied, minute_candles):
    closes = minute_candles[:, 2]
    walk = random_walk(3000, seed=1)
    for x in (walk, closes[:4000], walk[::-3]):
        for period in (1, 2, 3, 7, 10, 20, 48, 200, 10**9):
            expected = ref(list(map(float, x)), float(period))
            assert_bits_equal(fn(x, period), expected)
    # The first positions copy the input; shorter inputs come back unchanged.
    out = fn(walk[:50], 10)
    assert_bits_equal(out[:copied], walk[:copied])
    for n in range(copied + 1):
        assert_bits_equal(fn(walk[:n], 10), walk[:n])


@pytest.mark.parametrize("fn", [s[0] for s in SIMPLE])
def test_simple_filters_degenerate_periods(fn):
    x = random_walk(40)
    # A strided candle column gives the result of its contiguous copy.
    m = np.ascontiguousarray(np.stack([x, x * 2], axis=1))
    assert_bits_equal(fn(m[:, 0], 9), fn(x.copy(), 9))
    # Zero and huge periods raise nothing; NaN propagates from where it enters.
    for period in (0, HUGE):
        assert fn(x, period).shape == (40,)
    y = x.copy()
    y[20] = NAN
    out = fn(y, 10)
    assert not np.isnan(out[:20]).any() and np.isnan(out[20:]).all()


def test_gauss_matches_reference(daily_candles):
    closes = daily_candles[:, 2]
    walk = random_walk(1000, seed=2)
    for x in (walk, closes, closes[::-2]):
        for period in (2, 3, 14, 100):
            for poles in (1, 2, 3, 4, 5, 9):
                assert_bits_equal(k.gauss(x, period, poles), ref_gauss(list(map(float, x)), float(period), poles))
    # Five or more poles reuse the 4-pole recurrence, but the coefficient
    # still depends on the pole count.
    assert (k.gauss(walk, 14, 5) != k.gauss(walk, 14, 4)).all()


def test_gauss_drops_nans_and_right_aligns():
    x = random_walk(50, seed=3)
    lead = x.copy()
    lead[:3] = NAN
    out = k.gauss(lead, 10, 4)
    assert np.isnan(out[:3]).all()
    assert_bits_equal(out[3:], k.gauss(x[3:], 10, 4))
    mid = x.copy()
    mid[20] = NAN
    out = k.gauss(mid, 10, 2)
    clean = k.gauss(np.delete(x, 20), 10, 2)
    assert math.isnan(out[0])
    assert_bits_equal(out[1:], clean)
    assert_bits_equal(out, ref_gauss(list(mid), 10.0, 2))
    # A negative zero as first value keeps the zero history terms in the sum.
    z = np.array([-0.0, 1.0, 2.0])
    assert_bits_equal(k.gauss(z, 5, 3), ref_gauss(list(z), 5.0, 3))


def test_gauss_zero_poles():
    assert k.gauss(np.array([]), 10, 0).shape == (0,)
    assert np.isnan(k.gauss(np.array([NAN, NAN]), 10, 0)).all()
    with pytest.raises(k.InternalError, match="index out of bounds"):
        k.gauss(np.array([NAN, 1.0]), 10, 0)
    assert k.gauss(random_walk(20), HUGE, 3).shape == (20,)


def test_bandpass_matches_reference(minute_candles):
    closes = minute_candles[:, 2]
    walk = random_walk(2000, seed=4)
    for x in (walk, closes[:3000], closes[1::7]):
        for period, w in ((20, 0.3), (10, 0.1), (48, 0.5), (5, 1.7)):
            got = k.bandpass(x, period, w)
            assert isinstance(got, tuple) and len(got) == 4
            for a, e in zip(got, ref_bandpass(list(map(float, x)), float(period), w)):
                assert_bits_equal(a, e)
    for n in (0, 1, 2, 3):
        got = k.bandpass(walk[:n], 20, 0.3)
        for a, e in zip(got, ref_bandpass(list(walk[:n]), 20.0, 0.3)):
            assert_bits_equal(a, e)
    assert k.bandpass(walk, 20, 0.3)[2][0] == 0.0


def test_bandpass_peak_and_degenerate_inputs():
    # A negative first value is its own first peak, so the normalised value
    # starts at 1.0 and a zero start normalises to 0.0.
    x = np.array([-2.0, -1.0, 3.0, 0.5, 4.0, 1.0])
    for a, e in zip(k.bandpass(x, 10, 0.3), ref_bandpass(list(x), 10.0, 0.3)):
        assert_bits_equal(a, e)
    assert k.bandpass(x, 10, 0.3)[1][0] == 1.0
    assert k.bandpass(np.zeros(5), 10, 0.3)[1][0] == 0.0
    for period, w in ((0, 0.3), (20, 0.0), (HUGE, 0.3), (20, NAN)):
        assert all(a.shape == (6,) for a in k.bandpass(x, period, w))
    with pytest.raises(TypeError, match="argument 'bandwidth'"):
        k.bandpass(x, 10, "wide")


# ---------------------------------------------------------------- references


def ref_flex(x, p, reflex):
    n = len(x)
    out = [0.0] * n
    if p >= n:
        return out
    P = float(p)
    f = ref_super_smoother(x, P * 0.5)
    ms = [0.0] * n
    for i in range(p, n):
        slope = (f[i - p] - f[i]) / P
        s = 0.0
        for j in range(1, p + 1):
            s = s + (((f[i] + slope * float(j)) - f[i - j]) if reflex else (f[i] - f[i - j]))
        r = s / P
        ms[i] = (r * (r * 0.04)) + (ms[i - 1] * 0.96)
        if (ms[i] > 0) if reflex else (ms[i] != 0):
            out[i] = r / math.sqrt(ms[i])
    return out


def ref_itrend(x, a):
    n = len(x)
    it = list(x)
    for i in range(2, min(n, 7)):
        it[i] = (x[i - 2] + (x[i] + (x[i - 1] + x[i - 1]))) * 0.25
    t0 = (1 * a) * a
    t1 = (3 * a) * a
    c0 = a + t0 * (-0.25)
    c2 = a + t1 * (-0.25)
    h = 0.5 * t0
    m = 1 - a
    q2 = m * m
    q1 = 2.0 * m
    for i in range(7, n):
        it[i] = ((((c0 * x[i]) + (h * x[i - 1])) - (c2 * x[i - 2])) + (q1 * it[i - 1])) - (q2 * it[i - 2])
    trig = [(it[i] + it[i]) - it[i - 20 if i >= 20 else i] for i in range(n)]
    sig = [1.0 if t > v else (-1.0 if t < v else 0.0) for t, v in zip(trig, it)]
    return sig, it, trig


def ref_voss(x, period, predict, w):
    n = len(x)
    P = float(period)
    f1 = math.cos(TWO_PI / P)
    g1 = math.cos(((w + w) * PI) / P)
    s1 = (1.0 / g1) - math.sqrt((1.0 / (g1 * g1)) + (-1.0))
    k1 = (1.0 - s1) * 0.5
    k2 = f1 * (s1 + 1.0)
    order = 3 * predict
    start = max(period, order, 5)
    filt = [0.0] * n
    voss = [0.0] * n
    for i in range(start + 1, n):
        filt[i] = ((k1 * (x[i] - x[i - 2])) + (k2 * filt[i - 1])) - (s1 * filt[i - 2])
    c = (float(order) + 3.0) * 0.5
    for j in range(start + 1, n):
        sumc = -0.0
        for q in range(order):
            sumc = sumc + ((float(q + 1) / float(order)) * voss[j - order + q])
        voss[j] = (c * filt[j]) - sumc
    return voss, filt


def ref_edcf(x, p):
    n = len(x)
    out = [NAN] * n
    if p < 2 or n <= 2 * p:
        return out
    dist = [0.0] * n
    for i in range(p - 1, n):
        s = 0.0
        for k_ in range(1, p):
            s = s + (x[i] - x[i - k_]) * (x[i] - x[i - k_])
        dist[i] = s
    num = den = 0.0
    for j in range(p + 1, 2 * p + 1):
        num = num + dist[j] * x[j]
        den = den + dist[j]
    out[2 * p] = 0.0 if den == 0 else num / den
    for m in range(2 * p + 1, n):
        o = m - p
        den = (den - dist[o]) + dist[m]
        num = (num - dist[o] * x[o]) + dist[m] * x[m]
        out[m] = 0.0 if den == 0 else num / den
    return out


def ref_correlation_cycle(x, period, threshold):
    n = len(x)
    L = max(period, 2)
    real, imag, angle, state = [NAN] * n, [NAN] * n, [NAN] * n, [0.0] * n
    c = [math.cos(((k_ + 1.0) * TWO_PI) / L) for k_ in range(L)]
    s = [math.sin(((k_ + 1.0) * (-TWO_PI)) / L) for k_ in range(L)]
    sc = ss = scc = sss = -0.0
    for k_ in range(L):
        sc = sc + c[k_]
        ss = ss + s[k_]
        scc = scc + c[k_] * c[k_]
        sss = sss + s[k_] * s[k_]
    vc = scc * L - sc * sc
    vc = math.sqrt(vc) if vc > 0 else 0.0
    vs = sss * L - ss * ss
    vs = math.sqrt(vs) if vs > 0 else 0.0
    for l in range(L, n):
        sx = sxc = sxs = sxx = 0.0
        for k_ in range(L):
            v = x[l - 1 - k_]
            v = 0.0 if math.isnan(v) else v
            sx = sx + v
            sxc = sxc + c[k_] * v
            sxs = sxs + v * s[k_]
            sxx = sxx + v * v
        d = sxx * L - sx * sx
        if d > 0:
            if vc > 0:
                real[l] = (sxc * L - sc * sx) / (vc * math.sqrt(d))
            if vs > 0:
                imag[l] = (sxs * L - ss * sx) / (vs * math.sqrt(d))
    for i in range(n):
        if not math.isnan(imag[i]):
            if imag[i] == 0:
                angle[i] = 0.0
            else:
                z = (math.atan(real[i] / imag[i]) + 1.5707963267948966) * 57.29577951308232
                angle[i] = z - 180 if imag[i] > 0 else z
    a = list(angle)
    for i in range(1, n):
        if a[i - 1] > angle[i] and a[i - 1] - angle[i] < 270:
            angle[i] = a[i - 1]
    for i in range(1, n):
        if abs(angle[i] - angle[i - 1]) < threshold:
            state[i] = 1.0 if angle[i] >= 0 else -1.0
    return real, imag, angle, state


def ref_mama(x, fl, sl):
    n = len(x)
    z = lambda: [0.0] * n  # noqa: E731
    smooth, det, q1, i1, ji, jq, i2, q2, re, im, per, ph, mama, fama = (z() for _ in range(14))
    for i in range(1, n):
        at = lambda v, lag: v[max(i - lag, 0)]  # noqa: E731
        smooth[i] = ((((4.0 * x[i]) + (3.0 * x[i - 1])) + (at(x, 2) + at(x, 2))) + at(x, 3)) / 10.0
        k_ = (per[i - 1] * 0.075) + 0.54

        def hil(v):
            return k_ * ((((v[i] * 0.0962) + (at(v, 2) * 0.5769)) - (at(v, 4) * 0.5769)) - (at(v, 6) * 0.0962))

        det[i] = hil(smooth)
        q1[i] = hil(det)
        i1[i] = at(det, 3)
        ji[i] = hil(i1)
        jq[i] = hil(q1)
        i2[i] = ((i1[i] - jq[i]) * 0.2) + (i2[i - 1] * 0.8)
        q2[i] = ((q1[i] + ji[i]) * 0.2) + (q2[i - 1] * 0.8)
        re[i] = (re[i - 1] * 0.8) + (((q2[i - 1] * q2[i]) + (i2[i] * i2[i - 1])) * 0.2)
        im[i] = (((q2[i - 1] * i2[i]) - (q2[i] * i2[i - 1])) * 0.2) + (im[i - 1] * 0.8)
        pp = per[i - 1]
        q = pp
        if im[i] != 0 and re[i] != 0:
            q = TWO_PI / math.atan(im[i] / re[i])
        if q > 1.5 * pp:
            q = 1.5 * pp
        elif q < 0.67 * pp:
            q = 0.67 * pp
        if q < 6.0:
            q = 6.0
        if q > 50.0:
            q = 50.0
        per[i] = (pp * 0.8) + (q * 0.2)
        ph[i] = 0.0 if i1[i] == 0 else (math.atan(q1[i] / i1[i]) * 180.0) / PI
        delta = max_num(ph[i - 1] - ph[i], 1.0)
        a = fl / delta
        a = max_num(a, sl)
        a = min_num(a, fl)
        mama[i] = (x[i] * a) + (mama[i - 1] * (1.0 - a))
        fama[i] = (fama[i - 1] * (1.0 - a * 0.5)) + ((a * 0.5) * mama[i])
    return mama, fama


def ref_pma(x):
    n = len(x)
    pred, trig, w = [NAN] * n, [NAN] * n, [0.0] * n
    if n <= 6:
        return pred, trig
    for i in range(6, n):
        w[i] = (x[i - 6] + (((((7 * x[i] + 6 * x[i - 1]) + 5 * x[i - 2]) + 4 * x[i - 3]) + 3 * x[i - 4])
                            + (x[i - 5] + x[i - 5]))) / 28
        w2 = (w[i - 6] + (2 * w[i - 5] + (3 * w[i - 4] + (4 * w[i - 3] + (5 * w[i - 2] + (6 * w[i - 1] + 7 * w[i]))))))
        pred[i] = (w[i] + w[i]) - w2 / 28
    for i in range(6, n):
        if not math.isnan(pred[i]):
            p1, p2, p3 = (0.0 if math.isnan(v) else v for v in (pred[i - 1], pred[i - 2], pred[i - 3]))
            trig[i] = (p3 + ((p2 + p2) + ((4 * pred[i]) + (3 * p1)))) / 10
    return pred, trig


def series_inputs(candles, n, seed):
    """A random walk, real closes and a reversed strided view of the candles."""
    closes = candles[:, 2]
    return [random_walk(n, seed), closes[:n], closes[::-3][:n]]


def check_tuple(got, expected, count):
    assert isinstance(got, tuple) and len(got) == count
    for a, e in zip(got, expected):
        assert_bits_equal(a, e)


# ------------------------------------------------------------------ 7.2 tests


@pytest.mark.parametrize("fn,reflex", [(k.reflex, True), (k.trendflex, False)])
def test_flex_matches_reference(fn, reflex, minute_candles):
    for x in series_inputs(minute_candles, 700, 5):
        xl = list(map(float, x))
        for period in (1, 2, 5, 20, 48):
            assert_bits_equal(fn(x, period), ref_flex(xl, period, reflex))
        # Every count of leftover positions past the eight-wide blocks.
        for n in range(21, 40):
            assert_bits_equal(fn(x[:n], 20), ref_flex(xl[:n], 20, reflex))


@pytest.mark.parametrize("fn,reflex", [(k.reflex, True), (k.trendflex, False)])
def test_flex_edges(fn, reflex):
    x = random_walk(60, 6)
    out = fn(x, 10)
    assert (out[:10] == 0.0).all() and not np.signbit(out[:10]).any()
    for period in (60, 61, HUGE):
        assert_bits_equal(fn(x, period), np.zeros(60))
    assert fn(np.array([]), 0).shape == (0,)
    with pytest.raises(k.InternalError, match="index out of bounds"):
        fn(x, 0)
    # A NaN ends the mean square: reflex writes 0.0 from there, trendflex NaN.
    y = x.copy()
    y[30] = NAN
    out = fn(y, 10)
    assert_bits_equal(out, ref_flex(list(y), 10, reflex))
    assert (out[35:] == 0.0).all() if reflex else np.isnan(out[35:]).all()


def test_itrend_matches_reference(daily_candles):
    for x in series_inputs(daily_candles, 1500, 7):
        for a in (0.07, 0.2, 0.5, 1.0, 0.0):
            check_tuple(k.itrend(x, a), ref_itrend(list(map(float, x)), a), 3)
    short = np.array([3.0, -1.0])
    sig, it, trig = k.itrend(short, 0.07)
    assert_bits_equal(it, short)
    assert_bits_equal(trig, short)
    assert_bits_equal(sig, [0.0, 0.0])
    check_tuple(k.itrend(np.array([]), 0.07), ([], [], []), 3)


def test_voss_matches_reference(minute_candles):
    for x in series_inputs(minute_candles, 600, 8):
        xl = list(map(float, x))
        for period, predict, w in ((20, 3, 0.25), (5, 0, 0.25), (10, 1, 0.1), (3, 4, 0.5), (40, 2, 0.3)):
            check_tuple(k.voss(x, period, predict, w), ref_voss(xl, period, predict, w), 2)


def test_voss_warm_up_and_huge_parameters():
    x = random_walk(100, 9)
    for period, predict in ((20, 3), (5, 10), (3, 0)):
        start = max(period, 3 * predict, 5)
        v, f = k.voss(x, period, predict, 0.25)
        assert (v[: start + 1] == 0.0).all() and (f[: start + 1] == 0.0).all()
        assert (f[start + 1:] != 0.0).all()
    for period, predict in ((HUGE, 1), (10, HUGE), (10, HUGE // 3 + 1), (10, 33), (99, 0)):
        check_tuple(k.voss(x, period, predict, 0.25), (np.zeros(100), np.zeros(100)), 2)
    check_tuple(k.voss(x, 10, 32, 0.25), ref_voss(list(x), 10, 32, 0.25), 2)


def test_edcf_matches_reference(daily_candles):
    for x in series_inputs(daily_candles, 800, 10):
        xl = list(map(float, x))
        for period in (2, 3, 15, 50):
            assert_bits_equal(k.edcf(x, period), ref_edcf(xl, period))
        for n in range(31, 50):
            assert_bits_equal(k.edcf(x[:n], 15), ref_edcf(xl[:n], 15))
    x = random_walk(40, 11)
    assert np.isnan(k.edcf(x, 20)).all()
    out = k.edcf(x[:41] if len(x) > 40 else np.append(x, 1.0), 20)
    assert np.isnan(out[:40]).all() and not math.isnan(out[40])
    for period in (0, 1, HUGE, HUGE // 2 + 1):
        assert np.isnan(k.edcf(x, period)).all()
    # A flat stretch has no distance at all: the filter writes 0.0.
    assert k.edcf(np.full(12, 5.0), 3)[6:].tolist() == [0.0] * 6


def test_correlation_cycle_matches_reference(minute_candles):
    for x in series_inputs(minute_candles, 500, 12):
        xl = list(map(float, x))
        for period, threshold in ((20, 9.0), (2, 9.0), (0, 9.0), (7, 30.0), (64, 2.0)):
            got = k.correlation_cycle(x, period, threshold)
            check_tuple(got, ref_correlation_cycle(xl, period, threshold), 4)
    # NaN inside a window counts as 0.0; the newest value is never read.
    y = random_walk(60, 13)
    y[25] = NAN
    check_tuple(k.correlation_cycle(y, 10, 9.0), ref_correlation_cycle(list(y), 10, 9.0), 4)
    z = y.copy()
    z[-1] = 1e300
    assert_bits_equal(k.correlation_cycle(z, 10, 9.0)[0], k.correlation_cycle(y, 10, 9.0)[0])
    real, imag, angle, state = k.correlation_cycle(y, 10, 9.0)
    assert np.isnan(real[:10]).all() and np.isnan(imag[:10]).all() and state[0] == 0.0


def test_correlation_cycle_short_inputs():
    x = random_walk(30, 14)
    for period in (30, 31, HUGE):
        real, imag, angle, state = k.correlation_cycle(x, period, 9.0)
        assert np.isnan(real).all() and np.isnan(imag).all() and np.isnan(angle).all()
        assert_bits_equal(state, np.zeros(30))
    check_tuple(k.correlation_cycle(np.array([]), 20, 9.0), ([], [], [], []), 4)


def test_mama_matches_reference(daily_candles):
    for x in series_inputs(daily_candles, 1200, 15):
        xl = list(map(float, x))
        for fl, sl in ((0.5, 0.05), (0.8, 0.1), (0.05, 0.5), (0.0, 0.0)):
            check_tuple(k.mama(x, fl, sl), ref_mama(xl, fl, sl), 2)
    for n in range(9):
        x = random_walk(n, 16)
        check_tuple(k.mama(x, 0.5, 0.05), ref_mama(list(x), 0.5, 0.05), 2)
    check_tuple(k.mama(np.array([7.0]), 0.5, 0.05), ([0.0], [0.0]), 2)
    y = random_walk(50, 17)
    y[20] = NAN
    check_tuple(k.mama(y, 0.5, 0.05), ref_mama(list(y), 0.5, 0.05), 2)


def test_pma_matches_reference(minute_candles):
    for x in series_inputs(minute_candles, 900, 18):
        check_tuple(k.pma(x), ref_pma(list(map(float, x))), 2)
    for n in range(10):
        x = random_walk(n, 19)
        check_tuple(k.pma(x), ref_pma(list(x)), 2)
        if n <= 6:
            assert all(np.isnan(a).all() for a in k.pma(x))
    # Predict values that are NaN count as 0.0 in later triggers.
    y = random_walk(40, 20)
    y[15] = NAN
    pred, trig = k.pma(y)
    assert_bits_equal(pred, ref_pma(list(y))[0])
    assert_bits_equal(trig, ref_pma(list(y))[1])
    # The NaN reaches predict through both six-long weightings.
    assert np.isnan(pred[15:28]).all() and not np.isnan(pred[28:]).any()
    assert not np.isnan(trig[28:]).any()


ALL = [
    lambda x: k.supersmoother(x, 10), lambda x: k.supersmoother_3_pole(x, 10), lambda x: k.high_pass(x, 10),
    lambda x: k.high_pass_2_pole(x, 10), lambda x: k.gauss(x, 10, 3), lambda x: k.bandpass(x, 10, 0.3),
    lambda x: k.reflex(x, 10), lambda x: k.trendflex(x, 10), lambda x: k.itrend(x, 0.07),
    lambda x: k.voss(x, 10, 2, 0.25), lambda x: k.edcf(x, 10), lambda x: k.correlation_cycle(x, 10, 9.0),
    lambda x: k.mama(x, 0.5, 0.05), lambda x: k.pma(x),
]


@pytest.mark.parametrize("fn", ALL)
def test_layouts_give_the_contiguous_result(fn):
    x = random_walk(101, 21)
    x[40] = NAN
    expected = fn(x)
    expected = expected if isinstance(expected, tuple) else (expected,)
    # A candle column, and a contiguous copy starting one byte off alignment.
    m = np.stack([x * 2, x], axis=1)
    raw = np.zeros(101 * 8 + 1, dtype=np.uint8)
    unaligned = np.frombuffer(raw.data, dtype=np.float64, count=101, offset=1)
    raw[1:] = np.frombuffer(x.tobytes(), dtype=np.uint8)
    for view in (m[:, 1], unaligned):
        got = fn(view)
        for a, e in zip(got if isinstance(got, tuple) else (got,), expected):
            assert_bits_equal(a, e)
