"""Stand-in: orders, fills, the portfolio and the context handed to strategies."""

import itertools
from dataclasses import dataclass, field
from enum import Enum

_order_ids = itertools.count(1)
_trade_ids = itertools.count(1)


class ORDER_STATUS(Enum):
    PENDING_NEW = "pending_new"
    ACTIVE = "active"
    FILLED = "filled"
    REJECTED = "rejected"


class SIDE(Enum):
    BUY = "buy"
    SELL = "sell"


@dataclass
class Order:
    symbol: str
    side: SIDE
    quantity: int
    datetime: object
    price: object = None
    status: ORDER_STATUS = ORDER_STATUS.PENDING_NEW
    filled_quantity: int = 0
    message: str = ""
    order_id: int = field(default_factory=lambda: next(_order_ids))


@dataclass
class Trade:
    order_id: int
    symbol: str
    side: SIDE
    price: float
    quantity: int
    datetime: object
    trade_id: int = field(default_factory=lambda: next(_trade_ids))


@dataclass
class Portfolio:
    starting_cash: float
    cash: float
    positions: dict = field(default_factory=dict)

    def apply(self, trade):
        signed = trade.quantity if trade.side is SIDE.BUY else -trade.quantity
        self.cash -= signed * trade.price
        held = self.positions.get(trade.symbol, 0) + signed
        if held:
            self.positions[trade.symbol] = held
        else:
            self.positions.pop(trade.symbol, None)

    def snapshot(self):
        return {"cash": self.cash, "positions": dict(self.positions)}


class UserContext:
    """The ``context`` of ``init``/``handle_bar``; strategies add their own attributes."""

    def __init__(self, portfolio):
        self.portfolio = portfolio
        self.now = None

    def __repr__(self):
        return f"UserContext(now={self.now!r}, portfolio={self.portfolio!r})"
