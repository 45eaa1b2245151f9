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


def walk_candles(rng, n=N, zigzag=False):
    moves = rng.normal(size=n)
    if zigzag:  # turning at every row: no run that copies a trend exactly
        moves = np.abs(moves) * (-1.0) ** np.arange(n)
    close = 100.0 + np.cumsum(moves)
    opens = np.r_[close[:1] - 0.5, close[:-1]]  # no candle without a body
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


# Lengths at the edges: no row, one, two, and a few dozen.
EDGE_LENGTHS = (0, 1, 2, 24)
FAR = 1000  # a period far longer than any input at the edges


def edge_parameter_sets(fn, n, rng):
    """A base set (periods from 3 to 14), then each whole-number parameter
    in turn at 0, 1, n - 1, n, n + 1 and far beyond n (negated too for a
    signed one), the others at the base: every combination would be too
    many, and a fault at an edge shows with the others ordinary."""
    base = next(parameter_sets(fn, rng, count=1))
    yield base
    for p in fn["params"]:
        if p["type"] not in ("uint", "int"):
            continue
        edges = {0, 1, max(n - 1, 0), n, n + 1, n + FAR}
        if p["type"] == "int":
            edges |= {-e for e in edges}
        for v in sorted(edges - {base[p["name"]]}):
            yield {**base, p["name"]: v}


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


def assert_warm_up(fn, candles, values):
    """The count each warm-up states, evaluated for the call's parameters,
    against the leading positions of the results that hold the stated fill
    (NaN, zeros or copies). A call that fails states nothing: whether it
    should fail is the reference's to say."""
    n = len(candles)
    names = {p["name"] for p in fn["params"]}
    try:
        results, args = call(fn, candles, values)
    except (Exception, korva_rust.InternalError):
        return
    arrays = dict(zip((p["name"] for p in fn["params"]), args), **results)
    series = [m for m, r in results.items() if r.dtype == np.float64]
    covered = set()
    for w in fn["warmup"]:
        members = [m.strip() for m in w["members"].split(",")] if w["members"] else series
        assert set(members) <= set(results), w["members"]
        covered.update(members)
        scope = {"__builtins__": {}, "min": min, "max": max, "isqrt": math.isqrt, "n": n, **values}
        count = min(max(eval(w["count"], scope), 0), n)
        for m in members:
            out = results[m]
            where = f"{fn['name']}{values} over {n} rows, {m or 'result'}: {w['count']}"
            # A result that is all fill (a zero period, a window longer than
            # the input) shows no end of a warm-up to compare with.
            if w["fill"] == "nan":
                got = leading(np.isnan(out))
                assert got in (count, n), where
            elif w["fill"] == "zeros":
                got = leading(out == 0.0)
                # A state or flag series holds zeros of its own after the warm-up.
                flags = np.isin(out, (-1.0, 0.0, 1.0)).all()
                assert got >= count if flags else got in (count, n), where
            else:
                assert w["of"] in names or w["of"] in results, w["of"]
                same = np.asarray(out).view(np.uint64) == np.asarray(arrays[w["of"]]).view(np.uint64)
                assert leading(same) == count, where
    assert covered == set(series), "a warm-up for every series member"


@pytest.mark.parametrize("fn", WARMED, ids=[f["name"] for f in WARMED])
def test_warm_up_is_what_the_table_states(fn):
    """Random walks of 300 rows at periods from 3 to 14, then walks of
    none, one or two rows, a few dozen and 300 with each whole-number
    parameter in turn at 0, 1, n - 1, n, n + 1 and far beyond n."""
    rng = np.random.default_rng(zlib.crc32(fn["name"].encode()))
    for values in parameter_sets(fn, rng):
        assert_warm_up(fn, walk_candles(rng), values)
    for length in (*EDGE_LENGTHS, N):
        candles = walk_candles(rng, length, zigzag=True)
        for values in edge_parameter_sets(fn, length, rng):
            assert_warm_up(fn, candles, values)


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


