"""One benchmark worker: imports one implementation (ours or one peer) in its
own environment and answers timing requests from bench_peers.py, one JSON
object per line on stdin/stdout, so the driver can interleave the
implementations call by call.

    python peer_worker.py {ours|talib|takt|ferro}
"""
import importlib
import importlib.metadata
import json
import os
import platform
import sys
import traceback

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_cases  # noqa: E402
from harness import best_time  # noqa: E402

IMPLS = {
    # impl: (module, distribution, family in peer_cases)
    "ours": ("korva_rust", "korva_rust", None),
    "talib": ("talib", "TA-Lib", "talib"),
    "takt": ("talib", "ta-lib-takt", "talib"),
    "ferro": ("ferro_ta", "ferro-ta", "ferro"),
}


class Worker:
    def __init__(self, impl):
        self.impl = impl
        modname, dist, self.family = IMPLS[impl]
        self.mod = importlib.import_module(modname)
        try:
            self.version = importlib.metadata.version(dist)
        except importlib.metadata.PackageNotFoundError:
            self.version = getattr(self.mod, "__version__", "?")
        self.data = {}
        self.calls = {}

    def cases(self):
        if self.family is None:
            return [c.label for c in peer_cases.CASES]
        return [c.label for c in peer_cases.CASES if self.family in c.peers]

    def dataset(self, n):
        if n not in self.data:
            self.data[n] = peer_cases.data_for_size(n)
        return self.data[n]

    def build(self, case, variant, d):
        if self.family is None:
            return case.ours(self.mod, d)
        if variant == "copies":
            c = d["c"]
            cols = peer_cases.COLUMNS

            def getter(name):
                return np.ascontiguousarray(c[:, cols[name]])
        else:
            getter = d.__getitem__
        return case.peers[self.family](self.mod, getter)

    def callable(self, label, variant, n):
        key = (label, variant, n)
        if key not in self.calls:
            fn = self.build(peer_cases.BY_LABEL[label], variant, self.dataset(n))
            fn()  # first call untimed: page faults, lazy imports, caches
            self.calls[key] = fn
        return self.calls[key]

    def floor(self, n, number):
        """np.copyto of n contiguous float64 values: the memory-bound floor."""
        key = ("__floor__", n)
        if key not in self.calls:
            src = self.dataset(n)["close"]
            dst = np.empty_like(src)
            self.calls[key] = lambda: np.copyto(dst, src)
            self.calls[key]()
        return best_time(self.calls[key], 1, number)

    def check(self, labels, path):
        d = peer_cases.make_data(peer_cases.CHECK_N, peer_cases.SEED + 1)
        errors = {}
        for label in labels:
            case = peer_cases.BY_LABEL[label]
            try:
                r = self.build(case, "plain", d)()
                arrays = (case.out_ours if self.family is None else case.out_peer)(r)
                np.savez(os.path.join(path, f"{self.impl}--{case.name}.npz"),
                         *[np.asarray(a, dtype=np.float64) for a in arrays])
            except Exception as e:  # a peer without this call, or a wrong signature
                errors[label] = f"{type(e).__name__}: {e}"
        return errors

    def handle(self, req):
        op = req["op"]
        if op == "hello":
            d = peer_cases.data_for_size(1000)
            return {"impl": self.impl, "version": self.version, "numpy": np.__version__,
                    "python": platform.python_version(), "cases": self.cases(),
                    "data_sum": float(d["c"].sum())}
        if op == "time":
            fn = self.callable(req["label"], req.get("variant", "plain"), req["n"])
            return {"t": best_time(fn, req.get("repeat", 1), req["number"])}
        if op == "floor":
            return {"t": self.floor(req["n"], req["number"])}
        if op == "check":
            return {"errors": self.check(req["labels"], req["path"])}
        raise ValueError(f"unknown op {op!r}")


def main():
    impl = sys.argv[1]
    out = sys.stdout
    sys.stdout = sys.stderr  # nothing but replies on the protocol stream
    w = Worker(impl)
    for line in sys.stdin:
        req = json.loads(line)
        if req["op"] == "quit":
            break
        try:
            reply = w.handle(req)
        except Exception as e:
            reply = {"error": f"{type(e).__name__}: {e}",
                     "trace": traceback.format_exc(limit=3)}
        out.write(json.dumps(reply) + "\n")
        out.flush()


if __name__ == "__main__":
    main()
