# The trading client's record type, for type checkers: a dict of text keys whose values are
# whatever the service sent, each also readable as an attribute.
from typing import Any

__all__ = ["NameDict"]

class NameDict(dict[str, Any]):
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __delattr__(self, name: str) -> None: ...