def outcome(call, *args, failures=(IndexError, ValueError, ZeroDivisionError, OverflowError, AssertionError)):
    """The result, or the failure raised."""
    try:
        with np.errstate(all="ignore"):
            return call(*args)
    except failures as e:
        return e


def failure(outcome):
    """The kind of failure, None for a result. The module's InternalError (a
    broken invariant: an index past the input, a zero period) stands for
    what plain Python meets there: an IndexError, a division by zero or a
    failed assertion."""
    if isinstance(outcome, (korva_rust.InternalError, ZeroDivisionError, AssertionError)):
        return "IndexError"
    return type(outcome).__name__ if isinstance(outcome, BaseException) else None


def assert_agrees(got, want, where):
    """The module's outcome against the reference's: the same failure, or
    the same bits."""
    if isinstance(want, ZeroDivisionError) and not isinstance(got, BaseException):
        return  # plain Python cannot say what IEEE division by zero gives
    if isinstance(got, BaseException) or isinstance(want, BaseException):
        assert failure(got) == failure(want), (where, got, want)
        return
    try:
        assert_same(got, want)
    except AssertionError as e:
        raise AssertionError(where) from e


def plain_only(got, layout):
    """Some functions read their series as one plain slice."""
    return isinstance(got, korva_rust.InternalError) and "not contiguous" in str(got) and layout != "contiguous"


MODULE_FAILURES = (Exception, korva_rust.InternalError)


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
                got = outcome(module, *args, failures=MODULE_FAILURES)
                if plain_only(got, layout):
                    continue
                if getattr(ref, "per_layout", False):
                    want = outcome(ref, *args)
                assert_agrees(got, want, f"{fn['name']}{values} on {name} candles, {layout}")


# ---- the edges: inputs of no, one or two rows, series opening on a special
# value, all NaN or NaN every other row, highs below lows, no volume; every
# whole-number parameter at 0, 1, n - 1, n, n + 1 and far beyond n.

def edge_inputs():
    rng = np.random.default_rng(11)
    walk = 100.0 + np.cumsum(rng.normal(size=EDGE_LENGTHS[-1]))
    out = {f"{n} rows": candles_around(walk[:n], rng) for n in EDGE_LENGTHS[:-1]}
    for label, value in (("NaN", math.nan), ("+inf", math.inf), ("-inf", -math.inf), ("-0.0", -0.0)):
        opening = candles_around(walk, rng)
        opening[0, 1:5] = value
        out[f"opening on {label}"] = opening
    out["all NaN"] = candles_around(np.full(len(walk), math.nan), rng)
    alternating = walk.copy()
    alternating[::2] = math.nan
    out["NaN every other row"] = candles_around(alternating, rng)
    crossed = candles_around(walk, rng)
    crossed[:, [3, 4]] = crossed[:, [4, 3]]
    out["highs below lows"] = crossed
    quiet = candles_around(walk, rng)
    quiet[:, 5] = 0.0
    out["no volume"] = quiet
    return out


EDGE_INPUTS = edge_inputs()


def edge_cases(fn):
    """(input name, candles, parameters) at the edges, the same every run."""
    rng = np.random.default_rng(zlib.crc32(fn["name"].encode()) + 1)
    for name, candles in EDGE_INPUTS.items():
        for values in edge_parameter_sets(fn, len(candles), rng):
            yield name, candles, values


