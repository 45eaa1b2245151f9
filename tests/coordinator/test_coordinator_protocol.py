"""Framing, header validation, limits and exact reply bytes."""

import importlib.util
import json
import pathlib
import re
import socket
import time

import pytest

from client import Client, encode
from server_process import TOKEN

RESTART = "restart: coordinator generation changed; restart the Korva instance"
READY = b'{"ok":true,"value":"ready"}\n'


def err(text: str) -> bytes:
    return b'{"error":' + json.dumps(text).encode() + b',"ok":false}\n'


MALFORMED = err("invalid: malformed request header")


def exchange(server, data: bytes, ns: str = "proto") -> bytes:
    """Sends raw bytes on a fresh connection; returns everything until close."""
    with Client(server.port, TOKEN, ns, hello=False) as c:
        c.send(data)
        assert c.at_eof(), "connection should have been closed"
        return c.buffer


def hello_header(**fields) -> dict:
    header = {"version": 2, "token": TOKEN, "namespace": "proto", "op": "hello"}
    header.update(fields)
    return header


# -- header forms --------------------------------------------------------------

def test_hello_receives_ready_then_its_reply_with_exact_bytes(server):
    with Client(server.port, TOKEN, hello=False) as c:
        c.send(encode(hello_header()) + b"\n{}\n")
        assert c.read_line() == READY
        line = c.read_line()
    assert re.fullmatch(rb'\{"ok":true,"value":\{"generation":"\d+-\d+","protocol":2\}\}\n', line)


@pytest.mark.parametrize("header", [
    [2, TOKEN, "proto", "hello"],
    [2, TOKEN, "proto", "hello", None],
    [2, TOKEN, "proto", "hello", None, 0],
    hello_header(generation=None, payload_bytes=0),
    hello_header(generation="anything"),  # hello ignores the generation
])
def test_accepted_header_forms(server, header):
    with Client(server.port, TOKEN, hello=False) as c:
        c.send(encode(header) + b"\n{}\n")
        assert c.read_line() == READY
        assert json.loads(c.read_line())["ok"] is True


def test_surrounding_whitespace_is_allowed(server):
    with Client(server.port, TOKEN, hello=False) as c:
        c.send(b" \t\r" + encode(hello_header()) + b" \r\t \n \t{} \r\n")
        assert c.read_line() == READY
        assert json.loads(c.read_line())["ok"] is True


@pytest.mark.parametrize("line", [
    encode(hello_header(key="k")),                                   # unknown field
    b'{"version":2,"version":2,"token":"%s","namespace":"p","op":"hello"}' % TOKEN.encode(),
    encode({"version": 2, "token": TOKEN, "namespace": "p"}),         # op missing
    encode(hello_header(version=-1)),
    encode(hello_header(version=256)),
    encode(hello_header(version="2")),
    b'{"version":2.0,"token":"%s","namespace":"p","op":"hello"}' % TOKEN.encode(),
    b'{"version":2e0,"token":"%s","namespace":"p","op":"hello"}' % TOKEN.encode(),
    encode(hello_header(payload_bytes=-1)),
    encode(hello_header(payload_bytes=1.0)),
    encode(hello_header(payload_bytes=None)),
    b'{"version":2,"token":"%s","namespace":"p","op":"hello","payload_bytes":18446744073709551616}' % TOKEN.encode(),
    encode(hello_header(token=12)),
    encode(hello_header(generation=5)),
    encode(hello_header(op=["hello"])),
    encode(hello_header()) + b" x",                                  # trailing garbage
    encode(hello_header()) + b"{}",
    encode([2, TOKEN, "proto"]),                                     # 3 elements
    encode([2, TOKEN, "proto", "hello", None, 0, 0]),                # 7 elements
    encode([2, TOKEN, "proto", "hello", None, None]),
    encode([[2], TOKEN, "proto", "hello"]),
    b'"hello"', b"2", b"null", b"", b"   ", b"{", b"\xff\xfe",
    b"\xef\xbb\xbf" + encode(hello_header()),                       # byte order mark
    b'{"version":2,"token":"\xff","namespace":"p","op":"hello"}',     # invalid UTF-8
    # the same faults deep in a long string, where the scan reads eight bytes at a time
    b'{"version":2,"token":"%s\x01%s","namespace":"p","op":"hello"}' % (TOKEN[:20].encode(), TOKEN[21:].encode()),
    b'{"version":2,"token":"%s\xff%s","namespace":"p","op":"hello"}' % (TOKEN[:20].encode(), TOKEN[21:].encode()),
    b"[" * 200 + b"]" * 200,
])
def test_malformed_headers_close_with_one_reply(server, line):
    assert exchange(server, line + b"\n{}\n") == MALFORMED


