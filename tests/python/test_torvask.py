"""The torvask package: novrel's values as arrays, errors that say what and
where (and pickle), the Plot API, parallel reads and Ctrl-C."""

import errno
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

import numpy as np
import pytest

from conftest import child_env, plot_text

import torvask

TOP = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("plotgen", TOP / "tools" / "plotgen.py")
plotgen = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(plotgen)

WORKED_EXAMPLE = (TOP / "examples" / "worked_example.plt").read_bytes()


def generated(params, blocks, width, seed=1):
    out = io.StringIO()
    plotgen.write_plot(out, params, blocks, width, seed)
    return out.getvalue().encode()


def novrel_outcome(novrel, path, width):
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
            del data[at:]  # cut, as a file still being written
            break
        # Mostly digits, so that many copies still read, with other values.
        data[at] = rng.choice(b"0123456789" * 3 + b" \n\r.+-Ex\x00\xc3\xff")
    return bytes(data)


def test_same_values_as_novrel(novrel, make_plot, capfd):
    rng = random.Random(7)
    originals = [(WORKED_EXAMPLE, 12)] + [(generated(n, 25, w, seed=n), w)
                                          for n in (1, 10, 11, 200) for w in (12, 15)]
    checked = failed = 0
    for content, width in originals:
        for copy in [content] + [mutated(content, rng) for _ in range(12)]:
            path = make_plot(copy)
            expected = novrel_outcome(novrel, path, width)
            capfd.readouterr()
            try:
                plot = torvask.read(path, width)
            except (torvask.FormatError, OSError):
                assert expected is None, copy
                failed += 1
            else:
                assert expected is not None, copy
                assert plot.values.shape == expected.shape
                assert len(plot.names) == expected.shape[1]
                assert np.array_equal(plot.values.view(np.uint32), expected.view(np.uint32))
                checked += 1
            assert capfd.readouterr() == ("", "")
        # The width found from the first data line is the one written.
        assert torvask.read(make_plot(content)).width == width
    print("read by both: %d, failed in both: %d" % (checked, failed))
    assert checked > 40 and failed > 20


CUT_COMPLETE = b"h 2\nA\nB\n1\n  1.5  2.5\n2\n  3.5  4.5\n"
ROOT = os.geteuid() == 0


def special_path(tmp_path, kind):
    if kind == "missing":
        return str(tmp_path / "missing.plt")
    if kind == "directory":
        return str(tmp_path)
    if kind == "not a directory":
        (tmp_path / "file").write_bytes(WORKED_EXAMPLE)
        return str(tmp_path / "file" / "x.plt")
    if kind == "unreadable":
        (tmp_path / "locked.plt").write_bytes(WORKED_EXAMPLE)
        (tmp_path / "locked.plt").chmod(0)
        return tmp_path / "locked.plt"  # an os.PathLike
    return str(tmp_path / "a\0b.plt")


