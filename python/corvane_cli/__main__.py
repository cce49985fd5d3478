"""python -m corvane_cli: the same as corvane-diff."""

import sys

from corvane_cli import main

sys.exit(main())
