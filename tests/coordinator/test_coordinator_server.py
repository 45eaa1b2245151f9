"""Start-up configuration, connection limit, error reports, hostile peers."""

import os
import re
import socket
import sys
import threading
import time

import pytest

from client import Client, ConnectionClosed, CoordinatorError, encode
from server_process import TOKEN, WINDOWS_SERVER, Server, run_failing_start, server_env

BUSY = b'{"error":"busy: connection limit reached","ok":false}\n'


@pytest.mark.parametrize("overrides, text", [
    ({"KORVA_COORDINATION_TOKEN": None}, "environment variable not found"),
    ({"KORVA_COORDINATION_TOKEN": "t" * 31}, "KORVA_COORDINATION_TOKEN must contain at least 32 bytes"),
    ({"KORVA_COORDINATION_TOKEN": "é" * 15 + "t"}, "KORVA_COORDINATION_TOKEN must contain at least 32 bytes"),
    ({"KORVA_COORDINATION_BIND": "localhost:6381"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "127.0.0.1"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "127.0.0.1:65536"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "127.0.0.1:-1"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "127.0.0.256:1"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": " 127.0.0.1:1"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "::1:6381"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "[::1]"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "[::1%eth0]:1"}, "invalid socket address syntax"),
    ({"KORVA_COORDINATION_BIND": "0.0.0.0:6381"}, "coordinator must bind to a loopback address"),
    ({"KORVA_COORDINATION_BIND": "[::]:6381"}, "coordinator must bind to a loopback address"),
    ({"KORVA_COORDINATION_BIND": "[::ffff:127.0.0.1]:6381"}, "coordinator must bind to a loopback address"),
    ({"KORVA_COORDINATION_BIND": "10.1.2.3:6381"}, "coordinator must bind to a loopback address"),
])
def test_start_up_failures(tmp_path, overrides, text):
    status, stderr = run_failing_start(tmp_path, server_env(**overrides))
    assert status != 0
    assert text.encode() in stderr


@pytest.mark.skipif(WINDOWS_SERVER, reason="Windows environment variables are UTF-16 text: bytes that are "
                    "not UTF-8 cannot be handed to the process (wine replaces them)")
def test_token_that_is_not_unicode_is_quoted_in_the_error(tmp_path):
    env = {os.fsencode(k): os.fsencode(v) for k, v in server_env().items()}
    env[b"KORVA_COORDINATION_TOKEN"] = b'ab"\xff' + b"c" * 40
    status, stderr = run_failing_start(tmp_path, env)
    assert status != 0
    assert b'environment variable was not valid unicode: "ab\\"\\xFF' + b"c" * 40 + b'"' in stderr


def test_bound_address_is_reported(tmp_path):
    srv = Server(tmp_path / "err", server_env(KORVA_COORDINATION_BIND="127.1.2.3:0",
                                             KORVA_COORDINATION_TOKEN="k" * 32))
    try:
        assert srv.host == "127.1.2.3" and srv.port > 0
        with Client(srv.port, "k" * 32, "n", host="127.1.2.3") as c:
            assert c.increment("x") == 1
    finally:
        srv.stop()


def test_ipv6_loopback(tmp_path):
    try:
        with socket.socket(socket.AF_INET6) as probe:
            probe.bind(("::1", 0))
    except OSError:
        pytest.skip("no IPv6 loopback here")
    srv = Server(tmp_path / "err", server_env(KORVA_COORDINATION_BIND="[::1]:0"))
    try:
        assert srv.line.startswith(b"korva-coordinator listening on [::1]:")
        with Client(srv.port, TOKEN, "n", host="::1") as c:
            assert c.increment("x") == 1
    finally:
        srv.stop()


def test_default_bind_address(tmp_path):
    with socket.socket() as probe:
        if probe.connect_ex(("127.0.0.1", 6381)) == 0:
            pytest.skip("port 6381 is in use")
    if WINDOWS_SERVER:  # no way to hand it bytes that are not text
        env = server_env(KORVA_COORDINATION_BIND=None)
    else:
        env = {os.fsencode(k): os.fsencode(v) for k, v in server_env().items()}
        env[b"KORVA_COORDINATION_BIND"] = b"\xff:1"  # not valid unicode: the default applies
    srv = Server(tmp_path / "err", env)
    try:
        assert srv.line == b"korva-coordinator listening on 127.0.0.1:6381\n"
    finally:
        srv.stop()


def test_restart_on_the_same_port_after_closed_connections(tmp_path):
    first = Server(tmp_path / "err1")
    port = first.port
    try:
        # The server closes these itself, leaving its side in TIME_WAIT.
        for _ in range(5):
            with Client(port, TOKEN, hello=False) as c:
                c.send(b"not json\n")
                assert c.at_eof()
    finally:
        first.stop()
    second = Server(tmp_path / "err2", server_env(KORVA_COORDINATION_BIND=f"127.0.0.1:{port}"))
    try:
        assert second.port == port
    finally:
        second.stop()


def test_port_of_a_running_server_cannot_be_taken(tmp_path):
    first = Server(tmp_path / "err1")
    try:
        # Neither another coordinator nor a socket asking for address or
        # port sharing may bind the port while the server holds it.
        status, stderr = run_failing_start(
            tmp_path, server_env(KORVA_COORDINATION_BIND=f"127.0.0.1:{first.port}"))
        assert status != 0
        assert re.search(rb"\S \(os error \d+\)", stderr), stderr
        with socket.socket() as thief:
            thief.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if hasattr(socket, "SO_REUSEPORT"):
                thief.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            with pytest.raises(OSError):
                thief.bind(("127.0.0.1", first.port))
                thief.listen()
        with first.client() as c:
            assert c.increment("n") == 1
    finally:
        first.stop()


@pytest.mark.parametrize("value, watched", [("1", True), ("true", False), ("1 ", False)])
def test_parent_pipe_watch(tmp_path, value, watched):
    # Closing standard input is the clean stop of the sanitizer runs: not here.
    srv = Server(tmp_path / "err", server_env(KORVA_COORDINATION_PARENT_PIPE=value, KORVA_COORDINATOR_CLEAN_STOP=None))
    try:
        srv.proc.stdin.write(b"some bytes from the parent\n")
        srv.proc.stdin.flush()
        srv.proc.stdin.close()
        if watched:
            assert srv.proc.wait(timeout=30) == 0
        else:
            time.sleep(0.3)
            assert srv.proc.poll() is None
            with srv.client() as c:
                assert c.increment("alive") == 1
    finally:
        srv.stop()


def test_connection_limit(fresh_server):
    held = []
    try:
        for _ in range(256):
            held.append(fresh_server.client("limit"))
        # A refused peer that already sent its request still reads the reply.
        with Client(fresh_server.port, TOKEN, hello=False) as extra:
            extra.send(extra.request_bytes("hello", {}, b"x" * 2000))
            assert extra.at_eof()
            assert extra.buffer == BUSY
        # Existing connections keep working.
        assert held[0].increment("n") == 1
        held.pop().close()
        for _ in range(1200):  # the slot frees when the worker notices the close
            try:
                with fresh_server.client("limit") as c:
                    assert c.increment("n") == 2
                    break
            except (ConnectionClosed, ConnectionResetError, CoordinatorError):
                time.sleep(0.05)
        else:
            pytest.fail("the freed slot was never reused")
    finally:
        for c in held:
            c.close()


@pytest.mark.skipif(WINDOWS_SERVER, reason="accept failures are provoked with a POSIX descriptor limit; Windows "
                    "has no per-process limit to exhaust (and under wine the limit starves wine itself)")
def test_accept_failures_are_reported_at_most_every_10_seconds(tmp_path):
    import resource

    def few_descriptors():
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))

    srv = Server(tmp_path / "err", preexec_fn=few_descriptors)
    socks = []
    try:
        started = time.monotonic()
        for _ in range(80):
            socks.append(socket.create_connection(("127.0.0.1", srv.port)))
        time.sleep(1.0)  # about ten failed accepts
        reports = srv.stderr().count(b"Coordinator accept failed: ")
        # One report, or one more per 10 seconds a slow machine took.
        assert 1 <= reports <= 1 + int(time.monotonic() - started) // 10, srv.stderr()
        for s in socks:
            s.close()
        socks.clear()
        for _ in range(600):
            try:
                with srv.client() as c:
                    assert c.increment("n") == 1
                    break
            except (ConnectionClosed, ConnectionResetError, OSError):
                time.sleep(0.1)
        else:
            pytest.fail("server did not recover")
    finally:
        for s in socks:
            s.close()
        srv.stop()


