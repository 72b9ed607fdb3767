"""The live trading module on any argument and any broker reply.

The trading client is a fake whose replies are drawn: well-formed envelopes with loose records
(missing or wrongly typed fields) and now and then anything at all. The conversions are
compared with the plain-Python rendition (py_dealdesk, in bench/); the queries must fail only
with the kit's trading exception and its fixed message prefix.
"""

import copy
import functools
import gc

import pytest
from hypothesis import given
from hypothesis import strategies as st

import py_dealdesk
import robustness_harness as H
import robustness_strategies as S
from varden.mod.kelpie.utils import ratelimit
from varden.mod.tradeapi.api import dealdesk
from varden.mod.tradeapi.sdk.utils import NameDict
from varden.utils.exception import TradeException

ACCOUNT, TOKEN = "880001", "tok-1"
ACCOUNTS = {"id": 1, "result": {"Accounts": [
    {"AccountID": ACCOUNT, "TradeType": "0", "fund_token": TOKEN}]}}


def agrees_with(reference):
    def check(fn, outcome, args, kwargs):
        expected = H.run_plain(reference, *args, **kwargs)
        assert type(outcome.error) is type(expected.error), (args, outcome, expected)
        if not expected.raised:
            assert outcome.value == expected.value or outcome.value is expected.value, (
                args, outcome, expected)

    return check


class FakeClock:
    """The rate limiter's clock: ``step`` seconds pass at every reading, sleeping moves it on."""

    def __init__(self, step):
        self.now = 0.0
        self.step = step

    def monotonic(self):
        self.now += self.step
        return self.now

    def sleep(self, seconds):
        self.now += seconds


class FakeBroker:
    """The trading client: the account list for token requests, drawn replies otherwise."""

    def __init__(self, answers, accounts=lambda: ACCOUNTS):
        self.answers = answers
        self.accounts = accounts
        self.last = None
        self.callbacks = []

    def call_rpc_json(self, params):
        self.last = self.accounts() if params["ReqType"] == 594177 else self.answers()
        return self.last

    def register_callback(self, handler):
        self.callbacks.append(handler)


class NullLog:
    def info(self, *args, **kwargs):
        return None

    error = info


def broker_field(name):
    return st.just(TOKEN) if name == "fund_token" else S.field_value(name)


broker_records = st.one_of(
    st.fixed_dictionaries({}, optional={k: broker_field(k) for k in S.BROKER_KEYS}),
    st.fixed_dictionaries({k: broker_field(k) for k in S.BROKER_KEYS}),
    S.values,
)
payloads = st.fixed_dictionaries({}, optional={
    "Array": st.one_of(st.lists(broker_records, max_size=3), S.values),
    "orders": st.one_of(st.lists(broker_records, max_size=3), S.values),
})
replies = st.one_of(
    st.fixed_dictionaries({"id": S.values}, optional={
        "result": st.one_of(payloads, payloads, S.values),
        "error": st.one_of(st.fixed_dictionaries({}, optional={"message": S.values}), S.values),
        "msg": S.values,
    }),
    S.values,
)
account_lists = st.one_of(
    st.builds(copy.deepcopy, st.just(ACCOUNTS)),
    st.fixed_dictionaries({}, optional={
        "id": S.values, "error": S.values,
        "result": st.one_of(S.values, st.fixed_dictionaries({}, optional={
            "Accounts": st.one_of(S.values, st.lists(S.records(
                ("AccountID", "TradeType", "fund_token")), max_size=3))}))}),
)


@pytest.fixture(autouse=True)
def trading_fakes(monkeypatch):
    monkeypatch.setattr(dealdesk, "system_log", NullLog())
    # One call in 3 seconds: within the drawn calls of one example, some are over the limit.
    monkeypatch.setattr(ratelimit, "time", FakeClock(step=1.0))
    monkeypatch.setattr(dealdesk.TraderRPC, "_instance", None)
    # TradeAPI's limiters live as long as the class and remember readings of the real clock
    # from earlier tests; the fake clock starts at zero. Each test starts from empty windows
    # and hands the real readings back afterwards, so the two clocks never meet.
    limiters = [o for o in gc.get_objects() if isinstance(o, ratelimit.RateLimiter)]
    saved = [list(limiter._started) for limiter in limiters]
    for limiter in limiters:
        limiter._started.clear()
    yield
    for limiter, started in zip(limiters, saved):
        limiter._started.clear()
        limiter._started.extend(started)


def trade_api(data, accounts=None):
    """A TradeAPI on a fake broker; the account list is the right one unless drawn."""
    answers = H.Answers(data, replies)
    broker = FakeBroker(answers, H.Answers(data, account_lists) if accounts else lambda: ACCOUNTS)
    dealdesk.TraderRPC._instance = broker
    return dealdesk.TradeAPI(ACCOUNT)


def method(name, accounts=False):
    return lambda data: getattr(trade_api(data, accounts), name)


def unlimited(name):
    """A rate-limited method whose every call fits: the broker side is what gets exercised."""

    def reach(data):
        ratelimit.time.step = 3.0
        return method(name)(data)

    return reach


def prop(name):
    return lambda data: functools.partial(getattr(dealdesk.TradeAPI, name).fget,
                                          trade_api(data))


def fails_with(prefix, result_type):
    """A query check: a result of its type, or the trading exception with its prefix."""

    def check(fn, outcome, args, kwargs):
        if not outcome.raised:
            assert isinstance(outcome.value, result_type), outcome
        else:
            assert isinstance(outcome.error, TradeException), outcome
            assert str(outcome.error).startswith(prefix), outcome

    return check


