"""Volume indicators: adosc, cvi, efi, emv, nvi, pvi, wad."""
import math

import numpy as np

from support import ema_seeded, fdiv

from . import on_lists, register

nan, inf = math.nan, math.inf

# ---- plain-Python references -------------------------------------------

def col(c, j):
    return [float(v) for v in np.asarray(c)[:, j]]


def ref_adosc(c, fp, sp):
    n = len(c)
    if n <= 1:
        return [0.0] * n
    close, high, low, vol = col(c, 2), col(c, 3), col(c, 4), col(c, 5)
    ad, s = [], 0.0
    for j in range(n):
        r = high[j] - low[j]
        mfm = 0.0 if r == 0 else ((close[j] - low[j]) - (high[j] - close[j])) / r
        mfv = mfm * vol[j]
        s = mfv if j == 0 else s + mfv
        ad.append(s)
    return [f - s for f, s in zip(ema_seeded(ad, fp), ema_seeded(ad, sp))]


def ref_cvi(c, p):
    n = len(c)
    out = [nan] * n
    if p >= n:
        return out
    e = ema_seeded([h - l for h, l in zip(col(c, 3), col(c, 4))], p)
    for i in range(p, n):
        v = e[i - p]
        out[i] = 0.0 if v == 0 else ((e[i] - v) / v) * 100
    return out


def ref_efi(x, c, p):
    m = len(x)
    if p == 0 and m > 1:
        raise IndexError("the force's average over a zero period reads before the first value")
    out = [nan] * m
    if m <= 1:
        return out
    vol = col(c, 5)
    e = ema_seeded([(x[j + 1] - x[j]) * vol[j + 1] for j in range(m - 1)], p)
    for i in range(p, m):
        out[i] = e[i - 1]
    return out


def ref_emv(c, L, div):
    n = len(c)
    e = [0.0] * n
    if n >= 2:
        high, low, vol = col(c, 3), col(c, 4), col(c, 5)
        for i in range(1, n):
            h, l, v = high[i], low[i], vol[i]
            if v != 0:
                e[i] = fdiv((h - l) * (div * ((h + l) * 0.5 - (high[i - 1] + low[i - 1]) * 0.5)), v)
    out = [0.0] * n
    if L == 0:
        return out
    for i in range(L - 1, n):
        s = -0.0
        for v in e[i - L + 1:i + 1]:
            s += v
        out[i] = s / L
    return out


def ref_volume_index(x, c, moves):
    m = len(x)
    out = [1000.0] * m
    if m >= 2:
        vol = col(c, 5)
        for i in range(1, m):
            out[i] = out[i - 1]
            if moves(vol[i], vol[i - 1]):
                out[i] = out[i - 1] * (fdiv(x[i] - x[i - 1], x[i - 1]) + 1.0)
    return out


def num(f, a, b):
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    if a == b:  # -0.0 orders below +0.0
        return f(a, b, key=lambda v: math.copysign(1.0, v))
    return f(a, b)


def ref_wad(c):
    n = len(c)
    out = [0.0] * n
    if n < 2:
        return out
    o, s = col(c, 1), 0.0
    for i in range(1, n):
        cc, pc = o[i], o[i - 1]
        if pc < cc:
            a = cc - num(min, c[i, 4], pc)
        elif pc > cc:
            a = cc - num(max, c[i, 3], pc)
        else:
            a = 0.0
        s = s + a
        out[i] = s
    return out


register(adosc=ref_adosc, cvi=ref_cvi, efi=on_lists(ref_efi), emv=ref_emv, wad=ref_wad,
         nvi=lambda x, c: ref_volume_index(x.tolist(), c, lambda v, pv: v < pv),
         pvi=lambda x, c: ref_volume_index(x.tolist(), c, lambda v, pv: v > pv))
