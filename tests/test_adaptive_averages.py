"""Adaptive averages against plain-Python re-statements of their loops, bit
for bit, on examples, random series and candles (hypothesis) and real
candles; the price-source table and the `sequential` rule they share."""
import math
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import korva_rust as k
from references.adaptive_averages import (
    HUGE,
    ema_alpha,
    ref_frama,
    ref_kama,
    ref_maaq,
    ref_mcginley,
    ref_t3,
    ref_trix,
    ref_vidya,
    ref_vlma,
)
from support import assert_bits_equal, candles_from, hostile_series, lane_periods

nan = math.nan


def test_documented_examples():
    x = np.arange(1.0, 31.0)
    assert_bits_equal(k.kama(x, 30, 2, 30), x)
    assert_bits_equal(k.kama(x, 40, 2, 30), x)
    assert_bits_equal(k.kama(x, 10, 2, 30)[:10], x[:10])
    assert_bits_equal(k.kama(np.full(20, 4.25), 5, 2, 30), np.full(20, 4.25))
    assert_bits_equal(k.maaq(x, 10, 2, 30)[:10], x[:10])
    rng = np.random.default_rng(3)
    c = rng.normal(100, 1, (30, 6))
    assert_bits_equal(k.frama(c, 9, 1, 198), k.frama(c, 10, 1, 198))
    out = k.frama(c, 9, 1, 198)
    assert np.isnan(out[:9]).all()
    seed = -0.0
    for v in c[:10, 2]:
        seed = seed + v
    assert out[9] == seed / 10.0
    r = rng.normal(50, 3, 40)
    assert_bits_equal(k.vidya(r, 5, True, False), k.vidya(r, 5, False, False))
    assert_bits_equal(k.vlma_inner(r, r - 2, r - 1, r + 1, r + 2, 7, 7), ref_ema_like(r.tolist(), 7))
    assert_bits_equal(k.mcginley_dynamic(r, 10, 0.0), ref_mcginley(r.tolist(), 10, 0.0))
    assert_bits_equal(k.trix(np.full(6, 5.0), 4), [nan, 0, 0, 0, 0, 0])
    with np.errstate(all="ignore"):
        z = k.trix(np.array([1.0, 0.0, 2.0, -1.0]), 3)
    assert np.isnan(z[0]) and not np.isfinite(z[1:]).all()
    # vfactor 0 leaves only the third EMA stage.
    e = [c[0, 2]] * 3
    a, b = ema_alpha(5)
    expected = [c[0, 2]]
    for v in c[1:, 2]:
        e[0] = b * e[0] + a * v
        e[1] = b * e[1] + a * e[0]
        e[2] = b * e[2] + a * e[1]
        expected.append(e[2])
    assert_bits_equal(k.t3(c, 5, 0.0, "close", True), expected)


def ref_ema_like(x, p):
    a, b = ema_alpha(p)
    out = [x[0]]
    for v in x[1:]:
        out.append(v * a + b * out[-1])
    return out


def test_vidya_momentum_window_is_nine_with_fix_cmo():
    r = np.random.default_rng(5).normal(50, 3, 60)
    # length still sets alpha, so compare against the reference with m = 9.
    for length in (2, 9, 30):
        assert_bits_equal(k.vidya(r, length, True, True), ref_vidya(r.tolist(), length, True, True))


def test_price_sources_and_sequential(daily_candles):
    c = daily_candles
    for name in ("close", "open", "high", "low", "hl2", "hlc3", "ohlc4", "HL2", "Hl2", "OHLC4", "median", "",
                 "clos", "closee", "hl2 "):
        expected = ref_t3(c, 5, 0.7, name)
        assert_bits_equal(k.t3(c, 5, 0.7, name, True), expected)
        last = k.t3(c, 5, 0.7, name, False)
        assert last.shape == (1,) and last.dtype == np.float64
        assert_bits_equal(last, expected[-1:])
    assert_bits_equal(k.t3(c, 5, 0.7, "HL2", True), k.t3(c, 5, 0.7, "hl2", True))
    # Non-ASCII text never names a source (the Kelvin sign lower-cases to a
    # "k", which no name has).
    assert_bits_equal(k.t3(c, 5, 0.7, "h\u0130gh", True), ref_t3(c, 5, 0.7, "close"))
    for seq in (True, False):
        out = k.t3(np.zeros((0, 6)), 5, 0.7, "close", seq)
        assert out.shape == (0,) and out.dtype == np.float64


