"""The module's published interface as the function table describes it
(functions.json, see function_table.py): every function with its parameter
names and type words, in registration order. Nothing else in the tests lists
functions: a function enrolled by its table row reaches every test that
iterates these lists, and tests derive valid and invalid arguments from the
types."""
import function_table

TABLE = function_table.load()

# The tests know an array argument by what it holds: a writeable candle
# matrix is a candle matrix, an int64 series is int64 data.
_WORDS = {"candles_mut": "candles", "int64_series": "int64"}

FUNCTIONS = [(f["name"], [(p["name"], _WORDS.get(p["type"], p["type"])) for p in f["params"]])
             for f in TABLE["functions"]]
# Everything but what serves until the process ends (run_coordinator).
NUMERIC = [entry for entry, f in zip(FUNCTIONS, TABLE["functions"]) if f["result"] != "noreturn"]


def valid(type_word, n=40):
    """A well-formed argument of the given type word."""
    import numpy as np

    rng = np.random.default_rng(1)
    return {
        "series": rng.random(n) + 1.0,
        "candles": np.column_stack([np.arange(n) * 60000.0, *(rng.random((5, n)) + 1.0)]),
        "int64": np.arange(n, dtype=np.int64),
        "uint": 3,
        "int": 2,
        "float": 0.5,
        "str": "close",
        "bool": True,
    }[type_word]
