"""xarray's torvask engine: what opening reads, what touching a variable
reads, the options, open_mfdataset, and a Dask cluster of separate
processes started from the command line."""

import contextlib
import io
import pickle
import random
import socket
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from conftest import child_env, numpy_or_skip, plot_text, run_python

np = numpy_or_skip()
xr = pytest.importorskip("xarray")
import torvask  # noqa: E402

ENGINE = torvask.xarray_backend.TorvaskBackendEntrypoint


def blocks_text(first, count, n=13, seed=0):
    """A width-15 plot file of `count` blocks whose parameter 0 runs from
    `first` by 0.5; n > 10 puts each block on two data lines."""
    rng = random.Random(seed)
    rows = [[f"{(first + b) * 0.5:.8E}"] + [f"{rng.uniform(-1e6, 1e6):.8E}" for _ in range(n - 1)]
            for b in range(count)]
    return plot_text(rows, width=15)


@pytest.fixture
def plot_path(make_plot):
    return make_plot(blocks_text(0, 9))


@pytest.fixture
def reads(monkeypatch):
    """The (parameters, blocks) of every read of the engine from here on."""
    calls, real = [], torvask.xarray_backend._checked_read

    def counted(path, width=None, **options):
        calls.append((options.get("parameters"), options.get("blocks")))
        return real(path, width, **options)

    monkeypatch.setattr(torvask.xarray_backend, "_checked_read", counted)
    return calls


@pytest.mark.parametrize("key", [slice(2, 7), slice(None, None, -2), [1, 6, 4], 3, slice(5, 2)])
def test_open_reads_parameter_0_alone_and_each_touch_is_one_read(plot_path, reads, key):
    dataset = xr.open_dataset(plot_path, engine=ENGINE)
    assert reads == [([0], None)]
    whole = torvask.read(plot_path).to_xarray()
    del reads[:]
    picked = pickle.loads(pickle.dumps(dataset))["P4"][key]  # as Dask ships it
    np.testing.assert_array_equal(picked.values, whole["P4"][key].values)
    empty = isinstance(key, slice) and not range(9)[key]
    assert [p for p, _ in reads] == ([] if empty else [[4]])
    xr.testing.assert_identical(dataset.load(), whole)


@pytest.mark.parametrize("n, expected", [(40, [[1], [2], [3], None]), (3, [[1], [2]])])
def test_loading_every_variable_reads_three_alone_then_the_rest_at_once(make_plot, reads, n,
                                                                         expected):
    path = make_plot(blocks_text(0, 9, n=n))
    dataset, whole = xr.open_dataset(path, engine=ENGINE), torvask.read(path).to_xarray()
    del reads[:]
    xr.testing.assert_identical(dataset.load(), whole)
    assert [p for p, _ in reads] == expected


def test_values_read_ahead_are_handed_out_once_and_dropped_on_close(plot_path, reads):
    dataset = xr.open_dataset(plot_path, engine=ENGINE, cache=False)
    whole = torvask.read(plot_path)
    del reads[:]
    for name, expected in [("P3", [[3]]), ("P3", [[3]]), ("P1", [[1]]), ("P2", [[2]]),
                           ("P5", [None]), ("P6", []), ("P5", [[5]])]:
        np.testing.assert_array_equal(dataset[name].values, whole[name])
        np.testing.assert_array_equal(dataset[name][2:5].values, whole[name][2:5])
        assert [p for p, _ in reads] == expected * 2, name  # each slice on its own
        del reads[:]
    dataset.close()
    dataset["P7"].values
    assert [p for p, _ in reads] == [[7]]


def test_a_fault_in_a_parameter_read_ahead_fails_only_that_parameter(make_plot):
    rows = [[f"{b * 0.5:.8E}"] + [f"{j + b:.8E}" for j in range(1, 24)] for b in range(6)]
    rows[4][20] = "bad"
    path = make_plot(plot_text(rows, width=15))
    dataset = xr.open_dataset(path, engine=ENGINE)
    for j in (1, 2, 3, 4, 21):  # the fourth and the next read all, fail, then alone
        np.testing.assert_array_equal(dataset[f"P{j}"].values, np.arange(6) + j)
    with pytest.raises(torvask.FormatError):
        dataset["P20"].values


def test_threads_loading_one_dataset_share_its_reads(make_plot, reads):
    path = make_plot(blocks_text(0, 9, n=40))
    dataset = xr.open_dataset(path, engine=ENGINE, cache=False)
    whole = torvask.read(path)
    del reads[:]
    names = [f"P{j}" for j in range(1, 40)]
    with ThreadPoolExecutor(8) as pool:
        got = list(pool.map(lambda name: dataset[name].values, names))
    for name, values in zip(names, got):
        np.testing.assert_array_equal(values, whole[name])
    # Whichever three come first are read alone; a thread asking for one
    # that the fourth's read is fetching waits for it.
    assert sorted(len(p) if p else 0 for p, _ in reads) == [0, 1, 1, 1]


@pytest.mark.parametrize("options", [
    {}, {"width": 15}, {"dtype": np.float32}, {"complete_blocks": True}])
