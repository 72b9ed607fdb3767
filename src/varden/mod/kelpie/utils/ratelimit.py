"""Stand-in: call-rate limiting for functions that hit a rate-limited remote service.

``limits(calls, period)`` makes a limiter: calling it on a function gives a
wrapper that allows at most ``calls`` calls in any ``period`` seconds (a sliding
window). The count lives in the limiter, so every wrapper made from one limiter
draws on the same budget. A call over the budget raises ``RateLimitException``
when the limiter's ``raise_on_limit`` is true; when it is false the call is
skipped and the wrapper returns None. ``sleep_and_retry`` turns the exception
into a wait.
"""

import collections
import functools
import threading
import time

__all__ = ["RateLimitException", "limits", "sleep_and_retry", "wraps"]

wraps = functools.wraps


class RateLimitException(Exception):
    """A call was refused because its limiter's budget is spent.

    ``period_remaining`` is the number of seconds until the next call fits.
    """

    def __init__(self, message, period_remaining):
        super().__init__(message)
        self.period_remaining = period_remaining


class RateLimiter:
    """At most ``calls`` calls in any ``period`` seconds, shared by its wrappers."""

    def __init__(self, calls=15, period=900, raise_on_limit=True, raise_message=None):
        if calls < 1:
            raise ValueError("calls must be at least 1")
        if period <= 0:
            raise ValueError("period must be positive")
        self.calls = calls
        self.period = period
        self.raise_on_limit = raise_on_limit
        self.raise_message = raise_message
        self._started = collections.deque()
        self._lock = threading.Lock()

    def __call__(self, func):
        @wraps(func)
        def wrapper(*args, **kwargs):
            if not self._admit():
                return None
            return func(*args, **kwargs)

        return wrapper

    def _admit(self):
        """Count one call; False (or the exception) when it does not fit."""
        with self._lock:
            now = time.monotonic()
            while self._started and now - self._started[0] >= self.period:
                self._started.popleft()
            if len(self._started) < self.calls:
                self._started.append(now)
                return True
            if self.raise_on_limit:
                remaining = self.period - (now - self._started[0])
                raise RateLimitException(self.raise_message, remaining)
            return False


def limits(calls=15, period=900, raise_on_limit=True, raise_message=None):
    """A limiter allowing ``calls`` calls per ``period`` seconds."""
    return RateLimiter(
        calls=calls, period=period, raise_on_limit=raise_on_limit, raise_message=raise_message
    )


def sleep_and_retry(func):
    """Wrap a limited callable so that a refused call waits and tries again."""

    @wraps(func)
    def wrapper(*args, **kwargs):
        while True:
            try:
                return func(*args, **kwargs)
            except RateLimitException as exc:
                time.sleep(exc.period_remaining)

    return wrapper