def test_internal_errors():
    x = np.arange(1.0, 21.0)
    c = np.random.default_rng(2).normal(100, 1, (20, 6))
    for bad in (lambda: k.kama(x, 0, 2, 30), lambda: k.maaq(x, 0, 2, 30), lambda: k.frama(c, 0, 1, 198),
                lambda: k.frama(np.zeros((0, 6)), 0, 1, 198), lambda: k.vidya(x[::2], 5, False, False),
                lambda: k.vidya(x[::-1], 5, True, False), lambda: k.vlma_inner(x, x, x[:10], x, x, 2, 9),
                # a short outer band fails even when the data never reach it
                lambda: k.vlma_inner(x, x[:5], x - 1, x + 1, x, 2, 9),
                lambda: k.frama(c[:, :4], 10, 1, 198), lambda: k.t3(c[:, :3], 5, 0.7, "hl2", True)):
        with pytest.raises(k.InternalError):
            bad()
    with pytest.raises(k.InternalError, match=r"^min > max, or either was NaN\. min = "):
        k.frama(c, 10, 1, 0)
    # Only the seed is computed, so nothing to fail.
    assert_bits_equal(k.frama(c[:10], 10, 1, 0), k.frama(c[:10], 10, 1, 198))
    assert k.kama(np.array([]), 0, 2, 30).shape == (0,)
    assert k.maaq(np.array([]), 0, 2, 30).shape == (0,)
    assert_bits_equal(k.vidya(x[:1], 5, False, False), x[:1])
    # Unit stride is what counts, not alignment.
    raw = bytearray(8 * 20 + 1)
    raw[1:] = x.tobytes()
    unaligned = np.frombuffer(raw, dtype=np.float64, count=20, offset=1)
    assert not unaligned.flags.aligned
    assert_bits_equal(k.vidya(unaligned, 5, False, False), ref_vidya(x.tolist(), 5, False, False))
    assert_bits_equal(k.vidya(x[::2], 5, False, True), ref_vidya(x[::2].tolist(), 5, False, True))
    assert_bits_equal(k.vlma_inner(x[:1], x[:0], x[:0], x[:0], x[:0], 2, 9), x[:1])
    # t3 reads only the columns its source needs.
    assert_bits_equal(k.t3(c[:, :3], 5, 0.7, "close", True), ref_t3(c, 5, 0.7, "close"))


def test_huge_parameters_never_hang_or_allocate():
    x = np.arange(1.0, 21.0)
    c = np.random.default_rng(2).normal(100, 1, (20, 6))
    assert_bits_equal(k.kama(x, HUGE, HUGE, HUGE), x)
    assert_bits_equal(k.maaq(x, HUGE, 2, 30), x)
    assert np.isnan(k.frama(c, HUGE, 1, 198)).all() and np.isnan(k.frama(c, HUGE - 1, 1, 198)).all()
    for fix_cmo, select in ((False, True), (False, False), (True, True)):
        assert_bits_equal(k.vidya(x, HUGE, fix_cmo, select), ref_vidya(x.tolist(), HUGE, fix_cmo, select))
    assert_bits_equal(k.vlma_inner(x, x, x, x, x, HUGE, HUGE), ref_vlma(x.tolist(), *[x.tolist()] * 4, HUGE, HUGE))
    assert_bits_equal(k.trix(x, HUGE), ref_trix(x.tolist(), HUGE))
    assert_bits_equal(k.t3(c, HUGE, 0.7, "close", True), ref_t3(c, HUGE, 0.7, "close"))
    assert_bits_equal(k.t3(c, 0, 0.7, "close", True), ref_t3(c, 0, 0.7, "close"))
    # A window longer than the input is one running sum, not a re-scan per
    # bar: quadratic work here would take minutes.
    long = 100.0 + np.cumsum(np.random.default_rng(4).standard_normal(300_000))
    t0 = time.perf_counter()
    out = k.vidya(long, HUGE, False, True)
    assert time.perf_counter() - t0 < 5.0 and np.isfinite(out).all()


series = hnp.arrays(
    np.float64, st.integers(0, 50),
    elements=st.one_of(st.floats(-1e3, 1e3, allow_nan=False), st.floats(0.5, 2.0), st.just(nan), st.just(0.0)),
)


