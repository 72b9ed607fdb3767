"""Stand-in: performance measures of a series of portfolio values or returns."""

import math

import numpy as np
import pandas as pd

# Trading days in a year on the China A-share market.
TRADING_DAYS_PER_YEAR = 244


def daily_returns(values):
    """Day-over-day returns of a series of portfolio values (one fewer than the values)."""
    return pd.Series(values, dtype=float).pct_change().iloc[1:]


def annual_return(values, periods_per_year=TRADING_DAYS_PER_YEAR):
    """Compound annual growth of a series of values, one value per period."""
    values = pd.Series(values, dtype=float)
    if len(values) < 2:
        raise ValueError("annual_return needs at least two values")
    growth = values.iloc[-1] / values.iloc[0]
    return growth ** (periods_per_year / (len(values) - 1)) - 1


def max_drawdown(values):
    """Largest fall from a running peak, as a fraction of the peak (0 when never falling)."""
    values = np.asarray(values, dtype=float)
    if values.size == 0:
        raise ValueError("max_drawdown needs at least one value")
    peaks = np.maximum.accumulate(values)
    return float(np.max((peaks - values) / peaks))


def sharpe_ratio(returns, risk_free=0.0, periods_per_year=TRADING_DAYS_PER_YEAR):
    """Annualized mean excess return over its standard deviation; NaN when returns do not vary."""
    excess = pd.Series(returns, dtype=float) - risk_free / periods_per_year
    if len(excess) < 2:
        raise ValueError("sharpe_ratio needs at least two returns")
    spread = excess.std(ddof=1)
    if spread == 0:
        return math.nan
    return float(excess.mean() / spread * math.sqrt(periods_per_year))
