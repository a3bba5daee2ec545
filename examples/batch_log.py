"""Read every plot file of a directory, carry on past the ones that fail,
and keep their failure reports in a log file instead of the terminal.

    batch_log.py DIR LOG [N_DIGITS]

The reports are written straight to file descriptor 2, past sys.stderr, so
contextlib.redirect_stderr cannot catch them; pointing the descriptor itself
at the log does. The exit status is 1 if any file failed.
"""

import glob
import os
import sys

from recipes import ReadError, fd2_to, read_plot


def main() -> int:
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    directory, log_path = sys.argv[1], sys.argv[2]
    n_digits = int(sys.argv[3]) if len(sys.argv) == 4 else 12
    paths = sorted(glob.glob(os.path.join(directory, "*.plt")))
    failed = 0
    with open(log_path, "ab") as log, fd2_to(log):
        for path in paths:
            try:
                first_column, _ = read_plot(path, n_digits)
            except ReadError as error:
                failed += 1
                print("%s: FAILED: %s" % (path, error.message))
                # Into the log (fd 2 is the log now), naming the report's file.
                print("(the report above: %s)" % path, file=sys.stderr, flush=True)
                continue
            print("%s: %d blocks" % (path, len(first_column)))
    print("%d of %d files read; failure reports in %s" % (len(paths) - failed, len(paths), log_path))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