def test_options_give_what_read_gives(make_plot, options):
    text = blocks_text(0, 5)
    cut = make_plot(text[:-20])  # inside the last block's data line
    path = cut if options.get("complete_blocks") else make_plot(text)
    dataset = xr.open_dataset(path, engine=ENGINE, **options)
    xr.testing.assert_identical(dataset.load(), torvask.read(path, **options).to_xarray())


@pytest.mark.parametrize("drop", ["P2", ["P0", "P5", "nothing"]])
def test_drop_variables(plot_path, drop):
    dataset = xr.open_dataset(plot_path, engine=ENGINE, drop_variables=drop)
    dropped = {drop} if isinstance(drop, str) else set(drop)
    assert set(dataset.variables) == {f"P{j}" for j in range(13)} - dropped
    assert dataset.sizes == {"P0": 9}


def test_chunks_make_one_read_per_chunk(plot_path, reads):
    dataset = xr.open_dataset(plot_path, engine=ENGINE, chunks={"P0": 4})
    assert dataset["P7"].chunks == ((4, 4, 1),)
    del reads[:]
    values = dataset["P7"].values
    assert sorted((b.start, b.stop) for _, b in reads) == [(0, 4), (4, 8), (8, 9)]
    np.testing.assert_array_equal(values, torvask.read(plot_path)["P7"])


@pytest.mark.parametrize("name, content, expected", [
    ("run.plt", None, True),                   # the suffix alone
    ("run.dat", "Run 7 plot data 3\nA\n", True),
    ("run.dat", "Run 7 plot data\nA\n", False),
    ("run.dat", "Run 7 0\nA\n", False),
    ("run.dat", "Run 7 +3\u3000\nA\n", True),  # the reader's own rule: a sign, Unicode blanks
    ("run.dat", "Run 7 4294967296\nA\n", False),
    ("run.csv", "a,b,3\n1,2,3\n", False),
    ("run.h5", b"\x89HDF\r\n\x1a\n 1\n", False),
    ("run.dat", "no line end 3", False),
    ("missing", None, False),
])
def test_guess_can_open(tmp_path, name, content, expected):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content.encode() if isinstance(content, str) else content)
    assert ENGINE().guess_can_open(str(path)) is expected
    assert ENGINE().guess_can_open(path) is expected
    assert not ENGINE().guess_can_open(io.BytesIO(b"h 1\nA\n"))


def test_import_torvask_leaves_xarray_alone():
    code = ("import sys, torvask\nassert 'xarray' not in sys.modules\n"
            "assert torvask.xarray_backend.TorvaskBackendEntrypoint.open_dataset_parameters\n"
            "assert 'xarray' in sys.modules")
    done = run_python(code)
    assert done.returncode == 0, done.stderr.decode()


def part_files(make_plot):
    """Three files of consecutive spans of parameter 0, in shuffled order."""
    starts = [(7, 5), (0, 3), (3, 4)]
    paths = [make_plot(blocks_text(first, count, seed=first)) for first, count in starts]
    whole = xr.concat([torvask.read(p).to_xarray() for _, p in sorted(zip(starts, paths))],
                      dim="P0")
    return paths, whole


def test_open_mfdataset_concatenates_along_the_index(make_plot):
    pytest.importorskip("dask")
    paths, whole = part_files(make_plot)
    combined = xr.open_mfdataset(paths, engine=ENGINE, parallel=True, combine="by_coords",
                                 chunks={"P0": 2})
    assert combined["P3"].chunks is not None
    xr.testing.assert_equal(combined.load(), whole)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def started(args, cwd):
    process = subprocess.Popen([sys.executable, "-m", "dask", *args], cwd=cwd,
                               env=child_env(), stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    try:
        yield process
    finally:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def test_a_scheduler_and_two_worker_processes_read_through_the_engine(make_plot, tmp_path):
    """What users run: `dask scheduler` and `dask worker` as processes of
    their own (here on 127.0.0.1, each wait bounded, all stopped at the
    end), and a Client that sends them the reads."""
    pytest.importorskip("distributed", reason="the Dask cluster needs the distributed package")
    import dask
    from distributed import Client

    paths, whole = part_files(make_plot)
    address = f"tcp://127.0.0.1:{free_port()}"
    quiet = ["--no-dashboard", "--host", "127.0.0.1"]
    (tmp_path / "workers").mkdir()
    with contextlib.ExitStack() as stack:
        stack.enter_context(started(["scheduler", "--port", address.rsplit(":", 1)[1], *quiet],
                                    tmp_path))
        for name in ("w1", "w2"):
            stack.enter_context(started(["worker", address, "--name", name, "--nthreads", "1",
                                         "--no-nanny", *quiet], tmp_path / "workers"))
        client = stack.enter_context(Client(address, timeout=20))
        client.wait_for_workers(2, timeout=20)
        # Opening runs on the workers too (parallel=True); every wait is bounded.
        combined = xr.open_mfdataset(paths, engine=ENGINE, parallel=True, combine="by_coords",
                                     chunks={"P0": 2})
        xr.testing.assert_equal(client.compute(combined).result(timeout=20), whole)
        futures = client.compute([dask.delayed(torvask.read)(p, parameters=["P5"])
                                  for p in paths])
        assert [f.result(timeout=20).values.tolist() for f in futures] == \
            [torvask.read(p, parameters=["P5"]).values.tolist() for p in paths]
