"""Plain-Python re-statements shared by the channel, stochastic and
statistics tests: IEEE division, the maxNum/minNum rule, the true range, both
ATR forms and the monotonic-deque rolling extreme."""
import math

import numpy as np
from hypothesis import strategies as st

from support import max_num, min_num  # noqa: F401  (re-exported)

nan = math.nan


def div(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def columns(c):
    """close, high, low of a candle matrix as lists."""
    return c[:, 2].tolist(), c[:, 3].tolist(), c[:, 4].tolist()


def true_range(high, low, close):
    return [high[0] - low[0]] + [
        max_num(max_num(high[i] - low[i], abs(high[i] - close[i - 1])), abs(low[i] - close[i - 1]))
        for i in range(1, len(close))
    ]


def atr(c, p):
    """Incremental form: prev + (1/p) * (TR - prev), seed summed from 0.0."""
    close, high, low = columns(c)
    tr, out = true_range(high, low, close), [nan] * len(close)
    s = 0.0
    for v in tr[:p]:
        s += v
    out[p - 1] = s / p
    for i in range(p, len(tr)):
        out[i] = out[i - 1] + (1.0 / p) * (tr[i] - out[i - 1])
    return out


def wilder_atr(high, low, close, p):
    """Weighted form: ((p - 1) * prev + TR) / p, seed summed from -0.0."""
    tr, out = true_range(high, low, close), [nan] * len(close)
    if len(close) >= p:
        s = -0.0
        for v in tr[:p]:
            s += v
        out[p - 1] = s / p
        for i in range(p, len(tr)):
            out[i] = ((p + -1.0) * out[i - 1] + tr[i]) / p
    return out


def window_extreme(x, p, keep_max):
    """Front of the monotonic deque after each row (None before row p-1)."""
    dq, out = [], [None] * len(x)
    for j, v in enumerate(x):
        while dq and dq[0][0] <= j - p:
            dq.pop(0)
        while dq and (v >= dq[-1][1] if keep_max else v <= dq[-1][1]):
            dq.pop()
        dq.append((j, v))
        if j >= p - 1:
            out[j] = dq[0][1]
    return out


@st.composite
def candles(draw, max_rows, first_price_col):
    """Random-walk candles, sometimes flat or of repeated values and zeros of
    both signs, with NaN prices at drawn cells. Price columns from
    `first_price_col` (1: open too, 2: close on) to low are filled."""
    n = draw(st.integers(0, max_rows))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    kind = draw(st.sampled_from(["walk", "flat", "ties"]))
    c = np.zeros((n, 6))
    c[:, first_price_col:3] = (50 + np.cumsum(rng.normal(size=n)))[:, None]
    spread = rng.exponential(size=n) * (kind != "flat")
    c[:, 3], c[:, 4] = c[:, 2] + spread, c[:, 2] - spread
    if kind == "ties":
        k = 5 - first_price_col
        c[:, first_price_col:5] = rng.integers(-1, 2, size=(n, k)) * rng.choice([-1.0, 1.0], size=(n, k))
    cells = st.tuples(st.integers(0, 10**6), st.integers(first_price_col, 4))
    for i, j in draw(st.lists(cells, max_size=4)):
        if n:
            c[i % n, j] = nan
    return c
