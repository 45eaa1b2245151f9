"""Renders the function table (the JSON that tools/describe.cpp prints) as
the type stubs shipped in the wheel or as the function reference docs/functions.md.

    python tools/render_table.py stubs functions.json korva_rust-stubs/__init__.pyi

writes the stubs of korva_rust.stream beside the first (stream.pyi).
    python tools/render_table.py docs functions.json docs/functions.md

The build runs the first; `make docs` runs the second, and a test checks that
the committed reference matches the table."""

import json
import os
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

INTERNAL_ERROR_DOC = "An index or invariant that cannot hold for the given input. Derives from BaseException."


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


def docstring(fn):
    """The runtime docstring, plus what the stubs add for editors."""
    text = fn["doc"]
    extra = [f"Returns: {returns_text(fn)}."]
    if fn["warmup"]:
        extra.append(f"Warm-up (leading positions): {fn['warmup']}.")
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
        "from korva_rust import stream as stream",
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


STREAM_DATA = {
    "series": ("SupportsFloat", "NDArray[np.float64]"),
    "candles": ("_Row", "NDArray[np.float64]"),
}


def stream_types(fn):
    """(value fed, what update returns, what extend returns) of a stream."""
    data = next(p["type"] for p in fn["params"] if p["type"] in STREAM_DATA)
    value, array = STREAM_DATA[data]
    if fn["result"] == "tuple":
        one = "tuple[" + ", ".join("float" for _ in fn["outputs"]) + "]"
        many = "tuple[" + ", ".join("NDArray[np.float64]" for _ in fn["outputs"]) + "]"
    elif fn["result"] == "dict":
        one, many = "dict[str, float]", "dict[str, NDArray[np.float64]]"
    else:
        one, many = "float", "NDArray[np.float64]"
    return value, array, one, many


def stream_params(fn):
    return [p for p in fn["params"] if p["type"] not in STREAM_DATA and p["name"] != "sequential"]


def render_stream_stubs(table):
    streams = [fn for fn in table["functions"] if fn.get("stream")]
    out = [
        "# Type stubs of korva_rust.stream, generated from the function table by",
        "# tools/render_table.py during the build. Do not edit.",
        "from collections.abc import Sequence",
        "from typing import Generic, Self, SupportsFloat, SupportsIndex, TypeVar, final",
        "",
        "import numpy as np",
        "from numpy.typing import NDArray",
        "",
        "__all__ = [",
        *(f'    "{fn["name"]}",' for fn in streams),
        "]",
        "",
        "# A candle row: a 1-D float64 array (a row of a candle matrix) or a sequence of numbers.",
        "_Row = NDArray[np.float64] | Sequence[SupportsFloat]",
        '_V = TypeVar("_V", contravariant=True)',
        '_A = TypeVar("_A", contravariant=True)',
        '_One = TypeVar("_One", covariant=True)',
        '_Many = TypeVar("_Many", covariant=True)',
        "",
        "@final",
        "class Stream(Generic[_V, _A, _One, _Many]):",
        quote_doc(
            "A stream of one function: update() and extend() return, for each value fed, what the function "
            "returns at that position on the whole history fed so far, bit for bit.",
            4,
        ),
        "    def update(self, value: _V, /) -> _One: ...",
        "    def extend(self, values: _A, /) -> _Many: ...",
        "    def copy(self) -> Self: ...",
        "    def __copy__(self) -> Self: ...",
        "    def __deepcopy__(self, memo: object, /) -> Self: ...",
        "    def __len__(self) -> int: ...",
        "    def __reduce__(self) -> tuple[object, tuple[object, ...], bytes]: ...",
        "    def __setstate__(self, state: bytes, /) -> None: ...",
        "",
    ]
    for fn in streams:
        params = ", ".join(f"{p['name']}: {PARAMS[p['type']][0]}" for p in stream_params(fn))
        value, array, one, many = stream_types(fn)
        out.append(f"def {fn['name']}({params}) -> Stream[{value}, {array}, {one}, {many}]:")
        out.append(quote_doc(f"Stream of `{fn['name']}` ({fn['stream']}).", 4))
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
        'computed value: NaN, zeros, or copies of the input, as stated; "none" means',
        "position 0 already holds a value. Where it depends on the data it is the",
        "count for data without NaN.",
        "",
        "Functions marked with * also stream: `korva_rust.stream.<name>` gives, value by",
        "value, what the function returns at each new position of a growing history,",
        "bit for bit (see the [guide](guide.md#streams)).",
        "",
        "| Family | Functions |",
        "|---|---|",
    ]
    for fam in families:
        names = [fn["name"] for fn in fns if fn["family"] == fam]
        marked = [(n, "*" if any(fn["name"] == n and fn.get("stream") for fn in fns) else "") for n in names]
        out.append(f"| {fam} | " + ", ".join(f"[`{n}`](#{n}){m}" for n, m in marked) + " |")
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
                out[-1] += f" Warm-up: {fn['warmup']}."
            if fn.get("stream"):
                how = f"{fn['stream']}; see the [guide](guide.md#streams)"
                out += ["", f"Streams: `korva_rust.stream.{fn['name']}` ({how})."]
            out += ["", "```text", fn["doc"], "```"]
    return "\n".join(out) + "\n"


def main(argv):
    if len(argv) != 4 or argv[1] not in ("stubs", "docs"):
        sys.exit(__doc__)
    table = load(argv[2])
    text = render_stubs(table) if argv[1] == "stubs" else render_docs(table)
    with open(argv[3], "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    if argv[1] == "stubs":
        beside = os.path.join(os.path.dirname(argv[3]), "stream.pyi")
        with open(beside, "w", encoding="utf-8", newline="\n") as f:
            f.write(render_stream_stubs(table))


if __name__ == "__main__":
    main(sys.argv)
