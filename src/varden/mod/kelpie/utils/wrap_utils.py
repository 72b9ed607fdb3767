"""Stand-in: small decorators shared by the kit's remote clients."""

import functools

__all__ = ["retry_on_result"]


def retry_on_result(except_result=None, except_return=None, tries=2, logger=None):
    """Retry a call whose result signals failure.

    A result equal to ``except_result`` counts as a failed attempt; the call is
    repeated with the same arguments, ``tries`` attempts in all, and
    ``except_return`` is returned when every attempt failed. Any other result is
    returned at once, unchanged. ``logger.info`` (when a logger is given) notes
    each retry.
    """

    def failed(result):
        if result is except_result:
            return True
        if except_result is None:
            return False
        try:
            return bool(result == except_result)
        except (TypeError, ValueError):
            # Results such as DataFrames compare element-wise, not to one truth value.
            return False

    def decorator(func):
        @functools.wraps(func)
        def wrapper(*args, **kwargs):
            for attempt in range(1, tries + 1):
                result = func(*args, **kwargs)
                if not failed(result):
                    return result
                if logger is not None and attempt < tries:
                    logger.info("%s: attempt %d of %d failed, retrying" % (
                        getattr(func, "__qualname__", func), attempt, tries))
            return except_return

        return wrapper

    return decorator
