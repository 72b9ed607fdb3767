"""Stand-in: research helpers published to strategies.

The compiled research API is the submodule ``studybench``; this package does not import
it, so importing the package never loads it (the engine mod imports both).
"""

from varden.mod.kelpie.research.metrics import (
    annual_return,
    daily_returns,
    max_drawdown,
    sharpe_ratio,
)

__all__ = ["daily_returns", "annual_return", "max_drawdown", "sharpe_ratio"]