def test_validation_order_and_texts(server):
    cases = [
        # wrong token beats every other fault
        (hello_header(token="x" * 40, version=3, namespace=""), "auth: invalid credentials"),
        (hello_header(token=TOKEN + "x"), "auth: invalid credentials"),
        (hello_header(token=TOKEN[:-1] + "u"), "auth: invalid credentials"),
        (hello_header(version=3, payload_bytes=10**9), "invalid: unsupported protocol or namespace"),
        (hello_header(namespace=""), "invalid: unsupported protocol or namespace"),
        (hello_header(namespace="n" * 129), "invalid: unsupported protocol or namespace"),
        (hello_header(namespace="é" * 65), "invalid: unsupported protocol or namespace"),  # 130 bytes
        (hello_header(payload_bytes=8388609, op="get"), "capacity: binary payload exceeds 8 MiB"),
        (hello_header(op="get"), "restart: coordinator generation changed; restart the Korva instance"),
        (hello_header(op="get", generation=None), RESTART),
        (hello_header(op="get", generation="1-2"), RESTART),
    ]
    for header, text in cases:
        # No body is sent: each refusal must come from the header alone.
        assert exchange(server, encode(header) + b"\n") == err(text), header


def test_namespace_of_128_bytes_and_largest_payload_are_accepted(server):
    with Client(server.port, TOKEN, "n" * 128) as c:
        value = bytes(range(256)) * 32768
        assert len(value) == 8388608
        assert c.put("big", value) is True
        assert c.get("big") == value
        assert c.delete("big") == 1


# -- framing ----------------------------------------------------------------------

def test_ready_only_on_first_request_and_pipelined_replies_in_order(server):
    with Client(server.port, TOKEN, "pipe", hello=False) as c:
        c.send(encode(hello_header(namespace="pipe")) + b"\n")
        assert c.read_line() == READY                        # before the body is sent
        c.send(b"{}\n")
        c.generation = json.loads(c.read_line())["value"]["generation"]
        batch = b"".join(c.request_bytes("increment", {"key": "n", "amount": 1}) for _ in range(50))
        batch += c.request_bytes("put", {"key": "v"}, b"\n\n{}")
        batch += c.request_bytes("get", {"key": "v"})
        # Requests spanning several reads of the receive buffer.
        batch += b"".join(c.request_bytes("put", {"key": f"big{i}"}, bytes([i]) * 6000) for i in range(3))
        batch += c.request_bytes("get", {"key": "big1"})
        batch += c.request_bytes("increment", {"key": "n", "amount": 0})
        c.send(batch)
        for i in range(1, 51):
            assert c.read_line() == b'{"ok":true,"value":%d}\n' % i
        assert c.read_line() == b'{"ok":true,"value":true}\n'
        assert c.read_line() == b'{"ok":true,"value":{"payload_bytes":4}}\n'
        assert c.read_exact(4) == b"\n\n{}"
        assert [c.read_line() for _ in range(3)] == [b'{"ok":true,"value":true}\n'] * 3
        assert c.read_line() == b'{"ok":true,"value":{"payload_bytes":6000}}\n'
        assert c.read_exact(6000) == b"\x01" * 6000
        assert c.read_line() == b'{"ok":true,"value":50}\n'


def test_header_line_limit_is_4096_bytes_with_line_feed(server):
    base = encode(hello_header())
    exact = base + b" " * (4095 - len(base)) + b"\n"
    assert len(exact) == 4096
    with Client(server.port, TOKEN, hello=False) as c:
        c.send(exact + b"{}\n")
        assert c.read_line() == READY
        assert json.loads(c.read_line())["ok"] is True
    over = base + b" " * (4096 - len(base)) + b"\n"
    assert exchange(server, over + b"{}\n") == b""
    # No line feed at all: closed once 4096 bytes are buffered.
    assert exchange(server, b" " * 5000) == b""


def test_body_rules(client):
    gen = client.generation

    def raw_body(body: bytes) -> bytes:
        return encode(client.header("get", generation=gen)) + b"\n" + body

    client.put("k", b"v")
    for body, text in [
        (b'"just a string"\n', "invalid: missing string key"),
        (b'[1,2]\n', "invalid: missing string key"),
        (b'{"key":5}\n', "invalid: missing string key"),
        (b'{"key":"' + b"k" * 1025 + b'"}\n', "invalid: key/channel/prefix exceeds 1024 bytes"),
        (b'{"op":"put","key":"nope"}\n', None),
    ]:
        client.send(raw_body(body))
        line = client.read_reply_line()
        if text is None:
            assert line == b'{"ok":true,"value":null}\n'
        else:
            assert line == err(text)  # and the connection stays open
    # The last occurrence of a repeated body key counts.
    client.send(raw_body(b'{"key":"missing","key":"k"}\n'))
    assert client.read_reply() == b"v"
    # A key of exactly 1024 bytes is fine.
    assert client.put("k" * 1024, b"x") is True


