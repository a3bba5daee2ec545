#!/usr/bin/env python3
"""torvask.read beside novrel.rust_read_torvask, the bytes alone, numpy and
pandas, in float32 and float64; chosen parameters and blocks of a big file,
and that file in two threads; torvask.read_many in threads; a Dask cluster
over the same files.

    arrays.py [--quick] [--size-mb 100] [--chosen-mb 300] [--many-mb 50]
              [--files 8] [--reps 9]
              [--no-dask] [--json OUT]
    arrays.py --side-by-side RESULT.json...

Figures only: each target is printed as met or MISSED, nothing fails on a
timing. Times are wall seconds (threads and workers are the point here),
median of the repetitions; on two cores shared with builds and other
machines they are noisy (the same read's CPU time varies by half between
calls here), so the load average is printed with them. The big peers (numpy, pandas) run
once. Every peer's values are checked against torvask's, bit for bit.

Peak memory is that of a fresh child doing only torvask.read: the growth of
its peak resident set during the call, next to the array's size.

--json writes the figures for --side-by-side, which prints the runs of
several architectures as one table (stdlib only).
"""

import argparse
import concurrent.futures
import gc
import hashlib
import json
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import peers  # noqa: E402  (the plot files and the numpy and pandas tables)

PARAMS, WIDTH = 200, 12
MIB = 1 << 20

np = novrel = torvask = None


def load():
    global np, novrel, torvask
    build = os.environ.get("NOVREL_BUILD_DIR")
    if build:
        build = os.path.abspath(build)
        sys.path.insert(0, build)
        # Dask's worker processes import torvask themselves.
        os.environ["PYTHONPATH"] = os.pathsep.join(
            p for p in (build, os.environ.get("PYTHONPATH")) if p)
    import novrel as reader
    import numpy
    import torvask as module
    np, novrel, torvask = numpy, reader, module
    peers.NP = numpy


def timed(fn, *args):
    """Wall and CPU seconds (this process's, all threads) of one call."""
    gc.collect()
    t, c = time.perf_counter(), time.process_time()
    result = fn(*args)
    elapsed, cpu = time.perf_counter() - t, time.process_time() - c
    del result  # freeing is not part of the call
    return elapsed, cpu


def wall(fn, *args):
    return timed(fn, *args)[0]


def medians(calls, reps):
    """{name: median wall s, name + " cpu": the CPU s of that call} of the
    calls, interleaved, the order rotating each repetition so that none
    always follows the same neighbour."""
    names = list(calls)
    samples = {name: [] for name in names}
    for r in range(reps):
        for name in names[r % len(names):] + names[:r % len(names)]:
            samples[name].append(timed(*calls[name]))
    out = {}
    for name, s in samples.items():
        s.sort()
        out[name], out[name + " cpu"] = s[(len(s) - 1) // 2]
    return out


def agreement(table, values):
    """How a peer's (blocks, n) float32 table compares with torvask's values."""
    if table.shape != values.shape:
        return "SHAPE DIFFERS %s" % (table.shape,)
    a, b = table.view(np.int32), values.view(np.int32)
    differ = int(np.count_nonzero(a != b))
    if differ == 0:
        return "identical"
    one_ulp = int(np.count_nonzero(np.abs(a.astype(np.int64) - b) == 1))
    return "%d differ (%d by 1 ulp)" % (differ, one_ulp)


def novrel_table(path):
    first, cols = novrel.rust_read_torvask(path, WIDTH)
    table = np.empty((len(first), len(cols) + 1), np.float32)
    table[:, 0] = first
    for j, c in enumerate(cols, 1):
        table[:, j] = c
    return table


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def numpy_astype(path):
    """Fixed-width slicing into an S array, then astype(float32)."""
    return peers.numpy_field_table(path, WIDTH)[0].astype(np.float32)


def pandas_fwf(path):
    return peers.pandas_table(path, WIDTH).astype(np.float32)


def child_main(path, keywords="{}"):
    """torvask.read once in a fresh process: print its memory figures."""
    load()
    keywords = json.loads(keywords)
    if "blocks" in keywords:
        keywords["blocks"] = slice(*keywords["blocks"])
    gc.collect()
    try:  # start the peak over from here, where the kernel allows it
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    before = peers.rss_kib("VmRSS")
    plot = torvask.read(path, **keywords)
    peak = peers.rss_kib("VmHWM")
    print(json.dumps({"growth": (peak - before) * 1024, "array": plot.values.nbytes}))


def single_file(args, out):
    path, blocks = peers.plot_file(args.data_dir, PARAMS, WIDTH, size_mb=args.size_mb)
    out["file"] = "%.0f MB, N=%d, w%d, %d blocks" % (
        os.path.getsize(path) / 1e6, PARAMS, WIDTH, blocks)
    print("== one file: %s" % out["file"], flush=True)
    values = torvask.read(path, dtype=np.float32).values
    out["agree novrel"] = agreement(novrel_table(path), values)
    out["agree numpy"] = agreement(numpy_astype(path), values)
    try:
        import pandas  # noqa: F401
        peers.PD = pandas
        out["agree pandas"] = agreement(pandas_fwf(path), values)
    except ImportError:
        out["agree pandas"] = None
    del values

    out.update(medians({"torvask": (lambda: torvask.read(path, dtype=np.float32),),
                        "torvask64": (torvask.read, path),
                        "novrel": (novrel.rust_read_torvask, path, WIDTH),
                        "bytes": (read_bytes, path)}, args.reps))
    out["numpy"] = wall(numpy_astype, path)
    out["pandas"] = wall(pandas_fwf, path) if out["agree pandas"] else None

    child = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", path],
                           capture_output=True, text=True, check=True)
    out.update(json.loads(child.stdout))


