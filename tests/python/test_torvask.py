"""The torvask package: novrel's values as arrays, errors that say what and
where (and pickle), the Plot API, parallel reads and Ctrl-C."""

import errno
import gzip
import importlib.util
import io
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import child_env, numpy_or_skip, plot_text, run_python

np = numpy_or_skip()
import torvask  # noqa: E402 - after the skip: its __init__ imports numpy

TOP = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("plotgen", TOP / "tools" / "plotgen.py")
plotgen = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(plotgen)
WORKED_EXAMPLE = (TOP / "examples" / "worked_example.plt").read_bytes()


def generated(params, blocks, width, seed=1):
    out = io.StringIO()
    plotgen.write_plot(out, params, blocks, width, seed)
    return out.getvalue().encode()


def novrel_values(novrel, path, width):
    """novrel's values as a (blocks, N) float32 array, or None if it fails."""
    try:
        first, columns = novrel.rust_read_torvask(path, width)
    except BaseException as e:
        if type(e).__name__ != "PanicException":
            raise
        return None
    return np.array([first, *columns], dtype=np.float32).T.reshape(len(first), -1)


def mutated(content, rng):
    data = bytearray(content)
    for _ in range(rng.randint(1, 3)):
        at = rng.randrange(len(data))
        if rng.random() < 0.2:
            return bytes(data[:at])  # cut, as a file still being written
        # Mostly digits, so that many copies still read, with other values.
        data[at] = rng.choice(b"0123456789" * 3 + b" \n\r.+-Ex\x00\xc3\xff")
    return bytes(data)


def test_same_values_as_novrel(novrel, make_plot, capfd):
    rng = random.Random(7)
    originals = [(WORKED_EXAMPLE, 12)] + [(generated(n, 25, w, seed=n), w)
                                          for n in (1, 10, 11, 200) for w in (12, 15)]
    outcomes = []
    for content, width in originals:
        assert torvask.read(make_plot(content)).width == width  # found from the first data line
        for copy in [content] + [mutated(content, rng) for _ in range(12)]:
            path = make_plot(copy)
            expected = novrel_values(novrel, path, width)
            capfd.readouterr()
            try:
                plot = torvask.read(path, width, dtype=np.float32)
            except (torvask.FormatError, OSError) as error:
                plot = None
                # Strict where novrel is not: a first data line of another
                # width, text after a data line's fields, or an empty line
                # that ends the file.
                if (getattr(error, "problem", "") in ("width_mismatch", "text_after_fields")
                        or copy.endswith(b"\n\n")):
                    continue
            assert capfd.readouterr() == ("", "")
            assert (plot is None) == (expected is None), copy
            if plot is not None:
                assert len(plot.names) == expected.shape[1]
                assert plot.values.shape == expected.shape
                assert np.array_equal(plot.values.view(np.uint32), expected.view(np.uint32))
            outcomes.append(plot is None)
    assert outcomes.count(False) > 40 and outcomes.count(True) > 40


COMPLETE = b"h 2\nA\nB\n1\n  1.5  2.5\n2\n  3.5  4.5\n"
F, OS = torvask.FormatError, OSError


def _lines_changed(change):
    """Six blocks of 12 parameters (a data line of ten fields and one of
    two), laid out alike; `change` edits the list of lines (line n at n - 1).
    Block 3's data lines are lines 24 and 25."""
    rows = [[f"{b}.{j:02d}E+01" for j in range(12)] for b in range(6)]
    lines = plot_text(rows).encode().split(b"\n")
    return change(lines) or b"\n".join(lines)


def _append(text, *numbers):
    """Appends `text` to the lines `numbers` (counting from 1), or to every
    data line."""
    def change(lines):
        for n in numbers or [n for n in range(15, len(lines)) if (n - 14) % 3]:
            lines[n - 1] += text
    return change


