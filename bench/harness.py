"""Tiny timing harness shared by the benchmarks: best-of-N wall time per
call, and a table of ratios against a named peer measured in the same run."""
import time


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
