"""Filters: the super smoothers, high passes, gauss and bandpass."""
import math

from . import register

NAN = math.nan
TWO_PI = 6.283185307179586
PI = 3.141592653589793
PI_1414 = 1.414 * PI
PI_1738 = 1.738 * PI
HUGE = 2**64 - 1

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


register(supersmoother=lambda x, p: ref_super_smoother(x.tolist(), float(p)),
         supersmoother_3_pole=lambda x, p: ref_supersmoother_3(x.tolist(), float(p)),
         high_pass=lambda x, p: ref_high_pass_1(x.tolist(), float(p)),
         high_pass_2_pole=lambda x, p: ref_high_pass_2(x.tolist(), float(p)),
         gauss=lambda x, p, poles: ref_gauss(x.tolist(), float(p), poles),
         bandpass=lambda x, p, w: ref_bandpass(x.tolist(), float(p), w))
