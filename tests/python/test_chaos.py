"""A restarted simulation, played at random: a writer process appends blocks
in random cuts and now and then truncates the file, rewrites it in place from
its start, renames another file over it, or removes and recreates it. A
follower and a lazily opened Dataset read beside it. Every value names its
run and block, so each result must be blocks of one run, in order, none lost
or repeated, or else an error that says the file changed.

NOVREL_CHAOS_SEED replays a run; the seed is printed for that."""

import os
import random
import subprocess
import sys
import time

from conftest import numpy_or_skip

NAMES = ["TIME", "RUN", "A", "B", "C", "D"]
SECONDS = 8.0


def block_bytes(run, block):
    """Block `block` of run `run`: every field differs between runs."""
    values = [run * 1e6 + block, run] + [run + (7 * block + k) % 64 / 8 for k in range(4)]
    return b"%4d\n%s\n" % (block + 1, "".join(f"{v:15.8E}" for v in values).encode())


class Run:
    """The bytes of one run, as far as they are asked for."""

    def __init__(self, run):
        self.run, self.blocks = run, 0
        self.data = bytearray(b"chaos %d\n%s\n" % (len(NAMES), "\n".join(NAMES).encode()))

    def upto(self, size):
        while len(self.data) < size:
            self.data += block_bytes(self.run, self.blocks)
            self.blocks += 1
        return bytes(self.data[:size])


def writer(path, seed, seconds):
    rng = random.Random(seed)
    deadline = time.monotonic() + seconds
    current, written = Run(1), 0
    out = open(path, "ab")
    while time.monotonic() < deadline:
        event = rng.choice(["truncate", "rewrite", "rename", "recreate"]) \
            if written and rng.random() < 0.02 else "append"
        if event == "append":
            more = rng.randint(1, 400)
            out.write(current.upto(written + more)[written:])
            out.flush()
            written += more
        elif event == "truncate":  # the same run goes on from there
            written = rng.randrange(written)
            os.truncate(path, written)
        else:
            current = Run(current.run + 1)
            size = rng.choice([rng.randint(1, written), written, written + rng.randint(1, 3000)])
            if event == "rewrite":  # cut, then one write from the start: the same inode
                # (A write over old bytes can be read half done: see the README.)
                fd = os.open(path, os.O_WRONLY | os.O_TRUNC)
                os.pwrite(fd, current.upto(size), 0)
                os.close(fd)
            else:
                out.close()
                if event == "rename":
                    with open(path + ".tmp", "wb") as tmp:
                        tmp.write(current.upto(size))
                    os.replace(path + ".tmp", path)
                else:
                    os.remove(path)
                    time.sleep(rng.random() * 0.005)
                    size = 0
                out = open(path, "ab")
            written = size
        time.sleep(rng.random() * 0.002)
    out.close()


def test_followers_and_datasets_beside_a_restarting_simulation(tmp_path):
    np = numpy_or_skip()
    import torvask
    try:
        import xarray as xr
        engine = torvask.xarray_backend.TorvaskBackendEntrypoint
    except ImportError:
        xr = None
    seed = int(os.environ.get("NOVREL_CHAOS_SEED", random.randrange(1 << 32)))
    print(f"NOVREL_CHAOS_SEED={seed}")
    path = str(tmp_path / "run.plt")
    open(path, "wb").close()
    child = subprocess.Popen([sys.executable, __file__, path, str(seed), str(SECONDS)])
    rng = random.Random(seed)
    seen = {"blocks": 0, "restarts": 0, "datasets": 0, "changed": 0}

    def check(times, blocks, columns=()):
        """`times` (parameter 0) and `columns` ({name: values}) are blocks
        `blocks` of one run; that run."""
        if not len(times):
            return None
        run = times[0] // 1e6
        assert np.array_equal(times, run * 1e6 + np.asarray(blocks)), f"seed {seed}"
        for name, values in columns:
            k = NAMES.index(name) - 2
            expected = run if k < 0 else run + (7 * np.asarray(blocks) + k) % 64 / 8
            assert np.array_equal(values, np.broadcast_to(expected, len(values))), f"seed {seed}"
        return run

    follower, run, next_block = torvask.follow(path), None, 0
    dataset, untouched = None, []
    try:
        while child.poll() is None:
            time.sleep(rng.random() * 0.003)
            try:
                plot = follower.poll()
                if len(plot.values):
                    got = check(plot["TIME"], plot.blocks, [(n, plot[n]) for n in NAMES[1:]])
                    assert run in (None, got), f"seed {seed}: blocks of two runs"
                    assert plot.blocks.start == next_block, f"seed {seed}: blocks lost"
                    run, next_block = got, plot.blocks.stop
                    seen["blocks"] += len(plot.values)
            except torvask.RestartedError:
                follower, run, next_block = torvask.follow(path), None, 0
                seen["restarts"] += 1
            if xr is None or rng.random() < 0.5:
                continue
            try:
                if dataset is None:
                    dataset = xr.open_dataset(path, engine=engine, complete_blocks=True)
                    check(dataset["TIME"].values, range(dataset.sizes["TIME"]))
                    untouched = rng.sample(NAMES[1:], len(NAMES) - 1)
                    seen["datasets"] += 1
                elif untouched:
                    name = untouched.pop()
                    check(dataset["TIME"].values, range(dataset.sizes["TIME"]),
                          [(name, dataset[name].values)])
                else:
                    dataset = None
            except (torvask.RestartedError, FileNotFoundError):
                dataset = None
                seen["changed"] += 1
            except torvask.FormatError as error:  # opened with its header being written
                assert dataset is None and error.problem in (
                    "no_header", "header_cut", "names_missing"), f"seed {seed}: {error}"
    finally:
        child.kill()
        child.wait()
    print(seen)
    assert seen["blocks"] and seen["restarts"], f"seed {seed}: {seen}"
    assert xr is None or (seen["datasets"] and seen["changed"]), f"seed {seed}: {seen}"


if __name__ == "__main__":
    writer(sys.argv[1], int(sys.argv[2]), float(sys.argv[3]))
