"""Renders the function table (the JSON that tools/describe.cpp prints) as
the type stubs shipped in the wheel or as the function reference docs/functions.md,
and the coordinator's table of operations (coordination/tools/describe.cpp)
as its reference docs/coordinator.md.

    python tools/render_table.py stubs functions.json korva_rust-stubs/__init__.pyi
    python tools/render_table.py docs functions.json docs/functions.md
    python tools/render_table.py coordinator coordinator.json docs/coordinator.md

The first also writes the stubs of korva_rust.stream beside the module's
(stream.pyi). The build runs it and writes both JSON files; `make docs` runs the
other two, and tests check that the committed references match the tables."""

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
            "returns at that position on the whole history fed so far, bit for bit; peek() returns what update() "
            "would, feeding nothing.",
            4,
        ),
        "    def update(self, value: _V, /) -> _One: ...",
        "    def peek(self, value: _V, /) -> _One: ...",
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
        "computed value: NaN, zeros, or copies of the input, as stated; \"none\" means",
        "position 0 already holds a value. A count is an expression in the",
        "parameters and `n`, the input's length (`//` and `%` are integer division",
        "and remainder), capped at `n`. Where it depends on the data it is the count",
        "for data without NaN.",
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
                out[-1] += f" Warm-up: {warmup_text(fn)}."
            if fn.get("stream"):
                how = f"{fn['stream']}; see the [guide](guide.md#streams)"
                out += ["", f"Streams: `korva_rust.stream.{fn['name']}` ({how})."]
            out += ["", "```text", fn["doc"], "```"]
    return "\n".join(out) + "\n"


def mib(n):
    return f"{n} bytes ({n // 1048576} MiB)" if n % 1048576 == 0 else f"{n} bytes"


def failure(text, unreachable):
    """A failure text of the reference, with the reason when no request reaches it."""
    return f"`{text}` (unreachable: {unreachable[text]})" if text in unreachable else f"`{text}`"


