#!/usr/bin/env python3
"""End-to-end cost of novrel.rust_read_torvask beside what a scientist would
otherwise write, and beside the physical floor.

    peers.py [--quick] [--shapes w12,w15] [--reps 5] [--size-mb 100]
             [--methods novrel,numpy-astype,...] [--no-rss] [--no-growth]
             [--growth-only]

Every method runs in this one process, interleaved (the order rotates each
repetition so no method always runs right after the same neighbour), and each
is reported as median with min..max. Before timing, every method's result is
checked against novrel's: same shape, same values bit for bit (a hash of the
float64 bytes of every list, so a value that is not a widened float32 shows
up too, not only a float32 that differs).

Peak memory is measured per method in a fresh child process: the peak
resident set reached during the one call, above what the process held just
before it, next to the size of the result itself (sys.getsizeof of the
tuple, the lists and the floats).
"""

import argparse
import gc
import hashlib
import json
import math
import os
import statistics
import struct
import subprocess
import sys
import time
from array import array

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import plotgen  # noqa: E402

FIELDS_PER_LINE = 10

# name: (parameters, width) -- the two file versions in use, each at the
# size of a typical run's plot file.
SHAPES = {"w12": (200, 12), "w15": (1000, 15)}


def import_novrel():
    build = os.environ.get("NOVREL_BUILD_DIR")
    if build:
        sys.path.insert(0, os.path.abspath(build))
    import novrel
    return novrel


# ---------------------------------------------------------------------------
# The methods. Each takes (path, width) and returns (first_column, columns)
# as novrel does: lists of Python floats, each a float32 widened exactly.


def read_novrel(path, width):
    return NOVREL.rust_read_torvask(path, width)


