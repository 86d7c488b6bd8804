"""`python -m voskel`: the same command line as the `voskel` console script."""

import sys

from voskel.cli import main

if __name__ == "__main__":
    sys.exit(main())
