"""`python -m veltrix_match`: the veltrix-match command."""

import sys

from .cli import main

sys.exit(main())
