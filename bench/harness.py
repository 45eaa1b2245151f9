"""Tiny timing harness shared by the benchmarks: best-of-N wall time per
call, and a table of ratios against a named peer measured in the same run."""
import time

import numpy as np


def best_time(fn, repeat=7, number=1):
    """Best wall time of `number` calls, over `repeat` rounds, per call (s)."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def fmt_time(s):
    if s >= 1e-3:
        return f"{s * 1e3:.3f} ms"
    return f"{s * 1e6:.2f} us"


def table(title, rows):
    """rows: (case, ours_seconds, peer_name, peer_seconds). Prints markdown;
    ratio > 1 means we are faster."""
    print(f"\n### {title}\n")
    print("| case | korva_rust | peer | peer time | speed ratio (peer/ours) |")
    print("|---|---|---|---|---|")
    for case, ours, peer, theirs in rows:
        ratio = theirs / ours if ours > 0 else float("inf")
        print(f"| {case} | {fmt_time(ours)} | {peer} | {fmt_time(theirs)} | {ratio:.2f}x |")


def make_candles(n, rng):
    """Synthetic candles: a random-walk close, open at the previous close,
    high/low spread around them, exponential volume."""
    close = 100.0 + np.cumsum(rng.standard_normal(n))
    c = np.zeros((n, 6))
    c[:, 1] = np.concatenate([close[:1], close[:-1]])
    c[:, 2] = close
    c[:, 3] = np.maximum(c[:, 1], close) + rng.exponential(0.5, n)
    c[:, 4] = np.minimum(c[:, 1], close) - rng.exponential(0.5, n)
    c[:, 5] = rng.exponential(1000.0, n)
    return c


def run_cases(cases, seed, calls_per_round):
    """Times cases(candles) -> [(name, ours, peer, theirs)] on 1,000,000
    candles and per call on the last 200, and prints both tables."""
    rng = np.random.default_rng(seed)
    big = make_candles(1_000_000, rng)
    small = big[-200:].copy()
    table("Throughput, 1,000,000 values",
          [(f"{name}, n=1,000,000", best_time(ours, 7), peer, best_time(theirs, 7))
           for name, ours, peer, theirs in cases(big)])
    table("Per-call time, 200 values",
          [(f"{name}, n=200", best_time(ours, 7, calls_per_round), peer,
            best_time(theirs, 7, calls_per_round))
           for name, ours, peer, theirs in cases(small)])
