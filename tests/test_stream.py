"""Every stream of korva_rust.stream against its batch function: hostile
series (NaN runs, infinities, constant stretches, huge and tiny values,
signed zeros) fed through random mixes of update and extend, each result
compared bit for bit with the batch function on the history so far; copies
and pickles taken mid-stream continue exactly; bad input raises what the
batch function raises and leaves the stream as it was."""

import copy
import os
import pickle
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korva_rust
import korva_rust.stream as kstream
from interface import FUNCTIONS
from support import assert_bits_equal

settings.register_profile(
    "stream",
    max_examples=int(os.environ.get("STREAM_EXAMPLES", "25")),
    deadline=None,
    suppress_health_check=list(HealthCheck),
)

SIGNATURE = dict(FUNCTIONS)
STREAMS = list(kstream.__all__)

PARAMS = {
    "uint": st.one_of(st.sampled_from([0, 1, 2, 3, 5, 14, 50, 2**64 - 1]), st.integers(1, 400)),
    "int": st.one_of(st.sampled_from([0, 1, -1, 2**63 - 1, -(2**63)]), st.integers(-400, 400)),
    "float": st.sampled_from([2.0, 0.5, 0.0, -1.5, 1e300, float("inf"), float("nan")]),
    "bool": st.booleans(),
    # Price sources, chande's directions, and anchors that restart vwap
    # every minute row ("M") or hour ("h").
    "str": st.sampled_from(
        ["close", "open", "high", "low", "hl2", "HLC3", "ohlc4", "median", "", "long", "short", "M", "h"]
    ),
}


DEFAULTS = {"uint": 5, "int": 3, "float": 2.0, "bool": True, "str": "hl2"}


def data_param(name):
    ((pname, word),) = [p for p in SIGNATURE[name] if p[1] in ("series", "candles")]
    return pname, word


def stream_params(name):
    return [p for p in SIGNATURE[name] if p[1] not in ("series", "candles") and p[0] != "sequential"]


@np.errstate(all="ignore")
def hostile_series(rng, n):
    x = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    for _ in range(rng.integers(0, 6)):
        a = int(rng.integers(0, max(n, 1)))
        b = min(n, a + int(rng.integers(1, 300)))
        kind = rng.integers(0, 8)
        if kind == 0:
            x[a:b] = np.nan
        elif kind == 1:
            x[a] = rng.choice([np.inf, -np.inf])
        elif kind == 2:
            x[a:b] = x[a]
        elif kind == 3:
            x[a:b] *= 1e300
        elif kind == 4:
            x[a:b] *= 1e-300
        elif kind == 5:
            x[a:b] = rng.choice([0.0, -0.0], b - a)
        elif kind == 6:
            x[a:b] = 1e308 * rng.choice([1.0, -1.0], b - a)
        else:
            x[a:b] = 5e-324 * rng.integers(-3, 4, b - a)
    return x


@np.errstate(all="ignore")
def history_for(word, rng, n):
    close = hostile_series(rng, n)
    if word == "series":
        return close
    opened = close + rng.normal(0.0, 0.5, n)
    high = np.maximum(opened, close) + rng.random(n)
    low = np.minimum(opened, close) - rng.random(n)
    if n:
        high[rng.integers(0, n, 3)] = np.nan
        low[rng.integers(0, n, 3)] = -np.inf
    if n and rng.random() < 0.3:
        # A stretch of rows from a few values: window extremes tied between
        # +0 and -0 (and closes that show which one won), or with NaN at or
        # behind the front.
        a = int(rng.integers(0, n))
        b = min(n, a + int(rng.integers(1, 100)))
        few = [0.0, -0.0, np.nan, 1.0][: int(rng.integers(2, 5))]
        for x in (close, high, low):
            x[a:b] = rng.choice(few, b - a)
    return np.column_stack([60000.0 * np.arange(n), opened, close, high, low, rng.random(n) * 100.0])


def chunk_plan(rng, n):
    """Chunk sizes summing to n: mostly single updates, some extends of up to
    a few thousand rows, and now and then an empty extend."""
    sizes = []
    while sum(sizes) < n:
        r = rng.random()
        if r < 0.6 or r >= 0.63:
            size = 1 if r < 0.6 else int(rng.integers(2, 20)) if r < 0.93 else int(rng.integers(20, 3000))
        else:
            size = 0
        sizes.append(min(size, n - sum(sizes)))
    return sizes


def batch_call(name, history, params):
    """The batch function on a history, whole series asked for."""
    sequential = [True] if any(p == "sequential" for p, _ in SIGNATURE[name]) else []
    return getattr(korva_rust, name)(history, *params, *sequential)


