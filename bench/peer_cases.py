"""The functions timed against the peer libraries, each with the peer call(s)
that compute the same indicator, and the deterministic data both sides get.

Imported by every benchmark worker: ours runs in the project's environment,
each peer in its own (TA-Lib and ta-lib-takt both install `talib`), so this
file needs nothing but NumPy.

A case maps a label to
  ours(k, d)        -> a no-argument callable running our function;
  peers[family](ta, g) -> a no-argument callable running the peer; `g(name)`
                       fetches an input column: precomputed contiguous arrays,
                       or, in the "+copies" variant of candle cases, the
                       `np.ascontiguousarray` copy a caller holding only our
                       candle matrix has to make on every call;
  out_ours / out_peer  turn either side's result into the list of arrays
                       compared on the overlapping valid region.
Families: "talib" (TA-Lib and ta-lib-takt, one API) and "ferro" (ferro-ta).
Where ferro-ta keeps TA-Lib's signature the TA-Lib call is reused for it.
"""
import numpy as np

SEED = 20240611
CHECK_N = 5000          # length of the correctness data set
CHECK_SKIP = 1000       # leading values left out of the comparison (seeds and warm-ups differ)

COLUMNS = {"timestamp": 0, "open": 1, "close": 2, "high": 3, "low": 4, "volume": 5}


def make_data(n, seed=SEED):
    """Random-walk candles with positive prices (a geometric walk, so logs
    and ratios stay defined over a million rows) and the contiguous columns
    the peers take. Column layout: timestamp, open, close, high, low, volume."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(0.002 * rng.standard_normal(n)))
    c = np.empty((n, 6))
    c[:, 0] = 1_600_000_000_000.0 + 60_000.0 * np.arange(n)
    c[:, 1] = np.concatenate([close[:1], close[:-1]])
    c[:, 2] = close
    c[:, 3] = np.maximum(c[:, 1], close) * (1.0 + rng.exponential(0.001, n))
    c[:, 4] = np.minimum(c[:, 1], close) * (1.0 - rng.exponential(0.001, n))
    c[:, 5] = rng.exponential(1000.0, n)
    d = {"c": c}
    for name, j in COLUMNS.items():
        d[name] = np.ascontiguousarray(c[:, j])
    return d


def data_for_size(n, seed=SEED):
    """The timing data for n rows: 200 rows are the tail of a longer walk, so
    the short case sees a realistic price level rather than a fresh seed."""
    if n >= 1000:
        return make_data(n, seed)
    big = make_data(max(n, 2000), seed)
    return {k: np.ascontiguousarray(v[-n:]) for k, v in big.items()}


def _list(r):
    if isinstance(r, tuple):
        return [np.asarray(a, dtype=np.float64) for a in r]
    r = np.asarray(r, dtype=np.float64)
    return [r.reshape(-1)]


def _last(r):
    """A `_last` result (float or tuple of floats) against the peer's tail."""
    if isinstance(r, tuple):
        return [np.array([v], dtype=np.float64) for v in r]
    return [np.array([r], dtype=np.float64)]


def _peer_last(r):
    return [a[-1:] for a in _list(r)]


class Case:
    def __init__(self, label, ours, peers, kind="series", out_ours=_list, out_peer=_list,
                 recurrence=False, note=""):
        self.label = label
        self.name = label.split("(")[0]
        self.ours = ours
        self.peers = peers
        self.kind = kind            # "series": a contiguous close column; "candles": our (n, 6) matrix
        self.out_ours = out_ours
        self.out_peer = out_peer
        self.recurrence = recurrence  # single-series recurrence: judged against the copy floor
        self.note = note


def same(fn):
    """A TA-Lib call that ferro-ta runs unchanged."""
    return {"talib": fn, "ferro": fn}


def _first(r):
    return _list(r)[:1]


def _scaled(factor):
    return lambda r: [a * factor for a in _list(r)]


