"""RSI, ATR and Bollinger bands: throughput on 1,000,000 values and per-call
time on 200 values, against TA-Lib's RSI, ATR and BBANDS in the same run.

Our ATR reads the candle matrix in place (strided columns); TA-Lib gets
contiguous high/low/close copies made beforehand, its most favourable case.
The `_last` rows compare one final value against TA-Lib's full series."""
import sys

import numpy as np

import korva_rust as k
from harness import best_time, make_candles, table

import talib




def cases(c):
    close = np.ascontiguousarray(c[:, 2])
    high = np.ascontiguousarray(c[:, 3])
    low = np.ascontiguousarray(c[:, 4])
    p, bp = 14, 20
    return [
        ("rsi(14)", lambda: k.rsi(close, p), "TA-Lib RSI", lambda: talib.RSI(close, p)),
        ("atr(14)", lambda: k.atr(c, p), "TA-Lib ATR", lambda: talib.ATR(high, low, close, p)),
        ("bollinger_bands(20, 2, 2)", lambda: k.bollinger_bands(close, bp, 2.0, 2.0), "TA-Lib BBANDS",
         lambda: talib.BBANDS(close, bp, 2.0, 2.0, 0)),
    ], [
        ("rsi_last(14)", lambda: k.rsi_last(close, p), "TA-Lib RSI[-1]", lambda: talib.RSI(close, p)[-1]),
        ("atr_last(14)", lambda: k.atr_last(c, p), "TA-Lib ATR[-1]", lambda: talib.ATR(high, low, close, p)[-1]),
        ("bollinger_bands_last(20, 2, 2)", lambda: k.bollinger_bands_last(close, bp, 2.0, 2.0),
         "TA-Lib BBANDS[-1]", lambda: [b[-1] for b in talib.BBANDS(close, bp, 2.0, 2.0, 0)]),
    ]


def main():
    rng = np.random.default_rng(7)
    big = make_candles(1_000_000, rng)
    small = big[-200:].copy()

    series, lasts = cases(big)
    table("Throughput, 1,000,000 values",
          [(f"{name}, n=1,000,000", best_time(ours, 9), peer, best_time(theirs, 9))
           for name, ours, peer, theirs in series + lasts])

    series, lasts = cases(small)
    table("Per-call time, 200 values",
          [(f"{name}, n=200", best_time(ours, 9, 5000), peer, best_time(theirs, 9, 5000))
           for name, ours, peer, theirs in series + lasts])
    return 0


if __name__ == "__main__":
    sys.exit(main())
