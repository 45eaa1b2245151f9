"""Core averages: throughput on 1,000,000 values and per-call time on 200
values, against TA-Lib and NumPy formulations measured in the same run."""
import sys

import numpy as np

import korva_rust as k
from harness import best_time, table

try:
    import talib
except ImportError:  # pragma: no cover
    talib = None


def np_sma(x, p):
    c = np.cumsum(np.insert(x, 0, 0.0))
    out = np.full(len(x), np.nan)
    out[p - 1:] = (c[p:] - c[:-p]) / p
    return out


def np_recurrence(x, alpha):
    beta = 1.0 - alpha
    step = np.frompyfunc(lambda prev, v: beta * prev + alpha * v, 2, 1)
    return step.accumulate(x, dtype=object).astype(np.float64)


def np_wma(x, p):
    w = np.arange(1, p + 1, dtype=np.float64)
    out = np.full(len(x), np.nan)
    out[p - 1:] = np.convolve(x, w[::-1], mode="valid") / w.sum()
    return out


def main():
    rng = np.random.default_rng(42)
    big = 100.0 + np.cumsum(rng.standard_normal(1_000_000))
    small = big[:200].copy()
    p = 30
    rows = []
    cases = [
        ("sma", lambda x: k.sma(x, p), "SMA", lambda x: talib.SMA(x, p), lambda x: np_sma(x, p)),
        ("ema", lambda x: k.ema(x, p), "EMA", lambda x: talib.EMA(x, p),
         lambda x: np_recurrence(x, 2.0 / (p + 1.0))),
        # TA-Lib has no Wilder average; its EMA of period 2p-1 runs the same
        # alpha = 1/p recurrence.
        ("rma", lambda x: k.rma(x, p), "EMA(2p-1)", lambda x: talib.EMA(x, 2 * p - 1),
         lambda x: np_recurrence(x, 1.0 / p)),
        ("wma", lambda x: k.wma(x, p), "WMA", lambda x: talib.WMA(x, p), lambda x: np_wma(x, p)),
    ]
    for name, ours, peer, ta, npf in cases:
        t_ours = best_time(lambda: ours(big), repeat=7)
        if talib is not None:
            rows.append((f"{name}(period={p}), n=1,000,000", t_ours, f"TA-Lib {peer}", best_time(lambda: ta(big), 7)))
        rep = 1 if name in ("ema", "rma") else 7
        rows.append((f"{name}(period={p}), n=1,000,000", t_ours, "NumPy", best_time(lambda: npf(big), rep)))
    table("Throughput, 1,000,000 values", rows)

    rows = []
    if talib is not None:
        for name, ours, peer, ta, _ in cases:
            rows.append((f"{name}(period={p}), n=200 per call", best_time(lambda: ours(small), 7, 2000),
                         f"TA-Lib {peer}", best_time(lambda: ta(small), 7, 2000)))
        table("Per-call time, 200 values", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
