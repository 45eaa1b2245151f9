"""A typed caller of korva_rust: one function of every family and every kind
of result. `make test` type-checks it with mypy --strict and pyright (strict)
against the stubs installed with the wheel, and runs it; assert_type fails
the check wherever a stub gives another type, or Any."""

# pyright: strict
from typing import NoReturn, assert_type

import numpy as np
from numpy.typing import NDArray

import korva_rust as k
import korva_rust.stream as ks

F64 = NDArray[np.float64]


def candles(n: int) -> F64:
    """n one-minute candles: timestamp, open, close, high, low, volume."""
    rng = np.random.default_rng(7)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    opened = close + rng.normal(0.0, 0.5, n)
    high = np.maximum(opened, close) + 0.5
    low = np.minimum(opened, close) - 0.5
    stamps = 1_700_000_000_000.0 + 60_000.0 * np.arange(n)
    return np.column_stack([stamps, opened, close, high, low, rng.random(n) * 1000.0]).astype(np.float64)


def serve() -> NoReturn:
    k.run_coordinator()


def main() -> None:
    c = candles(300)
    close = c[:, 2]  # a strided view, read in place

    assert_type(k.sma(close, 20), F64)
    assert_type(k.sma_last(close, 20), float)
    assert_type(k.t3(c, 5, 0.7, "hlc3", False), F64)
    assert_type(k.rsi(close, 14), F64)
    assert_type(k.stoch(c, 14, 3, 0, 3, 0), tuple[F64, F64])
    wt1, _, cross_up, *_ = k.wt(c, 10, 21, 4, 53.0, -53.0, "close")
    assert_type(wt1, F64)
    assert_type(cross_up, NDArray[np.bool_])
    assert_type(k.adx(c, 14), F64)
    assert_type(k.ichimoku_cloud(c, 9, 26, 52, 26), tuple[float, float, float, float])
    assert_type(k.efi(close, c, 13), F64)
    upper, middle, lower = k.bollinger_bands(close, 20, 2.0, 2.0)
    assert_type(middle, F64)
    assert_type(k.donchian(c, 20)["upperband"], F64)
    assert_type(k.bollinger_bands_last(close, 20, 2.0, 2.0), tuple[float, float, float])
    assert_type(k.mama(close, 0.5, 0.05), tuple[F64, F64])
    stamps = c[:, 0].astype(np.int64)
    starts = np.array([stamps[0]], dtype=np.int64)
    ends = np.array([stamps[100]], dtype=np.int64)
    assert_type(k.trading_hours_mask(stamps, starts, ends), NDArray[np.bool_])
    assert_type(k.filter_candles_by_intervals(c, stamps, starts, ends), F64)
    assert_type(k.fix_jumped_candles(c.copy()), None)
    assert_type(k.find_order_index(c, c[3]), int)
    assert_type(k.sum_floats(0.1, 0.2), float)
    try:
        k.atr(c[:, :3], 14)
    except k.InternalError as e:
        assert_type(e, k.InternalError)
    assert float(upper[-1]) >= float(lower[-1])

    rsi = ks.rsi(14)
    assert_type(rsi.extend(close[:-1]), F64)
    assert_type(rsi.update(close[-1]), float)
    assert_type(len(rsi), int)
    assert_type(rsi.copy().update(1.0), float)
    assert_type(rsi.peek(close[-1]), float)
    atr = k.stream.atr(14)
    assert_type(atr.update(c[0]), float)
    assert_type(atr.update([1.0, 2.0, 3.0, 4.0, 1.0, 5.0]), float)
    assert_type(atr.extend(c[1:]), F64)
    assert_type(atr.peek(c[-1]), float)
    assert_type(ks.bollinger_bands(20, 2.0, 2.0).update(1.0), tuple[float, float, float])


if __name__ == "__main__":
    main()
