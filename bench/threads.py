#!/usr/bin/env python3
"""novrel in two threads on a free-threaded interpreter, beside what the
interpreter itself gains on the same objects and on work that allocates
nothing.

    threads.py [--size-mb 50] [--reps 5] [--data-dir build/bench]
               [--regular PYTHON=BUILD_DIR] [--only WORKLOAD,...]
    threads.py --single PATH [--reps 5]     (child: one read, JSON timings)

Two files of SIZE MB (N = 200, width 12) are worked on one after the other
and then in two threads at once, every workload interleaved in the same
process:
  novrel   novrel.rust_read_torvask of each file;
  parse    torvask._core.read of each file: the same parser into one float32
           array, no object per value, the interpreter released;
  lists    the same lists built by the interpreter alone: array.tolist() of
           each column, one float object per value and nothing parsed;
  sha256   hashlib.sha256 of each file's bytes, no allocation per value.
A speed-up is (one after the other) / (two threads), wall time, median of
the repetitions: 2.0 is all that two cores give. Results are freed outside
the timed part, except in the rows that time the freeing itself: each
thread freeing its own result, or the main thread freeing both after the
threads end (the second sums the freeing alone). "Pooled" threads are the
same two for the whole run, as a pool's workers; new threads start with
empty allocator heaps. Minor page faults are those of the whole process
during the timed part; CPU time is that of the threads doing the work.

What new threads cost beyond pooled ones is the interpreter's allocator:
it hands the pages of the objects it frees back to the system after a
short delay, and a new thread's heap takes fresh pages for every float and
list, each a page fault. The run is repeated in a child with that return
turned off (MIMALLOC_PURGE_DELAY=-1, novrel and lists only), where new and
pooled threads should cost the same CPU time. --only picks the workloads,
and prints only the speed-ups.

--regular runs the single-thread novrel read under another interpreter
(Debian's python3.14 and a build of the module for it) and under this one,
each in a child, and prints the ratio of their times.
"""

import argparse
import concurrent.futures
import gc
import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from array import array

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import peers  # noqa: E402  (the plot files)

PARAMS, WIDTH = 200, 12


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def load_core():
    """torvask._core from its file, without the package (which needs numpy)."""
    import importlib.util
    build = os.path.abspath(os.environ.get("NOVREL_BUILD_DIR", "build"))
    path = os.path.join(build, "torvask", "_core" + sysconfig.get_config_var("EXT_SUFFIX"))
    found = importlib.util.spec_from_file_location("_core", path)
    core = importlib.util.module_from_spec(found)
    found.loader.exec_module(core)
    return core


def columns_of(path):
    """The file's values as float32 arrays, one per parameter: the input of
    the lists workload, made once."""
    first, columns = peers.import_novrel().rust_read_torvask(path, WIDTH)
    return [array("f", c) for c in [first, *columns]]


# Two threads that live through the whole run: unlike new threads, they keep
# their allocator heaps (and the pages in them) from one repetition to the
# next, as a thread pool's workers do.
POOL = [concurrent.futures.ThreadPoolExecutor(1) for _ in range(2)]


def run_pair(work, inputs, threaded, keep):
    """Runs work(input) for both inputs, one after the other or in two
    threads started together; returns (wall seconds, CPU seconds of the two
    runs, minor faults, results if `keep`, else None once each result was
    freed where it was made)."""
    results = [None, None]
    cpu = [0.0, 0.0]

    def one(i):
        began = time.thread_time()
        result = work(inputs[i])
        if keep:
            results[i] = result
        else:
            del result
        cpu[i] = time.thread_time() - began

    gc.collect()
    if threaded == "pooled":
        faults = minor_faults()
        began = time.perf_counter()
        for done in [POOL[i].submit(one, i) for i in range(2)]:
            done.result()
    elif threaded:
        start = threading.Barrier(3)
        threads = [threading.Thread(target=lambda i=i: (start.wait(), one(i))) for i in range(2)]
        for t in threads:
            t.start()
        faults = minor_faults()
        start.wait()
        began = time.perf_counter()
        for t in threads:
            t.join()
    else:
        faults = minor_faults()
        began = time.perf_counter()
        one(0)
        one(1)
    return time.perf_counter() - began, sum(cpu), minor_faults() - faults, results


def measure(workloads, reps):
    """{row: (seconds, faults)} medians, the rows of each workload run in a
    rotating order so none always follows the same neighbour."""
    rows = []
    for name, work, inputs, free_rows in workloads:
        rows.append((name + ", one after the other", work, inputs, False, False))
        rows.append((name + ", two new threads", work, inputs, True, False))
        rows.append((name + ", two pooled threads", work, inputs, "pooled", False))
        if free_rows:
            rows.append((name + ", each thread frees its own", work, inputs, True, True))
            rows.append((name + ", main thread frees both (freeing)", work, inputs, True, None))
    samples = {r[0]: [] for r in rows}
    for rep in range(reps):
        k = rep % len(rows)
        for label, work, inputs, threaded, free in rows[k:] + rows[:k]:
            seconds, cpu, faults, results = run_pair(work, inputs, threaded, keep=free is not True)
            if free is None:  # only the freeing, on this thread, is timed
                faults = minor_faults()
                began, cpu = time.perf_counter(), time.thread_time()
                del results[:]
                seconds, cpu = time.perf_counter() - began, time.thread_time() - cpu
                faults = minor_faults() - faults
            del results
            samples[label].append((seconds, cpu, faults))
    return {label: tuple(statistics.median(column) for column in zip(*v))
            for label, v in samples.items()}


