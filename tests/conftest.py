"""Test-wide setup: the kit's settings folder lives in a temporary place."""

import os
import tempfile

# The settings module reads this at import; set it before any kit module loads.
os.environ.setdefault("VARDEN_ROOT", tempfile.mkdtemp(prefix="varden-root-"))