# A data line holds its fields and nothing else, on every path: for each
# case, the error (line, text shown) or the clean file's values.
STRICT_CASES = {
    "11th field": (_append(b"  1.0000E+00", 24), (24, "1.0000E+00")),
    "a field too many on the short line": (_append(b"         2.5", 25), (25, "2.5")),
    "text after the last field": (_append(b"  XYZ", 24), (24, "XYZ")),
    "a CR before a blank": (_append(b"\r ", 25), (25, "\r ")),
    "trailing spaces and tabs": (_append(b" \t "), None),
    "CR LF": (lambda lines: b"\r\n".join(lines), None),
    # width=None: blanks that would make 13-byte fields of the first line
    "blanks on the first data line": (_append(b" \t" * 5, 15), None),
}
STRICT_READS = {
    "path": lambda path: torvask.read(path),
    "2 threads": lambda path: torvask.read(path, threads=2, dtype=np.float32),
    "chosen, odd blocks": lambda path: torvask.read(
        path, parameters=["P3"], blocks=slice(1, None, 2)),
    "chosen from the end, 2 threads": lambda path: torvask.read(
        path, parameters=["P11"], blocks=slice(-4, None), threads=2),
    "memory": lambda path: torvask.read(memoryview(path.read_bytes())),
    "gzip stream": lambda path: torvask.read(
        gzip.open(io.BytesIO(gzip.compress(path.read_bytes()))), parameters=[2]),
    "followed": lambda path: torvask.follow(path).poll(),
}


@pytest.mark.parametrize("case", STRICT_CASES)
@pytest.mark.parametrize("how", STRICT_READS)
def test_a_data_line_holds_its_fields_alone(make_plot, case, how):
    change, error = STRICT_CASES[case]
    read = STRICT_READS[how]
    path = Path(make_plot(_lines_changed(change)))
    if error is None:
        plot, clean = read(path), read(Path(make_plot(_lines_changed(lambda lines: None))))
        assert (plot.width, plot.blocks) == (12, clean.blocks)
        assert np.array_equal(plot.values, clean.values)
        return
    with pytest.raises(torvask.FormatError) as raised:
        read(path)
    line, text = error
    error = raised.value
    assert (error.problem, error.line, error.block, error.text, error.parameter) == (
        "text_after_fields", line, 3, text, None)
    assert f"line {line} (block 3): the data line holds {text!r} after its last field" in str(error)


# case: (contents, or a path below tmp_path as "/..."; read's keywords;
#        exception; attributes; words of the message)
ERRORS = {
    "empty": (b"", {}, F, dict(problem="no_header", line=1), "empty"),
    "bad count": (b"h x\n", {}, F, dict(problem="bad_count", line=1, text="h x"), "count"),
    "zero count": (b"h 0\n", {}, F, dict(problem="bad_count", line=1), "count"),
    "names missing": (b"h 3\nA\n", {}, F, dict(problem="names_missing", line=3), "names"),
    "not utf-8": (b"h 1\nA\n\xff\n", {}, F, dict(problem="not_utf8", line=3, block=0), "UTF-8"),
    "block cut": (COMPLETE + b"3\n", {}, F, dict(problem="block_cut", line=9, block=2),
                  "complete_blocks=True"),
    "field outside": (b"h 2\nA\nB\n1\n 1 2\n2\n 3\n", {}, F,
                      dict(problem="field_outside", block=1, parameter=1, name="B", text=" 3"),
                      "line 7 (block 1, parameter 1 'B')"),
    "not a number": (b"h 3\nA\nB\nC\n1\n  1.01.0D0  2.0\n", {}, F,
                     dict(problem="not_a_number", line=6, parameter=1, text="1.0D0"),
                     "'1.0D0' is not a number"),
    "width unknown": (b"h 3\nA\nB\nC\n1\n 1 2 34\n", {}, F, dict(problem="width_unknown"),
                      "width="),
    "wrong width": (b"h 2\nA\nB\n1\n   1.5   2.5\n", {"width": 5}, F,
                    dict(suggested_width=6), "suggests width=6, not 5"),
    "bad before a cut": (b"h 1\nA\n1\n x\n2\n", {"complete_blocks": True}, F,
                         dict(problem="not_a_number", block=0), "not a number"),
    "cut in a data line": (COMPLETE + b"3\n  5.5  6", {}, F,
                           dict(problem="line_cut", line=9, block=2), "ends inside the data line"),
    "no such name": (COMPLETE, {"parameters": ["C"]}, KeyError, {}, "'C'"),
    "no such index": (COMPLETE, {"parameters": [-3]}, IndexError, {}, "no parameter -3 in a file of 2"),
    "chosen twice": (COMPLETE, {"parameters": [1, "B"]}, ValueError, {}, "chosen twice"),
    "dtype": (COMPLETE, {"dtype": np.int32}, ValueError, {}, "numpy.float64"),
    "blocks type": (COMPLETE, {"blocks": [1]}, TypeError, {}, "slice"),
    "blocks step": (COMPLETE, {"blocks": slice(None, None, -1)}, ValueError, {}, "step"),
    "threads": (COMPLETE, {"threads": 0}, ValueError, {}, "threads"),
    "missing": ("/missing", {}, FileNotFoundError, dict(errno=errno.ENOENT), "No such"),
    "directory": ("/", {}, IsADirectoryError, dict(errno=errno.EISDIR), "directory"),
    "not a directory": ("/file/x", {}, NotADirectoryError, {}, "Not a directory"),
    "unreadable": ("/locked", {}, PermissionError, dict(errno=errno.EACCES), "denied"),
    "nul in path": ("/a\0b", {}, ValueError, {}, "null byte"),
    "path type": (None, {"path": 12}, TypeError, {}, "int"),
    "width type": (COMPLETE, {"width": "12"}, TypeError, {}, "width"),
    "width bool": (COMPLETE, {"width": True}, TypeError, {}, "width"),
    "width zero": (COMPLETE, {"width": 0}, ValueError, {}, "at least 1"),
    "flag type": (COMPLETE, {"complete_blocks": "yes"}, TypeError, {}, "complete_blocks"),
}


