"""Adaptive averages that TA-Lib also has (KAMA, T3, TRIX): throughput on
1,000,000 values and per-call time on 200 values, measured in the same run.
The formulas differ in details (our TRIX smooths log prices, our T3 reads
its source from a candle matrix), so this compares cost, not values."""
import sys

import numpy as np

import korva_rust as k
from harness import best_time, table

try:
    import talib
except ImportError:  # pragma: no cover
    talib = None


def candles_from(close):
    c = np.empty((len(close), 6))
    c[:, 0] = np.arange(len(close)) * 60_000.0
    c[:, 1] = c[:, 2] = c[:, 3] = c[:, 4] = close
    c[:, 5] = 1.0
    return c


def cases(p):
    return [
        ("kama", lambda x, c: k.kama(x, p, 2, 30), "KAMA", lambda x: talib.KAMA(x, p)),
        ("t3 (candles, close, sequential)", lambda x, c: k.t3(c, 5, 0.7, "close", True), "T3",
         lambda x: talib.T3(x, 5, 0.7)),
        ("t3 (candles, close, last only)", lambda x, c: k.t3(c, 5, 0.7, "close", False), "T3",
         lambda x: talib.T3(x, 5, 0.7)),
        ("trix", lambda x, c: k.trix(x, p), "TRIX", lambda x: talib.TRIX(x, p)),
    ]


def main():
    if talib is None:
        print("TA-Lib is not installed; nothing to compare against.")
        return 0
    rng = np.random.default_rng(42)
    big = 100.0 * np.exp(np.cumsum(0.001 * rng.standard_normal(1_000_000)))  # positive prices
    big_c = candles_from(big)
    small = big[:200].copy()
    small_c = candles_from(small)
    p = 10
    rows = []
    for name, ours, peer, ta in cases(p):
        rows.append((f"{name}, n=1,000,000", best_time(lambda: ours(big, big_c), 7),
                     f"TA-Lib {peer}", best_time(lambda: ta(big), 7)))
    table("Throughput, 1,000,000 values", rows)
    rows = []
    for name, ours, peer, ta in cases(p):
        rows.append((f"{name}, n=200 per call", best_time(lambda: ours(small, small_c), 7, 2000),
                     f"TA-Lib {peer}", best_time(lambda: ta(small), 7, 2000)))
    table("Per-call time, 200 values", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
