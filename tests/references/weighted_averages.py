"""Window-weighted and multi-stage smoothers."""
import math

import numpy as np

from clib import clog, cpow

from . import on_lists, register

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


register(**{f.__name__[4:]: on_lists(f) for f in (ref_cwma, ref_sqwma, ref_srwma, ref_vpwma, ref_epma, ref_hma, ref_nma,
                                                  ref_jma, ref_hwma, ref_mwdx)})
