"""Volume indicators against plain-Python re-statements of their steps, bit
for bit, on documented cases and random candles, huge periods, short matrices
and missing columns; layouts and real candles are the table-driven test's."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from references.volume import ref_adosc, ref_cvi, ref_efi, ref_emv, ref_volume_index, ref_wad
from support import assert_bits_equal

nan, inf = math.nan, math.inf
HUGE = 2**64 - 1

def candles_from(rng, n, nan_rate=0.0, tie_rate=0.0):
    close = 100 + np.cumsum(rng.normal(0, 1, n))
    c = np.column_stack([np.arange(n) * 60000.0, close + rng.normal(0, 0.5, n), close,
                         close + rng.random(n) * 2, close - rng.random(n) * 2, rng.random(n) * 1000])
    if tie_rate:  # flat bars, unchanged opens and volumes, zero volumes
        tie = rng.random(n) < tie_rate
        c[tie, 3] = c[tie, 4]
        c[1:, 1][tie[1:]] = c[:-1, 1][tie[1:]]
        c[1:, 5][tie[1:]] = c[:-1, 5][tie[1:]]
        c[rng.random(n) < tie_rate / 2, 5] = 0.0
    if nan_rate:
        c[rng.random(c.shape) < nan_rate] = nan
    return c


def check_all(c, x, p):
    assert_bits_equal(k.adosc(c, p, 2 * p + 1), ref_adosc(c, p, 2 * p + 1))
    assert_bits_equal(k.cvi(c, p), ref_cvi(c, p))
    assert_bits_equal(k.emv(c, p, 10000.0), ref_emv(c, p, 10000.0))
    assert_bits_equal(k.wad(c), ref_wad(c))
    xs = [float(v) for v in x]
    if len(x) >= 2 and p == 0:
        with pytest.raises(k.InternalError):
            k.efi(x, c, p)
    else:
        assert_bits_equal(k.efi(x, c, p), ref_efi(xs, c, p))
    assert_bits_equal(k.nvi(x, c), ref_volume_index(xs, c, lambda v, pv: v < pv))
    assert_bits_equal(k.pvi(x, c), ref_volume_index(xs, c, lambda v, pv: v > pv))


# ---- real and random candles --------------------------------------------

@settings(max_examples=200, deadline=None)
@given(st.integers(0, 50), st.integers(0, 55), st.integers(0, 2**32 - 1), st.sampled_from([0.0, 0.05]),
       st.sampled_from([0.0, 0.3]))
def test_random_candles(n, p, seed, nan_rate, tie_rate):
    rng = np.random.default_rng(seed)
    c = candles_from(rng, n, nan_rate, tie_rate)
    c[:, 1:5] = np.round(c[:, 1:5])  # ties and equal opens
    check_all(c, c[:, 2], p)
    # A source shorter than the matrix uses the first rows only.
    x = np.ascontiguousarray(c[: n // 2, 1])
    assert_bits_equal(k.nvi(x, c), ref_volume_index(list(x), c, lambda v, pv: v < pv))
    if len(x) < 2 or p > 0:
        assert_bits_equal(k.efi(x, c, p), ref_efi(list(x), c, p))


# ---- documented cases ----------------------------------------------------

def test_adosc_small_inputs_and_nan_volume():
    assert k.adosc(np.empty((0, 6)), 3, 10).shape == (0,)
    assert_bits_equal(k.adosc(np.ones((1, 1)), 3, 10), [0.0])  # one row: not read
    c = np.array([[0, 1, 2, 3, 1, 10.0], [0, 1, 2, 2, 2, nan]])
    out = k.adosc(c, 3, 10)
    assert out[0] == 0.0 and math.isnan(out[1])  # flat bar: 0 x NaN volume
    with pytest.raises(k.InternalError, match="index < dim"):
        k.adosc(c[:, :5], 3, 10)


def test_warm_up_values(daily_candles):
    c = daily_candles[:60]
    cvi = k.cvi(c, 10)
    assert np.isnan(cvi[:10]).all() and not np.isnan(cvi[10:]).any()
    efi = k.efi(c[:, 2], c, 13)
    assert np.isnan(efi[:13]).all() and not np.isnan(efi[13:]).any()
    emv = k.emv(c, 14, 10000.0)
    assert (emv[:13] == 0.0).all() and not np.signbit(emv[:13]).any() and emv[13] != 0.0
    nv = k.nvi(c[:, 2], c)
    assert nv[0] == 1000.0


def test_emv_sums_from_negative_zero():
    # Zero ranges give signed zero raw values; a window of -0.0 stays -0.0.
    c = np.zeros((4, 6))
    c[:, 3] = c[:, 4] = [5.0, 4.0, 3.0, 2.0]
    c[:, 5] = 1.0
    assert_bits_equal(k.emv(c, 2, 1.0), [0.0, 0.0, -0.0, -0.0])
    assert_bits_equal(k.emv(c, 0, 1.0), [0.0] * 4)


def test_volume_indices_hold_through_equal_and_nan_volumes():
    x = np.array([10.0, 11.0, 12.0, 13.0, 14.0, 15.0])
    c = np.zeros((6, 6))
    c[:, 5] = [5.0, 5.0, nan, 4.0, 3.0, 6.0]  # equal, NaN after and before: no update
    low = 1000.0 * ((1.0 / 13.0) + 1.0)
    assert_bits_equal(k.nvi(x, c), [1000.0] * 4 + [low, low])
    assert_bits_equal(k.pvi(x, c), [1000.0] * 5 + [1000.0 * ((1.0 / 14.0) + 1.0)])
    assert_bits_equal(k.nvi(x[:1], np.empty((0, 0))), [1000.0])
    assert k.pvi(x[:0], np.empty((0, 0))).shape == (0,)


def test_wad_reads_open_and_only_the_columns_it_needs():
    c = np.array([[0, 10.0, 99, 12, 8, 1], [0, 11.0, 0, 13, 9, 1], [0, 9.0, 0, 12, 7, 1]])
    assert_bits_equal(k.wad(c), [0.0, 11.0 - 9.0, (11.0 - 9.0) + (9.0 - 12.0)])
    c2 = np.array([[0, 10.0], [0, 10.0]])  # unchanged open: no high or low read
    assert_bits_equal(k.wad(c2), [0.0, 0.0])
    rising = np.array([[0, 10.0, 0, 0], [0, 11.0, 0, 0]])
    with pytest.raises(k.InternalError, match="index < dim"):
        k.wad(rising)  # needs low (column 4)
    falling = np.array([[0, 10.0, 0, 12], [0, 9.0, 0, 12]])
    assert_bits_equal(k.wad(falling), [0.0, 9.0 - 12.0])
    with pytest.raises(k.InternalError, match="index < dim"):
        k.wad(np.zeros((2, 1)))
    assert_bits_equal(k.wad(np.zeros((1, 0))), [0.0])
    nan_low = np.array([[0, 10.0, 0, 12, 8], [0, 11.0, 0, 13, nan]])
    assert_bits_equal(k.wad(nan_low), [0.0, 11.0 - 10.0])  # minNum ignores the NaN low


# ---- periods, short matrices and errors ----------------------------------

def test_huge_periods(daily_candles):
    c = daily_candles[:30]
    x = c[:, 2]
    for p in (30, 31, HUGE):
        assert np.isnan(k.cvi(c, p)).all()
        assert np.isnan(k.efi(x, c, p)).all()
        assert (k.emv(c, p, 1.0)[:29] == 0.0).all()
        assert_bits_equal(k.adosc(c, p, p), ref_adosc(c, p, p))
    assert not np.isnan(k.cvi(c, 29)[29]) and not np.isnan(k.efi(x, c, 29)[29])
    assert_bits_equal(k.emv(c, 30, 1.0), ref_emv(c, 30, 1.0))


def test_short_matrix_and_missing_columns(daily_candles):
    c = daily_candles[:20]
    x = np.ascontiguousarray(c[:, 2])
    for fn, args in [(k.efi, (x, c[:10], 3)), (k.nvi, (x, c[:10])), (k.pvi, (x, c[:19]))]:
        with pytest.raises(k.InternalError):
            fn(*args)
    for fn, args in [(k.efi, (x, c[:, :5], 3)), (k.nvi, (x, c[:, :5])), (k.emv, (c[:, :5], 3, 1.0)),
                     (k.cvi, (c[:, :4], 3))]:
        with pytest.raises(k.InternalError, match="index < dim"):
            fn(*args)
    with pytest.raises(k.InternalError):
        k.efi(x, c, 0)
    assert np.isnan(k.efi(x[:1], np.empty((0, 0)), 0)).all()
    assert np.isnan(k.cvi(c[:, :4], 20)).all()  # not computed, columns not read
    assert_bits_equal(k.emv(c[:1, :2], 1, 1.0), [0.0])
    with pytest.raises(TypeError, match="argument 'div'"):
        k.emv(c, 3, "x")
