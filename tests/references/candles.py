"""Candle indicators: Heikin Ashi candles, qstick, the empirical mode decomposition."""
import math

from . import register

nan = math.nan
OPEN, CLOSE, HIGH, LOW, VOLUME = 1, 2, 3, 4, 5

def ref_heikin_ashi(c):
    n = len(c)
    o, cl, h, lo = ([nan] * n for _ in range(4))

    def fmax(a, b):
        return b if math.isnan(a) else a if math.isnan(b) else max(a, b)

    def fmin(a, b):
        return b if math.isnan(a) else a if math.isnan(b) else min(a, b)

    for i in range(1, n):
        o[i] = (c[i - 1][OPEN] + c[i - 1][CLOSE]) * 0.5
        cl[i] = (((c[i][OPEN] + c[i][CLOSE]) + c[i][HIGH]) + c[i][LOW]) * 0.25
        h[i] = fmax(fmax(c[i][HIGH], o[i]), cl[i])
        lo[i] = fmin(fmin(c[i][LOW], o[i]), cl[i])
    return o, cl, h, lo


def ref_qstick(c, p):
    n = len(c)
    out = [0.0] * n
    if p == 0 or p > n:
        return out
    inv = 1.0 / p
    s = -0.0
    for i in range(p):
        s += c[i][CLOSE] - c[i][OPEN]
    out[p - 1] = inv * s
    for i in range(n - p):
        s = s + ((c[p + i][CLOSE] - c[p + i][OPEN]) - (c[i][CLOSE] - c[i][OPEN]))
        out[p + i] = inv * s
    return out


def ref_running_mean(x, w):
    n = len(x)
    out = [nan] * n
    if w == 0 or w > n:
        return out
    s = -0.0
    for v in x[:w]:
        s += v
    out[w - 1] = s / w
    for i in range(n - w):
        s = s + (x[w + i] - x[i])
        out[w + i] = s / w
    return out


def ref_emd(c, period, delta, fraction):
    n = len(c)
    price = [(r[HIGH] + r[LOW]) * 0.5 for r in c]
    P = float(period)
    beta = math.cos(6.283185307179586 / P)
    gamma = 1 / math.cos((delta * 12.566370614359172) / P)
    alpha = gamma - math.sqrt(gamma * gamma - 1)
    bp = [0.0] * n
    if n >= 3:
        e = (1 - alpha) * 0.5
        bp[2] = e * (price[2] - price[0])
        c1 = beta * (alpha + 1)
        for i in range(3, n):
            bp[i] = (e * (price[i] - price[i - 2]) + c1 * bp[i - 1]) - alpha * bp[i - 2]
    middle = ref_running_mean(bp, 2 * period)
    peak, valley = bp[:], bp[:]
    for i in (1, 2):
        if n > i:
            peak[i], valley[i] = peak[i - 1], valley[i - 1]
    for i in range(3, n):
        peak[i], valley[i] = peak[i - 1], valley[i - 1]
        if bp[i - 1] > bp[i] and bp[i - 1] > bp[i - 2]:
            peak[i] = bp[i - 1]
        if bp[i - 1] < bp[i] and bp[i - 1] < bp[i - 2]:
            valley[i] = bp[i - 1]
    upper = [fraction * v for v in ref_running_mean(peak, 50)]
    lower = [fraction * v for v in ref_running_mean(valley, 50)]
    return upper, middle, lower


register(heikin_ashi_candles=lambda c: ref_heikin_ashi(c.tolist()), qstick=lambda c, p: ref_qstick(c.tolist(), p),
         emd=lambda c, period, delta, fraction: ref_emd(c.tolist(), period, delta, fraction))
