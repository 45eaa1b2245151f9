"""Stochastic oscillators, Williams %R and the wave trend."""
import math

from range_refs import columns, div, max_num, min_num, window_extreme

from . import register

nan = math.nan

def window_mean(x, w):
    n = len(x)
    out = [nan] * n
    if 1 <= w <= n:
        for i in range(w - 1, n):
            s, cnt = 0.0, 0
            for v in x[i - w + 1 : i + 1]:
                if not math.isnan(v):
                    s += v
                    cnt += 1
            if cnt:
                out[i] = s / cnt
    return out


def deque_extremes(high, low, p):
    """(row, hh, ll) of the monotonic deques for rows p-1 .. n-1."""
    hh, ll = window_extreme(high, p, True), window_extreme(low, p, False)
    return [(j, hh[j], ll[j]) for j in range(p - 1, len(high))]


def ref_stoch(c, fk, sk, sd):
    n = len(c)
    if n < fk:
        return [nan] * n, [nan] * n
    close, high, low = columns(c)
    fastk = [nan] * n
    for i in range(fk - 1, n) if fk else ():
        hh, ll = -math.inf, math.inf
        for j in range(i - fk + 1, i + 1):
            hh, ll = max_num(hh, high[j]), min_num(ll, low[j])
        if hh > ll:
            fastk[i] = ((close[i] - ll) * 100) / (hh - ll)
    slowk = window_mean(fastk, sk)
    return slowk, window_mean(slowk, sd)


def ref_stochf(c, fk, fd):
    n = len(c)
    if fk == 0:
        raise IndexError("a window of no rows ends before it starts")
    fastk = [nan] * n
    if n >= fk:
        close, high, low = columns(c)
        for j, hh, ll in deque_extremes(high, low, fk):
            fastk[j] = ((close[j] - ll) * 100) / (hh - ll) if hh > ll else 50.0
    return fastk, window_mean(fastk, fd)


def ref_willr(c, p):
    n = len(c)
    if p == 0:
        raise IndexError("a window of no rows ends before it starts")
    out = [nan] * n
    if n >= p:
        close, high, low = columns(c)
        for j, hh, ll in deque_extremes(high, low, p):
            rng = hh - ll
            out[j] = 0.0 if rng == 0 else ((hh - close[j]) / rng) * -100
    return out


def ema(x, p):
    a, out = 2 / (p + 1.0), x[:1]
    for v in x[1:]:
        out.append(a * v + (1 - a) * out[-1])
    return out


def ref_wt(c, cl, al, ml, ob, os_, source_type):
    o, close, high, low = (c[:, j].tolist() for j in (1, 2, 3, 4))
    ap = {
        "open": o,
        "high": high,
        "low": low,
        "hlc3": [((h + lo) + cc) / 3 for h, lo, cc in zip(high, low, close)],
        "ohlc4": [(((oo + h) + lo) + cc) * 0.25 for oo, h, lo, cc in zip(o, high, low, close)],
    }.get(source_type, close)
    esa = ema(ap, cl)
    de = ema([abs(a - e) for a, e in zip(ap, esa)], cl)
    wt1 = ema([0.0 if d == 0 else div(a - e, d * 0.015) for a, e, d in zip(ap, esa, de)], al)
    wt2, s = [0.0] * len(ap), 0.0
    for i in range(len(ap)) if ml else ():
        if i < ml:
            s += wt1[i]
            wt2[i] = s / (i + 1.0)
        else:
            wt2[i] = wt2[i - 1] + (wt1[i] - wt1[i - ml]) / ml
    d = [b - a for a, b in zip(wt1, wt2)]
    flags = [[v <= 0 for v in d], [v >= 0 for v in d], [v <= os_ for v in wt2], [v >= ob for v in wt2]]
    return [wt1, wt2, *flags, [a - b for a, b in zip(wt1, wt2)]]


register(stoch=lambda c, fk, sk, _sk_type, sd, _sd_type: ref_stoch(c, fk, sk, sd),
         stochf=lambda c, fk, fd, _fd_type: ref_stochf(c, fk, fd), willr=ref_willr, wt=ref_wt)
