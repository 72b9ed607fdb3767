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
