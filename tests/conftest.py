"""Shared fixtures: the real candles of the project's shared data folder."""
import pathlib

import numpy as np
import pytest

DATA = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data"


def load_candles(name):
    path = DATA / name
    if not path.exists():
        pytest.skip(f"candle data not found: {path}")
    return np.loadtxt(path, delimiter=",", skiprows=1)


@pytest.fixture(scope="session")
def minute_candles():
    """13681 one-minute crypto candles with gaps and many flat bars."""
    return load_candles("crypto_1m.csv")


@pytest.fixture(scope="session")
def daily_candles():
    """2148 daily stock candles."""
    return load_candles("stock_1d.csv")


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
