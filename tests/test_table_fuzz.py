"""Every function of the table on random, hostile but well-typed arguments:
short arrays full of NaN, infinities and signed zeros in any layout, candle
matrices of any width, parameters at the edges of their ranges. Each call
gives a result or a clear exception; the interpreter never crashes (run it
under AddressSanitizer with HYPOTHESIS_PROFILE=long for a deeper search).

The golden harness (tools/golden.cpp), the table's second front end, runs
every function over a fixed corpus; the module must give the very same
result file for the same inputs, which the other platforms' builds of the
harness are compared with."""
import os
import subprocess

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korva_rust
from interface import NUMERIC

settings.register_profile("long", max_examples=3000, deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.register_profile("default", max_examples=40, deadline=None,
                          suppress_health_check=list(HealthCheck))
# `make check`, the inner loop: a quarter of the search (`make test` runs all).
settings.register_profile("quick", max_examples=10, deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

OK_ERRORS = (ValueError, IndexError, TypeError, korva_rust.InternalError)
SPECIAL = [0.0, -0.0, 1.0, -1.0, np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, 0.5, 100.0]

values = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e3, 1e3, allow_nan=False))


@st.composite
def layout(draw, arr):
    """The same values as a contiguous, reversed, strided or Fortran view."""
    kind = draw(st.sampled_from(["c", "rev", "step", "fortran"]))
    if kind == "rev":
        flipped = np.ascontiguousarray(arr[::-1])
        return flipped[::-1]
    if kind == "step":
        big = np.repeat(arr, 2, axis=0)
        return big[::2]
    if kind == "fortran" and arr.ndim == 2:
        return np.asfortranarray(arr)
    return arr


@st.composite
def argument(draw, type_word):
    if type_word == "series":
        n = draw(st.integers(0, 40))
        return draw(layout(np.array(draw(st.lists(values, min_size=n, max_size=n)), dtype=np.float64)))
    if type_word == "candles":
        rows, cols = draw(st.integers(0, 30)), draw(st.sampled_from([0, 2, 4, 5, 6, 6, 6, 7]))
        flat = draw(st.lists(values, min_size=rows * cols, max_size=rows * cols))
        m = np.array(flat, dtype=np.float64).reshape(rows, cols)
        if cols and draw(st.booleans()):
            m[:, 0] = 60000.0 * np.arange(rows)  # timestamps in order, as real candles have
        return draw(layout(m))
    if type_word == "int64":
        ints = st.one_of(st.integers(-100, 100), st.sampled_from([-(2**63), 2**63 - 1]))
        return draw(layout(np.array(draw(st.lists(ints, max_size=30)), dtype=np.int64)))
    if type_word == "uint":
        return draw(st.one_of(st.integers(0, 45), st.sampled_from([2**31, 2**32 + 1, 2**63, 2**64 - 1])))
    if type_word == "int":
        return draw(st.one_of(st.integers(-45, 45), st.sampled_from([-(2**63), 2**63 - 1])))
    if type_word == "float":
        return draw(st.one_of(values, st.floats(allow_nan=True, allow_infinity=True)))
    if type_word == "str":
        return draw(st.one_of(st.sampled_from(["close", "open", "high", "low", "hl2", "hlc3", "ohlc4", "HL2",
                                               "", "D", "W", "M", "1h", "long", "short"]), st.text(max_size=6)))
    if type_word == "bool":
        return draw(st.booleans())
    raise AssertionError(type_word)


@pytest.mark.parametrize("name,params", NUMERIC, ids=[n for n, _ in NUMERIC])
def test_random_arguments_never_crash(name, params):
    fn = getattr(korva_rust, name)

    @given(st.tuples(*[argument(t) for _, t in params]))
    def check(args):
        try:
            fn(*args)
        except OK_ERRORS:
            pass

    check()


# ---- the module against the golden harness

def _golden_array(fields, dtype, matrix):
    """A view as the harness lays it out: 8-byte slots after `pad` bytes,
    then a byte offset, shape and byte strides (misaligned, reversed,
    strided and column-major views included)."""
    pad, offset, rows, cols, rs, cs, count = map(int, fields[:7])
    raw = bytearray(pad + 8 * count + 1)
    slots = np.array([int(h, 16) for h in fields[7:]], dtype="<u8")
    raw[pad:pad + 8 * count] = slots.tobytes()
    shape, strides = ((rows, cols), (rs, cs)) if matrix else ((rows,), (rs,))
    return np.ndarray(shape, dtype=dtype, buffer=raw, offset=offset, strides=strides)


