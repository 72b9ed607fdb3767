"""One live brokerage account read through the kit's trading client."""

import datetime
from collections.abc import Callable, Mapping
from enum import Enum
from typing import Any, ClassVar, TypeAlias, TypeVar

import numpy as np
from varden.mod.tradeapi.sdk.client_pl import PallasClient
from varden.mod.tradeapi.sdk.utils import NameDict

__all__ = ["TradeAPI"]

_T = TypeVar("_T")
_R = TypeVar("_R")
# Anything pd.Timestamp accepts.
_DateLike: TypeAlias = str | datetime.date | np.datetime64

class MARKET:
    # Pattern (tried in order with re.match) to broker market code / market suffix.
    re_convert: ClassVar[dict[str, int]]
    re_revert: ClassVar[dict[str, str]]
    @classmethod
    def convert(cls, symbol: str) -> int | None: ...
    @classmethod
    def revert(cls, symbol: str) -> str | None: ...

class PRICETYPE:
    price_revert: ClassVar[dict[int, str]]
    @classmethod
    def revert(cls, num: object) -> str | None: ...

class SideMixin:
    # The member name of a broker side code, or `num` unchanged when no member has it.
    @classmethod
    def revert(cls, num: _T) -> str | _T: ...

class SIDE(SideMixin, Enum):
    BUY = 0
    SALE = 1
    PURCHASE = 4
    REDEEM = 5
    FINANCE_BUY = 6
    STOCK_SALE = 7
    SALE_REPAY = 8
    BUY_REPAY = 9
    DIRECT_REPAY = 10
    STOCK_REPAY = 11
    STOCK_REPAY_TRANSFER = 14
    STOCK_LEFT_TRANSFER = 15
    IPO = 16

# The wrapped method also takes the keyword switches `raise_on_limit` and `sleep_on_limit`.
def rate_limit(
    calls: int = 1, period: float = 3, raise_message: str | None = None
) -> Callable[[Callable[..., _R]], Callable[..., _R]]: ...

class TraderRPC:
    _instance: ClassVar[PallasClient | None]
    # Yields the process's one trading client, never a TraderRPC.
    def __new__(cls) -> PallasClient: ...  # type: ignore[misc]

class TradeAPI:
    SIDE: ClassVar[type[SIDE]]
    MARKET: ClassVar[type[MARKET]]
    PRICETYPE: ClassVar[type[PRICETYPE]]
    account_id: str
    _trader_rpc: PallasClient
    timeout: int
    _trade_type: str
    _account_token: str | None
    def __init__(self, account_id: str) -> None: ...
    def _get_account_token(self, force: bool = False) -> str: ...
    def __del__(self) -> None: ...
    # Keys available_cash, market_value, total_value, frozen_cash.
    @property
    def portfolio(self) -> NameDict: ...
    # Symbol ("600000.SH") to its position record.
    @property
    def positions(self) -> dict[str, NameDict]: ...
    def get_tradelogs(self) -> list[NameDict]: ...
    # At most one call in 3 seconds per process.
    def secondary_orders(
        self, *, raise_on_limit: bool = True, sleep_on_limit: bool = False
    ) -> list[NameDict]: ...
    def get_orders(
        self,
        order_id: Any = None,
        start_time: _DateLike | None = None,
        end_time: _DateLike | None = None,
    ) -> list[NameDict]: ...
    def _trans_inst(self, item: Mapping[str, Any]) -> NameDict: ...
    # `orderpush` receives each pushed order record, translated.
    def register_push(self, orderpush: Callable[[NameDict], object] | None = None) -> None: ...
    def _trans_order(self, item: Mapping[str, Any]) -> NameDict: ...
