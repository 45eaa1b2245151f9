"""Runs the real coordinator as a child process for the tests.

By default the child is `python -c "import korva_rust; korva_rust.run_coordinator()"`;
set KORVA_COORDINATOR_CMD to another command line (for example the
sanitizer build of the standalone server) to run the same suite against it.
Servers listen on port 0 and are ended by their pid; a standalone server
started with KORVA_COORDINATOR_CLEAN_STOP=1 in its environment (the sanitizer
runs set it) is instead stopped by closing its standard input, and must then
end every thread and exit with status 0 (LeakSanitizer checks at that exit).
"""

from __future__ import annotations

import itertools
import os
import re
import select
import shlex
import subprocess
import sys
import time

from client import Client

TOKEN = "t" * 40
LISTENING = re.compile(rb"korva-coordinator listening on (\S+):(\d+)\n")
_namespaces = itertools.count()
# Under a sanitizer build a report means a real memory, leak, UB or race fault.
SANITIZER_FAULTS = (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:",
                    b"WARNING: ThreadSanitizer")


def server_command() -> list[str]:
    cmd = os.environ.get("KORVA_COORDINATOR_CMD")
    if cmd:
        return shlex.split(cmd)
    return [sys.executable, "-c", "import korva_rust; korva_rust.run_coordinator()"]


# The Windows build (run under wine, or natively): a few tests reach the
# server through POSIX-only means and skip there.
WINDOWS_SERVER = sys.platform == "win32" or any(
    part.lower().endswith(".exe") for part in server_command())


def server_env(**overrides: str | None) -> dict:
    env = dict(os.environ)
    env.update({"KORVA_COORDINATION_TOKEN": TOKEN, "KORVA_COORDINATION_BIND": "127.0.0.1:0"})
    env.pop("KORVA_COORDINATION_PARENT_PIPE", None)
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


class Server:
    """A running coordinator child process."""

    def __init__(self, stderr_path, env: dict | None = None, preexec_fn=None):
        self.stderr_path = stderr_path
        self._stderr = open(stderr_path, "wb")
        env = env or server_env()
        self.clean_stop = any(env.get(k) in ("1", b"1") for k in ("KORVA_COORDINATOR_CLEAN_STOP",
                                                                    b"KORVA_COORDINATOR_CLEAN_STOP"))
        self.proc = subprocess.Popen(
            server_command(), env=env, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=self._stderr, preexec_fn=preexec_fn)
        self.line = self._read_listening_line()
        match = LISTENING.fullmatch(self.line)
        if not match:
            self.stop()
            raise RuntimeError(f"coordinator did not start: {self.line!r} {self.stderr()!r}")
        self.host = match.group(1).decode()
        self.port = int(match.group(2))

    def _read_listening_line(self, timeout: float = 120.0) -> bytes:
        fd = self.proc.stdout.fileno()
        data = b""
        end = time.monotonic() + timeout
        while not data.endswith(b"\n"):
            ready, _, _ = select.select([fd], [], [], max(0.0, end - time.monotonic()))
            if not ready:
                break
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            data += chunk
        return data

    def stderr(self) -> bytes:
        if not self._stderr.closed:
            self._stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read()

    def client(self, namespace: str | None = None, **kw) -> Client:
        return Client(self.port, TOKEN, namespace or fresh_namespace(), **kw)

    def stop(self) -> None:
        stopped_cleanly = None
        if self.proc.poll() is None:
            if self.clean_stop:
                self.proc.stdin.close()
                try:
                    stopped_cleanly = self.proc.wait(timeout=300) == 0
                except subprocess.TimeoutExpired:
                    stopped_cleanly = False
            if self.proc.poll() is None:
                os.kill(self.proc.pid, 9)
        self.proc.wait()
        for pipe in (self.proc.stdin, self.proc.stdout):
            if pipe:
                pipe.close()
        self._stderr.close()
        report = self.stderr()
        assert not any(f in report for f in SANITIZER_FAULTS), report.decode(errors="replace")
        assert stopped_cleanly is not False, f"no clean stop (status {self.proc.returncode}): {report!r}"


def fresh_namespace() -> str:
    return f"ns{next(_namespaces)}"


def run_failing_start(tmp_path, env: dict) -> tuple[int, bytes]:
    """Runs a start-up that must fail; returns exit status and stderr."""
    proc = subprocess.run(server_command(), env=env, stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=300)
    assert not any(f in proc.stderr for f in SANITIZER_FAULTS), proc.stderr.decode(errors="replace")
    return proc.returncode, proc.stderr
