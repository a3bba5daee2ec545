#!/usr/bin/env python3
"""Where one novrel.rust_read_torvask call spends its instructions.

    profile.py [--quick] [--params 200] [--width 12] [--size-mb 10]

Runs one call under valgrind's callgrind, collecting only inside the
module's fast-call entry, then attributes the instructions to the stages of
the call by inclusive cost:

    reading            read(2) wrappers and opening the file (user side)
    lines + UTF-8      LineWalker::next_line: finding LF, joining a line that
                       straddles two reads, the UTF-8 check (shown apart)
    field slicing      the reader's own loop: slicing fields out of the line,
                       bounds checks, appending to the float32 columns
    field trimming     trim_whitespace
    number parsing     the whole-line decoder (decode_ssse3, decode_avx2), and
                       parse_float32 with everything it calls for the fields
                       that decoder leaves
    Python objects     everything after the reader returns: floats, lists,
                       the tuple, releasing the columns

Callgrind counts instructions in user space only: the kernel's copy of the
file into the read buffer and the page faults of fresh memory are not in
these figures (bench_reader's "lines" stage and peers.py's floors show them
in seconds). Instructions are not time either: parsing runs at a higher
instructions-per-cycle than object creation, which misses the cache.

Perf would give cycles instead, but only where hardware counters exist
(`perf stat -e instructions true` reports them); on a VM without them this
script is the profile.
"""

import argparse
import collections
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import plotgen  # noqa: E402

ENTRY = "novrel::boundary::rust_read_torvask_entry"


def parse_callgrind(path):
    """Self and inclusive instruction counts per function name, merging the
    file contexts that inlining splits a function into."""
    names = {}
    self_cost = collections.Counter()
    call_cost = collections.Counter()
    current = callee = None
    in_call = False

    def resolve(text):
        text = text.strip()
        m = re.match(r"\((\d+)\)(?: (.*))?$", text)
        if not m:
            return text
        if m.group(2) is not None:
            names[m.group(1)] = m.group(2)
        return names.get(m.group(1), text)

    with open(path) as f:
        for line in f:
            if line.startswith("fn="):
                current = resolve(line[3:])
            elif line.startswith("cfn="):
                callee = resolve(line[4:])
            elif line.startswith("calls="):
                in_call = True
            elif line[:1] in "0123456789+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if in_call:
                    if callee != current:  # a recursive call is already in the self cost
                        call_cost[current] += cost
                    in_call = False
                else:
                    self_cost[current] += cost
    inclusive = collections.Counter()
    for name in set(self_cost) | set(call_cost):
        inclusive[name] = self_cost[name] + call_cost[name]
    return self_cost, inclusive


def without_parameters(name):
    """'ns::(anonymous namespace)::f(int, char)' -> 'ns::(anonymous namespace)::f'"""
    if not name.endswith(")"):
        return name
    depth = 0
    for i in range(len(name) - 1, -1, -1):
        depth += {")": 1, "(": -1}.get(name[i], 0)
        if depth == 0:
            return name[:i]
    return name


def total_of(counter, pattern):
    rx = re.compile(pattern)
    return sum(v for k, v in counter.items() if rx.search(k))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a 2 MB file")
    ap.add_argument("--params", type=int, default=200)
    ap.add_argument("--width", type=int, default=12)
    ap.add_argument("--size-mb", type=float, default=None)
    ap.add_argument("--top", type=int, default=15)
    args = ap.parse_args(argv)
    size_mb = args.size_mb or (2.0 if args.quick else 10.0)

    data_dir = os.path.join(ROOT, "build", "bench")
    os.makedirs(data_dir, exist_ok=True)
    blocks = max(1, int(size_mb * 1e6 / plotgen.block_bytes(args.params, args.width)))
    plot = os.path.join(data_dir, "plot-n%d-w%d-b%d.plt" % (args.params, args.width, blocks))
    if not os.path.exists(plot):
        with open(plot + ".partial", "w", encoding="ascii", newline="\n") as out:
            plotgen.write_plot(out, args.params, blocks, args.width, seed=1)
        os.replace(plot + ".partial", plot)
    out = os.path.join(data_dir, "callgrind-%s.out" % os.uname().machine)

    build = os.path.abspath(os.environ.get("NOVREL_BUILD_DIR", "."))
    code = ("import sys; sys.path.insert(0, %r); import novrel; "
            "novrel.rust_read_torvask(%r, %d)" % (build, plot, args.width))
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
           "--toggle-collect=" + ENTRY + "*", sys.executable, "-c", code]
    run = subprocess.run(cmd, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.stderr.write(run.stderr)
        sys.exit("valgrind failed")

    self_cost, inclusive = parse_callgrind(out)
    total = total_of(inclusive, re.escape(ENTRY) + r"\(")
    reader = total_of(inclusive, r"^novrel::rust_read_torvask\(")
    numbers = total_of(inclusive, r"^novrel::text::parse_float32\(")
    lines_decoded = total_of(inclusive, r"novrel::text::\(anonymous namespace\)::decode_(ssse3|avx2)\b")
    trimming = total_of(inclusive, r"^novrel::text::trim_whitespace\(")
    next_line = total_of(inclusive, r"^novrel::reader::LineWalker::next_line\(")
    utf8 = total_of(inclusive, r"^novrel::text::is_valid_utf8\(")
    # read(2) is only called from next_line; its user-side share is small.
    reads = total_of(inclusive, r"^(__GI___libc_read|__libc_read|read)$")
    opening = total_of(inclusive, r"^novrel::text::open_file\(")
    header = total_of(inclusive, r"^novrel::text::(split_whitespace|parse_parameter_count)\(")
    slicing = reader - numbers - lines_decoded - trimming - next_line - opening - header
    objects = total - reader
    floats = total_of(inclusive, r"^PyFloat_FromDouble$")
    lists = total_of(inclusive, r"^PyList_New$")

    values = blocks * args.params
    size = os.path.getsize(plot)
    print("one call on %s (%.1f MB, N=%d, width %d, %d values): %s instructions in the call, "
          "%.0f per value" % (os.path.basename(plot), size / 1e6, args.params, args.width,
                             values, format(total, ","), total / values))
    rows = [
        ("reading (read(2), open; user side)", reads + opening),
        ("lines: LF search and assembly", next_line - utf8 - reads),
        ("lines: UTF-8 check", utf8),
        ("header and name lines", header),
        ("field slicing, bounds, column appends", slicing),
        ("field trimming", trimming),
        ("number parsing: whole fixed-layout lines", lines_decoded),
        ("number parsing: field by field", numbers),
        ("Python objects: floats", floats),
        ("Python objects: lists", lists),
        ("Python objects: the rest (boundary loop, releasing columns)", objects - floats - lists),
    ]
    print("%-62s %14s %7s %9s" % ("stage", "instructions", "share", "per value"))
    for label, cost in rows:
        print("%-62s %14s %6.1f%% %9.1f" % (label, format(cost, ","), 100 * cost / total,
                                            cost / values))
    print("%-62s %14s %6.1f%%" % ("total", format(total, ","), 100.0))

    print("\nfunctions by self cost (top %d):" % args.top)
    for name, cost in self_cost.most_common(args.top):
        short = without_parameters(name)
        print("  %14s %6.1f%%  %s" % (format(cost, ","), 100 * cost / total, short[:90]))
    print("\ncallgrind output: %s (callgrind_annotate %s)" % (out, out))


if __name__ == "__main__":
    main()
