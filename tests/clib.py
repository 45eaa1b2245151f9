"""The C library's math functions, called directly: references must round
exactly like the module, and Python's math module raises where C returns
inf or NaN while NumPy may use its own vectorised routines."""
import ctypes
import ctypes.util

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name, _argc in (("pow", 2), ("log", 1), ("exp", 1)):
    _f = getattr(_libm, _name)
    _f.restype = ctypes.c_double
    _f.argtypes = (ctypes.c_double,) * _argc


def cpow(a, b):
    return _libm.pow(float(a), float(b))


def clog(a):
    return _libm.log(float(a))


def cexp(a):
    return _libm.exp(float(a))
