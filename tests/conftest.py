"""Shared fixtures: the real candles of the project's shared data folder."""
import pytest

from support import assert_bits_equal, bits, load_candles  # noqa: F401  (re-exported)


@pytest.fixture(scope="session")
def minute_candles():
    """13681 one-minute crypto candles with gaps and many flat bars."""
    return load_candles("crypto_1m.csv")


@pytest.fixture(scope="session")
def daily_candles():
    """2148 daily stock candles."""
    return load_candles("stock_1d.csv")

