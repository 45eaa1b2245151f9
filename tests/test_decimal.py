"""sum_floats / subtract_floats against an independent formulation with exact
Python integers: shortest repr digits, at most 28 fraction digits (the first
dropped digit rounds half up), an exact sum, then the fewest dropped digits
that fit 96 bits, rounded half to even, and a correctly rounded float."""
import math
import random
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korva_rust as k

LIMIT = 2**96


class Refused(Exception):
    pass


def to_decimal(x):
    """(signed mantissa, scale) of the float's shortest decimal form."""
    if math.isnan(x) or math.isinf(x):
        raise Refused("Invalid decimal: unknown character")
    sign, digits, exp = Decimal(repr(x)).as_tuple()
    mant = int("".join(map(str, digits)))
    if mant == 0:
        return 0, 0
    while mant % 10 == 0:
        mant //= 10
        exp += 1
    if exp >= 0:
        mant *= 10**exp
        if mant >= LIMIT:
            raise Refused("Invalid decimal: overflow from too many digits")
        return (-mant if sign else mant), 0
    scale = -exp
    if scale > 28:
        drop = scale - 28
        mant, rest = divmod(mant, 10**drop)
        if rest // 10 ** (drop - 1) >= 5:
            mant += 1
        scale = 28
    assert mant < LIMIT
    return (-mant if sign else mant), scale


def reference(x, y, subtract):
    try:
        a, sa = to_decimal(x)
    except Refused as e:
        return ValueError, f"Invalid float1: {e}"
    try:
        b, sb = to_decimal(y)
    except Refused as e:
        return ValueError, f"Invalid float2: {e}"
    s = max(sa, sb)
    exact = a * 10 ** (s - sa) + (-b if subtract else b) * 10 ** (s - sb)
    m = abs(exact)
    for dropped in range(s + 1):
        q, r = divmod(m, 10**dropped)
        unit = 10**dropped
        if 2 * r > unit or (2 * r == unit and q % 2):
            q += 1
        if q < LIMIT:
            value = float(Fraction(q, 10 ** (s - dropped)))
            return (-value if exact < 0 else value), None
    return k.InternalError, "Subtraction overflowed" if subtract else "Addition overflowed"


def check(x, y):
    for fn, subtract in ((k.sum_floats, False), (k.subtract_floats, True)):
        expected, message = reference(x, y, subtract)
        if message is None:
            got = fn(x, y)
            assert type(got) is float
            assert got == expected and math.copysign(1, got) == math.copysign(1, expected), (x, y, got, expected)
        else:
            with pytest.raises(expected) as info:
                fn(x, y)
            assert str(info.value) == message, (x, y)


def test_documented_cases():
    assert k.sum_floats(0.1, 0.2) == 0.3
    assert k.subtract_floats(0.3, 0.1) == 0.2
    assert str(k.sum_floats(-0.0, -0.0)) == "0.0"
    assert str(k.subtract_floats(-0.0, 0.0)) == "0.0"
    assert k.sum_floats(1e-30, 0.0) == 0.0
    assert k.sum_floats(1e9, 1e-20) == 1e9
    assert k.subtract_floats(1.5, 1.5) == 0.0 and str(k.subtract_floats(-1.5, -1.5)) == "0.0"
    assert k.sum_floats(-2.5, 1) == -1.5  # ints go through the float conversion
    with pytest.raises(ValueError, match=r"^Invalid float1: Invalid decimal: unknown character$"):
        k.sum_floats(math.nan, 1.0)
    with pytest.raises(ValueError, match=r"^Invalid float2: Invalid decimal: unknown character$"):
        k.sum_floats(1.0, -math.inf)
    with pytest.raises(ValueError, match=r"^Invalid float1: Invalid decimal: overflow from too many digits$"):
        k.sum_floats(1e29, 0.0)
    with pytest.raises(k.InternalError, match=r"^Addition overflowed$"):
        k.sum_floats(5e28, 5e28)
    with pytest.raises(k.InternalError, match=r"^Subtraction overflowed$"):
        k.subtract_floats(-5e28, 5e28)
    for x, y in ((0.1, 0.2), (1e-30, 0.0), (1e9, 1e-20), (5e28, 5e28), (1e29, 0.0), (-0.0, -0.0),
                 (7.9e28, 0.0), (7.93e28, 0.0), (1e21, 1e-7), (123456789.123, 1e-12), (5e-29, 0.0),
                 (4.9e-29, 0.0), (1.5e-28, 2.5e-28), (2**96 - 2**44, 1.0), (2.0**96, 0.0)):
        check(x, y)


def test_reduction_ties_go_to_even():
    # exact sums of the form (M + 0.5) with M a midpoint between two doubles
    # whose lower one is even: half to even keeps M (read back as the lower
    # double), half up would give M + 1 (the upper double)
    for x, y, expected in ((7.704413825319177e28, -1290313113599.5, 7.704413825319176e28),
                           (1.4903358031678843e28, 984334028800.5, 1.4903358031678843e28),
                           (7.239262244573825e28, -564100505599.5, 7.2392622445738245e28)):
        assert k.sum_floats(x, y) == expected
        assert k.subtract_floats(x, -y) == expected
        assert k.sum_floats(-x, -y) == -expected
        check(x, y)


def test_argument_errors_come_before_decimal_errors():
    with pytest.raises(TypeError, match=r"^argument 'float2': "):
        k.sum_floats(math.nan, "x")
    with pytest.raises(TypeError, match=r"^argument 'float1': "):
        k.subtract_floats(None, 1.0)


def random_float(rng):
    kind = rng.randrange(5)
    if kind == 0:  # any magnitude the decimal can hold, and beyond
        return rng.choice((-1, 1)) * rng.uniform(1, 10) * 10.0 ** rng.randrange(-45, 30)
    if kind == 1:  # prices and sizes with a few decimals
        return round(rng.uniform(-1e6, 1e6), rng.randrange(0, 9))
    if kind == 2:  # short decimals of every scale
        return rng.randrange(-999, 1000) * 10.0 ** rng.randrange(-32, 27)
    if kind == 3:  # integers near the 96-bit limit
        return float(rng.choice((-1, 1)) * rng.randrange(2**90, 2**97))
    return rng.choice((0.0, -0.0, 5e-29, 4.9999999999999995e-29, 5e28, -5e28, 2.0**-1074, 1e16, 0.5))


def test_random_pairs_of_all_magnitudes():
    rng = random.Random(2024)
    for _ in range(20000):
        x, y = random_float(rng), random_float(rng)
        check(x, y)
        if rng.random() < 0.3:  # nearby values: cancellation and long fractions
            check(x, x * (1 + rng.uniform(-1e-6, 1e-6)))


@settings(max_examples=2000, deadline=None)
@given(st.floats(allow_nan=True, allow_infinity=True), st.floats(allow_nan=True, allow_infinity=True))
def test_any_float_pair(x, y):
    check(x, y)