CASES = [
    # ---------------------------------------------------------------- averages
    Case("sma(30)", lambda k, d: lambda: k.sma(d["close"], 30),
         same(lambda ta, g: lambda: ta.SMA(g("close"), 30)), recurrence=True),
    Case("sma_last(30)", lambda k, d: lambda: k.sma_last(d["close"], 30),
         same(lambda ta, g: lambda: ta.SMA(g("close"), 30)), out_ours=_last, out_peer=_peer_last,
         note="peer: full series"),
    Case("ema(30)", lambda k, d: lambda: k.ema(d["close"], 30),
         same(lambda ta, g: lambda: ta.EMA(g("close"), 30)), recurrence=True,
         note="ours seeds with x[0], peers with an SMA"),
    Case("ema_last(30)", lambda k, d: lambda: k.ema_last(d["close"], 30),
         same(lambda ta, g: lambda: ta.EMA(g("close"), 30)), out_ours=_last, out_peer=_peer_last,
         note="peer: full series"),
    # Wilder's average: alpha = 1/p is the EMA of period 2p - 1.
    Case("rma(14)", lambda k, d: lambda: k.rma(d["close"], 14),
         same(lambda ta, g: lambda: ta.EMA(g("close"), 27)), recurrence=True, note="peer EMA(27)"),
    Case("smma(14)", lambda k, d: lambda: k.smma(d["close"], 14),
         same(lambda ta, g: lambda: ta.EMA(g("close"), 27)), recurrence=True, note="peer EMA(27)"),
    Case("wilders(14)", lambda k, d: lambda: k.wilders(d["close"], 14),
         same(lambda ta, g: lambda: ta.EMA(g("close"), 27)), recurrence=True, note="peer EMA(27)"),
    Case("wma(30)", lambda k, d: lambda: k.wma(d["close"], 30),
         same(lambda ta, g: lambda: ta.WMA(g("close"), 30))),
    Case("dema(30)", lambda k, d: lambda: k.dema(d["close"], 30),
         same(lambda ta, g: lambda: ta.DEMA(g("close"), 30)), recurrence=True),
    Case("tema(30)", lambda k, d: lambda: k.tema(d["close"], 30),
         same(lambda ta, g: lambda: ta.TEMA(g("close"), 30)), recurrence=True),
    Case("t3(5, 0.7)", lambda k, d: lambda: k.t3(d["c"], 5, 0.7, "close", True),
         same(lambda ta, g: lambda: ta.T3(g("close"), 5, 0.7)), kind="candles", recurrence=True),
    # Ours is the triple EMA of log prices, differenced and scaled by 10,000;
    # the peers' is the percent rate of change of the triple EMA of prices:
    # the same cost and nearly the same line (x100).
    Case("trix(30)", lambda k, d: lambda: k.trix(d["close"], 30),
         same(lambda ta, g: lambda: ta.TRIX(g("close"), 30)), out_peer=_scaled(100.0), recurrence=True,
         note="log prices; peer x100"),
    Case("kama(10, 2, 30)", lambda k, d: lambda: k.kama(d["close"], 10, 2, 30),
         same(lambda ta, g: lambda: ta.KAMA(g("close"), 10)), recurrence=True),
    Case("mama(0.5, 0.05)", lambda k, d: lambda: k.mama(d["close"], 0.5, 0.05),
         same(lambda ta, g: lambda: ta.MAMA(g("close"), 0.5, 0.05))),
    Case("zlema(14)", lambda k, d: lambda: k.zlema(d["close"], 14),
         {"ferro": lambda ta, g: lambda: ta.ZLEMA(g("close"), 14)}),
    Case("hma(16)", lambda k, d: lambda: k.hma(d["close"], 16),
         {"ferro": lambda ta, g: lambda: ta.HULL_MA(g("close"), 16)}),
    Case("vwma(20)", lambda k, d: lambda: k.vwma(d["c"], 20),
         {"ferro": lambda ta, g: lambda: ta.VWMA(g("close"), g("volume"), 20)}, kind="candles"),
    # ---------------------------------------------------------- oscillators
    Case("macd(12, 26, 9)", lambda k, d: lambda: k.macd(d["close"], 12, 26, 9),
         same(lambda ta, g: lambda: ta.MACD(g("close"), 12, 26, 9)),
         note="ours seeds with x[0], peers with SMAs"),
    Case("rsi(14)", lambda k, d: lambda: k.rsi(d["close"], 14),
         same(lambda ta, g: lambda: ta.RSI(g("close"), 14)), recurrence=True),
    Case("rsi_last(14)", lambda k, d: lambda: k.rsi_last(d["close"], 14),
         same(lambda ta, g: lambda: ta.RSI(g("close"), 14)), out_ours=_last, out_peer=_peer_last,
         note="peer: full series"),
    Case("cmo(14)", lambda k, d: lambda: k.cmo(d["close"], 14),
         same(lambda ta, g: lambda: ta.CMO(g("close"), 14)), recurrence=True,
         note="ours: window sums"),
    Case("stoch(14, 3, 3)", lambda k, d: lambda: k.stoch(d["c"], 14, 3, 0, 3, 0),
         same(lambda ta, g: lambda: ta.STOCH(g("high"), g("low"), g("close"), 14, 3, 0, 3, 0)),
         kind="candles"),
    Case("stochf(14, 3)", lambda k, d: lambda: k.stochf(d["c"], 14, 3, 0),
         same(lambda ta, g: lambda: ta.STOCHF(g("high"), g("low"), g("close"), 14, 3, 0)),
         kind="candles"),
    Case("willr(14)", lambda k, d: lambda: k.willr(d["c"], 14),
         same(lambda ta, g: lambda: ta.WILLR(g("high"), g("low"), g("close"), 14)), kind="candles"),
    Case("cci(14)", lambda k, d: lambda: k.cci(d["c"], 14),
         same(lambda ta, g: lambda: ta.CCI(g("high"), g("low"), g("close"), 14)), kind="candles"),
    # Ours spans 14 bars and scales by 100/14; the peers' period counts the
    # bars after the first and scales by 100/13.
    Case("aroonosc(14)", lambda k, d: lambda: k.aroonosc(d["c"], 14),
         same(lambda ta, g: lambda: ta.AROONOSC(g("high"), g("low"), 13)), kind="candles",
         out_peer=_scaled(13.0 / 14.0), note="peer AROONOSC(13) x13/14"),
    Case("mass(25)", lambda k, d: lambda: k.mass(d["c"], 25),
         {"ferro": lambda ta, g: lambda: ta.MASS(g("high"), g("low"), 9, 25)}, kind="candles"),
    Case("fisher(9)", lambda k, d: lambda: k.fisher(d["c"], 9),
         {"ferro": lambda ta, g: lambda: ta.FISHER(g("high"), g("low"), 9)}, kind="candles"),
    # ------------------------------------------------- directional movement
    Case("adx(14)", lambda k, d: lambda: k.adx(d["c"], 14),
         same(lambda ta, g: lambda: ta.ADX(g("high"), g("low"), g("close"), 14)), kind="candles"),
    Case("adxr(14)", lambda k, d: lambda: k.adxr(d["c"], 14),
         same(lambda ta, g: lambda: ta.ADXR(g("high"), g("low"), g("close"), 14)), kind="candles",
         note="ours: ADX as a window mean"),
    Case("dx(14, 14)", lambda k, d: lambda: k.dx(d["c"], 14, 14, True),
         same(lambda ta, g: lambda: (ta.ADX(g("high"), g("low"), g("close"), 14),
                                     ta.PLUS_DI(g("high"), g("low"), g("close"), 14),
                                     ta.MINUS_DI(g("high"), g("low"), g("close"), 14))),
         kind="candles", note="(adx, +di, -di): 3 peer calls"),
    Case("di(14)", lambda k, d: lambda: k.di(d["c"], 14),
         same(lambda ta, g: lambda: (ta.PLUS_DI(g("high"), g("low"), g("close"), 14),
                                     ta.MINUS_DI(g("high"), g("low"), g("close"), 14))),
         kind="candles", note="2 peer calls"),
    Case("dm(14)", lambda k, d: lambda: k.dm(d["c"], 14),
         same(lambda ta, g: lambda: (ta.PLUS_DM(g("high"), g("low"), 14),
                                     ta.MINUS_DM(g("high"), g("low"), 14))),
         kind="candles", note="2 peer calls"),
    Case("vi(14)", lambda k, d: lambda: k.vi(d["c"], 14, True),
         {"ferro": lambda ta, g: lambda: ta.VORTEX(g("high"), g("low"), g("close"), 14)}, kind="candles"),
    Case("sar(0.02, 0.2)", lambda k, d: lambda: k.sar(d["c"], 0.02, 0.2),
         same(lambda ta, g: lambda: ta.SAR(g("high"), g("low"), 0.02, 0.2)), kind="candles"),
    Case("supertrend(10, 3)", lambda k, d: lambda: k.supertrend(d["c"], 10, 3.0),
         {"ferro": lambda ta, g: lambda: ta.SUPERTREND(g("high"), g("low"), g("close"), 10, 3.0)},
         kind="candles", out_ours=_first, out_peer=_first, note="trend line compared"),
    # ------------------------------------------------------ volatility, bands
    Case("atr(14)", lambda k, d: lambda: k.atr(d["c"], 14),
         same(lambda ta, g: lambda: ta.ATR(g("high"), g("low"), g("close"), 14)), kind="candles"),
    Case("atr_last(14)", lambda k, d: lambda: k.atr_last(d["c"], 14),
         same(lambda ta, g: lambda: ta.ATR(g("high"), g("low"), g("close"), 14)), kind="candles",
         out_ours=_last, out_peer=_peer_last, note="peer: full series"),
    Case("bollinger_bands(20, 2, 2)", lambda k, d: lambda: k.bollinger_bands(d["close"], 20, 2.0, 2.0),
         same(lambda ta, g: lambda: ta.BBANDS(g("close"), 20, 2.0, 2.0, 0))),
    Case("bollinger_bands_last(20, 2, 2)",
         lambda k, d: lambda: k.bollinger_bands_last(d["close"], 20, 2.0, 2.0),
         same(lambda ta, g: lambda: ta.BBANDS(g("close"), 20, 2.0, 2.0, 0)),
         out_ours=_last, out_peer=_peer_last, note="peer: full series"),
    Case("bollinger_bands_width(20, 2)", lambda k, d: lambda: k.bollinger_bands_width(d["close"], 20, 2.0),
         {"ferro": lambda ta, g: lambda: ta.BBWIDTH(g("close"), 20, 2.0, 2.0)}),
    Case("moving_std(20)", lambda k, d: lambda: k.moving_std(d["close"], 20),
         same(lambda ta, g: lambda: ta.STDDEV(g("close"), 20, 1.0)), recurrence=True),
    Case("linearreg(14)", lambda k, d: lambda: k.linearreg(d["close"], 14),
         same(lambda ta, g: lambda: ta.LINEARREG(g("close"), 14))),
    Case("donchian(20)", lambda k, d: lambda: k.donchian(d["c"], 20),
         {"ferro": lambda ta, g: lambda: ta.DONCHIAN(g("high"), g("low"), 20)}, kind="candles",
         out_ours=lambda r: [r["upperband"], r["middleband"], r["lowerband"]]),
    Case("chop(14)", lambda k, d: lambda: k.chop(d["c"], 14, 100.0, 1),
         {"ferro": lambda ta, g: lambda: ta.CHOPPINESS_INDEX(g("high"), g("low"), g("close"), 14)},
         kind="candles"),
    # --------------------------------------------------------------- volume
    Case("adosc(3, 10)", lambda k, d: lambda: k.adosc(d["c"], 3, 10),
         same(lambda ta, g: lambda: ta.ADOSC(g("high"), g("low"), g("close"), g("volume"), 3, 10)),
         kind="candles"),
    Case("efi(13)", lambda k, d: lambda: k.efi(d["close"], d["c"], 13),
         {"ferro": lambda ta, g: lambda: ta.FORCE_INDEX(g("close"), g("volume"), 13)}, kind="candles"),
    Case("nvi", lambda k, d: lambda: k.nvi(d["close"], d["c"]),
         {"ferro": lambda ta, g: lambda: ta.NVI(g("close"), g("volume"))}, kind="candles"),
    Case("pvi", lambda k, d: lambda: k.pvi(d["close"], d["c"]),
         {"ferro": lambda ta, g: lambda: ta.PVI(g("close"), g("volume"))}, kind="candles"),
    Case("emv(14)", lambda k, d: lambda: k.emv(d["c"], 14, 10000.0),
         {"ferro": lambda ta, g: lambda: ta.EMV(g("high"), g("low"), g("volume"), 14, 10000.0)},
         kind="candles"),
    Case("cvi(10)", lambda k, d: lambda: k.cvi(d["c"], 10),
         {"ferro": lambda ta, g: lambda: ta.CHAIKIN_VOL(g("high"), g("low"), 10, 10)}, kind="candles"),
]

BY_LABEL = {c.label: c for c in CASES}

def select(only):
    """Cases whose label or function name is in the comma list `only`."""
    if not only:
        return list(CASES)
    want = {w.strip() for w in only.split(",") if w.strip()}
    chosen = [c for c in CASES if c.label in want or c.name in want]
    missing = want - {c.label for c in chosen} - {c.name for c in chosen}
    if missing:
        raise SystemExit(f"unknown case(s): {', '.join(sorted(missing))}; known: "
                         + ", ".join(c.name for c in CASES))
    return chosen
