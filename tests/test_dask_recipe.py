"""The guide's recipe for many symbols on Dask workers, run as written: a
LocalCluster of two worker processes, data loaded inside the tasks, results
equal to a plain loop bit for bit, and errors (InternalError included) raised
in the caller instead of leaving a future waiting. Every wait has a timeout,
so a fault fails the test instead of hanging it."""

import math
import pathlib
import re
import types

import pytest

distributed = pytest.importorskip("dask.distributed")

import korva_rust  # noqa: E402

GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "guide.md"
TIMEOUT = 120


def recipe():
    """The guide's code block, as a module that is not importable by name, so
    that its functions travel to the workers by value, as a script's do."""
    text = GUIDE.read_text(encoding="utf-8")
    code = re.search(r"<!-- dask-recipe:[^>]*-->\n```python\n(.*?)```", text, re.S).group(1)
    module = types.ModuleType("guide_recipe")
    exec(compile(code, str(GUIDE), "exec"), module.__dict__)
    return module


def same(a, b):
    return a.keys() == b.keys() and all(math.isnan(a[k]) and math.isnan(b[k]) or a[k].hex() == b[k].hex() for k in a)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None, timeout=TIMEOUT
    ) as cluster:
        with distributed.Client(cluster, timeout=TIMEOUT) as c:
            yield c


def test_recipe_matches_a_plain_loop(client):
    r = recipe()
    symbols = [f"SYM{i:04d}" for i in range(40)]
    results = r.run_all(client, symbols, timeout=TIMEOUT)
    assert list(results) == symbols
    for s in symbols:
        assert same(results[s], r.indicators(s))


def test_errors_reach_the_caller(client):
    r = recipe()

    def narrow(symbol):
        return korva_rust.atr_last(r.load_candles(symbol)[:, :3], 14)  # no high and low columns

    def wrong_type(symbol):
        return korva_rust.sma(list(r.load_candles(symbol)[:, 2]), 14)

    with pytest.raises(r.KorvaError, match="InternalError: assertion failed: index < dim"):
        client.submit(r.guarded(narrow), "SYM0001").result(timeout=TIMEOUT)
    with pytest.raises(TypeError, match="argument 'source'"):
        client.submit(r.guarded(wrong_type), "SYM0001").result(timeout=TIMEOUT)
    # The workers are still serving.
    assert same(r.run_all(client, ["SYM0002"], timeout=TIMEOUT)["SYM0002"], r.indicators("SYM0002"))
