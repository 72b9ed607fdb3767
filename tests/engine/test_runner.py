import json

import pandas as pd
import pytest

import kpquant
from kpquant.api.api_base import register_api
from kpquant.environment import Environment
from kpquant.events import EVENT
from kpquant.exception import StrategyRunError
from kpquant.model import ORDER_STATUS, SIDE
from varden.mod.kelpie.errors import get_error_message


class RecordingMod:
    """Listens to every event and records what the engine does with it."""

    log = []

    def start_up(self, env, mod_config):
        self.log.append(("start_up", getattr(mod_config, "tag", None), Environment._env is env))
        for event_type in EVENT:
            env.event_bus.add_listener(event_type, self._record)

    def _record(self, event):
        self.log.append((event.event_type.name, getattr(event, "order", None),
                         getattr(event, "trade", None)))

    def tear_down(self, success, exception=None):
        self.log.append(("tear_down", success, exception))


@pytest.fixture
def recording_mod():
    RecordingMod.log = []
    return RecordingMod


def event_names(log):
    return [entry[0] for entry in log]


def test_events_of_a_filled_order_come_in_order(write_strategy, no_data_layer, recording_mod):
    path = write_strategy("""
        def handle_bar(context, bar_dict):
            order_shares("000001.SZ", 100, price=10.0)
    """)
    result = kpquant.run(path, "2024-03-01", "2024-03-01", mods={"rec": recording_mod},
                         mod_configs={"rec": {"tag": "x"}})

    assert event_names(recording_mod.log) == [
        "start_up", "PRE_STRATEGY_RUN", "PRE_BAR", "ORDER_PENDING_NEW", "ORDER_CREATION_PASS",
        "TRADE", "POST_BAR", "POST_STRATEGY_RUN", "tear_down",
    ]
    assert recording_mod.log[0] == ("start_up", "x", True)
    assert recording_mod.log[-1] == ("tear_down", True, None)
    _, order, trade = recording_mod.log[5]
    assert order is result.orders[0] and trade is result.trades[0]
    assert (trade.order_id, trade.side, trade.price, trade.quantity) == (
        order.order_id, SIDE.BUY, 10.0, 100)
    assert trade.datetime == pd.Timestamp("2024-03-01 15:00")
    assert order.status is ORDER_STATUS.FILLED
    assert result.portfolio.cash == pytest.approx(1_000_000 - 1000)
    assert result.portfolio.positions == {"000001.SZ": 100}
    assert Environment._env is None


@pytest.mark.parametrize("orders, reason", [
    ('order_shares("000001.SZ", 100)', "no close price"),
    ('order_shares("000001.SZ", 1000, price=2000.0)', "cash 1000000.00 is not enough"),
    ('order_shares("000001.SZ", -100, price=10.0)', "0 shares of 000001.SZ held"),
])
def test_refused_orders_are_rejected(write_strategy, no_data_layer, recording_mod, orders, reason):
    path = write_strategy(f"""
        def handle_bar(context, bar_dict):
            context.order = {orders}
    """)
    result = kpquant.run(path, "2024-03-01", "2024-03-01", mods={"rec": recording_mod})
    order = result.orders[0]
    assert event_names(recording_mod.log)[2:6] == [
        "PRE_BAR", "ORDER_PENDING_NEW", "ORDER_CREATION_REJECT", "POST_BAR"]
    assert order.status is ORDER_STATUS.REJECTED
    assert reason in order.message
    assert result.trades == [] and result.portfolio.cash == 1_000_000


def test_cancel_of_a_filled_order_is_rejected(write_strategy, no_data_layer, recording_mod):
    path = write_strategy("""
        def handle_bar(context, bar_dict):
            cancel_order(order_shares("000001.SZ", 100, price=10.0))
    """)
    result = kpquant.run(path, "2024-03-01", "2024-03-01", mods={"rec": recording_mod})
    assert event_names(recording_mod.log)[6:8] == [
        "ORDER_PENDING_CANCEL", "ORDER_CANCELLATION_REJECT"]
    assert "is filled, nothing to cancel" in result.orders[0].message


def test_calendar_and_close_prices_come_from_the_data_layer(write_strategy, fake_data_layer):
    path = write_strategy("""
        def init(context):
            context.seen = []
        def handle_bar(context, bar_dict):
            context.seen.append((context.now, bar_dict["000001.SZ"]["close"]))
            order_shares("000001.SZ", 100)
    """)
    result = kpquant.run(path, "2024-03-02", "2024-03-10")
    assert result.trading_days == list(pd.DatetimeIndex(["2024-03-04", "2024-03-05", "2024-03-07"]))
    assert [t.price for t in result.trades] == [10.5, 11.0, 11.5]
    close_call = ("000001.SZ", pd.Timestamp("2024-03-04 15:00").value, 1, "1d", ["close"],
                  False, "pre", None)
    assert close_call in fake_data_layer.calls


def test_without_data_layer_every_weekday_is_a_trading_day(write_strategy, no_data_layer):
    path = write_strategy("def handle_bar(context, bar_dict):\n    pass\n")
    result = kpquant.run(path, "2024-03-01", "2024-03-05")
    assert result.trading_days == list(pd.DatetimeIndex(["2024-03-01", "2024-03-04", "2024-03-05"]))


