"""Several threads inside the modules at once. On a free-threaded interpreter
they really run together, which is what these tests are for; elsewhere the
same calls interleave. Each concurrent step is repeated
NOVREL_PARALLEL_ROUNDS times (300 by default) so that a race can show, each
in a child interpreter whose fd 2 and process-wide state are its own."""

import json
import os
import re
import textwrap

from conftest import CHILD_PRELUDE, HINT, core_path, run_python, write_cases

ROUNDS = int(os.environ.get("NOVREL_PARALLEL_ROUNDS", "300"))
NOT_FOUND = 'Plot file not found!: Os { code: 2, kind: NotFound, message: "No such file or directory" }'

# Every round, eight threads pass a barrier and call at once, each on another
# case, so valid reads and failures overlap; every outcome must be the one a
# lone call gives.
IN_THREADS = CHILD_PRELUDE + textwrap.dedent("""
    import threading

    def in_threads(call, cases, rounds, threads=8):
        expected = [call(*c) for c in cases]
        barrier = threading.Barrier(threads)
        wrong = []

        def work(t):
            try:
                for r in range(rounds):
                    barrier.wait()
                    i = (t + r) % len(cases)
                    got = call(*cases[i])
                    if got != expected[i]:
                        wrong.append([cases[i], got])
            except BaseException as e:
                wrong.append(repr(e))
                barrier.abort()

        workers = [threading.Thread(target=work, args=(t,)) for t in range(threads)]
        for w in workers: w.start()
        for w in workers: w.join()
        return expected, wrong
""")


def parse_reports(stderr, messages):
    """Splits fd 2 output into whole reports, each naming one of `messages`,
    and counts the hint lines; a report spliced with other output fails.
    Without RUST_BACKTRACE a report carries a backtrace only when its thread
    still counts an earlier failure as in flight, so plain reports also show
    each thread's count back at zero after every failure."""
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
    return found, hints


def test_reads_and_failures_at_once_give_own_results_and_whole_reports(tmp_path):
    cases = write_cases(tmp_path)
    code = IN_THREADS + textwrap.dedent("""
        out = os.fdopen(os.dup(1), "w")
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # a rejected count's line
        expected, wrong = in_threads(outcome, json.loads(sys.argv[1]), int(sys.argv[2]))
        print(json.dumps({"wrong": wrong[:3], "expected": expected}), file=out)
        out.close()  # a debug interpreter warns of files left open
    """)
    run = run_python(code, args=[json.dumps(cases), str(ROUNDS)], timeout=300)
    assert run.returncode == 0, run.stderr.decode(errors="replace")[-3000:]
    result = json.loads(run.stdout)
    assert result["wrong"] == []
    messages = [e[1] for e in result["expected"] if e[0] == "panic"]
    assert len(messages) == len(cases) - 2
    reports, hints = parse_reports(run.stderr.decode(), sorted(set(messages)))
    # The lone calls' reports first, in order; then each round's own.
    assert reports[:len(messages)] == messages and hints == 1
    called = [result["expected"][(t + r) % len(cases)] for r in range(ROUNDS) for t in range(8)]
    assert sorted(reports[len(messages):]) == sorted(e[1] for e in called if e[0] == "panic")


# Each thread makes its own module object and fails a call at once: all of
# them must get the one exception type, created once for the process. A
# plain import would not show this, the import lock running the setup once.
# Half the threads first fail an argument (fetching that error makes the
# type too, with no report whose lock would space the threads out), the
# others a read; then each fails a read. Every round forks a fresh process,
# whose type does not exist yet, and counts the types made by that name.
ONE_TYPE = """
import importlib.util, os, sys, threading
found = importlib.util.find_spec("novrel")
for _ in range(int(sys.argv[1])):
    pid = os.fork()
    if pid == 0:
        barrier = threading.Barrier(8)
        types = []
        def work(t):
            module = importlib.util.module_from_spec(found)
            found.loader.exec_module(module)
            barrier.wait()
            for n_digits in ([1.5] if t % 2 else []) + [12]:
                try:
                    module.rust_read_torvask("/nonexistent/plot.plt", n_digits)
                except BaseException as e:
                    types.append(type(e))
        workers = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for w in workers: w.start()
        for w in workers: w.join()
        made = [t for t in BaseException.__subclasses__() if t.__name__ == "PanicException"]
        panics = set(types) - {TypeError}
        os.write(1, b"%d %d %d %s\\n" % (len(types), len(panics), len(made), made[0].__name__.encode()))
        os._exit(0)
    status = os.waitpid(pid, 0)[1]
    if status != 0:
        sys.exit("a round's process ended with wait status %d" % status)
"""


def test_threads_of_a_fresh_process_create_one_exception_type():
    run = run_python(ONE_TYPE, args=[str(ROUNDS)], timeout=300)
    assert run.returncode == 0, run.stderr.decode(errors="replace")[-3000:]
    assert run.stdout == b"12 1 1 PanicException\n" * ROUNDS
    reports, hints = parse_reports(run.stderr.decode(), [NOT_FOUND])
    assert (len(reports), hints) == (8 * ROUNDS, ROUNDS)


def test_core_reads_in_threads_at_once(tmp_path):
    code = IN_THREADS + textwrap.dedent("""
        import importlib.util
        found = importlib.util.spec_from_file_location("_core", sys.argv[2])
        core = importlib.util.module_from_spec(found)
        found.loader.exec_module(core)

        def read(path, width):
            try:
                # Whole file, float32, every block, one thread per read.
                got = core.read(os.fsencode(path), width=width, float64=False)
                return ["ok", got.names, memoryview(got.rows).tolist(), got.width]
            except (OSError, core.ReadFailure) as e:
                return [type(e).__name__, str(e)]

        expected, wrong = in_threads(read, json.loads(sys.argv[1]), int(sys.argv[3]))
        print(json.dumps({"wrong": wrong[:3], "expected": expected}))
    """)
    cases = write_cases(tmp_path)
    run = run_python(code, args=[json.dumps(cases), core_path(), str(ROUNDS)], timeout=300)
    assert (run.returncode, run.stderr) == (0, b"")
    result = json.loads(run.stdout)
    assert result["wrong"] == []
    kinds = [e[0] for e in result["expected"]]
    assert kinds.count("ok") >= 2 and "ReadFailure" in kinds and "FileNotFoundError" in kinds
    worked = result["expected"][0]
    assert worked == ["ok", ["TIME", "PRESSURE", "TEMPERATURE"],
                      [[0.0, 101325.0, 293.1499938964844], [10.0, 102000.0, 295.0]], 12]
