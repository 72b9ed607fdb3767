"""Stand-in: common functions published to every strategy."""

import pandas as pd

from kpquant.environment import Environment
from kpquant.utils.logger import user_system_log

__all__ = ["get_current_dt", "get_user_context", "user_log"]

_LOG_LEVELS = {"info", "warn", "error"}


def get_current_dt():
    """The running strategy's current time; now when no strategy runs."""
    env = Environment._env
    if env is None or env.trading_dt is None:
        return pd.Timestamp.now()
    return pd.Timestamp(env.trading_dt)


def get_user_context():
    """The running strategy's ``context``."""
    env = Environment._env
    strategy = env.get_user_strategy() if env is not None else None
    if strategy is None:
        raise RuntimeError("get_user_context() needs a running strategy")
    return strategy.user_context


def user_log(message, level="info"):
    """Write ``message`` to the run's log at ``level`` ("info", "warn" or "error")."""
    if level not in _LOG_LEVELS:
        raise ValueError(f"level must be one of {sorted(_LOG_LEVELS)}, not {level!r}")
    getattr(user_system_log, level)(message)
