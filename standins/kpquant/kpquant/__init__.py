"""Stand-in: kpquant: a small daily-bar strategy engine.

``run(strategy_path, start_date, end_date, mods, mod_configs)`` runs one strategy; mods
publish functions to strategies with ``export_as_api``.
"""

from kpquant.api.api_base import export_as_api
from kpquant.runner import RunResult, run

__all__ = ["export_as_api", "run", "RunResult"]
