"""Fakes of the research module's outside collaborators, and a client of the sandbox."""

import types

import pandas as pd
import pytest

from varden.mod.kelpie.research import studybench


class CallLog:
    """Records calls made on it by method name and answers from a table of results."""

    def __init__(self, **answers):
        self.calls = []
        self.answers = answers

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            answer = self.answers.get(name)
            if isinstance(answer, BaseException):
                raise answer
            return answer(*args, **kwargs) if callable(answer) else answer

        return method

    def named(self, name):
        return [(args, kwargs) for called, args, kwargs in self.calls if called == name]


class FakeInstrument:
    def __init__(self, symbol, type, start="2000-01-01", end="2099-12-31"):
        self.symbol = symbol
        self.type = type
        self.start_date = pd.Timestamp(start)
        self.end_date = pd.Timestamp(end)

    def show_valid_fields(self):
        return {"symbol": self.symbol, "type": self.type, "start_date": self.start_date,
                "end_date": self.end_date}


class FakeProxy:
    """A data proxy over a weekday calendar of December 2019 and January 2020."""

    def __init__(self, instruments):
        self.calls = []
        self.all_execution_days = pd.bdate_range("2019-12-02", "2020-01-31")
        frame = pd.DataFrame([i.show_valid_fields() for i in instruments])
        frame.insert(0, "order_book_id", frame["symbol"])
        self._data_source = types.SimpleNamespace(
            get_all_instruments=lambda: list(instruments), instruments_df=frame)

    def previous_execution_day(self, ts):
        self.calls.append(("previous_execution_day", ts))
        days = self.all_execution_days
        return days[max(days.searchsorted(pd.Timestamp(ts).normalize()) - 1, 0)]

    def ensure_execution_day(self, date, n, match_n=None):
        self.calls.append(("ensure_execution_day", date, n, match_n))
        days = self.all_execution_days
        if date in days:
            return date
        position = days.searchsorted(date)
        return days[position - 1] if n < 0 else days[position]

    def instruments(self, code):
        self.calls.append(("instruments", code))
        return {"symbol": code}

    def get_future_contracts(self, underlying, ts):
        self.calls.append(("get_future_contracts", underlying, ts))
        return [underlying + "2001.CFE"]


INSTRUMENTS = [
    FakeInstrument("000001.SH", "index"),
    FakeInstrument("000001.SZ", "stock"),
    FakeInstrument("000002.SZ", "stock", start="2020-01-10"),
    FakeInstrument("600001.SH", "stock", end="2020-01-09"),
    FakeInstrument("150001.SZ", "fjb"),
    FakeInstrument("150002.SZ", "fja"),
    FakeInstrument("160001.SZ", "lof"),
    FakeInstrument("510001.SH", "etf"),
    FakeInstrument("513001.SH", "qdii"),
    FakeInstrument("IF2001.CFE", "futures"),
]


@pytest.fixture
def proxy(monkeypatch):
    fake = FakeProxy(INSTRUMENTS)
    monkeypatch.setattr(studybench, "default_data_proxy", fake)
    monkeypatch.setattr(studybench, "Environment", types.SimpleNamespace(_env=None))
    return fake


@pytest.fixture
def api(monkeypatch):
    fake = CallLog()
    monkeypatch.setattr(studybench, "kp_api", fake)
    return fake


@pytest.fixture
def sandbox_client(data_service, tmp_path, monkeypatch):
    """The real client, logged in to the sandbox as "demo", installed as the module's kp_api."""
    from varden.mod.kelpie import setting
    from varden.mod.kelpie.utils import kprpc

    settings = tmp_path / "settings"
    settings.mkdir()
    monkeypatch.setattr(setting, "ROOT_PATH", str(settings))
    client = kprpc.APIClient(base_url=data_service.url)
    client.login("demo", "demo")
    monkeypatch.setattr(studybench, "kp_api", client)
    return client
