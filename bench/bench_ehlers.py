"""Cycle filters: per-call time on 240 values and throughput on 1,000,000
values, against NumPy/Python formulations of the same recurrences (and
TA-Lib's MAMA) measured in the same run. The recursive filters have no
vectorised NumPy form, so their peer is the plain Python loop the host ran
before; the window sums and pma are vectorised with NumPy."""
import math
import sys

import numpy as np

import korva_rust as k
from harness import best_time, table

try:
    import talib
except ImportError:  # pragma: no cover
    talib = None

TWO_PI = 2 * math.pi
PI_1414 = 1.414 * math.pi


# ------------------------------------------------------ Python recurrences


def py_super_smoother(x, p):
    x = x.tolist()
    out = list(x)
    a = math.exp(-PI_1414 / p)
    c2 = math.cos(PI_1414 / p) * (a + a)
    a2 = a * a
    c1 = ((a2 + 1.0) - c2) * 0.5
    for i in range(2, len(x)):
        out[i] = ((c1 * (x[i] + x[i - 1])) + c2 * out[i - 1]) - a2 * out[i - 2]
    return np.array(out)


def py_high_pass(x, q):
    y = x.tolist() if isinstance(x, np.ndarray) else x
    out = list(y)
    theta = TWO_PI / q
    alpha = ((math.sin(theta) - 1.0) / math.cos(theta)) + 1.0
    kk = alpha * -0.5 + 1.0
    r = 1.0 - alpha
    for i in range(1, len(y)):
        out[i] = ((kk * y[i]) - (kk * y[i - 1])) + r * out[i - 1]
    return out


def py_gauss(x, p, m=4):
    z = x[~np.isnan(x)].tolist()
    beta = (1.0 - math.cos(TWO_PI / p)) / (2.0 ** (1.0 / m) - 1.0)
    alpha = math.sqrt(beta * beta + 2 * beta) - beta
    v = 1.0 - alpha
    d, e1, e2, e3, e4 = alpha**4, 4 * v, -6 * v * v, 4 * v**3, -(v**4)
    y1 = y2 = y3 = y4 = 0.0
    out = []
    for zj in z:
        y = d * zj + e1 * y1 + e2 * y2 + e3 * y3 + e4 * y4
        out.append(y)
        y4, y3, y2, y1 = y3, y2, y1, y
    return np.concatenate([np.full(len(x) - len(z), np.nan), out])


def py_bandpass(x, p, w):
    hp = py_high_pass(x, 4.0 * p / w)
    beta = math.cos(TWO_PI / p)
    gamma = math.cos(w * TWO_PI / p)
    alpha = 1.0 / gamma - math.sqrt(1.0 / (gamma * gamma) - 1.0)
    k1, k2 = (1.0 - alpha) * 0.5, beta * (alpha + 1.0)
    bp = list(hp)
    for i in range(2, len(bp)):
        bp[i] = k1 * (hp[i] - hp[i - 2]) + k2 * bp[i - 1] - alpha * bp[i - 2]
    bp = np.array(bp)
    peak = np.empty_like(bp)
    pk = bp[0]
    for i, b in enumerate(bp.tolist()):
        pk = b if i == 0 else max(pk * 0.991, abs(b))
        peak[i] = pk
    norm = np.where(peak != 0, bp / np.where(peak != 0, peak, 1.0), 0.0)
    trig = np.array(py_high_pass(norm.tolist(), p / w / 1.5))
    return bp, norm, np.sign(trig - norm), trig


def py_itrend(x, a):
    x = x.tolist()
    it = list(x)
    for i in range(2, min(len(x), 7)):
        it[i] = (x[i - 2] + x[i] + 2 * x[i - 1]) * 0.25
    c0, c2, h = a - a * a / 4, a - 3 * a * a / 4, 0.5 * a * a
    m = 1 - a
    for i in range(7, len(x)):
        it[i] = c0 * x[i] + h * x[i - 1] - c2 * x[i - 2] + 2 * m * it[i - 1] - m * m * it[i - 2]
    it = np.array(it)
    trig = 2 * it
    trig[20:] -= it[:-20]
    trig[:20] -= it[:20]
    return np.sign(trig - it), it, trig


