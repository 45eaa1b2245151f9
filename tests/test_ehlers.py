"""Cycle filters checked bit for bit against plain-Python restatements of each
recurrence (Python floats round every operation separately and its math
module calls the same C library functions)."""
import math

import numpy as np
import pytest

import korva_rust as k
from conftest import assert_bits_equal

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
