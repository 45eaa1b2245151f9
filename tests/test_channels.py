"""Chandelier exit, Choppiness index, Donchian channels and inner Keltner
against plain-Python re-statements, bit for bit, on documented cases,
random candles (hypothesis) and real candles."""
import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k
from range_refs import candles as range_candles
from range_refs import columns, wilder_atr, window_extreme
from references.channels import ref_chande, ref_chop
from support import assert_bits_equal

nan = math.nan
HUGE = 2**64 - 1

def check_all(c, p, drift):
    for direction in ("long", "short"):
        assert_bits_equal(k.chande(c, p, 2.5, direction), ref_chande(c, p, 2.5, direction))
    if len(c) >= max(p, drift):
        assert_bits_equal(k.chop(c, p, 100.0, drift), ref_chop(c, p, 100.0, drift))
    d = k.donchian(c, p)
    assert list(d) == ["upperband", "middleband", "lowerband"]
    if len(c) >= p:
        close, high, low = columns(c)
        up, lo = window_extreme(high, p, True), window_extreme(low, p, False)
        assert_bits_equal(d["upperband"], [nan if v is None else v for v in up])
        assert_bits_equal(d["lowerband"], [nan if v is None else v for v in lo])
        assert_bits_equal(d["middleband"], [nan if u is None else (u + v) * 0.5 for u, v in zip(up, lo)])


@pytest.mark.parametrize("candles", ["minute_candles", "daily_candles"])
def test_real_candles_match_references(candles, request):
    c = request.getfixturevalue(candles)[:3000]
    for p in (1, 2, 14, 22):
        check_all(c, p, drift=1 if p == 2 else p)
    late_nan = c.copy()  # the block form gives way to the deque at a late NaN
    late_nan[1500, 3] = late_nan[1600, 4] = nan
    check_all(late_nan, 14, 3)
    close, high, low = (np.ascontiguousarray(c[:, j]) for j in (2, 3, 4))
    ma = k.sma(close, 20)
    a = wilder_atr(high.tolist(), low.tolist(), close.tolist(), 20)
    up, mid, lo = k.keltner_inner(ma, high, low, close, 20, 2.0)
    assert_bits_equal(mid, ma)
    assert_bits_equal(up, [nan if math.isnan(v) else 2.0 * v + m for m, v in zip(ma, a)])
    assert_bits_equal(lo, [nan if math.isnan(v) else m - 2.0 * v for m, v in zip(ma, a)])


def candles():
    return range_candles(max_rows=50, first_price_col=2)


# Layouts are the table-driven test's (tests/test_table.py).
@settings(max_examples=300, deadline=None)
@given(candles(), st.integers(1, 12), st.integers(1, 6))
def test_random_candles_match_references(c, p, drift):
    check_all(c, p, drift)


def test_documented_cases():
    c = np.zeros((30, 6))
    c[:, 2] = np.arange(30.0)
    c[:, 3], c[:, 4] = c[:, 2] + 1, c[:, 2] - 1
    assert np.isnan(k.chande(c, 5, 3.0, "up")).all()
    assert np.isnan(k.chande(c, 5, 3.0, "Long")).all()  # compared as given
    # A NaN high never pops a larger one and reaches the front once they expire.
    c[:10, 3] = [100.0, 90.0, nan, 5.0, 6.0, 7.0, 8.0, 9.0, 10.0, 11.0]
    assert_bits_equal(k.chande(c[:10], 3, 0.0, "long")[2:], [100.0, 90.0, nan, 7.0, 8.0, 9.0, 10.0, 11.0])
    assert np.isnan(k.chop(np.full((40, 6), 7.0), 14, 100.0, 1)).all()  # flat: range 0
    d = k.donchian(c, 1)
    assert_bits_equal(d["upperband"], c[:, 3])
    assert_bits_equal(d["middleband"], (c[:, 3] + c[:, 4]) * 0.5)
    # keltner_inner: ma_values may be strided; a shorter one uses the first m ATR values
    h, lo, cl = (np.ascontiguousarray(c[:, j]) for j in (3, 4, 2))
    ma = cl[:10][::-1]
    a = wilder_atr(h.tolist(), lo.tolist(), cl.tolist(), 3)[:10]
    up, mid, dn = k.keltner_inner(ma, h, lo, cl, 3, 1.5)
    assert_bits_equal(mid, ma)
    assert mid.flags.c_contiguous and mid.flags.owndata
    assert_bits_equal(up, [nan if math.isnan(v) else 1.5 * v + m for m, v in zip(ma, a)])
    assert_bits_equal(dn, [nan if math.isnan(v) else m - 1.5 * v for m, v in zip(ma, a)])


def test_periods_and_errors():
    c = np.random.default_rng(3).normal(100, 1, size=(20, 6))
    narrow = np.ascontiguousarray(c[:, :4])
    for p in (21, HUGE):  # period beyond the input: NaN, columns never looked at
        assert np.isnan(k.chande(narrow, p, 1.0, "long")).all()
        assert np.isnan(k.chop(narrow, p, 100.0, HUGE)).all()
        assert all(np.isnan(v).all() and len(v) == 20 for v in k.donchian(narrow, p).values())
    for call in (lambda m: k.chande(m, 3, 1.0, "sideways"), lambda m: k.chop(m, 3, 100.0, 2),
                 lambda m: k.donchian(m, 3)):
        with pytest.raises(k.InternalError, match="assertion failed: index < dim"):
            call(narrow)
    for call in (lambda: k.chande(c, 0, 1.0, "up"), lambda: k.donchian(c, 0), lambda: k.chop(c, 3, 100.0, 0),
                 lambda: k.chop(c, 3, 100.0, 21), lambda: k.chop(c, 3, 100.0, HUGE)):
        with pytest.raises(k.InternalError):
            call()
    assert np.isnan(k.chop(c, 0, 100.0, 2)).all()  # every window sum is 0: nothing written
    h, lo, cl = (np.ascontiguousarray(c[:, j]) for j in (3, 4, 2))
    ma = k.sma(cl, 5)
    for bad in (c[:, 3], h[::-1]):  # keltner_inner needs unit stride
        for args in ((ma, bad, lo, cl), (ma, h, bad, cl), (ma, h, lo, bad)):
            with pytest.raises(k.InternalError):
                k.keltner_inner(*args, 5, 2.0)
    for args in ((np.append(ma, 1.0), h, lo, cl, 5), (ma, h, lo, cl[:0], 5), (ma, h[:10], lo, cl, 5),
                 (ma, h, lo, cl, 0)):
        with pytest.raises(k.InternalError):
            k.keltner_inner(*args, 2.0)
    # One-element strided views read as slices; a huge period gives NaN bands.
    up, _, _ = k.keltner_inner(cl[:1], c[:1, 3], c[:1, 4], c[:1, 2], 1, 2.0)
    assert_bits_equal(up, [2.0 * (-0.0 + (c[0, 3] - c[0, 4])) + cl[0]])
    up, mid, dn = k.keltner_inner(ma, h, lo, cl, HUGE, 2.0)
    assert np.isnan(up).all() and np.isnan(dn).all()