@pytest.mark.parametrize("case", [
    pytest.param(c, marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file"))
    if c == "unreadable" else c for c in ERRORS])
def test_errors(case, tmp_path, make_plot, capfd):
    source, keywords, kind, attributes, words = ERRORS[case]
    (tmp_path / "file").write_bytes(WORKED_EXAMPLE)
    (tmp_path / "locked").write_bytes(WORKED_EXAMPLE)
    (tmp_path / "locked").chmod(0)
    path = str(Path(make_plot(source) if isinstance(source, bytes) else f"{tmp_path}{source}"))
    arguments = {"path": Path(path), **keywords}  # any os.PathLike
    with pytest.raises(kind) as caught:
        torvask.read(**arguments)
    error = caught.value
    assert words in str(error)
    assert {name: getattr(error, name) for name in attributes} == attributes
    assert capfd.readouterr() == ("", "")
    if isinstance(error, (OS, F)):
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is kind and str(copy) == str(error) and copy.__dict__ == error.__dict__
    if isinstance(error, OS):
        assert copy.errno == error.errno and copy.filename == error.filename == path
    elif isinstance(error, F):
        assert error.path == path and str(error).startswith(path + (", line" if error.line else ":"))


def test_plot(make_plot):
    repeated = make_plot(b"h 4\nT\n P \nP\nP.1\n1\n 0 1 2 3\n2\n 4 5 6 7\n")
    plot = torvask.read(repeated)
    values = plot.values
    assert (plot.names, plot.columns, plot.width, plot.parameters, plot.blocks) == (
        ("T", "P", "P", "P.1"), ("T", "P", "P.2", "P.1"), 2, (0, 1, 2, 3), range(2))
    assert values.dtype == np.float64 and values.shape == (2, 4)
    assert values.flags.c_contiguous and values.flags.writeable
    assert isinstance(values.base.obj, torvask._core.Rows)  # through a memoryview, no copy
    assert plot["P"].tolist() == [1, 5] and plot["P.2"].tolist() == [2, 6]
    assert values[:, -1].tolist() == plot["P.1"].tolist() == [3, 7]
    assert np.shares_memory(plot["P"], values) and "2 blocks" in repr(plot)
    empty = torvask.read(make_plot(b"h 2\nA\nB\n"))
    assert empty.values.shape == (0, 2) and empty.width is None
    del plot
    assert values.sum() == 28  # the array keeps the reader's memory alive
    pytest.importorskip("pandas")
    frame = torvask.read(repeated).to_pandas()
    assert list(frame.columns) == ["P", "P.2", "P.1"] and frame.index.name == "T"
    assert frame.loc[4.0, "P.1"] == 7 and set(frame.dtypes) == {np.dtype(np.float64)}
    pytest.importorskip("xarray")
    dataset = torvask.read(repeated).to_xarray()
    assert list(dataset.data_vars) == ["P", "P.2", "P.1"] and list(dataset.coords) == ["T"]
    assert dataset["P.1"].sel(T=4.0).item() == 7


def test_plot_is_a_read_only_mapping():
    values = np.arange(12, dtype=np.float64).reshape(3, 4)
    plot = torvask.Plot(["T", "P", "P", "P.1"], values, 12, "run.plt", title="Run 7")
    # Parameters 0 and 2 of blocks 5 and 7, in float32, as a chosen read makes them.
    chosen = torvask.Plot(["T", "P"], values[:2, [0, 2]].astype(np.float32), None, "run.plt",
                          columns=["T", "P.2"], parameters=(0, 2), blocks=range(5, 9, 2))
    copy = pickle.loads(pickle.dumps(chosen))
    # case: (what is done, its result)
    behaviour = {
        "len, iter, keys": ((len(plot), list(plot), list(plot.keys())),
                            (4, ["T", "P", "P.2", "P.1"], ["T", "P", "P.2", "P.1"])),
        "in": (("P.2" in plot, "Q" in plot, 0 in plot, "P" in chosen), (True, False, False, False)),
        "by name, a view": ((plot["P.2"].tolist(), np.shares_memory(plot["P.2"], values)),
                            ([2, 6, 10], True)),
        "get": ((plot.get("P.1").tolist(), plot.get("Q"), plot.get(1, 7)), ([3, 7, 11], None, 7)),
        "items, dict": (([name for name, _ in chosen.items()], dict(plot)["P.1"].tolist()),
                        (["T", "P.2"], [3, 7, 11])),
        "title, defaults": ((plot.title, plot.parameters, plot.blocks, chosen.title),
                            ("Run 7", (0, 1, 2, 3), range(3), "")),
        "pickled": ((copy.columns, copy.blocks, copy["P.2"].tolist(), copy.values.dtype),
                    (("T", "P.2"), range(5, 9, 2), [2, 6], np.float32)),
        "repr": ((repr(plot), repr(chosen)),
                 ("<torvask.Plot 'run.plt', title 'Run 7': 4 parameters (T, P, P.2, P.1), 3 blocks, "
                  "float64, width 12>", "<torvask.Plot 'run.plt': 2 parameters (T, P.2), "
                  "2 blocks (5 to 7 by 2), float32, width None>")),
        "dir(torvask)": (dir(torvask), sorted([*torvask.__all__, "__version__"])),
    }
    for case, (result, expected) in behaviour.items():
        assert result == expected, case
    # case: (what is done, exception, words of its message)
    refusals = {
        "unknown name": (lambda: plot["Q"], KeyError, "no column 'Q' in run.plt"),
        "position": (lambda: plot[np.int64(-1)], KeyError, "column -1 is plot.values[:, -1]"),
        "slice": (lambda: plot[0:2], KeyError, "positions go through plot.values[:, j]"),
        "set": (lambda: setattr(plot, "columns", ("A",) * 4), AttributeError, "read-only"),
        "add": (lambda: setattr(plot, "extra", 1), AttributeError, "read-only"),
        "delete": (lambda: delattr(plot, "title"), AttributeError, "read-only"),
        "counts differ": (lambda: torvask.Plot(["T"], values, 12, "x"), ValueError,
                          "not 1, 1 and 4"),
        "repeated column": (lambda: torvask.Plot("TP", values[:, :2], 1, "x", columns="AA"),
                            ValueError, "unique"),
        "blocks differ": (lambda: torvask.Plot("TPQR", values, 1, "x", blocks=range(2)),
                          ValueError, "2 block numbers for 3 rows"),
    }
    for case, (action, kind, words) in refusals.items():
        with pytest.raises(kind) as caught:
            action()
        assert words in str(caught.value), case
    assert plot["P"].tolist() == [1, 5, 9]  # nothing above changed it
    pytest.importorskip("xarray")
    dataset = chosen.to_xarray()
    assert dataset.attrs == {"path": "run.plt", "title": "", "blocks": "5:9:2"}
    assert dataset["P.2"].attrs == {"parameter": 2, "name": "P"}
    assert dataset["P.2"].dtype == np.float32
    frame = plot.to_pandas()
    assert frame.attrs["parameters"] == (0, 1, 2, 3) and frame.attrs["width"] == 12


@pytest.fixture(scope="module")
def big_plot(tmp_path_factory):
    """About 80 MB: N = 200 at width 12, one generated block repeated."""
    content = generated(200, 1, 12)
    names_end = content.index(b"\n     1\n") + 1
    path = tmp_path_factory.mktemp("big") / "big.plt"
    path.write_bytes(content[:names_end] + content[names_end:] * 32000)
    return str(path)


def test_threads(big_plot, make_plot):
    one, two = make_plot(b"h 1\nA\n1\n 7\n"), make_plot(WORKED_EXAMPLE)
    plots = torvask.read_many([two, Path(one), two.encode()], threads=2)
    assert [p.path for p in plots] == [two, one, two] and plots[1].values.tolist() == [[7]]
    bad = make_plot(b"h 1\nA\n1\n  nope\n")
    with pytest.raises(torvask.FormatError, match="nope") as caught:
        torvask.read_many([one, bad, big_plot, two])
    assert caught.value.path == bad
    # The interpreter is released during a read: another thread runs then.
    ticks, stop = [], threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.monotonic()
        assert torvask.read(big_plot).values.shape == (32000, 200)
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    margin = (end - start) / 4
    assert sum(start + margin < t < end - margin for t in ticks) >= 2, (end - start, len(ticks))


CTRL_C_CHILD = """
import os, sys, time
import torvask

torvask.read(sys.argv[1])  # fills the page cache
start = time.monotonic()
torvask.read(sys.argv[1])
print(time.monotonic() - start, flush=True)
while sys.stdin.readline():  # the parent's go
    finished = False
    try:
        print("reading", flush=True)
        torvask.read(sys.argv[1])
        finished = True
        time.sleep(5)
    except KeyboardInterrupt:
        with open("/proc/self/statm") as f:
            rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        print("late" if finished else time.monotonic(), rss, len(os.listdir("/proc/self/fd")),
              flush=True)
"""


def test_ctrl_c_stops_a_read_and_frees_it(big_plot):
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_CHILD, big_plot], env=child_env(),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        duration = float(child.stdout.readline())
        delays, states, wait = [], [], duration / 3
        for _ in range(24):
            child.stdin.write("go\n")
            child.stdin.flush()
            assert child.stdout.readline() == "reading\n"
            time.sleep(wait)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            raised, rss, fds = child.stdout.readline().split()
            if raised == "late":  # a busy machine let the read end first: signal sooner
                wait /= 2
                continue
            delays.append(float(raised) - sent)
            states.append((int(rss), int(fds)))
            if len(delays) == 8:
                break
        out, err = child.communicate("", timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0 and err == "" and out == ""
    print("read %.3f s; from SIGINT to KeyboardInterrupt: %s s; RSS after each: %s MiB"
          % (duration, " ".join("%.4f" % d for d in delays), [r >> 20 for r, _ in states]))
    assert len(delays) == 8, "the reads ended before their signals came"
    assert max(delays) < 2
    # The allocator settles during the first reads; after that nothing grows.
    assert states[-1][1] == states[1][1] and states[-1][0] - states[1][0] < 8 << 20


MEMORY_CHILD = """
import resource, sys
import torvask

torvask.read(sys.argv[2])
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + (8 << 20), hard))
try:
    torvask.read(sys.argv[1])
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(torvask.read(sys.argv[1]).values.shape)
"""


def test_memory_exhaustion_is_a_memory_error(big_plot, make_plot):
    done = run_python(MEMORY_CHILD, args=(big_plot, make_plot(WORKED_EXAMPLE)))
    assert (done.returncode, done.stdout, done.stderr) == (0, b"MemoryError\n(32000, 200)\n", b"")