def render_coordinator(table):
    lim = table["limits"]
    ops = table["operations"]
    out = [
        "# Coordinator reference",
        "",
        "<!-- Generated from the coordinator's table of operations",
        "     (coordination/src/connection.cpp) by `make docs` (tools/render_table.py);",
        "     do not edit by hand. -->",
        "",
        "`run_coordinator()` serves keyed shared state and publish/subscribe channels",
        "on a loopback TCP port (see the [guide](guide.md) for starting it). This is",
        "what crosses the socket.",
        "",
        "## Framing",
        "",
        "A request is three parts, sent back to back; any number of requests may",
        "follow one another on a connection, each answered in order:",
        "",
        f"1. The header line: one JSON object with the keys `version` (2), `token`, `namespace`"
        f" (1 to {lim['namespace']} bytes), `op`, `generation` (from \"hello\"; required by every other"
        f" operation) and `payload_bytes` (at most {mib(lim['payload'])}; absent means 0), or an array"
        " of those values in that order (the last two may be left off); then a line feed."
        f" At most {lim['header_line']} bytes with the line feed.",
        f"2. The body line: one JSON value (an object holding the operation's arguments) and a line feed,"
        f" at most {mib(lim['body_line'])} with the line feed. JSON nests at most {lim['nesting']} levels.",
        "3. The binary payload: exactly `payload_bytes` raw bytes, read whatever the operation.",
        "",
        "The first request's header, once valid, is answered `{\"ok\":true,\"value\":\"ready\"}` at",
        "once. Each reply is one line of compact JSON with sorted keys:",
        "`{\"ok\":true,\"value\":V}` or `{\"error\":E,\"ok\":false}`, E a text with a category prefix.",
        "",
        f"Deadlines: {lim['first_request_ms'] // 1000} s for the first request's header and body,"
        f" {lim['later_request_ms'] // 1000} s for later ones (from when the server starts waiting),"
        f" {lim['payload_ms'] // 1000} s for a payload; each reply write may take {lim['send_timeout_ms']} ms."
        " A connection that misses one is closed.",
        "",
        "Failures before the operation runs close the connection after their reply, in the order",
        "they are checked:",
        "",
        *(f"- `{e}`" for e in table["request_errors"]),
        "",
        f"Any operation may also fail with `{table['unavailable']}`"
        f" (unreachable: {table['unavailable_unreachable']}), and an unknown `op` gets"
        f" `{table['unknown_operation']}` (after the `key` checks of a keyed operation). Operation"
        " failures leave the connection open, except those of \"subscribe\". A server already serving"
        f" {lim['connections']} connections answers a new one `{table['connection_limit']}` and closes it.",
        "",
        f"Arguments: `key`, `channel` and `prefix` are strings of at most {lim['name']} bytes; `owner`"
        f" a string (1 to {lim['owner']} bytes for a lock); `ttl_ms` a JSON integer from 1 to 2^64-1"
        " (milliseconds); `amount` a signed 64-bit JSON integer; `members` an array of strings and"
        " `member` a string, each of hexadecimal digit pairs (kept in lower case). Keys and channels are"
        " scoped by the header's `namespace`.",
        "",
        "## Operations",
        "",
        "| `op` | Arguments | Payload | Reply |",
        "|---|---|---|---|",
    ]
    for op in ops:
        out.append(f"| [`{op['name']}`](#{op['name']}) | {op['arguments']} | {'yes' if op['payload'] else 'no'}"
                   f" | {op['reply']} |")
    for op in ops:
        out += ["", f"### {op['name']}", "", op["summary"], "",
                f"- Arguments: {op['arguments']}.",
                "- Payload: " + ("the operation's bytes." if op["payload"] else "none used (read and discarded)."),
                f"- Reply: {op['reply']}."]
        if op["errors"]:
            closes = " (each closes the connection)" if op["stream"] else ""
            out.append(f"- Failures{closes}: " + "; ".join(failure(e, op["unreachable"]) for e in op["errors"]) + ".")
    hb = table["heartbeat_frame"].rstrip("\n")
    out += [
        "",
        "## Stream frames",
        "",
        "After \"subscribe\" succeeds the server reads nothing more from the connection (a half-close",
        "by the subscriber keeps the stream) and writes only frames:",
        "",
        "- an event: the line `{\"channel\":C,\"payload_bytes\":N}` and a line feed, then the N payload bytes;",
        f"- a heartbeat: `{hb}` and a line feed, after {lim['heartbeat_ms'] // 1000} s without a frame.",
        "",
        f"Each frame must be written within {lim['frame_write_ms'] // 1000} s of being taken for writing."
        " A stream whose write fails or misses that deadline ends there: the connection closes without a"
        " message, possibly inside the frame whose write failed, but never with another frame after it.",
        "",
        "## Budgets",
        "",
        f"- Event frame: at most {mib(lim['frame'])}.",
        f"- Per subscription: at most {mib(lim['subscription_queue'])} of queued frames, each counted with"
        f" {lim['event_overhead']} bytes more; a subscriber that falls that far behind is dropped.",
        f"- All subscriptions: at most {mib(lim['global_queue'])} of distinct queued frames; a publish"
        " beyond it is refused.",
        f"- Subscriptions: at most {lim['subscriptions']} at once. Connections: {lim['connections']}.",
        f"- Store: values up to {mib(lim['value_size'])}, at most {lim['entries']} entries and"
        f" {mib(lim['usage'])} in all, each entry counted as its namespace, key and value plus"
        f" {lim['entry_overhead']} bytes (a set's value as its members' lengths plus"
        f" {lim['member_overhead']} bytes each).",
    ]
    return "\n".join(out) + "\n"


RENDERERS = {"stubs": render_stubs, "docs": render_docs, "coordinator": render_coordinator}


def main(argv):
    if len(argv) != 4 or argv[1] not in RENDERERS:
        sys.exit(__doc__)
    table = load(argv[2])
    text = RENDERERS[argv[1]](table)
    with open(argv[3], "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    if argv[1] == "stubs":
        beside = os.path.join(os.path.dirname(argv[3]), "stream.pyi")
        with open(beside, "w", encoding="utf-8", newline="\n") as f:
            f.write(render_stream_stubs(table))


if __name__ == "__main__":
    main(sys.argv)
