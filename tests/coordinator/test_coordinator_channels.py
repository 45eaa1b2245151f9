"""Publish/subscribe through real sockets against the real server."""

import os
import socket
import threading
import time

import pytest

from client import Client, ConnectionClosed, CoordinatorError
from server_process import TOKEN, Server, server_env

# The test build's fault-injection points (coordination/src/test_hooks.hpp);
# asan_tests.sh builds them in and says so.
TEST_HOOKS = os.environ.get("KORVA_COORDINATOR_TEST_HOOKS") == "1"


def subscriber(server, ns, prefix, rcvbuf=None) -> Client:
    c = Client(server.port, TOKEN, ns, hello=False)
    if rcvbuf:
        c.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    try:
        c.generation = c.call("hello")["generation"]
        c.subscribe(prefix)
    except BaseException:
        c.close()
        raise
    return c


def next_event(c):
    while True:
        frame = c.read_frame()
        if frame is not None:
            return frame


def test_matching_and_frame_bytes(server):
    with server.client("chan") as pub:
        assert pub.publish("prices.btc", b"dropped") == 0
        everything = subscriber(server, "chan", "")
        prices = subscriber(server, "chan", "pri")
        other_ns = subscriber(server, "other", "")
        unrelated = subscriber(server, "chan", "orders")
        try:
            assert pub.publish("prices.btc", b"abc") == 2
            assert pub.publish("prices.eth", b"") == 2
            assert pub.publish('odd"\u0001é', b"\n") == 1
            assert everything.read_line() == b'{"channel":"prices.btc","payload_bytes":3}\n'
            assert everything.read_exact(3) == b"abc"
            assert everything.read_line() == b'{"channel":"prices.eth","payload_bytes":0}\n'
            assert everything.read_line() == '{"channel":"odd\\"\\u0001é","payload_bytes":1}\n'.encode()
            assert everything.read_exact(1) == b"\n"
            assert next_event(prices) == ("prices.btc", b"abc")
            assert next_event(prices) == ("prices.eth", b"")
            with server.client("other") as other_pub:
                assert other_pub.publish("x", b"mine") == 1
            assert next_event(other_ns) == ("x", b"mine")       # nothing from "chan" before it
            assert pub.publish("orders.1", b"o") == 2
            assert next_event(unrelated) == ("orders.1", b"o")
        finally:
            for c in (everything, prices, other_ns, unrelated):
                c.close()


def test_publish_failures_keep_the_connection(server):
    with server.client() as pub:
        for body, text in [
            ({"channel": "c", "value": None}, "invalid: events must use the binary payload"),
            ({"channel": "c", "value": "x"}, "invalid: events must use the binary payload"),
            ({}, "invalid: missing string channel"),
            ({"channel": 3}, "invalid: missing string channel"),
            ({"channel": "c" * 1025}, "invalid: key/channel/prefix exceeds 1024 bytes"),
        ]:
            with pytest.raises(CoordinatorError, match=f"^{text}$"):
                pub.call("publish", body)
        assert pub.publish("c" * 1024, b"") == 0


@pytest.mark.parametrize("body, text", [
    ({}, "invalid: missing string prefix"),
    ({"prefix": None}, "invalid: missing string prefix"),
    ({"prefix": "p" * 1025}, "invalid: key/channel/prefix exceeds 1024 bytes"),
])
def test_subscribe_failures_close(server, body, text):
    with server.client() as c:
        with pytest.raises(CoordinatorError, match=f"^{text}$"):
            c.call("subscribe", body)
        assert c.at_eof()