def batch(name, history, params):
    """The batch function's value on the history, or the exception it raises."""
    try:
        return batch_call(name, history, params), None
    except (korva_rust.InternalError, Exception) as e:  # noqa: BLE001 (InternalError is a BaseException)
        return None, e


def last_rows(result, k):
    if isinstance(result, tuple):
        return tuple(r[len(r) - k :] for r in result)
    if isinstance(result, dict):
        return {key: r[len(r) - k :] for key, r in result.items()}
    return result[len(result) - k :]


def assert_same(got, expected, single):
    """got: what update (single) or extend returned; expected: batch rows."""
    if isinstance(expected, tuple):
        assert isinstance(got, tuple) and len(got) == len(expected)
        pairs = zip(got, expected)
    elif isinstance(expected, dict):
        assert isinstance(got, dict) and list(got) == list(expected)
        pairs = ((got[key], expected[key]) for key in expected)
    else:
        pairs = [(got, expected)]
    for g, e in pairs:
        # Flag outputs are bool arrays in batch form, so bools in a stream.
        if single:
            assert isinstance(g, bool if e.dtype == np.bool_ else float)
            assert_bits_equal(np.array([g]), e)
        else:
            assert isinstance(g, np.ndarray) and g.dtype == e.dtype
            assert_bits_equal(g, e)


def feed(s, name, history, params, start, size, rng):
    """Feeds history[start:start + size] by update (size 1) or extend, and
    checks the result (or the error) against the batch function."""
    rows = history[start : start + size]
    expected, error = batch(name, history[: start + size], params)
    before = len(s)
    single = size == 1 and rng.random() < 0.9
    if single:
        row = rows[0]
        value = row if history.ndim == 1 else (row if rng.random() < 0.5 else [float(v) for v in row])
        call = lambda: s.update(value)
    else:
        call = lambda: s.extend(rows)
    if error is not None:
        with pytest.raises(type(error)) as raised:
            call()
        assert str(raised.value) == str(error)
        assert len(s) == before
        return False
    assert_same(call(), last_rows(expected, size), single)
    assert len(s) == before + size
    return True


@pytest.mark.parametrize("name", STREAMS)
@settings(settings.get_profile("stream"))
@given(data=st.data(), seed=st.integers(0, 2**32 - 1))
def test_stream_matches_batch_bit_for_bit(name, data, seed):
    _, word = data_param(name)
    params = [data.draw(PARAMS[word_], label=p) for p, word_ in stream_params(name)]
    rng = np.random.default_rng(seed)
    history = history_for(word, rng, int(rng.integers(1, 60 if rng.random() < 0.3 else 6000)))
    s = getattr(kstream, name)(*params)
    plan = chunk_plan(rng, len(history))
    fork_at = int(rng.integers(0, len(plan)))
    forks = []
    pos = waiting = 0
    for i, size in enumerate(plan):
        if i == fork_at:
            forks = [s.copy(), copy.deepcopy(s), pickle.loads(pickle.dumps(s))]
            fork_pos = pos
        # Rows refused (the batch function raises on that history, as on a
        # single row for sar) come again with the next chunk.
        if feed(s, name, history, params, pos, waiting + size, rng):
            pos += waiting + size
            waiting = 0
        else:
            waiting += size
    # The copies and the restored pickle go on from where they were taken.
    expected, error = batch(name, history, params)
    for f in forks:
        assert len(f) == fork_pos
        rest = history[fork_pos:]
        if error is None and len(rest):
            assert_same(f.extend(rest), last_rows(expected, len(rest)), False)
            assert len(f) == len(history)


