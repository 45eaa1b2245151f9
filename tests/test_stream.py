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
import struct
import zlib

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
    assert korva_rust.stream is kstream
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


# -- saved states ------------------------------------------------------------------
# A state is b"korva_rust.stream/2:<name>(<parameters>):", the fields as
# little-endian 8-byte words, then zlib's CRC-32 of all that as one more word.


def state_of(s):
    return s.__reduce__()[2]


def split_state(state):
    """(head, field words) of a genuine state."""
    head = state[: state.index(b"):") + 2]
    body = state[len(head) : -8]
    assert zlib.crc32(state[:-8]) == struct.unpack("<Q", state[-8:])[0]
    return head, [body[i : i + 8] for i in range(0, len(body), 8)]


def seal(head, words):
    """A state with a check word that fits: what a forger would write."""
    data = head + b"".join(words)
    return data + struct.pack("<Q", zlib.crc32(data))


def restored(name, params, state):
    """A stream restored from the state, or the ValueError it was refused with."""
    s = getattr(kstream, name)(*params)
    try:
        s.__setstate__(state)
    except ValueError as e:
        return None, e
    return s, None


def outputs(s, tail):
    """What feeding the rows one at a time returns (results or exceptions),
    and the length after: never a SystemError."""
    got = []
    for row in tail:
        try:
            got.append(s.update(row))
        except SystemError:
            raise
        except (korva_rust.InternalError, Exception) as e:  # noqa: BLE001 (the batch's errors pass through)
            got.append((type(e), str(e)))
    return got, len(s)


def same_outputs(a, b):
    return pickle.dumps(a) == pickle.dumps(b)  # NaN and -0.0 compare by their bits


def word_mutations(word):
    (u,) = struct.unpack("<Q", word)
    values = {0, 1, 2**64 - 1, 2**63, 2**62, 2**62 + 1, struct.unpack("<Q", struct.pack("<d", float("nan")))[0]}
    values |= {(u + 1) % 2**64, (u - 1) % 2**64}
    return [struct.pack("<Q", v) for v in sorted(values) if v != u]


