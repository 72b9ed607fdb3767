import gc
import queue
import threading
import weakref

import pandas as pd
import pytest

from varden.utils.exception import TradeException

SUBSCRIBED = {"id": 3, "result": {"status": "subscribed"}, "error": {}}


def pushed(**fields):
    record = {"SecurityID": "000001", "SecurityName": "平安银行", "OrderID": "O1",
              "OrderQty": 100, "Side": 7, "OrderPrice": 10.0, "OrderType": 0,
              "OrderDate": "20240105", "OrderEntryTime": "10:00:00", "TradeVolume": 0,
              "AvgPx": 0.0}
    record.update(fields)
    return record


def test_push_reaches_the_user_on_the_client_thread(live_api, broker_env):
    delivered = queue.Queue()
    live_api.register_push(lambda order: delivered.put((order, threading.current_thread().name)))
    token = broker_env.token("880001")
    assert broker_env.subscriber_count(token) == 1
    broker_env.push_order_update(token, "O0005", OrderStatusMsg="已成", TradeVolume=200,
                                 AvgPx=48.1)
    order, thread = delivered.get(timeout=5)
    assert thread == "PallasClient-delivery"
    assert order == {
        "symbol": "688981.SH", "name": "中芯国际", "secondary_order_id": "O0005", "amount": 200,
        "side": "BUY", "price": 48.0, "price_type": 0,
        "datetime": pd.Timestamp("2024-01-05 14:20:00"), "status": "已成", "trade_amount": 200,
        "trade_price": 48.1}


def test_subscription_request_and_handler(dealdesk, fake_client):
    fake_client.reply(1601, SUBSCRIBED)
    api = dealdesk.TradeAPI("880001")
    got = []
    assert api.register_push(got.append) is None
    assert fake_client.requests[-1] == {
        "ReqType": 1601,
        "params": {"action": "subscribe", "Subkey": "entrustret", "fund_token": "tok-1"}}
    (handler,) = fake_client.callbacks
    assert handler("entrustret", {"params": pushed()}) is None
    assert got[0].side == "STOCK_SALE" and got[0].datetime == pd.Timestamp("20240105 10:00:00")


def test_handler_without_user_function_still_translates(dealdesk, fake_client):
    fake_client.reply(1601, SUBSCRIBED)
    api = dealdesk.TradeAPI("880001")
    api.register_push()
    (handler,) = fake_client.callbacks
    assert handler(None, {"params": pushed(OrderDate="")}) is None
    with pytest.raises(KeyError, match="OrderEntryTime"):
        handler(None, {"params": {k: v for k, v in pushed().items() if k != "OrderEntryTime"}})


def test_handler_returns_what_the_user_function_returns(dealdesk, fake_client):
    fake_client.reply(1601, SUBSCRIBED)
    dealdesk.TradeAPI("880001").register_push(lambda order: (order.symbol, order.datetime))
    (handler,) = fake_client.callbacks
    assert handler(None, {"params": pushed(OrderDate="", SecurityID="204001")}) == (
        "204001", pd.Timestamp("10:00:00"))


@pytest.mark.parametrize("reply, message", [
    ({"id": 4, "error": {"message": "订阅已满"}}, "委托推送注册失败(4): 订阅已满"),
    ({"id": 4, "error": {"code": 1}}, "委托推送注册失败(4): 参数输入有误"),
    ({"id": 4, "error": {"message": ""}}, "委托推送注册失败(4): 参数输入有误"),
])
def test_subscription_refused(dealdesk, fake_client, reply, message):
    fake_client.reply(1601, reply)
    api = dealdesk.TradeAPI("880001")
    with pytest.raises(TradeException) as info:
        api.register_push(print)
    assert str(info.value) == message and fake_client.callbacks == []


def test_empty_error_counts_as_success(dealdesk, fake_client):
    fake_client.reply(1601, {"error": {}, "result": None})
    dealdesk.TradeAPI("880001").register_push()
    assert len(fake_client.callbacks) == 1


def test_register_push_takes_one_function(dealdesk, fake_client):
    with pytest.raises(TypeError):
        dealdesk.TradeAPI("880001").register_push(print, print)


def test_an_account_and_its_push_handler_are_collected(dealdesk, fake_client, monkeypatch):
    monkeypatch.setattr(dealdesk, "PallasClient", type(fake_client))
    api = dealdesk.TradeAPI("880001")
    dealdesk.TraderRPC._instance = None  # the client is the account's alone
    api._trader_rpc.reply(1601, SUBSCRIBED)
    api.register_push(print)
    gone = weakref.ref(api)
    del api
    gc.collect()
    assert gone() is None
