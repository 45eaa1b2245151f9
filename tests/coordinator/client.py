"""A small blocking client for the coordinator's line protocol.

Used by the coordinator tests, the demo and the benchmarks. It speaks the
wire format directly (JSON header line, JSON body line, raw payload) so tests
can also send malformed or partial requests through the same socket.
"""

from __future__ import annotations

import json
import socket
from typing import Any


class CoordinatorError(Exception):
    """A failure reply: the text carries the category prefix."""


class ConnectionClosed(Exception):
    """The server closed the connection before a full reply arrived."""


def encode(value: Any) -> bytes:
    return json.dumps(value, separators=(",", ":")).encode()


class Client:
    def __init__(self, port: int, token: str, namespace: str = "test",
                 host: str = "127.0.0.1", timeout: float = 60.0, hello: bool = True):
        self.token = token
        self.namespace = namespace
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""
        self.ready_seen = False
        self.generation: str | None = None
        if hello:
            try:
                self.generation = self.call("hello")["generation"]
            except BaseException:
                self.sock.close()
                raise

    # -- context management -------------------------------------------------
    def close(self) -> None:
        self.sock.close()

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- raw I/O -------------------------------------------------------------
    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def _fill(self) -> None:
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise ConnectionClosed("connection closed by the server")
        self.buffer += chunk

    def read_line(self) -> bytes:
        while b"\n" not in self.buffer:
            self._fill()
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def read_exact(self, n: int) -> bytes:
        while len(self.buffer) < n:
            self._fill()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def at_eof(self, timeout: float = 60.0) -> bool:
        """True when the server has closed the connection (after any data);
        False if it is still open after `timeout` seconds, which is long, so
        that a loaded machine answers in time."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(1 << 16)
                if not chunk:
                    return True
                self.buffer += chunk
        except ConnectionResetError:
            return True
        except socket.timeout:
            return False

    # -- requests ------------------------------------------------------------
    def header(self, op: str, payload_bytes: int = 0, generation: Any = "default",
               namespace: str | None = None) -> dict:
        header = {"version": 2, "token": self.token,
                  "namespace": self.namespace if namespace is None else namespace, "op": op}
        gen = self.generation if generation == "default" else generation
        if gen is not None:
            header["generation"] = gen
        if payload_bytes:
            header["payload_bytes"] = payload_bytes
        return header

    def request_bytes(self, op: str, body: Any = None, payload: bytes = b"", **kw: Any) -> bytes:
        header = self.header(op, len(payload), **kw)
        return encode(header) + b"\n" + encode({} if body is None else body) + b"\n" + payload

    def send_request(self, op: str, body: Any = None, payload: bytes = b"", **kw: Any) -> None:
        self.send(self.request_bytes(op, body, payload, **kw))

    def read_reply_line(self) -> bytes:
        """The next reply line, skipping the one-time "ready" line."""
        line = self.read_line()
        if not self.ready_seen and line == b'{"ok":true,"value":"ready"}\n':
            self.ready_seen = True
            line = self.read_line()
        return line

    def read_reply(self) -> Any:
        line = self.read_reply_line()
        reply = json.loads(line)
        if not reply.get("ok"):
            raise CoordinatorError(reply.get("error"))
        value = reply["value"]
        if isinstance(value, dict) and set(value) == {"payload_bytes"}:
            return self.read_exact(value["payload_bytes"])
        return value

    def call(self, op: str, body: Any = None, payload: bytes = b"", **kw: Any) -> Any:
        self.send_request(op, body, payload, **kw)
        return self.read_reply()

    # -- operations ----------------------------------------------------------
    def get(self, key: str) -> bytes | None:
        return self.call("get", {"key": key})

    def put(self, key: str, value: bytes, ttl_ms: int | None = None) -> bool:
        body: dict = {"key": key}
        if ttl_ms is not None:
            body["ttl_ms"] = ttl_ms
        return self.call("put", body, value)

    def delete(self, key: str) -> int:
        return self.call("delete", {"key": key})

    def increment(self, key: str, amount: int = 1) -> int:
        return self.call("increment", {"key": key, "amount": amount})

    def acquire_lock(self, key: str, owner: str, ttl_ms: int) -> bool:
        return self.call("acquire_lock", {"key": key, "owner": owner, "ttl_ms": ttl_ms})

    def release_lock(self, key: str, owner: str) -> bool:
        return self.call("release_lock", {"key": key, "owner": owner})

    def publish(self, channel: str, payload: bytes) -> int:
        return self.call("publish", {"channel": channel}, payload)

    def subscribe(self, prefix: str) -> None:
        if self.call("subscribe", {"prefix": prefix}) is not True:
            raise CoordinatorError("subscribe was not confirmed")

    def read_frame(self) -> tuple[str, bytes] | None:
        """Next stream frame: (channel, payload), or None for a heartbeat."""
        line = self.read_line()
        frame = json.loads(line)
        if frame == {"heartbeat": True}:
            return None
        return frame["channel"], self.read_exact(frame["payload_bytes"])
