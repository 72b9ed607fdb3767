"""Stand-in: engine events and the bus that delivers them."""

from collections import defaultdict
from enum import Enum


class EVENT(Enum):
    PRE_STRATEGY_RUN = "pre_strategy_run"
    PRE_BAR = "pre_bar"
    POST_BAR = "post_bar"
    POST_STRATEGY_RUN = "post_strategy_run"

    ORDER_PENDING_NEW = "order_pending_new"
    ORDER_CREATION_PASS = "order_creation_pass"
    ORDER_CREATION_REJECT = "order_creation_reject"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    TRADE = "trade"


class Event:
    """One published event; its payload (``order``, ``trade``, ...) is held as attributes."""

    def __init__(self, event_type, **payload):
        self.event_type = event_type
        self.__dict__.update(payload)

    def __repr__(self):
        fields = ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items() if k != "event_type")
        return f"Event({self.event_type.name}{', ' if fields else ''}{fields})"


class EventBus:
    """Calls every listener of an event type in the order the listeners were added."""

    def __init__(self):
        self._listeners = defaultdict(list)

    def add_listener(self, event_type, listener):
        self._listeners[event_type].append(listener)

    def publish_event(self, event):
        # A listener added while the event is delivered waits for the next event.
        for listener in list(self._listeners[event.event_type]):
            listener(event)
