"""Read every plot file of a directory in threads. The reader lets go of the
interpreter for the whole read, so threads read side by side on the regular
interpreter as on the free-threaded one, and the arrays stay in this process
instead of being copied back from workers.

    many_files.py DIR [WIDTH]

torvask.read_many is all or nothing: the first file that fails raises its
own error, which names it. To carry on past failures, submit the reads to a
pool yourself and keep each file's outcome, as read_each does; the errors
are ordinary exceptions, so they pickle and cross process pools and Dask
clusters too.
"""

import concurrent.futures
import glob
import os
import sys
import time

import torvask

TIMEOUT = 120  # seconds: generous for one file, finite for a batch


def summary(plot: torvask.Plot) -> str:
    blocks, count = plot.values.shape
    return "%s: %d parameters, %d blocks" % (os.path.basename(plot.path), count, blocks)


def read_each(paths: list[str], width: int | None, threads: int) -> None:
    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        futures = [pool.submit(torvask.read, path, width) for path in paths]
        for future in futures:
            try:
                print(summary(future.result(timeout=TIMEOUT)))
            except (OSError, torvask.FormatError) as error:
                print("FAILED: %s" % error)


def main() -> None:
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    paths = sorted(glob.glob(os.path.join(sys.argv[1], "*.plt")))
    if not paths:
        sys.exit("no *.plt file in %s" % sys.argv[1])
    width = int(sys.argv[2]) if len(sys.argv) == 3 else None
    threads = min(len(paths), os.cpu_count() or 1, 4)

    print("== torvask.read_many, %d threads ==" % threads)
    start = time.perf_counter()
    try:
        for plot in torvask.read_many(paths, width, threads=threads):
            print(summary(plot))
    except (OSError, torvask.FormatError) as error:
        print("FAILED: %s" % error)
    print("   (%.2f s)" % (time.perf_counter() - start))

    print("== every file, failures kept ==")
    read_each(paths, width, threads)


if __name__ == "__main__":
    main()
