"""Several runs as one xarray Dataset, along a "run" dimension beside the
first parameter (usually the time), so that runs compare with xarray's
reductions: the spread between runs at each time, the run with the highest
peak. Needs xarray and pandas.

    runs_dataset.py FILE...

Runs written at different times are aligned on the union of their times
(join="outer"): where a run has no block, its values are NaN.
"""

import os
import sys

import pandas as pd
import xarray as xr

import torvask


def main() -> None:
    paths = sys.argv[1:]
    if not paths:
        sys.exit(__doc__)
    try:
        plots = torvask.read_many(paths)
    except (OSError, torvask.FormatError) as error:
        sys.exit(str(error))
    runs = pd.Index([os.path.splitext(os.path.basename(p))[0] for p in paths], name="run")
    dataset = xr.concat([plot.to_xarray() for plot in plots], dim=runs, join="outer",
                        combine_attrs="drop")
    print(dataset)

    name = list(dataset.data_vars)[0]
    values = dataset[name]
    spread = values.max("run") - values.min("run")
    print("%s: largest spread between runs %.6g; highest peak in %s" % (
        name, float(spread.max()), values.max(plots[0].columns[0]).idxmax("run").item()))


if __name__ == "__main__":
    main()