@pytest.mark.parametrize("name", STREAMS)
def test_altered_states_are_refused_or_continue_exactly(name):
    """Each 8-byte word of a saved state (a sample of them in long states)
    set to hostile values, the state cut short and lengthened: as saved, every
    change is refused; sealed again with a fitting check word (a forgery),
    the fields' own checks refuse it or the stream goes on without a
    SystemError and saves exactly the state it was given."""
    _, word = data_param(name)
    params = [DEFAULTS[w] for _, w in stream_params(name)]
    rng = np.random.default_rng(sum(name.encode()))
    history = history_for(word, rng, 40)
    original = getattr(kstream, name)(*params)
    original.extend(history[:30])
    tail = history[30:]
    state = state_of(original)
    head, words = split_state(state)
    expected = outputs(original.copy(), tail)
    picked = sorted(rng.choice(len(words), min(len(words), 12), replace=False)) if words else []
    forged = []
    for i in picked:
        for w in word_mutations(words[i]):
            forged.append(words[:i] + [w] + words[i + 1 :])
    cuts = sorted({0, len(words) // 2, max(len(words) - 1, 0)})
    forged += [words[:c] for c in cuts] + [words + [bytes(8)], words + [words[-1] if words else bytes(8)]]
    forged = [f for f in forged if f != words]
    for f in forged:
        altered = head + b"".join(f) + state[-8:]
        for bad in (altered, altered[:-1], state[:-1], state + b"\0"):
            s, error = restored(name, params, bad)
            assert s is None and "invalid stream state" in str(error)
        s, error = restored(name, params, seal(head, f))
        if s is not None:
            assert state_of(s) == seal(head, f)  # read exactly as written
            got, length = outputs(s, tail)
            assert 0 <= length <= 2**62
            state_of(s)
    s, error = restored(name, params, state)
    assert error is None and same_outputs(outputs(s, tail), expected)


@pytest.mark.parametrize("name", STREAMS)
def test_states_load_only_into_their_own_function_and_parameters(name):
    _, word = data_param(name)
    kinds = stream_params(name)
    params = [DEFAULTS[w] for _, w in kinds]
    s = getattr(kstream, name)(*params)
    s.extend(history_for(word, np.random.default_rng(5), 30))
    state = state_of(s)
    assert pickle.loads(pickle.dumps(s)).__reduce__()[2] == state
    other = {"uint": 6, "int": 4, "float": -0.0, "bool": False, "str": "close"}
    for i, (_, w) in enumerate(kinds):
        changed = [*params[:i], other[w], *params[i + 1 :]]
        t = getattr(kstream, name)(*changed)
        before = state_of(t)
        with pytest.raises(ValueError, match="other parameters"):
            t.__setstate__(state)
        assert state_of(t) == before
    foreign = "ema" if name != "ema" else "sma"
    with pytest.raises(ValueError, match="not a state of a korva_rust.stream." + foreign):
        getattr(kstream, foreign)(5).__setstate__(state)


def test_forged_counts_are_refused():
    """A running count that disagrees with the window, and fed counts that
    len() could not report or the next value would wrap."""
    s = kstream.sma(3)
    s.extend(np.array([1.0, 2.0, 3.0]))
    head, words = split_state(state_of(s))  # fed, sum, count, the window's length and values
    assert struct.unpack("<Q", words[2])[0] == 3
    for count in (0, 1, 2, 4):
        forged = seal(head, [*words[:2], struct.pack("<Q", count), *words[3:]])
        with pytest.raises(ValueError, match="invalid stream state"):
            kstream.sma(3).__setstate__(forged)
    # sma's window holds as many values as its count leaves (here 3 or 4 in
    # turn), so a count off by one is refused; ema keeps only the count and
    # its value, so every count up to the bound fits it.
    for fed in (2, 4, 2**62):
        assert restored("sma", [3], seal(head, [struct.pack("<Q", fed), *words[1:]]))[0] is None
    e = kstream.ema(3)
    e.extend(np.array([1.0, 2.0, 3.0]))
    head, words = split_state(state_of(e))
    for fed, accepted in ((2**62, True), (2**62 + 1, False), (2**63, False), (2**64 - 1, False)):
        t, error = restored("ema", [3], seal(head, [struct.pack("<Q", fed), *words[1:]]))
        assert (t is not None) == accepted, fed
        if accepted:
            assert len(t) == fed
            with pytest.raises(OverflowError, match="at most 2\\*\\*62"):
                t.update(4.0)
            with pytest.raises(OverflowError):
                t.extend(np.ones(1))
            assert len(t) == fed and t.extend(np.ones(0)).size == 0
            assert t.copy().__reduce__()[2] == t.__reduce__()[2]


class LabelledRow:
    """A row indexed by label, as a pandas Series with a non-integer index is."""

    def __init__(self, values):
        self.data = dict(zip("tochlv", values))

    def __getitem__(self, label):
        return self.data[label]

    def __len__(self):
        return len(self.data)

    def keys(self):
        return self.data.keys()


def test_candle_rows_are_read_by_position_only():
    row = [0.0, 1.0, 2.0, 3.0, 0.5, 10.0]
    s = kstream.atr(3)
    for bad in (dict(enumerate(row)), LabelledRow(row)):
        with pytest.raises(TypeError, match="argument 'candles': a candle row must be a list, tuple or 1-D array"):
            s.update(bad)
    assert len(s) == 0
    for good in (row, tuple(row), np.array(row), np.array(row)[::-1][::-1], np.arange(6)):
        s.update(good)
    assert len(s) == 5


@pytest.mark.parametrize("name", STREAMS)
def test_strided_input_gives_the_values_of_a_contiguous_copy(name):
    """Every stream takes any stride, also where the batch function wants a
    contiguous series (dpo, linearreg, vidya)."""
    _, word = data_param(name)
    params = [DEFAULTS[w] for _, w in stream_params(name)]
    history = history_for(word, np.random.default_rng(9), 80)
    strided = history[::-2] if word == "series" else np.asfortranarray(history)[::-2]
    a, b = getattr(kstream, name)(*params), getattr(kstream, name)(*params)
    assert same_outputs(a.extend(strided), b.extend(np.ascontiguousarray(strided)))


def assert_identical(got, expected):
    """Two results of update or peek: the same shape of result, bit for bit."""
    assert type(got) is type(expected)
    if isinstance(expected, tuple):
        assert len(got) == len(expected)
        pairs = zip(got, expected)
    elif isinstance(expected, dict):
        assert list(got) == list(expected)
        pairs = ((got[key], expected[key]) for key in expected)
    elif isinstance(expected, np.ndarray):
        assert got.dtype == expected.dtype
        pairs = [(got, expected)]
    else:
        pairs = [(np.array([got]), np.array([expected]))]
    for g, e in pairs:
        if isinstance(e, (tuple, dict, np.ndarray)) and not isinstance(g, np.ndarray):
            assert_identical(g, e)
        else:
            assert type(g) is type(e)
            assert_bits_equal(np.asarray(g, dtype=np.float64), np.asarray(e, dtype=np.float64))


def outcome(call):
    try:
        return call(), None
    except (korva_rust.InternalError, Exception) as e:  # noqa: BLE001 (InternalError is a BaseException)
        return None, e


HOSTILE = [np.nan, np.inf, -np.inf, -0.0, 0.0, 1e308, -1e308, 5e-324, 1e-300]


@pytest.mark.parametrize("name", STREAMS)
@settings(settings.get_profile("stream"))
@given(data=st.data(), seed=st.integers(0, 2**32 - 1))
def test_peek_is_update_on_a_copy_and_changes_nothing(name, data, seed):
    _, word = data_param(name)
    params = [data.draw(PARAMS[word_], label=p) for p, word_ in stream_params(name)]
    rng = np.random.default_rng(seed)
    history = history_for(word, rng, int(rng.integers(1, 40 if rng.random() < 0.3 else 700)))
    s = getattr(kstream, name)(*params)  # peeked at
    plain = getattr(kstream, name)(*params)  # never peeked at

    def forming(i):
        """A value for the bar still forming after row i - 1: the next row,
        another row, a hostile value, or a value of the wrong kind."""
        r = rng.random()
        row = history[min(i, len(history) - 1)] if r < 0.6 else history[int(rng.integers(0, len(history)))]
        if word == "series":
            return float(row) if r < 0.9 else (rng.choice(HOSTILE) if r < 0.97 else "x")
        row = row.copy()
        if r >= 0.8:
            row[int(rng.integers(0, 6))] = rng.choice(HOSTILE)
        kind = rng.integers(0, 5)
        if r >= 0.97:
            return [1.0, 2.0] if kind < 2 else ["x"] * 6
        if kind == 0:
            return [float(v) for v in row]
        if kind == 1:
            return np.asfortranarray(np.tile(row, (2, 1)))[1]  # a strided row
        return row

    pos = 0
    for size in [*chunk_plan(rng, len(history)), 0]:
        for _ in range(int(rng.integers(0, 4))):
            value = forming(pos)
            state = pickle.dumps(s)
            expected, error = outcome(lambda: s.copy().update(value))
            got, raised = outcome(lambda: s.peek(value))
            if error is None:
                assert raised is None, raised
                assert_identical(got, expected)
            else:
                assert type(raised) is type(error) and str(raised) == str(error)
            assert pickle.dumps(s) == state and len(s) == pos
        if size == 0:
            continue
        rows = history[pos : pos + size]
        if size == 1 and rng.random() < 0.8:
            call = lambda t: t.update(rows[0] if word == "series" or rng.random() < 0.5 else list(rows[0]))
        else:
            call = lambda t: t.extend(rows)
        got, raised = outcome(lambda: call(s))
        expected, error = outcome(lambda: call(plain))
        assert type(raised) is type(error) and str(raised) == str(error)
        if error is None:
            assert_identical(got, expected)
            pos += size
        assert pickle.dumps(s) == pickle.dumps(plain)
