"""Whole runs: the engine loads KelpieMod, which publishes the research API and hooks the
strategy's callbacks."""

import json
import types

import pandas as pd
import pytest

import kpquant
from varden.mod.kelpie import setting
from varden.mod.kelpie.errors import UserError

CONFIG = {"enable_kafka_output": True, "daily_last_event": "POST_BAR",
          "daily_collect_trade": False, "style": "backtest", "persist_provider": None}

TRADING_STRATEGY = """
    def init(context):
        context.calls = []
        context.days = list(get_trade_days("2024-03-01", "2024-03-04"))
        context.drawdown = max_drawdown([100, 80, 120])

    def handle_bar(context, bar_dict):
        bars = get_price("000001.SZ", end_date=context.now, bar_count=1, fields=["close"])
        amount = 100 if get_current_dt().day == 1 else -100
        order_shares("000001.SZ", amount, price=float(bars["close"].iloc[-1]))

    def on_order(context, order):
        context.calls.append(("on_order", order.order_id, order.status.name))

    def on_trade(context, trade):
        context.calls.append(("on_trade", trade.order_id, trade.price))
"""


def fake_studybench():
    calls = []

    def get_trade_days(start_date=None, end_date="20180101", count=None):
        return pd.bdate_range(start_date, end_date)

    def get_price(securities, start_date=None, end_date="20180101", fre_step="1d", fields=None,
                  skip_paused=False, fq="pre", bar_count=0, is_panel=False):
        calls.append((securities, pd.Timestamp(end_date), bar_count, fields))
        close = 10.0 + pd.Timestamp(end_date).day
        return pd.DataFrame({"close": [close]}, index=[pd.Timestamp(end_date).normalize()])

    module = types.ModuleType("studybench")
    module.__all__ = ["get_trade_days", "get_price"]
    module.get_trade_days, module.get_price, module.calls = get_trade_days, get_price, calls
    return module


@pytest.fixture
def root(tmp_path, monkeypatch):
    monkeypatch.setattr(setting, "ROOT_PATH", str(tmp_path))
    return tmp_path


def test_a_run_calls_on_order_before_on_trade_for_each_fill(
        kelpie_mod, write_strategy, no_data_layer, root, monkeypatch):
    bench = fake_studybench()
    monkeypatch.setattr(kelpie_mod, "studybench", bench)
    result = kpquant.run(write_strategy(TRADING_STRATEGY), "2024-03-01", "2024-03-04",
                         mods={"kelpie": kelpie_mod.KelpieMod}, mod_configs={"kelpie": CONFIG})

    first, second = (order.order_id for order in result.orders)
    assert result.context.calls == [
        ("on_order", first, "PENDING_NEW"), ("on_order", first, "ACTIVE"),
        ("on_order", first, "FILLED"), ("on_trade", first, 11.0),
        ("on_order", second, "PENDING_NEW"), ("on_order", second, "ACTIVE"),
        ("on_order", second, "FILLED"), ("on_trade", second, 14.0),
    ]
    assert result.context.days == list(pd.bdate_range("2024-03-01", "2024-03-04"))
    assert result.context.drawdown == pytest.approx(0.2)
    assert bench.calls[0] == ("000001.SZ", pd.Timestamp("2024-03-01 15:00"), 1, ["close"])
    assert result.portfolio.positions == {}

    [output] = (root / "kafka_output").iterdir()
    lines = [json.loads(line) for line in output.read_text().splitlines()]
    assert [(line["kind"], line.get("trade", {}).get("price")) for line in lines] == [
        ("trade", 11.0), ("daily", None), ("trade", 14.0), ("daily", None)]


def test_a_failed_run_ends_in_user_error_with_the_engine_text(
        kelpie_mod, write_strategy, no_data_layer, monkeypatch):
    monkeypatch.setattr(kelpie_mod, "studybench", fake_studybench())
    path = write_strategy("""
        def handle_bar(context, bar_dict):
            get_price("000001.SZ", end_date=context.now)
            ratio = 1 / 0
    """)
    with pytest.raises(UserError) as caught:
        kpquant.run(path, "2024-03-01", "2024-03-01", mods={"kelpie": kelpie_mod.KelpieMod},
                    mod_configs={"kelpie": dict(CONFIG, enable_kafka_output=False)})
    assert caught.value.error_type == "回测运行错误"
    assert isinstance(caught.value.__context__.__cause__, ZeroDivisionError)
    # From 3.11 the interpreter marks the failing expression under its source line.
    lines = [line for line in caught.value.traceback_msg.splitlines() if line.strip(" ^~")]
    assert lines == [
        "Traceback (most recent call last):",
        f'  File "{path}", line 4, in handle_bar',
        "    ratio = 1 / 0",
        "ZeroDivisionError: division by zero",
    ]


def test_a_run_with_the_research_module_and_the_data_layer(write_strategy, root):
    pytest.importorskip("varden.mod.kelpie.research.studybench")
    from varden.mod.kelpie.mod import KelpieMod

    today = pd.Timestamp.now().normalize()
    start, end = (today - pd.Timedelta(days=30)).strftime("%Y%m%d"), (
        today - pd.Timedelta(days=5)).strftime("%Y%m%d")
    path = write_strategy(f"""
        def init(context):
            context.calls = []
            context.closes = []
            context.days = list(get_trade_days("{start}", "{end}"))

        def handle_bar(context, bar_dict):
            bars = get_price("000001.SZ", end_date=context.now, bar_count=1, fields=["close"])
            context.closes.append(float(bars["close"].iloc[-1]))
            if len(context.closes) == 1:
                order_shares("000001.SZ", 100)

        def on_order(context, order):
            context.calls.append(("on_order", order.status.name))

        def on_trade(context, trade):
            context.calls.append(("on_trade", trade.price))
    """)
    result = kpquant.run(path, start, end, mods={"kelpie": KelpieMod},
                         mod_configs={"kelpie": dict(CONFIG, enable_kafka_output=False)})
    context = result.context
    assert result.trading_days == context.days and len(context.days) >= 10
    assert context.calls == [("on_order", "PENDING_NEW"), ("on_order", "ACTIVE"),
                             ("on_order", "FILLED"), ("on_trade", context.closes[0])]
    assert len(context.closes) == len(context.days)
