"""torvask.follow on a file that grows a few bytes at a time, cut anywhere:
the polls together give the full read once, and a header still being written
is no blocks yet. A follower, and a Dataset opened lazily, tell a file whose
bytes they returned changed (a restarted run) from one that only grew."""

import os
import pickle
import random
from pathlib import Path

import pytest

from conftest import numpy_or_skip, plot_text

np = numpy_or_skip()
import torvask  # noqa: E402 - after the skip: its __init__ imports numpy

try:
    import xarray as xr
except ImportError:
    xr = None


def test_polls_of_a_growing_file_add_up_to_one_read(tmp_path, make_plot):
    rng = random.Random(7)
    rows = [[f"{rng.uniform(-1e3, 1e3):.5E}" for _ in range(13)] for _ in range(40)]
    text = plot_text(rows, width=13).replace("\n", "\r\n", 5).encode()  # CR LF lines too
    whole = torvask.read(make_plot(text), parameters=["P12", 3])
    path = tmp_path / "run.plt"
    follower = torvask.follow(path, parameters=["P12", 3])
    assert len(follower.poll().values) == 0  # not there yet
    polls, cuts = [], sorted(rng.sample(range(1, len(text)), 150)) + [len(text)]
    with open(path, "wb") as out:
        for before, cut in zip([0] + cuts, cuts):
            out.write(text[before:cut])
            out.flush()
            polls.append(follower.poll())  # a header or names cut short: no blocks yet
    found = [p for p in polls if len(p.values)]
    assert [p.blocks.start for p in found] == np.cumsum([0] + [len(p.values) for p in found])[:-1].tolist()
    assert np.array_equal(np.concatenate([p.values for p in found]), whole.values)
    assert follower.blocks == 40 and all(p.columns == ("P0", "P12", "P3") for p in found)
    assert len(follower.poll().values) == 0
    assert [len(p.values) for p in follower.updates(interval=0.01, timeout=0.05)] == []


def test_a_fault_in_a_complete_block_is_an_error(make_plot):
    path = make_plot(plot_text([["1", "2"], ["3", "x"]], width=4))
    with pytest.raises(torvask.FormatError, match="'   x' is not a number"):
        torvask.follow(path).poll()


def run_text(blocks, run=1, since=0):
    """`blocks` blocks of 13 parameters, those from `since` on of run `run`
    and the others of run 1; every field of a block differs between runs."""
    rows = [[f"{(1 if b < since else run) * 1e6 + b:.8E}"]
            + [f"{(1 if b < since else run) + (7 * b + k) / 8:.8E}" for k in range(12)]
            for b in range(blocks)]
    return plot_text(rows, width=15).encode()


def _in_place(path, data):
    with open(path, "r+b") as file:  # the same inode
        file.write(data)
        file.truncate()


def _renamed_over(path, data):
    path.with_suffix(".tmp").write_bytes(data)
    path.with_suffix(".tmp").replace(path)


# What the simulation does to a file of 100 blocks, all returned, and what a
# follower's next poll and a Dataset opened before then say: None where the
# file only grew, and both go on with the blocks they had.
CHANGES = {
    "cut and regrown": (lambda p, old: _in_place(p, run_text(150, run=2)),
                        "the bytes before block 100 ", "other bytes in the blocks"),
    "restarted from block 60": (lambda p, old: _in_place(p, run_text(150, run=2, since=60)),
                                "the bytes before block 100 ", "other bytes in the blocks"),
    "replaced by another run": (lambda p, old: _renamed_over(p, run_text(100, run=2)),
                                "the bytes before block 100 ", "replaced by another file"),
    "other header": (lambda p, old: _in_place(p, old.replace(b"test", b"best", 1)),
                     "rewritten from its start", "another header"),
    "truncated": (lambda p, old: os.truncate(p, len(old) - 100), "shrank from at least",
                  "shrank"),
    "removed": (lambda p, old: os.remove(p), "was removed", None),
    "grown": (lambda p, old: _in_place(p, run_text(150)), None, None),
    "renamed over with the same bytes, grown": (
        lambda p, old: _renamed_over(p, run_text(150)), None, None),
}


@pytest.mark.parametrize("change, restarted, changed", CHANGES.values(), ids=CHANGES)
def test_the_bytes_already_returned_decide_whether_the_file_restarted(make_plot, change,
                                                                       restarted, changed):
    old = run_text(100)
    path = Path(make_plot(old))
    follower = torvask.follow(path)
    assert follower.poll().blocks == range(100)
    if xr is not None:
        dataset = xr.open_dataset(path, engine=torvask.xarray_backend.TorvaskBackendEntrypoint)
        for name in ["P1", "P2", "P3", "P4"]:  # the fourth reads the rest ahead, held
            dataset[name].load()
        shipped = pickle.dumps(dataset)
    change(path, old)
    if restarted:
        with pytest.raises(torvask.RestartedError, match=restarted):
            follower.poll()
    else:
        assert follower.poll().blocks == range(100, 150)
    if xr is None:
        return
    whole = torvask.read(make_plot(old))
    # A value read ahead and held, and one read anew by a Dataset as Dask ships it.
    for name, dataset in [("P7", dataset), ("P8", pickle.loads(shipped))]:
        if changed or restarted:
            with pytest.raises(torvask.RestartedError if changed else FileNotFoundError,
                               match=changed):
                dataset[name].values
        else:
            np.testing.assert_array_equal(dataset[name].values, whole[name])
