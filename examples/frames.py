"""A plot file as a pandas DataFrame and as an xarray Dataset, with the
parameter names as column names and the first parameter (usually the time)
as the index and coordinate. Needs pandas and xarray.

    frames.py FILE [N_DIGITS]
"""

import sys

import pandas as pd

import novrel
from recipes import field_width, read_names


def read_frame(path: str, n_digits: int) -> pd.DataFrame:
    first_column, columns = novrel.rust_read_torvask(path, n_digits)
    names = read_names(path)
    # float64 columns: float32 would hold the values exactly in half the
    # memory, but variances of values beyond about 1e19 overflow in it.
    return pd.DataFrame(dict(zip(names[1:], columns)),
                        index=pd.Index(first_column, name=names[0]))


def main() -> None:
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    path = sys.argv[1]
    n_digits = int(sys.argv[2]) if len(sys.argv) == 3 else 12
    # A wrong width reads wrong numbers without an error; check it first.
    if field_width(path) != n_digits:
        sys.exit("%s has fields %d bytes wide, not %d" % (path, field_width(path), n_digits))

    frame = read_frame(path, n_digits)
    print(frame.iloc[:5, :4])
    print(frame.describe().T.head(4))

    dataset = frame.to_xarray()  # the index becomes the coordinate
    print(dataset)
    time = frame.index.name
    middle = dataset.sel({time: float(frame.index[len(frame) // 2])}, method="nearest")
    print("at %s = %s:" % (time, middle[time].item()),
          {name: middle[name].item() for name in list(dataset.data_vars)[:3]})


if __name__ == "__main__":
    main()
