"""Makes the wheel of another platform from the native one.

    pack_wheel.py NATIVE_WHEEL BINARY PLATFORM_TAG OUTDIR

The native wheel (built by scikit-build-core from pyproject.toml) holds the
metadata, the version and the type stubs, which are the same on every
platform; only the extension module and the platform tag differ. The wheel
is unpacked, its module replaced by BINARY (named as the platform's CPython
looks for it), its tags set to cp312-abi3-PLATFORM_TAG (several platform
tags joined by dots, as in a wheel's name), and packed again by
`wheel pack`, which writes the RECORD."""

import pathlib
import subprocess
import sys
import tempfile


def module_name(binary):
    return "korva_rust.pyd" if binary.suffix == ".pyd" else "korva_rust.abi3.so"


def main():
    native, binary, platform, outdir = sys.argv[1:5]
    binary = pathlib.Path(binary)
    with tempfile.TemporaryDirectory() as tmp:
        unpack = [sys.executable, "-m", "wheel", "unpack", "-d", tmp, native]
        subprocess.run(unpack, check=True, stdout=subprocess.DEVNULL)
        (root,) = pathlib.Path(tmp).iterdir()
        modules = [p for p in root.iterdir() if p.name.startswith("korva_rust.") and p.suffix in (".so", ".pyd")]
        if len(modules) != 1:
            sys.exit(f"{native}: expected one extension module, found {[p.name for p in modules]}")
        modules[0].unlink()
        (root / module_name(binary)).write_bytes(binary.read_bytes())
        (info,) = root.glob("*.dist-info")
        wheel_file = info / "WHEEL"
        lines = [line for line in wheel_file.read_text().splitlines() if line and not line.startswith("Tag:")]
        lines += [f"Tag: cp312-abi3-{tag}" for tag in platform.split(".")]
        wheel_file.write_text("\n".join(lines) + "\n")
        (info / "RECORD").unlink()
        pathlib.Path(outdir).mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, "-m", "wheel", "pack", "-d", outdir, str(root)], check=True)


if __name__ == "__main__":
    main()
