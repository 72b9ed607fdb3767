import pytest

from varden.utils.exception import TradeException


def test_instances_share_the_one_client(dealdesk, fake_client):
    first, second = dealdesk.TradeAPI("880001"), dealdesk.TradeAPI(account_id="880002")
    assert first._trader_rpc is second._trader_rpc is fake_client
    assert dealdesk.TraderRPC() is dealdesk.TraderRPC() is fake_client
    assert fake_client.requests == []


def test_constructor_sets_its_attributes_in_order(dealdesk, fake_client):
    api = dealdesk.TradeAPI("880001")
    assert list(vars(api).items()) == [
        ("account_id", "880001"), ("_trader_rpc", fake_client), ("timeout", 6),
        ("_trade_type", "0"), ("_account_token", None)]
    with pytest.raises(TypeError):
        dealdesk.TradeAPI()
    with pytest.raises(TypeError):
        dealdesk.TradeAPI("a", "b")


def test_token_is_fetched_once_then_refetched_on_force(dealdesk, fake_client):
    api = dealdesk.TradeAPI("880001")
    assert api._get_account_token() == "tok-1"
    assert api._get_account_token() == "tok-1"
    assert fake_client.requests == [{"ReqType": 594177, "params": {"action": "getOnlineAccount"}}]
    fake_client.reply(594177, {"result": {"Accounts": [
        {"AccountID": "880001", "TradeType": "0", "fund_token": "tok-2"}]}})
    assert api._get_account_token(force=True) == "tok-2"
    assert api._account_token == "tok-2" and len(fake_client.requests) == 2


@pytest.mark.parametrize("reply, message", [
    ({"id": 7, "result": {"Accounts": [
        {"AccountID": "880001", "TradeType": "1", "fund_token": "credit"}]}},
     "获取账户(7)：失败(该账户不存在!)."),
    ({"id": 8, "error": {"message": "会话过期"}}, "获取账户(8)：失败(会话过期)."),
    ({"result": {}}, "获取账户(None)：失败(该账户不存在!)."),
])
def test_unlisted_account_is_refused(dealdesk, fake_client, reply, message):
    fake_client.reply(594177, reply)
    api = dealdesk.TradeAPI("880001")
    with pytest.raises(TradeException) as info:
        api._get_account_token()
    assert str(info.value) == message
    assert api._account_token is None


def test_account_entry_without_its_number_is_a_key_error(dealdesk, fake_client):
    fake_client.reply(594177, {"result": {"Accounts": [{"TradeType": "0"}]}})
    with pytest.raises(KeyError, match="AccountID"):
        dealdesk.TradeAPI("880001")._get_account_token()


def test_account_number_matches_only_as_its_own_comparison_says(dealdesk, fake_client):
    number = float("nan")  # the very object the reply lists, yet not equal to itself
    fake_client.reply(594177, {"id": 9, "result": {"Accounts": [
        {"AccountID": number, "TradeType": "0", "fund_token": "tok-9"}]}})
    with pytest.raises(TradeException, match=r"获取账户\(9\)"):
        dealdesk.TradeAPI(number)._get_account_token()


def test_token_lookup_through_the_sandbox(live_api, broker_env):
    assert live_api._get_account_token() == broker_env.token("880001", "0")
    api = type(live_api)("880003")
    with pytest.raises(TradeException, match="该账户不存在"):
        api.positions


def test_del_twice_is_harmless(dealdesk, fake_client):
    api = dealdesk.TradeAPI("880001")
    api.__del__()
    assert not hasattr(api, "_trader_rpc")
    api.__del__()
    assert dealdesk.TraderRPC() is fake_client
