#!/usr/bin/env python3
"""xarray's torvask engine: xr.open_dataset against a full torvask.read.

    engine.py [--quick] [--size-mb 300] [--reps 5] [--dir build/bench]

Figures only: the target, opening in at most 0.25x a full float64 read's
time, is printed as met or MISSED; nothing fails on a timing. The file has
1000 parameters of width 15 (parameter 0 rising, the others random), written
once by torvask.write and kept. Times are wall seconds with the file in the
page cache (a full read runs first), median and best of the repetitions:
opening (the header and parameter 0), touching one other parameter in
every block, and opening then loading every variable.
"""

import argparse
import os
import statistics
import sys
import time

build = os.environ.get("NOVREL_BUILD_DIR")
if build:
    sys.path.insert(0, os.path.abspath(build))

import numpy as np  # noqa: E402
import xarray as xr  # noqa: E402

import torvask  # noqa: E402

ENGINE = torvask.xarray_backend.TorvaskBackendEntrypoint
PARAMETERS = 1000
TARGET = 0.25


def plot_file(directory, size_mb):
    path = os.path.join(directory, f"engine-w15-{size_mb:g}mb.plt")
    # A block: its leading line, 100 data lines of ten 15-byte fields.
    blocks = max(1, int(size_mb * 1e6 / (5 + PARAMETERS * 15 + PARAMETERS // 10)))
    if not os.path.exists(path):
        rng = np.random.default_rng(7)
        columns = {"TIME": np.arange(blocks) * 0.5}
        columns |= {f"PARAM{j:04d}": rng.uniform(-1e6, 1e6, blocks) for j in range(1, PARAMETERS)}
        torvask.write(path, columns, width=15, title="engine benchmark")
    return path, blocks


def timed(reps, call):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a 30 MB file, 3 repetitions")
    ap.add_argument("--size-mb", type=float, default=300.0)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--dir", default="build/bench")
    args = ap.parse_args()
    size_mb, reps = (30.0, 3) if args.quick else (args.size_mb, args.reps)
    os.makedirs(args.dir, exist_ok=True)
    path, blocks = plot_file(args.dir, size_mb)
    mb = os.path.getsize(path) / 1e6
    print(f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}; {mb:.0f} MB, "
          f"width 15, {PARAMETERS} parameters, {blocks} blocks")

    full = timed(reps, lambda: torvask.read(path))
    opened = timed(reps, lambda: xr.open_dataset(path, engine=ENGINE))
    # Without xarray's cache, so that each repetition reads again.
    dataset = xr.open_dataset(path, engine=ENGINE, cache=False)
    touched = timed(reps, lambda: dataset["PARAM0500"].values)
    loaded = timed(reps, lambda: xr.open_dataset(path, engine=ENGINE).load())
    # The engine's values are the read's: checked once, outside the timings.
    np.testing.assert_array_equal(dataset["PARAM0500"].values, torvask.read(path)["PARAM0500"])

    print(f"{'':35s} {'median s':>9s} {'best s':>8s} {'x full':>7s}")
    for label, (median, best) in [("torvask.read, float64, all", full),
                                  ("open_dataset (header, parameter 0)", opened),
                                  ("one other parameter, every block", touched),
                                  ("open_dataset, load() every variable", loaded)]:
        print(f"{label:35s} {median:9.3f} {best:8.3f} {median / full[0]:7.3f}")
    ratio = opened[0] / full[0]
    print(f"open_dataset / full read: {ratio:.3f} (target <= {TARGET}: "
          f"{'met' if ratio <= TARGET else 'MISSED'})")


if __name__ == "__main__":
    main()
