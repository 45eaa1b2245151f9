"""Streams (korva_rust.stream) against recomputing the last value, and
against ferro-ta's streaming classes, measured in the same run.

Per update, after a history of 1,000 and of 100,000 values:
- stream: `s.update(v)` in a Python loop (what a live loop does per candle);
- call floor: the same loop calling a C method that does nothing useful
  (`dict.get`), i.e. what the Python call and the loop cost by themselves;
- last: `<name>_last(history, ...)` where it exists, else
  `<name>(history, ...)[-1]`, on the whole history (what the host did);
- ferro-ta: its streaming class's `update` in the same kind of loop, in a
  worker process on bench/.venv-ferro (`make bench-venvs`), where it exists;
- TA-Lib 0.8.2: its stream handle (`talib.stream.<NAME>(history, **params)`)
  per `update` and per `peek`, in a worker process on bench/.venv-talib;
- ours per `peek` too, where streams have it.

A start from history (`--extend`, or the first table of a full run):
`extend` of 100,000 values on a fresh stream against the batch function on
the same values, the two timed in turn (best of 7 each, in CPU time), and
their ratio; beside them TA-Lib's handle opened on the same values.

    .venv312/bin/python bench/bench_stream.py [--only sma,rsi] [--extend] [--json out.json]
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

import korva_rust
import korva_rust.stream as ks

HERE = os.path.dirname(os.path.abspath(__file__))
FERRO_PYTHON = os.path.join(HERE, ".venv-ferro", "bin", "python")
TALIB_PYTHON = os.path.join(HERE, ".venv-talib", "bin", "python")
SIZES = [1_000, 100_000]
UPDATES = 20_000
ALTERNATIONS = 3
START = 100_000
START_ROUNDS = 7

# Parameters of each stream; the rest take a period of 14.
PARAMS = {
    "bollinger_bands": (20, 2.0, 2.0),
    "macd": (12, 26, 9),
    "stoch": (14, 3, 0, 3, 0),
    "stochf": (14, 3, 0),
    "epma": (14, 4),
    "vpwma": (14, 0.382),
    "kama": (14, 2, 30),
    "t3": (5, 0.7, "close"),
    "supertrend": (10, 3.0),
    "sar": (0.02, 0.2),
    "bollinger_bands_width": (20, 2.0),
    "frama": (10, 1, 198),
    "hwma": (0.2, 0.1, 0.1),
    "jma": (7, 50.0, 2),
    "maaq": (14, 2, 30),
    "mcginley_dynamic": (14, 0.6),
    "mwdx": (0.2,),
    "vidya": (14, False, True),
    "vwap": ("hlc3", "D"),
    "bandpass": (20, 0.3),
    "correlation_cycle": (20, 9.0),
    "itrend": (0.07,),
    "mama": (0.5, 0.05),
    "pma": (),
    "voss": (20, 3, 0.25),
    "cfo": (14, 100.0),
    "dti": (14, 10, 5),
    "pfe": (10, 5),
    "srsi": (14, 14, 3, 3),
    "wt": (9, 12, 3, 53.0, -53.0, "hlc3"),
    "alligator": (),
    "safezonestop": (22, 2.5, 3, True),
    "adosc": (3, 10),
    "emv": (14, 10000.0),
    "wad": (),
    "chande": (22, 3.0, "long"),
    "chop": (14, 100.0, 1),
    "emd": (20, 0.5, 0.1),
    "heikin_ashi_candles": (),
}
# ferro-ta's class and how it is built and fed: ("series" | "hlc", constructor arguments).
FERRO = {
    "sma": ("StreamingSMA", "series", (14,)),
    "ema": ("StreamingEMA", "series", (14,)),
    "rsi": ("StreamingRSI", "series", (14,)),
    "atr": ("StreamingATR", "hlc", (14,)),
    "bollinger_bands": ("StreamingBBands", "series", (20, 2.0, 2.0)),
    "macd": ("StreamingMACD", "series", (12, 26, 9)),
    "supertrend": ("StreamingSupertrend", "hlc", (10, 3.0)),
    "stoch": ("StreamingStoch", "hlc", (14, 3, 3)),
}

# TA-Lib's stream handles: name, the inputs they take in order (c close, h
# high, l low, v volume) and the parameters matching ours in PARAMS.
TALIB = {
    "sma": ("SMA", "c", {"timeperiod": 14}),
    "ema": ("EMA", "c", {"timeperiod": 14}),
    "wma": ("WMA", "c", {"timeperiod": 14}),
    "dema": ("DEMA", "c", {"timeperiod": 14}),
    "tema": ("TEMA", "c", {"timeperiod": 14}),
    "kama": ("KAMA", "c", {"timeperiod": 14}),
    "t3": ("T3", "c", {"timeperiod": 5, "vfactor": 0.7}),
    "rsi": ("RSI", "c", {"timeperiod": 14}),
    "cmo": ("CMO", "c", {"timeperiod": 14}),
    "macd": ("MACD", "c", {"fastperiod": 12, "slowperiod": 26, "signalperiod": 9}),
    "bollinger_bands": ("BBANDS", "c", {"timeperiod": 20, "nbdevup": 2.0, "nbdevdn": 2.0}),
    "linearreg": ("LINEARREG", "c", {"timeperiod": 14}),
    "atr": ("ATR", "hlc", {"timeperiod": 14}),
    "adx": ("ADX", "hlc", {"timeperiod": 14}),
    "adxr": ("ADXR", "hlc", {"timeperiod": 14}),
    "cci": ("CCI", "hlc", {"timeperiod": 14}),
    "willr": ("WILLR", "hlc", {"timeperiod": 14}),
    "stoch": ("STOCH", "hlc", {"fastk_period": 14, "slowk_period": 3, "slowd_period": 3}),
    "stochf": ("STOCHF", "hlc", {"fastk_period": 14, "fastd_period": 3}),
    "sar": ("SAR", "hl", {"acceleration": 0.02, "maximum": 0.2}),
    "aroonosc": ("AROONOSC", "hl", {"timeperiod": 14}),
    "adosc": ("ADOSC", "hlcv", {"fastperiod": 3, "slowperiod": 10}),
}

# The TA-Lib side, run in its own environment: prints {name: {"update",
# "peek": seconds per call after n values, "open": seconds to open a handle
# on the start history}}, on the same values as ours.
TALIB_WORKER = r"""
import json, sys, time
import numpy as np
import talib.stream as ts
spec, n, updates, start = json.loads(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def columns(close):
    return {"c": close, "h": close + 0.5, "l": close - 0.5, "v": np.ones(len(close))}
rng = np.random.default_rng(1)
cols = columns(100.0 + np.cumsum(rng.normal(0.0, 1.0, n + updates)))
rng = np.random.default_rng(2)
long = columns(100.0 + np.cumsum(rng.normal(0.0, 1.0, start)))
out = {}
for name, (fn, feed, kw) in spec.items():
    make = getattr(ts, fn)
    history = [cols[k][:n] for k in feed]
    rows = list(zip(*[cols[k][n:].tolist() for k in feed]))
    update = peek = opened = float("inf")
    for _ in range(5):
        s = make(*history, **kw)
        p, u = s.peek, s.update
        t0 = time.perf_counter()
        for r in rows:
            p(*r)
        peek = min(peek, (time.perf_counter() - t0) / updates)
        t0 = time.perf_counter()
        for r in rows:
            u(*r)
        update = min(update, (time.perf_counter() - t0) / updates)
    if start:
        whole = [long[k] for k in feed]
        for _ in range(7):
            t0 = time.thread_time()
            make(*whole, **kw)
            opened = min(opened, time.thread_time() - t0)
    out[name] = {"update": update, "peek": peek, "open": opened if start else None}
print(json.dumps(out))
"""

# The ferro-ta side, run in its own environment: prints {name: seconds per update}.
FERRO_WORKER = r"""
import json, sys, time
import numpy as np
import ferro_ta
spec, n, updates = json.loads(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
rng = np.random.default_rng(1)
close = (100.0 + np.cumsum(rng.normal(0.0, 1.0, n + updates))).tolist()
high = [c + 0.5 for c in close]
low = [c - 0.5 for c in close]
out = {}
for name, (cls, feed, args) in spec.items():
    best = float("inf")
    for _ in range(5):
        s = getattr(ferro_ta, cls)(*args)
        u = s.update
        if feed == "series":
            for v in close[:n]:
                u(v)
            t0 = time.perf_counter()
            for v in close[n:]:
                u(v)
        else:
            for h, l, c in zip(high[:n], low[:n], close[:n]):
                u(h, l, c)
            rows = list(zip(high[n:], low[n:], close[n:]))
            t0 = time.perf_counter()
            for h, l, c in rows:
                u(h, l, c)
        best = min(best, (time.perf_counter() - t0) / updates)
    out[name] = best
print(json.dumps(out))
"""


def candles(close):
    n = len(close)
    return np.column_stack([60000.0 * np.arange(n), close, close, close + 0.5, close - 0.5, np.ones(n)])


def is_candle(name):
    s = getattr(ks, name)(*PARAMS.get(name, (14,)))
    try:
        s.update(1.0)
        return False
    except (TypeError, korva_rust.InternalError):
        return True


def per_update(fn, values, rounds=5):
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for v in values:
            fn(v)
        best = min(best, (time.perf_counter() - t0) / len(values))
    return best


def best_call(fn, budget=0.2):
    fn()
    t0 = time.perf_counter()
    fn()
    once = time.perf_counter() - t0
    number = max(1, int(budget / 5 / max(once, 1e-7)))
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def ours(name, n, stream_only=False):
    params = PARAMS.get(name, (14,))
    rng = np.random.default_rng(1)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n + UPDATES))
    candle = is_candle(name)
    data = candles(close) if candle else close
    history = data[:n]
    # Rows fed as a live loop has them: floats, or candle rows as lists.
    fresh = [list(r) for r in data[n:].tolist()] if candle else data[n:].tolist()

    def stream_time(method="update"):
        best = float("inf")
        for _ in range(5):
            s = getattr(ks, name)(*params)
            s.extend(history)
            if not hasattr(s, method):
                return None
            u = getattr(s, method)
            t0 = time.perf_counter()
            for v in fresh:
                u(v)
            best = min(best, (time.perf_counter() - t0) / len(fresh))
        return best

    if stream_only:
        return stream_time(), stream_time("peek")
    floor = per_update({}.get, fresh if not candle else [0.0] * len(fresh))
    last_name = name + "_last"
    if hasattr(korva_rust, last_name):
        last_fn = getattr(korva_rust, last_name)
        last = best_call(lambda: last_fn(history, *params))
        how = last_name
    else:
        fn = getattr(korva_rust, name)
        whole = (True,) if "sequential" in (fn.__text_signature__ or "") else ()

        def last_of():
            r = fn(history, *params, *whole)
            if isinstance(r, dict):
                r = tuple(r.values())
            return r[0][-1] if isinstance(r, tuple) else r[-1]

        last = best_call(last_of)
        how = f"{name}(...)[-1]"
    return {"stream": stream_time(), "peek": stream_time("peek"), "floor": floor, "last": last, "last_how": how}


def batch_of(name, params):
    """The batch function with its whole series asked for."""
    fn = getattr(korva_rust, name)
    whole = (True,) if "sequential" in (fn.__text_signature__ or "") else ()
    return lambda data: fn(data, *params, *whole)


def start_times(name, n=START, rounds=START_ROUNDS):
    """Best times of extend on a fresh stream and of the batch function on
    the same n values, taken in turn."""
    params = PARAMS.get(name, (14,))
    rng = np.random.default_rng(2)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    data = candles(close) if is_candle(name) else close
    make = getattr(ks, name)
    run = batch_of(name, params)
    ours = whole = float("inf")
    # CPU time of this thread: on a shared host, what other processes take
    # between the two calls is not counted against either.
    clock = time.thread_time
    for _ in range(rounds):
        s = make(*params)
        t0 = clock()
        s.extend(data)
        ours = min(ours, clock() - t0)
        t0 = clock()
        run(data)
        whole = min(whole, clock() - t0)
    return {"extend": ours, "batch": whole}


def ms(s):
    return f"{s * 1e3:.3f} ms"


def start_table(names, results):
    talib = talib_times(names, 1_000, START)
    print(f"\n### Start from history: extend of {START:,} values on a fresh stream\n")
    print("| stream | extend | batch | extend / batch | TA-Lib open | TA-Lib open / extend |")
    print("|---|---|---|---|---|---|")
    for name in names:
        r = start_times(name)
        r["talib_open"] = talib[name]["open"] if name in talib else None
        results[f"{name}@start"] = r
        peer = f"{ms(r['talib_open'])} | {r['talib_open'] / r['extend']:.2f}x" if r["talib_open"] else "- | -"
        print(f"| {name} | {ms(r['extend'])} | {ms(r['batch'])} | {r['extend'] / r['batch']:.2f}x | {peer} |")


def talib_times(names, n, start=0):
    spec = {k: v for k, v in TALIB.items() if k in names}
    if not spec or not os.path.exists(TALIB_PYTHON):
        return {}
    out = subprocess.run(
        [TALIB_PYTHON, "-c", TALIB_WORKER, json.dumps(spec), str(n), str(UPDATES), str(start)],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(out.stdout)


def ferro_times(names, n):
    spec = {k: v for k, v in FERRO.items() if k in names}
    if not spec or not os.path.exists(FERRO_PYTHON):
        return {}
    out = subprocess.run(
        [FERRO_PYTHON, "-c", FERRO_WORKER, json.dumps(spec), str(n), str(UPDATES)],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(out.stdout)


def us(s):
    return f"{s * 1e6:.3f} us"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", default="")
    ap.add_argument("--json", default="")
    ap.add_argument("--extend", action="store_true", help="only the start from history")
    a = ap.parse_args()
    names = [n for n in ks.__all__ if not a.only or n in a.only.split(",")]
    for name in names:  # every stream's parameters are known before anything is timed
        getattr(ks, name)(*PARAMS.get(name, (14,)))
    if not os.path.exists(FERRO_PYTHON):
        print("(no bench/.venv-ferro: `make bench-venvs` for ferro-ta's streaming classes)", file=sys.stderr)
    if not os.path.exists(TALIB_PYTHON):
        print("(no bench/.venv-talib: `make bench-venvs` for TA-Lib's stream handles)", file=sys.stderr)
    results = {}
    start_table(names, results)
    for n in SIZES if not a.extend else []:
        ferro = ferro_times(names, n)
        talib = talib_times(names, n)
        rows = {}
        for name in names:
            rows[name] = ours(name, n)
            rows[name]["ferro"] = ferro.get(name)
            rows[name]["talib"] = talib[name]["update"] if name in talib else None
            rows[name]["talib_peek"] = talib[name]["peek"] if name in talib else None
        # This machine's speed drifts between phases of a run (shared host):
        # the sides are timed in turn a few more times and the best of each
        # kept, so that their ratios compare like with like.
        paired = [name for name in names if rows[name]["ferro"] or rows[name]["talib"]]
        for _ in range(ALTERNATIONS - 1 if paired else 0):
            again = ferro_times(paired, n)
            again_talib = talib_times(paired, n)
            for name in paired:
                update, peek = ours(name, n, stream_only=True)
                r = rows[name]
                r["stream"] = min(r["stream"], update)
                if peek is not None:
                    r["peek"] = min(r["peek"], peek)
                if r["ferro"]:
                    r["ferro"] = min(r["ferro"], again[name])
                if r["talib"]:
                    r["talib"] = min(r["talib"], again_talib[name]["update"])
                    r["talib_peek"] = min(r["talib_peek"], again_talib[name]["peek"])
        print(f"\n### Per update after {n:,} values\n")
        print(
            "| stream | per update | call floor | last value | by | last / stream | ferro-ta | ferro / stream "
            "| TA-Lib | TA-Lib / stream | peek | TA-Lib peek | TA-Lib peek / peek |"
        )
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for name in names:
            r = rows[name]
            results[f"{name}@{n}"] = r
            fr = f"{us(r['ferro'])} | {r['ferro'] / r['stream']:.2f}x" if r["ferro"] else "- | -"
            ta = f"{us(r['talib'])} | {r['talib'] / r['stream']:.2f}x" if r["talib"] else "- | -"
            pk = us(r["peek"]) if r["peek"] else "-"
            tp = us(r["talib_peek"]) if r["talib_peek"] else "-"
            pr = f"{r['talib_peek'] / r['peek']:.2f}x" if r["peek"] and r["talib_peek"] else "-"
            print(
                f"| {name} | {us(r['stream'])} | {us(r['floor'])} | {us(r['last'])} | `{r['last_how']}` "
                f"| {r['last'] / r['stream']:.1f}x | {fr} | {ta} | {pk} | {tp} | {pr} |"
            )
    if a.json:
        with open(a.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
