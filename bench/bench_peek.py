"""The forming bar: `s.peek(v)` against `s.update(v)` and against
`s.copy().update(v)` (what a caller without peek does), per call in a
Python loop, after a history of 100,000 rows of real candles (best of
several rounds).

    .venv312/bin/python bench/bench_peek.py [--only sma,rsi] [--history 100000]
"""

import argparse
import os
import sys
import time

import numpy as np

import korva_rust.stream as ks

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from support import load_candles  # noqa: E402

CASES = {
    "sma": (14,),
    "rsi": (14,),
    "atr": (14,),
    "bollinger_bands": (20, 2.0, 2.0),
    "stoch": (14, 3, 0, 3, 0),
    "wma": (14,),
}
CALLS = 20_000
ROUNDS = 5


def per_call(fn, values):
    best = float("inf")
    for _ in range(ROUNDS):
        t = time.perf_counter()
        for v in values:
            fn(v)
        best = min(best, (time.perf_counter() - t) / len(values))
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="")
    ap.add_argument("--history", type=int, default=100_000)
    args = ap.parse_args()
    candles = load_candles("crypto_1m.csv")
    reps = -(-(args.history + CALLS) // len(candles))
    candles = np.concatenate([candles] * reps)[: args.history + CALLS]
    names = [n for n in CASES if not args.only or n in args.only.split(",")]
    print(f"{'stream':<18}{'peek us':>10}{'update us':>11}{'copy+update us':>16}")
    for name in names:
        s = getattr(ks, name)(*CASES[name])
        candle = name in ("atr", "stoch")
        history = candles[: args.history] if candle else candles[: args.history, 2]
        s.extend(history)
        rest = candles[args.history :] if candle else candles[args.history :, 2]
        values = list(rest) if candle else [float(v) for v in rest]
        peek = per_call(s.peek, values)
        copied = per_call(lambda v: s.copy().update(v), values)
        # On a copy: each round feeds the same rows again, moving it on.
        update = per_call(s.copy().update, values)
        print(f"{name:<18}{peek * 1e6:>10.3f}{update * 1e6:>11.3f}{copied * 1e6:>16.3f}")


if __name__ == "__main__":
    main()