def py_voss(x, period, predict, w):
    x = x.tolist()
    n = len(x)
    f1 = math.cos(TWO_PI / period)
    g1 = math.cos(2 * w * math.pi / period)
    s1 = 1.0 / g1 - math.sqrt(1.0 / (g1 * g1) - 1.0)
    order = 3 * predict
    start = max(period, order, 5)
    filt, voss = [0.0] * n, [0.0] * n
    weights = [(q + 1) / order for q in range(order)]
    c = (order + 3.0) * 0.5
    for i in range(start + 1, n):
        filt[i] = (1 - s1) * 0.5 * (x[i] - x[i - 2]) + f1 * (s1 + 1) * filt[i - 1] - s1 * filt[i - 2]
        voss[i] = c * filt[i] - sum(wq * v for wq, v in zip(weights, voss[i - order:i]))
    return np.array(voss), np.array(filt)


def py_mama(x, fl, sl):
    x = x.tolist()
    n = len(x)
    smooth, det, q1, i1 = [0.0] * n, [0.0] * n, [0.0] * n, [0.0] * n
    mama, fama = [0.0] * n, [0.0] * n
    i2 = q2 = re = im = per = ph = 0.0
    for i in range(1, n):
        def at(v, lag):
            return v[i - lag] if i >= lag else v[0]

        smooth[i] = (4 * x[i] + 3 * x[i - 1] + 2 * at(x, 2) + at(x, 3)) / 10.0
        kk = per * 0.075 + 0.54

        def hil(v):
            return kk * (v[i] * 0.0962 + at(v, 2) * 0.5769 - at(v, 4) * 0.5769 - at(v, 6) * 0.0962)

        det[i] = hil(smooth)
        q1[i] = hil(det)
        i1[i] = at(det, 3)
        ji, jq = hil(i1), hil(q1)
        i2p, q2p = i2, q2
        i2 = (i1[i] - jq) * 0.2 + i2p * 0.8
        q2 = (q1[i] + ji) * 0.2 + q2p * 0.8
        re = re * 0.8 + (q2p * q2 + i2 * i2p) * 0.2
        im = (q2p * i2 - q2 * i2p) * 0.2 + im * 0.8
        q = TWO_PI / math.atan(im / re) if im != 0 and re != 0 else per
        q = min(max(min(max(q, 0.67 * per), 1.5 * per), 6.0), 50.0)
        per = per * 0.8 + q * 0.2
        php, ph = ph, (0.0 if i1[i] == 0 else math.atan(q1[i] / i1[i]) * 180.0 / math.pi)
        a = min(max(fl / max(php - ph, 1.0), sl), fl)
        mama[i] = x[i] * a + mama[i - 1] * (1.0 - a)
        fama[i] = fama[i - 1] * (1.0 - a * 0.5) + a * 0.5 * mama[i]
    return np.array(mama), np.array(fama)


# ------------------------------------------------------- NumPy formulations


def np_flex(x, p, reflex):
    f = py_super_smoother(x, p * 0.5)
    n = len(f)
    fi = f[p:]
    slope = (f[: n - p] - fi) / p
    s = np.zeros(n - p)
    for j in range(1, p + 1):
        s += ((fi + slope * j) - f[p - j: n - j]) if reflex else (fi - f[p - j: n - j])
    r = np.concatenate([np.zeros(p), s / p])
    ms = np.zeros(n)
    rl = r.tolist()
    m = 0.0
    for i in range(p, n):
        m = rl[i] * rl[i] * 0.04 + m * 0.96
        ms[i] = m
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(ms > 0, r / np.sqrt(ms), 0.0)


def np_edcf(x, p):
    n = len(x)
    dist = np.zeros(n)
    for kk in range(1, p):
        d = x[p:] - x[p - kk: n - kk]
        dist[p:] += d * d
    num = np.convolve(dist * x, np.ones(p), mode="valid")[p + 1:]
    den = np.convolve(dist, np.ones(p), mode="valid")[p + 1:]
    out = np.full(n, np.nan)
    out[2 * p:] = np.where(den != 0, num / np.where(den != 0, den, 1.0), 0.0)
    return out


