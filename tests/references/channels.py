"""Chandelier exit, Choppiness index, Donchian channels and inner Keltner."""
import math

from range_refs import atr, columns, div, true_range, wilder_atr, window_extreme

from . import register

nan = math.nan

def ref_chande(c, p, mult, direction):
    out = [nan] * len(c)
    if len(c) >= p and direction in ("long", "short"):
        close, high, low = columns(c)
        a, up = atr(c, p), direction == "long"
        ext = window_extreme(high if up else low, p, up)
        for i in range(p - 1, len(c)):
            out[i] = ext[i] - mult * a[i] if up else ext[i] + mult * a[i]
    return out


def ref_chop(c, p, scalar, d):
    n = len(c)
    out = [nan] * n
    if n < p:
        return out
    close, high, low = columns(c)
    tr = true_range(high, low, close)
    a = tr if d == 1 else [nan] * n
    if d != 1:
        s = 0.0
        for v in tr[:d]:
            s += v
        a[d - 1] = s / d
        for i in range(d, n):
            a[i] = (1.0 - 1.0 / d) * a[i - 1] + (1.0 / d) * tr[i]
    s, hi, lo = 0.0, -math.inf, math.inf
    for j in range(p):
        s = s if math.isnan(a[j]) else s + a[j]
        hi, lo = high[j] if high[j] > hi else hi, low[j] if low[j] < lo else lo
    mx, mn = window_extreme(high, p, True), window_extreme(low, p, False)
    for i in range(p - 1, n):
        if i >= p:
            s = s if math.isnan(a[i]) else s + a[i]
            s = s if math.isnan(a[i - p]) else s - a[i - p]
            hi, lo = mx[i], mn[i]
        if s > 0 and hi - lo > 0:
            out[i] = div(scalar * (math.log10(s) - math.log10(hi - lo)), math.log10(p))
    return out


def ref_donchian(c, p):
    if p == 0:
        raise IndexError("a window of no rows ends before it starts")
    if len(c) < p:
        return {key: [nan] * len(c) for key in ("upperband", "middleband", "lowerband")}
    _, high, low = columns(c)
    up, lo = window_extreme(high, p, True), window_extreme(low, p, False)
    return {"upperband": [nan if v is None else v for v in up],
            "middleband": [nan if u is None else (u + v) * 0.5 for u, v in zip(up, lo)],
            "lowerband": [nan if v is None else v for v in lo]}


def ref_keltner_inner(ma, high, low, close, p, mult):
    a = wilder_atr(high.tolist(), low.tolist(), close.tolist(), p)[:len(ma)]
    return ([nan if math.isnan(v) else mult * v + m for m, v in zip(ma.tolist(), a)], ma.tolist(),
            [nan if math.isnan(v) else m - mult * v for m, v in zip(ma.tolist(), a)])


register(chande=ref_chande, chop=ref_chop, donchian=ref_donchian, keltner_inner=ref_keltner_inner)
