"""Fixtures of the live-trading tests: the sandbox brokerage and a fake clock."""

import itertools

import pytest

from varden.mod.kelpie.utils import ratelimit
from varden.sandbox.brokerage import running_brokerage

# Each test's clock starts far beyond the previous one, so call times that a
# process-wide limiter kept from an earlier test lie outside every window.
_epochs = itertools.count(1)


class FakeTime:
    """Stands in for the ``time`` module of the rate limiter: sleeping advances it."""

    def __init__(self, start):
        self.now = start
        self.slept = []

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.slept.append(seconds)
        self.now += seconds


@pytest.fixture(autouse=True)
def fake_time(monkeypatch):
    clock = FakeTime(1e9 * next(_epochs))
    monkeypatch.setattr(ratelimit, "time", clock)
    return clock


@pytest.fixture
def brokerage():
    with running_brokerage() as service:
        yield service


@pytest.fixture
def broker_env(brokerage, monkeypatch):
    """The sandbox brokerage, with the trading client pointed at it."""
    monkeypatch.setenv("VARDEN_BROKER_ADDR", brokerage.address)
    return brokerage


class FakeClient:
    """Stands in for the trading client: canned replies per ReqType, requests recorded.

    Replies queued for one ReqType are used in order; the last one keeps answering.
    A queued exception is raised instead of answering.
    """

    def __init__(self):
        self.requests = []
        self.replies = {594177: [{"id": 1, "result": {"Accounts": [
            {"AccountID": "880001", "TradeType": "0", "fund_token": "tok-1"}]}}]}
        self.callbacks = []

    def reply(self, req_type, *replies):
        self.replies[req_type] = list(replies)

    def call_rpc_json(self, params):
        self.requests.append(params)
        queued = self.replies[params["ReqType"]]
        answer = queued.pop(0) if len(queued) > 1 else queued[0]
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def register_callback(self, handler):
        self.callbacks.append(handler)


class LogRecorder:
    """Stands in for system_log: keeps (level, key, extra) of every call."""

    def __init__(self):
        self.calls = []

    def info(self, key, extra=None):
        self.calls.append(("info", key, extra))

    def error(self, key, extra=None):
        self.calls.append(("error", key, extra))


@pytest.fixture
def dealdesk():
    from varden.mod.tradeapi.api import dealdesk

    return dealdesk


@pytest.fixture
def fake_client(dealdesk, monkeypatch):
    """The trading client every new TradeAPI gets, in place of the real one."""
    client = FakeClient()
    monkeypatch.setattr(dealdesk.TraderRPC, "_instance", None)
    monkeypatch.setattr(dealdesk, "PallasClient", lambda: client)
    return client


@pytest.fixture
def log_calls(dealdesk, monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(dealdesk, "system_log", recorder)
    return recorder.calls


@pytest.fixture
def live_api(dealdesk, broker_env, monkeypatch):
    """A TradeAPI of account 880001 on a real client talking to the sandbox brokerage."""
    monkeypatch.setattr(dealdesk.TraderRPC, "_instance", None)
    return dealdesk.TradeAPI("880001")
