"""Oscillators and volume indicators: throughput on 1,000,000 candles and
per-call time on 200, against TA-Lib measured in the same run. TA-Lib gets
contiguous copies of the columns it reads; korva_rust reads the candle matrix
in place."""
import sys

import numpy as np
import talib

import korva_rust as k
from harness import best_time, table


def candles(n, seed=42):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.standard_normal(n))
    high = close + rng.random(n)
    low = close - rng.random(n)
    return np.column_stack([np.arange(n) * 60000.0, close + rng.normal(0, 0.3, n), close, high, low,
                            rng.random(n) * 1000.0])


def cases(c):
    close, high, low, vol = (np.ascontiguousarray(c[:, j]) for j in (2, 3, 4, 5))
    return [
        ("cci(candles, 14)", lambda: k.cci(c, 14), "TA-Lib CCI", lambda: talib.CCI(high, low, close, 14)),
        ("macd(close, 12, 26, 9)", lambda: k.macd(close, 12, 26, 9), "TA-Lib MACD",
         lambda: talib.MACD(close, 12, 26, 9)),
        # Same 14-bar window: TA-Lib's period counts the bars after the first.
        ("aroonosc(candles, 14)", lambda: k.aroonosc(c, 14), "TA-Lib AROONOSC(13)",
         lambda: talib.AROONOSC(high, low, 13)),
        ("adosc(candles, 3, 10)", lambda: k.adosc(c, 3, 10), "TA-Lib ADOSC",
         lambda: talib.ADOSC(high, low, close, vol, 3, 10)),
    ]


def main():
    rows = []
    for name, ours, peer, theirs in cases(candles(1_000_000)):
        rows.append((f"{name}, n=1,000,000", best_time(ours, 7), peer, best_time(theirs, 7)))
    table("Throughput, 1,000,000 candles", rows)
    rows = []
    for name, ours, peer, theirs in cases(candles(200)):
        rows.append((f"{name}, n=200 per call", best_time(ours, 7, 2000), peer, best_time(theirs, 7, 2000)))
    table("Per-call time, 200 candles", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
