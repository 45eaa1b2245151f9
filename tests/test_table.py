"""Tests driven by the function table: every entry's stated warm-up against
the module."""
import math
import zlib

import numpy as np
import pytest

import function_table
import korva_rust

TABLE = function_table.load()
WARMED = [f for f in TABLE["functions"] if f["warmup"]]

N = 300  # rows: longer than any warm-up the parameter sets below give


def walk_candles(rng, n=N):
    close = 100.0 + np.cumsum(rng.normal(size=n))
    opens = np.r_[close[0], close[:-1]]
    return np.column_stack([np.arange(n) * 60000.0, opens, close,
                            np.maximum(opens, close) + rng.exponential(size=n),
                            np.minimum(opens, close) - rng.exponential(size=n), rng.uniform(1.0, 10.0, n)])


STRINGS = {"direction": "long", "anchor": "D"}


def parameter_sets(fn, rng, count=4):
    """Whole-number parameters from 3 to 14 (moving-average types 0), the
    others fixed: names to values, without the arrays. (A period of 2 makes
    some weighted means copy their input, so copies could not be told from
    warm-up.)"""
    for _ in range(count):
        values = {}
        for p in fn["params"]:
            name, kind = p["name"], p["type"]
            if kind in ("uint", "int"):
                values[name] = 0 if name.endswith("matype") else int(rng.integers(3, 15))
            elif kind == "float":
                values[name] = 0.5
            elif kind == "str":
                values[name] = STRINGS.get(name, "close")
            elif kind == "bool":
                values[name] = True  # `sequential`: the whole series
        yield values


def call(fn, candles, values):
    close = np.ascontiguousarray(candles[:, 2])
    args = [values.get(p["name"], candles if p["type"] == "candles" else close) for p in fn["params"]]
    result = getattr(korva_rust, fn["name"])(*args)
    if isinstance(result, np.ndarray):
        return {"": result}, args
    if isinstance(result, tuple):
        return {o["name"]: r for o, r in zip(fn["outputs"], result)}, args
    return result, args


def leading(flags):
    """How many leading entries are true."""
    return len(flags) if flags.all() else int(np.argmin(flags))


@pytest.mark.parametrize("fn", WARMED, ids=[f["name"] for f in WARMED])
def test_warm_up_is_what_the_table_states(fn):
    """The count each warm-up states, evaluated for the call's parameters,
    against the leading positions of random data's results that hold the
    stated fill (NaN, zeros or copies)."""
    rng = np.random.default_rng(zlib.crc32(fn["name"].encode()))
    names = {p["name"] for p in fn["params"]}
    for values in parameter_sets(fn, rng):
        candles = walk_candles(rng)
        results, args = call(fn, candles, values)
        arrays = dict(zip((p["name"] for p in fn["params"]), args), **results)
        series = [m for m, r in results.items() if r.dtype == np.float64]
        covered = set()
        for w in fn["warmup"]:
            members = [m.strip() for m in w["members"].split(",")] if w["members"] else series
            assert set(members) <= set(results), w["members"]
            covered.update(members)
            scope = {"__builtins__": {}, "min": min, "max": max, "isqrt": math.isqrt, "n": N, **values}
            count = min(max(eval(w["count"], scope), 0), N)
            for m in members:
                out = results[m]
                where = f"{fn['name']}{values} {m or 'result'}: {w['count']}"
                if w["fill"] == "nan":
                    assert leading(np.isnan(out)) == count, where
                elif w["fill"] == "zeros":
                    got = leading(out == 0.0)
                    # A state or flag series holds zeros of its own after the warm-up.
                    flags = np.isin(out, (-1.0, 0.0, 1.0)).all()
                    assert got >= count if flags else got == count, where
                else:
                    assert w["of"] in names or w["of"] in results, w["of"]
                    same = np.asarray(out).view(np.uint64) == np.asarray(arrays[w["of"]]).view(np.uint64)
                    assert leading(same) == count, where
        assert covered == set(series), "a warm-up for every series member"
