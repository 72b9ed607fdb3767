"""Stand-in: order functions published to strategies."""

from kpquant.api.api_base import export_as_api
from kpquant.environment import Environment


@export_as_api
def order_shares(symbol, amount, price=None):
    """Buy (amount > 0) or sell (amount < 0) shares, filled at ``price`` or else at the
    day's close. Returns the order; its ``status`` tells whether it was filled."""
    return Environment.get_instance().broker.submit(symbol, amount, price)


@export_as_api
def cancel_order(order):
    """Ask to cancel an order; returns it with the reason in ``message``."""
    return Environment.get_instance().broker.cancel(order)