# (contents or special path, read's keywords, exception type, attributes,
#  words of the message)
ERRORS = {
    "empty": (b"", {}, torvask.FormatError, dict(problem="no_header", line=None), "empty"),
    "bad count": (b"h x\n", {}, torvask.FormatError,
                  dict(problem="bad_count", line=1, text="h x"), "parameter count"),
    "names missing": (b"h 3\nA\n", {}, torvask.FormatError,
                      dict(problem="names_missing", line=3, block=None), "names"),
    "not utf-8": (b"h 1\nA\n\xff\n", {}, torvask.FormatError,
                  dict(problem="not_utf8", line=3, block=0), "UTF-8"),
    "block cut": (CUT_COMPLETE + b"3\n", {}, torvask.FormatError,
                  dict(problem="block_cut", line=9, block=2), "complete_blocks=True"),
    "field outside": (b"h 2\nA\nB\n1\n 1 2\n2\n 3\n", {}, torvask.FormatError,
                      dict(problem="field_outside", line=7, block=1, parameter=1, name="B",
                           text=" 3"), "line 7 (block 1, parameter 1 'B')"),
    "not a number": (b"h 3\nA\nB\nC\n1\n  1.01.0D0  2.0\n", {}, torvask.FormatError,
                     dict(problem="not_a_number", line=6, block=0, parameter=1, text="1.0D0"),
                     "'1.0D0' is not a number"),
    "width unknown": (b"h 3\nA\nB\nC\n1\n 1 2 34\n", {}, torvask.FormatError,
                      dict(problem="width_unknown", line=6), "width="),
    "wrong width": (b"h 2\nA\nB\n1\n   1.5   2.5\n", {"width": 5}, torvask.FormatError,
                    dict(problem="not_a_number", suggested_width=6), "suggests width=6, not 5"),
    "error before a cut": (b"h 1\nA\n1\n x\n2\n", {"complete_blocks": True},
                           torvask.FormatError, dict(problem="not_a_number", block=0), "is not a number"),
    "missing": ("missing", {}, FileNotFoundError, dict(errno=errno.ENOENT), "No such file"),
    "directory": ("directory", {}, IsADirectoryError, dict(errno=errno.EISDIR), "directory"),
    "not a directory": ("not a directory", {}, NotADirectoryError, {}, "Not a directory"),
    "unreadable": ("unreadable", {}, PermissionError, dict(errno=errno.EACCES), "denied"),
    "nul in path": ("nul", {}, ValueError, {}, "null byte"),
    "path type": (None, {"path": 12}, TypeError, {}, "int"),
    "width type": (CUT_COMPLETE, {"width": "12"}, TypeError, {}, "width"),
    "width bool": (CUT_COMPLETE, {"width": True}, TypeError, {}, "width"),
    "width zero": (CUT_COMPLETE, {"width": 0}, ValueError, {}, "at least 1"),
    "flag type": (CUT_COMPLETE, {"complete_blocks": "yes"}, TypeError, {}, "complete_blocks"),
}


@pytest.mark.parametrize("case", [
    pytest.param(case, marks=pytest.mark.skipif(ROOT, reason="root reads any file"))
    if case == "unreadable" else case for case in ERRORS])
def test_errors(case, tmp_path, make_plot, capfd):
    source, keywords, kind, attributes, words = ERRORS[case]
    keywords = dict(keywords)
    path = keywords.pop("path", None) or (
        make_plot(source) if isinstance(source, bytes) else special_path(tmp_path, source))
    with pytest.raises(kind) as caught:
        torvask.read(path, **keywords)
    error = caught.value
    assert words in str(error)
    for name, value in attributes.items():
        assert getattr(error, name) == value, name
    if isinstance(error, (OSError, torvask.FormatError)):
        copy = pickle.loads(pickle.dumps(error))
        assert type(copy) is kind and str(copy) == str(error)
        assert copy.__dict__ == error.__dict__  # where FormatError keeps its attributes
    if isinstance(error, OSError):
        assert copy.errno == error.errno and copy.filename == error.filename == os.fspath(path)
    elif isinstance(error, torvask.FormatError):
        assert error.path == path
        assert str(error).startswith(path + ", line" if error.line else path + ":")
    assert capfd.readouterr() == ("", "")


REPEATED = b"h 4\nT\n P \nP\nP.1\n1\n 0 1 2 3\n2\n 4 5 6 7\n"


def test_complete_blocks_and_plot(make_plot):
    for tail in (b"3\n", b"3", b"3\n  5.5  6", b"3\n  5.5  \xc3"):
        plot = torvask.read(make_plot(CUT_COMPLETE + tail), complete_blocks=True)
        assert plot.values.tolist() == [[1.5, 2.5], [3.5, 4.5]]
    plot = torvask.read(make_plot(REPEATED))
    values = plot.values
    assert (plot.names, plot.columns, plot.width) == (["T", "P", "P", "P.1"],
                                                      ["T", "P", "P.1", "P.1.1"], 2)
    assert values.dtype == np.float32 and values.shape == (2, 4)
    assert values.flags.c_contiguous and values.flags.writeable
    assert isinstance(values.base.obj, torvask._core.Rows)  # via a memoryview
    assert plot["P"].tolist() == [1, 5] and plot["P.1"].tolist() == [2, 6]
    assert plot[-1].tolist() == plot["P.1.1"].tolist() == [3, 7]
    assert np.shares_memory(plot[np.int64(1)], values)
    with pytest.raises(KeyError):
        plot["Q"]
    with pytest.raises(IndexError):
        plot[4]
    assert "2 blocks" in repr(plot)
    empty = torvask.read(make_plot(b"h 2\nA\nB\n"))
    assert empty.values.shape == (0, 2) and empty.width is None
    del plot
    assert values.sum() == 28  # the array keeps the reader's memory alive
    pandas = pytest.importorskip("pandas")
    frame = torvask.read(make_plot(REPEATED)).to_pandas()
    assert list(frame.columns) == ["P", "P.1", "P.1.1"] and frame.index.name == "T"
    assert frame.loc[4.0, "P.1.1"] == 7 and frame.dtypes.unique().tolist() == [np.float32]
    assert isinstance(frame, pandas.DataFrame)
    pytest.importorskip("xarray")
    dataset = torvask.read(make_plot(REPEATED)).to_xarray()
    assert list(dataset.data_vars) == ["P", "P.1", "P.1.1"] and list(dataset.coords) == ["T"]
    assert dataset["P.1.1"].sel(T=4.0).item() == 7


