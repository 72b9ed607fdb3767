"""Stand-in: fills orders at the day's close and publishes the order and trade events.

No slippage, no commission; an order is filled whole at once or rejected.
"""

import numbers

from kpquant.events import EVENT, Event
from kpquant.model import ORDER_STATUS, SIDE, Order, Trade
from kpquant.utils.logger import user_system_log


class Broker:
    def __init__(self, env, market):
        self._env = env
        self._market = market
        self.orders = []
        self.trades = []

    def _publish(self, event_type, **payload):
        self._env.event_bus.publish_event(Event(event_type, **payload))

    def submit(self, symbol, amount, price=None):
        if isinstance(amount, bool) or not isinstance(amount, numbers.Integral) or amount == 0:
            raise ValueError(f"order amount must be a non-zero integer, not {amount!r}")
        amount = int(amount)
        side = SIDE.BUY if amount > 0 else SIDE.SELL
        order = Order(symbol, side, abs(amount), self._env.trading_dt, price)
        self.orders.append(order)
        self._publish(EVENT.ORDER_PENDING_NEW, order=order)

        fill_price = price if price is not None else self._market.close(symbol, order.datetime)
        refusal = self._refusal(order, fill_price)
        if refusal:
            order.status = ORDER_STATUS.REJECTED
            order.message = refusal
            user_system_log.warn(refusal)
            self._publish(EVENT.ORDER_CREATION_REJECT, order=order)
            return order

        order.status = ORDER_STATUS.ACTIVE
        self._publish(EVENT.ORDER_CREATION_PASS, order=order)
        trade = Trade(order.order_id, symbol, side, float(fill_price), order.quantity, order.datetime)
        self._env.portfolio.apply(trade)
        order.filled_quantity = order.quantity
        order.status = ORDER_STATUS.FILLED
        self.trades.append(trade)
        self._publish(EVENT.TRADE, order=order, trade=trade)
        return order

    def _refusal(self, order, price):
        if price is None:
            return f"order {order.order_id} rejected: no close price of {order.symbol}"
        if not price > 0:
            return f"order {order.order_id} rejected: price {price!r} is not positive"
        portfolio = self._env.portfolio
        if order.side is SIDE.BUY and price * order.quantity > portfolio.cash:
            return f"order {order.order_id} rejected: cash {portfolio.cash:.2f} is not enough"
        held = portfolio.positions.get(order.symbol, 0)
        if order.side is SIDE.SELL and order.quantity > held:
            return f"order {order.order_id} rejected: {held} shares of {order.symbol} held"
        return None

    def cancel(self, order):
        self._publish(EVENT.ORDER_PENDING_CANCEL, order=order)
        # Orders are filled or rejected when placed, so none is ever open to cancel.
        order.message = f"order {order.order_id} is {order.status.value}, nothing to cancel"
        self._publish(EVENT.ORDER_CANCELLATION_REJECT, order=order)
        return order
