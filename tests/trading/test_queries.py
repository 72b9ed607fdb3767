import numpy as np
import pandas as pd
import pytest

from varden.mod.tradeapi.sdk.utils import NameDict
from varden.utils.exception import TradeException


def position(code="600000", **fields):
    record = {"SecurityID": code, "SecurityName": "浦发银行", "ActualAmt": 100, "FrozenQty": 0,
              "AvailableStockBalance": 100, "MarketValue": 1050.0, "CostPrice": 10,
              "MarketPrice": 10.5, "NetMoney": 0}
    record.update(fields)
    return record


@pytest.fixture
def api(dealdesk, fake_client, log_calls):
    return dealdesk.TradeAPI("880001")


@pytest.mark.parametrize("fields, pnl, profit_rate", [
    ({}, 50.0, 0.05),
    ({"NetMoney": 12.345678}, 12.3457, 0.05),
    ({"NetMoney": None, "MarketPrice": 2.675, "CostPrice": 2, "ActualAmt": 1}, 0.675, 0.3375),
    ({"CostPrice": 0}, 1050.0, None),
    ({"NetMoney": 7, "CostPrice": 0}, 7, None),
    ({"MarketPrice": 12, "CostPrice": 10, "ActualAmt": 3}, 6, 0.2),
    ({"MarketPrice": 1.00005, "CostPrice": 1, "ActualAmt": 1}, 0.0001, 0.0001),
    # numpy values round on the stored value too (numpy's own round gives 2.6748 for both)
    ({"NetMoney": np.float64(2.67485)}, np.float64(2.6749), 0.05),
    ({"NetMoney": None, "MarketPrice": np.float64(3.67485), "CostPrice": 1, "ActualAmt": 1},
     np.float64(2.6749), np.float64(2.6749)),
])
def test_position_pnl_and_profit_rate(api, fake_client, fields, pnl, profit_rate):
    fake_client.reply(1202, {"id": 2, "result": {"Array": [position(**fields)]}})
    record = api.positions["600000.SH"]
    assert record.pnl == pnl and type(record.pnl) is type(pnl)
    assert record.profit_rate == profit_rate


def test_positions_are_keyed_by_kit_symbol(api, fake_client, log_calls):
    fake_client.reply(1202, {"id": 2, "result": {"Array": [
        position("000001", NetMoney=1.5), position("204001"), position("000001", NetMoney=2.5)]}})
    positions = api.positions
    assert list(positions) == ["000001.SZ", "204001"]
    assert positions["000001.SZ"].pnl == 2.5
    assert type(positions["204001"]) is NameDict
    assert list(positions["204001"].items()) == [
        ("symbol", "204001"), ("name", "浦发银行"), ("amount", 100), ("frozen_amount", 0),
        ("available_amount", 100), ("market_value", 1050.0), ("cost_basis", 10),
        ("last_price", 10.5), ("pnl", 50.0), ("profit_rate", 0.05)]
    request = {"ReqType": 1202, "method": "stocknx",
               "params": {"FunID": 500015, "fund_token": "tok-1"}}
    assert fake_client.requests[-1] == request
    assert log_calls == [("info", "positions_success", dict(status="success", **request))]


def test_portfolio_translates_the_first_record(api, fake_client):
    fake_client.reply(1201, {"result": {"Array": [
        {"AvailableValue": 1.0, "MarketValue": 2.0, "TotalAssets": 3.0, "FrozenValue": 0}, {}]}})
    assert list(api.portfolio.items()) == [
        ("available_cash", 1.0), ("market_value", 2.0), ("total_value", 3.0), ("frozen_cash", 0)]
    assert fake_client.requests[-1]["params"] == {"FunID": 500016, "fund_token": "tok-1"}


@pytest.mark.parametrize("query, req_type, prefix", [
    ("portfolio", 1201, "账号资金查询失败"),
    ("positions", 1202, "账号持仓查询失败"),
    ("get_tradelogs", 1203, "账号成交查询失败"),
    ("secondary_orders", 1204, "账号委托查询失败"),
])
@pytest.mark.parametrize("reply, detail", [
    ({"id": 9, "result": {}}, "(9): 参数输入有误"),
    ({"id": 9, "error": {"message": "柜台忙"}}, "(9): 柜台忙"),
    ({"error": {}}, "(None): 参数输入有误"),
])
def test_refused_queries_are_wrapped(api, fake_client, log_calls, query, req_type, prefix,
                                     reply, detail):
    fake_client.reply(req_type, reply)
    with pytest.raises(TradeException) as info:
        value = getattr(api, query)
        value() if callable(value) else None
    text = str(info.value)
    assert text.startswith(prefix + ": ")
    assert prefix + detail in text
    assert isinstance(info.value.__context__, TradeException)
    assert str(info.value.__context__) == prefix + detail
    assert [(level, extra["status"]) for level, _, extra in log_calls] == [("error", "fail")]


