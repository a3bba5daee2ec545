"""Where torvask.read takes its bytes from: paths (compressed ones told by
their first bytes, not their names), bytes in memory, file objects and named
pipes give the values of the plain file; failures name the source; Ctrl-C
stops a read blocked on a pipe. Without numpy (the free-threaded interpreter
here) the sources that need no Python-side opening go to the reader alone."""

import bz2
import contextlib
import errno
import gzip
import importlib
import io
import lzma
import os
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest
from compression import zstd

from conftest import FREE_THREADED, core_path, load_core, plot_text, run_python

try:
    import numpy as np
    import torvask
except ImportError:
    if not FREE_THREADED:
        raise  # a regular interpreter without numpy is a broken environment
    np = torvask = None
_core = load_core()


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """A plain file of over 1 MiB (more than a stream's chunks in flight), the
    same compressed four ways, each under a misleading name, and the bytes."""
    folder = tmp_path_factory.mktemp("sources")
    rows = [["%.7E" % ((b * 31 - j) / 7) for j in range(23)] for b in range(4000)]
    data = plot_text(rows, width=15).encode()
    f = SimpleNamespace(data=data, gz=gzip.compress(data))
    for name, content in [("plain", data), ("plain_gz", data), ("gzip", f.gz),
                          ("bz2", bz2.compress(data)), ("xz", lzma.compress(data)),
                          ("zstd", zstd.compress(data))]:
        path = folder / ("run.plt.gz" if name == "plain_gz" else f"{name}.plt")
        path.write_bytes(content)
        setattr(f, name, str(path))
    return f


def piped(c, data):
    """A named pipe that a thread writes `data` into; the thread is gone when
    the test's stack closes, whether the reader read it all, or opened it."""
    path = c.tmp / "pipe.plt"
    os.mkfifo(path)

    def write():
        with contextlib.suppress(BrokenPipeError), open(path, "wb") as pipe:
            pipe.write(data)

    writer = threading.Thread(target=write)
    writer.start()

    def finish():
        if writer.is_alive():  # let a writer that waits for a reader go
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
        writer.join(10)
        assert not writer.is_alive()

    c.stack.callback(finish)
    return str(path)


class ReadOnly:
    """A file with read() alone, as fsspec's are, answering in uneven pieces."""

    def __init__(self, data):
        self.data, self.at, self.turn = data, 0, 0

    def read(self, size):
        self.turn += 1
        piece = self.data[self.at:self.at + min(size, 1 + self.turn * 7919 % 70000)]
        self.at += len(piece)
        return piece


def bytes_io_at(data):
    stream = io.BytesIO(b"not a plot\n" + data)
    stream.seek(11)
    return stream


def opened(c, opener, *args):
    return c.stack.enter_context(opener(*args))


# Each made from `c`: the files' paths and bytes, the test's ExitStack and
# tmp_path.
SOURCES = {
    "str path": lambda c: c.plain,
    "bytes path": lambda c: os.fsencode(c.plain),
    "plain named .gz": lambda c: Path(c.plain_gz),
    "gzip named .plt": lambda c: Path(c.gzip),
    "bz2 path": lambda c: c.bz2,
    "xz path": lambda c: c.xz,
    "zstd path": lambda c: c.zstd,
    "memoryview": lambda c: memoryview(c.data),
    "bytearray": lambda c: bytearray(c.data),
    "BytesIO from its position": lambda c: bytes_io_at(c.data),
    "open()": lambda c: opened(c, open, c.plain, "rb"),
    "unbuffered open()": lambda c: opened(c, open, c.plain, "rb", 0),
    "read() alone": lambda c: ReadOnly(c.data),
    "gzip.open": lambda c: opened(c, gzip.open, c.gzip),
    "bz2.open": lambda c: opened(c, bz2.open, c.bz2),
    "lzma.open": lambda c: opened(c, lzma.open, c.xz),
    "zstd.open": lambda c: opened(c, zstd.open, c.zstd),
    "named pipe": lambda c: piped(c, c.data),
    "gzip named pipe": lambda c: piped(c, c.gz),
}
# What torvask opens itself; the reader alone takes the rest.
OPENED_BY_TORVASK = {"gzip named .plt", "bz2 path", "xz path", "zstd path",
                     "BytesIO from its position", "named pipe", "gzip named pipe"}

# (float64, parameters, blocks)
OPTIONS = {
    "all": (True, None, slice(None)),
    "float32, chosen, from the end": (False, ("P7", -1, 12), slice(-50, -3, 7)),
    "chosen, from the start": (True, (20, "P3"), slice(5, 900, 3)),
}


