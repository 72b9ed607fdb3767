"""Stand-in: the run's trade feed, written as JSON lines under the kit's folder.

Each line is one JSON object with ``style`` (the run's style label), ``kind`` and the
payload. ``kind`` "trade" is one fill; ``kind`` "daily" closes a trading day, at the
``daily_last_event`` (an event name such as "POST_BAR" or an ``EVENT`` member) and carries
the day's trades when ``daily_collect_trade`` is true (then no "trade" lines are written),
or the day's trade count otherwise. The file is ``kafka_output/<run>.jsonl`` under
``ROOT_PATH``; it is opened for each line and closed again.
"""

import json
import os
import time
from enum import Enum

from kpquant.events import EVENT
from varden.mod.kelpie import setting

OUTPUT_FOLDER = "kafka_output"
_TRADE_FIELDS = ("order_id", "symbol", "side", "price", "quantity", "datetime")


def _json_value(value):
    return value.value if isinstance(value, Enum) else str(value)


class KafkaOutput:
    def __init__(self, env, daily_last_event, daily_collect_trade, style):
        self._env = env
        self.daily_last_event = (
            EVENT[daily_last_event] if isinstance(daily_last_event, str) else daily_last_event
        )
        self.daily_collect_trade = bool(daily_collect_trade)
        self.style = style
        self._day_trades = []
        folder = os.path.join(setting.ROOT_PATH, OUTPUT_FOLDER)
        os.makedirs(folder, mode=0o700, exist_ok=True)
        run_name = time.strftime("%Y%m%d-%H%M%S") + f"-{os.getpid()}-{id(self):x}"
        self.path = os.path.join(folder, run_name + ".jsonl")

    def register_event(self):
        self._env.event_bus.add_listener(EVENT.TRADE, self._on_trade)
        self._env.event_bus.add_listener(self.daily_last_event, self._on_day_end)

    def _write(self, kind, payload):
        line = {"style": self.style, "kind": kind, **payload}
        with open(self.path, "a", encoding="utf-8") as out:
            out.write(json.dumps(line, ensure_ascii=False, default=_json_value) + "\n")

    def _on_trade(self, event):
        trade = {name: getattr(event.trade, name, None) for name in _TRADE_FIELDS}
        self._day_trades.append(trade)
        if not self.daily_collect_trade:
            self._write("trade", {"trade": trade})

    def _on_day_end(self, event):
        day = {"date": str(self._env.trading_dt)}
        if self.daily_collect_trade:
            day["trades"] = self._day_trades
        else:
            day["trade_count"] = len(self._day_trades)
        self._write("daily", day)
        self._day_trades = []
