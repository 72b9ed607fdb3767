"""Fakes of the data layer around the quotation module, and the plain-Python reference."""

import copy
import types

import pandas as pd
import pytest
from cachetools import TTLCache

STOCK, FUTURE, OPTION = "CS", "Future", "Option"


@pytest.fixture(scope="session")
def qw():
    from varden.mod.stock.data import quotewire

    return quotewire


@pytest.fixture(scope="session")
def pyref():
    import py_quotewire

    return py_quotewire


def instrument(kind=STOCK, order_book_id="600000.SH"):
    return types.SimpleNamespace(enum_type=kind, order_book_id=order_book_id)


class RecordingLog:
    def __init__(self):
        self.entries = []

    def error(self, *args, **kwargs):
        self.entries.append((args, kwargs))


class FakeLayer:
    """The live reader and request classes, applying the bound record fix as the data layer does.

    Stock and option requests pass the previous kept record by keyword; futures requests pass
    the record alone. An exception from the fix drops the record.
    """

    RUN_FIX = object()

    def __init__(self):
        self.records = []
        self.result = self.RUN_FIX  # RUN_FIX: fix `records`; anything else is returned as is
        self.requests = []
        self.reads = []
        self.dropped = []
        self.log = RecordingLog()

    def request_class(self, kind):
        layer = self

        class Request:
            def __init__(self, instrument, data_fix_fn=None, **extra):
                self.kind = kind
                self.instrument = instrument
                self.data_fix_fn = data_fix_fn
                self.extra = extra
                layer.requests.append(self)

        Request.__name__ = kind + "BaseDataRequest"
        return Request

    def reader_class(self):
        layer = self

        class Reader:
            def __init__(self, log, request):
                self.log = log
                self.request = request

            def get_real_data(self, start, end, date_type):
                layer.reads.append((self.log, self.request, start, end, date_type))
                if layer.result is not layer.RUN_FIX:
                    return layer.result
                fix = self.request.data_fix_fn
                kept, previous = [], {}
                for record in copy.deepcopy(layer.records):
                    try:
                        if self.request.kind == "Future":
                            record = fix(record)
                        else:
                            record = fix(record, last_symbol_dict=previous)
                    except Exception as e:  # the data layer drops the record and goes on
                        layer.dropped.append((record, e))
                        continue
                    kept.append(record)
                    previous = record
                return pd.DataFrame(kept) if kept else pd.DataFrame()

        return Reader

    def install(self, monkeypatch, module):
        monkeypatch.setattr(module, "system_log", self.log)
        monkeypatch.setattr(module, "RealData", self.reader_class())
        monkeypatch.setattr(module, "StockBaseDataRequest", self.request_class("Stock"))
        monkeypatch.setattr(module, "FutureBaseDataRequest", self.request_class("Future"))
        monkeypatch.setattr(module, "OptionBaseDataRequest", self.request_class("Option"))
        monkeypatch.setattr(module, "INST_TYPE_IN_STOCK_ACCOUNT", (STOCK, "ETF"))
        monkeypatch.setattr(module, "INST_TYPE_IN_FUTURE_ACCOUNT", [FUTURE])
        monkeypatch.setattr(module, "INST_TYPE_IN_OPTION_ACCOUNT", {OPTION})
        # No factors and no capital events today unless a test says otherwise.
        monkeypatch.setattr(module, "_real_factor", lambda symbol: None)
        monkeypatch.setattr(module, "_real_pre_field", lambda symbol: (lambda x: x))
        return self


@pytest.fixture
def layer(qw, monkeypatch):
    return FakeLayer().install(monkeypatch, qw)


@pytest.fixture
def make_layer(monkeypatch):
    return lambda module: FakeLayer().install(monkeypatch, module)


@pytest.fixture
def helpers():
    return types.SimpleNamespace(
        instrument=instrument, STOCK=STOCK, FUTURE=FUTURE, OPTION=OPTION, ts=pd.Timestamp
    )


class FakeClock:
    """Drives both the wall clock read through pd.Timestamp.now and the cache's timer."""

    def __init__(self, now):
        self.now = pd.Timestamp(now)
        self.monotonic = 1000.0

    def advance(self, seconds):
        self.now += pd.Timedelta(seconds=seconds)
        self.monotonic += seconds


@pytest.fixture
def clock(qw, monkeypatch):
    clock = FakeClock("2024-03-05 08:45:00")
    monkeypatch.setattr(pd.Timestamp, "now", lambda *args, **kwargs: clock.now)
    cache = TTLCache(maxsize=10240, ttl=72000, timer=lambda: clock.monotonic)
    monkeypatch.setattr(qw, "real_factor_cache", cache)
    return clock
