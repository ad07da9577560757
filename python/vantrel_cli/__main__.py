"""python -m vantrel_cli: the vantrel-walks command."""

import sys

from vantrel_cli import main

sys.exit(main())
