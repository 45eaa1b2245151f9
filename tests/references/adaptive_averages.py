"""Adaptive averages: kama, frama, maaq, vidya, vlma, McGinley, trix, t3."""
import math

import numpy as np

from clib import cexp, clog

from . import on_lists, register

nan, inf = math.nan, math.inf
HUGE = 2**64 - 1


# Independent re-statements, element by element, in plain Python floats.
def ref_kama(x, p, fast_len, slow_len):
    n = len(x)
    if p == 0 and n:
        raise IndexError("the change over a zero period reads before the first value")
    if p >= n:
        return list(x)
    out = list(x[:p]) + [nan] * (n - p)
    dif = [abs(x[j + 1] - x[j]) for j in range(n - 1)]
    vol = 0.0
    for j in range(p - 1):
        vol = vol + dif[j]
    fast = 2.0 / (float(fast_len) + 1.0)
    slow = 2.0 / (float(slow_len) + 1.0)
    for i in range(n - p):
        q = p + i
        vol = vol + dif[i + p - 1]
        if i > 0:
            vol = vol - dif[i - 1]
        er = 0.0 if vol == 0 else abs(x[q] - x[i]) / vol
        s = slow + (fast - slow) * er
        sc = s * s
        out[q] = out[q - 1] + sc * (x[q] - out[q - 1])
    return out


def clamp(v, lo, hi):
    return lo if v < lo else hi if v > hi else v


def ref_frama(c, window, fc, sc):
    close, high, low = c[:, 2].tolist(), c[:, 3].tolist(), c[:, 4].tolist()
    n = len(close)
    w = window + window % 2
    half = w // 2
    out = [nan] * n
    if n < w:
        return out
    w0 = 2.0 / (float(sc) + 1.0)
    lw = clog(w0)
    seed = -0.0
    for v in close[:w]:
        seed = seed + v
    out[w - 1] = seed / float(w)
    d = 0.0
    for i in range(w, n):
        h1 = h2 = -inf
        l1 = l2 = inf
        for j in range(i - w, i - half):
            h1 = high[j] if high[j] > h1 else h1
            l1 = low[j] if low[j] < l1 else l1
        for j in range(i - half, i):
            h2 = high[j] if high[j] > h2 else h2
            l2 = low[j] if low[j] < l2 else l2
        n2 = (1.0 / float(half)) * (h2 - l2)
        n1 = (1.0 / float(half)) * (h1 - l1)
        n3 = (1.0 / float(w)) * (max(h1, h2) - min(l1, l2))
        if n2 > 0 and n1 > 0 and n3 > 0:
            d = (clog(n2 + n1) - clog(n3)) / 0.6931471805599453
        assert w0 <= 1.0
        a = clamp(cexp(lw * (d - 1.0)), 0.1, 1.0)
        old_n = (2.0 - a) / a
        with np.errstate(all="ignore"):  # sc = 1 divides by zero
            t = np.float64(old_n - 1.0) / np.float64(float(sc) - 1.0)
            t = float((float(sc) - float(fc)) * t)
            alpha = clamp(float(np.float64(2.0) / np.float64((t + float(fc)) + 1.0)), w0, 1.0)
        out[i] = out[i - 1] * (1.0 - alpha) + alpha * close[i]
    return out


def ref_maaq(x, p, fast_p, slow_p):
    n = len(x)
    if p == 0 and n:
        raise IndexError("the change over a zero period reads before the first value")
    out = list(x)
    if p >= n:
        return out
    dif = [0.0] + [abs(x[j] - x[j - 1]) for j in range(1, n)]
    s = -0.0
    for j in range(1, p + 1):
        s = s + dif[j]
    fast = 2.0 / (float(fast_p) + 1.0)
    slow = 2.0 / (float(slow_p) + 1.0)
    for i in range(n - p):
        q = p + i
        if i > 0:
            s = s + (dif[q] - dif[i])
        er = 0.0 if s == 0 else abs(x[q] - x[i]) / s
        t = slow + fast * er
        out[q] = out[q - 1] + (t * t) * (x[q] - out[q - 1])
    return out