@pytest.mark.parametrize("fn", CHECKED, ids=[f["name"] for f in CHECKED])
def test_function_equals_its_reference_at_the_edges(fn):
    """Contiguous, and in one of the other layouts in turn. Where the module
    fails (a zero period, an index past a short input), the reference must
    fail the same way."""
    ref = REFERENCES[fn["name"]]
    module = getattr(korva_rust, fn["name"])
    others = [layout for layout in LAYOUTS if layout != "contiguous"]
    for turn, (name, base, values) in enumerate(edge_cases(fn)):
        want = outcome(ref, *arguments(fn, base, values, "contiguous"))
        for layout in ("contiguous", others[turn % len(others)]):
            args = arguments(fn, LAYOUTS[layout](base), values, layout)
            got = outcome(module, *args, failures=MODULE_FAILURES)
            if plain_only(got, layout):
                continue
            if getattr(ref, "per_layout", False):
                want = outcome(ref, *args)
            assert_agrees(got, want, f"{fn['name']}{values} on {name}, {layout}")


# ---- streams against the references
# A stream shares its steps with its batch function, so a fault in a shared
# step shows against the independent reference only.

DATA_TYPES = ("series", "candles", "candles_mut", "int64_series")
STREAMED = [f for f in CHECKED if f["stream"] and sum(p["type"] in DATA_TYPES for p in f["params"]) == 1]


def stream_plan(n):
    """Chunk sizes summing to n: single updates first (the first steps see
    the edge values), then two extends with an empty one between."""
    sizes = [1] * min(n, 4)
    rest = n - len(sizes)
    return sizes + [rest // 2, 0, rest - rest // 2]


def last_rows(result, k):
    if isinstance(result, (tuple, list)) and result and isinstance(result[0], (list, np.ndarray)):
        return tuple(last_rows(r, k) for r in result)
    if isinstance(result, dict):
        return {key: last_rows(r, k) for key, r in result.items()}
    rows = np.asarray(result)
    return rows[len(rows) - k:]


def assert_rows(got, want, single):
    """What update (single) or extend returned against the reference's rows."""
    if isinstance(want, tuple):
        assert isinstance(got, tuple) and len(got) == len(want)
        pairs = zip(got, want)
    elif isinstance(want, dict):
        assert isinstance(got, dict) and list(got) == list(want)
        pairs = ((got[key], want[key]) for key in want)
    else:
        pairs = [(got, want)]
    for g, w in pairs:
        g = np.array([g]) if single else g
        if w.dtype == np.bool_:
            assert np.asarray(g).tolist() == w.tolist()
        else:
            assert_bits_equal(g, w)


@pytest.mark.parametrize("fn", STREAMED, ids=[f["name"] for f in STREAMED])
def test_stream_equals_the_reference_at_the_edges(fn):
    """Row by row, then by extends, over the same inputs and parameters as
    the batch functions at the edges; rows refused (the reference fails on
    that history) come again with the next chunk."""
    import korva_rust.stream as kstream

    ref = REFERENCES[fn["name"]]
    (data,) = [p for p in fn["params"] if p["type"] in DATA_TYPES]
    for name, candles, values in edge_cases(fn):
        history = candles if data["type"] != "series" else np.ascontiguousarray(candles[:, 2])
        own = [values[p["name"]] for p in fn["params"] if p["name"] in values and p["name"] != "sequential"]
        s = getattr(kstream, fn["name"])(*own)
        pos = waiting = 0
        for size in stream_plan(len(history)):
            rows = history[pos:pos + waiting + size]
            want = outcome(ref, *arguments(fn, candles[:pos + waiting + size], values, "contiguous"))
            single = len(rows) == 1
            got = outcome(s.update if single else s.extend, rows[0] if single else rows, failures=MODULE_FAILURES)
            where = f"stream {fn['name']}{own} on {name}, rows {pos} to {pos + len(rows)}"
            if isinstance(got, BaseException) or isinstance(want, BaseException):
                assert_agrees(got, want, where)
                if isinstance(got, BaseException):
                    assert len(s) == pos, where
                    waiting += size
                    continue
            else:
                try:
                    assert_rows(got, last_rows(want, len(rows)), single)
                except AssertionError as e:
                    raise AssertionError(where) from e
            pos += len(rows)
            waiting = 0
