"""python -m torvask FILE...: a first look at plot files.

For each file: its field width, parameter and block counts, the span of the
first parameter and the smallest and largest value of the first parameters.
A file that cannot be read gets one line on standard error, and the exit
status is then 1.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

import numpy as np

from . import FormatError, Plot, read

SHOWN_PARAMETERS = 10


def _number(value: float) -> str:
    return f"{value:.6g}"


def describe(plot: Plot) -> list[str]:
    """The lines that show `plot`: a summary, then a min/max table."""
    blocks, count = plot.values.shape
    lines = [f"{plot.path}: width {plot.width}, {count} parameters, {blocks} blocks"]
    if blocks == 0:
        return lines
    first = plot.values[:, 0]
    lines[0] += f", {plot.names[0]} from {_number(first[0])} to {_number(first[-1])}"
    shown = plot.values[:, :SHOWN_PARAMETERS]
    # fmin/fmax pass over NaN (a NaN-only parameter shows nan), without warnings.
    lows = np.fmin.reduce(shown, axis=0)
    highs = np.fmax.reduce(shown, axis=0)
    names = [name or "''" for name in plot.names[:SHOWN_PARAMETERS]]
    wide = max(len("parameter"), *map(len, names))
    lines.append(f"  {'parameter':<{wide}}  {'min':>13}  {'max':>13}")
    for name, low, high in zip(names, lows, highs):
        lines.append(f"  {name:<{wide}}  {_number(low):>13}  {_number(high):>13}")
    if count > SHOWN_PARAMETERS:
        lines.append(f"  ... {count - SHOWN_PARAMETERS} more")
    return lines


def _failure(path: str, error: Exception) -> str:
    if isinstance(error, FormatError):
        return str(error)
    if isinstance(error, OSError):
        return f"{path}: {error.strerror or error}"
    return f"{path}: out of memory"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m torvask",
                                     description="Show what plot files hold.")
    parser.add_argument("files", metavar="FILE", nargs="+")
    parser.add_argument("--width", type=int, help="the field width in bytes "
                        "(by default the first data line's length over its fields)")
    parser.add_argument("--complete-blocks", action="store_true",
                        help="read the complete blocks of a file that ends inside one")
    options = parser.parse_args(argv)
    if options.width is not None and options.width < 1:
        parser.error("--width must be at least 1")
    failed = False
    for path in options.files:
        try:
            plot = read(path, options.width, complete_blocks=options.complete_blocks)
        except (OSError, FormatError, MemoryError) as error:
            sys.stdout.flush()
            print(_failure(path, error), file=sys.stderr, flush=True)
            failed = True
            continue
        print("\n".join(describe(plot)), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
