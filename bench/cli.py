#!/usr/bin/env python3
"""The function behind `torvask info` against a full read, in one process.

    cli.py [--quick] [--size-mb 300] [--reps 5] [--dir build/bench]

Figures only: the target (info at most 0.3x a full float64 read of the same
width-15 file of 1000 parameters) is printed as met or MISSED, nothing fails
on a timing. Times are wall seconds, the median of the repetitions with the
two calls interleaved; interpreter start-up is not counted.
"""

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
build = os.environ.get("NOVREL_BUILD_DIR")
if build:
    sys.path.insert(0, os.path.abspath(build))

import peers  # noqa: E402  (the generated plot files, kept between runs)
import torvask  # noqa: E402
from torvask.__main__ import info  # noqa: E402

TARGET = 0.3


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a 30 MB file, 3 repetitions")
    ap.add_argument("--size-mb", type=float, default=300.0)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--dir", default="build/bench")
    args = ap.parse_args()
    size_mb, reps = (30.0, 3) if args.quick else (args.size_mb, args.reps)
    path, blocks = peers.plot_file(args.dir, 1000, 15, size_mb=size_mb)
    calls = {"info": lambda: info(path), "full read": lambda: torvask.read(path)}
    times = {name: [] for name in calls}
    calls["full read"]()  # the file into the page cache
    for _ in range(reps):
        for name, call in calls.items():
            t = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - t)
    full, summary = statistics.median(times["full read"]), statistics.median(times["info"])
    print(f"{os.path.getsize(path) / 1e6:.0f} MB, N=1000, width 15, {blocks} blocks; "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"  full read  {full:7.3f} s")
    print(f"  info       {summary:7.3f} s  = {summary / full:.3f}x a full read "
          f"(target at most {TARGET}x: {'met' if summary <= TARGET * full else 'MISSED'})")


if __name__ == "__main__":
    main()
