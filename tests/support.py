"""Helpers shared by the numeric tests: the real candles of the project's
shared data folder and exact (bit-pattern) comparison of float arrays.
Kept out of conftest.py so that tests import them by a unique module name."""
import math
import os
import pathlib

import numpy as np
import pytest

# The real candles sit beside the repository (../shared/data), not in it;
# KORVA_CANDLES_DIR names another folder holding the same files.
DATA = pathlib.Path(
    os.environ.get("KORVA_CANDLES_DIR") or pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data"
)


def load_candles(name):
    path = DATA / name
    if not path.exists():
        pytest.skip(
            f"real candles {name} not found in {DATA}: this case compares with the shared data set "
            "kept beside the repository (../shared/data, or KORVA_CANDLES_DIR); a bare clone runs without it"
        )
    return np.loadtxt(path, delimiter=",", skiprows=1)

def bits(a):
    """Bit patterns of a float64 array, for exact comparison incl. NaN and -0.0."""
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_bits_equal(actual, expected):
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    # All NaNs are alike for callers; everything else must match bit for bit.
    both_nan = np.isnan(actual) & np.isnan(expected)
    mismatch = (bits(actual) != bits(expected)) & ~both_nan
    assert not mismatch.any(), (
        f"first mismatch at {np.flatnonzero(mismatch)[:5]}: "
        f"{actual[mismatch][:5]!r} != {expected[mismatch][:5]!r}"
    )


# Plain-Python references shared by several families' tests.

def ema_seeded(x, q):
    """EMA seeded with the first value, written at every position."""
    if not x:
        return []
    a = 2.0 / (float(q) + 1.0)
    out = [x[0]]
    for v in x[1:]:
        out.append((1.0 - a) * out[-1] + a * v)
    return out


def fdiv(a, b):
    """IEEE division: Python raises on a zero divisor."""
    if b != 0 or math.isnan(b):
        return a / b
    if a == 0 or math.isnan(a):
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def max_num(a, b):
    """maxNum: a single NaN loses; equal values prefer +0 over -0."""
    if math.isnan(a) or math.isnan(b):
        return b if math.isnan(a) else a
    if a == b:
        return b if math.copysign(1.0, a) < 0 else a
    return a if a > b else b


def min_num(a, b):
    """minNum: a single NaN loses; equal values prefer -0 over +0."""
    if math.isnan(a) or math.isnan(b):
        return b if math.isnan(a) else a
    if a == b:
        return a if math.copysign(1.0, a) < 0 else b
    return a if a < b else b


# Long series for the paths that run chunks of a recurrence side by side and
# fall back to the serial loop where a chunk's state does not match: mostly
# random walk, with stretches that keep a state from converging (NaN runs,
# infinities, constant runs with several rounded fixed points, huge, tiny and
# signed-zero values). Lengths cross many chunk layouts.
_KINDS = ["walk"] * 4 + ["flat", "nan", "inf", "huge", "tiny", "zero"]


def hostile_part(rng, kind, n):
    if kind == "walk":
        return 100 + np.cumsum(rng.normal(size=n))
    if kind == "flat":
        return np.full(n, round(rng.normal() * 100, 2))
    if kind == "nan":
        return np.full(n, math.nan)
    if kind == "inf":
        return np.full(min(n, 3), rng.choice([math.inf, -math.inf]))
    if kind == "huge":
        return rng.normal(size=n) * 1e300
    if kind == "tiny":
        return rng.normal(size=n) * 1e-310
    return rng.choice([0.0, -0.0], size=n)


def hostile_series(max_parts=6, max_part=1200):
    from hypothesis import strategies as st

    @st.composite
    def build(draw):
        rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
        parts = draw(st.lists(st.tuples(st.sampled_from(_KINDS), st.integers(1, max_part)),
                              min_size=1, max_size=max_parts))
        return np.concatenate([hostile_part(rng, kind, n) for kind, n in parts])

    return build()


# Periods for those paths: short ones converge within a few dozen steps (the
# lanes run on a few thousand values), long ones do not (serial), 2**64-1
# rounds the smoothing factor to one.
lane_periods = [1, 2, 3, 4, 5, 9, 40, 2**64 - 1]


def candles_from(x, seed, crossed=False):
    """A candle matrix around the closes x; `crossed` draws highs and lows
    independently (highs below lows, as hostile input gives)."""
    rng = np.random.default_rng(seed)
    n = len(x)
    c = np.zeros((n, 6))
    c[:, 2] = x
    with np.errstate(all="ignore"):
        if crossed:
            c[:, 3] = x + rng.normal(size=n)
            c[:, 4] = x + rng.normal(size=n)
        else:
            c[:, 3] = x + rng.exponential(size=n)
            c[:, 4] = x - rng.exponential(size=n)
    return c
