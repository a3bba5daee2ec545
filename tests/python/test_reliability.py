"""Reliability of the module in a long-lived interpreter: no descriptor or
memory left behind by failing calls, the abort on memory exhaustion, and a
memcheck run (threads: test_parallel.py).

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

from conftest import CHILD_PRELUDE, FREE_THREADED, HINT, IS_32_BIT, child_env, run_python, write_cases


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
    run = run_python(code, args=(json.dumps(cases),), timeout=300)
    assert run.returncode == 0, run.stderr.decode(errors="replace")[-3000:]
    figures = json.loads(run.stdout)
    print("10000 failing calls:", figures)
    assert figures["failing_kinds"] == len(cases) - 2
    assert figures["fds"][1] == figures["fds"][0]
    assert figures["rss_kib"][1] - figures["rss_kib"][0] < 2048


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
    run = run_python(code, args=(str(path),))
    stderr = run.stderr.decode(errors="replace")
    assert run.returncode == -signal.SIGABRT, stderr
    m = re.fullmatch(r"memory allocation of (\d+) bytes failed\n" + re.escape(HINT), stderr)
    assert m, stderr
    assert int(m.group(1)) > 1 << 20


# Every object through malloc, where memcheck sees each block. A
# free-threaded interpreter allocates only with mimalloc: there memcheck sees
# the module's own blocks, and the objects' memory as mimalloc's pages.
PLAIN_MALLOC = {} if FREE_THREADED else {"PYTHONMALLOC": "malloc"}


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
                         capture_output=True, env=child_env(**PLAIN_MALLOC), timeout=600)
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
