"""Stand-in: the research log ``log``.

Its level is one of "info", "warn", "error" (``set_limited``). While limited, it shows at
most ``LIMITED_RECORDS`` messages and then one notice that further ones are dropped, so a
loop that logs cannot flood a notebook. Logging to a file is only offered on the research
platform (``$VARDEN_RESEARCH_PLATFORM`` set); elsewhere ``set_tofile`` returns False.
"""

import logging
import os

from varden.utils.logger import KitLogger

LEVELS = {"info": logging.INFO, "warn": logging.WARNING, "error": logging.ERROR}
LIMITED_RECORDS = 1000
RESEARCH_PLATFORM_ENV = "VARDEN_RESEARCH_PLATFORM"


class _RecordLimit(logging.Filter):
    def __init__(self):
        super().__init__()
        self.enabled = False
        self.passed = 0

    def filter(self, record):
        if not self.enabled:
            return True
        self.passed += 1
        if self.passed == LIMITED_RECORDS + 1:
            record.msg, record.args = "log limit of %d messages reached, further ones are dropped", (
                LIMITED_RECORDS,
            )
            return True
        return self.passed <= LIMITED_RECORDS


class ResearchLog(KitLogger):
    def __init__(self, name):
        super().__init__(name)
        self.logger.setLevel(logging.INFO)
        self._limit = _RecordLimit()
        self.logger.addFilter(self._limit)
        self._file_handler = None

    def set_limited(self, level, is_limit):
        """Show messages of ``level`` ("info", "warn", "error") and above; cap their number
        while ``is_limit`` is true."""
        if level not in LEVELS:
            raise ValueError(f"log level must be one of {sorted(LEVELS)}, not {level!r}")
        self.logger.setLevel(LEVELS[level])
        self._limit.enabled = bool(is_limit)
        self._limit.passed = 0

    def set_tofile(self, filename):
        """Also write the log to ``filename``. Returns False outside the research platform."""
        if not os.environ.get(RESEARCH_PLATFORM_ENV):
            return False
        if self._file_handler is not None:
            self.logger.removeHandler(self._file_handler)
            self._file_handler.close()
        self._file_handler = logging.FileHandler(filename, encoding="utf-8")
        self._file_handler.setFormatter(logging.Formatter("[%(asctime)s] %(levelname)s: %(message)s"))
        self.logger.addHandler(self._file_handler)
        return True


log = ResearchLog("varden.research")
