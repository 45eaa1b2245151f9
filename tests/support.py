"""Helpers shared by the numeric tests: the real candles of the project's
shared data folder and exact (bit-pattern) comparison of float arrays.
Kept out of conftest.py so that tests import them by a unique module name."""
import pathlib

import numpy as np
import pytest

DATA = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data"


def load_candles(name):
    path = DATA / name
    if not path.exists():
        pytest.skip(f"candle data not found: {path}")
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