def test_slow_and_stalled_peers_do_not_block_others(server):
    stalled = []
    try:
        for _ in range(40):
            c = Client(server.port, TOKEN, hello=False)
            c.send(b"[" + b" " * 4000)  # never finishes its line
            stalled.append(c)
        # A later request (30 s to arrive, not the first one's 5 s), so that
        # a slow machine still has it whole in time.
        slow = Client(server.port, TOKEN, "slow")
        stalled.append(slow)
        request = encode(slow.header("increment")) + b'\n{"key":"n","amount":1}\n'
        with server.client() as fast:
            for i, byte in enumerate(request):
                slow.send(bytes([byte]))
                if i % 20 == 0:
                    assert fast.increment("n") == i // 20 + 1
        assert slow.read_reply() == 1
    finally:
        for c in stalled:
            c.close()


def resident_bytes(pid: int) -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmRSS")


@pytest.mark.slow
@pytest.mark.skipif(not sys.platform.startswith("linux") or WINDOWS_SERVER,
                    reason="reads a native Linux server's resident size from /proc")
@pytest.mark.skipif(os.environ.get("KORVA_COORDINATOR_SANITIZED") == "1",
                    reason="the sanitizer's allocator holds freed memory in quarantine by design")
def test_memory_goes_back_to_the_system_after_bursts(fresh_server):
    pid = fresh_server.proc.pid
    with fresh_server.client("mem") as c:
        assert c.increment("warm") == 1
    idle = resident_bytes(pid)

    # Twice the idle size, or 8 MiB above it for the standalone server, which
    # idles at about 3 MiB: its allocator keeps a few pages per thread pool.
    limit = max(2 * idle, idle + (8 << 20))

    def back_to_idle(burst):
        # Within a few sweeps (once a second) of the burst.
        sizes = []
        for _ in range(600):
            sizes.append(resident_bytes(pid))
            if sizes[-1] <= limit:
                return
            time.sleep(0.1)
        pytest.fail(f"{burst}: resident {sizes[0] >> 20} MiB, at last {sizes[-1] >> 20} MiB, idle {idle >> 20} MiB")

    def in_parallel(count, work):
        errors = []

        def run():
            try:
                work()
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=run) for _ in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors

    body = b'{"key":"k","pad":"' + b"x" * (15 << 20) + b'"}\n'

    def large_body():
        with fresh_server.client("mem") as c:
            c.send(encode(c.header("get")) + b"\n" + body)
            assert c.read_reply() is None

    for _ in range(3):
        in_parallel(8, large_body)
    back_to_idle("large body lines")

    # Never-reading subscribers on five channels, flooded up to the global
    # event budget; they are dropped when their frames cannot be written.
    # A slow machine (or an emulator) may take longer than that 2-second
    # write deadline to publish the budget's worth: then every subscriber is
    # dropped first, its queue discarded, which releases the same memory.
    subs = []
    try:
        for i in range(5):
            s = Client(fresh_server.port, TOKEN, "flood")
            s.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            subs.append(s)
            s.subscribe(str(i))
        with fresh_server.client("flood") as pub:
            for i in range(0, 2000, 5):
                try:
                    if sum(pub.publish(str(k), b"e" * 65536) for k in range(5)) == 0:
                        break
                except CoordinatorError as e:
                    assert str(e) == "busy: global event queue budget exceeded"
                    break
            else:
                pytest.fail("neither was the global budget reached nor were the subscribers dropped")
    finally:
        for s in subs:
            s.close()
    back_to_idle("flooded subscribers")

    def unfinished_body():
        with fresh_server.client("mem") as c:
            c.send(encode(c.header("get")) + b"\n" + body[:-2])

    in_parallel(24, unfinished_body)
    back_to_idle("unfinished bodies")
