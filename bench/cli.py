#!/usr/bin/env python3
"""The function behind `torvask info` against a full read, in one process;
then `torvask diff` of two such files against reading both in turn, and its
peak memory in a process of its own.

    cli.py [--quick] [--size-mb 300] [--reps 5] [--dir build/bench]

Figures only: the targets (info at most 0.3x a full float64 read of the same
width-15 file of 1000 parameters; diff's peak memory at most 256 MB above
the interpreter's with torvask imported) are printed as met or MISSED,
nothing fails on them. Times are wall seconds, the median of the
repetitions with the calls interleaved; interpreter start-up is not counted.
"""

import argparse
import mmap
import os
import shutil
import statistics
import subprocess
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
DIFF_MEMORY_MB = 256


def near_copy(path):
    """A copy of `path` with one digit changed about halfway, as a run of a
    new version of the code that differs from the reference in one value."""
    copy = path[:-4] + "-changed.plt"
    if not os.path.exists(copy):
        shutil.copyfile(path, copy + ".partial")
        with open(copy + ".partial", "r+b") as out, mmap.mmap(out.fileno(), 0) as data:
            # The first decimal of a field: block lines have no point.
            at = data.find(b".", len(data) // 2) + 1
            data[at:at + 1] = b"1" if data[at:at + 1] != b"1" else b"2"
        os.replace(copy + ".partial", copy)
    return copy


# Runs the command line's main() on the given arguments (none: only the
# import) and prints the process's peak resident memory in kB, its VmHWM:
# a child's ru_maxrss would start from this process's own peak at the fork.
PEAK = """
import sys
from torvask.__main__ import main
code = main(sys.argv[1:]) if sys.argv[1:] else 0
with open("/proc/self/status") as status:
    peak = next(line.split()[1] for line in status if line.startswith("VmHWM:"))
print(peak, code, file=sys.stderr)
"""


def peak_rss_mb(args):
    """The command line's peak resident memory (MB) on `args`, and its exit
    status, in a process of its own."""
    env = dict(os.environ)
    if build:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(build),
                                                          env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", PEAK, *args], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, env=env, check=True)
    peak, code = done.stderr.split()[-2:]
    return int(peak) / 1024, int(code)


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

    other = near_copy(path)
    calls = {"both read": lambda: (torvask.read(path), torvask.read(other)),
             "diff": lambda: torvask.compare(path, other)}
    times = {name: [] for name in calls}
    for _ in range(reps):
        for name, call in calls.items():
            t = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - t)
    both, diff = statistics.median(times["both read"]), statistics.median(times["diff"])
    print(f"  two files read in turn  {both:7.3f} s")
    print(f"  torvask diff            {diff:7.3f} s  = {diff / both:.2f}x reading both")
    base, _ = peak_rss_mb([])
    peak, status = peak_rss_mb(["diff", path, other])
    print(f"  torvask diff's peak RSS {peak:7.0f} MB, {peak - base:.0f} MB above the "
          f"interpreter's {base:.0f} MB (exit {status}; target at most {DIFF_MEMORY_MB} MB "
          f"above: {'met' if peak - base <= DIFF_MEMORY_MB else 'MISSED'})")


if __name__ == "__main__":
    main()
