"""Stand-in: the engine's loggers.

Callers pass a message and optionally ``extra=dict``; the dict is shown after the
message instead of being merged into the log record, so any key is safe.
"""

import logging
import sys


class EngineLogger:
    def __init__(self, name):
        self.logger = logging.getLogger(name)

    def _log(self, level, message, args, extra):
        if extra:
            message = f"{message} {extra!r}"
        self.logger.log(level, message, *args)

    def debug(self, message, *args, extra=None):
        self._log(logging.DEBUG, message, args, extra)

    def info(self, message, *args, extra=None):
        self._log(logging.INFO, message, args, extra)

    def warning(self, message, *args, extra=None):
        self._log(logging.WARNING, message, args, extra)

    warn = warning

    def error(self, message, *args, extra=None):
        self._log(logging.ERROR, message, args, extra)


def setup_root(name):
    root = logging.getLogger(name)
    if not root.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("[%(asctime)s] %(levelname)s %(name)s: %(message)s"))
        root.addHandler(handler)
        root.setLevel(logging.INFO)


setup_root("kpquant")

system_log = EngineLogger("kpquant.system")
user_system_log = EngineLogger("kpquant.user_system")
# The ``logger`` that strategies see.
user_log = EngineLogger("kpquant.user")
