"""Cycle filters checked bit for bit against plain-Python restatements of each
recurrence (Python floats round every operation separately and its math
module calls the same C library functions)."""
import math

import numpy as np
import pytest

import korva_rust as k
from references.cycles import ref_correlation_cycle, ref_edcf, ref_flex, ref_itrend, ref_mama, ref_pma, ref_voss
from references.filters import (
    ref_bandpass,
    ref_gauss,
    ref_high_pass_1,
    ref_high_pass_2,
    ref_super_smoother,
    ref_supersmoother_3,
)
from support import assert_bits_equal

NAN = math.nan
HUGE = 2**64 - 1


def random_walk(n, seed=0):
    rng = np.random.default_rng(seed)
    return 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))


# ---------------------------------------------------------------- references


SIMPLE = [
    (k.supersmoother, ref_super_smoother, 2),
    (k.supersmoother_3_pole, ref_supersmoother_3, 3),
    (k.high_pass, ref_high_pass_1, 1),
    (k.high_pass_2_pole, ref_high_pass_2, 2),
]


@pytest.mark.parametrize("fn,ref,copied", SIMPLE, ids=lambda v: getattr(v, "__name__", str(v)))
def test_simple_filters_match_reference(fn, ref, copied, minute_candles):
    closes = minute_candles[:, 2]
    walk = random_walk(3000, seed=1)
    for x in (walk, closes[:4000], walk[::-3]):
        for period in (1, 2, 3, 7, 10, 20, 48, 200, 10**9):
            expected = ref(list(map(float, x)), float(period))
            assert_bits_equal(fn(x, period), expected)
    # The first positions copy the input; shorter inputs come back unchanged.
    out = fn(walk[:50], 10)
    assert_bits_equal(out[:copied], walk[:copied])
    for n in range(copied + 1):
        assert_bits_equal(fn(walk[:n], 10), walk[:n])


@pytest.mark.parametrize("fn", [s[0] for s in SIMPLE])
def test_simple_filters_degenerate_periods(fn):
    x = random_walk(40)
    # A strided candle column gives the result of its contiguous copy.
    m = np.ascontiguousarray(np.stack([x, x * 2], axis=1))
    assert_bits_equal(fn(m[:, 0], 9), fn(x.copy(), 9))
    # Zero and huge periods raise nothing; NaN propagates from where it enters.
    for period in (0, HUGE):
        assert fn(x, period).shape == (40,)
    y = x.copy()
    y[20] = NAN
    out = fn(y, 10)
    assert not np.isnan(out[:20]).any() and np.isnan(out[20:]).all()


def test_gauss_matches_reference(daily_candles):
    closes = daily_candles[:, 2]
    walk = random_walk(1000, seed=2)
    for x in (walk, closes, closes[::-2]):
        for period in (2, 3, 14, 100):
            for poles in (1, 2, 3, 4, 5, 9):
                assert_bits_equal(k.gauss(x, period, poles), ref_gauss(list(map(float, x)), float(period), poles))
    # Five or more poles reuse the 4-pole recurrence, but the coefficient
    # still depends on the pole count.
    assert (k.gauss(walk, 14, 5) != k.gauss(walk, 14, 4)).all()


def test_gauss_drops_nans_and_right_aligns():
    x = random_walk(50, seed=3)
    lead = x.copy()
    lead[:3] = NAN
    out = k.gauss(lead, 10, 4)
    assert np.isnan(out[:3]).all()
    assert_bits_equal(out[3:], k.gauss(x[3:], 10, 4))
    mid = x.copy()
    mid[20] = NAN
    out = k.gauss(mid, 10, 2)
    clean = k.gauss(np.delete(x, 20), 10, 2)
    assert math.isnan(out[0])
    assert_bits_equal(out[1:], clean)
    assert_bits_equal(out, ref_gauss(list(mid), 10.0, 2))
    # A negative zero as first value keeps the zero history terms in the sum.
    z = np.array([-0.0, 1.0, 2.0])
    assert_bits_equal(k.gauss(z, 5, 3), ref_gauss(list(z), 5.0, 3))


def test_gauss_zero_poles():
    assert k.gauss(np.array([]), 10, 0).shape == (0,)
    assert np.isnan(k.gauss(np.array([NAN, NAN]), 10, 0)).all()
    with pytest.raises(k.InternalError, match="index out of bounds"):
        k.gauss(np.array([NAN, 1.0]), 10, 0)
    assert k.gauss(random_walk(20), HUGE, 3).shape == (20,)


