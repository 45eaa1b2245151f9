"""Directional movement, trend overlays and the moving deviation: throughput
on 1,000,000 values and per-call time on 200 values, against the closest
TA-Lib functions in the same run.

Ours read the candle matrix in place (strided columns); TA-Lib gets
contiguous high/low/close copies made beforehand, its most favourable case.
The pairs compute the same kind of line, not the same numbers (seeds,
warm-ups and summation order differ: TA-Lib keeps running sums where ours
re-sum each window in the order callers' results were defined with);
`dm`/`di` return both directions where TA-Lib needs two calls, so TA-Lib's
time is the sum of both. SuperTrend has no TA-Lib counterpart: its row
times TA-Lib's ATR, the first stage of the computation."""
import sys

import numpy as np

import korva_rust as k
from harness import run_cases

import talib




def vortex_peer(high, low, close, p):
    """The vortex lines from TA-Lib window sums (running sums, so not the same
    bits) and NumPy for the vortex movements."""
    s = talib.SUM(talib.TRANGE(high, low, close), p)[1:]
    return (talib.SUM(np.abs(high[1:] - low[:-1]), p) / s, talib.SUM(np.abs(low[1:] - high[:-1]), p) / s)


def cases(c):
    close = np.ascontiguousarray(c[:, 2])
    high = np.ascontiguousarray(c[:, 3])
    low = np.ascontiguousarray(c[:, 4])
    p = 14
    return [
        ("adx(14)", lambda: k.adx(c, p), "TA-Lib ADX", lambda: talib.ADX(high, low, close, p)),
        ("adxr(14)", lambda: k.adxr(c, p), "TA-Lib ADXR", lambda: talib.ADXR(high, low, close, p)),
        ("dx(14, 14)", lambda: k.dx(c, p, p, True), "TA-Lib DX + PLUS_DI + MINUS_DI",
         lambda: (talib.DX(high, low, close, p), talib.PLUS_DI(high, low, close, p),
                  talib.MINUS_DI(high, low, close, p))),
        ("di(14)", lambda: k.di(c, p), "TA-Lib PLUS_DI + MINUS_DI",
         lambda: (talib.PLUS_DI(high, low, close, p), talib.MINUS_DI(high, low, close, p))),
        ("dm(14)", lambda: k.dm(c, p), "TA-Lib PLUS_DM + MINUS_DM",
         lambda: (talib.PLUS_DM(high, low, p), talib.MINUS_DM(high, low, p))),
        ("sar(0.02, 0.2)", lambda: k.sar(c, 0.02, 0.2), "TA-Lib SAR", lambda: talib.SAR(high, low, 0.02, 0.2)),
        ("vi(14)", lambda: k.vi(c, p, True), "TA-Lib TRANGE + 3 SUM, NumPy VM", lambda: vortex_peer(high, low, close, p)),
        ("supertrend(10, 3)", lambda: k.supertrend(c, 10, 3.0), "TA-Lib ATR (its first stage)",
         lambda: talib.ATR(high, low, close, 10)),
        ("moving_std(20)", lambda: k.moving_std(close, 20), "TA-Lib STDDEV", lambda: talib.STDDEV(close, 20, 1.0)),
        ("shift(5)", lambda: k.shift(close, 5), "NumPy roll", lambda: np.roll(close, 5)),
    ]


def main():
    run_cases(cases, seed=7, calls_per_round=3000)
    return 0


if __name__ == "__main__":
    sys.exit(main())
