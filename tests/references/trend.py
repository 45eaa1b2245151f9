"""Directional movement, trend overlays and stops."""
import math

import numpy as np

from support import max_num, min_num

from . import on_lists, register

nan, inf = math.nan, math.inf

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
    if n == 0:
        raise IndexError("the first row is read before any check")
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
    if end < 0 or (disp == 0 and not high):
        raise IndexError("the lagged window ends before the series starts")

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
    if n == 0:
        raise IndexError("the first row is read before any check")
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
    if not high:
        return []
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
    if n == 0:
        raise IndexError("the first row is read before any check")
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


register(dm=ref_dm, di=ref_di, adx=ref_adx, adxr=ref_adxr, alligator=on_lists(ref_alligator),
         dx=lambda c, length, smoothing, _sequential: ref_dx(c, length, smoothing),
         ichimoku_cloud=ref_ichimoku, safezonestop=ref_safezone, sar=ref_sar, supertrend=ref_supertrend,
         vi=lambda c, p, sequential: ref_vi(c, p) if sequential else tuple(v[-1] for v in ref_vi(c, p)))
