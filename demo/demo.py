"""The main job: compute a representative set of indicators over a candle
matrix, print their latest values and draw a chart.

    python demo/demo.py [candles.csv]

Without an argument it uses an embedded, deterministic synthetic series of
one-minute candles; a CSV path (columns timestamp_ms,open,close,high,low,
volume with one header line) selects real candles.
"""
import pathlib
import sys

import numpy as np

import korva_rust as k

OUT = pathlib.Path(__file__).resolve().parent.parent / "demo_out"


def synthetic_candles(n=1500, seed=20171101):
    """Deterministic one-minute candles: a geometric random walk with
    intrabar noise and a few flat bars, like thin crypto markets."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.002, n)))
    open_ = np.concatenate([[100.0], close[:-1]])
    spread = np.abs(rng.normal(0.0, 0.0015, n)) * close
    high = np.maximum(open_, close) + spread
    low = np.minimum(open_, close) - spread
    flat = rng.random(n) < 0.05
    open_[flat] = close[flat] = high[flat] = low[flat] = close[np.maximum(np.flatnonzero(flat) - 1, 0)]
    volume = rng.gamma(2.0, 50.0, n)
    ts = 1_509_494_400_000 + 60_000 * np.arange(n, dtype=np.float64)
    return np.column_stack([ts, open_, close, high, low, volume])


def indicators(candles):
    """(label, latest value or None, full series or None) for each built
    indicator; functions not built yet are skipped."""
    close = candles[:, 2]  # a strided column view, read in place
    jobs = [
        ("sma(20)", lambda: k.sma(close, 20)),
        ("ema(20)", lambda: k.ema(close, 20)),
        ("wma(20)", lambda: k.wma(close, 20)),
        ("dema(20)", lambda: k.dema(close, 20)),
        ("tema(20)", lambda: k.tema(close, 20)),
        ("zlema(20)", lambda: k.zlema(close, 20)),
        ("smma(14)", lambda: k.smma(close, 14)),
        ("rma(14)", lambda: k.rma(close, 14)),
        ("rsi(14)", lambda: k.rsi(close, 14)),
        ("atr(14)", lambda: k.atr(candles, 14)),
        ("bollinger(20, 2, 2)", lambda: k.bollinger_bands(close, 20, 2.0, 2.0)),
        ("kama(10, 2, 30)", lambda: k.kama(close, 10, 2, 30)),
        ("t3(5, 0.7, hlc3)", lambda: k.t3(candles, 5, 0.7, "hlc3", True)),
        ("vwap(hlc3, D)", lambda: k.vwap(candles, "hlc3", "D", True)),
        ("macd(12, 26, 9)", lambda: k.macd(close, 12, 26, 9)),
        ("stoch(14, 3, 3)", lambda: k.stoch(candles, 14, 3, 0, 3, 0)),
        ("adx(14)", lambda: k.adx(candles, 14)),
        ("supertrend(10, 3)", lambda: k.supertrend(candles, 10, 3.0)),
        ("mama(0.5, 0.05)", lambda: k.mama(close, 0.5, 0.05)),
        ("linearreg(14)", lambda: k.linearreg(np.ascontiguousarray(close), 14)),
        ("heikin_ashi close", lambda: k.heikin_ashi_candles(candles)[1]),
        ("sum_floats(0.1, 0.2)", lambda: k.sum_floats(0.1, 0.2)),
    ]
    results = []
    for label, job in jobs:
        try:
            results.append((label, job()))
        except NotImplementedError:
            results.append((label, None))
    return results


def latest(value):
    if value is None:
        return "(not built yet)"
    if isinstance(value, tuple):
        return ", ".join(f"{v[-1]:.6g}" for v in value)
    if isinstance(value, np.ndarray):
        return f"{value[-1]:.6g}"
    return repr(value)


def chart(candles, results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    tail = slice(-300, None)
    x = np.arange(len(candles))[tail]
    fig, (ax, ax2) = plt.subplots(2, 1, figsize=(11, 7), sharex=True, gridspec_kw={"height_ratios": [3, 1]})
    ax.plot(x, candles[tail, 2], color="black", lw=1.0, label="close")
    for label, value in results:
        if isinstance(value, np.ndarray) and label.split("(")[0] in ("sma", "ema", "tema"):
            ax.plot(x, value[tail], lw=1.0, label=label)
        if isinstance(value, tuple) and label.startswith("bollinger"):
            ax.fill_between(x, value[2][tail], value[0][tail], alpha=0.15, label=label)
        if label.startswith("rsi") and isinstance(value, np.ndarray):
            ax2.plot(x, value[tail], color="purple", lw=1.0, label=label)
            ax2.axhline(70, color="grey", lw=0.5)
            ax2.axhline(30, color="grey", lw=0.5)
    ax.legend(loc="upper left", fontsize=8)
    ax.set_title("korva_rust indicators (last 300 candles)")
    if ax2.lines:
        ax2.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv):
    if len(argv) > 1:
        candles = np.loadtxt(argv[1], delimiter=",", skiprows=1, ndmin=2)
        source = argv[1]
    else:
        candles = synthetic_candles()
        source = "embedded synthetic one-minute candles"
    print(f"{len(candles)} candles from {source}\n")
    results = indicators(candles)
    width = max(len(label) for label, _ in results)
    print(f"{'indicator':<{width}}  latest")
    print(f"{'-' * width}  {'-' * 24}")
    for label, value in results:
        print(f"{label:<{width}}  {latest(value)}")
    OUT.mkdir(exist_ok=True)
    path = OUT / "chart.png"
    chart(candles, results, path)
    print(f"\nchart written to {path}")

    try:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
        from coordination_demo import run_round_trip
    except ImportError:
        return 0
    print("\nshared-state round trip through a running coordinator:")
    print(run_round_trip(sys.executable))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