def test_published_apis_and_logger_are_in_the_strategy_scope(write_strategy, no_data_layer,
                                                             caplog):
    envs = []

    class PublishingMod:
        def start_up(self, env, mod_config):
            envs.append(env)
            register_api("answer_for_test", lambda: 42)

        def tear_down(self, success, exception=None):
            pass

    path = write_strategy("""
        def init(context):
            context.answer = answer_for_test()
            logger.info("answer %s", context.answer)
    """)
    kpquant.run(path, "2024-03-01", "2024-03-01", mods={"pub": PublishingMod})
    assert envs[0].get_user_strategy().user_context.answer == 42
    assert ("kpquant.user", "answer 42") in [(r.name, r.getMessage()) for r in caplog.records]


def test_strategy_error_is_carried_to_tear_down_and_raised(write_strategy, no_data_layer,
                                                          recording_mod):
    path = write_strategy("""
        def handle_bar(context, bar_dict):
            ratio = 1 / 0
    """)
    with pytest.raises(StrategyRunError) as caught:
        kpquant.run(path, "2024-03-01", "2024-03-04", mods={"rec": recording_mod})
    assert recording_mod.log[-1] == ("tear_down", False, caught.value)
    assert "POST_STRATEGY_RUN" not in event_names(recording_mod.log)
    error = caught.value.error
    assert error.phase == "handle_bar" and error.exc_type is ZeroDivisionError
    text = get_error_message(error)
    assert text.startswith("Traceback (most recent call last):\n")
    assert f'File "{path}", line 3, in handle_bar' in text
    assert "ratio = 1 / 0" in text
    assert text.endswith("ZeroDivisionError: division by zero")
    assert Environment._env is None


def test_a_tear_down_error_wins_and_every_mod_is_torn_down(write_strategy, no_data_layer):
    torn = []

    class Converting:
        def start_up(self, env, mod_config):
            pass

        def tear_down(self, success, exception=None):
            torn.append("converting")
            raise RuntimeError(f"converted: {exception.error.exc_value}")

    class Plain(Converting):
        def tear_down(self, success, exception=None):
            torn.append("plain")

    path = write_strategy("def init(context):\n    raise KeyError('k')\n")
    with pytest.raises(RuntimeError, match="converted: 'k'"):
        kpquant.run(path, "2024-03-01", "2024-03-01", mods={"a": Plain, "b": Converting})
    assert torn == ["converting", "plain"]
    assert Environment._env is None


def test_failed_start_up_tears_down_started_mods_only(write_strategy, no_data_layer):
    calls = []

    class Good:
        def start_up(self, env, mod_config):
            calls.append("good up")

        def tear_down(self, success, exception=None):
            calls.append(("good down", success, exception.error.phase))

    class Bad(Good):
        def start_up(self, env, mod_config):
            raise AttributeError("enable_kafka_output")

    class Never(Good):
        def start_up(self, env, mod_config):
            calls.append("never up")

    path = write_strategy("")
    with pytest.raises(StrategyRunError, match="start_up: AttributeError"):
        kpquant.run(path, "2024-03-01", "2024-03-01",
                    mods={"good": Good, "bad": Bad, "never": Never})
    assert calls == ["good up", ("good down", False, "start_up"), ("good down", False, "start_up")]


def test_mods_given_by_dotted_path_are_imported(write_strategy, no_data_layer, tmp_path,
                                                monkeypatch):
    (tmp_path / "dotted_mod_for_test.py").write_text(
        "from kpquant.interface import AbstractMod\n"
        "class DottedMod(AbstractMod):\n"
        "    calls = []\n"
        "    def start_up(self, env, mod_config):\n"
        "        self.calls.append(('up', mod_config.level))\n"
        "    def tear_down(self, success, exception=None):\n"
        "        self.calls.append(('down', success))\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    path = write_strategy("")
    kpquant.run(path, "2024-03-01", "2024-03-01", mods={"d": "dotted_mod_for_test.DottedMod"},
                mod_configs={"d": {"level": 3}})
    import dotted_mod_for_test

    assert dotted_mod_for_test.DottedMod.calls == [("up", 3), ("down", True)]


def test_persist_provider_stores_the_portfolio_each_day(write_strategy, no_data_layer):
    stored = []

    class Provider:
        def store(self, key, data):
            stored.append((key, json.loads(data)))

    class PersistMod:
        def start_up(self, env, mod_config):
            env.set_persist_provider(Provider())

        def tear_down(self, success, exception=None):
            pass

    path = write_strategy("""
        def handle_bar(context, bar_dict):
            order_shares("600000.SH", 10, price=5.0)
    """)
    kpquant.run(path, "2024-03-01", "2024-03-04", mods={"p": PersistMod})
    assert stored == [
        ("portfolio", {"cash": 999950.0, "positions": {"600000.SH": 10}}),
        ("portfolio", {"cash": 999900.0, "positions": {"600000.SH": 20}}),
    ]
