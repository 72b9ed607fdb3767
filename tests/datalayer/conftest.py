"""Shared pieces of the data layer tests: the store of today and a recent trading day."""

import pandas as pd
import pytest

from varden.mod.stock.data.data_proxy import DataProxy
from varden.mod.stock.data.fast_data_source import FastDataSource


class RecordingLog:
    """Stands in for the engine's system logger; keeps every call."""

    def __init__(self):
        self.calls = []

    def _record(self, level):
        def log(message, *args, extra=None):
            self.calls.append((level, message, extra))
        return log

    def __getattr__(self, level):
        if level in ("debug", "info", "warning", "error"):
            return self._record(level)
        raise AttributeError(level)


@pytest.fixture(scope="session")
def source():
    return FastDataSource()


@pytest.fixture(scope="session")
def proxy(source):
    return DataProxy(source)


@pytest.fixture(scope="session")
def last_day(proxy):
    """The last closed trading day: it has live sessions and a closed bar before it."""
    return proxy.previous_execution_day(pd.Timestamp.now())


@pytest.fixture
def system_log():
    return RecordingLog()