@pytest.mark.parametrize("name", STREAMS)
def test_bad_input_raises_the_batch_error_and_leaves_the_stream_as_it_was(name):
    pname, word = data_param(name)
    params = [DEFAULTS[w] for _, w in stream_params(name)]
    batch_fn = lambda data, *params: batch_call(name, data, params)
    history = history_for(word, np.random.default_rng(3), 40)
    s = getattr(kstream, name)(*params)
    s.extend(history[:20])
    state = pickle.dumps(s)
    bad_arrays = [np.arange(5), [1.0, 2.0], np.zeros((3, 6, 1)), None]
    bad_arrays.append(np.zeros(5) if word == "candles" else np.zeros((5, 6)))
    # Rising rows, so that a function reading some columns only on some rows
    # (wad) reaches the missing ones.
    rising = np.arange(40.0)[:, None]
    if word == "candles":
        bad_arrays.append(np.tile(rising, (1, 2)))  # a matrix without the columns read
    for bad in bad_arrays:
        with pytest.raises((korva_rust.InternalError, Exception)) as batch_error:
            batch_fn(bad, *params)
        with pytest.raises(type(batch_error.value)) as stream_error:
            s.extend(bad)
        assert str(stream_error.value) == str(batch_error.value)
        assert pickle.dumps(s) == state
    if word == "candles":
        # An empty matrix too narrow for the columns read: the batch
        # function's answer on it, whether empty arrays or its error.
        empty = np.zeros((0, 2))
        expected, error = batch(name, empty, params)
        if error is None:
            assert_same(s.extend(empty), expected, False)
        else:
            with pytest.raises(type(error), match=re.escape(str(error))):
                s.extend(empty)
        assert pickle.dumps(s) == state
    bad_values = ["1.0", None, object()]
    if word == "candles":
        bad_values += [7.0, ["x"] * 6]
        # A row too short for the columns read fails as a matrix that narrow
        # does (three columns hold all that qstick reads).
        _, narrow = batch(name, np.tile(rising, (1, 3)), params)
        if narrow is not None:
            for short in ([1.0, 2.0, 3.0], np.arange(3.0)):
                with pytest.raises(type(narrow), match=re.escape(str(narrow))):
                    s.update(short)
    for bad in bad_values:
        with pytest.raises(TypeError, match=f"argument '{pname}'"):
            s.update(bad)
        assert pickle.dumps(s) == state
    with pytest.raises(ValueError, match="invalid stream state|not a state"):
        s.__setstate__(state[:-3])
    assert pickle.dumps(s) == state
    assert_same(s.extend(history[20:]), last_rows(batch_fn(history, *params), 20), False)


def test_module_surface():
    assert len(korva_rust.__all__) == 109 and "stream" not in korva_rust.__all__
    assert korva_rust.stream is kstream
    assert set(STREAMS) <= set(korva_rust.__all__)
    for name in STREAMS:
        ctor = getattr(kstream, name)
        assert ctor.__module__ == "korva_rust.stream"
        assert pickle.loads(pickle.dumps(ctor)) is ctor
        assert ctor.__text_signature__ == "(" + ", ".join(p for p, _ in stream_params(name)) + ")"
        assert isinstance(ctor(*[DEFAULTS[w] for _, w in stream_params(name)]), kstream.Stream)
    with pytest.raises(TypeError):
        kstream.Stream()
    with pytest.raises(TypeError, match="argument 'period'"):
        kstream.sma(2.5)
    with pytest.raises(TypeError, match="unexpected keyword argument 'window'"):
        kstream.sma(window=3)


# Periods small, around a long chunk's length and beyond it.
CHUNK_PERIODS = [2, 14, 70]
# Where the first chunk ends: around the warm-ups of those periods and
# around the length from which extend runs the batch kernels.
CHUNK_SPLITS = [0, 1, 13, 14, 15, 63, 64, 65, 69, 70, 71, 140, 333]


@np.errstate(all="ignore")
def marked_history(word, n, seed):
    """A hostile history with NaN runs, infinities and signed zeros placed
    on both sides of every split."""
    history = history_for(word, np.random.default_rng(seed), n)
    columns = [history] if word == "series" else [history[:, c] for c in (1, 2, 3, 4)]
    for c, x in enumerate(columns):
        x[[10 + c, 64, 65 + c, 300]] = np.nan
        x[[100 + c, 141]] = np.inf
        x[[101, 142 + c]] = -np.inf
        x[200 + c : 215] = -0.0
        x[216 : 220 + c] = 0.0
        x[400 : 405 + 20 * c] = np.nan
    return history


@pytest.mark.parametrize("name", STREAMS)
@pytest.mark.parametrize("period", CHUNK_PERIODS)
def test_long_chunks_and_their_boundaries_match_the_batch_function(name, period):
    """Long chunks after any history, then single updates and a last long
    chunk: every value as the batch function gives it, and the state the
    long chunk leaves goes on exactly."""
    _, word = data_param(name)
    params = [period if w == "uint" else DEFAULTS[w] for _, w in stream_params(name)]
    history = marked_history(word, 600, period)
    expected, error = batch(name, history, params)
    if error is not None:
        return
    for a in CHUNK_SPLITS:
        b = a + 100 + period
        s = getattr(kstream, name)(*params)
        pos = end = 0
        for step in [a, b - a, 1, 1, 1, 1, 1, 1, 1, len(history) - b - 7]:
            end += step
            size = end - pos
            rows = history[pos:end]
            want, error = batch(name, history[:end], params)
            if error is not None:  # refused as the batch function refuses it (lrsi on no rows,
                with pytest.raises(type(error)):  # sar on one): the rows come again with the next
                    s.extend(rows)
                continue
            want = last_rows(want, size)
            if size == 1:
                assert_same(s.update(rows[0] if word == "series" else list(rows[0])), want, True)
            else:
                assert_same(s.extend(rows), want, False)
            pos += size
        assert len(s) == len(history)