def np_correlation_cycle(x, period, threshold):
    n = len(x)
    L = max(period, 2)
    kk = np.arange(L) + 1.0
    c, s = np.cos(kk * TWO_PI / L), np.sin(kk * -TWO_PI / L)
    vc = math.sqrt(max(L * (c * c).sum() - c.sum() ** 2, 0.0))
    vs = math.sqrt(max(L * (s * s).sum() - s.sum() ** 2, 0.0))
    xc = np.nan_to_num(x, nan=0.0)
    m = n - L
    sx = np.zeros(m)
    sxc, sxs, sxx = np.zeros(m), np.zeros(m), np.zeros(m)
    for q in range(L):
        v = xc[L - 1 - q: n - 1 - q]
        sx += v
        sxc += c[q] * v
        sxs += v * s[q]
        sxx += v * v
    d = sxx * L - sx * sx
    root = np.sqrt(np.where(d > 0, d, np.nan))
    real = np.concatenate([np.full(L, np.nan), (sxc * L - c.sum() * sx) / (vc * root)])
    imag = np.concatenate([np.full(L, np.nan), (sxs * L - s.sum() * sx) / (vs * root)])
    with np.errstate(invalid="ignore", divide="ignore"):
        z = (np.arctan(real / imag) + math.pi / 2) * (180 / math.pi)
    angle = np.where(imag == 0, 0.0, np.where(imag > 0, z - 180, z))
    prev = np.concatenate([[np.nan], angle[:-1]])
    with np.errstate(invalid="ignore"):
        angle = np.where((prev > angle) & (prev - angle < 270), prev, angle)
        step = np.abs(np.diff(angle, prepend=np.nan)) < threshold
    state = np.where(step, np.where(angle >= 0, 1.0, -1.0), 0.0)
    return real, imag, angle, state


def np_pma(x):
    n = len(x)
    w = np.zeros(n)
    w[6:] = (x[:-6] + 7 * x[6:] + 6 * x[5:-1] + 5 * x[4:-2] + 4 * x[3:-3] + 3 * x[2:-4] + 2 * x[1:-5]) / 28
    w2 = np.zeros(n)
    for lag, weight in enumerate(range(7, 0, -1)):
        w2[6:] += weight * w[6 - lag: n - lag]
    predict = np.full(n, np.nan)
    predict[6:] = 2 * w[6:] - w2[6:] / 28
    p = np.nan_to_num(predict, nan=0.0)
    trigger = np.full(n, np.nan)
    trigger[6:] = (4 * predict[6:] + 3 * p[5:-1] + 2 * p[4:-2] + p[3:-3]) / 10
    return predict, trigger


def cases(p=20):
    rows = [
        ("supersmoother", lambda x: k.supersmoother(x, p), "Python loop", lambda x: py_super_smoother(x, p)),
        ("high_pass", lambda x: k.high_pass(x, p), "Python loop", lambda x: py_high_pass(x, p)),
        ("gauss(poles=4)", lambda x: k.gauss(x, p, 4), "Python loop", lambda x: py_gauss(x, p)),
        ("bandpass", lambda x: k.bandpass(x, p, 0.3), "Python loop", lambda x: py_bandpass(x, p, 0.3)),
        ("reflex", lambda x: k.reflex(x, p), "NumPy", lambda x: np_flex(x, p, True)),
        ("trendflex", lambda x: k.trendflex(x, p), "NumPy", lambda x: np_flex(x, p, False)),
        ("itrend", lambda x: k.itrend(x, 0.07), "Python loop", lambda x: py_itrend(x, 0.07)),
        ("voss(predict=3)", lambda x: k.voss(x, p, 3, 0.25), "Python loop", lambda x: py_voss(x, p, 3, 0.25)),
        ("edcf", lambda x: k.edcf(x, 15), "NumPy", lambda x: np_edcf(x, 15)),
        ("correlation_cycle", lambda x: k.correlation_cycle(x, p, 9.0), "NumPy",
         lambda x: np_correlation_cycle(x, p, 9.0)),
        ("mama", lambda x: k.mama(x, 0.5, 0.05), "Python loop", lambda x: py_mama(x, 0.5, 0.05)),
        ("pma", lambda x: k.pma(x), "NumPy", np_pma),
    ]
    if talib is not None:
        rows.append(("mama", lambda x: k.mama(x, 0.5, 0.05), "TA-Lib MAMA", lambda x: talib.MAMA(x, 0.5, 0.05)))
    return rows


def main():
    rng = np.random.default_rng(42)
    big = 100.0 + np.cumsum(rng.standard_normal(1_000_000))
    small = big[:240].copy()

    rows = []
    for name, ours, peer, theirs in cases():
        rows.append((f"{name}, n=240 per call", best_time(lambda: ours(small), 7, 200), peer,
                     best_time(lambda: theirs(small), 5, 20)))
    table("Per-call time, 240 values", rows)

    rows = []
    for name, ours, peer, theirs in cases():
        slow = peer == "Python loop"
        rows.append((f"{name}, n=1,000,000", best_time(lambda: ours(big), 5), peer,
                     best_time(lambda: theirs(big), 1 if slow else 3)))
    table("Throughput, 1,000,000 values", rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