def read(source, float64, parameters, blocks):
    """What a read gives that must not depend on the source."""
    if torvask is not None:
        plot = torvask.read(source, dtype=np.float64 if float64 else np.float32,
                            parameters=parameters, blocks=blocks)
        return (plot.columns, plot.parameters, plot.blocks, plot.width, plot.values.dtype,
                plot.values.tobytes())
    if isinstance(source, (str, Path)):
        source = os.fsencode(source)
    got = _core.read(source, float64=float64, parameters=parameters, start=blocks.start,
                     stop=blocks.stop, step=blocks.step)
    return (got.names, got.parameters, got.first_block, got.block_step, got.width,
            bytes(memoryview(got.rows)))


@contextlib.contextmanager
def context(files, tmp_path, needs_torvask):
    if needs_torvask and torvask is None:
        pytest.skip("torvask needs numpy")
    with contextlib.ExitStack() as stack:
        yield SimpleNamespace(**vars(files), stack=stack, tmp=tmp_path)


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("kind", SOURCES)
def test_every_source_reads_as_the_plain_file(files, tmp_path, kind, options):
    expected = read(files.plain, *OPTIONS[options])
    with context(files, tmp_path, kind in OPENED_BY_TORVASK) as c:
        assert read(SOURCES[kind](c), *OPTIONS[options]) == expected


class Misbehaving:
    """A file object whose one method, `method`, is `answer`."""

    def __init__(self, method, answer):
        setattr(self, method, answer)