def single_main(path, reps):
    novrel = peers.import_novrel()
    times = []
    for _ in range(reps + 1):
        gc.collect()
        began = time.perf_counter()
        result = novrel.rust_read_torvask(path, WIDTH)
        times.append(time.perf_counter() - began)
        del result
    print(json.dumps({"times": times[1:], "version": sys.version.split()[0],
                      "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED"))}))


def single_ratio(regular, path, reps):
    """Median single-thread read times under the regular interpreter and
    this one, each child run twice, alternating."""
    python, build = regular.split("=", 1)
    runs = {"regular": (python, build), "this": (sys.executable, os.environ.get("NOVREL_BUILD_DIR", ""))}
    times = {k: [] for k in runs}
    for _ in range(2):
        for key, (exe, build_dir) in runs.items():
            env = dict(os.environ, NOVREL_BUILD_DIR=build_dir)
            out = subprocess.run([exe, __file__, "--single", path, "--reps", str(reps)], env=env,
                                 check=True, capture_output=True, text=True).stdout
            times[key] += json.loads(out)["times"]
    return {k: statistics.median(v) for k, v in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=float, default=50.0)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--data-dir", default=os.path.join("build", "bench"))
    parser.add_argument("--regular", metavar="PYTHON=BUILD_DIR")
    parser.add_argument("--single", metavar="PATH")
    parser.add_argument("--only", metavar="WORKLOAD,...")
    args = parser.parse_args()
    if args.single:
        return single_main(args.single, args.reps)

    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    say = print if not args.only else (lambda *_: None)
    say("  Python %s%s, %d cores, load average %s" % (
        sys.version.split()[0], " free-threaded" if free_threaded else " (with the GIL)",
        os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3])))
    paths = []
    for seed in (1, 2):  # two different files, so no page or line is shared
        blocks = max(1, int(args.size_mb * 1e6 / peers.plotgen.block_bytes(PARAMS, WIDTH)))
        path = os.path.join(args.data_dir, "threads-%d-b%d.plt" % (seed, blocks))
        if not os.path.exists(path):
            os.makedirs(args.data_dir, exist_ok=True)
            with open(path + ".partial", "w", encoding="ascii", newline="\n") as out:
                peers.plotgen.write_plot(out, PARAMS, blocks, WIDTH, seed=seed)
            os.replace(path + ".partial", path)
        paths.append(path)
    novrel = peers.import_novrel()
    core = load_core() if not args.only or "parse" in args.only.split(",") else None
    columns = [columns_of(p) for p in paths]
    contents = []
    for p in paths:
        with open(p, "rb") as f:
            contents.append(f.read())
    values = sum(len(c) for c in columns[0])
    say("  2 files of %.0f MB, %d values each (N = %d, width %d), median of %d" % (
        len(contents[0]) / 1e6, values, PARAMS, WIDTH, args.reps))

    workloads = [
        ("novrel", lambda p: novrel.rust_read_torvask(p, WIDTH), paths, True),
        # The whole file as float32, by one thread.
        ("parse", lambda p: core.read(os.fsencode(p), WIDTH, False, False, None, None, None, 1, 1),
         paths, False),
        ("lists", lambda cols: [c.tolist() for c in cols], columns, True),
        ("sha256", lambda data: hashlib.sha256(data).digest(), contents, False),
    ]
    if args.only:
        workloads = [w for w in workloads if w[0] in args.only.split(",")]
    figures = measure(workloads, args.reps)
    say("  %-40s %9s %9s %13s" % ("", "wall", "CPU", "minor faults"))
    for label, (seconds, cpu, faults) in figures.items():
        say("  %-40s %7.3f s %7.3f s %13d" % (label, seconds, cpu, faults))
    say("  two threads against one after the other: wall speed-up (2.0 at best), and the")
    say("  CPU time they take against it (1.0 when sharing the process costs nothing;")
    say("  unlike the wall time, this holds on a machine shared with other work):")
    for name, *_ in workloads:
        alone = figures[name + ", one after the other"]
        new, pooled = figures[name + ", two new threads"], figures[name + ", two pooled threads"]
        print("    %-7s %.2fx wall, %.2f CPU (new threads); %.2fx wall, %.2f CPU (pooled)" % (
            name, alone[0] / new[0], new[1] / alone[1], alone[0] / pooled[0], pooled[1] / alone[1]))

    for pool in POOL:
        pool.shutdown()
    if args.only:
        return
    print("  the same, the interpreter keeping the pages it frees (MIMALLOC_PURGE_DELAY=-1):")
    child = subprocess.run(
        [sys.executable, "-u", __file__, "--size-mb", str(args.size_mb), "--reps", str(args.reps),
         "--data-dir", args.data_dir, "--only", "novrel,lists"],
        env=dict(os.environ, MIMALLOC_PURGE_DELAY="-1"), check=True, capture_output=True, text=True)
    sys.stdout.write(child.stdout)
    if args.regular:
        times = single_ratio(args.regular, paths[0], args.reps)
        print("  novrel, one file, one thread: %.3f s on %s, %.3f s here: %.2fx the time" % (
            times["regular"], args.regular.split("=")[0], times["this"],
            times["this"] / times["regular"]))


if __name__ == "__main__":
    main()
