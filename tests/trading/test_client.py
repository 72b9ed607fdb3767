import logging
import queue
import threading

import pytest

from varden.mod.tradeapi.sdk.client_pl import PallasClient
from varden.sandbox.brokerage import running_brokerage

ACCOUNTS = {"ReqType": 594177, "params": {"action": "getOnlineAccount"}}


def subscribe(token):
    return {"ReqType": 1601, "params": {"action": "subscribe", "Subkey": "entrustret",
                                        "fund_token": token}}


def test_client_finds_the_brokerage_through_the_environment(broker_env):
    reply = PallasClient().call_rpc_json(ACCOUNTS)
    assert reply["id"] == 1
    assert [(a["AccountID"], a["TradeType"]) for a in reply["result"]["Accounts"]] == [
        ("880001", "0"), ("880001", "1"), ("880002", "0")]
    assert broker_env.requests == [ACCOUNTS]


@pytest.mark.parametrize("request_, error", [
    ({"ReqType": 1202, "method": "stocknx", "params": {"FunID": 500015, "fund_token": "bad"}},
     {"error": {"message": "无效的fund_token"}}),
    ({"ReqType": 1202, "method": "stocknx", "params": {"FunID": 500016, "fund_token": "tk-880001-0"}},
     {"error": {"message": "功能号错误: stocknx/500016"}}),
    ({"ReqType": 151553, "method": "new_instmanage",
      "params": {"action": "query", "instructionid": None, "fund_token": "bad", "type": 1}},
     {"msg": "无效的fund_token"}),
    ({"ReqType": 42, "params": {}}, {"error": {"message": "未知的请求类型: 42"}}),
])
def test_refused_requests_get_error_replies(brokerage, request_, error):
    reply = PallasClient(brokerage.address).call_rpc_json(request_)
    assert reply == dict(error, id=1)


def test_injected_reply_answers_the_next_request_of_its_kind(brokerage):
    brokerage.inject_reply(594177, {"result": {}})
    client = PallasClient(brokerage.address)
    assert client.call_rpc_json(ACCOUNTS) == {"result": {}, "id": 1}
    assert len(client.call_rpc_json(ACCOUNTS)["result"]["Accounts"]) == 3


def test_pushes_reach_every_handler_on_the_delivery_thread(brokerage, caplog):
    client = PallasClient(brokerage.address)
    token = brokerage.token("880001")
    assert client.call_rpc_json(subscribe(token))["result"]["status"] == "subscribed"
    delivered = queue.Queue()

    def failing(m, d):
        raise RuntimeError("handler broke")

    client.register_callback(failing)
    client.register_callback(
        lambda m, d: delivered.put((m, d["params"], threading.current_thread().name)))
    with caplog.at_level(logging.ERROR):
        pushed = brokerage.push_order_update(token, "O0005", OrderStatusMsg="已成",
                                             TradeVolume=200, AvgPx=48.0)
        channel, record, thread = delivered.get(timeout=5)
    assert (channel, record, thread) == ("entrustret", pushed, "PallasClient-delivery")
    assert record["OrderType"] == 0 and record["OrderEntryTime"] == "14:20:00"
    assert "OrderTypeMsg" not in record and "OrderTime" not in record
    assert "handler broke" in caplog.text


def test_pushes_go_only_to_subscribers_of_the_account(brokerage):
    client = PallasClient(brokerage.address)
    client.call_rpc_json(subscribe(brokerage.token("880002")))
    assert brokerage.push_order_update(brokerage.token("880001"), "O0005") is not None
    assert brokerage.subscriber_count(brokerage.token("880001")) == 0
    assert brokerage.push_record(brokerage.token("880002"), {"OrderID": "x"}) == 1


def test_unreachable_or_lost_brokerage_is_a_connection_error():
    with running_brokerage() as service:
        client = PallasClient(service.address)
        client.call_rpc_json(ACCOUNTS)
    with pytest.raises(ConnectionError):
        client.call_rpc_json(ACCOUNTS)


def test_bad_address_is_refused(monkeypatch):
    monkeypatch.setenv("VARDEN_BROKER_ADDR", "localhost")
    with pytest.raises(ValueError, match="host:port"):
        PallasClient()
