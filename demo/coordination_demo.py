"""Shared-state round trip through a running coordinator.

A dashboard process (the caller) and a worker process share a counter, a lock
and a progress event stream through `korva_rust.run_coordinator()` running in
a dedicated child. `run_round_trip(python)` does the whole exchange and
returns a short report to print.
"""

from __future__ import annotations

import os
import pathlib
import secrets
import subprocess
import sys
import textwrap

CLIENT_DIR = pathlib.Path(__file__).resolve().parents[1] / "tests" / "coordinator"
sys.path.insert(0, str(CLIENT_DIR))

from client import Client  # noqa: E402

WORKER = textwrap.dedent("""
    import os, time
    from client import Client
    port, token = int(os.environ["DEMO_PORT"]), os.environ["KORVA_COORDINATION_TOKEN"]
    with Client(port, token, "demo") as c:
        owner = f"worker-{os.getpid()}"
        assert c.acquire_lock("job", owner, ttl_ms=30000)
        c.publish("progress.started", owner.encode())
        for step in range(5):
            c.increment("candles_processed", 1)
            c.publish("progress.step", str(step + 1).encode())
        # Hold the lock until the dashboard has seen it held.
        deadline = time.monotonic() + 20
        while c.get("dashboard_saw_lock") is None and time.monotonic() < deadline:
            time.sleep(0.01)
        assert c.release_lock("job", owner)
        c.publish("progress.done", b"")
""")


def _start_coordinator(python: str, token: str) -> tuple[subprocess.Popen, str, int]:
    env = dict(os.environ, KORVA_COORDINATION_TOKEN=token, KORVA_COORDINATION_BIND="127.0.0.1:0",
               KORVA_COORDINATION_PARENT_PIPE="1")
    # The coordinator ends by itself when this process closes its stdin.
    proc = subprocess.Popen([python, "-c", "import korva_rust; korva_rust.run_coordinator()"],
                            env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    line = proc.stdout.readline().decode()
    if not line.startswith("korva-coordinator listening on "):
        proc.kill()
        proc.wait()
        raise RuntimeError(f"coordinator did not start: {line!r}")
    port = int(line.rsplit(":", 1)[1])
    return proc, line.strip(), port


def run_round_trip(python_executable: str = sys.executable) -> str:
    token = secrets.token_hex(24)
    coordinator, listening, port = _start_coordinator(python_executable, token)
    report = [listening]
    worker = None
    try:
        with Client(port, token, "demo") as dashboard, Client(port, token, "demo") as events:
            events.subscribe("progress.")
            env = dict(os.environ, DEMO_PORT=str(port), KORVA_COORDINATION_TOKEN=token,
                       PYTHONPATH=os.pathsep.join([str(CLIENT_DIR), os.environ.get("PYTHONPATH", "")]))
            worker = subprocess.Popen([python_executable, "-c", WORKER], env=env)
            seen = []
            while True:
                frame = events.read_frame()
                if frame is None:  # heartbeat
                    continue
                channel, payload = frame
                seen.append(channel if not payload else f"{channel}={payload.decode()}")
                if channel == "progress.started":
                    held = dashboard.acquire_lock("job", "dashboard", ttl_ms=5000)
                    report.append(f"lock 'job' held by {payload.decode()}: dashboard acquire -> {held}")
                    dashboard.put("dashboard_saw_lock", b"1")
                if channel == "progress.done":
                    break
            if worker.wait(timeout=30) != 0:
                raise RuntimeError("worker failed")
            report.append("events received: " + ", ".join(seen))
            report.append(f"counter candles_processed = {dashboard.get('candles_processed').decode()}")
            acquired = dashboard.acquire_lock("job", "dashboard", ttl_ms=5000)
            report.append(f"after the worker released it: dashboard acquire -> {acquired}")
            dashboard.release_lock("job", "dashboard")
    finally:
        if worker is not None and worker.poll() is None:
            worker.kill()
            worker.wait()
        coordinator.stdin.close()  # parent pipe closed: the coordinator exits with status 0
        try:
            status = coordinator.wait(timeout=10)
        except subprocess.TimeoutExpired:
            coordinator.kill()
            status = coordinator.wait()
        coordinator.stdout.close()
    report.append(f"coordinator exited with status {status} when its parent pipe closed")
    return "\n".join(report)


if __name__ == "__main__":
    print(run_round_trip(sys.argv[1] if len(sys.argv) > 1 else sys.executable))
