"""The guide's recipes run as written: the stream examples (one history,
the forming bar, saved streams resumed) in order, and the process-pool
recipe as a script under each start method, where an InternalError in a
worker must reach the caller as an exception instead of leaving the result
waiting. Every wait has a timeout, so a fault fails instead of hanging."""

import multiprocessing
import pathlib
import re
import subprocess
import sys

import pytest

GUIDE = pathlib.Path(__file__).resolve().parents[1] / "docs" / "guide.md"


def blocks(marker):
    text = GUIDE.read_text(encoding="utf-8")
    return re.findall(rf"<!-- {marker}[^>]*-->\n```python\n(.*?)```", text, re.S)


def test_stream_recipes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the saved streams' file
    code = blocks("stream-recipe")
    assert len(code) == 3
    scope = {}
    for block in code:
        exec(compile(block, str(GUIDE), "exec"), scope)
    assert len(scope["rsi"]) == 1003 and len(scope["streams"]["rsi"]) == 1004


@pytest.mark.parametrize("method", multiprocessing.get_all_start_methods())
def test_pool_recipe(tmp_path, method):
    (code,) = blocks("pool-recipe")
    script = tmp_path / "recipe.py"
    script.write_text(code.replace("multiprocessing.Pool(2)", f"multiprocessing.get_context({method!r}).Pool(2)"))
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    first, second = run.stdout.splitlines()
    assert first.startswith("[") and second == "korva_rust.InternalError: assertion failed: index < dim"
