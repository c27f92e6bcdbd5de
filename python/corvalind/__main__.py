"""``python -m corvalind``: the command line."""

import sys

from corvalind.cli import main

sys.exit(main())
