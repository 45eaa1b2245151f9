"""The function table as the build describes it: functions.json, which
tools/describe.cpp writes next to the module in a development build and in
the wheel's build folder. Tests that need more than the module's own
surface (warm-ups, result members) read it here."""
import json
import os
import pathlib

import pytest

import korva_rust

ROOT = pathlib.Path(__file__).resolve().parents[1]


def table_path():
    named = os.environ.get("KORVA_TABLE")
    if named:
        return pathlib.Path(named)
    beside = pathlib.Path(korva_rust.__file__).parent / "functions.json"
    if beside.exists():
        return beside
    built = sorted([*ROOT.glob("build/*/functions.json"), *ROOT.glob("build*/functions.json")],
                   key=lambda p: p.stat().st_mtime)
    return built[-1] if built else None


def load():
    path = table_path()
    if path is None:
        pytest.skip("no functions.json: build the module with CMake first (or name it with KORVA_TABLE)")
    table = json.loads(path.read_text(encoding="utf-8"))
    # The description must come from the same table as the module under test.
    assert [f["name"] for f in table["functions"]] == korva_rust.__all__, f"{path} describes another build"
    return table
