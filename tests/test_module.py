"""The module object: registration, signatures, docstrings, import rules and
the internal-error exception."""
import importlib
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import function_table
import korva_rust
from interface import FUNCTIONS, TABLE


def test_module_surface_is_the_table():
    """The one place the module is compared with the table as a whole: the
    functions in registration order, and the streams the table says stream."""
    assert korva_rust.__all__ == [name for name, _ in FUNCTIONS]
    assert "stream" not in korva_rust.__all__
    assert sorted(korva_rust.stream.__all__) == sorted(f["name"] for f in TABLE["functions"] if f["stream"])
    for name in korva_rust.__all__:
        fn = getattr(korva_rust, name)
        assert fn.__name__ == name
        assert fn.__module__ == "korva_rust"
        assert fn.__self__ is korva_rust


@pytest.mark.parametrize("name,params", FUNCTIONS, ids=[n for n, _ in FUNCTIONS])
def test_signature_and_docstring_layout(name, params):
    fn = getattr(korva_rust, name)
    sig = inspect.signature(fn)
    assert list(sig.parameters) == [p for p, _ in params]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert all(p.default is inspect.Parameter.empty for p in sig.parameters.values())
    assert fn.__text_signature__ == "(" + ", ".join(p for p, _ in params) + ")"
    assert fn.__doc__ and not fn.__doc__.startswith(name + "(")


def test_documented_docstrings():
    assert korva_rust.sma.__doc__ == "Calculate Simple Moving Average (SMA)"
    assert korva_rust.run_coordinator.__doc__ == (
        "Run shared state in a dedicated child; never block the dashboard process."
    )
    lines = korva_rust.ema_last.__doc__.splitlines()
    assert lines[0] == "Last value of EMA — runs the exact same `prev = alpha*x + (1-alpha)*prev`"
    assert lines[4] == ""
    assert lines[-1] == "exactly as in `ema`."
    assert korva_rust.sma_last.__doc__.splitlines()[-1] == (
        "`n < period` returns NaN, an all-NaN final window returns NaN."
    )


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("korva_rust")
    try:
        again = importlib.import_module("korva_rust")
        assert again is first
    finally:
        sys.modules["korva_rust"] = first


def test_internal_error_is_not_an_exception_and_module_stays_usable():
    err = korva_rust.InternalError
    assert err.__bases__ == (BaseException,)
    caught = None
    try:
        try:
            korva_rust.zlema(np.arange(5.0), 0)
        except Exception:  # must not catch it
            pytest.fail("InternalError was caught by 'except Exception'")
    except err as e:
        caught = e
    assert caught is not None
    assert korva_rust.sma(np.arange(3.0), 2)[2] == 1.5


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="limits the address space through /proc and setrlimit")
def test_failed_allocation_is_a_memory_error():
    """A result that cannot be allocated raises MemoryError, which callers
    catch as an Exception, and the module stays usable. The child process
    limits its own address space to 64 MiB beyond what it holds, so the
    128 MiB result cannot be had."""
    code = textwrap.dedent(
        """
        import resource
        import numpy as np
        import korva_rust
        x = np.ones(1 << 24)
        with open("/proc/self/status") as f:
            held = next(int(line.split()[1]) << 10 for line in f if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (held + (64 << 20),) * 2)
        try:
            korva_rust.sma(x, 3)
        except MemoryError as e:
            print("MemoryError:", e)
        print(korva_rust.sma(x[:3], 2)[-1])
        """
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["MemoryError: memory allocation failed", "1.0"]


def test_subinterpreter_import_is_refused():
    code = textwrap.dedent(
        """
        import _testcapi, korva_rust
        r = _testcapi.run_in_subinterp(
            "import sys\\n"
            "try:\\n"
            "    import korva_rust\\n"
            "except ImportError as e:\\n"
            "    sys.stderr.write('refused: ' + str(e))\\n"
        )
        """
    )
    try:
        import _testcapi  # noqa: F401
    except ImportError:
        pytest.skip("interpreter built without _testcapi")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "refused: " in proc.stderr and "subinterpreters" in proc.stderr


# Kernel levels by rank; "neon" is aarch64's baseline.
LEVEL_RANK = {"baseline": 0, "neon": 0, "avx2": 1, "avx512": 2}


def level_in_subprocess(value):
    env = {k: v for k, v in os.environ.items() if k != "KORVA_SIMD"}
    if value is not None:
        env["KORVA_SIMD"] = value
    code = "import korva_rust; print(korva_rust._simd_level)"
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, env=env)


def test_kernel_level_follows_korva_simd():
    """The level runs of the test suite rely on KORVA_SIMD taking effect; a
    level above the processor's gives the processor's, a misspelt one refuses
    the import instead of passing unnoticed."""
    forced = os.environ.get("KORVA_SIMD")
    if forced:
        assert korva_rust._simd_level == forced
    native = level_in_subprocess(None)
    assert native.returncode == 0, native.stderr
    native = native.stdout.strip()
    assert native in LEVEL_RANK
    for name, rank in LEVEL_RANK.items():
        got = level_in_subprocess(name)
        assert got.returncode == 0, got.stderr
        want = native if rank >= LEVEL_RANK[native] else {"neon": "baseline"}.get(name, name)
        assert got.stdout.strip() == want, name
    bad = level_in_subprocess("avx-512")
    assert bad.returncode != 0 and "ImportError: KORVA_SIMD must be" in bad.stderr


def test_function_reference_matches_the_table():
    """docs/functions.md is rendered from the table the build describes
    (functions.json, written next to the stubs); `make docs` renews it."""
    table = function_table.load()
    assert all(getattr(korva_rust, f["name"]).__doc__ == f["doc"] for f in table["functions"])
    spec = importlib.util.spec_from_file_location("render_table", function_table.ROOT / "tools" / "render_table.py")
    render = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(render)
    committed = (function_table.ROOT / "docs" / "functions.md").read_text(encoding="utf-8")
    assert committed == render.render_docs(table), "docs/functions.md is out of date: run `make docs`"
