"""torvask.follow on a file that grows a few bytes at a time, cut anywhere:
the polls together give the full read once, a header still being written is
no blocks yet, and a restarted file is said to be one."""

import os
import random

import pytest

from conftest import numpy_or_skip, plot_text

np = numpy_or_skip()
import torvask  # noqa: E402 - after the skip: its __init__ imports numpy


def test_polls_of_a_growing_file_add_up_to_one_read(tmp_path):
    rng = random.Random(7)
    rows = [[f"{rng.uniform(-1e3, 1e3):.5E}" for _ in range(13)] for _ in range(40)]
    text = plot_text(rows, width=13).replace("\n", "\r\n", 5).encode()  # CR LF lines too
    whole = torvask.read(_written(tmp_path / "whole.plt", text), parameters=["P12", 3])
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

    os.truncate(path, len(text) // 2)  # the simulation started again
    with pytest.raises(torvask.RestartedError, match="shrank"):
        follower.poll()
    path.write_bytes(text[:10])
    with pytest.raises(torvask.RestartedError, match="rewritten"):
        follower.poll()


def test_a_fault_in_a_complete_block_is_an_error(tmp_path):
    path = _written(tmp_path / "bad.plt", plot_text([["1", "2"], ["3", "x"]], width=4).encode())
    with pytest.raises(torvask.FormatError, match="'   x' is not a number"):
        torvask.follow(path).poll()


def _written(path, data):
    path.write_bytes(data)
    return path
