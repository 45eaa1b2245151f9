"""Stochastics, Williams' %R and the linear regression value: throughput on
1,000,000 values and per-call time on 200 values, against TA-Lib's STOCH,
STOCHF, WILLR and LINEARREG in the same run.

Ours read the candle matrix in place (strided columns); TA-Lib gets
contiguous high/low/close copies made beforehand, its most favourable case.
The smoothing of both stochastics is a simple mean (TA-Lib matype 0)."""
import sys

import numpy as np

import korva_rust as k
from harness import run_cases

import talib




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
    run_cases(cases, seed=11, calls_per_round=5000)
    return 0


if __name__ == "__main__":
    sys.exit(main())
