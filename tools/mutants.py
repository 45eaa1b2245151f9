"""Mutation testing: does the test suite notice a small fault?

Applies a seeded sample of small source faults, one at a time, to a mirror
of the tracked files, rebuilds incrementally and reports for each whether
the checks fail ("killed") or pass ("survived"):

- flipped or off-by-one comparisons (`<` and `<=`, `>` and `>=`, `==` and
  `!=`), `&&` and `||` swapped, `std::max` and `std::min` swapped;
- whole-number constants and index offsets moved by one (`i - 1`, `+ 2`);
- dropped guards: the condition of an `if` that throws, fails a request or
  returns early replaced by `false`; NaN tests (`std::isnan`) made false;
- swapped operands of a subtraction or division of two names;
- warm-up statements of the function table moved by one.

The sample is drawn per area (numeric kernels and steps, streams, the
table's warm-up statements, the argument layer, the coordinator's store,
protocol and channels), so each gets its share.

Stages, cheapest first; the first that fails kills the mutant:
1. numeric sources: the golden harness's file compared with the unmutated
   build's, and the harness's scalar/vector step check (`--steps`);
2. the test suite on the mutant build (`make check`'s suite; the
   coordinator's tests alone for coordinator sources), stopping at the first
   failure.
A mutant that does not compile is "stillborn" and left out of the score.

    .venv312/bin/python tools/mutants.py [--count 60] [--seed 1] [--area NAME]
                                         [--list] [--report build/mutants/report.md]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "mutants"
TREE = WORK / "tree"
BUILD = WORK / "build"
TIMEOUT = 900  # seconds per stage: a mutant that makes a loop endless is killed by it

NUMERIC_FAMILIES = ("bands", "candle", "ehlers", "helpers", "moving_averages", "oscillators", "statistical",
                    "trading_hours", "trend", "volume")

# Share of the sample per area.
AREAS = {
    "kernels": 0.40,
    "streams": 0.15,
    "warm-up": 0.10,
    "arguments": 0.10,
    "coordinator": 0.25,
}


def area_of(path: str) -> str | None:
    parts = Path(path).parts
    if path == "src/module/table.cpp":
        return "warm-up"
    if path == "src/module/args.cpp":
        return "arguments"
    if parts[:2] == ("coordination", "src") and Path(path).stem in ("store", "protocol", "channels"):
        return "coordinator"
    if parts[0] == "src" and parts[1] in NUMERIC_FAMILIES and path.endswith((".cpp", ".hpp")):
        name = Path(path).name
        if name.startswith("stream") or name == "streams.cpp":
            return "streams"
        if name.endswith("_windows.cpp"):
            return None
        return "kernels"
    return None


@dataclass
class Mutant:
    path: str
    line: int  # 1-based
    operator: str
    before: str
    after: str

    def describe(self) -> str:
        return f"{self.path}:{self.line} [{self.operator}] {self.before.strip()} => {self.after.strip()}"


NAME = r"[A-Za-z_][\w.]*(?:\[[^\[\]]+\])?"
# (operator name, pattern, replacement); each match of a pattern on a line is
# one candidate site.
OPERATORS = [
    ("compare", re.compile(r"(?<=\S) <= (?=\S)"), " < "),
    ("compare", re.compile(r"(?<=\S) < (?=\S)"), " <= "),
    ("compare", re.compile(r"(?<=\S) >= (?=\S)"), " > "),
    ("compare", re.compile(r"(?<=\S) > (?=\S)"), " >= "),
    ("equality", re.compile(r"(?<=\S) == (?=\S)"), " != "),
    ("equality", re.compile(r"(?<=\S) != (?=\S)"), " == "),
    ("logic", re.compile(r" && "), " || "),
    ("logic", re.compile(r" \|\| "), " && "),
    ("extreme", re.compile(r"std::max\b"), "std::min"),
    ("extreme", re.compile(r"std::min\b"), "std::max"),
    ("constant", re.compile(r"(?<=[-+] )(\d+)\b(?![.\w'])"), None),  # n -> n + 1 (or n - 1)
    ("nan-check", re.compile(r"std::isnan\((?:[^()]|\([^()]*\))*\)"), "false"),
    ("swap", re.compile(rf"\b({NAME}) ([-/]) ({NAME})\b(?![\[(.])"), None),
]
# A guard: `if (<condition>) <throw | return ...>` on one line.
GUARD = re.compile(r"\bif \((.*)\) (?:throw|return|index_out_of_range|invalid)\b")
WARM = re.compile(r'\b(nans|zeros|copies)\("([^"]*)"')


def code_part(line: str) -> str:
    """The line without a trailing // comment (strings are left alone: the
    operators do not match inside the few that hold code-like text)."""
    i = line.find("//")
    return line if i < 0 else line[:i]


def sites(path: str, text: str) -> list[Mutant]:
    out: list[Mutant] = []
    in_block_comment = False
    for no, line in enumerate(text.splitlines(keepends=True), 1):
        stripped = line.strip()
        if in_block_comment:
            if "*/" in stripped:
                in_block_comment = False
            continue
        if stripped.startswith("/*"):
            in_block_comment = "*/" not in stripped
            continue
        if not stripped or stripped.startswith(("//", "#", "static_assert")):
            continue
        code = code_part(line)
        if area_of(path) == "warm-up":
            for m in WARM.finditer(code):
                expr = m.group(2)
                for alt in warm_variants(expr):
                    after = line[:m.start(2)] + alt + line[m.end(2):]
                    out.append(Mutant(path, no, "warm-up", line, after))
            continue
        if '"' in code and area_of(path) == "coordinator":
            # Reply texts and JSON keys: not code.
            code = re.sub(r'"(?:[^"\\]|\\.)*"', lambda s: " " * len(s.group(0)), code)
        for name, pattern, repl in OPERATORS:
            for m in pattern.finditer(code):
                if name == "constant":
                    n = int(m.group(1))
                    for alt in {n + 1, max(n - 1, 0)} - {n}:
                        after = line[:m.start(1)] + str(alt) + line[m.end(1):]
                        out.append(Mutant(path, no, name, line, after))
                    continue
                if name == "swap":
                    a, op, b = m.group(1), m.group(2), m.group(3)
                    if a == b or a[0].isdigit() or b[0].isdigit():
                        continue
                    after = line[:m.start()] + f"{b} {op} {a}" + line[m.end():]
                else:
                    after = line[:m.start()] + repl + line[m.end():]
                out.append(Mutant(path, no, name, line, after))
        g = GUARD.search(code)
        if g and "constexpr" not in code:
            after = line[:g.start(1)] + "false" + line[g.end(1):]
            out.append(Mutant(path, no, "guard", line, after))
    return out


def warm_variants(expr: str) -> list[str]:
    """Warm-up statements one off: each whole number moved by one, a
    max(...) reduced to its first argument."""
    out = []
    for m in re.finditer(r"(?<![\w.])(\d+)(?![\w.])", expr):
        n = int(m.group(1))
        out.append(expr[:m.start()] + str(n + 1) + expr[m.end():])
    mx = re.match(r"max\(([^,()]+(?:\([^()]*\))?),", expr)
    if mx:
        out.append(expr[:mx.start()] + mx.group(1) + expr[expr.index(")", mx.end()) + 1:])
    return out or [expr + " + 1"]


def tracked_files() -> list[str]:
    return subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, capture_output=True,
                          text=True).stdout.split()


def mirror() -> None:
    """The tracked files, copied where changed (so that an unchanged file
    keeps its time stamp and the incremental build stays incremental)."""
    for rel in tracked_files():
        src, dst = ROOT / rel, TREE / rel
        if not src.is_file():
            continue
        if dst.exists() and dst.read_bytes() == src.read_bytes():
            continue
        dst.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(src, dst)
    data = ROOT.parent / "shared"
    if data.exists() and not (WORK / "shared").exists():
        (WORK / "shared").symlink_to(data)


def run(cmd: list[str], env: dict | None = None, timeout: int = TIMEOUT, cwd: Path = ROOT) -> tuple[int, str]:
    try:
        p = subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)
        return p.returncode, p.stdout[-4000:] + p.stderr[-4000:]
    except subprocess.TimeoutExpired:
        return -1, "timed out"


def configure(python: str) -> None:
    if (BUILD / "build.ninja").exists():
        return
    env = dict(os.environ)
    env["PATH"] = str(Path(python).parent) + os.pathsep + env["PATH"]
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    code, out = run(["cmake", "-S", str(TREE), "-B", str(BUILD), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                     "-DKORVA_HARNESS=ON", f"-DPython_EXECUTABLE={python}"], env=env)
    if code:
        sys.exit("configure failed:\n" + out)


def build(target: str | None) -> tuple[int, str]:
    return run(["ninja", "-C", str(BUILD), "-j2"] + ([target] if target else []))


def golden_file(path: Path) -> tuple[int, str]:
    code, out = run([str(BUILD / "korva_golden"), str(path)])
    if code:
        return code, out
    return run([str(BUILD / "korva_golden"), "--steps"])


# The tests most likely to see a fault of each area, run before the rest.
FIRST_TESTS = {
    "kernels": ["tests/test_table.py"],
    "streams": ["tests/test_stream.py"],
    "warm-up": ["tests/test_table.py"],
    "arguments": ["tests/test_arguments.py", "tests/test_module.py", "tests/test_numpy_access.py"],
}


def suite(python: str, area: str) -> tuple[int, str]:
    """The suite on the mutant build: the area's own tests first, then the
    rest of what `make check` runs."""
    env = dict(os.environ, PYTHONPATH=str(BUILD), KORVA_GOLDEN=str(BUILD / "korva_golden"),
               HYPOTHESIS_PROFILE="quick")
    # A fixed search seed: a mutant is killed by what the suite finds every
    # time, not by a lucky draw.
    pytest = [python, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", "-n", "2", "--hypothesis-seed=0"]
    if area == "coordinator":
        return run([*pytest, "tests/coordinator"], env=env, cwd=TREE)
    first = FIRST_TESTS.get(area, [])
    if first:
        code, out = run([*pytest, *first], env=env, cwd=TREE)
        if code:
            return code, out
    # The coordinator's tests cannot see a numeric fault: its sources share nothing with them.
    rest = [f"--ignore={t}" for t in first] + ["--ignore=tests/coordinator"]
    return run([*pytest, "tests", *rest], env=env, cwd=TREE)


def sample(all_sites: list[Mutant], count: int, seed: int, areas: list[str]) -> list[Mutant]:
    rng = random.Random(seed)
    by_area: dict[str, list[Mutant]] = {a: [] for a in areas}
    for m in all_sites:
        a = area_of(m.path)
        if a in by_area:
            by_area[a].append(m)
    weights = {a: AREAS[a] for a in areas}
    total = sum(weights.values())
    chosen: list[Mutant] = []
    for a in areas:
        k = min(len(by_area[a]), max(1, round(count * weights[a] / total)))
        chosen += rng.sample(by_area[a], k)
    rng.shuffle(chosen)
    return chosen


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=60)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--area", action="append", choices=sorted(AREAS), help="only these areas (repeatable)")
    ap.add_argument("--list", action="store_true", help="print the sample and stop")
    ap.add_argument("--python", default=str(ROOT / ".venv312" / "bin" / "python"))
    ap.add_argument("--report", default=str(WORK / "report.md"))
    args = ap.parse_args()

    files = [f for f in tracked_files() if area_of(f)]
    all_sites = [m for f in files for m in sites(f, (ROOT / f).read_text())]
    chosen = sample(all_sites, args.count, args.seed, args.area or list(AREAS))
    print(f"{len(all_sites)} sites in {len(files)} files; {len(chosen)} mutants (seed {args.seed})")
    if args.list:
        for m in chosen:
            print(m.describe())
        return

    WORK.mkdir(parents=True, exist_ok=True)
    mirror()
    configure(args.python)
    code, out = build(None)
    if code:
        sys.exit("the unmutated build fails:\n" + out)
    baseline = WORK / "golden-baseline.txt"
    code, out = golden_file(baseline)
    if code:
        sys.exit("the unmutated harness fails:\n" + out)

    results = []
    for i, m in enumerate(chosen, 1):
        t0 = time.monotonic()
        target = TREE / m.path
        original = target.read_text()
        lines = original.splitlines(keepends=True)
        assert lines[m.line - 1] == m.before
        lines[m.line - 1] = m.after
        target.write_text("".join(lines))
        try:
            outcome, detail = judge(m, args.python, baseline)
        finally:
            target.write_text(original)
        secs = time.monotonic() - t0
        results.append({"mutant": m.describe(), "area": area_of(m.path), "outcome": outcome,
                        "detail": detail, "seconds": round(secs, 1)})
        print(f"[{i}/{len(chosen)}] {outcome:9s} {secs:6.1f}s  {m.describe()}", flush=True)
        if outcome.startswith("killed"):
            print(f"      {detail.strip().splitlines()[-1] if detail.strip() else ''}"[:200], flush=True)
    build(None)  # back to the unmutated objects

    scored = [r for r in results if r["outcome"] != "stillborn"]
    killed = [r for r in scored if r["outcome"].startswith("killed")]
    score = 100.0 * len(killed) / len(scored) if scored else 0.0
    lines = [f"# Mutants (seed {args.seed})", "",
             f"{len(killed)} of {len(scored)} killed ({score:.1f}%); "
             f"{len(results) - len(scored)} did not compile.", "",
             "| outcome | area | mutant |", "| --- | --- | --- |"]
    lines += [f"| {r['outcome']} | {r['area']} | `{r['mutant']}` |" for r in results]
    Path(args.report).write_text("\n".join(lines) + "\n")
    Path(args.report).with_suffix(".json").write_text(json.dumps(results, indent=1))
    print("\n".join(lines[:3]))
    print("survivors:")
    for r in results:
        if r["outcome"] == "survived":
            print("  " + r["mutant"])


def judge(m: Mutant, python: str, baseline: Path) -> tuple[str, str]:
    area = area_of(m.path)
    if area != "coordinator":
        code, out = build("korva_golden")
        if code:
            return "stillborn", out[-300:]
        mutated = WORK / "golden-mutant.txt"
        code, out = golden_file(mutated)
        if code:
            return "killed:golden", out[-300:]
        if mutated.read_bytes() != baseline.read_bytes():
            return "killed:golden", "golden file differs"
    code, out = build(None)
    if code:
        return "stillborn", out[-300:]
    code, out = suite(python, area)
    if code:
        failed = [ln for ln in out.splitlines() if ln.startswith("FAILED") or "Error" in ln]
        return "killed:tests", (failed[0] if failed else out[-300:])[:300]
    return "survived", ""


if __name__ == "__main__":
    main()
