"""python -m veltrix_match.nboard: the NBoard adapter (see veltrix_match.nboard.adapter)."""

import sys

from .adapter import main

if __name__ == "__main__":
    sys.exit(main())
