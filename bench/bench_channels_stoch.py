"""Stochastics, Williams' %R and the linear regression value: throughput on
1,000,000 values and per-call time on 200 values, against TA-Lib's STOCH,
STOCHF, WILLR and LINEARREG in the same run.

Ours read the candle matrix in place (strided columns); TA-Lib gets
contiguous high/low/close copies made beforehand, its most favourable case.
The smoothing of both stochastics is a simple mean (TA-Lib matype 0)."""
import sys

import numpy as np

import korva_rust as k
from harness import best_time, table

import talib


def make_candles(n, rng):
    close = 100.0 + np.cumsum(rng.standard_normal(n))
    c = np.zeros((n, 6))
    c[:, 1] = np.concatenate([close[:1], close[:-1]])
    c[:, 2] = close
    c[:, 3] = np.maximum(c[:, 1], close) + rng.exponential(0.5, n)
    c[:, 4] = np.minimum(c[:, 1], close) - rng.exponential(0.5, n)
    c[:, 5] = rng.exponential(1000.0, n)
    return c


def cases(c):
    close = np.ascontiguousarray(c[:, 2])
    high = np.ascontiguousarray(c[:, 3])
    low = np.ascontiguousarray(c[:, 4])
    return [
        ("stoch(14, 3, 3)", lambda: k.stoch(c, 14, 3, 0, 3, 0), "TA-Lib STOCH",
         lambda: talib.STOCH(high, low, close, 14, 3, 0, 3, 0)),
        ("stochf(14, 3)", lambda: k.stochf(c, 14, 3, 0), "TA-Lib STOCHF",
         lambda: talib.STOCHF(high, low, close, 14, 3, 0)),
        ("willr(14)", lambda: k.willr(c, 14), "TA-Lib WILLR", lambda: talib.WILLR(high, low, close, 14)),
        ("linearreg(14)", lambda: k.linearreg(close, 14), "TA-Lib LINEARREG", lambda: talib.LINEARREG(close, 14)),
    ]


def main():
    rng = np.random.default_rng(11)
    big = make_candles(1_000_000, rng)
    small = big[-200:].copy()
    table("Throughput, 1,000,000 values",
          [(f"{name}, n=1,000,000", best_time(ours, 7), peer, best_time(theirs, 7))
           for name, ours, peer, theirs in cases(big)])
    table("Per-call time, 200 values",
          [(f"{name}, n=200", best_time(ours, 7, 5000), peer, best_time(theirs, 7, 5000))
           for name, ours, peer, theirs in cases(small)])
    return 0


if __name__ == "__main__":
    sys.exit(main())
