"""Oscillators beyond the RSI family: macd, dti, fosc, dpo, cci, cfo, cg, aroonosc, mass, pfe, fisher."""
import math

import numpy as np

from support import ema_seeded, fdiv, max_num, min_num

from . import on_lists, register

nan, inf = math.nan, math.inf
HUGE = 2**64 - 1

# ---- plain-Python references, element by element -------------------------

def cols(c):
    c = np.asarray(c)
    return [list(map(float, c[:, j])) for j in range(c.shape[1])]


def ref_macd(x, fp, sp, gp):
    fast, slow = ema_seeded(x, fp), ema_seeded(x, sp)
    d = [f - s for f, s in zip(fast, slow)]
    line = [0.0 if math.isnan(v) else v for v in d]
    sig = ema_seeded(line, gp)
    return line, sig, [a - b for a, b in zip(d, sig)]


def ref_dti(c, r, s, u):
    _, _, _, high, low, *_ = cols(c)
    n = len(high)
    if not (r < n and s < n and u < n):
        return [nan] * n
    up, dn = [0.0], [0.0]
    for i in range(1, n):
        dh, dl = high[i] - high[i - 1], low[i] - low[i - 1]
        up.append(dh if dh > 0 else 0.0)
        dn.append(-dl if dl < 0 else 0.0)
    x = [a - b for a, b in zip(up, dn)]
    xa = [abs(a - b) for a, b in zip(up, dn)]
    e3 = ema_seeded(ema_seeded(ema_seeded(x, r), s), u)
    a3 = ema_seeded(ema_seeded(ema_seeded(xa, r), s), u)
    return [0.0 if a == 0 else (e * 100) / a for e, a in zip(e3, a3)]


def index_sums(p):
    sx = sxx = 0.0
    for j in range(p):
        sx += float(j)
        sxx += float(j) * float(j)
    return sx, sxx


def ref_fosc(x, p):
    n = len(x)
    out = [nan] * n
    if not 1 <= p <= n:
        return out
    P = float(p)
    sx, sxx = index_sums(p)
    xm = sx / P
    den = sxx - sx * xm
    cs, cw, s, w = [], [], 0.0, 0.0
    for kk, v in enumerate(x):
        s = s + v
        w = w + v * kk
        cs.append(s)
        cw.append(w)

    def put(e, sy, sxy):
        slope = fdiv(sxy - sx * (sy / P), den)
        forecast = (P - 1) * slope + (sy / P - xm * slope)
        out[e] = 0.0 if x[e] == 0 else ((x[e] - forecast) * 100) / x[e]

    put(p - 1, cs[p - 1], cw[p - 1])
    for l in range(n - p):
        e = p + l
        sy = cs[e] - cs[l]
        put(e, sy, (cw[e] - cw[l]) - sy * (l + 1))
    return out


