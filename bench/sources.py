#!/usr/bin/env python3
"""torvask.read of a compressed plot file against its decompression alone.

    sources.py [--quick] [--size-mb 100] [--reps 5] [--dir build/bench]

Figures only: the target (reading a gzip file by path takes at most 1.15x
the time of gzip.open(path).read(), which only decompresses it) is printed
as met or MISSED, nothing fails on a timing. The file is peers.py's width-12
one of 200 parameters, compressed once and kept beside it; bz2, xz (preset 1,
so that making it stays short) and zstd are measured the same way with at
most three repetitions, without a target. Times are wall seconds, the median
of the repetitions with the calls interleaved, the files in the page cache.
"""

import argparse
import bz2
import gzip
import lzma
import os
import shutil
import statistics
import sys
import time
from compression import zstd

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
build = os.environ.get("NOVREL_BUILD_DIR")
if build:
    sys.path.insert(0, os.path.abspath(build))

import peers  # noqa: E402  (the generated plot files, kept between runs)
import torvask  # noqa: E402

TARGET = 1.15
# name, module, suffix, what its open() takes to write; gzip first: the target
FORMATS = [("gzip", gzip, ".gz", {"compresslevel": 6}), ("bz2", bz2, ".bz2", {}),
           ("xz", lzma, ".xz", {"preset": 1}), ("zstd", zstd, ".zst", {})]


def compressed(path, module, suffix, options):
    target = path + suffix
    if not os.path.exists(target):
        start = time.perf_counter()
        with open(path, "rb") as plain, module.open(target + ".partial", "wb", **options) as out:
            shutil.copyfileobj(plain, out, 1 << 20)
        os.replace(target + ".partial", target)
        print(f"  made {target} in {time.perf_counter() - start:.0f} s")
    return target


def median_times(calls, reps):
    times = {name: [] for name in calls}
    for _ in range(reps):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def decompressed(module, path):
    with module.open(path, "rb") as stream:
        return len(stream.read())


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a 10 MB file, 3 repetitions")
    ap.add_argument("--size-mb", type=float, default=100.0)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--dir", default="build/bench")
    args = ap.parse_args()
    size_mb, reps = (10.0, 3) if args.quick else (args.size_mb, args.reps)
    path, blocks = peers.plot_file(args.dir, 200, 12, size_mb=size_mb)
    torvask.read(path)  # the file into the page cache
    plain = median_times({"read": lambda: torvask.read(path)}, reps)["read"]
    print(f"{os.path.getsize(path) / 1e6:.0f} MB, N=200, width 12, {blocks} blocks; "
          f"load average {os.getloadavg()[0]:.2f}")
    print(f"  plain file   torvask.read {plain:7.3f} s")
    for name, module, suffix, options in FORMATS:
        packed = compressed(path, module, suffix, options)
        times = median_times({"alone": lambda: decompressed(module, packed),
                              "read": lambda: torvask.read(packed)},
                             reps if name == "gzip" else min(reps, 3))
        ratio = times["read"] / times["alone"]
        verdict = (f" (target <= {TARGET}: {'met' if ratio <= TARGET else 'MISSED'})"
                   if name == "gzip" else "")
        print(f"  {name:5} {os.path.getsize(packed) / 1e6:4.0f} MB  decompression alone "
              f"{times['alone']:7.3f} s, torvask.read {times['read']:7.3f} s = "
              f"{ratio:.3f}x{verdict}")


if __name__ == "__main__":
    main()
