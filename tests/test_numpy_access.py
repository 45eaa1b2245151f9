"""NumPy is found at first use, without warnings, and its absence is a clear
internal error rather than a crash."""
import subprocess
import sys
import textwrap


def run(code):
    return subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def test_import_and_first_call_emit_no_warning():
    proc = run(
        """
        import korva_rust, numpy
        print(korva_rust.sma(numpy.arange(4.0), 2)[-1])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "2.5"


def test_module_imports_without_touching_numpy():
    proc = run(
        """
        import sys, korva_rust
        assert "numpy" not in sys.modules
        print(korva_rust.sum_floats.__name__)
        """
    )
    assert proc.returncode == 0, proc.stderr


def test_missing_capsule_is_an_internal_error():
    proc = run(
        """
        import sys, numpy, korva_rust
        x = numpy.arange(4.0)
        sys.modules["numpy._core.multiarray"] = None
        sys.modules["numpy.core.multiarray"] = None
        try:
            korva_rust.sma(x, 2)
        except korva_rust.InternalError as e:
            print(e)
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "Failed to access NumPy array API capsule"
