"""ATR and Bollinger bands."""
import math

from support import max_num

from . import on_lists, register

nan = math.nan

def ref_atr(c, p):
    close, high, low = (c[:, j].tolist() for j in (2, 3, 4))
    n = len(close)
    if n == 0:
        if p == 0:
            raise IndexError("a zero period on no rows reads before the first")
        return []
    tr = [high[0] - low[0]] + [
        max_num(max_num(high[i] - low[i], abs(high[i] - close[i - 1])), abs(low[i] - close[i - 1]))
        for i in range(1, n)
    ]
    out = [nan] * n
    if n < p:
        return out
    s = 0.0 + tr[0]
    for v in tr[1:p]:
        s += v
    out[p - 1] = s / p
    inv = 1.0 / p
    for i in range(p, n):
        out[i] = out[i - 1] + inv * (tr[i] - out[i - 1])
    return out


def window_moments(x, p):
    """(end index, s, q) of every window, sums slid as the host did."""
    s = q = 0.0
    for v in x[:p]:
        q += v * v
        s += v
    for j in range(p - 1, len(x)):
        yield j, s, q
        if j + 1 < len(x):
            old, new = x[j + 1 - p], x[j + 1]
            q = (q - old * old) + new * new
            s = (s - old) + new


def sqrt(v):
    return math.sqrt(v) if v >= 0 else nan


def ref_bb(x, p, up, dn):
    n = len(x)
    out = [[nan] * n for _ in range(3)]
    for j, s, q in window_moments(x, p) if n >= p else ():
        mean = s / p
        sd = sqrt(q / p - mean * mean)
        out[0][j], out[1][j], out[2][j] = mean + up * sd, mean, mean - dn * sd
    return out


def ref_bbw(x, p, mult):
    out = [nan] * len(x)
    for j, s, q in window_moments(x, p) if len(x) >= p else ():
        mean = s / p
        if mean != 0:
            h = mult * sqrt(q / p - mean * mean)
            out[j] = ((mean + h) + (h - mean)) / mean
    return out


register(atr=ref_atr, atr_last=lambda c, p: ref_atr(c, p)[-1], bollinger_bands=on_lists(ref_bb),
         bollinger_bands_last=lambda x, p, up, dn: tuple(v[-1] for v in ref_bb(x.tolist(), p, up, dn)),
         bollinger_bands_width=on_lists(ref_bbw))
