"""The kit's loggers.

``system_log.error(key, extra={...})``: the message is a short key and ``extra`` the
details. The details are shown after the key rather than merged into the log record, so
any key name is safe.
"""

import logging
import sys


class KitLogger:
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


def _setup(name):
    root = logging.getLogger(name)
    if not root.handlers:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter("[%(asctime)s] %(levelname)s %(name)s: %(message)s"))
        root.addHandler(handler)
        root.setLevel(logging.INFO)


_setup("varden")

system_log = KitLogger("varden.system")