# Layouts are the table-driven test's (tests/test_table.py); here the values
# and parameters vary.
@settings(max_examples=150, deadline=None)
@given(x=series, p=st.integers(0, 55), fast=st.integers(0, 5), slow=st.integers(0, 40))
def test_series_functions_against_references(x, p, fast, slow):
    xs = x.tolist()
    if p > 0 or not xs:
        assert_bits_equal(k.kama(x, p, fast, slow), ref_kama(xs, p, fast, slow))
        assert_bits_equal(k.maaq(x, p, fast, slow), ref_maaq(xs, p, fast, slow))
    with np.errstate(all="ignore"):
        assert_bits_equal(k.trix(x, p), ref_trix(xs, p))
        assert_bits_equal(k.mcginley_dynamic(x, p, fast / 3.0), ref_mcginley(xs, p, fast / 3.0))
        for fix_cmo in (False, True):
            for select in (False, True):
                assert_bits_equal(k.vidya(x, p, fix_cmo, select), ref_vidya(xs, p, fix_cmo, select))


@settings(max_examples=100, deadline=None)
@given(x=series, data=st.data(), lo=st.integers(0, 30), hi=st.integers(0, 30))
def test_vlma_inner_against_reference(x, data, lo, hi):
    """Bands of other lengths than the source included."""
    n = len(x)
    bands = [data.draw(hnp.arrays(np.float64, n + data.draw(st.integers(0, 3)),
                                  elements=st.one_of(st.floats(-1e3, 1e3), st.just(nan))))
             for _ in range(4)]
    out = k.vlma_inner(x, *bands, lo, hi)
    assert_bits_equal(out, ref_vlma(x.tolist(), *[b.tolist() for b in bands], lo, hi))
    assert len(out) == n


candle_sets = hnp.arrays(
    np.float64, st.tuples(st.integers(0, 40), st.just(6)),
    elements=st.one_of(st.floats(1.0, 1e3), st.just(nan)),
)


@settings(max_examples=150, deadline=None)
@given(c=candle_sets, window=st.integers(1, 12), fc=st.integers(0, 5), sc=st.integers(1, 300),
       vfactor=st.floats(-2.0, 2.0), p=st.integers(0, 20),
       name=st.sampled_from(["close", "open", "high", "low", "hl2", "hlc3", "ohlc4", "Low", "x"]))
def test_candle_functions_against_references(c, window, fc, sc, vfactor, p, name):
    with np.errstate(all="ignore"):
        assert_bits_equal(k.frama(c, window, fc, sc), ref_frama(c, window, fc, sc))
    assert_bits_equal(k.t3(c, p, vfactor, name, True), ref_t3(c, p, vfactor, name))


def test_real_candles(minute_candles, daily_candles):
    for c in (minute_candles, daily_candles):
        close = c[:, 2]  # strided column view, read in place
        xs = close.tolist()
        flat = np.ascontiguousarray(close)
        for arr in (close, flat):
            assert_bits_equal(k.kama(arr, 10, 2, 30), ref_kama(xs, 10, 2, 30))
            assert_bits_equal(k.maaq(arr, 11, 2, 30), ref_maaq(xs, 11, 2, 30))
            assert_bits_equal(k.vidya(arr, 9, True, True), ref_vidya(xs, 9, True, True))
            assert_bits_equal(k.mcginley_dynamic(arr, 10, 0.6), ref_mcginley(xs, 10, 0.6))
            assert_bits_equal(k.trix(arr, 18), ref_trix(xs, 18))
        assert_bits_equal(k.vidya(flat, 14, False, False), ref_vidya(xs, 14, False, False))
        assert_bits_equal(k.frama(c, 10, 1, 198), ref_frama(c, 10, 1, 198))
        assert_bits_equal(k.frama(c, 15, 4, 300), ref_frama(c, 15, 4, 300))
        assert_bits_equal(k.t3(c, 5, 0.7, "hlc3", True), ref_t3(c, 5, 0.7, "hlc3"))
        hi, lo = np.asarray(c[:, 3]), np.asarray(c[:, 4])
        bands = (lo - 1.0, lo, hi, hi + 1.0)
        assert_bits_equal(k.vlma_inner(close, *bands, 5, 50),
                          ref_vlma(xs, *[b.tolist() for b in bands], 5, 50))


@settings(max_examples=30, deadline=None)
@given(hostile_series(), st.sampled_from(lane_periods), st.integers(0, 99))
def test_trix_t3_on_long_hostile_series(x, p, seed):
    c = candles_from(x, seed)
    with np.errstate(all="ignore"):
        assert_bits_equal(k.trix(x, p), ref_trix(x.tolist(), p))
        assert_bits_equal(k.t3(c, p, 0.7, "close", True), ref_t3(c, p, 0.7, "close"))
