#!/usr/bin/env python3
"""torvask.write: MB/s of plot file written, for float32 and float64 values.

    write.py [--quick] [--size-mb 100] [--reps 5] [--dir build/bench]

Figures only: the target of 300 MB/s is printed as met or MISSED, nothing
fails on a timing. The values are those of a generated plot file (200
parameters: pressures, temperatures, signed flows, magnitudes from 1e-30 to
1e30), read as float32 and widened to float64 for the float64 rows. Times
are wall seconds from the call to the file renamed into place, median and
best of the repetitions, with the load average, since two cores shared
with builds make them noisy; the MB per CPU second (all threads together)
say what the cores would give unshared.
"""

import argparse
import io
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
build = os.environ.get("NOVREL_BUILD_DIR")
if build:
    sys.path.insert(0, os.path.abspath(build))

import numpy as np  # noqa: E402
import plotgen  # noqa: E402
import torvask  # noqa: E402

TARGET_MB_S = 300


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="10 MB files, 3 repetitions")
    ap.add_argument("--size-mb", type=float, default=100.0)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--dir", default="build/bench")
    args = ap.parse_args()
    size_mb, reps = (10.0, 3) if args.quick else (args.size_mb, args.reps)
    os.makedirs(args.dir, exist_ok=True)
    source = os.path.join(args.dir, "write-source.plt")
    params = 200
    blocks = max(1, int(size_mb * 1e6 / plotgen.block_bytes(params, 15)))
    with open(source, "w", encoding="ascii", newline="\n") as out:
        plotgen.write_plot(out, params, blocks, 15)
    plot = torvask.read(source)
    columns = dict(zip(plot.columns, plot.values.T))
    wide = {name: column.astype(np.float64) for name, column in columns.items()}
    target = os.path.join(args.dir, "write-out.plt")

    print(f"{os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}; "
          f"{params} parameters, {blocks} blocks")
    for label, values, width in [("float32, width 15", columns, 15),
                                 ("float64, width 15", wide, 15),
                                 ("float64, width 23", wide, 23)]:
        times, cpu = [], []
        for _ in range(reps):
            start, start_cpu = time.perf_counter(), time.process_time()
            torvask.write(target, values, width=width)
            times.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
        mb = os.path.getsize(target) / 1e6
        best, median = mb / min(times), mb / statistics.median(times)
        verdict = "met" if median >= TARGET_MB_S else "MISSED"
        print(f"  {label}: {mb:.0f} MB, median {median:.0f} MB/s, best {best:.0f} MB/s "
              f"(target {TARGET_MB_S} MB/s: {verdict}); {mb / statistics.median(cpu):.0f} MB "
              f"per CPU second, all threads")
    os.remove(target)
    os.remove(source)


if __name__ == "__main__":
    main()
