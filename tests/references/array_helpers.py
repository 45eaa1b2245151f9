"""Numeric helpers: moving standard deviation, shift."""
import math

from . import register

nan = math.nan

def lane_sum(xs):
    lanes = [0.0] * 8
    full = len(xs) - len(xs) % 8
    for g in range(0, full, 8):
        for j in range(8):
            lanes[j] += xs[g + j]
    acc = 0.0
    for j in range(4):
        acc = acc + (lanes[j] + lanes[j + 4])
    for v in xs[full:]:
        acc = acc + v
    return acc


def ref_moving_std(x, p, layout):
    """layout: 'contiguous', 'reversed' (stride -1) or 'strided'."""
    x = [float(v) for v in x]
    out = [nan] * len(x)
    if p == 0 or len(x) < p:
        return out
    for end in range(p - 1, len(x)):
        w = x[end - p + 1:end + 1]
        if layout == "contiguous":
            s = lane_sum(w)
        elif layout == "reversed":
            s = lane_sum(w[::-1])
        else:
            s = 0.0
            for v in w:
                s = s + v
        mean = s / p
        ss = 0.0
        for v in w:
            ss = ss + (v - mean) * (v - mean)
        out[end] = math.sqrt(ss / p) if ss / p >= 0 else nan
    return out


def ref_moving_std_of_view(x, p):
    """The sum runs in lanes over unit-stride memory, in either direction,
    and left to right otherwise: the view decides the last bits."""
    layout = {8: "contiguous", -8: "reversed"}.get(x.strides[0], "strided")
    return ref_moving_std(x.tolist(), p, layout)


ref_moving_std_of_view.per_layout = True


def ref_shift(x, periods):
    x = x.tolist()
    n = len(x)
    return [x[i - periods] if 0 <= i - periods < n else nan for i in range(n)]


register(moving_std=ref_moving_std_of_view, shift=ref_shift)
