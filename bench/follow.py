#!/usr/bin/env python3
"""Following a growing file: torvask.follow polled after each of 100 appends
that grow a file to 120 MB, against one full read of the finished file.

    follow.py [--quick] [--size-mb 120] [--appends 100] [--reps 3] [--dir build/bench]

Figures only: the target (all the polls together at most 1.3 full float64
reads) is printed as met or MISSED, nothing fails on a timing. Only the polls
are timed, not the appends; the median of the repetitions.
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

import numpy as np  # noqa: E402
import peers  # noqa: E402  (the generated plot files, kept between runs)
import torvask  # noqa: E402

TARGET = 1.3


def follow_once(source, target, appends):
    """Seconds spent in the polls, and the values they gave."""
    with open(source, "rb") as f:
        data = f.read()
    if os.path.exists(target):
        os.remove(target)
    follower = torvask.follow(target)
    spent, parts = 0.0, []
    with open(target, "wb") as out:
        for k in range(appends):
            # Cut anywhere: mid-line, mid-block.
            out.write(data[len(data) * k // appends:len(data) * (k + 1) // appends])
            out.flush()
            t = time.perf_counter()
            plot = follower.poll()
            spent += time.perf_counter() - t
            if len(plot.values):
                parts.append(plot.values)
    os.remove(target)
    return spent, np.concatenate(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a 12 MB file, 1 repetition")
    ap.add_argument("--size-mb", type=float, default=120.0)
    ap.add_argument("--appends", type=int, default=100)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--dir", default="build/bench")
    args = ap.parse_args()
    size_mb, reps = (12.0, 1) if args.quick else (args.size_mb, args.reps)
    path, blocks = peers.plot_file(args.dir, 200, 15, size_mb=size_mb)
    target = os.path.join(args.dir, "following.plt")
    full_times, follow_times = [], []
    whole = torvask.read(path)  # and the file into the page cache
    for _ in range(reps):
        t = time.perf_counter()
        torvask.read(path)
        full_times.append(time.perf_counter() - t)
        spent, values = follow_once(path, target, args.appends)
        follow_times.append(spent)
        assert np.array_equal(values, whole.values), "the polls disagree with a full read"
    full, polls = statistics.median(full_times), statistics.median(follow_times)
    print(f"{os.path.getsize(path) / 1e6:.0f} MB, N=200, width 15, {blocks} blocks, "
          f"{args.appends} appends; load average {os.getloadavg()[0]:.2f}")
    print(f"  full read          {full:7.3f} s")
    print(f"  all polls          {polls:7.3f} s  = {polls / full:.2f} full reads "
          f"(target at most {TARGET}: {'met' if polls <= TARGET * full else 'MISSED'})")


if __name__ == "__main__":
    main()
