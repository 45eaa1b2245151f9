"""Renders the function table (the JSON that tools/describe.cpp prints) as
the type stubs shipped in the wheel or as the function reference docs/functions.md.

    python tools/render_table.py stubs functions.json korva_rust-stubs/__init__.pyi
    python tools/render_table.py docs functions.json docs/functions.md

The build runs the first; `make docs` runs the second, and a test checks that
the committed reference matches the table."""
import json
import sys

# Parameter type words: stub annotation, and what the reference says.
PARAMS = {
    "series": ("NDArray[np.float64]", "1-D float64 array"),
    "candles": ("NDArray[np.float64]", "candle matrix"),
    "candles_mut": ("NDArray[np.float64]", "candle matrix, writeable"),
    "int64_series": ("NDArray[np.int64]", "1-D int64 array"),
    "uint": ("SupportsIndex", "int >= 0"),
    "int": ("SupportsIndex", "int"),
    "float": ("SupportsFloat", "float"),
    "str": ("str", "str"),
    "bool": ("bool", "bool"),
}
# Result kinds and the members of tuple/dict results.
RESULTS = {
    "series": ("NDArray[np.float64]", "float64 array"),
    "mask": ("NDArray[np.bool_]", "bool array"),
    "matrix": ("NDArray[np.float64]", "float64 matrix (2-D)"),
    "float": ("float", "float"),
    "int": ("int", "int"),
    "none": ("None", "None (changes its argument in place)"),
    "noreturn": ("NoReturn", "never returns (serves until the process ends)"),
}
ITEMS = {"series": "float64 array", "mask": "bool array", "float": "float"}

INTERNAL_ERROR_DOC = (
    "An index or invariant that cannot hold for the given input. Derives from BaseException."
)


def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def dict_class(fn):
    return "_" + "".join(part.capitalize() for part in fn["name"].split("_")) + "Result"


def stub_result(fn):
    kind = fn["result"]
    if kind == "tuple":
        items = [RESULTS[o["type"]][0] for o in fn["outputs"]]
        return f"tuple[{', '.join(items)}]"
    if kind == "dict":
        return dict_class(fn)
    return RESULTS[kind][0]


def returns_text(fn):
    kind = fn["result"]
    if kind == "tuple":
        return "tuple (" + ", ".join(f"{o['name']}: {ITEMS[o['type']]}" for o in fn["outputs"]) + ")"
    if kind == "dict":
        return "dict {" + ", ".join(f"'{o['name']}': {ITEMS[o['type']]}" for o in fn["outputs"]) + "}"
    return RESULTS[kind][1]


def warmup_text(fn):
    """The warm-up in words: each group of members with its count and fill."""
    if not fn["warmup"]:
        return None
    parts = []
    for w in fn["warmup"]:
        count = f"({w['count']})" if " if " in w["count"] else w["count"]
        if count == "0":
            text = "none"
        elif w["fill"] == "nan":
            text = f"{count} NaN"
        elif w["fill"] == "zeros":
            text = f"{count} zero" + ("" if count == "1" else "s")
        else:
            text = f"{count} copies of `{w['of']}`"
        if w["note"]:
            text += f" ({w['note']})"
        parts.append(f"{w['members']}: {text}" if w["members"] else text)
    return "; ".join(parts)


def docstring(fn):
    """The runtime docstring, plus what the stubs add for editors."""
    text = fn["doc"]
    extra = [f"Returns: {returns_text(fn)}."]
    if fn["warmup"]:
        extra.append(f"Warm-up (leading positions): {warmup_text(fn)}.")
    return text + "\n\n" + "\n".join(extra)


def quote_doc(text, indent):
    body = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    lines = body.split("\n")
    pad = " " * indent
    return pad + '"""' + ("\n".join(lines[:1] + [pad + l if l else "" for l in lines[1:]])) + "\n" + pad + '"""'


def render_stubs(table):
    out = [
        "# Type stubs of the korva_rust extension module, generated from its function",
        "# table by tools/render_table.py during the build. Do not edit.",
        "from typing import NoReturn, SupportsFloat, SupportsIndex, TypedDict",
        "",
        "import numpy as np",
        "from numpy.typing import NDArray",
        "",
        "__all__ = [",
        *(f'    "{fn["name"]}",' for fn in table["functions"]),
        "]",
        "",
        "class InternalError(BaseException):",
        quote_doc(INTERNAL_ERROR_DOC, 4),
        "",
    ]
    for fn in table["functions"]:
        if fn["result"] == "dict":
            out.append(f"class {dict_class(fn)}(TypedDict):")
            out += [f"    {o['name']}: {RESULTS[o['type']][0]}" for o in fn["outputs"]]
            out.append("")
    family = None
    for fn in table["functions"]:
        if fn["family"] != family:
            family = fn["family"]
            out += [f"# {family}", ""]
        params = ", ".join(f"{p['name']}: {PARAMS[p['type']][0]}" for p in fn["params"])
        out.append(f"def {fn['name']}({params}) -> {stub_result(fn)}:")
        out.append(quote_doc(docstring(fn), 4))
        out.append("")
    return "\n".join(out).rstrip("\n") + "\n"


def render_docs(table):
    fns = table["functions"]
    families = [f for f in table["families"] if any(fn["family"] == f for fn in fns)]
    out = [
        "# Function reference",
        "",
        "<!-- Generated from the function table (src/module/table.cpp) by",
        "     `make docs` (tools/render_table.py); do not edit by hand. -->",
        "",
        f"`korva_rust` exports {len(fns)} functions, listed here by family in",
        "registration order (the order of `korva_rust.__all__`). Every parameter is",
        "required and may be passed by position or by keyword. The conventions they",
        "share (the candle matrix, strided views, `*_last` forms, `sequential`,",
        "errors, the coordinator) are in the [guide](guide.md).",
        "",
        "Parameter types: " + "; ".join(f"*{w}*: {t[1]}" for w, t in PARAMS.items()) + ".",
        "A candle matrix has one candle per row: columns timestamp, open, close,",
        "high, low, volume. Array results are new arrays of the input's length unless",
        "the description says otherwise.",
        "",
        "Warm-up counts the leading positions of each series result that hold no",
        "computed value: NaN, zeros, or copies of the input, as stated; \"none\" means",
        "position 0 already holds a value. A count is an expression in the",
        "parameters and `n`, the input's length (`//` and `%` are integer division",
        "and remainder), capped at `n`. Where it depends on the data it is the count",
        "for data without NaN.",
        "",
        "| Family | Functions |",
        "|---|---|",
    ]
    for fam in families:
        names = [fn["name"] for fn in fns if fn["family"] == fam]
        out.append(f"| {fam} | " + ", ".join(f"[`{n}`](#{n})" for n in names) + " |")
    for fam in families:
        out += ["", f"## {fam}"]
        for fn in (f for f in fns if f["family"] == fam):
            params = ", ".join(f"{p['name']}: {p['type']}" for p in fn["params"])
            out += [
                "",
                f"### {fn['name']}",
                "",
                f"`{fn['name']}({params})`",
                "",
                f"Returns: {returns_text(fn)}.",
            ]
            if fn["warmup"]:
                out[-1] += f" Warm-up: {warmup_text(fn)}."
            out += ["", "```text", fn["doc"], "```"]
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) != 4 or argv[1] not in ("stubs", "docs"):
        sys.exit(__doc__)
    table = load(argv[2])
    text = render_stubs(table) if argv[1] == "stubs" else render_docs(table)
    with open(argv[3], "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv)
