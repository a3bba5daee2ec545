"""Reliability of the module in a long-lived interpreter: no descriptor or
memory left behind by failing calls, whole failure reports under threads,
the abort on memory exhaustion, and a memcheck run.

Each check runs in a child interpreter so that its stderr (where every
failure report goes, straight to fd 2) and its process-wide state are its
own."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import IS_32_BIT, child_env, plot_text

WORKED_EXAMPLE = (
    "Run 7 plot data                3\nTIME\nPRESSURE\nTEMPERATURE\n"
    "   1\n 0.00000E+00 1.01325E+05 2.93150E+02\n"
    "   2\n 1.00000E+01 1.02000E+05 2.95000E+02\n"
)

HINT = "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n"


def write_cases(tmp_path):
    """Plot files with the width to read them at: valid ones and one of
    every kind of failure the reader has."""
    long_file = plot_text([["%.5E" % (b * 0.25 + j) for j in range(23)] for b in range(200)],
                          width=15)
    files = {
        "worked": (WORKED_EXAMPLE, 12),
        "long": (long_file, 15),
        "empty": ("", 12),
        "names": ("x 3\nA\n", 12),
        "cut": (WORKED_EXAMPLE[:-37], 12),
        "word": (WORKED_EXAMPLE.replace("1.01325E+05", "1.5D+03    "), 12),
        "count": ("Run 7 plot data three\n", 12),
        "utf8": (b"x 1\nA\n\xff\n 1.0\n", 12),
        "boundary": ("x 2\nA\nB\n\n 1.0\u00e9 2.0 \n", 5),
        "narrow": (WORKED_EXAMPLE, 40),
    }
    cases = []
    for name, (content, width) in files.items():
        path = tmp_path / name
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        cases.append((str(path), width))
    cases.append((str(tmp_path / "missing"), 12))
    return cases


# Shared by the child programs: one call, its outcome as plain data.
CHILD_PRELUDE = textwrap.dedent("""
    import json, os, sys
    import novrel

    def outcome(path, width):
        try:
            first, columns = novrel.rust_read_torvask(path, width)
            return ["ok", first, columns]
        except BaseException as e:
            if type(e).__name__ != "PanicException":
                raise
            return ["panic", e.args[0]]

    def silence_fds():
        # Reports go to fd 2 and a rejected count's line to fd 1; keep this
        # program's own output on a copy of fd 1.
        out = os.fdopen(os.dup(1), "w")
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(null, 2)
        return out
""")


def test_failing_calls_leave_descriptors_and_memory_flat(tmp_path):
    cases = write_cases(tmp_path)
    code = CHILD_PRELUDE + textwrap.dedent("""
        cases = json.loads(sys.argv[1])
        out = silence_fds()
        failing = [c for c in cases if outcome(*c)[0] == "panic"]

        def rss_kib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

        def fds():
            return len(os.listdir("/proc/self/fd"))

        for i in range(500):  # warm-up: caches, interned strings, allocator pools
            outcome(*failing[i % len(failing)])
        fds_before, rss_before = fds(), rss_kib()
        for i in range(10000):
            outcome(*failing[i % len(failing)])
        print(json.dumps({"failing_kinds": len(failing), "fds": [fds_before, fds()],
                          "rss_kib": [rss_before, rss_kib()]}), file=out)
    """)
    run = subprocess.run([sys.executable, "-c", code, json.dumps(cases)], capture_output=True,
                         env=child_env(), timeout=300)
    assert run.returncode == 0, run.stderr.decode(errors="replace")[-3000:]
    figures = json.loads(run.stdout)
    print("10000 failing calls:", figures)
    assert figures["failing_kinds"] == len(cases) - 2
    assert figures["fds"][1] == figures["fds"][0]
    assert figures["rss_kib"][1] - figures["rss_kib"][0] < 2048


def parse_reports(stderr, messages):
    """Splits fd 2 output into whole reports, each naming one of `messages`;
    a report spliced with another thread's output fails here."""
    head = re.compile(r"\nthread '<unnamed>' \(\d+\) panicked at [^\n]+:\d+:\d+:\n")
    found, hints, pos = [], 0, 0
    while pos < len(stderr):
        m = head.match(stderr, pos)
        assert m, "no report header at %d: %r" % (pos, stderr[pos:pos + 300])
        pos = m.end()
        for message in messages:
            if stderr.startswith(message + "\n", pos):
                pos += len(message) + 1
                found.append(message)
                break
        else:
            raise AssertionError("report with no expected message: %r" % stderr[pos:pos + 300])
        if stderr.startswith(HINT, pos):
            pos += len(HINT)
            hints += 1
    assert hints <= 1
    return found