def check_get_orders(fn, outcome, args, kwargs):
    bound = H.signature("order_id=None, start_time=None, end_time=None").bind(*args, **kwargs)
    start, end = bound.arguments.get("start_time"), bound.arguments.get("end_time")
    window = H.run_plain(lambda: bool(start) and bool(end))
    if window.raised or window.value:
        return  # the window is converted before the handler: pandas' own errors pass
    fails_with("委托查询失败: ", list)(fn, outcome, args, kwargs)


def check_register_push(fn, outcome, args, kwargs):
    """A reply whose error is a dict refuses with the fixed prefix; one without error succeeds."""
    reply = fn.__self__._trader_rpc.last
    if type(reply) is not dict:
        return
    error = reply.get("error")
    refused = H.run_plain(bool, error)
    if isinstance(error, dict) and refused.value:
        assert isinstance(outcome.error, TradeException), outcome
        assert str(outcome.error).startswith("委托推送注册失败("), outcome
    elif not refused.raised and not refused.value:
        assert not outcome.raised and outcome.value is None, outcome
        assert fn.__self__._trader_rpc.callbacks


def push_handler(data):
    """The handler that register_push gives the client, for a drawn user function."""
    api = trade_api(data)
    api._trader_rpc.answers = lambda: {"result": {}}
    orderpush = data.draw(st.one_of(st.none(), st.just(lambda record: record), S.values))
    api.register_push(orderpush)
    return api._trader_rpc.callbacks[-1]


def limited(data):
    """A function wrapped by the rate limiter factory, as a method of a plain object."""
    calls = data.draw(st.integers(1, 3))
    wrapped = dealdesk.rate_limit(calls=calls, period=3, raise_message="slow down")(
        lambda self, *args, **kwargs: (args, kwargs))
    return functools.partial(wrapped, object())


limit_failures = (ratelimit.RateLimitException,)


def check_limited(fn, outcome, args, kwargs):
    """The wrapped function sees the call without the two switches, or the limit refuses it."""
    if outcome.raised:
        assert isinstance(outcome.error, limit_failures), outcome
    elif outcome.value is not None:  # None: over the limit with raise_on_limit off
        rest = {k: v for k, v in kwargs.items() if k not in ("raise_on_limit", "sleep_on_limit")}
        assert outcome.value == (tuple(args), rest), outcome

TARGETS = [
    H.Target("MARKET.convert", "symbol", lambda data: dealdesk.MARKET.convert,
             args=st.one_of(S.codes.map(lambda c: c + ".SZ"), S.codes, S.values),
             check=agrees_with(py_dealdesk.MARKET.convert)),
    H.Target("MARKET.revert", "symbol", lambda data: dealdesk.MARKET.revert,
             args=st.one_of(S.codes, S.values),
             check=agrees_with(py_dealdesk.MARKET.revert)),
    H.Target("PRICETYPE.revert", "num", lambda data: dealdesk.PRICETYPE.revert,
             check=agrees_with(lambda num: {0: "限价单", 3: "市价单"}.get(num))),
    H.Target("SIDE.revert", "num", lambda data: dealdesk.SIDE.revert,
             args=st.one_of(st.integers(-2, 20), S.values), check=agrees_with(py_dealdesk.SIDE.revert)),
    H.Target("SideMixin.revert", "num", lambda data: dealdesk.SideMixin.revert),
    H.Target("rate_limit", "calls=1, period=3, raise_message=None",
             lambda data: dealdesk.rate_limit),
    H.Target("rate_limit()", "f", lambda data: dealdesk.rate_limit()),
    H.Target("rate_limit()()", "*args, **kwargs", limited,
             keywords=("raise_on_limit", "sleep_on_limit"), check=check_limited),
    H.Target("TraderRPC", "", lambda data: dealdesk.TraderRPC),
    H.Target("TradeAPI", "account_id", lambda data: dealdesk.TradeAPI),
    H.Target("TradeAPI._get_account_token", "force=False", method("_get_account_token", True)),
    H.Target("TradeAPI.__del__", "", method("__del__")),
    H.Target("TradeAPI.portfolio", "", prop("portfolio"),
             check=fails_with("账号资金查询失败: ", NameDict)),
    H.Target("TradeAPI.positions", "", prop("positions"),
             check=fails_with("账号持仓查询失败: ", dict)),
    H.Target("TradeAPI.get_tradelogs", "", method("get_tradelogs"),
             check=fails_with("账号成交查询失败: ", list)),
    H.Target("TradeAPI.secondary_orders", "*, raise_on_limit=True, sleep_on_limit=False",
             unlimited("secondary_orders"), check=fails_with("账号委托查询失败: ", list)),
    H.Target("TradeAPI.get_orders", "order_id=None, start_time=None, end_time=None",
             method("get_orders"), check=check_get_orders),
    H.Target("TradeAPI._trans_inst", "item", method("_trans_inst"), args=broker_records),
    H.Target("TradeAPI._trans_inst self-clearing", "item", method("_trans_inst"),
             pool=S.self_clearing_pools(S.BROKER_KEYS)),
    H.Target("TradeAPI.register_push", "orderpush=None", method("register_push"),
             check=check_register_push),
    H.Target("TradeAPI._trans_order", "item", method("_trans_order"), args=broker_records),
    H.Target("TradeAPI._trans_order self-clearing", "item", method("_trans_order"),
             pool=S.self_clearing_pools(S.BROKER_KEYS)),
    H.Target("register_push handler", "m, d", push_handler,
             args=st.one_of(st.fixed_dictionaries({"params": broker_records}), S.values)),
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)
