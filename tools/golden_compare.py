"""Compares two golden harness files case by case.

    golden_compare.py REFERENCE OTHER [--libm NAME,NAME,...]

Exits 0 when the files are identical. Functions named with --libm compute
through the C library's transcendental functions (pow, exp, log, log10, sin,
cos, atan), which C does not require to be correctly rounded: another C
library may round them differently in the last bit, and the difference then
travels through the function's recurrence. For those functions differing
cases are listed with the largest distance in units in the last place and
accepted; any other difference fails."""

import sys


def cases(path):
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    out = {}
    for block in text.split("case ")[1:]:
        head, _, body = block.partition("\n")
        out[head] = body
    return out


def ordered(bits):
    """Maps float bit patterns onto integers in the order of the values."""
    v = int(bits, 16)
    return v if v < 1 << 63 else (1 << 63) - v


def ulps(a, b):
    """Largest distance in units in the last place between two results of the
    same shape; None where they differ otherwise (kind, length, NaN, error)."""
    la, lb = a.split("\n"), b.split("\n")
    if len(la) != len(lb):
        return None
    worst = 0
    for x, y in zip(la, lb):
        wx, wy = x.split(" "), y.split(" ")
        if len(wx) != len(wy) or wx[0] != wy[0]:
            return None
        for p, q in zip(wx, wy):
            if p == q:
                continue
            if len(p) != 16 or len(q) != 16 or "nan" in (p, q):
                return None
            try:
                worst = max(worst, abs(ordered(p) - ordered(q)))
            except ValueError:
                return None
    return worst


def main(argv):
    libm = set()
    args = []
    i = 0
    while i < len(argv):
        if argv[i] == "--libm" and i + 1 < len(argv):
            libm = set(argv[i + 1].split(","))
            i += 2
        else:
            args.append(argv[i])
            i += 1
    if len(args) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    ref, other = cases(args[0]), cases(args[1])
    if ref.keys() != other.keys():
        print("the files hold different cases (another corpus?)")
        return 1
    failed = False
    accepted = {}
    for head, body in ref.items():
        if other[head] == body:
            continue
        name = head.split(" ")[0]
        distance = ulps(body, other[head])
        if name in libm and distance is not None:
            accepted.setdefault(name, []).append(distance)
        else:
            failed = True
            print(f"case {head}: differs" + ("" if distance is None else f" by up to {distance} ulp"))
    same = sum(1 for h in ref if other[h] == ref[h])
    print(f"{same} of {len(ref)} cases identical")
    for name, ds in sorted(accepted.items()):
        print(f"  {name}: {len(ds)} cases differ by up to {max(ds)} ulp (C library rounding)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
