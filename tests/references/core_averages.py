"""Core averages: sma, ema, smma, rma, wilders, wma, dema, tema, zlema."""
import math

from support import ema_seeded

from . import on_lists, register

nan = math.nan


# Independent re-statements, element by element, in plain Python floats.
def ref_sma(x, p):
    n = len(x)
    out = [nan] * n
    if p == 0 or n < p:
        return out
    s, c = 0.0, 0
    for v in x[:p]:
        if not math.isnan(v):
            s += v
            c += 1
    if c:
        out[p - 1] = s / c
    for i in range(n - p):
        old, new = x[i], x[i + p]
        if not math.isnan(old):
            s = s - old
        if not math.isnan(new):
            s = new + s
        c += math.isnan(old) - math.isnan(new)
        if c:
            out[i + p] = s / c
    return out


def ema_alpha(p):
    a = 2.0 / (float(p) + 1.0)
    return a, 1.0 - a


def ref_ema(x, p):
    n = len(x)
    if n == 0 or n < p:
        return [nan] * n
    a, b = ema_alpha(p)
    out = [x[0]]
    for v in x[1:]:
        out.append(b * out[-1] + a * v)
    return out


def ref_smma(x, L):
    n = len(x)
    if n < L:
        return [nan] * n
    a = 1.0 / L
    b = 1.0 - a
    s = 0.0
    for v in x[:L]:
        s += v
    s = s / L
    out = [nan] * (L - 1) + [s]
    for v in x[L:]:
        s = b * s + a * v
        out.append(s)
    return out


def ref_rma(x, L):
    a = 1.0 / L if L else math.inf
    b = 1.0 - a
    out = [a * x[0] + b * x[-1]]
    for v in x[1:]:
        out.append(b * out[-1] + a * v)
    return out


def ref_wilders(x, p):
    a = 1.0 / p
    b = 1.0 - a
    out = list(x[:1])
    for v in x[1:]:
        out.append(a * v + b * out[-1])
    return out


def ref_wma(x, p):
    n = len(x)
    out = [nan] * n
    if p == 0 or p > n:
        return out
    d = (p + p * p) // 2
    for i in range(p - 1, n):
        s = 0.0
        for j in range(1, p + 1):
            s = s + x[i - p + j] * float(j)
        out[i] = s / float(d)
    return out


def ref_dema(x, p):
    if len(x) <= 1:
        return list(x)
    e1 = ema_seeded(x, p)
    e2 = ema_seeded(e1, p)
    return [u * 2.0 - v for u, v in zip(e1, e2)]


def ref_tema(x, p):
    if not x:
        return []
    a, b = ema_alpha(p)
    e1 = e2 = e3 = x[0]
    out = [x[0] + (x[0] * 3.0 - x[0] * 3.0)]
    for v in x[1:]:
        e1 = b * e1 + a * v
        e2 = b * e2 + a * e1
        e3 = b * e3 + a * e2
        out.append((e1 * 3.0 - e2 * 3.0) + e3)
    return out


def ref_zlema(x, p):
    n = len(x)
    out = [nan] * n
    if p >= n:
        return out
    lag = (p - 1) // 2
    a, b = ema_alpha(p)
    d = [x[i] + (x[i] - x[i - lag]) for i in range(n)]
    out[lag] = d[lag]
    for i in range(lag + 1, n):
        out[i] = b * out[i - 1] + a * d[i]
    return out


register(**{f.__name__[4:]: on_lists(f) for f in (ref_sma, ref_ema, ref_smma, ref_rma, ref_wilders, ref_wma, ref_dema,
                                                  ref_tema, ref_zlema)})
register(sma_last=lambda x, p: ref_sma(x.tolist(), p)[-1], ema_last=lambda x, p: ref_ema(x.tolist(), p)[-1])