def ref_dpo(x, p):
    n = len(x)
    out = [nan] * n
    if p == 0 or p > n:
        return out
    ma = [nan] * n
    s = 0.0
    for v in x[:p]:
        s += v
    ma[p - 1] = s / p
    for i in range(p, n):
        s = s + (x[i] - x[i - p])
        ma[i] = s / p
    for i in range(p + p // 2, n):
        out[i] = x[i - p // 2 - 1] - ma[i]
    return out


def ref_cci(c, p):
    _, _, close, high, low, *_ = cols(c)
    n = len(close)
    out = [nan] * n
    tp = [((h + l) + cl) / 3 for h, l, cl in zip(high, low, close)]
    if p == 0:
        return out
    for i in range(p - 1, n):
        w = tp[i - p + 1:i + 1]
        s = 0.0
        for v in w:
            s += v
        mean = s / p
        d = 0.0
        for v in w:
            d += abs(v - mean)
        md = d / p
        out[i] = 0.0 if md == 0 else (tp[i] - mean) / (md * 0.015)
    return out


def ref_cfo(x, p, c):
    n = len(x)
    out = [nan] * n
    if not 1 <= p <= n:
        return out
    P = float(p)
    sx, sxx = index_sums(p)
    den = sxx * P - sx * sx
    sy = sxy = 0.0
    for j in range(p):
        sy += x[j]
        sxy += x[j] * j

    def put(e):
        b = (float(e) - P) + 1.0
        slope = fdiv(((sxy - b * sy) * P) - sx * sy, den)
        forecast = (P - 1) * slope + (sy - sx * slope) / P
        out[e] = nan if x[e] == 0 else (c * (x[e] - forecast)) / x[e]

    put(p - 1)
    for l in range(n - p):
        e = p + l
        sy = sy + (x[e] - x[l])
        sxy = sxy + (x[e] * e - x[l] * l)
        put(e)
    return out


def ref_cg(x, p):
    n = len(x)
    out = [nan] * n
    if not (p >= 2 and p + 1 < n):
        return out
    l = o = 0.0
    for j in range(3, p + 2):
        l += x[j]
        o += j * x[j]
    out[p + 1] = 0.0 if l == 0 else -(((p + 1) + 1.0) * l - o) / l
    for kk in range(p + 2, n):
        t, v = x[kk], x[kk - p + 1]
        l = l + (t - v)
        o = o + (t * kk - v * (kk - p + 1))
        out[kk] = 0.0 if l == 0 else -((kk + 1.0) * l - o) / l
    return out


def ref_aroonosc(c, p):
    _, _, _, high, low, *_ = cols(c)
    n = len(high)
    out = [nan] * n
    if not 1 <= p <= n:
        return out
    for i in range(n - p + 1):
        hi, lo, jmax, jmin = high[i], low[i], 0, 0
        for j in range(1, p):
            if high[i + j] > hi:
                hi, jmax = high[i + j], j
            if low[i + j] < lo:
                lo, jmin = low[i + j], j
        out[i + p - 1] = ((float(jmax) - float(jmin)) * 100) / p
    return out


def ref_mass(c, p):
    _, _, _, high, low, *_ = cols(c)
    n = len(high)
    out = [0.0] * n
    if n == 0:
        return out
    rng = [h - l for h, l in zip(high, low)]
    e1, e2 = [rng[0]], [rng[0]]
    for i in range(1, n):
        e1.append(e1[-1] * 0.8 + rng[i] * 0.2)
        e2.append(e2[-1] * 0.8 + e1[-1] * 0.2)
    ratio = [0.0 if b == 0 else a / b for a, b in zip(e1, e2)]
    if p == 0:
        return out
    for i in range(p - 1, n):
        s = ratio[i - p + 1]
        for v in ratio[i - p + 2:i + 1]:
            s += v
        out[i] = s
    return out


def ref_pfe(x, p, m):
    if p < 2:
        raise ValueError("pfe period must be at least 2")
    n, q = len(x), p - 1
    d = list(x)
    for _ in range(q):
        d = [d[i + 1] - d[i] for i in range(len(d) - 1)]
    a = [math.sqrt(float(p) * float(p) + v * v) for v in d]
    b = [math.sqrt((x[i + 1] - x[i]) * (x[i + 1] - x[i]) + 1) for i in range(n - 1)]
    S = {}
    if n - 1 >= q:
        s = 0.0
        for v in b[:q]:
            s += v
        S[q - 1] = s
        for kk in range(q, n - 1):
            S[kk] = (S[kk - 1] + b[kk]) - b[kk - q]
    raw, sign = [0.0] * n, [-1.0] * n
    for i in range(n - p + 1):
        path = S[i + q - 1]
        raw[i + q] = 0.0 if path == 0 or math.isnan(path) else (a[i] * 100) / path
        if d[i] > 0:
            sign[i + q] = 1.0
    return ema_seeded([s * r for s, r in zip(sign, raw)], m)


def ref_fisher(c, p):
    _, _, _, high, low, *_ = cols(c)
    n = len(high)
    if p == 0 and n:
        raise IndexError("fisher period must be at least 1")
    fish, sig = [0.0] * n, [0.0] * n
    price = [(h + l) * 0.5 for h, l in zip(high, low)]
    if not p < n:
        return fish, sig
    v_prev = 0.0
    for i in range(p, n):
        hi, lo = -inf, inf
        for v in price[i - p + 1:i + 1]:
            hi, lo = max_num(hi, v), min_num(lo, v)
        if hi - lo == 0:
            v = 0.0
        else:
            v = v_prev * 0.67 + (((price[i] - lo) / (hi - lo)) + (-0.5)) * 0.66
        if v < -0.999:
            v = -0.999
        if v > 0.999:
            v = 0.999
        v_prev = v
        fish[i] = math.log((v + 1) / (1 - v)) * 0.5 + fish[i - 1] * 0.5
        sig[i] = fish[i - 1]
    return fish, sig


# ---- helpers ---------------------------------------------------------------


register(macd=on_lists(ref_macd), dti=ref_dti, fosc=on_lists(ref_fosc), dpo=on_lists(ref_dpo), cci=ref_cci,
         cfo=on_lists(ref_cfo), cg=on_lists(ref_cg), aroonosc=ref_aroonosc, mass=ref_mass, pfe=on_lists(ref_pfe),
         fisher=ref_fisher)
