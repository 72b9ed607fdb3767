import json

import pandas as pd
import pytest

from kpquant.environment import Environment
from kpquant.events import EVENT, Event
from kpquant.model import SIDE, Trade
from varden.mod.kelpie import setting
from varden.mod.kelpie.kafka_output import KafkaOutput


@pytest.fixture
def env(tmp_path, monkeypatch):
    monkeypatch.setattr(setting, "ROOT_PATH", str(tmp_path))
    return Environment(config=None)


def run_two_days(env, output):
    output.register_event()
    for day, fills in (("2024-03-01 15:00:00", 2), ("2024-03-04 15:00:00", 0)):
        env.trading_dt = day
        for n in range(fills):
            trade = Trade(order_id=n, symbol="000001.SZ", side=SIDE.BUY, price=10.0,
                          quantity=100, datetime=pd.Timestamp(day))
            env.event_bus.publish_event(Event(EVENT.TRADE, order=None, trade=trade))
        env.event_bus.publish_event(Event(EVENT.POST_BAR))
    with open(output.path, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


def test_trades_are_written_as_they_come_and_days_counted(env):
    lines = run_two_days(env, KafkaOutput(env, "POST_BAR", False, "backtest"))
    assert [(line["kind"], line["style"]) for line in lines] == [
        ("trade", "backtest"), ("trade", "backtest"), ("daily", "backtest"), ("daily", "backtest")]
    assert lines[0]["trade"] == {"order_id": 0, "symbol": "000001.SZ", "side": "buy",
                                 "price": 10.0, "quantity": 100, "datetime": "2024-03-01 15:00:00"}
    assert [line.get("trade_count") for line in lines[2:]] == [2, 0]


def test_collected_trades_go_into_the_daily_line(env):
    lines = run_two_days(env, KafkaOutput(env, EVENT.POST_BAR, True, "paper"))
    assert [line["kind"] for line in lines] == ["daily", "daily"]
    assert [len(line["trades"]) for line in lines] == [2, 0]
    assert lines[0]["date"] == "2024-03-01 15:00:00"