def _golden_args(lines):
    args = []
    for line in lines:
        word, *fields = line.split(" ")
        if word in ("series", "int64", "candles", "candles_mut"):
            dtype = np.int64 if word == "int64" else np.float64
            args.append(_golden_array(fields, dtype, matrix=word.startswith("candles")))
        elif word in ("uint", "int"):
            args.append(int(fields[0]))
        elif word == "float":
            args.append(float(np.array([int(fields[0], 16)], dtype=np.uint64).view(np.float64)[0]))
        elif word == "str":
            args.append("" if fields[0] == "-" else bytes.fromhex(fields[0]).decode("utf-8"))
        elif word == "bool":
            args.append(fields[0] == "1")
        else:
            raise AssertionError(line)
    return args


def _golden_numbers(a):
    a = np.ascontiguousarray(a, dtype=np.float64).ravel()
    words = [f"{b:016x}" for b in a.view(np.uint64).tolist()]
    for i in np.flatnonzero(np.isnan(a)):
        words[i] = "nan"  # NaN sign and payload are not portable: all NaNs alike
    return "".join(" " + w for w in words)


def _golden_text(s):
    return s.replace("\\", "\\\\").replace("\n", "\\n")


def _golden_value(v):
    if v is None:
        return "none\n"
    if isinstance(v, bool):
        return f"bool {int(v)}\n"
    if isinstance(v, int):
        return f"int {v}\n"
    if isinstance(v, float):
        return "float" + _golden_numbers([v]) + "\n"
    if isinstance(v, str):
        return "str " + _golden_text(v) + "\n"
    if isinstance(v, tuple):
        return f"tuple {len(v)}\n" + "".join(_golden_value(x) for x in v)
    if isinstance(v, dict):
        return f"dict {len(v)}\n" + "".join(f"key {k}\n" + _golden_value(x) for k, x in v.items())
    assert isinstance(v, np.ndarray), type(v)
    if v.dtype == np.bool_:
        return f"mask {v.size} " + "".join("1" if x else "0" for x in v.tolist()) + "\n"
    if v.ndim == 2:
        return f"matrix {v.shape[0]} {v.shape[1]}" + _golden_numbers(v) + "\n"
    return f"series {v.size}" + _golden_numbers(v) + "\n"


def _golden_replay(corpus_path):
    """The harness's result file, produced through the module."""
    out = []
    with open(corpus_path, encoding="ascii") as f:
        block = []
        for line in f:
            line = line.rstrip("\n")
            if line != "end":
                block.append(line)
                continue
            head, *lines = block
            block = []
            name = head.split(" ")[1]
            args = _golden_args(lines)
            out.append(head + "\n")
            try:
                out.append(_golden_value(getattr(korva_rust, name)(*args)))
            except (Exception, korva_rust.InternalError) as e:
                out.append(f"error {type(e).__name__} {_golden_text(str(e))}\n")
            for line, a in zip(lines, args):
                if line.startswith("candles_mut "):
                    out.append(f"inout {a.shape[0]} {a.shape[1]}" + _golden_numbers(a) + "\n")
    return out


def test_recurrence_steps_agree_in_scalar_and_vector_form():
    """Every recurrence step's scalar and vector forms, lane by lane on
    hostile values (signed zeros, NaN, infinities), at the kernel level in
    use: the condition under which the lane chunks give the serial bits."""
    harness = os.environ.get("KORVA_GOLDEN")
    if not harness:
        pytest.skip("KORVA_GOLDEN names the golden harness executable (make test builds one)")
    proc = subprocess.run([harness, "--steps"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert " 0 failed" in proc.stdout


def test_module_gives_the_golden_harness_file(tmp_path):
    harness = os.environ.get("KORVA_GOLDEN")
    if not harness:
        pytest.skip("KORVA_GOLDEN names the golden harness executable (make test builds one)")
    corpus, expected = tmp_path / "corpus.txt", tmp_path / "golden.txt"
    subprocess.run([harness, "--corpus", str(corpus), str(expected)], check=True)
    actual = _golden_replay(corpus)
    with open(expected, encoding="utf-8", newline="") as f:
        want = f.read()
    if "".join(actual) != want:
        # The first differing case, whole.
        cases = want.split("case ")[1:]
        got = "".join(actual).split("case ")[1:]
        for w, g in zip(cases, got):
            assert g == w, f"case {w.splitlines()[0]}"
        assert len(got) == len(cases)