def test_threads_get_their_own_results_and_whole_reports(tmp_path):
    cases = write_cases(tmp_path)
    code = CHILD_PRELUDE + textwrap.dedent("""
        import threading
        cases = json.loads(sys.argv[1])
        out = os.fdopen(os.dup(1), "w")
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        expected = [outcome(*c) for c in cases]
        start = threading.Barrier(8)
        wrong, failing = [], []

        def work(t):
            start.wait()
            count = 0
            for r in range(200):
                i = (t * 5 + r) % len(cases)
                got = outcome(*cases[i])
                count += got[0] == "panic"
                if got != expected[i]:
                    wrong.append((cases[i], got))
            failing.append(count)

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        messages = sorted({e[1] for e in expected if e[0] == "panic"})
        print(json.dumps({"wrong": wrong[:3], "calls": 1600, "messages": messages,
                          "failing": sum(failing) + sum(e[0] == "panic" for e in expected)}),
              file=out)
        out.close()  # a debug interpreter warns of files left open
    """)
    run = subprocess.run([sys.executable, "-c", code, json.dumps(cases)], capture_output=True,
                         env=child_env(), timeout=300)
    assert run.returncode == 0, run.stderr.decode(errors="replace")[-3000:]
    result = json.loads(run.stdout)
    assert result["wrong"] == []
    assert len(result["messages"]) == len(cases) - 2
    reports = parse_reports(run.stderr.decode(), result["messages"])
    assert len(reports) == result["failing"]
    print("8 threads x 200 calls: %d failing, %d whole reports" % (result["failing"], len(reports)))


def test_memory_exhaustion_aborts_with_the_allocation_line(tmp_path):
    # One line of 1 GiB (a sparse file: NUL bytes, valid UTF-8) is assembled
    # in memory as it is read; under an address-space limit its growth fails.
    path = tmp_path / "one-huge-line"
    with open(path, "wb") as f:
        f.truncate(1 << 30)
    code = textwrap.dedent("""
        import resource, sys
        import novrel
        with open("/proc/self/status") as f:
            vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
        limit = vm + (192 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        novrel.rust_read_torvask(sys.argv[1], 12)
    """)
    run = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True,
                         env=child_env(), timeout=120)
    stderr = run.stderr.decode(errors="replace")
    assert run.returncode == -signal.SIGABRT, stderr
    m = re.fullmatch(r"memory allocation of (\d+) bytes failed\n" + re.escape(HINT), stderr)
    assert m, stderr
    assert int(m.group(1)) > 1 << 20


@pytest.mark.skipif(IS_32_BIT or shutil.which("valgrind") is None,
                    reason="memcheck runs in the 64-bit environment")
def test_memcheck_finds_no_error_or_definite_leak_in_the_module(tmp_path):
    cases = write_cases(tmp_path)
    code = CHILD_PRELUDE + textwrap.dedent("""
        cases = json.loads(sys.argv[1])
        out = silence_fds()
        results = [outcome(*c) for c in cases for _ in range(3)]
        print(sum(r[0] == "ok" for r in results), file=out)
    """)
    log = tmp_path / "memcheck.log"
    command = ["valgrind", "--tool=memcheck", "--leak-check=full",
               "--show-leak-kinds=definite", "--num-callers=40", "--log-file=%s" % log]
    supp = "/usr/lib/valgrind/python3.supp"
    if os.path.exists(supp):
        command.append("--suppressions=" + supp)
    run = subprocess.run(command + [sys.executable, "-c", code, json.dumps(cases)],
                         capture_output=True, env=child_env(PYTHONMALLOC="malloc"), timeout=600)
    text = log.read_text(errors="replace")
    assert run.returncode == 0, text[-3000:]
    assert run.stdout.strip() == b"6"  # the two valid files, three times each
    # Every error record and every definite-loss record naming the module.
    records = re.split(r"\n==\d+== \n", text)
    ours = [r for r in records if "novrel" in r and
            ("definitely lost" in r or re.search(r"Invalid|uninitialised|Mismatched", r))]
    summary = re.search(r"definitely lost: [^\n]*", text)
    print("memcheck:", summary.group(0) if summary else "no leak summary")
    assert ours == [], "\n\n".join(ours)[:5000]
