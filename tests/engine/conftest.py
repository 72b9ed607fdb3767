import textwrap

import pandas as pd
import pytest

from kpquant import market


@pytest.fixture
def write_strategy(tmp_path):
    """Write strategy source (dedented) to a file and return its path."""

    def write(source, name="strategy.py"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def no_data_layer(monkeypatch):
    monkeypatch.setattr(market, "_import_data_layer", lambda: None)


class FakeFastDataSource:
    """Daily closes of a few symbols on a fixed calendar; records history_window calls."""

    calendar = pd.DatetimeIndex(["2024-03-01", "2024-03-04", "2024-03-05", "2024-03-07"])
    closes = {"000001.SZ": [10.0, 10.5, 11.0, 11.5]}
    calls = []

    def history_window(self, code, end, bar_count, fre_step, fields, skip_paused, fq, start):
        self.calls.append((code, end, bar_count, fre_step, fields, skip_paused, fq, start))
        upto = self.calendar[self.calendar <= pd.Timestamp(end)]
        closes = self.closes.get(code, [])[: len(upto)]
        frame = pd.DataFrame({"close": closes, "open": closes}, index=upto[: len(closes)])
        return frame.iloc[-bar_count:] if fields is None else frame[fields].iloc[-bar_count:]


class FakeDataProxy:
    def __init__(self, source):
        self._data_source = source
        self.all_execution_days = source.calendar


@pytest.fixture
def fake_data_layer(monkeypatch):
    FakeFastDataSource.calls = []
    monkeypatch.setattr(market, "_import_data_layer", lambda: (FakeDataProxy, FakeFastDataSource))
    return FakeFastDataSource


STUDYBENCH = "varden.mod.kelpie.research.studybench"


@pytest.fixture
def kelpie_mod(monkeypatch):
    """The mod module; while the research module is not built, it is imported against an
    empty stand-in (tests replace ``mod.studybench`` with their own fake anyway)."""
    import importlib
    import sys
    import types

    try:
        importlib.import_module(STUDYBENCH)
    except ImportError:
        placeholder = types.ModuleType(STUDYBENCH)
        placeholder.__all__ = []
        monkeypatch.setitem(sys.modules, STUDYBENCH, placeholder)
    from varden.mod.kelpie import mod

    return mod
