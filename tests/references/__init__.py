"""Plain-Python references of the numeric functions, one place for all of
them, keyed by the function's name. A reference takes the function's own
arguments (arrays as the caller passes them, views included) and returns
what the function returns, doing the same floating-point operations in the
same order. Each family's module registers its references below; the
table-driven test (tests/test_table.py) runs every registered one against
the module over the input layouts and hostile series."""
import importlib

import numpy as np

REFERENCES = {}


def register(**refs):
    """name=reference pairs; a name registered twice is an error."""
    for name, ref in refs.items():
        assert name not in REFERENCES, name
        REFERENCES[name] = ref


def on_lists(ref):
    """A reference written over plain lists: 1-D arrays become lists of
    Python floats, everything else passes through."""
    def call(*args):
        return ref(*(a.tolist() if isinstance(a, np.ndarray) and a.ndim == 1 else a for a in args))
    call.__name__ = ref.__name__
    return call


# Each family's module registers its references when imported.
FAMILIES = ["core_averages", "weighted_averages", "adaptive_averages", "volume_averages", "oscillators",
            "other_oscillators", "stochastic", "trend", "volume", "bands", "channels", "filters", "cycles", "candles",
            "statistics", "array_helpers"]
for _family in FAMILIES:
    importlib.import_module(f"{__name__}.{_family}")
