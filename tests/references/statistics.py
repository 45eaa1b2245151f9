"""Statistics: linear regression, the Damiani volatmeter, the Hurst exponent."""
import math

from range_refs import div, max_num, wilder_atr
from support import min_num

from . import on_lists, register

nan = math.nan
HUGE = 2**64 - 1

def ref_linearreg(x, p):
    n = len(x)
    out = [nan] * n
    if n < p or p == 0:
        return out
    xm = (p - 1) * 0.5
    sxx = 0.0
    for j in range(p):
        sxx += (j - xm) * (j - xm)
    for i in range(p - 1, n):
        y = x[i - p + 1 : i + 1]
        s = 0.0
        for v in y:
            s += v
        mean = s / p
        sxy = 0.0
        for j, v in enumerate(y):
            sxy += (j - xm) * (v - mean)
        out[i] = mean + xm * div(sxy, sxx)
    return out


def rolling_std(x, w):
    n = len(x)
    out = [0.0] * n
    if 1 <= w <= n:
        s = q = 0.0
        for v in x[:w]:
            s += v
            q += v * v

        def dev(s, q):
            var = q / w - (s / w) * (s / w)
            return math.sqrt(var) if var > 0 else 0.0  # NaN and negative variances give 0

        out[w - 1] = dev(s, q)
        for i in range(n - w):
            q = q + (x[w + i] * x[w + i] - x[i] * x[i])
            s = s + (x[w + i] - x[i])
            out[w + i] = dev(s, q)
    return out


def ref_damiani(c, src, vis_atr, vis_std, sed_atr, sed_std, threshold):
    if sed_std == 0:
        raise IndexError("a deviation window of no values ends before it starts")
    close, high, low = (c[:, j].tolist() for j in (2, 3, 4))
    n = len(close)
    av, ased = wilder_atr(high, low, close, vis_atr), wilder_atr(high, low, close, sed_atr)
    ratio = [0.0] * n
    for i in range(sed_std, n):
        if ased[i] != 0 and not math.isnan(ased[i]) and not math.isnan(av[i]):
            ratio[i] = av[i] / ased[i]
    vol = [0.0] * n
    for i in range(n):
        if i == 0:
            vol[i] = ratio[0]
        elif i < 3:
            vol[i] = vol[i - 1] * 0.5 + ratio[i]
        else:
            vol[i] = (ratio[i] + vol[i - 1] * 0.5) - vol[i - 3] * 0.5
    anti = [0.0] * n
    if n >= sed_std:
        sv, ss = rolling_std(src, vis_std), rolling_std(src, sed_std)
        for i in range(sed_std, n):
            anti[i] = threshold - div(sv[i - 1], ss[i - 1])
    return vol, anti


def chunk_size(v):
    return 0 if not v > 0 else min(int(v), HUGE)


def ref_hurst(x, mn, mx, num):
    step = 1.0 if num < 2 else float(mx - mn + 1) / float(num - 1)
    return hurst_of_sizes(x, [chunk_size(step * j + mn) for j in range(num)]) if num else nan


def hurst_of_sizes(x, sizes):
    n, num = len(x), len(sizes)
    lx, ly = [], []
    for c in sizes:
        assert c > 0
        total, cnt = 0.0, 0
        for m in range(n // c if c <= n else 0):
            chunk = x[m * c : (m + 1) * c]
            s = 0.0
            for v in chunk:
                s += v
            mean = s / c
            z, hi, lo, sq = 0.0, -math.inf, math.inf, 0.0
            for v in chunk:
                z += v - mean
                hi, lo = max_num(hi, z), min_num(lo, z)
                sq += (v - mean) * (v - mean)
            s2 = sq / c
            if s2 > 0:
                total += (hi - lo) / math.sqrt(s2)
                cnt += 1
        rs = total / cnt if cnt else 0.0
        lx.append(math.log(c))
        ly.append(math.log(rs) if rs > 0 else 0.0)
    sx = sy = sxx = sxy = 0.0
    for a, b in zip(lx, ly):
        sx += a
        sy += b
        sxx += a * a
        sxy += a * b
    return div(sxy * num - sx * sy, sxx * num - sx * sx)


register(linearreg=on_lists(ref_linearreg), damiani_volatmeter=on_lists(ref_damiani), hurst_rs=on_lists(ref_hurst))