def ref_vidya(x, length, fix_cmo, select):
    n = len(x)
    out = list(x)
    if n < 2:
        return out
    dif = [0.0] + [x[j] - x[j - 1] for j in range(1, n)]
    alpha = 2.0 / (float(length) + 1.0)
    m = 9 if fix_cmo else length
    for i in range(1, n):
        if select:
            up = down = 0.0
            for d in dif[max(0, i + 1 - m):i + 1]:
                if d < 0:
                    down = down - d
                else:
                    up = up + d
            cmo = 0.0 if up + down == 0 else abs(((up - down) / (up + down)) * 100.0) / 100.0
            kk = alpha * cmo
            out[i] = kk * x[i] + (1.0 - kk) * out[i - 1]
        else:
            win = x[max(0, i + 1 - length):i + 1]
            c = len(win)
            s = -0.0
            for v in win:
                s = s + v
            mean = s / float(c) if c else nan
            var = -0.0
            for v in win:
                var = var + (v - mean) * (v - mean)
            kk = alpha * math.sqrt(var / float(c)) if c else nan
            out[i] = x[i] * kk + (1.0 - kk) * out[i - 1]
    return out


def ref_vlma(x, a, b, c, d, lo, hi):
    out = list(x)
    per = float(hi)
    for i in range(1, len(x)):
        v = x[i]
        if v < b[i] or v > c[i]:
            if not (a[i] <= v <= d[i]):
                per = per - 1.0
        else:
            per = per + 1.0
        per = min(max(per, float(lo)), float(hi))
        alpha = 2.0 / (per + 1.0)
        out[i] = v * alpha + (1.0 - alpha) * out[i - 1]
    return out


def ref_mcginley(x, p, kk):
    if not x:
        return []
    md = x[0]
    out = [md]
    kp = kk * float(p)
    for v in x[1:]:
        with np.errstate(all="ignore"):
            r = float(np.float64(v) / np.float64(md))
            prod = kp * ((r * r) * (r * r))
            den = prod if prod > 1.0 else 1.0
            md = md + float(np.float64(v - md) / np.float64(den))
        out.append(md)
    return out


def ema_alpha(p):
    a = 2.0 / (float(p) + 1.0)
    return a, 1.0 - a


def ref_trix(x, p):
    if not x:
        return []
    a, b = ema_alpha(p)
    lx = [clog(v) for v in x]
    e1 = e2 = e3 = lx[0]
    out = [nan]
    for v in lx[1:]:
        prev = e3
        e1 = b * e1 + a * v
        e2 = b * e2 + a * e1
        e3 = b * e3 + a * e2
        out.append((e3 - prev) * 10000.0)
    return out


def ref_source(c, name):
    o, cl, h, lo = (c[:, j].tolist() for j in (1, 2, 3, 4))
    name = name.lower()
    if name == "open":
        return o
    if name == "high":
        return h
    if name == "low":
        return lo
    if name == "hl2":
        return [(a + b) * 0.5 for a, b in zip(h, lo)]
    if name == "hlc3":
        return [((a + b) + d) / 3.0 for a, b, d in zip(h, lo, cl)]
    if name == "ohlc4":
        return [(((q + a) + b) + d) * 0.25 for q, a, b, d in zip(o, h, lo, cl)]
    return cl


def ref_t3(c, p, v, source_type):
    y = ref_source(c, source_type)
    if not y:
        return []
    c2 = v * v * 3.0
    cube = v * (v * v)
    c4 = c2 + (cube + (v * 3.0 + 1.0))
    c3 = ((v * v) * -6.0 - v * 3.0) - cube * 3.0
    c2b = c2 + cube * 3.0
    a, b = ema_alpha(p)
    e = [y[0]] * 6
    out = [c4 * y[0] + (c3 * y[0] + (c2b * y[0] - cube * y[0]))]
    for yi in y[1:]:
        prev = yi
        for j in range(6):
            e[j] = b * e[j] + a * prev
            prev = e[j]
        out.append(c4 * e[2] + (c3 * e[3] + (c2b * e[4] - cube * e[5])))
    return out


register(kama=on_lists(ref_kama), frama=ref_frama, maaq=on_lists(ref_maaq), vidya=on_lists(ref_vidya),
         vlma_inner=on_lists(ref_vlma), mcginley_dynamic=on_lists(ref_mcginley), trix=on_lists(ref_trix),
         t3=lambda c, p, v, source_type, sequential: ref_t3(c, p, v, source_type) if sequential else
         ref_t3(c, p, v, source_type)[-1:])