def test_ordering_single_and_concurrent_publishers(server):
    subs = [subscriber(server, "order", "") for _ in range(3)]
    try:
        with server.client("order") as pub:
            for i in range(300):
                assert pub.publish("seq", str(i).encode()) == 3
        for s in subs:
            assert [next_event(s)[1] for _ in range(300)] == [str(i).encode() for i in range(300)]

        def body(n, i):  # 0 to ~14 KiB, so bursts span many reads and writes
            return f"{n}:{i}.".encode() * (i * 97 % 2000)

        def publish_many(n):
            # Every publish sent before any reply is read: a pipelined burst.
            with server.client("order") as p:
                p.send(b"".join(p.request_bytes("publish", {"channel": f"p{n}"}, body(n, i)) for i in range(150)))
                assert [p.read_reply() for _ in range(150)] == [3] * 150

        seen = [[] for _ in subs]
        readers = [threading.Thread(target=lambda s=s, out=out: out.extend(next_event(s) for _ in range(600)))
                   for s, out in zip(subs, seen)]
        threads = [threading.Thread(target=publish_many, args=(n,)) for n in range(4)]
        for t in readers + threads:
            t.start()
        for t in readers + threads:
            t.join()
        assert len(seen[0]) == 600 and seen[0] == seen[1] == seen[2]   # one common order
        for n in range(4):                                              # each publisher's order kept
            assert [p for ch, p in seen[0] if ch == f"p{n}"] == [body(n, i) for i in range(150)]
    finally:
        for s in subs:
            s.close()


def test_subscription_limit_and_prompt_release(fresh_server):
    subs = [subscriber(fresh_server, "lim", str(i)) for i in range(32)]
    try:
        with fresh_server.client("lim") as c:
            with pytest.raises(CoordinatorError, match="^capacity: subscription limit reached$"):
                c.call("subscribe", {"prefix": ""})
            assert c.at_eof()
        subs.pop().close()
        # The ended subscriber's stream finds its peer gone (at its next
        # heartbeat at the latest); its slot is reused by the next subscribe.
        for _ in range(1200):
            try:
                subs.append(subscriber(fresh_server, "lim", "again"))
                break
            except (CoordinatorError, ConnectionClosed):
                time.sleep(0.05)
        else:
            pytest.fail("slot never freed")
        with fresh_server.client("lim") as pub:
            assert pub.publish("again!", b"") == 1
    finally:
        for s in subs:
            s.close()


def test_stalled_subscriber_is_dropped_while_others_keep_receiving(server):
    stalled = subscriber(server, "slow", "")
    reader = subscriber(server, "slow", "")
    received = []
    behind = threading.Event()

    def read_all():
        # The reader starts 6 MiB behind (more than the socket buffers hold),
        # so it is written to in pieces, with more events queued behind them.
        behind.wait()
        for _ in range(600):
            received.append(next_event(reader)[1])

    t = threading.Thread(target=read_all)
    t.start()
    counts = []
    try:
        with server.client("slow") as pub:
            for i in range(600):
                # However slowly the reader reads, it is never more than
                # about 9.6 MiB behind, well within its 16 MiB budget.
                while i - len(received) > 150 and t.is_alive():
                    time.sleep(0.01)
                counts.append(pub.publish("c", i.to_bytes(4, "big") * 16384))   # 64 KiB
                if i == 100:
                    behind.set()
        t.join()
        assert received == [i.to_bytes(4, "big") * 16384 for i in range(600)]
        assert counts[0] == 2 and counts[-1] == 1                 # dropped once 16 MiB waited
        assert stalled.at_eof(timeout=60)                          # closed without a message
    finally:
        stalled.close()
        reader.close()


@pytest.mark.slow
def test_heartbeat_and_half_closed_subscriber(server):
    with subscriber(server, "hb", "") as s, subscriber(server, "hb", "") as half:
        # Nothing is read after "subscribe": a subscriber that shuts its
        # sending side keeps its stream (the heartbeat proves the server
        # looked at the socket after the half-close).
        half.sock.shutdown(socket.SHUT_WR)
        for c in (s, half):
            c.sock.settimeout(30)
            assert c.read_line() == b'{"heartbeat":true}\n'
        assert s.read_line() == b'{"heartbeat":true}\n'
        with server.client("hb") as pub:
            assert pub.publish("after", b"half") == 2
        assert next_event(half) == ("after", b"half")


def read_until_quiet(c, quiet=0.3) -> bytes:
    """Whatever arrives until the socket stays silent for `quiet` seconds."""
    c.sock.settimeout(quiet)
    data = b""
    try:
        while chunk := c.sock.recv(1 << 20):
            data += chunk
    except socket.timeout:
        pass
    return data