def test_missing_field_fails_after_the_success_log(api, fake_client, log_calls):
    fake_client.reply(1201, {"id": 4, "result": {"Other": []}})
    with pytest.raises(TradeException) as info:
        api.portfolio
    assert [(level, key) for level, key, _ in log_calls] == [
        ("info", "portfolio_success"), ("error", "portfolio_fail")]
    assert isinstance(info.value.__context__, KeyError)
    assert "KeyError: 'Array'" in str(info.value)


def test_client_errors_are_wrapped_with_their_traceback(api, fake_client):
    api._get_account_token()
    fake_client.reply(1203, ConnectionError("broker gone"))
    with pytest.raises(TradeException) as info:
        api.get_tradelogs()
    assert str(info.value).startswith("账号成交查询失败: Traceback (most recent call last):")
    assert "ConnectionError: broker gone" in str(info.value)
    assert isinstance(info.value.__context__, ConnectionError)


def test_token_failure_is_neither_wrapped_nor_logged(api, fake_client, log_calls):
    fake_client.reply(594177, {"id": 5, "result": {"Accounts": []}})
    with pytest.raises(TradeException, match=r"^获取账户\(5\)：失败\(该账户不存在!\)\.$"):
        api.positions
    assert log_calls == []


def test_keyboard_interrupt_is_not_wrapped(api, fake_client, log_calls):
    api._get_account_token()
    fake_client.reply(1202, KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        api.positions
    assert log_calls == []


def fill(**fields):
    record = {"SecurityID": "688981", "SecurityName": "中芯国际", "OrderID": "O1",
              "TradeVolume": 200, "Side": 6, "AvgPx": 48.0, "SettleDate": "20240105",
              "TransactTime": "09:30:15", "Commission": 5.0}
    record.update(fields)
    return record


@pytest.fixture
def timestamp_texts(dealdesk, monkeypatch):
    """Records the texts handed to pd.Timestamp by the module."""
    texts = []

    class RecordingPandas:
        @staticmethod
        def Timestamp(text):
            texts.append(text)
            return pd.Timestamp(text)

    monkeypatch.setattr(dealdesk, "pd", RecordingPandas)
    return texts


def test_tradelogs_translate_each_fill(api, fake_client):
    fake_client.reply(1203, {"result": {"Array": [fill(), fill(Side=3, SecurityID="830799")]}})
    logs = api.get_tradelogs()
    assert [list(r.items()) for r in logs[:1]] == [[
        ("symbol", "688981.SH"), ("name", "中芯国际"), ("secondary_order_id", "O1"),
        ("amount", 200), ("side", "FINANCE_BUY"), ("trade_price", 48.0),
        ("datetime", pd.Timestamp("2024-01-05 09:30:15")), ("commission", 5.0)]]
    assert (logs[1].symbol, logs[1].side) == ("830799.BJ", 3)
    assert logs[0].datetime.unit == pd.Timestamp("20240105 09:30:15").unit


@pytest.mark.parametrize("fields, text, readable", [
    ({}, "20240105 09:30:15", True),
    ({"SettleDate": ""}, "09:30:15", True),
    ({"SettleDate": None}, "NoneNone09:30:15", False),
    ({"TransactTime": "093015"}, "20240105 093015", True),
])
def test_fill_time_text(api, fake_client, timestamp_texts, fields, text, readable):
    record = fill(**fields)
    if fields.get("SettleDate") == "":
        del record["SettleDate"]
    fake_client.reply(1203, {"result": {"Array": [record]}})
    if readable:
        assert api.get_tradelogs()[0].datetime == pd.Timestamp(text)
    else:
        with pytest.raises(TradeException, match="账号成交查询失败"):
            api.get_tradelogs()
    assert timestamp_texts == [text]


@pytest.mark.parametrize("text", [
    "20240105 09:30:15", "2024-02-29 23:59:59", "19000101 00:00:00", "21001231 12:00:00",
    "20240105 9:30:15", "2024-01-05 09:30:15.5", "2024-01-05T09:30:15", "20240105 093015",
])
def test_fill_time_matches_pandas(api, fake_client, text):
    date, time = text.split(" ") if " " in text else ("", text)
    fake_client.reply(1203, {"result": {"Array": [fill(SettleDate=date, TransactTime=time)]}})
    stamp = api.get_tradelogs()[0].datetime
    expected = pd.Timestamp(text)
    assert (stamp, stamp.unit, type(stamp)) == (expected, expected.unit, type(expected))


@pytest.mark.parametrize("text", [
    "20230229 10:00:00", "2024-13-01 00:00:00", "20240105 24:00:00", "20240105 09:60:00",
])
def test_fill_time_pandas_refuses(api, fake_client, text):
    date, time = text.split(" ")
    fake_client.reply(1203, {"result": {"Array": [fill(SettleDate=date, TransactTime=time)]}})
    with pytest.raises(ValueError):
        pd.Timestamp(text)
    with pytest.raises(TradeException, match="账号成交查询失败: ") as info:
        api.get_tradelogs()
    assert isinstance(info.value.__context__, ValueError)


def test_record_type_and_side_are_read_through_module_and_instance(
        dealdesk, api, fake_client, monkeypatch):
    built = []

    class Record(dict):
        def __init__(self, fields):
            built.append(type(fields))
            super().__init__(fields)

    monkeypatch.setattr(dealdesk, "NameDict", Record)
    monkeypatch.setattr(type(api), "SIDE", __import__("enum").Enum(
        "Other", [("X", 6)], type=dealdesk.SideMixin))
    fake_client.reply(1203, {"result": {"Array": [fill(), fill(Side=0)]}})
    logs = api.get_tradelogs()
    assert [type(r) for r in logs] == [Record, Record] and built == [dict, dict]
    assert [r["side"] for r in logs] == ["X", 0]


def test_broker_orders_translate(api, fake_client):
    fake_client.reply(1204, {"result": {"Array": [{
        "SecurityID": "510300", "SecurityName": "沪深300ETF", "OrderID": "O6", "OrderQty": 1000,
        "Side": 1, "OrderPrice": 0.0, "OrderTypeMsg": "市价单", "OrderTime": "14:30:00",
        "TradeVolume": 0, "AvgPx": 0.0}]}})
    (order,) = api.secondary_orders()
    assert order == {
        "symbol": "510300.SH", "name": "沪深300ETF", "secondary_order_id": "O6", "amount": 1000,
        "side": "SALE", "price": 0.0, "price_type": "市价单",
        "datetime": pd.Timestamp("14:30:00"), "status": None, "trade_amount": 0,
        "trade_price": 0.0}


def instruction(token="tok-1", **fields):
    record = {"security": "000001", "instructionid": "I1", "orderid": "O1", "qty": 100,
              "side": 0, "price": 10.0, "pricetype": 0, "date": "20240105", "time": "09:30:00",
              "statusmsg": "已成", "qtycancel": 0, "qtytrade": 100, "avgpx": 10.0, "msg": "",
              "fund_token": token}
    record.update(fields)
    return record


def test_orders_keep_this_accounts_instructions(api, fake_client, log_calls):
    fake_client.reply(151553, {"result": {"orders": [
        instruction("other"), instruction(pricetype=3, side=2, instructionid="I2"),
        instruction(side=6, pricetype=1, statusmsg=None)]}})
    orders = api.get_orders()
    assert [(o.order_id, o.side, o.price_type) for o in orders] == [
        ("I2", 2, "市价单"), ("I1", "FINANCE_BUY", None)]
    assert list(orders[0]) == [
        "symbol", "order_id", "secondary_order_id", "amount", "side", "price", "price_type",
        "datetime", "status", "cancel_amount", "trade_amount", "trade_price", "message"]
    assert orders[0].datetime == pd.Timestamp("2024-01-05 09:30:00")
    assert log_calls[-1][:2] == ("info", "get_orders_success")


class _CaseFreeToken:
    """A token that only knows how to differ (== falls back to identity)."""

    def __init__(self, text):
        self.text = text

    def __ne__(self, other):
        return self.text.lower() != str(other).lower()


def test_orders_are_filtered_by_token_inequality(api, fake_client):
    fake_client.reply(151553, {"result": {"orders": [
        instruction(_CaseFreeToken("TOK-1")), instruction(_CaseFreeToken("tok-2"))]}})
    assert [o.order_id for o in api.get_orders()] == ["I1"]


@pytest.mark.parametrize("args, extra", [
    ((), {}),
    (("I7",), {}),
    ((None, "2024-01-05"), {}),
    ((None, "2024-01-05", "2024-01-05 15:00"),
     {"startdate": "2024-01-05 00:00:00", "enddate": "2024-01-05 15:00:00"}),
])
def test_order_request_window(api, fake_client, args, extra):
    fake_client.reply(151553, {"result": {"orders": []}})
    assert api.get_orders(*args) == []
    order_id = args[0] if args else None
    assert fake_client.requests[-1] == {"ReqType": 151553, "method": "new_instmanage", "params": dict(
        {"action": "query", "instructionid": order_id, "fund_token": "tok-1", "type": 1}, **extra)}


@pytest.mark.parametrize("reply, detail", [
    ({"msg": "指令服务未启动"}, "委托查询失败: 指令服务未启动"),
    ({"result": None}, "委托查询失败: 参数输入有误"),
])
def test_refused_order_query(api, fake_client, log_calls, reply, detail):
    fake_client.reply(151553, reply)
    with pytest.raises(TradeException) as info:
        api.get_orders()
    assert str(info.value).startswith("委托查询失败: ") and detail in str(info.value)
    assert str(info.value.__context__) == detail
    assert log_calls[-1][:2] == ("error", "get_orders_fail")


def test_queries_through_the_sandbox(live_api, broker_env):
    positions = live_api.positions
    assert positions["000001.SZ"].pnl == 500.0
    assert positions["688981.SH"].profit_rate is None
    assert positions["204001"].symbol == "204001"
    logs = live_api.get_tradelogs()
    assert [(r.symbol, r.side) for r in logs[:2]] == [("000001.SZ", "BUY"), ("600000.SH", "BUY")]
    orders = live_api.get_orders(start_time="2024-01-05 09:00", end_time="2024-01-05 14:00")
    assert [o.order_id for o in orders] == ["I0001", "I0002"]
    assert live_api.portfolio.total_value == 216213.5