@pytest.fixture(scope="module")
def big_plot(tmp_path_factory):
    """About 80 MB: N = 200 at width 12, one generated block repeated."""
    content = generated(200, 1, 12)
    names_end = content.index(b"\n     1\n") + 1
    path = tmp_path_factory.mktemp("big") / "big.plt"
    path.write_bytes(content[:names_end] + content[names_end:] * 32000)
    return str(path)


def test_threads(big_plot, make_plot):
    good = [make_plot(plot_text([["0", "1", "2"]], names=list("ABC"))),
            make_plot(WORKED_EXAMPLE)]
    plots = torvask.read_many([good[1], Path(good[0]), good[1].encode()], threads=2)
    assert [p.path for p in plots] == [good[1], good[0], good[1]]
    assert plots[1].values.tolist() == [[0, 1, 2]] and plots[0].names == plots[2].names
    bad = make_plot(b"h 1\nA\n1\n  nope\n")
    with pytest.raises(torvask.FormatError, match="nope") as caught:
        torvask.read_many([good[0], bad, big_plot, good[1]])
    assert caught.value.path == bad
    # The interpreter is released during a read: another thread runs then.
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.monotonic()
        plot = torvask.read(big_plot)
        end = time.monotonic()
    finally:
        stop.set()
        ticker.join()
    margin = (end - start) / 4
    assert plot.values.shape == (32000, 200)
    assert sum(start + margin < t < end - margin for t in ticks) >= 2, (end - start, len(ticks))


CTRL_C_CHILD = """
import os, sys, time
import torvask

start = time.monotonic()
torvask.read(sys.argv[1])  # also fills the page cache
print(time.monotonic() - start, flush=True)
finished = False
while sys.stdin.readline():  # the parent's go
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
    child = subprocess.Popen([sys.executable, "-P", "-c", CTRL_C_CHILD, big_plot], env=child_env(),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)
    try:
        duration = float(child.stdout.readline())
        delays, states = [], []
        for _ in range(8):
            child.stdin.write("go\n")
            child.stdin.flush()
            assert child.stdout.readline() == "reading\n"
            time.sleep(duration / 3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            raised, rss, fds = child.stdout.readline().split()
            assert raised != "late", "the read ended before the signal came"
            delays.append(float(raised) - sent)
            states.append((int(rss), int(fds)))
        out, err = child.communicate("", timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0 and err == "" and out == ""
    print("read %.3f s; from SIGINT to KeyboardInterrupt: %s s; RSS after each: %s MiB"
          % (duration, " ".join("%.4f" % d for d in delays), [r >> 20 for r, _ in states]))
    assert max(delays) < 2
    # The allocator settles during the first reads; after that nothing grows.
    assert states[-1][1] == states[1][1] and states[-1][0] - states[1][0] < 8 << 20


def test_command_line(make_plot):
    good = make_plot(generated(12, 3, 15))
    run = subprocess.run([sys.executable, "-P", "-m", "torvask", good, good + ".gone"],
                         capture_output=True, text=True, env=child_env(), timeout=60)
    assert run.returncode == 1
    assert run.stdout.startswith(good + ": width 15, 12 parameters, 3 blocks, TIME from 0 to 1\n")
    assert "  TIME " in run.stdout and run.stdout.endswith("  ... 2 more\n")
    assert run.stderr == good + ".gone: No such file or directory\n"