@pytest.mark.parametrize(
    "body", [b"\n", b"{} x\n", b"{\n", b"\xef\xbb\xbf{}\n", b"[" * 129 + b"]" * 129 + b"\n", b"\xff\n"]
)
def test_malformed_body_closes(server, body):
    with Client(server.port, TOKEN) as c:
        c.send(encode(c.header("get")) + b"\n" + body)
        assert c.at_eof()
        assert c.buffer == err("invalid: malformed request body")


def test_body_nesting_of_128_levels_is_accepted(client):
    client.send(encode(client.header("delete")) + b"\n" + b"[" * 128 + b"]" * 128 + b"\n")
    assert client.read_reply_line() == err("invalid: missing string key")


def test_body_line_limit_is_16_mib_with_line_feed(server):
    with Client(server.port, TOKEN) as c:
        prefix = b'{"key":"k","pad":"'
        body = prefix + b"p" * (16777216 - len(prefix) - 3) + b'"}\n'
        assert len(body) == 16777216
        c.send(encode(c.header("get")) + b"\n" + body)
        assert c.read_reply() is None
        c.send(encode(c.header("get")) + b"\n" + body[:-3] + b'p"}\n')
        assert c.at_eof(timeout=30)
        assert c.buffer == err("invalid: incomplete or oversized body")


def test_peer_closing_mid_body_gets_the_body_error(server):
    with Client(server.port, TOKEN) as c:
        c.send(encode(c.header("get")) + b'\n{"key":')
        c.sock.shutdown(socket.SHUT_WR)
        assert c.at_eof()
        assert c.buffer == err("invalid: incomplete or oversized body")


def test_payload_is_read_for_every_operation(client):
    # "get" ignores its payload, but the bytes must not be taken as the next header.
    assert client.call("get", {"key": "absent"}, b"x\ny\n" * 100) is None
    assert client.call("hello", {}, b"\n")["protocol"] == 2


def test_unknown_operation_reads_key_first(client):
    with pytest.raises(Exception, match="^unsupported: unknown operation$"):
        client.call("GET", {"key": "k"})
    with pytest.raises(Exception, match="^invalid: missing string key$"):
        client.call("frobnicate", {})
    assert client.call("get", {"key": "k"}) is None  # still open


# A short payload is read through the receive buffer, a long one straight
# into the value.
@pytest.mark.parametrize("size", [10, 100_000])
def test_peer_closing_mid_payload_gets_no_reply(server, size):
    with Client(server.port, TOKEN) as c:
        c.send(encode(c.header("put", payload_bytes=size)) + b'\n{"key":"k"}\n12345')
        c.sock.shutdown(socket.SHUT_WR)
        assert c.at_eof()
        assert c.buffer == b""


def test_hostile_bytes_do_not_disturb_the_server(server):
    import random
    rng = random.Random(7)
    for _ in range(40):
        junk = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 3000)))
        with Client(server.port, TOKEN, hello=False) as c:
            try:
                c.send(junk + b"\n" + junk)
                c.at_eof()
            except (ConnectionResetError, BrokenPipeError):
                pass
    with server.client() as c:
        assert c.increment("alive") == 1


@pytest.mark.slow
def test_deadlines(server):
    """First request 5 s for header and body, 5 s for the payload, 30 s later."""
    silent = Client(server.port, TOKEN, hello=False)
    late_body = Client(server.port, TOKEN, hello=False)
    late_body.send(encode(hello_header()) + b"\n")
    late_payload = Client(server.port, TOKEN)
    late_payload.send(encode(late_payload.header("put", payload_bytes=10)) + b'\n{"key":"k"}\n12345')
    idle = Client(server.port, TOKEN)
    time.sleep(6.5)
    try:
        assert silent.at_eof(timeout=60) and silent.buffer == b""
        assert late_body.at_eof(timeout=60) and late_body.buffer == READY + err("invalid: incomplete or oversized body")
        assert late_payload.at_eof(timeout=60) and late_payload.buffer == b""
        assert idle.increment("still-served") == 1  # later requests may wait up to 30 s
    finally:
        for c in (silent, late_body, late_payload, idle):
            c.close()


def test_operation_reference_matches_the_table():
    """docs/coordinator.md is rendered from the table of operations the build
    describes (coordinator.json, next to the module's functions.json);
    `make docs` renews it."""
    root = pathlib.Path(__file__).resolve().parents[2]
    built = sorted([*root.glob("build/*/coordinator.json"), *root.glob("build*/coordinator.json")],
                   key=lambda p: p.stat().st_mtime)
    if not built:
        pytest.skip("no build directory with coordinator.json: build the module with CMake first")
    table = json.loads(built[-1].read_text(encoding="utf-8"))
    spec = importlib.util.spec_from_file_location("render_table", root / "tools" / "render_table.py")
    render = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(render)
    committed = (root / "docs" / "coordinator.md").read_text(encoding="utf-8")
    assert committed == render.render_coordinator(table), "docs/coordinator.md is out of date: run `make docs`"
