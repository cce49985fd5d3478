"""python -m corvane_report.cli: the same as corvane-diff."""

import sys

from . import main

sys.exit(main())
