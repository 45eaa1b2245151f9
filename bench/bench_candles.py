"""Session membership and filtering on 1,000,000 sorted minute timestamps
with 1,000 intervals, and one candle built from 1,440 one-minute rows,
against the NumPy formulations they replace, measured in the same run."""
import numpy as np

import korva_rust as k
from harness import best_time, table

MINUTE = 60_000


def np_mask(ts, starts, ends):
    c = np.searchsorted(starts, ts, side="right")
    return (c > 0) & (ts < ends[c - 1])


def np_filter(candles, ts, starts, ends):
    return candles[np_mask(ts, starts, ends)]


def np_candle(c):
    return np.array([c[0, 0], c[0, 1], c[-1, 2], c[:, 3].max(), c[:, 4].min(), c[:, 5].sum()])


def main():
    rng = np.random.default_rng(11)
    n = 1_000_000
    ts = 1_600_000_000_000 + MINUTE * np.arange(n, dtype=np.int64)
    # 1,000 sessions over the span, each open for 40% of its slot
    slot = (ts[-1] - ts[0]) // 1000
    starts = ts[0] + slot * np.arange(1000, dtype=np.int64) + slot // 5
    ends = starts + (slot * 2) // 5
    candles = rng.standard_normal((n, 6))
    candles[:, 0] = ts

    assert (k.trading_hours_mask(ts, starts, ends) == np_mask(ts, starts, ends)).all()
    assert np.array_equal(k.filter_candles_by_intervals(candles, ts, starts, ends),
                          np_filter(candles, ts, starts, ends))
    shuffled = rng.permutation(ts)
    strided = candles[:, 0].astype(np.int64)

    rows = [
        ("trading_hours_mask, 1M sorted", best_time(lambda: k.trading_hours_mask(ts, starts, ends), 9),
         "NumPy searchsorted", best_time(lambda: np_mask(ts, starts, ends), 9)),
        ("trading_hours_mask, 1M shuffled", best_time(lambda: k.trading_hours_mask(shuffled, starts, ends), 5),
         "NumPy searchsorted", best_time(lambda: np_mask(shuffled, starts, ends), 5)),
        ("filter_candles_by_intervals, 1M x 6",
         best_time(lambda: k.filter_candles_by_intervals(candles, ts, starts, ends), 9),
         "NumPy searchsorted + mask", best_time(lambda: np_filter(candles, ts, starts, ends), 9)),
        ("filter_candles_by_intervals, strided 1M x 3",
         best_time(lambda: k.filter_candles_by_intervals(candles[:, ::2], strided, starts, ends), 9),
         "NumPy searchsorted + mask", best_time(lambda: np_filter(candles[:, ::2], strided, starts, ends), 9)),
    ]
    table("Trading-hours membership (1,000 intervals)", rows)

    block = candles[:1440].copy()
    block[:, 5] = np.abs(block[:, 5])
    assert np.array_equal(k.candle_from_one_minutes(block), np_candle(block))
    table("Candle from 1,440 one-minute rows", [
        ("candle_from_one_minutes", best_time(lambda: k.candle_from_one_minutes(block), 9, 2000),
         "NumPy max/min/sum", best_time(lambda: np_candle(block), 9, 2000)),
    ])


if __name__ == "__main__":
    main()
