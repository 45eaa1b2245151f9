"""Window-weighted and multi-stage smoothers against plain-Python
re-statements of their loops, bit for bit, on examples, random series
(hypothesis) and real candles."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import korva_rust as k
from clib import clog, cpow
from support import assert_bits_equal

nan = math.nan
HUGE = 2**64 - 1


# Independent re-statements, element by element, in plain Python floats.
def ref_power_weighted(x, weights, first, runs):
    out = list(x)
    if not runs:
        return out
    total = -0.0
    for w in weights:
        total = total + w
    if total == 0.0:
        return out
    for i in range(first, len(x)):
        s = 0.0
        for kk, w in enumerate(weights):
            s = s + x[i - kk] * w
        out[i] = (1.0 / total) * s
    return out


def ref_cwma(x, p):
    ws = [(float(p) - float(kk)) * ((float(p) - float(kk)) * (float(p) - float(kk))) for kk in range(p - 1)]
    return ref_power_weighted(x, ws, p + 1, p >= 2 and len(x) >= p + 2)


def ref_sqwma(x, p):
    ws = [(float(p) - float(kk)) * (float(p) - float(kk)) for kk in range(p - 1)]
    return ref_power_weighted(x, ws, p + 1, p >= 2 and len(x) >= p + 2)


def ref_srwma(x, p):
    ws = [math.sqrt(float(p) - float(kk)) for kk in range(p - 1)]
    return ref_power_weighted(x, ws, p + 1, p >= 2 and len(x) >= p + 2)


def ref_vpwma(x, p, power):
    ws = [cpow(float(p) - float(kk), power) for kk in range(p - 1)]
    return ref_power_weighted(x, ws, p + 1, p >= 2 and len(x) >= p + 2)


def ref_epma(x, p, offset):
    ws = [float(p - offset - kk) for kk in range(p - 1)]
    return ref_power_weighted(x, ws, p + offset + 1, p >= 2 and p + offset + 1 < len(x))


def ref_zero_lwm(y, p):
    out = [0.0] * len(y)
    if p == 0 or p - 1 >= len(y):
        return out
    d = -0.0
    for j in range(1, p + 1):
        d = d + float(j)
    for e in range(p - 1, len(y)):
        s = 0.0
        for j in range(p, 0, -1):
            s = s + y[e - p + j] * float(j)
        out[e] = s / d
    return out


def ref_hma(x, p):
    if not x:
        return []
    half = ref_zero_lwm(x, p // 2)
    full = ref_zero_lwm(x, p)
    d = [h * 2.0 - f for h, f in zip(half, full)]
    return ref_zero_lwm(d, int(math.floor(math.sqrt(float(p)))))


def ref_nma(x, p):
    n = len(x)
    v = [xi if xi > 1e-10 else 1e-10 for xi in x]
    lv = [clog(vi) * 1000.0 for vi in v]
    out = [nan] * n
    if p == 0 or n < p + 2:
        return out
    dif = [0.0] + [abs(lv[j] - lv[j - 1]) for j in range(1, n)]
    c = [math.sqrt(float(kk) + 1.0) - math.sqrt(float(kk)) for kk in range(p)]
    for i in range(p + 1, n):
        num = den = 0.0
        for kk in range(p):
            den = den + dif[i - kk]
            num = num + dif[i - kk] * c[kk]
        ratio = 0.0 if den == 0 else num / den
        out[i] = ratio * v[i - p + 1] + (1.0 - ratio) * v[i - p]
    return out


def ref_jma(x, p, phase, power):
    if phase < -100:
        pr = 0.5
    elif phase > 100:
        pr = 2.5
    else:
        pr = phase / 100.0 + 1.5
    b = (float(p) - 1.0) * 0.45
    beta = b / (b + 2.0)
    e = power & 0xFFFFFFFF
    if e >= 2**31:
        e -= 2**32
    alpha = cpow(beta, float(e))
    out = list(x)
    ma1 = det0 = det1 = 0.0
    for i in range(1, len(x)):
        v = x[i]
        ma1 = (1 - alpha) * v + alpha * ma1
        det0 = (1 - beta) * (v - ma1) + beta * det0
        det1 = ((1 - alpha) * (1 - alpha)) * ((pr * det0 + ma1) - out[i - 1]) + (alpha * alpha) * det1
        out[i] = det1 + out[i - 1]
    return out


def ref_hwma(x, na, nb, nc):
    if not x:
        return []
    f, vel, acc = x[0], 0.0, 0.0
    out = []
    for v in x:
        f1 = na * v + (1 - na) * ((vel + f) + acc * 0.5)
        v1 = (1 - nb) * (vel + acc) + nb * (f1 - f)
        a1 = (1 - nc) * acc + nc * (v1 - vel)
        out.append((f1 + v1) + a1 * 0.5)
        f, vel, acc = f1, v1, a1
    return out


def ref_mwdx(x, factor):
    with np.errstate(all="ignore"):
        fac = np.float64(factor)
        f = float(np.float64(2.0) / ((np.float64(2.0) / fac - 1.0) + 1.0))
    out = list(x)
    for i in range(1, len(x)):
        out[i] = f * x[i] + (1.0 - f) * out[i - 1]
    return out


PERIOD_CASES = [
    (k.cwma, ref_cwma), (k.sqwma, ref_sqwma), (k.srwma, ref_srwma), (k.hma, ref_hma), (k.nma, ref_nma),
    (lambda x, p: k.vpwma(x, p, 1.7), lambda x, p: ref_vpwma(x, p, 1.7)),
    (lambda x, p: k.vpwma(x, p, -0.5), lambda x, p: ref_vpwma(x, p, -0.5)),
    (lambda x, p: k.epma(x, p, 3), lambda x, p: ref_epma(x, p, 3)),
    (lambda x, p: k.epma(x, p, p + 1), lambda x, p: ref_epma(x, p, p + 1)),
    (lambda x, p: k.jma(x, p, 50.0, 2), lambda x, p: ref_jma(x, p, 50.0, 2)),
    (lambda x, p: k.jma(x, p, -130.0, 1), lambda x, p: ref_jma(x, p, -130.0, 1)),
]
CASE_IDS = ["cwma", "sqwma", "srwma", "hma", "nma", "vpwma+", "vpwma-", "epma", "epma_neg", "jma", "jma_low"]


def test_documented_examples():
    x4 = np.array([1.0, 2.0, 3.0, 4.0])
    assert_bits_equal(k.cwma(x4, 3), x4)
    x5 = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    assert_bits_equal(k.cwma(x5, 3), [1.0, 2.0, 3.0, 4.0, (1.0 / 35.0) * (5.0 * 27.0 + 4.0 * 8.0)])
    # epma: weights 2-2-k = 0, -1, ... for offset 2 and period 2 sum to 0.
    x = np.arange(1.0, 11.0)
    assert_bits_equal(k.epma(x, 2, 2), x)
    assert_bits_equal(k.epma(x, 4, 3), ref_epma(x.tolist(), 4, 3))  # weights 1, 0, -1 sum to 0
    # hma starts with zeros, returns -x for period 1 and zeros for period 0.
    assert k.hma(x, 4)[0] == 0.0
    assert_bits_equal(k.hma(x, 1), -x)
    assert_bits_equal(k.hma(x, 0), np.zeros(10))
    out = k.nma(np.full(8, 2.5), 3)
    assert np.isnan(out[:4]).all() and (out[4:] == 2.5).all()
    # nma blends the clamped values: NaN and non-positive prices are 1e-10.
    assert_bits_equal(k.nma(np.array([nan, -1.0, 0.0, nan, 2.0]), 2),
                      ref_nma([1e-10, 1e-10, 1e-10, 1e-10, 2.0], 2))
    r = np.random.default_rng(1).normal(100, 5, 50)
    assert_bits_equal(k.jma(r, 7, -150.0, 2), k.jma(r, 7, -100.0, 2))
    assert_bits_equal(k.jma(r, 7, 150.0, 2), k.jma(r, 7, 100.0, 2))
    assert_bits_equal(k.hwma(r, 1.0, 0.0, 0.0), r)
    assert_bits_equal(k.mwdx(x, 2.0), ref_mwdx(x.tolist(), 2.0))
    assert k.mwdx(x, 2.0)[1] == 2.0 * 2.0 + (1.0 - 2.0) * 1.0


def test_degenerate_parameters_never_raise():
    x = np.arange(1.0, 21.0)
    for fn in (k.cwma, k.sqwma, k.srwma):
        for p in (0, 1, 19, HUGE):
            assert_bits_equal(fn(x, p), x)
    for p in (0, 1, HUGE):
        assert_bits_equal(k.vpwma(x, p, 2.0), x)
        assert_bits_equal(k.epma(x, p, 1), x)
    # period + offset + 1 would wrap around for these.
    for p, off in ((2, HUGE), (HUGE, 2), (HUGE, HUGE), (10, 2**64 - 11), (5, 14)):
        assert_bits_equal(k.epma(x, p, off), x)
    assert_bits_equal(k.epma(x, 5, 13), ref_epma(x.tolist(), 5, 13))
    assert np.isnan(k.nma(x, 0)).all() and np.isnan(k.nma(x, HUGE)).all() and np.isnan(k.nma(x, 19)).all()
    assert_bits_equal(k.hma(x, HUGE), np.zeros(20))
    assert_bits_equal(k.jma(x, HUGE, 0.0, HUGE), ref_jma(x.tolist(), HUGE, 0.0, HUGE))
    assert_bits_equal(k.jma(x, 1, 0.0, 3), ref_jma(x.tolist(), 1, 0.0, 3))  # beta = 0
    assert_bits_equal(k.jma(x, 1, 0.0, 2**32 - 1), ref_jma(x.tolist(), 1, 0.0, 2**32 - 1))  # 0 ** -1
    assert_bits_equal(k.jma(x, 5, nan, 2), ref_jma(x.tolist(), 5, nan, 2))
    assert np.isnan(k.jma(x, 5, nan, 2)[1:]).all()
    # factor 0: 2/0 = inf survives the -1 and +1, so f = 2/inf = 0 and the
    # first value is carried forward.
    assert_bits_equal(k.mwdx(x, 0.0), np.full(20, 1.0))
    for fn in (k.cwma, k.hma, k.nma, k.mwdx, k.hwma, k.jma):
        args = {k.mwdx: (1.0,), k.hwma: (0.2, 0.1, 0.1), k.jma: (7, 0.0, 2)}.get(fn, (3,))
        assert fn(np.array([]), *args).shape == (0,)


# Long enough for whole blocks of vector lanes plus a ragged end.
series = hnp.arrays(
    np.float64, st.integers(0, 100),
    elements=st.one_of(st.floats(-1e6, 1e6, allow_nan=False), st.just(nan), st.just(0.0)),
)


def layouts(x, step):
    """The same values contiguous and as a strided/reversed view of a bigger buffer."""
    big = np.full(max(len(x), 1) * abs(step) + 1, 123.0)
    view = big[::step][: len(x)]
    view[:] = x
    return x, view


@settings(max_examples=150, deadline=None)
@given(x=series, p=st.integers(0, 64), step=st.sampled_from([1, 2, -1, -3]))
def test_period_functions_against_references(x, p, step):
    xs = x.tolist()
    for fn, ref in PERIOD_CASES:
        expected = ref(xs, p)
        for arr in layouts(x, step):
            assert_bits_equal(fn(arr, p), expected)


@settings(max_examples=150, deadline=None)
@given(x=series, step=st.sampled_from([1, -2]),
       coef=st.tuples(*[st.floats(-2.0, 2.0, allow_nan=False)] * 3),
       factor=st.one_of(st.floats(-5.0, 5.0), st.just(0.0)),
       phase=st.floats(-200.0, 200.0), power=st.integers(0, 2**64 - 1), p=st.integers(0, 40))
def test_parameter_functions_against_references(x, step, coef, factor, phase, power, p):
    xs = x.tolist()
    for arr in layouts(x, step):
        assert_bits_equal(k.hwma(arr, *coef), ref_hwma(xs, *coef))
        with np.errstate(all="ignore"):
            assert_bits_equal(k.mwdx(arr, factor), ref_mwdx(xs, factor))
        assert_bits_equal(k.jma(arr, p, phase, power), ref_jma(xs, p, phase, power))
        assert_bits_equal(k.vpwma(arr, p, phase / 50.0), ref_vpwma(xs, p, phase / 50.0))


@pytest.mark.parametrize("fn,ref", PERIOD_CASES, ids=CASE_IDS)
def test_real_candles(fn, ref, minute_candles, daily_candles):
    for candles, periods in ((minute_candles, (4, 21)), (daily_candles, (2, 9, 50))):
        column = candles[:, 2]  # a strided column view, read in place
        xs = column.tolist()
        for p in periods:
            expected = ref(xs, p)
            assert_bits_equal(fn(column, p), expected)
            assert_bits_equal(fn(np.ascontiguousarray(column), p), expected)


def test_real_candles_parameter_functions(minute_candles):
    close = minute_candles[:, 2]
    xs = close.tolist()
    assert_bits_equal(k.hwma(close, 0.2, 0.1, 0.1), ref_hwma(xs, 0.2, 0.1, 0.1))
    assert_bits_equal(k.mwdx(close, 0.2), ref_mwdx(xs, 0.2))
    assert_bits_equal(k.jma(close, 7, 50.0, 2), ref_jma(xs, 7, 50.0, 2))
