"""Every function of the table on random, hostile but well-typed arguments:
short arrays full of NaN, infinities and signed zeros in any layout, candle
matrices of any width, parameters at the edges of their ranges. Each call
gives a result or a clear exception; the interpreter never crashes (run it
under AddressSanitizer with HYPOTHESIS_PROFILE=long for a deeper search)."""
import os

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
