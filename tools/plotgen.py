#!/usr/bin/env python3
"""Seeded generator of realistic TORVASK plot files.

    tools/plotgen.py OUT --params N --blocks B [--width 12|15] [--seed S]
    tools/plotgen.py OUT --params N --size-mb 100 [--width 12|15]

Parameter 0 is the time; the others cycle through pressures near 1e5,
temperatures 300-2000, flows that are negative, tiny or exactly zero, and
quantities spread over exponents E-30 to E+30. Width 12 fields carry six
significant digits (" 1.01325E+05"), width 15 fields nine (" 1.01325000E+05").
"""

import argparse
import math
import random
import sys

FIELDS_PER_LINE = 10


def field_format(width):
    """The printf-style format of one field: sign or space, d.ddd..., E+xx."""
    if width < 9:
        raise ValueError("fields narrower than 9 bytes cannot hold d.dE+xx")
    return "{: ." + str(width - 7) + "E}"


class Parameter:
    """One simulated quantity: a smooth signal with a little noise, as a
    simulation's output looks, so the plots make sense and the digits vary."""

    def __init__(self, rng, index):
        self.kind = index % 4
        self.rng = rng
        self.period = rng.uniform(200.0, 5000.0)
        self.phase = rng.uniform(0.0, 2 * math.pi)
        self.scale = 10.0 ** rng.uniform(-30.0, 30.0)   # kind 3 only
        self.sign = rng.choice((-1.0, 1.0))

    def value(self, step):
        rng = self.rng
        wave = math.sin(2 * math.pi * step / self.period + self.phase)
        if self.kind == 0:                                   # pressure near 1e5
            return 1.0e5 + 5.0e3 * wave + rng.gauss(0.0, 50.0)
        if self.kind == 1:                                   # temperature 300-2000
            return 1150.0 + 840.0 * wave + rng.gauss(0.0, 5.0)
        if self.kind == 2:                                   # flow: signed, tiny or zero
            r = rng.random()
            if r < 0.15:
                return 0.0
            if r < 0.3:
                return -rng.uniform(1e-12, 1e-6)
            return 45.0 * wave + rng.gauss(0.0, 1.0)
        # anything else: magnitudes anywhere from 1e-30 to 1e30
        return self.sign * self.scale * (1.5 + wave + rng.gauss(0.0, 0.01))


def write_plot(out, params, blocks, width=12, seed=1):
    rng = random.Random(seed)
    fmt = field_format(width)
    out.write("TORVASK plot file, seed %d%s%d\n" % (seed, " " * 8, params))
    for j in range(params):
        out.write("PARAM%04d\n" % j if j else "TIME\n")
    lines_per_block = math.ceil(params / FIELDS_PER_LINE)
    parameters = [Parameter(rng, j) for j in range(1, params)]
    for b in range(blocks):
        out.write("%6d\n" % (b + 1))
        values = [b * 0.5] + [p.value(b) for p in parameters]
        for m in range(lines_per_block):
            chunk = values[m * FIELDS_PER_LINE:(m + 1) * FIELDS_PER_LINE]
            out.write("".join(fmt.format(v) for v in chunk) + "\n")


def block_bytes(params, width):
    lines = math.ceil(params / FIELDS_PER_LINE)
    return 7 + params * width + lines


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--params", type=int, required=True)
    ap.add_argument("--blocks", type=int)
    ap.add_argument("--size-mb", type=float, help="choose the block count for about this size")
    ap.add_argument("--width", type=int, default=12)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args(argv)
    blocks = args.blocks
    if blocks is None:
        if args.size_mb is None:
            ap.error("give --blocks or --size-mb")
        blocks = max(1, int(args.size_mb * 1e6 / block_bytes(args.params, args.width)))
    with open(args.out, "w", encoding="ascii", newline="\n") as out:
        write_plot(out, args.params, blocks, args.width, args.seed)
    print("%s: %d parameters, %d blocks, width %d" % (args.out, args.params, blocks, args.width),
          file=sys.stderr)


if __name__ == "__main__":
    main()
