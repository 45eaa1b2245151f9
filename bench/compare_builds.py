"""Two builds of korva_rust against each other, in the same run: one worker
per build (bench/peer_worker.py, the module imported from each build folder),
driven call by call in rotating order over the cases of bench_peers.py, so
both builds share the machine's noise. Prints each case's best time per
build and the ratio new / old (above 1.00: the new build is slower).

    .venv312/bin/python bench/compare_builds.py OLD_DIR NEW_DIR \\
        [--only ema,rsi] [--sizes 1000000,200] [--repeat 9] [--env-new KORVA_SIMD=avx2]
"""
import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_peers import Proc, number_for  # noqa: E402

import peer_cases  # noqa: E402


def worker(path, extra):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(path))
    env.update(extra)
    return Proc("ours", sys.executable, env)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--only", help="comma list of function names or case labels")
    ap.add_argument("--sizes", default="1000000,200")
    ap.add_argument("--repeat", type=int, default=9, help="rounds per measurement (best of)")
    ap.add_argument("--env-new", action="append", default=[], help="NAME=VALUE for the new build's worker")
    args = ap.parse_args()
    extra = dict(kv.split("=", 1) for kv in args.env_new)
    cases = peer_cases.CASES
    if args.only:
        want = set(args.only.split(","))
        cases = [c for c in cases if c.label in want or c.name in want]
    procs = {"old": worker(args.old, {}), "new": worker(args.new, extra)}
    sizes = [int(s) for s in args.sizes.split(",")]
    worst = []
    print(f"{'case':34} {'n':>8} {'old':>11} {'new':>11} {'new/old':>8}")
    for n in sizes:
        number = number_for(n)
        for case in cases:
            best = {"old": float("inf"), "new": float("inf")}
            order = ["old", "new"]
            for r in range(args.repeat):
                for impl in order[r % 2:] + order[:r % 2]:
                    rep = procs[impl].ask({"op": "time", "label": case.label, "n": n, "number": number})
                    if "error" in rep:
                        raise SystemExit(f"{case.label} [{impl}]: {rep['error']}")
                    best[impl] = min(best[impl], rep["t"])
            ratio = best["new"] / best["old"]
            worst.append((ratio, case.label, n))
            print(f"{case.label:34} {n:>8} {best['old'] * 1e6:>9.1f}us {best['new'] * 1e6:>9.1f}us {ratio:>8.3f}",
                  flush=True)
    for p in procs.values():
        p.close()
    worst.sort(reverse=True)
    print("slowest ratios:", ", ".join(f"{label} n={n} {r:.3f}" for r, label, n in worst[:8]))


if __name__ == "__main__":
    main()
