"""Read every plot file of a directory in parallel: with a local pool, then
with a Dask distributed cluster. A file that fails to read is reported with
its message; the others are summarised.

    many_files.py DIR [N_DIGITS]

A call holds the interpreter until it returns, so on the regular interpreter
threads read one file at a time and processes are the way to read several at
once; on the free-threaded interpreter threads read side by side. Every wait
has a timeout, so a lost worker ends the run instead of hanging it.
"""

import concurrent.futures
import glob
import os
import sys
import time
from typing import Any

from recipes import ReadError, read_plot

TIMEOUT = 120  # seconds: generous for one file, finite for a batch


def print_outcomes(paths: list[str], futures: list[Any]) -> None:
    """Both kinds of future take result(timeout=...) and re-raise the
    worker's exception, which for a failed read is a ReadError."""
    for path, future in zip(paths, futures):
        name = os.path.basename(path)
        try:
            first_column, columns = future.result(timeout=TIMEOUT)
        except ReadError as error:
            print("%s: FAILED: %s" % (name, error.message))
            if error.report:  # its first two lines: where, and the message again
                print("   ", "\n    ".join(error.report.strip().splitlines()[:2]))
            continue
        print("%s: %d parameters, %d blocks" % (name, len(columns) + 1, len(first_column)))


def with_local_pool(paths: list[str], n_digits: int, workers: int) -> None:
    processes = sys._is_gil_enabled()
    pool: concurrent.futures.Executor
    if processes:
        pool = concurrent.futures.ProcessPoolExecutor(workers)
    else:
        pool = concurrent.futures.ThreadPoolExecutor(workers)
    with pool:
        # A report can travel with its error only where each worker reads one
        # file at a time: fd 2 belongs to the whole process.
        print_outcomes(paths, [pool.submit(read_plot, path, n_digits, keep_report=processes)
                               for path in paths])


def with_dask(paths: list[str], n_digits: int, workers: int) -> None:
    from dask.distributed import Client, LocalCluster

    # One thread per worker process, as a read holds its worker's interpreter.
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, timeout=TIMEOUT) as cluster, \
            Client(cluster, timeout=TIMEOUT) as client:
        print_outcomes(paths, client.map(read_plot, paths, n_digits=n_digits, keep_report=True))


def main() -> None:
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    paths = sorted(glob.glob(os.path.join(sys.argv[1], "*.plt")))
    if not paths:
        sys.exit("no *.plt file in %s" % sys.argv[1])
    n_digits = int(sys.argv[2]) if len(sys.argv) == 3 else 12
    workers = min(len(paths), os.cpu_count() or 1, 4)
    local = "process pool" if sys._is_gil_enabled() else "thread pool"
    for title, run in ((local, with_local_pool), ("Dask cluster", with_dask)):
        print("== %s, %d workers ==" % (title, workers))
        start = time.perf_counter()
        run(paths, n_digits, workers)
        print("   (%.2f s)" % (time.perf_counter() - start))


if __name__ == "__main__":
    main()
