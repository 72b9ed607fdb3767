"""The research API on any argument, with every collaborator answering drawn values.

The platform client, the data proxy, the fast data source, the research log, the trash
functions and the engine environment are fakes. File functions run in a temporary working
directory and get relative names without separators (or values that are no path at all), so
no call can reach the user's files.
"""

import os
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import robustness_harness as H
import robustness_strategies as S
from varden.mod.kelpie.research import studybench


class Answering:
    """Any method call is answered with a drawn value; plain attributes are set explicitly."""

    def __init__(self, answers, **attributes):
        self._answers = answers
        self.__dict__.update(attributes)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return lambda *args, **kwargs: self._answers()


class Instrument:
    def __init__(self, symbol, type, fields):
        self.symbol, self.type, self._fields = symbol, type, fields

    def show_valid_fields(self):
        return self._fields


calendars = st.one_of(
    st.just(pd.bdate_range("2019-12-02", "2020-01-31")),
    st.just(pd.DatetimeIndex([])),
    S.values,
)
instruments = st.lists(st.one_of(
    st.builds(Instrument, S.codes, st.sampled_from(["stock", "etf", "index", "fjb"]),
              st.one_of(S.records(("symbol", "type", "start_date", "end_date")), S.values)),
    S.values), max_size=3)
instrument_frames = st.one_of(
    st.lists(st.fixed_dictionaries({"order_book_id": S.codes, "type": S.texts}), max_size=3)
    .map(lambda rows: pd.DataFrame(rows, columns=["order_book_id", "type"])),
    S.values,
)
answers = st.one_of(S.values, calendars, S.timestamps)

# Paths: relative names without separators, or values that are not paths (no ints or
# index-like objects, which open() would take as file descriptors).
safe_names = st.one_of(
    st.text(st.characters(blacklist_characters="/\\"), max_size=8).filter(
        lambda t: t not in ("", ".", "..")),
    st.sampled_from(["a.csv", "数据.txt", "a\x00b", "new"]),
)
non_paths = S.values.filter(
    lambda v: not isinstance(v, (str, bytes, np.ndarray, os.PathLike))
    and not hasattr(v, "__index__"))
file_args = st.one_of(safe_names, non_paths, S.binary)


@pytest.fixture(autouse=True)
def collaborators(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    for name in ("kp_api", "default_data_proxy", "FastDataSource", "log", "user_system_log",
                 "send2trash", "send2empty", "Environment"):
        monkeypatch.setattr(studybench, name, None)


def with_fakes(name):
    """Reach the module function ``name`` with collaborators answering drawn values."""

    def reach(data):
        drawn = H.Answers(data, answers)
        listed = data.draw(instruments, label="instruments")
        studybench.kp_api = Answering(drawn)
        studybench.default_data_proxy = Answering(
            drawn, all_execution_days=data.draw(calendars, label="calendar"),
            _data_source=Answering(drawn, instruments_df=data.draw(instrument_frames),
                                   get_all_instruments=lambda: listed))
        studybench.FastDataSource = lambda: Answering(drawn)
        studybench.log = Answering(drawn)
        studybench.user_system_log = Answering(drawn)
        studybench.send2trash = studybench.send2empty = lambda path: drawn()
        studybench.Environment = types.SimpleNamespace(_env=data.draw(st.one_of(
            st.none(), st.builds(types.SimpleNamespace, trading_dt=S.timestamps), S.values)))
        return getattr(studybench, name)

    return reach


SIGNATURES = {
    "query": "*args",
    "run_query": "query_object",
    "get_fundamentals": "query_object, date=None, statDate=None, latest=False",
    "get_price": "securities, start_date=None, end_date='20180101', fre_step='1d', "
                 "fields=None, skip_paused=False, fq='pre', bar_count=0, is_panel=False",
    "get_candle_stick": "securities, end_date='20180101', fre_step='1d', fields=None, "
                        "skip_paused=False, fq='pre', bar_count=0, is_panel=False",
    "get_all_securities": "ty=None, date=None",
    "normalize_symbol": "symbol, ty=None",
    "get_security_info": "symbol",
    "get_all_trade_days": "",
    "get_trade_days": "start_date=None, end_date='20180101', count=None",
    "get_last_trade_day": "date=None, n=-1, match_n=None",
    "get_future_code": "underlying_symbol, date=None",
    "get_all_symbol_filter": "date, symbol_type='stock'",
    "notify_push": "content, channel='wxpusher', subject='Varden消息提醒', email_list=None, "
                   "uids=None, topic_ids=None, group_id=None",
    "set_log_level": "level, is_limit=True, filename=None",
    "get_api_usage": "",
}
FILE_SIGNATURES = {
    "read_file": "path",
    "write_file": "path, content, append=False",
    "remove_file": "path, trash=True",
    "upload_file": "file, path=''",
    "download_file": "file, path=''",
}
research_args = st.one_of(
    S.values, S.timestamps, st.sampled_from(["stock", "fund", "1d", "5m", "20200106", "info"]),
    st.lists(st.sampled_from(["open", "close", "volume", "x"]), max_size=3), S.codes,
)

# The argument checks of the kit's validation module run before the call binds; they refuse
# a wrong type with TypeError and a text that is no date with ValueError.
CHECKED = (TypeError, ValueError)

TARGETS = [
    *[H.Target(name, params, with_fakes(name), args=research_args, refusals=CHECKED)
      for name, params in SIGNATURES.items()],
    *[H.Target(name, params, with_fakes(name), args=file_args, refusals=CHECKED)
      for name, params in FILE_SIGNATURES.items()],
]


@pytest.mark.parametrize("target", TARGETS, ids=str)
@H.robust(25)
@given(data=st.data())
def test_call(target, data):
    H.exercise(data, target)

