"""Fundamentals query text built from Python expressions over table objects."""

from typing import Any, ClassVar

__all__ = [
    "bonus",
    "valuation",
    "balance",
    "cashflow",
    "income",
    "profit_report",
    "profit_forecast",
    "operating",
    "debtrepay",
    "profit",
    "growth",
    "cashflow_sq",
    "income_sq",
    "profit_sq",
    "growth_sq",
    "asharevalue",
    "ashareoperate",
    "asharedebt",
    "ashareprofit",
]

class StrModelAttr:
    name: str
    key: str
    # Comparisons render the filter text at once, so they return str, not bool.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __init__(self, name: str, key: str) -> None: ...
    # A str, a number, None/True/False, or a (nested) list of encoded elements.
    def _encode(self, o: object, top: int = 1) -> Any: ...
    def __eq__(self, obj: object) -> str: ...  # type: ignore[override]
    def __ne__(self, obj: object) -> str: ...  # type: ignore[override]
    def __lt__(self, obj: object) -> str: ...
    def __gt__(self, obj: object) -> str: ...
    def __le__(self, obj: object) -> str: ...
    def __ge__(self, obj: object) -> str: ...
    def in_(self, obj: object) -> str: ...
    def is_(self, obj: object) -> str: ...
    def any_(self, obj: object) -> str: ...
    def all_(self, obj: object) -> str: ...

class StrModel:
    name: str
    def __init__(self, name: str) -> None: ...
    # Any other attribute is a column of the table.
    def __getattr__(self, key: str) -> StrModelAttr: ...

class StrQuery:
    fields: tuple[object, ...]
    filters: list[str]
    _limit: Any
    _offset: Any
    def __init__(self, *args: object) -> None: ...
    def filter(self, *args: str) -> StrQuery: ...
    def limit(self, limit: int) -> StrQuery: ...
    def offset(self, limit: int) -> StrQuery: ...

bonus: StrModel
valuation: StrModel
balance: StrModel
cashflow: StrModel
income: StrModel
profit_report: StrModel
profit_forecast: StrModel
operating: StrModel
debtrepay: StrModel
profit: StrModel
growth: StrModel
cashflow_sq: StrModel
income_sq: StrModel
profit_sq: StrModel
growth_sq: StrModel
asharevalue: StrModel
ashareoperate: StrModel
asharedebt: StrModel
ashareprofit: StrModel