def test_bandpass_matches_reference(minute_candles):
    closes = minute_candles[:, 2]
    walk = random_walk(2000, seed=4)
    for x in (walk, closes[:3000], closes[1::7]):
        for period, w in ((20, 0.3), (10, 0.1), (48, 0.5), (5, 1.7)):
            got = k.bandpass(x, period, w)
            assert isinstance(got, tuple) and len(got) == 4
            for a, e in zip(got, ref_bandpass(list(map(float, x)), float(period), w)):
                assert_bits_equal(a, e)
    for n in (0, 1, 2, 3):
        got = k.bandpass(walk[:n], 20, 0.3)
        for a, e in zip(got, ref_bandpass(list(walk[:n]), 20.0, 0.3)):
            assert_bits_equal(a, e)
    assert k.bandpass(walk, 20, 0.3)[2][0] == 0.0


def test_bandpass_peak_and_degenerate_inputs():
    # A negative first value is its own first peak, so the normalised value
    # starts at 1.0 and a zero start normalises to 0.0.
    x = np.array([-2.0, -1.0, 3.0, 0.5, 4.0, 1.0])
    for a, e in zip(k.bandpass(x, 10, 0.3), ref_bandpass(list(x), 10.0, 0.3)):
        assert_bits_equal(a, e)
    assert k.bandpass(x, 10, 0.3)[1][0] == 1.0
    assert k.bandpass(np.zeros(5), 10, 0.3)[1][0] == 0.0
    for period, w in ((0, 0.3), (20, 0.0), (HUGE, 0.3), (20, NAN)):
        assert all(a.shape == (6,) for a in k.bandpass(x, period, w))
    with pytest.raises(TypeError, match="argument 'bandwidth'"):
        k.bandpass(x, 10, "wide")


# ---------------------------------------------------------------- references


def series_inputs(candles, n, seed):
    """A random walk, real closes and a reversed strided view of the candles."""
    closes = candles[:, 2]
    return [random_walk(n, seed), closes[:n], closes[::-3][:n]]


def check_tuple(got, expected, count):
    assert isinstance(got, tuple) and len(got) == count
    for a, e in zip(got, expected):
        assert_bits_equal(a, e)


# ------------------------------------------------------------------ 7.2 tests


@pytest.mark.parametrize("fn,reflex", [(k.reflex, True), (k.trendflex, False)])
def test_flex_matches_reference(fn, reflex, minute_candles):
    for x in series_inputs(minute_candles, 700, 5):
        xl = list(map(float, x))
        for period in (1, 2, 5, 20, 48):
            assert_bits_equal(fn(x, period), ref_flex(xl, period, reflex))
        # Every count of leftover positions past the eight-wide blocks.
        for n in range(21, 40):
            assert_bits_equal(fn(x[:n], 20), ref_flex(xl[:n], 20, reflex))


@pytest.mark.parametrize("fn,reflex", [(k.reflex, True), (k.trendflex, False)])
def test_flex_edges(fn, reflex):
    x = random_walk(60, 6)
    out = fn(x, 10)
    assert (out[:10] == 0.0).all() and not np.signbit(out[:10]).any()
    for period in (60, 61, HUGE):
        assert_bits_equal(fn(x, period), np.zeros(60))
    assert fn(np.array([]), 0).shape == (0,)
    with pytest.raises(k.InternalError, match="index out of bounds"):
        fn(x, 0)
    # A NaN ends the mean square: reflex writes 0.0 from there, trendflex NaN.
    y = x.copy()
    y[30] = NAN
    out = fn(y, 10)
    assert_bits_equal(out, ref_flex(list(y), 10, reflex))
    assert (out[35:] == 0.0).all() if reflex else np.isnan(out[35:]).all()


def test_itrend_matches_reference(daily_candles):
    for x in series_inputs(daily_candles, 1500, 7):
        for a in (0.07, 0.2, 0.5, 1.0, 0.0):
            check_tuple(k.itrend(x, a), ref_itrend(list(map(float, x)), a), 3)
    short = np.array([3.0, -1.0])
    sig, it, trig = k.itrend(short, 0.07)
    assert_bits_equal(it, short)
    assert_bits_equal(trig, short)
    assert_bits_equal(sig, [0.0, 0.0])
    check_tuple(k.itrend(np.array([]), 0.07), ([], [], []), 3)


def test_voss_matches_reference(minute_candles):
    for x in series_inputs(minute_candles, 600, 8):
        xl = list(map(float, x))
        for period, predict, w in ((20, 3, 0.25), (5, 0, 0.25), (10, 1, 0.1), (3, 4, 0.5), (40, 2, 0.3)):
            check_tuple(k.voss(x, period, predict, w), ref_voss(xl, period, predict, w), 2)