@pytest.mark.slow
@pytest.mark.skipif(not TEST_HOOKS, reason="needs the test build's fault-injection points (asan_tests.sh)")
def test_nothing_follows_a_torn_frame(tmp_path):
    """A stream whose write failed in mid-frame ends there: no thread writes
    another frame after the torn one (the subscriber would parse it as the
    rest of the torn frame). The test build pauses the stream's thread right
    after the failed write, when a publisher could take the stream over."""
    srv = Server(tmp_path / "stderr", server_env(KORVA_TEST_PAUSE_AFTER_FAILED_WRITE_MS="5000"))
    try:
        torn = subscriber(srv, "torn", "")
        with torn, srv.client("torn") as pub:
            payload = b"e" * 8000000
            frame = b'{"channel":"big","payload_bytes":8000000}\n' + payload
            assert pub.publish("big", payload) == 1
            # Far more than the socket buffers of a peer that does not read
            # hold: the write misses its 2-second deadline in mid-frame.
            for _ in range(1200):
                if b"test hook: stream write failed" in srv.stderr():
                    break
                time.sleep(0.05)
            else:
                pytest.fail("the stream write never failed")
            received = read_until_quiet(torn)       # room in the socket again
            count = pub.publish("after", b"x")
            torn.sock.settimeout(60)
            while chunk := torn.sock.recv(1 << 20):
                received += chunk
        assert 0 < len(received) < len(frame)
        assert received == frame[:len(received)]
        assert count == 0                            # the subscription ended with the write
    finally:
        srv.stop()


@pytest.mark.slow
def test_global_budget_is_refused_and_fully_released(fresh_server):
    with fresh_server.client("g") as pub:
        header = len(b'{"channel":"0","payload_bytes":8388570}\n')
        payload = b"e" * (8388608 - header)                      # frames of exactly 8 MiB

        def fill():
            """Eight stalled 8 MiB frames are exactly the 64 MiB budget: True
            when a ninth event was refused. Each stalled stream ends 2 seconds
            after its write began, giving its frame back; a machine slow
            enough to let that happen during the publishes may take the
            ninth event, but only once some stream has ended (its
            subscription is inactive by the time its frame is given back)."""
            subs = []
            try:
                for i in range(9):
                    subs.append(subscriber(fresh_server, "g", str(i), rcvbuf=4096))
                for i in range(8):
                    assert pub.publish(str(i), payload) == 1
                try:
                    pub.publish("8", b"")
                except CoordinatorError as e:
                    assert str(e) == "busy: global event queue budget exceeded"
                    return True
                assert any(pub.publish(str(i), b"") == 0 for i in range(8)), "budget not enforced"
                return False
            finally:
                for s in subs:
                    s.close()

        refused = fill()
        # Once those subscribers are gone every reserved byte must be back:
        # eight frames of 8 MiB are taken again (a leak would refuse one).
        give_up = time.monotonic() + 300          # only against a hang
        while True:
            try:
                refused |= fill()
                break
            except CoordinatorError as e:
                # Ended subscriptions leave the list within about a second.
                assert str(e) in ("busy: global event queue budget exceeded",
                                  "capacity: subscription limit reached")
                assert time.monotonic() < give_up, "global budget was not released"
                time.sleep(0.1)
        if not refused:
            pytest.skip("every fill outlasted the 2-second write deadline: the refusal was not reached")


@pytest.mark.slow
def test_frame_not_written_within_2_seconds_drops_the_subscriber(server):
    stalled = subscriber(server, "deadline", "", rcvbuf=4096)
    try:
        with server.client("deadline") as pub:
            assert pub.publish("big", b"b" * 8388000) == 1     # cannot drain into a stalled peer
            # Dropped 2 seconds after its write began (no budget was
            # exceeded); until then the small events queue behind the big one.
            for _ in range(1200):
                if pub.publish("small", b"s") == 0:
                    break
                time.sleep(0.05)
            else:
                pytest.fail("the stalled subscriber was never dropped")
    finally:
        stalled.close()
