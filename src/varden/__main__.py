"""`python -m varden`: the `varden` command."""

import sys

from varden.cli import main

sys.exit(main())