def cut_gzip(c):
    (c.tmp / "cut.plt").write_bytes(c.gz[:len(c.gz) // 2])
    return str(c.tmp / "cut.plt")


def closed_file(c):
    with open(c.plain, "rb") as file:
        return file


def failing(size):
    raise OSError(5, "the device is gone")


BAD = b"h 1\nA\n1\n  nope\n"
LONG_NAME = BAD.replace(b"A", b"A" * 5000)
FORMAT = "FormatError"  # torvask's, which needs numpy

# name: (source maker, exception, words of its message, how errors show the
# source: None for the source's repr, else a template)
ERRORS = {
    "format, memoryview": (lambda c: memoryview(BAD), FORMAT, "nope", "<memoryview of 15 bytes>"),
    "format, file object": (lambda c: opened(c, open, c.tmp / "bad.plt", "rb"), FORMAT, "nope",
                            "{tmp}/bad.plt"),
    "format, gzip path": (lambda c: c.tmp / "bad.gz.plt", FORMAT, "nope", "{tmp}/bad.gz.plt"),
    "format, nameless object": (lambda c: ReadOnly(BAD), FORMAT, "nope", None),
    "format, a long name": (lambda c: memoryview(LONG_NAME), FORMAT, "nope",
                            f"<memoryview of {len(LONG_NAME)} bytes>"),
    "bad gzip over BytesIO": (lambda c: gzip.GzipFile(fileobj=io.BytesIO(b"\x1f\x8b\x09" * 9)),
                              gzip.BadGzipFile, "compression method", None),
    "cut gzip path": (cut_gzip, EOFError, "end-of-stream", "{tmp}/cut.plt"),
    "object's own OSError": (lambda c: Misbehaving("read", failing), OSError, "device is gone",
                             None),
    "read() too long": (lambda c: Misbehaving("read", lambda n: b" " * (n + 1)), ValueError,
                        "returned", None),
    "read() gives str": (lambda c: Misbehaving("read", lambda n: "h 1\n"), TypeError,
                         "bytes-like", None),
    "readinto() too long": (lambda c: Misbehaving("readinto", lambda b: len(b) + 1), ValueError,
                            "returned", None),
    "readinto() gives None": (lambda c: Misbehaving("readinto", lambda b: None), ValueError,
                              "None", None),
    "readinto() below 0": (lambda c: Misbehaving("readinto", lambda b: -1), ValueError,
                           "returned", None),
    "readinto() raises": (lambda c: Misbehaving("readinto", failing), OSError, "device is gone",
                          None),
    "closed file": (closed_file, ValueError, "closed", "{plain}"),
}


@pytest.mark.parametrize("case", ERRORS)
def test_errors_name_the_source(files, tmp_path, case, capfd):
    make, kind, words, shown = ERRORS[case]
    (tmp_path / "bad.plt").write_bytes(BAD)
    (tmp_path / "bad.gz.plt").write_bytes(gzip.compress(BAD))
    with context(files, tmp_path, kind == FORMAT or shown is not None) as c:
        source = make(c)
        shown = repr(source) if shown is None else shown.format(**vars(c))
        with pytest.raises(torvask.FormatError if kind == FORMAT else kind) as caught:
            read(source, True, None, slice(None))
    error = caught.value
    assert words in str(error) and len(str(error)) < 300 and capfd.readouterr() == ("", "")
    if torvask is None:
        return
    if kind == FORMAT:
        assert error.path == shown and str(error).startswith(shown + ", line 4")
    elif case == "closed file":  # refused before any read
        assert str(error).endswith(shown)
    else:
        assert error.__notes__ == [f"while reading {shown}"]


CTRL_C_CHILD = r"""
import gzip, os, signal, sys, threading, time, zlib
fifo, kind, core = sys.argv[1:]
try:
    import torvask
    read = torvask.read
except ImportError:  # no numpy: the reader alone, given the file object
    import importlib.util
    found = importlib.util.spec_from_file_location("_core", core)
    _core = importlib.util.module_from_spec(found)
    found.loader.exec_module(_core)
    torvask = None
    read = lambda source: _core.read(source)
part = b"h 2\nA\nB\n" + b"1\n  1.5  2.5\n" * 5000
if kind == "gzip":
    packer = zlib.compressobj(wbits=31)
    part = packer.compress(part) + packer.flush(zlib.Z_SYNC_FLUSH)
os.mkfifo(fifo)
stall = threading.Event()

def write():
    with open(fifo, "wb") as pipe:
        pipe.write(part)
        pipe.flush()
        stall.wait()

def interrupt():
    time.sleep(0.5)
    sent.append(time.monotonic())
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

sent, writer, timer = [], threading.Thread(target=write), threading.Thread(target=interrupt)
writer.start()
timer.start()
try:
    if kind == "gzip":
        with gzip.open(fifo) as source:
            read(source)
    elif torvask is not None:
        read(fifo)
    else:
        with open(fifo, "rb") as source:
            read(source)
except KeyboardInterrupt:
    delay = time.monotonic() - sent[0]
stall.set()
writer.join(10)
timer.join(10)
print(delay, len(os.listdir("/proc/self/task")))
"""


@pytest.mark.parametrize("kind", ["pipe", "gzip"])
def test_ctrl_c_stops_a_read_of_a_stalled_pipe(tmp_path, kind):
    done = run_python(CTRL_C_CHILD, args=(str(tmp_path / "pipe.plt"), kind, core_path()),
                      timeout=60)
    assert (done.returncode, done.stderr) == (0, b"")
    delay, threads = done.stdout.split()
    print(f"{kind}: from SIGINT to KeyboardInterrupt {float(delay):.4f} s")
    # Every thread has ended: the writer, the timer, and the reader's own.
    assert float(delay) < 1 and threads == b"1"


# A file's contents passed where a path goes: every way in refuses it as
# too long in a few lines, naming its start and its length.
CONTENTS = b"Run 7" + b" " * 26 + b"1\nTIME\n" + b"   1\n 1.00000E+00\n" * 6000


LONG_PATH_CALLS = {
    "read, bytes": lambda: torvask.read(CONTENTS),
    "read_many, str": lambda: torvask.read_many([CONTENTS.decode()]),
    "follow": lambda: torvask.follow(CONTENTS).poll(),
    "write": lambda: torvask.write(CONTENTS, {"T": [0.0]}),
    "xarray engine": lambda: pytest.importorskip("xarray").open_dataset(
        CONTENTS.decode(), engine=torvask.xarray_backend.TorvaskBackendEntrypoint),
    "command line": lambda: importlib.import_module("torvask.__main__").main(
        ["info", CONTENTS.decode()]),
}


@pytest.mark.skipif(torvask is None, reason="torvask needs numpy")
@pytest.mark.parametrize("call", LONG_PATH_CALLS)
def test_contents_as_a_path_give_a_short_error(call, tmp_path, capsys):
    if call == "command line":
        assert LONG_PATH_CALLS[call]() != 0
        message = capsys.readouterr().err
    else:
        with pytest.raises(OSError) as caught:
            LONG_PATH_CALLS[call]()
        error = caught.value
        assert error.errno == errno.ENAMETOOLONG and len(error.filename) <= 83
        message = str(error)
    assert len(message) < 300 and f"a path of {len(CONTENTS)} " in message, message
    assert "Run 7" in message
    assert ("pass memoryview(data) or io.BytesIO(data)" in message) == (call != "write")
    if call == "read, bytes":  # within the system's limit, a path is shown whole
        missing = os.path.join(tmp_path, *["x" * 200] * 18, "run.plt")
        with pytest.raises(FileNotFoundError) as caught:
            torvask.read(missing)
        assert caught.value.filename == missing and missing in str(caught.value)