def test_voss_warm_up_and_huge_parameters():
    x = random_walk(100, 9)
    for period, predict in ((20, 3), (5, 10), (3, 0)):
        start = max(period, 3 * predict, 5)
        v, f = k.voss(x, period, predict, 0.25)
        assert (v[: start + 1] == 0.0).all() and (f[: start + 1] == 0.0).all()
        assert (f[start + 1:] != 0.0).all()
    for period, predict in ((HUGE, 1), (10, HUGE), (10, HUGE // 3 + 1), (10, 33), (99, 0)):
        check_tuple(k.voss(x, period, predict, 0.25), (np.zeros(100), np.zeros(100)), 2)
    check_tuple(k.voss(x, 10, 32, 0.25), ref_voss(list(x), 10, 32, 0.25), 2)


def test_edcf_matches_reference(daily_candles):
    for x in series_inputs(daily_candles, 800, 10):
        xl = list(map(float, x))
        for period in (2, 3, 15, 50):
            assert_bits_equal(k.edcf(x, period), ref_edcf(xl, period))
        for n in range(31, 50):
            assert_bits_equal(k.edcf(x[:n], 15), ref_edcf(xl[:n], 15))
    x = random_walk(40, 11)
    assert np.isnan(k.edcf(x, 20)).all()
    out = k.edcf(x[:41] if len(x) > 40 else np.append(x, 1.0), 20)
    assert np.isnan(out[:40]).all() and not math.isnan(out[40])
    for period in (0, 1, HUGE, HUGE // 2 + 1):
        assert np.isnan(k.edcf(x, period)).all()
    # A flat stretch has no distance at all: the filter writes 0.0.
    assert k.edcf(np.full(12, 5.0), 3)[6:].tolist() == [0.0] * 6


def test_correlation_cycle_matches_reference(minute_candles):
    for x in series_inputs(minute_candles, 500, 12):
        xl = list(map(float, x))
        for period, threshold in ((20, 9.0), (2, 9.0), (0, 9.0), (7, 30.0), (64, 2.0)):
            got = k.correlation_cycle(x, period, threshold)
            check_tuple(got, ref_correlation_cycle(xl, period, threshold), 4)
    # NaN inside a window counts as 0.0; the newest value is never read.
    y = random_walk(60, 13)
    y[25] = NAN
    check_tuple(k.correlation_cycle(y, 10, 9.0), ref_correlation_cycle(list(y), 10, 9.0), 4)
    z = y.copy()
    z[-1] = 1e300
    assert_bits_equal(k.correlation_cycle(z, 10, 9.0)[0], k.correlation_cycle(y, 10, 9.0)[0])
    real, imag, angle, state = k.correlation_cycle(y, 10, 9.0)
    assert np.isnan(real[:10]).all() and np.isnan(imag[:10]).all() and state[0] == 0.0


def test_correlation_cycle_short_inputs():
    x = random_walk(30, 14)
    for period in (30, 31, HUGE):
        real, imag, angle, state = k.correlation_cycle(x, period, 9.0)
        assert np.isnan(real).all() and np.isnan(imag).all() and np.isnan(angle).all()
        assert_bits_equal(state, np.zeros(30))
    check_tuple(k.correlation_cycle(np.array([]), 20, 9.0), ([], [], [], []), 4)


def test_mama_matches_reference(daily_candles):
    for x in series_inputs(daily_candles, 1200, 15):
        xl = list(map(float, x))
        for fl, sl in ((0.5, 0.05), (0.8, 0.1), (0.05, 0.5), (0.0, 0.0)):
            check_tuple(k.mama(x, fl, sl), ref_mama(xl, fl, sl), 2)
    for n in range(9):
        x = random_walk(n, 16)
        check_tuple(k.mama(x, 0.5, 0.05), ref_mama(list(x), 0.5, 0.05), 2)
    check_tuple(k.mama(np.array([7.0]), 0.5, 0.05), ([0.0], [0.0]), 2)
    y = random_walk(50, 17)
    y[20] = NAN
    check_tuple(k.mama(y, 0.5, 0.05), ref_mama(list(y), 0.5, 0.05), 2)


def test_pma_matches_reference(minute_candles):
    for x in series_inputs(minute_candles, 900, 18):
        check_tuple(k.pma(x), ref_pma(list(map(float, x))), 2)
    for n in range(10):
        x = random_walk(n, 19)
        check_tuple(k.pma(x), ref_pma(list(x)), 2)
        if n <= 6:
            assert all(np.isnan(a).all() for a in k.pma(x))
    # Predict values that are NaN count as 0.0 in later triggers.
    y = random_walk(40, 20)
    y[15] = NAN
    pred, trig = k.pma(y)
    assert_bits_equal(pred, ref_pma(list(y))[0])
    assert_bits_equal(trig, ref_pma(list(y))[1])
    # The NaN reaches predict through both six-long weightings.
    assert np.isnan(pred[15:28]).all() and not np.isnan(pred[28:]).any()
    assert not np.isnan(trig[28:]).any()