def read_pure_python(path, width):
    """The loop anyone would write first: slice fields, float(), and round
    each column to float32 through array('f') at the end."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    n = int(lines[0].split()[-1])
    per_block = -(-n // FIELDS_PER_LINE)
    cols = [[] for _ in range(n)]
    i = 1 + n
    end = len(lines) - 1 if lines[-1] == b"" else len(lines)
    while i < end:
        i += 1  # the leading line
        for m in range(per_block):
            line = lines[i]
            i += 1
            base = m * FIELDS_PER_LINE
            for k in range(min(FIELDS_PER_LINE, n - base)):
                cols[base + k].append(float(line[k * width:(k + 1) * width]))
    cols = [array("f", c).tolist() for c in cols]
    return cols[0], cols[1:]


def numpy_field_table(path, width):
    """The fields of every block as one (blocks, n) array of S<width>, built
    from the data lines without a Python loop over fields."""
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    n = int(lines[0].split()[-1])
    per_block = -(-n // FIELDS_PER_LINE)
    body = lines[1 + n:]
    if body and body[-1] == b"":
        body.pop()
    step = per_block + 1
    blocks = len(body) // step
    parts = []
    for m in range(per_block):
        fields = min(FIELDS_PER_LINE, n - m * FIELDS_PER_LINE)
        rows = body[m + 1::step][:blocks]  # the m-th data line of every block
        joined = b"".join(rows)
        if len(joined) != blocks * fields * width:  # a line not exactly full width
            joined = b"".join(r[:fields * width].ljust(fields * width) for r in rows)
        parts.append(NP.frombuffer(joined, dtype="S%d" % width).reshape(blocks, fields))
    return parts[0] if len(parts) == 1 else NP.hstack(parts), n


def read_numpy_astype(path, width):
    """Fields as an S array, astype(float32), tolist per column."""
    table, _ = numpy_field_table(path, width)
    cols = table.astype(NP.float32).T.tolist()
    return cols[0], cols[1:]


def read_numpy_fromstring(path, width):
    """Fields separated by a space in one byte string, parsed by
    np.fromstring(sep=' ') straight to float32."""
    table, n = numpy_field_table(path, width)
    blocks = table.shape[0]
    spaced = NP.full((blocks * n, width + 1), ord(" "), dtype=NP.uint8)
    spaced[:, :width] = table.reshape(-1).view(NP.uint8).reshape(-1, width)
    values = NP.fromstring(spaced.tobytes(), dtype=NP.float32, sep=" ")
    cols = values.reshape(blocks, n).T.tolist()
    return cols[0], cols[1:]


def pandas_table(path, width):
    """pandas.read_fwf over the whole body, leading lines skipped: the
    values as one (blocks, n) float64 array."""
    with open(path, "rb") as f:
        n = int(f.readline().split()[-1])
    per_block = -(-n // FIELDS_PER_LINE)
    step = per_block + 1
    frame = PD.read_fwf(path, widths=[width] * FIELDS_PER_LINE, header=None,
                        skiprows=lambda i: i <= n or (i - 1 - n) % step == 0,
                        dtype=NP.float64)
    values = frame.to_numpy(NP.float64)
    blocks = values.shape[0] // per_block
    return values.reshape(blocks, per_block * FIELDS_PER_LINE)[:, :n]


def read_pandas(path, width):
    cols = pandas_table(path, width).astype(NP.float32).T.tolist()
    return cols[0], cols[1:]


def read_bytes(path, width):
    with open(path, "rb") as f:
        return f.read()


PARSED = {}  # path -> the values as array('f') per column, for the object floor


def parsed_columns(path, width, from_cache=False):
    """The file's values as one array('f') per column. The main process
    parses afresh and leaves a copy beside the file, so a child measuring the
    object floor can load them without ever having made (and freed) float
    objects, which would leave it memory to reuse and hide part of the peak."""
    if path in PARSED:
        return PARSED[path]
    PARSED.clear()
    cache = path + ".f32"
    if from_cache:
        with open(cache, "rb") as f:
            shape = array("I")
            shape.fromfile(f, 2)
            columns = []
            for _ in range(shape[0]):
                a = array("f")
                a.fromfile(f, shape[1])
                columns.append(a)
    else:
        first, cols = read_novrel(path, width) if NOVREL else read_pure_python(path, width)
        columns = [array("f", first)] + [array("f", c) for c in cols]
        del first, cols
        with open(cache + ".partial", "wb") as f:
            array("I", [len(columns), len(columns[0])]).tofile(f)
            for a in columns:
                a.tofile(f)
        os.replace(cache + ".partial", cache)
    PARSED[path] = columns
    return columns


def create_objects(path, width):
    """The same lists of floats, from values that are already float32."""
    cols = [a.tolist() for a in parsed_columns(path, width)]
    return cols[0], cols[1:]


# name, function, needs, result comparable with novrel's, note
METHODS = [
    ("novrel", read_novrel, "novrel", True, "novrel.rust_read_torvask"),
    ("numpy-astype", read_numpy_astype, "numpy", True,
     "S%d array .astype(float32) .T.tolist()"),
    ("numpy-fromstring", read_numpy_fromstring, "numpy", True,
     "np.fromstring(sep=' ', float32) .T.tolist()"),
    ("pandas", read_pandas, "pandas", True,
     "pd.read_fwf(widths) -> float32 .T.tolist()"),
    ("pure-python", read_pure_python, "", True, "float(slice), array('f').tolist()"),
    ("floor-read", read_bytes, "", False, "open().read() of the whole file"),
    ("floor-objects", create_objects, "", True,
     "array('f').tolist() per column"),
]
METHOD_BY_NAME = {m[0]: m for m in METHODS}
# Peers that parse to double first and then round to float32: a decimal
# within half a double ulp of a float32 rounding midpoint rounds the wrong way
# (double rounding). novrel rounds the decimal text to float32 in one step.
DOUBLE_ROUNDING = {"numpy-astype", "numpy-fromstring", "pandas", "pure-python"}

NOVREL = NP = PD = None


def load_modules(needed):
    global NOVREL, NP, PD
    if "novrel" in needed and NOVREL is None:
        NOVREL = import_novrel()
    if needed & {"numpy", "pandas"} and NP is None:
        import numpy
        NP = numpy
    if "pandas" in needed and PD is None:
        import pandas
        PD = pandas


def available_methods(names):
    out = []
    for name in names:
        need = METHOD_BY_NAME[name][2]
        try:
            load_modules({need} if need else set())
        except ImportError as e:
            print("  (%s skipped: %s)" % (name, e))
            continue
        out.append(METHOD_BY_NAME[name])
    return out


# ---------------------------------------------------------------------------
# Files


def plot_file(data_dir, params, width, size_mb=None, blocks=None):
    if blocks is None:
        blocks = max(1, int(size_mb * 1e6 / plotgen.block_bytes(params, width)))
    path = os.path.join(data_dir, "plot-n%d-w%d-b%d.plt" % (params, width, blocks))
    if not os.path.exists(path):
        os.makedirs(data_dir, exist_ok=True)
        t = time.perf_counter()
        tmp = path + ".partial"
        with open(tmp, "w", encoding="ascii", newline="\n") as out:
            plotgen.write_plot(out, params, blocks, width, seed=1)
        os.replace(tmp, path)
        print("  generated %s in %.0f s" % (path, time.perf_counter() - t))
    return path, blocks


# ---------------------------------------------------------------------------
# Measuring


def checksum(result):
    first, cols = result
    h = hashlib.blake2b(digest_size=12)
    h.update(array("d", first).tobytes())
    for c in cols:
        h.update(b"|")
        h.update(array("d", c).tobytes())
    return "%d:%d:%s" % (len(first), len(cols), h.hexdigest())


def count_differences(result, reference):
    """Values that differ, and how many of them are one float32 ulp apart."""
    (f1, c1), (f2, c2) = result, reference
    if len(c1) != len(c2) or len(f1) != len(f2) or any(len(a) != len(b) for a, b in zip(c1, c2)):
        return None
    differ = one_ulp = 0
    for a, b in zip([f1] + c1, [f2] + c2):
        if a == b:
            continue
        ia, ib = array("f", a), array("f", b)
        ua, ub = array("i", ia.tobytes()), array("i", ib.tobytes())
        for x, y, p, q in zip(a, b, ua, ub):
            if x != y and not (x != x and y != y):
                differ += 1
                one_ulp += abs(p - q) == 1
    return differ, one_ulp


def timed(fn, path, width):
    """CPU seconds of this process (user + system, so read(2) counts) and
    wall seconds of one call. On a machine shared with builds the CPU time is
    the steadier figure; the reader never waits on the disk once the file is
    in the page cache, so the two agree on a quiet machine."""
    gc.collect()
    c, t = time.process_time(), time.perf_counter()
    result = fn(path, width)
    wall, cpu = time.perf_counter() - t, time.process_time() - c
    del result  # freeing is not part of the call
    return cpu, wall


def interleaved(methods, path, width, reps):
    cpu = {m[0]: [] for m in methods}
    wall = {m[0]: [] for m in methods}
    for r in range(reps):
        order = methods[r % len(methods):] + methods[:r % len(methods)]
        for name, fn, *_ in order:
            c, w = timed(fn, path, width)
            cpu[name].append(c)
            wall[name].append(w)
        if sys.stdout.isatty():
            print("  repetition %d/%d done" % (r + 1, reps), end="\r", flush=True)
    if sys.stdout.isatty():
        print(" " * 40, end="\r")
    return cpu, wall


def stats(samples):
    med = statistics.median(samples)
    return med, min(samples), max(samples)


# pymalloc hands out blocks in multiples of 16 bytes on 64-bit builds and 8
# on 32-bit ones, so a 24-byte float really occupies 32 bytes on x86_64: the
# memory a result holds is more than sys.getsizeof says.
PYMALLOC_ALIGNMENT = 16 if struct.calcsize("P") > 4 else 8


def result_size(result):
    """(sys.getsizeof total, the same with floats in their pymalloc blocks)"""
    first, cols = result
    size = sys.getsizeof(result) + sys.getsizeof(first) + sys.getsizeof(cols)
    floats = len(first)
    for c in cols:
        size += sys.getsizeof(c)
        floats += len(c)
    one = sys.getsizeof(0.0)
    block = -(-one // PYMALLOC_ALIGNMENT) * PYMALLOC_ALIGNMENT
    return size + floats * one, size + floats * block


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def child_main(name, path, width):
    """One method, once, in a fresh process: print its memory figures."""
    fn = METHOD_BY_NAME[name][1]
    need = METHOD_BY_NAME[name][2]
    load_modules({need} if need else set())
    if name == "floor-objects":
        parsed_columns(path, width, from_cache=True)
    gc.collect()
    try:  # start the peak over from here, where the kernel allows it
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    before = rss_kib("VmRSS")
    result = fn(path, width)
    peak = rss_kib("VmHWM")
    size, held = result_size(result) if isinstance(result, tuple) else (len(result), len(result))
    print(json.dumps({"before_kib": before, "peak_kib": peak, "reset": reset,
                      "result_bytes": size, "held_bytes": held}))


def launcher_main():
    """Starts the measured children for the main process. A child's ru_maxrss
    counts the address space it was forked from (Linux carries the peak over
    exec), so children must come from a process that stays small: this one,
    started before the main process has read anything."""
    for line in sys.stdin:
        cmd = json.loads(line)
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE)
        out = proc.stdout.read()
        proc.stdout.close()
        # This child's own rusage: what getrusage(RUSAGE_CHILDREN) would give
        # a parent that had had only this child.
        _, status, usage = os.wait4(proc.pid, 0)
        info = None
        if os.waitstatus_to_exitcode(status) == 0:
            info = json.loads(out)
            info["maxrss_kib"] = usage.ru_maxrss
        print(json.dumps(info), flush=True)


class Launcher:
    def __init__(self):
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--launcher"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def measure(self, name, path, width):
        cmd = [sys.executable, os.path.abspath(__file__), "--child", name, path, str(width)]
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def fmt_mb(nbytes):
    return "%.0f" % (nbytes / 1e6)


def run_shape(label, params, width, args, methods):
    path, blocks = plot_file(args.data_dir, params, width, size_mb=args.size_mb)
    size = os.path.getsize(path)
    values = blocks * params
    print("\n== %s: N=%d, width %d, %d blocks, %.1f MB, %.2f M values ==" %
          (label, params, width, blocks, size / 1e6, values / 1e6))

    # Correctness first: every method against novrel (or pure Python when
    # novrel is not built), which also warms the page cache and the imports.
    reference_name = "novrel" if any(m[0] == "novrel" for m in methods) else "pure-python"
    reference = METHOD_BY_NAME[reference_name][1](path, width)
    ref_sum = checksum(reference)
    agreement = {}
    for name, fn, _, comparable, _ in methods:
        if not comparable:
            agreement[name] = "-"
            continue
        if name == reference_name:
            agreement[name] = "reference"
            continue
        result = fn(path, width)
        if checksum(result) == ref_sum:
            agreement[name] = "identical"
        else:
            diff = count_differences(result, reference)
            agreement[name] = ("SHAPE DIFFERS" if diff is None else
                               "%d differ (%d by 1 ulp)" % diff)
        del result
    ref_size, ref_held = result_size(reference)
    del reference

    times, wall = interleaved(methods, path, width, args.reps)
    med = {name: stats(t)[0] for name, t in times.items()}

    memory = {}
    if args.rss:
        for name, *_ in methods:
            memory[name] = args.launcher.measure(name, path, width)

    floor = None
    if "floor-read" in med and "floor-objects" in med:
        floor = med["floor-read"] + med["floor-objects"]
    base = med.get("novrel")

    print("result: %s MB of Python objects by sys.getsizeof (tuple, %d lists, %d floats of %d "
          "bytes); %s MB in pymalloc blocks of %d-byte alignment"
          % (fmt_mb(ref_size), params + 1, values, sys.getsizeof(0.0), fmt_mb(ref_held),
             PYMALLOC_ALIGNMENT))
    head = ("%-17s %8s %17s %7s %8s %7s %8s %7s %9s %7s  %s" %
            ("method", "cpu s", "min..max", "wall s", "Mval/s", "MB/s", "x novrel",
             "x floor", "peak+ MB", "x res", "values"))
    print(head)
    print("-" * len(head))
    rows = list(times)
    for name in rows:
        m, lo, hi = stats(times[name])
        mem = memory.get(name)
        peak = ("%9.0f" % ((mem["peak_kib"] - mem["before_kib"]) * 1024 / 1e6)) if mem else "%9s" % "-"
        ratio_res = ("%7.2f" % ((mem["peak_kib"] - mem["before_kib"]) * 1024 / mem["result_bytes"])
                     if mem and name != "floor-read" else "%7s" % "-")
        print("%-17s %8.3f %8.3f..%-8.3f %7.3f %8.2f %7.0f %8s %7s %s %s  %s" % (
            name, m, lo, hi, statistics.median(wall[name]), values / m / 1e6, size / m / 1e6,
            "%.2f" % (m / base) if base else "-",
            "%.2f" % (m / floor) if floor else "-",
            peak, ratio_res, agreement[name]))
    if floor:
        print("%-17s %8.3f %17s %7s %8.2f %7.0f %8s %7s" % (
            "floor (read+obj)", floor, "", "", values / floor / 1e6, size / floor / 1e6,
            "%.2f" % (floor / base) if base else "-", "1.00"))
    for name, *_ in methods:
        mem = memory.get(name)
        if mem:
            grown = (mem["peak_kib"] - mem["before_kib"]) * 1024
            print("  %-17s child max RSS %5.0f MB, before the call %4.0f MB; result %4.0f MB, "
                  "%4.0f MB in blocks; peak growth %.2fx that%s" % (
                      name, mem["maxrss_kib"] * 1024 / 1e6, mem["before_kib"] * 1024 / 1e6,
                      mem["result_bytes"] / 1e6, mem["held_bytes"] / 1e6,
                      grown / mem["held_bytes"], "" if mem["reset"] else " (peak not reset)"))
    return {"med": med, "times": times, "floor": floor, "memory": memory,
            "agreement": agreement, "values": values, "size": size}


def timed_collector_paused(fn, path, width):
    """timed() with the cyclic collector paused. Its first pass over the new
    lists costs the same per value whatever the parameter count, but after
    the gc.collect() in timed() it starts inside the call only when the call
    makes more containers than the first threshold (2000): at N = 2000 and
    never at N = 200, whose pass comes later, untimed. Paused, no call pays it."""
    gc.disable()
    try:
        return timed(fn, path, width)
    finally:
        gc.enable()


def growth_check(args):
    """Time must be linear in the blocks and indifferent to the parameter
    count at a given file size."""
    half = args.size_mb / 2
    small, _ = plot_file(args.data_dir, 200, 12, size_mb=half)
    double, _ = plot_file(args.data_dir, 200, 12, size_mb=args.size_mb)
    wide, _ = plot_file(args.data_dir, 2000, 12, size_mb=half)
    files = [("N=200, %g MB" % half, small), ("N=200, %g MB" % args.size_mb, double),
             ("N=2000, %g MB" % half, wide)]
    for _, p in files:
        read_novrel(p, 12)
    samples = {label: [] for label, _ in files}
    for r in range(args.reps):
        for label, p in files[r % 3:] + files[:r % 3]:
            samples[label].append(timed_collector_paused(read_novrel, p, 12)[0])
    print("\n== growth (novrel, width 12, CPU s with the cyclic collector paused, median of %d) =="
          % args.reps)
    for label, p in files:
        m, lo, hi = stats(samples[label])
        print("  %-16s %6.1f MB  %.3f s (%.3f..%.3f)" % (label, os.path.getsize(p) / 1e6, m, lo, hi))
    t_small, t_double, t_wide = (statistics.median(samples[label]) for label, _ in files)
    s_small, s_double, s_wide = (os.path.getsize(p) for _, p in files)
    blocks_ratio = (t_double / t_small) / (s_double / s_small) * 2
    params_ratio = (t_wide / t_small) / (s_wide / s_small)
    print("  doubling the blocks:             x%.2f time (target 2.00 +-10%%: %s)" %
          (blocks_ratio, "met" if 1.8 <= blocks_ratio <= 2.2 else "MISSED"))
    print("  10x parameters, same file size:  x%.2f time (target <= 1.20: %s)" %
          (params_ratio, "met" if params_ratio <= 1.2 else "MISSED"))
    return blocks_ratio, params_ratio


# What novrel may cost above the floor: on 32-bit x86 floats are half the
# size, so the objects are cheaper and the parse weighs more.
FLOOR_TARGET = 1.25 if struct.calcsize("P") > 4 else 1.35


def targets(results):
    print("\n== targets ==")
    for label, r in results.items():
        med = r["med"]
        if "novrel" not in med:
            continue
        nov = med["novrel"]
        peers = {k: v for k, v in med.items()
                 if k not in ("novrel",) and not k.startswith("floor")}
        if peers:
            best = min(peers, key=peers.get)
            ratio = peers[best] / nov
            print("  %s: fastest peer %s is %.2fx novrel's time (target >= 4: %s)" %
                  (label, best, ratio, "met" if ratio >= 4 else "MISSED"))
        if r["floor"]:
            ratio = nov / r["floor"]
            print("  %s: novrel is %.2fx the floor (target <= %.2f: %s)" %
                  (label, ratio, FLOOR_TARGET, "met" if ratio <= FLOOR_TARGET else "MISSED"))
        mem = r["memory"].get("novrel")
        if mem:
            grown = (mem["peak_kib"] - mem["before_kib"]) * 1024
            ratio = grown / mem["result_bytes"]
            print("  %s: novrel's peak RSS growth during the call is %.2fx the result's getsizeof "
                  "(target <= 1.15: %s), %.2fx the result in pymalloc blocks" %
                  (label, ratio, "met" if ratio <= 1.15 else "MISSED", grown / mem["held_bytes"]))
            floor = r["memory"].get("floor-objects")
            if floor:
                print("  %s: the object floor alone grows RSS by %.2fx the result's getsizeof" %
                      (label, (floor["peak_kib"] - floor["before_kib"]) * 1024 / floor["result_bytes"]))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="10 MB files, for development")
    ap.add_argument("--shapes", default=",".join(SHAPES), help="comma list of %s" % ", ".join(SHAPES))
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--size-mb", type=float, default=None)
    ap.add_argument("--methods", default=",".join(m[0] for m in METHODS))
    ap.add_argument("--no-rss", dest="rss", action="store_false")
    ap.add_argument("--no-growth", dest="growth", action="store_false")
    ap.add_argument("--growth-only", action="store_true")
    ap.add_argument("--data-dir", default=os.path.join(ROOT, "build", "bench"))
    ap.add_argument("--launcher", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--child", nargs=3, metavar=("METHOD", "PATH", "WIDTH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child_main(args.child[0], args.child[1], int(args.child[2]))
        return
    if args.launcher:
        launcher_main()
        return
    args.launcher = Launcher() if args.rss else None
    if args.size_mb is None:
        args.size_mb = 10.0 if args.quick else 100.0

    print("python %s, %d-bit, pid %d; load average %.2f %.2f %.2f (2 cores shared: timings "
          "taken while others build are noisy)" % (
              sys.version.split()[0], 8 * struct.calcsize("P"), os.getpid(), *os.getloadavg()))
    if not args.growth_only:
        names = [n for n in args.methods.split(",") if n]
        for n in names:
            if n not in METHOD_BY_NAME:
                ap.error("unknown method %r" % n)
        methods = available_methods(names)
        for name, _, _, _, note in methods:
            print("  %-17s %s%s" % (name, note,
                                     "  [rounds through double]" if name in DOUBLE_ROUNDING else ""))
        results = {}
        for label in args.shapes.split(","):
            params, width = SHAPES[label]
            results[label] = run_shape(label, params, width, args, methods)
        targets(results)
    if args.growth or args.growth_only:
        try:
            load_modules({"novrel"})
        except ImportError as e:
            print("\n(growth check skipped: %s)" % e)
        else:
            growth_check(args)
    if args.launcher:
        args.launcher.close()
    print("\nload average at the end %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
