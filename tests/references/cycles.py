"""Cycle indicators: reflex, trendflex, the instantaneous trendline, voss, edcf, correlation cycle, MAMA, PMA."""
import math

from references.filters import NAN, PI, TWO_PI, ref_super_smoother
from support import max_num, min_num

from . import on_lists, register


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


register(reflex=lambda x, p: ref_flex(x.tolist(), p, True), trendflex=lambda x, p: ref_flex(x.tolist(), p, False),
         itrend=on_lists(ref_itrend), voss=on_lists(ref_voss), edcf=on_lists(ref_edcf),
         correlation_cycle=on_lists(ref_correlation_cycle), mama=on_lists(ref_mama), pma=on_lists(ref_pma))
