"""Volume-weighted averages: vwap, vwma."""
import math

import numpy as np

from references.adaptive_averages import ref_source

from . import register

nan = math.nan

DAY_MS = 86_400_000
SECONDS = {"H": 3600, "4H": 14400, "12H": 43200, "M": 60, "W": 604800, "MN": 2592000}


def saturating_int(v):
    if math.isnan(v):
        return 0
    if v >= 2.0**63:
        return 2**63 - 1
    if v < -(2.0**63):
        return -(2**63)
    return int(v)  # truncates toward zero


def period_key(ts, anchor):
    s = saturating_int(ts / 1000.0)
    length = SECONDS.get(anchor.upper(), 86400)
    q = abs(s) // length
    return -q if s < 0 else q  # signed division truncates toward zero


def ref_vwap(c, source_type, anchor):
    n = len(c)
    if n == 0:
        return []
    y = ref_source(c, source_type)
    vol, ts = c[:, 5].tolist(), c[:, 0].tolist()
    out = [nan] * n
    prev = period_key(ts[0], anchor)
    cum_v = cum_pv = 0.0
    for i in range(n):
        key = period_key(ts[i], anchor)
        if key != prev:
            cum_v = cum_pv = 0.0
        cum_v = cum_v + vol[i]
        cum_pv = cum_pv + vol[i] * y[i]
        if cum_v != 0:
            with np.errstate(all="ignore"):
                out[i] = float(np.float64(cum_pv) / np.float64(cum_v))
        prev = key
    return out


def ref_vwma(c, p):
    close, vol = c[:, 2].tolist(), c[:, 5].tolist()
    pre_pv, pre_v = [], []
    sp = sv = 0.0
    for i, (cl, v) in enumerate(zip(close, vol)):
        sp = cl * v if i == 0 else sp + cl * v
        sv = v if i == 0 else sv + v
        pre_pv.append(sp)
        pre_v.append(sv)
    out = []
    for i in range(len(close)):
        if i < p:
            num, den = pre_pv[i], pre_v[i]
        else:
            num, den = pre_pv[i] - pre_pv[i - p], pre_v[i] - pre_v[i - p]
        with np.errstate(all="ignore"):
            out.append(nan if den == 0 else float(np.float64(num) / np.float64(den)))
    return out


register(vwap=lambda c, source_type, anchor, sequential: ref_vwap(c, source_type, anchor) if sequential else
         ref_vwap(c, source_type, anchor)[-1:], vwma=ref_vwma)
