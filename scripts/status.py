"""Regenerates the README's status table from the function table
(src/module/table.cpp): `fn<...>` rows are built, `todo(...)` rows are not.
run_coordinator is built once the coordinator's stub is gone."""
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
BEGIN, END = "<!-- status:begin -->", "<!-- status:end -->"


def rows():
    text = (ROOT / "src/module/table.cpp").read_text()
    out = []
    for m in re.finditer(r'^\s*(?:fn<[^>]+>\("(\w+)"|todo\("(\w+)"|\{"(run_coordinator)")', text, re.M):
        built_name, todo_name, coord = m.groups()
        if coord:
            built = not (ROOT / "coordination/src/coordinator_stub.cpp").exists()
            out.append((coord, built))
        else:
            out.append((built_name or todo_name, built_name is not None))
    return out


def main():
    table = rows()
    assert len(table) == 109, len(table)
    done = sum(b for _, b in table)
    lines = [f"{done} of {len(table)} functions built; the others raise NotImplementedError.", "",
             "| # | function | status |", "|---|---|---|"]
    lines += [f"| {i} | `{name}` | {'built' if b else 'not yet'} |" for i, (name, b) in enumerate(table, 1)]
    readme = ROOT / "README.md"
    text = readme.read_text()
    start, end = text.index(BEGIN) + len(BEGIN), text.index(END)
    readme.write_text(text[:start] + "\n" + "\n".join(lines) + "\n" + text[end:])
    print(f"{done}/{len(table)} built")


if __name__ == "__main__":
    main()
