"""The argument layer, checked generically across the whole function table:
matching messages, conversion messages with their prefix and cause, array
layouts, and robustness of every function on hostile but well-typed input."""
import numpy as np
import pytest

import korva_rust
from interface import NUMERIC, valid

IDS = [n for n, _ in NUMERIC]
OK_ERRORS = (ValueError, IndexError, TypeError, korva_rust.InternalError)


def call_args(params, **override):
    return [override.get(p, valid(t)) for p, t in params]


@pytest.mark.parametrize("name,params", NUMERIC, ids=IDS)
def test_matching_messages(name, params):
    fn = getattr(korva_rust, name)
    n = len(params)
    names = [p for p, _ in params]
    with pytest.raises(TypeError) as e:
        fn(*call_args(params), 0)
    verb = "was" if n + 1 == 1 else "were"
    assert str(e.value) == f"{name}() takes {n} positional arguments but {n + 1} {verb} given"

    with pytest.raises(TypeError) as e:
        fn(*call_args(params), nonsense=1)
    assert str(e.value) == f"{name}() got an unexpected keyword argument 'nonsense'"

    with pytest.raises(TypeError) as e:
        fn(*call_args(params), **{names[0]: valid(params[0][1])})
    assert str(e.value) == f"{name}() got multiple values for argument '{names[0]}'"

    with pytest.raises(TypeError) as e:
        fn()
    if n == 1:
        expected = f"'{names[0]}'"
    elif n == 2:
        expected = f"'{names[0]}' and '{names[1]}'"
    else:
        expected = ", ".join(f"'{p}'" for p in names[:-1]) + f", and '{names[-1]}'"
    plural = "" if n == 1 else "s"
    assert str(e.value) == f"{name}() missing {n} required positional argument{plural}: {expected}"

    # Keywords in any order fill the same parameters as positionals.
    kwargs = dict(zip(names, call_args(params)))
    try:
        fn(**dict(reversed(list(kwargs.items()))))
    except OK_ERRORS:
        pass


def bad_values(type_word):
    """(bad value, exception type, message after the prefix or None)."""
    if type_word == "series":
        return [
            ([1.0, 2.0], TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
            (None, TypeError, "'NoneType' object cannot be converted to 'PyArray<T, D>'"),
            (np.arange(3), TypeError, "type mismatch:\n from=int64, to=float64"),
            (np.ones(3, dtype=np.float32), TypeError, "type mismatch:\n from=float32, to=float64"),
            (np.ones((2, 2)), TypeError, "dimensionality mismatch:\n from=2, to=1"),
        ]
    if type_word == "candles":
        return [
            ([[1.0] * 6], TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
            (np.ones(6), TypeError, "dimensionality mismatch:\n from=1, to=2"),
            (np.ones((2, 6), dtype=np.int64), TypeError, "type mismatch:\n from=int64, to=float64"),
        ]
    if type_word == "int64":
        return [
            (np.ones(3), TypeError, "type mismatch:\n from=float64, to=int64"),
            (np.ones((1, 1), dtype=np.int64), TypeError, "dimensionality mismatch:\n from=2, to=1"),
        ]
    if type_word == "uint":
        return [
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
            ("3", TypeError, "'str' object cannot be interpreted as an integer"),
        ]
    if type_word == "int":
        return [(2**63, OverflowError, None), (1.5, TypeError, None)]
    if type_word == "float":
        return [("x", TypeError, None), (None, TypeError, None)]
    if type_word == "str":
        return [(1, TypeError, "'int' object cannot be converted to 'PyString'"),
                ("\ud800", UnicodeEncodeError, None)]
    if type_word == "bool":
        return [(1, TypeError, "'int' object cannot be converted to 'PyBool'"),
                (None, TypeError, "'NoneType' object cannot be converted to 'PyBool'")]
    raise AssertionError(type_word)


@pytest.mark.parametrize("name,params", NUMERIC, ids=IDS)
def test_conversion_messages(name, params):
    fn = getattr(korva_rust, name)
    for pname, type_word in params:
        for bad, exc, message in bad_values(type_word):
            with pytest.raises(exc) as e:
                fn(*call_args(params, **{pname: bad}))
            if exc is TypeError:
                assert str(e.value).startswith(f"argument '{pname}': ")
                assert type(e.value.__cause__) is TypeError
                assert str(e.value) == f"argument '{pname}': {e.value.__cause__}"
                if message is not None:
                    assert str(e.value.__cause__) == message
            else:
                assert type(e.value) is exc
                assert not str(e.value).startswith("argument")


@pytest.mark.parametrize("name,params", NUMERIC, ids=IDS)
def test_first_failing_conversion_wins(name, params):
    if len(params) < 2:
        return
    fn = getattr(korva_rust, name)
    args = [object()] * len(params)
    with pytest.raises(TypeError) as e:
        fn(*args)
    assert str(e.value).startswith(f"argument '{params[0][0]}': ")


def test_accepted_scalars():
    x = np.arange(10.0)
    assert np.array_equal(korva_rust.sma(x, True), x)  # bool is an int for uint
    assert np.array_equal(korva_rust.sma(x, np.int32(1)), x)

    class Idx:
        def __index__(self):
            return 2

    assert np.array_equal(korva_rust.sma(x, Idx()), korva_rust.sma(x, 2), equal_nan=True)
    with pytest.raises(TypeError, match="^argument 'sequential': 'int' object cannot be converted to 'PyBool'$"):
        korva_rust.t3(np.ones((3, 6)), 5, 0.7, "close", 1)


def hostile(type_word):
    if type_word == "series":
        return [np.array([]), np.array([np.nan, np.inf, -np.inf, 0.0, -0.0]), np.ones(1)]
    if type_word == "candles":
        return [np.zeros((0, 6)), np.full((3, 6), np.nan), np.ones((4, 2)), np.ones((1, 6))]
    if type_word == "int64":
        return [np.array([], dtype=np.int64), np.array([-(2**63), 2**63 - 1], dtype=np.int64)]
    if type_word == "uint":
        return [0, 1, 2**64 - 1, 2**63]
    if type_word == "int":
        return [0, -(2**63), 2**63 - 1]
    if type_word == "float":
        return [0.0, -1.0, np.nan, np.inf, 1e308]
    if type_word == "str":
        return ["", "HL2", "é"]
    if type_word == "bool":
        return [False, True]
    raise AssertionError(type_word)


@pytest.mark.parametrize("name,params", NUMERIC, ids=IDS)
def test_no_input_crashes_or_hangs(name, params):
    """Each hostile value in each position, the others valid: a result or a
    clear exception, never a crash, hang or giant allocation."""
    fn = getattr(korva_rust, name)
    for pname, type_word in params:
        for value in hostile(type_word):
            try:
                fn(*call_args(params, **{pname: value}))
            except OK_ERRORS:
                pass
    # Everything empty/huge at once.
    try:
        fn(*[hostile(t)[0] if t in ("series", "candles", "int64") else hostile(t)[-1] for _, t in params])
    except OK_ERRORS:
        pass
