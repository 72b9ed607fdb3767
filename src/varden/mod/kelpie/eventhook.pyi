"""Connects a strategy's on_order and on_trade to the engine's order and trade events."""

from collections.abc import Callable
from typing import Any, TypeVar

_F = TypeVar("_F", bound=Callable[..., Any])

class EventFunc:
    # The engine environment of the run.
    _env: Any
    def __init__(self, env: Any) -> None: ...
    # Attaches the decorated function to EventFunc under `name` (or its own name), as a
    # static function, and returns it unchanged.
    @classmethod
    def register(cls, name: str | None = None) -> Callable[[_F], _F]: ...
    def register_event(self) -> None: ...
    def load_strategy(self, event: object) -> None: ...
