import gc
import threading
import time
import weakref

import pytest

from varden.mod.kelpie.utils.ratelimit import RateLimitException, limits, sleep_and_retry

LIMIT_MESSAGE = "该查询函数使用最小间隔为3秒，请稍后重试。"
ORDERS = {"id": 3, "result": {"Array": []}}


@pytest.fixture
def apis(dealdesk, fake_client, log_calls):
    fake_client.reply(1204, ORDERS)
    return dealdesk.TradeAPI("880001"), dealdesk.TradeAPI("880001")


def test_budget_is_shared_by_all_instances(apis, fake_client, fake_time):
    first, second = apis
    assert first.secondary_orders() == []
    fake_time.now += 2.9
    for api in (first, second):
        with pytest.raises(RateLimitException) as info:
            api.secondary_orders()
        assert str(info.value) == LIMIT_MESSAGE
    assert [r["ReqType"] for r in fake_client.requests].count(1204) == 1
    fake_time.now += 0.1
    assert second.secondary_orders() == []


def test_sleep_on_limit_waits_then_queries(apis, fake_client, fake_time):
    first, second = apis
    first.secondary_orders()
    fake_time.now += 1
    assert second.secondary_orders(sleep_on_limit=True) == []
    assert fake_time.slept == [pytest.approx(2)]
    assert [r["ReqType"] for r in fake_client.requests].count(1204) == 2


def test_raise_on_limit_false_skips_the_query(apis, fake_client):
    first, _ = apis
    first.secondary_orders(raise_on_limit=True)
    assert first.secondary_orders(raise_on_limit=False) is None
    with pytest.raises(RateLimitException):
        first.secondary_orders()  # the switch is set again on every call


def test_switches_never_reach_the_method(dealdesk, fake_time):
    seen = []

    @dealdesk.rate_limit(calls=2, period=1)
    def query(self, *args, **kwargs):
        """Reads something."""
        seen.append((self, args, kwargs))
        return "ok"

    assert query("me", 1, raise_on_limit=True, sleep_on_limit=False, key="v") == "ok"
    assert query("me", sleep_on_limit=True) == "ok"
    assert seen == [("me", (1,), {"key": "v"}), ("me", (), {})]
    assert (query.__name__, query.__doc__) == ("query", "Reads something.")
    with pytest.raises(RateLimitException) as info:
        query("me")
    assert info.value.args == (None,)


def test_one_limiter_per_decoration(dealdesk, monkeypatch):
    made = []
    monkeypatch.setattr(dealdesk, "limits", lambda **kw: made.append(kw) or (lambda f: f))
    decorate = dealdesk.rate_limit(5, 7, "slow")
    a, b = decorate(lambda self: 1), decorate(lambda self: 2)
    assert (a(None), a(None), b(None)) == (1, 1, 2)
    assert made == [{"calls": 5, "period": 7, "raise_message": "slow"}] * 2
    dealdesk.rate_limit()(lambda self: 3)
    assert made[-1] == {"calls": 1, "period": 3, "raise_message": None}
    with pytest.raises(TypeError):
        dealdesk.rate_limit(1, 2, 3, 4)


def test_a_method_that_reaches_its_wrapper_is_collected(dealdesk):
    def query(self):
        return "ok"

    query.limited = dealdesk.rate_limit()(query)
    gone = weakref.ref(query.limited)
    del query
    gc.collect()
    assert gone() is None


def in_thread(call):
    """Start ``call`` on a thread of its own; its result or error lands in the returned dict."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call()
        except Exception as error:
            outcome["error"] = error

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


def test_a_waiting_call_runs_the_query_whatever_another_thread_passes(
        apis, fake_client, fake_time, monkeypatch):
    first, second = apis
    first.secondary_orders()
    asleep, polled = threading.Event(), threading.Event()
    advance = fake_time.sleep

    def sleep(seconds):  # the first wait lasts until the other thread has polled
        advance(seconds)
        if not asleep.is_set():
            asleep.set()
            polled.wait(10)

    monkeypatch.setattr(fake_time, "sleep", sleep)
    waiter, outcome = in_thread(lambda: first.secondary_orders(sleep_on_limit=True))
    assert asleep.wait(10)
    assert second.secondary_orders(raise_on_limit=False) == []  # the poll takes the window
    polled.set()
    waiter.join(10)
    assert outcome == {"value": []}
    assert fake_time.slept == [pytest.approx(3), pytest.approx(3)]
    assert [r["ReqType"] for r in fake_client.requests].count(1204) == 3


def test_a_raising_call_raises_whatever_another_thread_passes(
        apis, fake_client, fake_time, monkeypatch):
    first, second = apis
    first.secondary_orders()
    counting = threading.Event()
    monotonic = fake_time.monotonic

    def slow_monotonic():  # the first count lingers: time for the other thread's switch
        if threading.current_thread() is not threading.main_thread() and not counting.is_set():
            counting.set()
            time.sleep(0.3)
        return monotonic()

    monkeypatch.setattr(fake_time, "monotonic", slow_monotonic)
    raiser, outcome = in_thread(lambda: first.secondary_orders())
    assert counting.wait(10)
    assert second.secondary_orders(raise_on_limit=False) is None
    raiser.join(10)
    assert isinstance(outcome.get("error"), RateLimitException), outcome
    assert [r["ReqType"] for r in fake_client.requests].count(1204) == 1


# -- the limiter itself (the rate-limit module the methods are decorated with) ----------


def test_wrappers_of_one_limiter_share_its_budget(fake_time):
    limit = limits(calls=2, period=10, raise_message="slow down")
    calls = []
    first, second = limit(calls.append), limit(calls.append)
    first(1)
    second(2)
    fake_time.now += 4
    with pytest.raises(RateLimitException, match="slow down") as info:
        first(3)
    assert info.value.period_remaining == pytest.approx(6)
    assert calls == [1, 2]
    fake_time.now += 6
    second(4)
    assert calls == [1, 2, 4]


def test_window_slides_from_each_call(fake_time):
    limit = limits(calls=2, period=10)
    noted = limit(lambda: "ran")
    noted()
    fake_time.now += 6
    noted()
    fake_time.now += 5  # the first call left the window, the second has not
    assert noted() == "ran"
    with pytest.raises(RateLimitException):
        noted()


def test_without_raise_on_limit_the_call_is_skipped():
    limit = limits(calls=1, period=3)
    calls = []
    wrapped = limit(calls.append)
    wrapped(1)
    limit.raise_on_limit = False
    assert wrapped(2) is None
    assert calls == [1]


def test_sleep_and_retry_waits_out_the_window(fake_time):
    limit = limits(calls=1, period=3)
    wrapped = sleep_and_retry(limit(lambda x: x * 2))
    assert wrapped(1) == 2
    fake_time.now += 1
    assert wrapped(5) == 10
    assert fake_time.slept == [pytest.approx(2)]


def test_wrapper_keeps_name_and_doc():
    def query():
        """Reads the account."""

    wrapped = sleep_and_retry(limits()(query))
    assert (wrapped.__name__, wrapped.__doc__) == ("query", "Reads the account.")


@pytest.mark.parametrize("calls, period", [(0, 3), (1, 0)])
def test_limits_refuses_an_empty_budget(calls, period):
    with pytest.raises(ValueError):
        limits(calls=calls, period=period)
