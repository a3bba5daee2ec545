"""A plot file as a pandas DataFrame and as an xarray Dataset, with the
first parameter (usually the time) as the index and coordinate and every
other parameter as a column. A name written twice keeps both columns, the
second as NAME.1, as pandas.read_csv names them. Needs pandas and xarray.

    frames.py FILE [WIDTH]

Without WIDTH the field width comes from the first data line. A WIDTH the
file disagrees with is an error that says which width the file suggests.
"""

import sys

import torvask


def main() -> None:
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    width = int(sys.argv[2]) if len(sys.argv) == 3 else None
    try:
        plot = torvask.read(sys.argv[1], width)
    except (OSError, torvask.FormatError) as error:
        sys.exit(str(error))

    # float64 columns sharing the plot's memory. Read with dtype=numpy.float32
    # they take half of it, but sums and variances beyond about 1e19 then
    # overflow: take .astype("float64") before describe().
    frame = plot.to_pandas()
    print(frame.iloc[:5, :4])
    print(frame.iloc[:, :4].describe().T)

    dataset = plot.to_xarray()
    print(dataset)
    time = plot.columns[0]
    middle = dataset.sel({time: float(frame.index[len(frame) // 2])}, method="nearest")
    print("at %s = %s:" % (time, middle[time].item()),
          {name: middle[name].item() for name in list(dataset.data_vars)[:3]})


if __name__ == "__main__":
    main()
