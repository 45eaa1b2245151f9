"""Tests driven by the function table: every entry's stated warm-up, and
every entry against its plain-Python reference (tests/references) bit for bit
over the input layouts and hostile series. A new function is enrolled by its
table row and its reference."""
import math
import zlib

import numpy as np
import pytest

import function_table
import korva_rust
from references import REFERENCES
from support import DATA, assert_bits_equal, hostile_part

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


def parameter_sets(fn, rng, count=4, edges=()):
    """Whole-number parameters from 3 to 14 (moving-average types 0), then
    each of `edges` for all of them, the others fixed: names to values,
    without the arrays. (A period of 2 makes some weighted means copy their
    input, so copies could not be told from warm-up.)"""
    for i in range(count + len(edges)):
        values = {}
        for p in fn["params"]:
            name, kind = p["name"], p["type"]
            if kind in ("uint", "int"):
                whole = edges[i - count] if i >= count else int(rng.integers(3, 15))
                values[name] = 0 if name.endswith("matype") else whole
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


# ---- every function against its reference

def candles_around(close, rng):
    """A candle matrix around the closes: open at the previous close, high
    and low beyond both, volume, minute timestamps."""
    n = len(close)
    opens = np.r_[close[:1], close[:-1]]
    with np.errstate(all="ignore"):
        return np.column_stack([np.arange(n) * 60000.0, opens, close,
                                np.fmax(opens, close) + rng.exponential(size=n),
                                np.fmin(opens, close) - rng.exponential(size=n), rng.uniform(1.0, 10.0, n)])


# Stretches that keep recurrences from converging and long enough for the
# vector lanes' chunks: NaN runs, infinities, huge, tiny and signed-zero
# values, constant runs.
HOSTILE = [("walk", 700), ("nan", 40), ("walk", 500), ("inf", 3), ("walk", 300), ("flat", 150), ("huge", 200),
           ("walk", 300), ("tiny", 150), ("zero", 60), ("walk", 400), ("flat", 40), ("walk", 200)]


def inputs():
    rng = np.random.default_rng(7)
    walk = 100.0 + np.cumsum(rng.normal(size=200))
    hostile = np.concatenate([hostile_part(rng, kind, n) for kind, n in HOSTILE])
    out = {"walk": candles_around(walk, rng), "short": candles_around(walk[:6], rng),
           "hostile": candles_around(hostile, rng)}
    # The real candles beside the repository, when they are there: gaps,
    # flat bars, repeated prices.
    for name, rows in (("crypto_1m.csv", 2000), ("stock_1d.csv", None)):
        if (DATA / name).exists():
            out[name] = np.loadtxt(DATA / name, delimiter=",", skiprows=1)[:rows]
    return out


def misaligned(c):
    raw = np.zeros(c.nbytes + 1, dtype=np.uint8)
    view = np.ndarray(c.shape, dtype=np.float64, buffer=raw, offset=1, strides=(8 * c.shape[1], 8))
    view[:] = c
    return view


def sliced(c):
    wide = np.full((c.shape[0] + 2, 8), 7.0)
    wide[1:-1, :6] = c
    return wide[1:-1, :6]


# The same candles in the layouts callers pass; a series argument is the
# layout's close column (a contiguous copy for the first).
LAYOUTS = {
    "contiguous": lambda c: c,
    "strided": lambda c: np.repeat(c, 2, axis=0)[::2],
    "reversed": lambda c: np.ascontiguousarray(c[::-1])[::-1],
    "misaligned": misaligned,
    "fortran": np.asfortranarray,
    "sliced": sliced,
}
INPUTS = inputs()
# Periods of one and two, and one longer than the short series: recurrences
# whose lanes converge at once or not within a chunk.
EDGES = (1, 2, 40)
CHECKED = [f for f in TABLE["functions"] if f["name"] in REFERENCES]


def arguments(fn, candles, values, layout):
    close = np.ascontiguousarray(candles[:, 2]) if layout == "contiguous" else candles[:, 2]
    return [values.get(p["name"], candles if p["type"] == "candles" else close) for p in fn["params"]]


def assert_same(got, want):
    if isinstance(got, dict):
        assert list(got) == list(want)
        for key in got:
            assert_same(got[key], want[key])
    elif isinstance(got, tuple):
        assert len(got) == len(want)
        for g, w in zip(got, want):
            assert_same(g, w)
    elif isinstance(got, np.ndarray) and got.dtype == np.bool_:
        assert got.tolist() == list(want)
    elif isinstance(got, float):
        assert_bits_equal([got], [want])
    else:
        assert_bits_equal(got, want)


def test_every_series_function_has_a_reference():
    assert not {f["name"] for f in TABLE["functions"] if f["warmup"]} - set(REFERENCES)


def outcome(call, *args, failures=(IndexError, ValueError, ZeroDivisionError, OverflowError)):
    """The result, or the failure raised."""
    try:
        with np.errstate(all="ignore"):
            return call(*args)
    except failures as e:
        return e


def failure(outcome):
    """The kind of failure, None for a result; a reference stands for the
    module's InternalError (an index past the input) with IndexError."""
    if isinstance(outcome, korva_rust.InternalError):
        return "IndexError"
    return type(outcome).__name__ if isinstance(outcome, BaseException) else None


@pytest.mark.parametrize("fn", CHECKED, ids=[f["name"] for f in CHECKED])
def test_function_equals_its_reference(fn):
    """Bit for bit, NaN positions and the sign of zero included, for a few
    parameter sets over a random walk, a short series, a long hostile one
    and the real candles, each in every layout. Where the module fails (an
    index past a short input), the reference must fail the same way."""
    ref = REFERENCES[fn["name"]]
    module = getattr(korva_rust, fn["name"])
    rng = np.random.default_rng(zlib.crc32(fn["name"].encode()))
    for values in parameter_sets(fn, rng, count=3, edges=EDGES):
        for name, base in INPUTS.items():
            want = outcome(ref, *arguments(fn, base, values, "contiguous"))
            for layout, lay_out in LAYOUTS.items():
                args = arguments(fn, lay_out(base), values, layout)
                where = f"{fn['name']}{values} on {name} candles, {layout}"
                got = outcome(module, *args, failures=(Exception, korva_rust.InternalError))
                # Some functions read their series as one plain slice.
                plain_only = isinstance(got, korva_rust.InternalError) and "not contiguous" in str(got)
                if plain_only and layout != "contiguous":
                    continue
                if getattr(ref, "per_layout", False):
                    want = outcome(ref, *args)
                if isinstance(got, BaseException) or isinstance(want, BaseException):
                    assert failure(got) == failure(want), (where, got, want)
                    continue
                try:
                    assert_same(got, want)
                except AssertionError as e:
                    raise AssertionError(where) from e
