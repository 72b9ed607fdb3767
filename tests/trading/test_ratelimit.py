import pytest

from varden.mod.kelpie.utils.ratelimit import RateLimitException, limits, sleep_and_retry


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
