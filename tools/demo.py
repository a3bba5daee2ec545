#!/usr/bin/env python3
"""Read a TORVASK plot file with novrel and show what it holds.

    demo.py FILE [N_DIGITS]      (N_DIGITS: 12 or 15, default 12)
"""
import os
import statistics
import sys
import time

build = os.environ.get("NOVREL_BUILD_DIR")
if build:
    sys.path.insert(0, os.path.abspath(build))

import novrel  # noqa: E402


def parameter_names(path, count):
    """The name lines are not returned by the reader; read them for labels."""
    with open(path, encoding="utf-8") as f:
        f.readline()
        return [f.readline().strip() or "parameter %d" % i for i in range(count)]


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    path = sys.argv[1]
    width = int(sys.argv[2]) if len(sys.argv) == 3 else 12
    size = os.path.getsize(path)

    start = time.perf_counter()
    first_column, columns = novrel.rust_read_torvask(path, width)
    seconds = time.perf_counter() - start

    count = len(columns) + 1
    blocks = len(first_column)
    values = blocks * count
    names = parameter_names(path, count)
    print("file        %s (%.1f MB, field width %d)" % (path, size / 1e6, width))
    print("parameters  %d" % count)
    print("blocks      %d" % blocks)
    if blocks:
        print("time span   %s .. %s (%s)" % (first_column[0], first_column[-1], names[0]))
    print("read in     %.3f s: %.0f MB/s, %.1f million values/s" %
          (seconds, size / seconds / 1e6, values / seconds / 1e6))
    if not blocks:
        return
    shown = list(range(min(6, count - 1)))
    print()
    print("%-14s %14s %14s %14s %14s %14s" % ("parameter", "first", "last", "min", "max", "mean"))
    for i in shown:
        col = columns[i]
        print("%-14s %14.6g %14.6g %14.6g %14.6g %14.6g" %
              (names[i + 1][:14], col[0], col[-1], min(col), max(col), statistics.fmean(col)))

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, axes = plt.subplots(len(shown[:3]), 1, sharex=True, figsize=(8, 6))
    for ax, i in zip(axes, shown[:3]):
        ax.plot(first_column, columns[i], linewidth=0.6)
        ax.set_ylabel(names[i + 1])
    axes[-1].set_xlabel(names[0])
    fig.suptitle(os.path.basename(path))
    png = os.path.splitext(path)[0] + ".png"
    fig.savefig(png, dpi=100)
    print("\nplot        %s" % png)


if __name__ == "__main__":
    main()
