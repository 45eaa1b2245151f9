"""Oscillators and volume indicators: throughput on 1,000,000 candles and
per-call time on 200, against TA-Lib measured in the same run. korva_rust
reads the row-major candle matrix in place; TA-Lib needs contiguous columns,
timed both with copies made in advance and with the copies a caller holding
only the candle matrix has to make on each call."""
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
    cc = np.ascontiguousarray
    return [
        ("cci(candles, 14)", lambda: k.cci(c, 14), "CCI", lambda: talib.CCI(high, low, close, 14),
         lambda: talib.CCI(cc(c[:, 3]), cc(c[:, 4]), cc(c[:, 2]), 14)),
        ("macd(close, 12, 26, 9)", lambda: k.macd(close, 12, 26, 9), "MACD",
         lambda: talib.MACD(close, 12, 26, 9), None),
        # Same 14-bar window: TA-Lib's period counts the bars after the first.
        ("aroonosc(candles, 14)", lambda: k.aroonosc(c, 14), "AROONOSC(13)",
         lambda: talib.AROONOSC(high, low, 13), lambda: talib.AROONOSC(cc(c[:, 3]), cc(c[:, 4]), 13)),
        ("adosc(candles, 3, 10)", lambda: k.adosc(c, 3, 10), "ADOSC",
         lambda: talib.ADOSC(high, low, close, vol, 3, 10),
         lambda: talib.ADOSC(cc(c[:, 3]), cc(c[:, 4]), cc(c[:, 2]), cc(c[:, 5]), 3, 10)),
    ]


def rows_for(c, size, repeat, number):
    rows = []
    for name, ours, peer, theirs, theirs_copying in cases(c):
        t = best_time(ours, repeat, number)
        rows.append((f"{name}, {size}", t, f"TA-Lib {peer}", best_time(theirs, repeat, number)))
        if theirs_copying is not None:
            rows.append((f"{name}, {size}", t, f"TA-Lib {peer} + column copies",
                         best_time(theirs_copying, repeat, number)))
    return rows


def main():
    table("Throughput, 1,000,000 candles", rows_for(candles(1_000_000), "n=1,000,000", 7, 1))
    table("Per-call time, 200 candles", rows_for(candles(200), "n=200 per call", 7, 2000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
