"""RSI and its relatives: rsi, srsi, rsx, lrsi, cmo."""
import math

from . import on_lists, register

nan, inf = math.nan, math.inf


def ref_rsi(s, p):
    n = len(s)
    out = [nan] * n
    if n <= p or p == 0:  # p = 0: both averages are 0/0
        return out
    value = lambda g, l: 100.0 - 100.0 / (g / l + 1.0) if l != 0 else 100.0
    diffs = [s[i] - s[i - 1] for i in range(1, n)]
    g = l = 0.0  # gains and losses summed apart, left to right (sum() compensates since 3.12)
    for d in diffs[:p]:
        if d > 0:
            g += d
        else:
            l += abs(d)
    g, l = g / p, l / p
    out[p] = value(g, l)
    Q = p + -1.0
    for i in range(p + 1, n):
        d = diffs[i - 1]
        l = (Q * l + (0.0 if d > 0 else abs(d))) / p
        g = (Q * g + (d if d > 0 else 0.0)) / p
        out[i] = value(g, l)
    return out


def mean_from_negzero(vals):
    t = -0.0
    for v in vals:
        t += v
    return t / len(vals)


def ref_srsi(s, p, w, kp, dp):
    n = len(s)
    k_, d_ = [nan] * n, [nan] * n
    rsi = ref_rsi(s, p) if p else [nan] * n
    raws = []
    for i in range(p, n):
        win = rsi[max(p, i - w + 1):i + 1] if w else []
        if len(win) < w:
            continue
        lo = min((v for v in win if not math.isnan(v)), default=inf)
        hi = max((v for v in win if not math.isnan(v)), default=-inf)
        raw = ((rsi[i] - lo) * 100) / (hi - lo) if w and lo != hi else nan
        raws.append(raw)
        if kp < 2:
            k_[i] = raw
        elif len(raws) >= kp and not any(math.isnan(v) for v in raws[-kp:]):
            k_[i] = mean_from_negzero(raws[-kp:])
    kept = []
    for j in range(n if dp else 0):
        if not math.isnan(k_[j]):
            kept.append(k_[j])
            if len(kept) >= dp:
                d_[j] = mean_from_negzero(kept[-dp:])
    return k_, d_


def ref_rsx(s, p):
    n = len(s)
    out = [nan] * n
    if p >= n:
        return out
    sp = alpha = beta = lim = cnt = chg = 0.0
    m, a = [0.0] * 6, [0.0] * 6

    def stages(st, x):
        st[0] = beta * st[0] + alpha * x
        st[1] = beta * st[1] + alpha * st[0]
        st[2] = beta * st[2] + alpha * (1.5 * st[0] - 0.5 * st[1])
        st[3] = beta * st[3] + alpha * st[2]
        st[4] = beta * st[4] + alpha * (1.5 * st[2] - 0.5 * st[3])
        st[5] = beta * st[5] + alpha * st[4]
        return 1.5 * st[4] - 0.5 * st[5]

    for i in range(p, n):
        num = den = 0.0
        if cnt == 0:
            lim = float(p - 1) if p > 5 else 5.0
            sp = s[i] * 100
            alpha = 3 / (p + 2.0)
            beta = 1 - alpha
            chg, cnt = 0.0, 1.0
        else:
            cnt = (lim if lim <= cnt else cnt) + 1
            sp_prev, sp = sp, s[i] * 100
            if sp != sp_prev and lim >= cnt:
                chg = 1.0
            if lim == cnt and chg == 0:
                cnt = 0.0
            num, den = stages(m, sp - sp_prev), stages(a, abs(sp - sp_prev))
        v = 50.0
        if lim < cnt and den > 1e-10:
            v = (num / den + 1) * 50
            v = 0.0 if v < 0 else v
            v = 100.0 if v > 100 else v
        out[i] = v
    return out


def ref_lrsi(c, a):
    g = 1 - a
    price = [(h + l) * 0.5 for h, l in zip(c[:, 3].tolist(), c[:, 4].tolist())]
    L = [price[0]] * 4
    out = []
    for x in price:
        n0 = g * L[0] + a * x
        n1 = g * L[1] + (L[0] - g * n0)
        n2 = g * L[2] + (L[1] - g * n1)
        n3 = g * L[3] + (L[2] - g * n2)
        L = [n0, n1, n2, n3]
        cu = cd = 0.0
        for u, v in ((n0, n1), (n1, n2), (n2, n3)):
            if u >= v:
                cu += u - v
            else:
                cd += v - u
        out.append(0.0 if cu + cd == 0 else cu / (cu + cd))
    return out


def ref_cmo(s, p):
    n = len(s)
    out = [nan] * n
    if p == 0 or p >= n:
        return out
    diffs = [s[j + 1] - s[j] for j in range(n - 1)]
    up, dn = [d if d > 0 else 0.0 for d in diffs], [-d if d < 0 else 0.0 for d in diffs]
    su, sd = sum(up[:p]), sum(dn[:p])
    for i in range(p, n):
        if i > p:
            su, sd = su + (up[i - 1] - up[i - 1 - p]), sd + (dn[i - 1] - dn[i - 1 - p])
        out[i] = 0.0 if su + sd == 0 else ((su - sd) * 100) / (su + sd)
    return out


# Real candles: minute closes are often flat (zero ranges, zero losses).


register(rsi=on_lists(ref_rsi), rsi_last=lambda s, p: ref_rsi(s.tolist(), p)[-1], srsi=on_lists(ref_srsi),
         rsx=on_lists(ref_rsx), lrsi=ref_lrsi, cmo=on_lists(ref_cmo))
