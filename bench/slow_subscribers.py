"""Slow-subscriber campaign: looks for subscriber streams that go on after a
torn frame.

Publishers write self-describing, sequence-numbered events of 20-60 KB as
fast as they can, while subscribers read 512 bytes every 50 ms for a few
seconds (so a write misses its 2-second deadline in mid-frame, or the
subscription is dropped over its budget while a frame is half written), then
read whatever is left until the server closes the stream (for 10 seconds at
most, when draining lets it keep up). Each stream is
parsed frame by frame: it may end inside a frame, but every byte before that
must belong to whole, intact frames, in each publisher's order with no event
missing. A stream with anything else after a torn frame is counted as torn
then continued.

    python bench/slow_subscribers.py [SECONDS] [SUBSCRIBERS] [RATE]   (defaults 90, 8, 0)

RATE limits each of the four publishers to that many events a second (0:
as fast as it can).

The server is the module's run_coordinator(), or KORVA_COORDINATOR_CMD (for
example the ThreadSanitizer build that coordination/asan_tests.sh --thread
makes). Not a test: what it reaches depends on the machine's speed.
"""

from __future__ import annotations

import json
import multiprocessing
import pathlib
import random
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "coordinator"))
from client import ConnectionClosed, CoordinatorError  # noqa: E402
from server_process import TOKEN, Server  # noqa: E402

NS = "campaign"
PUBLISHERS = 4
PATTERN = random.Random(1).randbytes(1 << 17)


def payload(pub: int, seq: int, size: int) -> bytes:
    head = b"%d:%d:%d;" % (pub, seq, size)
    start = (seq * 7919 + pub * 131) % (len(PATTERN) - size)
    return head + PATTERN[start:start + size - len(head)]


def publisher(port: int, pub: int, stop, rate: float) -> None:
    from client import Client
    rng = random.Random(pub)
    with Client(port, TOKEN, NS) as c:
        seq = 0
        start = time.monotonic()
        while not stop.is_set():
            if rate and seq > rate * (time.monotonic() - start):
                time.sleep(0.005)
                continue
            try:
                c.publish(f"p{pub}", payload(pub, seq, rng.randrange(20000, 60000)))
                seq += 1
            except CoordinatorError:  # the global budget, now and then: refused for all
                pass


def check_stream(data: bytes) -> str:
    """'whole' (ends at a frame boundary), 'torn' (ends inside a frame) or
    'continued' (bytes that are not the frames they claim to be)."""
    pos = 0
    last: dict[int, int] = {}
    while pos < len(data):
        end = data.find(b"\n", pos)
        if end < 0:
            return "torn" if data[pos:] == b'{"heartbeat":true}'[:len(data) - pos] or \
                data[pos:pos + 1] == b"{" else "continued"
        try:
            header = json.loads(data[pos:end])
        except ValueError:
            return "continued"
        pos = end + 1
        if header == {"heartbeat": True}:
            continue
        if not isinstance(header, dict) or set(header) != {"channel", "payload_bytes"}:
            return "continued"
        body = data[pos:pos + header["payload_bytes"]]
        pos += header["payload_bytes"]
        fields = body.split(b";", 1)[0].split(b":")
        try:
            pub, seq, size = (int(f) for f in fields)
        except ValueError:
            return "torn" if pos > len(data) else "continued"
        expected = payload(pub, seq, size)
        if pos > len(data):  # the stream ended inside this frame
            return "torn" if expected.startswith(body) and size == header["payload_bytes"] else "continued"
        if body != expected or header["channel"] != f"p{pub}":
            return "continued"
        if pub in last and seq != last[pub] + 1:
            return "continued"  # an event missing in the middle of the stream
        last[pub] = seq
    return "whole"


def subscriber(port: int, results: list, lock: threading.Lock) -> None:
    from client import Client
    try:
        c = Client(port, TOKEN, NS)
        c.subscribe("")
    except (CoordinatorError, ConnectionClosed, OSError):
        return  # subscription limit for a moment
    data = c.buffer
    try:
        c.sock.settimeout(1.0)
        # Around the 2-second deadline: some drains begin while a write is
        # about to miss it, with room in the socket as it does.
        slow_until = time.monotonic() + random.uniform(0.5, 4.0)
        while time.monotonic() < slow_until:
            try:
                chunk = c.sock.recv(512)
            except socket.timeout:
                continue
            if not chunk:
                break
            data += chunk
            time.sleep(0.05)
        else:
            c.sock.settimeout(30)
            drain_until = time.monotonic() + 10
            while time.monotonic() < drain_until:
                chunk = c.sock.recv(1 << 20)
                if not chunk:
                    break
                data += chunk
            else:
                with lock:
                    results.append("open")  # kept up once draining: never dropped
                return
    except OSError:
        pass
    finally:
        c.close()
    outcome = check_stream(data)
    with lock:
        results.append(outcome)
        if outcome == "continued":
            path = pathlib.Path(tempfile.gettempdir()) / f"continued-{len(results)}.bin"
            path.write_bytes(data)
            print(f"stream after a torn frame kept in {path}", flush=True)


def main() -> None:
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 90.0
    slots = int(sys.argv[2]) if len(sys.argv) > 2 else 8
    rate = float(sys.argv[3]) if len(sys.argv) > 3 else 0.0
    with tempfile.TemporaryDirectory() as tmp:
        server = Server(pathlib.Path(tmp) / "stderr")
        stop = multiprocessing.Event()
        pubs = [multiprocessing.Process(target=publisher, args=(server.port, n, stop, rate)) for n in range(PUBLISHERS)]
        for p in pubs:
            p.start()
        results: list[str] = []
        lock = threading.Lock()
        end = time.monotonic() + seconds
        running: list[threading.Thread] = []
        try:
            while time.monotonic() < end:
                running = [t for t in running if t.is_alive()]
                while len(running) < slots:
                    t = threading.Thread(target=subscriber, args=(server.port, results, lock))
                    t.start()
                    running.append(t)
                time.sleep(0.2)
            for t in running:
                t.join()
        finally:
            stop.set()
            for p in pubs:
                p.join()
            server.stop()
    counts = {k: results.count(k) for k in ("whole", "torn", "continued", "open")}
    print(f"streams checked: {len(results)}; ended inside a frame: {counts['torn']}; "
          f"ended at a frame boundary: {counts['whole']}; never dropped: {counts['open']}; "
          f"torn then continued: {counts['continued']}")
    sys.exit(1 if counts["continued"] else 0)


if __name__ == "__main__":
    main()
