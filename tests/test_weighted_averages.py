"""Window-weighted and multi-stage smoothers against plain-Python
re-statements of their loops, bit for bit, on examples, random series
(hypothesis); layouts and real candles are the table-driven test's."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import korva_rust as k
from references.weighted_averages import (
    HUGE,
    nan,
    ref_cwma,
    ref_epma,
    ref_hma,
    ref_hwma,
    ref_jma,
    ref_mwdx,
    ref_nma,
    ref_sqwma,
    ref_srwma,
    ref_vpwma,
)
from support import assert_bits_equal

PERIOD_CASES = [
    (k.cwma, ref_cwma), (k.sqwma, ref_sqwma), (k.srwma, ref_srwma), (k.hma, ref_hma), (k.nma, ref_nma),
    (lambda x, p: k.vpwma(x, p, 1.7), lambda x, p: ref_vpwma(x, p, 1.7)),
    (lambda x, p: k.vpwma(x, p, -0.5), lambda x, p: ref_vpwma(x, p, -0.5)),
    (lambda x, p: k.epma(x, p, 3), lambda x, p: ref_epma(x, p, 3)),
    (lambda x, p: k.epma(x, p, p + 1), lambda x, p: ref_epma(x, p, p + 1)),
    (lambda x, p: k.jma(x, p, 50.0, 2), lambda x, p: ref_jma(x, p, 50.0, 2)),
    (lambda x, p: k.jma(x, p, -130.0, 1), lambda x, p: ref_jma(x, p, -130.0, 1)),
]
CASE_IDS = ["cwma", "sqwma", "srwma", "hma", "nma", "vpwma+", "vpwma-", "epma", "epma_neg", "jma", "jma_low"]


def test_documented_examples():
    x4 = np.array([1.0, 2.0, 3.0, 4.0])
    assert_bits_equal(k.cwma(x4, 3), x4)
    x5 = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    assert_bits_equal(k.cwma(x5, 3), [1.0, 2.0, 3.0, 4.0, (1.0 / 35.0) * (5.0 * 27.0 + 4.0 * 8.0)])
    # epma: weights 2-2-k = 0, -1, ... for offset 2 and period 2 sum to 0.
    x = np.arange(1.0, 11.0)
    assert_bits_equal(k.epma(x, 2, 2), x)
    assert_bits_equal(k.epma(x, 4, 3), ref_epma(x.tolist(), 4, 3))  # weights 1, 0, -1 sum to 0
    # hma starts with zeros, returns -x for period 1 and zeros for period 0.
    assert k.hma(x, 4)[0] == 0.0
    assert_bits_equal(k.hma(x, 1), -x)
    assert_bits_equal(k.hma(x, 0), np.zeros(10))
    out = k.nma(np.full(8, 2.5), 3)
    assert np.isnan(out[:4]).all() and (out[4:] == 2.5).all()
    # nma blends the clamped values: NaN and non-positive prices are 1e-10.
    assert_bits_equal(k.nma(np.array([nan, -1.0, 0.0, nan, 2.0]), 2),
                      ref_nma([1e-10, 1e-10, 1e-10, 1e-10, 2.0], 2))
    r = np.random.default_rng(1).normal(100, 5, 50)
    assert_bits_equal(k.jma(r, 7, -150.0, 2), k.jma(r, 7, -100.0, 2))
    assert_bits_equal(k.jma(r, 7, 150.0, 2), k.jma(r, 7, 100.0, 2))
    assert_bits_equal(k.hwma(r, 1.0, 0.0, 0.0), r)
    assert_bits_equal(k.mwdx(x, 2.0), ref_mwdx(x.tolist(), 2.0))
    assert k.mwdx(x, 2.0)[1] == 2.0 * 2.0 + (1.0 - 2.0) * 1.0


def test_degenerate_parameters_never_raise():
    x = np.arange(1.0, 21.0)
    for fn in (k.cwma, k.sqwma, k.srwma):
        for p in (0, 1, 19, HUGE):
            assert_bits_equal(fn(x, p), x)
    for p in (0, 1, HUGE):
        assert_bits_equal(k.vpwma(x, p, 2.0), x)
        assert_bits_equal(k.epma(x, p, 1), x)
    # period + offset + 1 would wrap around for these.
    for p, off in ((2, HUGE), (HUGE, 2), (HUGE, HUGE), (10, 2**64 - 11), (5, 14)):
        assert_bits_equal(k.epma(x, p, off), x)
    assert_bits_equal(k.epma(x, 5, 13), ref_epma(x.tolist(), 5, 13))
    assert np.isnan(k.nma(x, 0)).all() and np.isnan(k.nma(x, HUGE)).all() and np.isnan(k.nma(x, 19)).all()
    assert_bits_equal(k.hma(x, HUGE), np.zeros(20))
    assert_bits_equal(k.jma(x, HUGE, 0.0, HUGE), ref_jma(x.tolist(), HUGE, 0.0, HUGE))
    assert_bits_equal(k.jma(x, 1, 0.0, 3), ref_jma(x.tolist(), 1, 0.0, 3))  # beta = 0
    assert_bits_equal(k.jma(x, 1, 0.0, 2**32 - 1), ref_jma(x.tolist(), 1, 0.0, 2**32 - 1))  # 0 ** -1
    assert_bits_equal(k.jma(x, 5, nan, 2), ref_jma(x.tolist(), 5, nan, 2))
    assert np.isnan(k.jma(x, 5, nan, 2)[1:]).all()
    # factor 0: 2/0 = inf survives the -1 and +1, so f = 2/inf = 0 and the
    # first value is carried forward.
    assert_bits_equal(k.mwdx(x, 0.0), np.full(20, 1.0))
    for fn in (k.cwma, k.hma, k.nma, k.mwdx, k.hwma, k.jma):
        args = {k.mwdx: (1.0,), k.hwma: (0.2, 0.1, 0.1), k.jma: (7, 0.0, 2)}.get(fn, (3,))
        assert fn(np.array([]), *args).shape == (0,)


# Long enough for whole blocks of vector lanes plus a ragged end.
series = hnp.arrays(
    np.float64, st.integers(0, 100),
    elements=st.one_of(st.floats(-1e6, 1e6, allow_nan=False), st.just(nan), st.just(0.0)),
)


# Layouts are the table-driven test's (tests/test_table.py); here the values
# and parameters vary.
@settings(max_examples=150, deadline=None)
@given(x=series, p=st.integers(0, 64))
def test_period_functions_against_references(x, p):
    xs = x.tolist()
    for fn, ref in PERIOD_CASES:
        assert_bits_equal(fn(x, p), ref(xs, p))


@settings(max_examples=150, deadline=None)
@given(x=series, coef=st.tuples(*[st.floats(-2.0, 2.0, allow_nan=False)] * 3),
       factor=st.one_of(st.floats(-5.0, 5.0), st.just(0.0)),
       phase=st.floats(-200.0, 200.0), power=st.integers(0, 2**64 - 1), p=st.integers(0, 40))
def test_parameter_functions_against_references(x, coef, factor, phase, power, p):
    xs = x.tolist()
    assert_bits_equal(k.hwma(x, *coef), ref_hwma(xs, *coef))
    with np.errstate(all="ignore"):
        assert_bits_equal(k.mwdx(x, factor), ref_mwdx(xs, factor))
    assert_bits_equal(k.jma(x, p, phase, power), ref_jma(xs, p, phase, power))
    assert_bits_equal(k.vpwma(x, p, phase / 50.0), ref_vpwma(xs, p, phase / 50.0))