def many_files(args, out):
    source, _ = peers.plot_file(args.data_dir, PARAMS, WIDTH, size_mb=args.many_mb)
    size = os.path.getsize(source)
    # Copies of one generated file: as many bytes to read, without the minutes
    # that generating each would take.
    paths = []
    for i in range(args.files):
        path = os.path.join(args.data_dir, "many-%d-%s" % (i, os.path.basename(source)))
        if not os.path.exists(path) or os.path.getsize(path) != size:
            shutil.copyfile(source, path + ".partial")
            os.replace(path + ".partial", path)
        paths.append(path)
    out["files"] = "%d files of %.0f MB" % (len(paths), size / 1e6)
    print("== many files: %s" % out["files"], flush=True)
    for path in paths:  # into the page cache
        read_bytes(path)
    # What two threads can gain on this machine right now: hashing, which
    # lets go of the interpreter as reading does, but touches no file and
    # allocates nothing, timed between the reads.
    block = bytes(64 * MIB)

    def digest(_):
        return hashlib.sha256(block).digest()

    def hash_threads():
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            return list(pool.map(digest, range(args.files)))

    out.update(medians({"sequential": (lambda: [torvask.read(p) for p in paths],),
                        "threads": (lambda: torvask.read_many(paths, threads=2),),
                        "hash loop": (lambda: [digest(i) for i in range(args.files)],),
                        "hash threads": (hash_threads,)},
                       max(2, args.reps // 2)))
    if args.dask:
        dask_cluster(args, paths, out)


def child_memory(path, **keywords):
    """The peak growth and array bytes of one read in a fresh process."""
    if "blocks" in keywords:
        b = keywords["blocks"]
        keywords["blocks"] = [b.start, b.stop, b.step]
    child = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", path,
                            "--child-keywords", json.dumps(keywords)],
                           capture_output=True, text=True, check=True)
    return json.loads(child.stdout)


def chosen_reads(args, out):
    """Parts of one big width-15 file of 1000 parameters against a full
    (float64) read, one file in two threads against one, and what two
    threads of sha256 gain in the same run."""
    path, blocks = peers.plot_file(args.data_dir, 1000, 15, size_mb=args.chosen_mb)
    out["chosen file"] = "%.0f MB, N=1000, w15, %d blocks" % (os.path.getsize(path) / 1e6, blocks)
    print("== chosen parts: %s" % out["chosen file"], flush=True)
    read_bytes(path)
    block = bytes(64 * MIB)

    def digest(_):
        return hashlib.sha256(block).digest()

    def hash_threads():
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            return list(pool.map(digest, range(4)))

    three = dict(parameters=[1, 500, 999])
    tail = dict(blocks=slice(-100, None))
    out.update(medians({"full": (torvask.read, path),
                        "full32": (lambda: torvask.read(path, dtype=np.float32),),
                        "three": (lambda: torvask.read(path, **three),),
                        "tail": (lambda: torvask.read(path, **tail),),
                        "full threads": (lambda: torvask.read(path, threads=2),),
                        "hash 4": (lambda: [digest(i) for i in range(4)],),
                        "hash 4 threads": (hash_threads,)}, args.reps))
    for name, keywords in (("three", three), ("tail", tail)):
        figures = child_memory(path, **keywords)
        out[name + " growth"], out[name + " array"] = figures["growth"], figures["array"]


def column_max(path):
    return torvask.read(path).values.max(axis=0)


def dask_cluster(args, paths, out):
    try:
        import dask
        import dask.array as da
        from dask.distributed import Client, LocalCluster
    except ImportError:
        return
    import logging

    t = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
            Client(cluster, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        out["dask start"] = time.perf_counter() - t

        def on_workers():
            # One array per file, read where it is computed; only the
            # per-file maxima travel back.
            arrays = [da.from_delayed(dask.delayed(torvask.read)(p).values,
                                      shape=(np.nan, PARAMS), dtype=np.float32) for p in paths]
            return da.stack([a.max(axis=0) for a in arrays]).max(axis=0).compute()

        def sequential():
            return np.max([column_max(p) for p in paths], axis=0)

        first = on_workers()  # the workers import torvask and numpy
        out["agree dask"] = agreement(first, sequential())
        out.update(medians({"dask": (on_workers,), "dask sequential": (sequential,)},
                           max(2, args.reps // 2)))


# ---------------------------------------------------------------------------
# The table, for one run or several side by side


def ratio(a, b):
    return a / b if a is not None and b else None


def seconds(key):
    return lambda r: r.get(key)


def memory_limit(r):
    return 1.1 * r["array"] + 32 * MIB if "array" in r else None


def chosen_memory(name):
    def figure(r):
        if name + " growth" not in r:
            return None
        return (r[name + " growth"] - r[name + " array"]) / MIB
    return figure


def threads_against_sha256(r):
    if "full threads" not in r:
        return None
    return ratio(r["full"] / r["full threads"], r["hash 4"] / r["hash 4 threads"])


ROWS = [
    # label, figure of a run, format, target (text, test) or None
    ("one file", lambda r: r.get("file"), "%s", None),
    ("torvask.read s", seconds("torvask"), "%.3f", None),
    ("novrel.rust_read_torvask s", seconds("novrel"), "%.3f", None),
    ("  x torvask's time", lambda r: ratio(r.get("novrel"), r.get("torvask")), "%.2f",
     (">= 2.5", lambda x: x >= 2.5)),
    ("torvask.read float64 s", seconds("torvask64"), "%.3f", None),
    ("  / float32's time", lambda r: ratio(r.get("torvask64"), r.get("torvask")), "%.2f",
     ("<= 1.25", lambda x: x <= 1.25)),
    ("open().read() s", seconds("bytes"), "%.3f", None),
    ("  torvask / bytes", lambda r: ratio(r.get("torvask"), r.get("bytes")), "%.2f",
     ("<= 1.5", lambda x: x <= 1.5)),
    ("numpy slicing + astype s", seconds("numpy"), "%.2f", None),
    ("pandas.read_fwf s", seconds("pandas"), "%.2f", None),
    ("values: novrel", lambda r: r.get("agree novrel"), "%s", None),
    ("values: numpy", lambda r: r.get("agree numpy"), "%s", None),
    ("values: pandas", lambda r: r.get("agree pandas"), "%s", None),
    ("array MiB", lambda r: r.get("array") and r["array"] / MIB, "%.1f", None),
    ("peak growth MiB", lambda r: r.get("growth") and r["growth"] / MIB, "%.1f", None),
    ("  / (1.1 x array + 32 MiB)", lambda r: ratio(r.get("growth"), memory_limit(r)), "%.2f",
     ("<= 1", lambda x: x <= 1)),
    ("chosen parts of", lambda r: r.get("chosen file"), "%s", None),
    ("full read (float64) s", seconds("full"), "%.3f", None),
    ("  float32 s", seconds("full32"), "%.3f", None),
    ("3 parameters s", seconds("three"), "%.3f", None),
    ("  / full", lambda r: ratio(r.get("three"), r.get("full")), "%.2f",
     ("<= 0.2", lambda x: x <= 0.2)),
    ("  peak growth - array MiB", chosen_memory("three"), "%.1f", ("<= 32", lambda x: x <= 32)),
    ("last 100 blocks s", seconds("tail"), "%.3f", None),
    ("  / full", lambda r: ratio(r.get("tail"), r.get("full")), "%.2f",
     ("<= 0.2", lambda x: x <= 0.2)),
    ("  peak growth - array MiB", chosen_memory("tail"), "%.1f", ("<= 32", lambda x: x <= 32)),
    ("threads=2 s", seconds("full threads"), "%.3f", None),
    ("  speed-up", lambda r: ratio(r.get("full"), r.get("full threads")), "%.2f", None),
    ("  sha256 2 threads speed-up", lambda r: ratio(r.get("hash 4"), r.get("hash 4 threads")),
     "%.2f", None),
    ("  speed-up / sha256's", threads_against_sha256, "%.2f", (">= 0.95", lambda x: x >= 0.95)),
    ("many files", lambda r: r.get("files"), "%s", None),
    ("sequential torvask.read s", seconds("sequential"), "%.3f", None),
    ("read_many(threads=2) s", seconds("threads"), "%.3f", None),
    # Below 1 and 2, the machine gave less than the cores asked for; the
    # sha256 row is the speed-up that two threads could have had then.
    ("  cores had: loop, threads", lambda r: r.get("threads cpu") and "%.2f, %.2f" % (
        r["sequential cpu"] / r["sequential"], r["threads cpu"] / r["threads"]), "%s", None),
    ("  speed-up", lambda r: ratio(r.get("sequential"), r.get("threads")), "%.2f",
     (">= 1.7", lambda x: x >= 1.7)),
    ("  sha256 in 2 threads: speed-up", lambda r: ratio(r.get("hash loop"), r.get("hash threads")),
     "%.2f", None),
    ("Dask LocalCluster start s", seconds("dask start"), "%.2f", None),
    ("Dask max on 2 workers s", seconds("dask"), "%.3f", None),
    ("sequential max s", seconds("dask sequential"), "%.3f", None),
    ("  speed-up", lambda r: ratio(r.get("dask sequential"), r.get("dask")), "%.2f",
     ("> 1", lambda x: x > 1)),
    ("values: Dask", lambda r: r.get("agree dask"), "%s", None),
    ("load average (1 min) at the end", seconds("load"), "%.2f", None),
]


def print_table(runs):
    cells = []
    for label, figure, fmt, target in ROWS:
        row = []
        for r in runs:
            x = figure(r)
            text = "-" if x is None else fmt % x
            if target and x is not None:
                text += " met" if target[1](x) else " MISSED"
            row.append(text)
        if any(c != "-" for c in row):
            cells.append((label, row, target[0] if target else ""))
    widths = [max(len(r["arch"]), *(len(row[i]) for _, row, _ in cells))
              for i, r in enumerate(runs)]
    print("%-32s %s  %s" % ("", "  ".join("%-*s" % (w, r["arch"]) for w, r in zip(widths, runs)),
                            "target"))
    for label, row, target in cells:
        print("%-32s %s  %s" % (label, "  ".join("%-*s" % (w, c) for w, c in zip(widths, row)),
                                target))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="10 MB and 5 MB files, for development")
    ap.add_argument("--size-mb", type=float, default=None)
    ap.add_argument("--many-mb", type=float, default=None)
    ap.add_argument("--files", type=int, default=8)
    ap.add_argument("--reps", type=int, default=9)
    ap.add_argument("--no-dask", dest="dask", action="store_false")
    ap.add_argument("--json", help="write the figures here")
    ap.add_argument("--data-dir", default=os.path.join(ROOT, "build", "bench"))
    ap.add_argument("--side-by-side", nargs="+", metavar="RESULT")
    ap.add_argument("--chosen-mb", type=float, default=None)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--child-keywords", default="{}", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child_main(args.child, args.child_keywords)
        return
    if args.side_by_side:
        runs = []
        for name in args.side_by_side:
            with open(name) as f:
                runs.append(json.load(f))
        print_table(runs)
        return
    if args.size_mb is None:
        args.size_mb = 10.0 if args.quick else 100.0
    if args.many_mb is None:
        args.many_mb = 5.0 if args.quick else 50.0
    if args.chosen_mb is None:
        args.chosen_mb = 20.0 if args.quick else 300.0

    load()
    bits = 8 * struct.calcsize("P")
    try:
        arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True,
                              text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        arch = "%s, %d-bit" % (platform.machine(), bits)
    out = {"arch": arch}
    print("python %s, %d-bit; load average %.2f %.2f %.2f" % (
        sys.version.split()[0], bits, *os.getloadavg()), flush=True)
    single_file(args, out)
    chosen_reads(args, out)
    many_files(args, out)
    out["load"] = os.getloadavg()[0]
    print()
    print_table([out])
    if args.json:
        with open(args.json, "w") as f:
            json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
