"""Plot files as dask arrays on a Dask cluster: each file is read by a
worker and stays there; only what is asked for travels back (the names, the
shapes, the per-parameter maxima), never the values themselves.

    dask_arrays.py DIR [WIDTH]

A file that fails is reported with its error (FormatError and OSError
pickle, so they come back from the worker whole) and left out. Every wait
has a timeout, so a lost worker ends the run instead of hanging it.
"""

import glob
import os
import sys
from typing import Any

import dask
import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster

import torvask

TIMEOUT = 120  # seconds


def header(plot: torvask.Plot) -> tuple[tuple[str, ...], tuple[int, ...], np.dtype[Any]]:
    return plot.names, plot.values.shape, plot.values.dtype


def main() -> None:
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    paths = sorted(glob.glob(os.path.join(sys.argv[1], "*.plt")))
    width = int(sys.argv[2]) if len(sys.argv) == 3 else None

    # Processes, one thread each: a read lets go of the interpreter, so
    # threads_per_worker=2 would read side by side as well.
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None, timeout=TIMEOUT) as cluster, \
            Client(cluster, timeout=TIMEOUT) as client:
        # The reads, kept on the workers that did them.
        plots = client.persist([dask.delayed(torvask.read)(path, width) for path in paths])
        headers = client.compute([dask.delayed(header)(plot) for plot in plots])
        arrays, names = {}, {}
        for path, plot, future in zip(paths, plots, headers):
            try:
                names[path], shape, dtype = future.result(timeout=TIMEOUT)
            except (OSError, torvask.FormatError) as error:
                print("FAILED: %s" % error)
                continue
            arrays[path] = da.from_delayed(plot.values, shape=shape, dtype=dtype)

        # One small array per file back from the workers.
        maxima = client.compute([a.max(axis=0) for a in arrays.values()])
        for (path, array), future in zip(arrays.items(), maxima):
            largest = future.result(timeout=TIMEOUT)
            j = int(np.argmax(largest[1:])) + 1
            print("%s: %d blocks of %d parameters; largest maximum %s = %.6g" % (
                os.path.basename(path), array.shape[0], array.shape[1], names[path][j],
                largest[j]))


if __name__ == "__main__":
    main()
