"""The engine mod that publishes the research API and the strategy event hooks."""

from typing import Any

from kpquant.interface import AbstractMod

class KelpieMod(AbstractMod):
    _env: Any
    def __init__(self) -> None: ...
    # `env` is the engine environment, `mod_config` the mod's configuration.
    def start_up(self, env: Any, mod_config: Any) -> None: ...
    # Raises UserError when `exception` (the engine's error) is truthy.
    def tear_down(self, success: object, exception: Any = None) -> None: ...
