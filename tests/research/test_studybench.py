"""The research module with its outside collaborators replaced by fakes."""

import collections
import datetime
import errno
import os
import pickle
import re
import stat
import subprocess
import sys
import types

import pandas as pd
import pytest
import six

from varden.mod.kelpie.research import studybench
from varden.mod.kelpie.research.normal_query import tablespec
from varden.mod.kelpie.research.normal_query.tablespec import valuation
from varden.mod.kelpie.utils import autoreload, compat, kprpc, pyvalid, recorder
from varden.mod.kelpie.utils import send2trash as trash_module
from varden.mod.stock.data import data_proxy, fast_data_source

from .conftest import CallLog

EXPORTED = [
    "pd_Panel", "get_all_securities", "normalize_symbol", "get_security_info", "get_price",
    "get_candle_stick", "get_all_trade_days", "get_trade_days", "get_last_trade_day", "query",
    "run_query", "get_fundamentals", "read_file", "write_file", "remove_file",
    "get_future_code", "superreload", "notify_push", "set_log_level", "get_api_usage",
    "upload_file", "download_file",
]
STEP_MESSAGE = "当step大于1时,只允许取%s其中字段."


# -- the module ---------------------------------------------------------------------------


def test_collaborators_are_bound_as_module_attributes():
    import kpquant.environment
    import kpquant.utils.logger

    expected = {
        "os": os, "re": re, "namedtuple": collections.namedtuple, "six": six, "pd": pd,
        "log": recorder.log, "pd_Panel": compat.pd_Panel, "accepts": pyvalid.accepts,
        "DateValidator": pyvalid.DateValidator,
        "Environment": kpquant.environment.Environment,
        "user_system_log": kpquant.utils.logger.user_system_log, "kp_api": kprpc.kp_api,
        "send2trash": trash_module.send2trash, "send2empty": trash_module.send2empty,
        "superreload": autoreload.superreload,
        "FastDataSource": fast_data_source.FastDataSource, "DataProxy": data_proxy.DataProxy,
        "StrQuery": tablespec.StrQuery,
    }
    for name, value in expected.items():
        assert getattr(studybench, name) is value, name


def test_module_state_and_exports():
    assert studybench.__all__ == EXPORTED
    assert callable(studybench.get_all_symbol_filter)
    assert "get_all_symbol_filter" not in studybench.__all__
    assert isinstance(studybench.default_data_proxy, data_proxy.DataProxy)
    assert isinstance(studybench.default_data_proxy._data_source, fast_data_source.FastDataSource)
    assert studybench.MULTI_STEP_FIELDS == frozenset(
        ["open", "close", "high", "low", "volume", "turnover", "settle", "open_interest"])
    industry = studybench.default_data_proxy._data_source._extra_reader["symbol_industry"]
    assert studybench.Symbol_Industry.__name__ == "Symbol_Industry"
    assert list(studybench.Symbol_Industry._fields) == list(industry.fields)
    # Records pickle (multiprocessing, caches) only when the class is found under its module.
    assert studybench.Symbol_Industry.__module__ == studybench.__name__
    record = studybench.Symbol_Industry(*range(len(industry.fields)))
    assert pickle.loads(pickle.dumps(record)) == record


def test_functions_read_like_python_functions():
    import inspect

    assert str(inspect.signature(studybench.get_price)) == (
        "(securities, start_date=None, end_date='20180101', fre_step='1d', fields=None, "
        "skip_paused=False, fq='pre', bar_count=0, is_panel=False)")
    assert studybench.get_price.__module__ == "varden.mod.kelpie.research.studybench"
    # the checked functions are what the validation decorator returned
    assert studybench.get_price.__wrapped__.__name__ == "get_price"
    assert not hasattr(studybench.normalize_symbol, "__wrapped__")


@pytest.mark.parametrize(
    "call, function, parameter",
    [
        (lambda: studybench.get_security_info(1), "get_security_info", "symbol"),
        (lambda: studybench.get_price(("000001.SZ",)), "get_price", "securities"),
        (lambda: studybench.get_price("000001.SZ", fields="open"), "get_price", "fields"),
        (lambda: studybench.get_price("000001.SZ", bar_count="3"), "get_price", "bar_count"),
        (lambda: studybench.get_price("000001.SZ", end_date="someday"), "get_price", "end_date"),
        (lambda: studybench.get_candle_stick(5), "get_candle_stick", "securities"),
        (lambda: studybench.get_trade_days(count="3"), "get_trade_days", "count"),
        (lambda: studybench.get_last_trade_day(n=1.5), "get_last_trade_day", "n"),
        (lambda: studybench.get_future_code(["IF"]), "get_future_code", "underlying_symbol"),
        (lambda: studybench.read_file(b"a.txt"), "read_file", "path"),
        (lambda: studybench.upload_file("a.txt", path=None), "upload_file", "path"),
        (lambda: studybench.notify_push("hi", channel=1), "notify_push", "channel"),
        (lambda: studybench.notify_push("hi", email_list=("a",)), "notify_push", "email_list"),
        (lambda: studybench.set_log_level("info", is_limit=1), "set_log_level", "is_limit"),
    ],
)
def test_argument_checks_name_the_function_and_parameter(call, function, parameter):
    with pytest.raises((TypeError, ValueError)) as caught:
        call()
    assert "%s()" % function in str(caught.value)
    assert "'%s'" % parameter in str(caught.value)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: studybench.query(valuation, limit=10),
         "query() got an unexpected keyword argument 'limit'"),
        (lambda: studybench.get_fundamentals("q", 1, 2, 3, 4),
         "get_fundamentals() takes from 1 to 4 positional arguments but 5 were given"),
    ],
)
def test_argument_counts_are_refused_like_python(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert message in str(caught.value)


# -- queries ------------------------------------------------------------------------------


def test_query_builds_through_the_module_query_class(monkeypatch):
    assert str(studybench.query()) == "query().filter()"
    q = studybench.query(valuation, valuation.pe_ratio)
    assert isinstance(q, tablespec.StrQuery)
    assert str(q) == "query(valuation, valuation.pe_ratio).filter()"
    monkeypatch.setattr(studybench, "StrQuery", lambda *args: ("built", args))
    assert studybench.query(1, 2) == ("built", (1, 2))


def test_run_query_sends_one_line_of_code(api):
    api.answers["run_api"] = "frame"
    q = studybench.query(valuation).filter(valuation.symbol == "000001.SZ")
    assert studybench.run_query(q) == "frame"
    assert api.calls == [("run_api", (), {
        "code": "df = run_query(query(valuation).filter(valuation.symbol=='000001.SZ'))",
        "name": "df"})]


@pytest.mark.parametrize(
    "args, kwargs, sent",
    [
        (("query(valuation).filter()",), {},
         {"query_object": "query(valuation).filter()", "date": None, "statDate": None,
          "latest": False}),
        ((studybench.query(valuation).limit(5),), {"date": "20200102", "latest": True},
         {"query_object": "query(valuation).filter().limit(5)", "date": "20200102",
          "statDate": None, "latest": True}),
        (("q", None, "2019q4"), {},
         {"query_object": "q", "date": None, "statDate": "2019q4", "latest": False}),
    ],
)
def test_get_fundamentals_sends_the_query_text_and_dates(api, args, kwargs, sent):
    api.answers["get_fundamentals"] = "rows"
    assert studybench.get_fundamentals(*args, **kwargs) == "rows"
    assert api.calls == [("get_fundamentals", (), sent)]


def test_unrenderable_query_fails_before_anything_is_sent(api):
    with pytest.raises(TypeError):
        studybench.get_fundamentals(studybench.query(valuation).filter(3))
    assert api.calls == []


# -- prices ---------------------------------------------------------------------------------


@pytest.fixture
def source(monkeypatch):
    """FastDataSource replaced by a class that records instances and history_window calls."""

    class Source:
        instances = []
        calls = []

        def __init__(self):
            Source.instances.append(self)

        def history_window(self, *args):
            Source.calls.append(args)
            days = pd.bdate_range("2020-01-06", periods=5)
            return pd.DataFrame({"open": range(5), "close": [float(len(Source.calls))] * 5},
                                index=days)

    monkeypatch.setattr(studybench, "FastDataSource", Source)
    return Source


@pytest.fixture
def user_log(monkeypatch):
    fake = CallLog()
    monkeypatch.setattr(studybench, "user_system_log", fake)
    return fake


def ns(day):
    return pd.Timestamp(day).value


def test_single_code_reads_one_window_with_eight_positional_arguments(proxy, source):
    result = studybench.get_price("000001.SZ", fields=["open"], is_panel=True)
    assert result["close"].tolist() == [1.0] * 5
    assert source.calls == [("000001.SZ", ns("20180101"), 0, "1d", ["open"], False, "pre", None)]


def test_list_of_codes_gives_a_dict_in_order_with_a_new_source_per_code(proxy, source):
    result = studybench.get_price(["600001.SH", "000001.SZ", "600001.SH"], start_date="20200102",
                                  end_date="2020-01-10 15:00", fre_step="1d", skip_paused=True,
                                  fq=None)
    assert list(result) == ["600001.SH", "000001.SZ"]
    assert result["600001.SH"]["close"].iloc[0] == 3.0  # a repeated code keeps its last read
    assert len(source.instances) == 3
    assert source.calls[1] == ("000001.SZ", ns("2020-01-10 15:00"), 0, "1d", None, True, None,
                               ns("20200102"))


def test_panel_is_cut_to_the_last_bars(proxy, source):
    panel = studybench.get_price(["000001.SZ", "600001.SH"], end_date="20200110", bar_count=3,
                                 is_panel=True)
    assert isinstance(panel, compat.pd_Panel)
    assert list(panel.items) == ["open", "close"]
    assert list(panel.minor_axis) == ["000001.SZ", "600001.SH"]
    assert list(panel.major_axis) == list(pd.bdate_range("2020-01-08", periods=3))
    assert panel["close"].iloc[0].tolist() == [1.0, 2.0]
    whole = studybench.get_price(["000001.SZ"], end_date="20200110", is_panel=1)
    assert whole.shape == (2, 5, 1)


def test_panel_class_is_read_from_the_module(proxy, source, monkeypatch):
    panels = CallLog(from_dict=lambda data, orient: types.SimpleNamespace(data=data,
                                                                          orient=orient))
    monkeypatch.setattr(studybench, "pd_Panel", panels)
    panel = studybench.get_price(["000001.SZ"], end_date="20200110", is_panel=True)
    assert panel.orient == "minor" and list(panel.data) == ["000001.SZ"]


@pytest.mark.parametrize(
    "fre_step, fields, reads, logged",
    [
        ("1d", ["pe_ratio"], True, False),
        ("1m", None, True, False),
        ("1t", ["anything"], True, False),
        ("5m", ["open", "close"], True, False),
        ("10d", ["open_interest", "settle"], True, False),
        ("5m", None, False, True),
        ("5m", ["open", "pe"], False, True),
        ("1w", None, False, False),
        ("d", None, False, False),
        ("", None, False, False),
        ("1x", None, False, False),
        ("xd", None, False, False),
    ],
)
def test_bar_step_rules(proxy, source, user_log, fre_step, fields, reads, logged):
    result = studybench.get_price("000001.SZ", end_date="20200110", fre_step=fre_step,
                                  fields=fields)
    assert (result is not None) == reads
    assert len(source.calls) == int(reads)
    expected = [("info", (STEP_MESSAGE % list(studybench.MULTI_STEP_FIELDS),), {})]
    assert user_log.calls == (expected if logged else [])


def test_end_date_that_cannot_be_read_gives_none(proxy, source, user_log):
    # beyond the nanosecond range: a date to the validator, no nanosecond count
    assert studybench.get_price("000001.SZ", end_date="30000101") is None
    assert studybench.get_price.__wrapped__("000001.SZ", end_date="someday") is None
    assert source.calls == [] and user_log.calls == []


def test_start_date_with_bar_count_raises_after_the_step_checks(proxy, source):
    with pytest.raises(Exception) as caught:
        studybench.get_price("000001.SZ", start_date="20180101", bar_count=5)
    assert type(caught.value) is Exception
    assert str(caught.value) == "开始日期 20180101 和bar_count 5 同时设置"
    assert studybench.get_price("000001.SZ", start_date="20180101", bar_count=5,
                                fre_step="1w") is None
    assert source.calls == []


def test_type_keyword_is_expanded_for_the_end_date_as_given(proxy, source):
    result = studybench.get_price("Stock", end_date="20200109", fields=["close"])
    assert list(result) == ["000001.SZ", "600001.SH"]
    assert [call[0] for call in source.calls] == ["000001.SZ", "600001.SH"]


def test_expansion_goes_through_the_module(proxy, source, monkeypatch):
    monkeypatch.setattr(studybench, "get_all_symbol_filter", lambda date, kind: ("a", "b"))
    assert studybench.get_price("stock") is None
    assert source.calls == []


def test_candle_sticks_are_asked_for_in_one_remote_call(api):
    api.answers["all_api"] = {"000001.SZ": "bars"}
    result = studybench.get_candle_stick(["000001.SZ", "stock"], end_date="2020-01-02 14:30:45",
                                         fre_step="5d", fields=["close"], bar_count=2)
    assert result == {"000001.SZ": "bars"}
    assert api.calls == [("all_api", (), {
        "api_name": "get_candle_stick", "securities": ["000001.SZ", "stock"],
        "end_date": "20200102 14:30:00", "fre_step": "5d", "fields": ["close"],
        "skip_paused": False, "fq": "pre", "bar_count": 2})]


# -- securities and calendar ----------------------------------------------------------------


@pytest.mark.parametrize(
    "ty, date, codes",
    [
        ("stock", "20200109", ["000001.SZ", "600001.SH"]),
        ("stock", "2020-01-10 13:00", ["000001.SZ", "000002.SZ"]),
        ("etf", datetime.date(2020, 1, 9), ["510001.SH"]),
        (None, "20200110", ["000001.SH", "000001.SZ", "000002.SZ", "150001.SZ", "150002.SZ",
                            "160001.SZ", "510001.SH", "513001.SH", "IF2001.CFE"]),
        ("bond", "20200110", []),
    ],
)
def test_securities_listed_on_a_day(proxy, ty, date, codes):
    frame = studybench.get_all_securities(ty, date)
    assert frame.index.name == "symbol"
    assert list(frame.index) == codes
    assert {"start_date", "end_date"} <= set(frame.columns)


def test_default_day_is_the_trading_day_before_now_or_the_strategy_time(proxy, monkeypatch):
    before = pd.Timestamp.now()
    studybench.get_all_securities("stock")
    (name, base), = proxy.calls
    assert name == "previous_execution_day" and before <= base <= pd.Timestamp.now()

    env = types.SimpleNamespace(trading_dt=datetime.datetime(2020, 1, 10, 14, 0))
    monkeypatch.setattr(studybench, "Environment", types.SimpleNamespace(_env=env))
    frame = studybench.get_all_securities("stock")
    assert proxy.calls[-1] == ("previous_execution_day", pd.Timestamp("2020-01-10 14:00"))
    assert list(frame.index) == ["000001.SZ", "600001.SH"]  # listed on 2020-01-09


@pytest.mark.parametrize(
    "symbol, ty, code",
    [
        ("000001", None, "000001.SZ"),
        ("000001.XSHE", None, "000001.SZ"),
        ("000001", "index", "000001.SH"),
        ("IF2001", None, "IF2001"),
        ("IF2001", "futures", "IF2001.CFE"),
        ("if2001", "futures", "if2001"),
        ("999999", None, "999999"),
        ("sh600001", None, "sh600001"),
        ("1500", None, "150001.SZ"),
    ],
)
def test_normalize_symbol(proxy, symbol, ty, code):
    assert studybench.normalize_symbol(symbol, ty) == code


def test_normalize_symbol_without_digits_raises(proxy):
    with pytest.raises(AttributeError):
        studybench.normalize_symbol("abc")


@pytest.mark.parametrize(
    "kwargs, days",
    [
        ({"start_date": "20200106", "end_date": "20200110"},
         ["2020-01-06", "2020-01-07", "2020-01-08", "2020-01-09", "2020-01-10"]),
        ({"start_date": "20200104", "end_date": "20200107", "count": 1},
         ["2020-01-06", "2020-01-07"]),
        ({"end_date": "20200105", "count": 3}, ["2020-01-01", "2020-01-02", "2020-01-03"]),
        ({"end_date": "20191203", "count": 5}, ["2019-12-02", "2019-12-03"]),
        ({"start_date": "20200104", "end_date": None, "count": 3},
         ["2020-01-06", "2020-01-07", "2020-01-08"]),
        ({"start_date": "20200130", "end_date": None, "count": 5}, ["2020-01-30", "2020-01-31"]),
        ({"start_date": "20200106", "count": 3}, []),
    ],
)
def test_trade_days(proxy, kwargs, days):
    assert list(studybench.get_trade_days(**kwargs)) == [pd.Timestamp(d) for d in days]


def test_trade_days_counting_asks_the_proxy_for_the_nearest_trading_day(proxy):
    studybench.get_trade_days(end_date="20200105", count=3)
    studybench.get_trade_days(start_date="20200104", end_date="", count=3)
    assert proxy.calls == [("ensure_execution_day", pd.Timestamp("20200105"), -1, None),
                           ("ensure_execution_day", pd.Timestamp("20200104"), 1, None)]


@pytest.mark.parametrize("kwargs", [{"end_date": None}, {"end_date": "20200110", "count": 0}])
def test_trade_days_without_a_range_is_none(proxy, kwargs):
    assert studybench.get_trade_days(**kwargs) is None


def test_last_trade_day(proxy, monkeypatch):
    monkeypatch.setattr(proxy, "ensure_execution_day", lambda *args: args)
    today = pd.Timestamp.now().normalize()
    day, n, match_n = studybench.get_last_trade_day()
    assert (n, match_n) == (-1, -1)
    assert day in (today, pd.Timestamp.now().normalize())
    assert studybench.get_last_trade_day("2020-01-05 10:00", 2, 0) == (
        pd.Timestamp("2020-01-05"), 2, 0)
    assert studybench.get_last_trade_day("2020-01-05", n=3) == (pd.Timestamp("2020-01-05"), 3, 3)


def test_future_code(proxy, monkeypatch):
    assert studybench.get_future_code("IF", "2020-01-10 14:00") == ["IF2001.CFE"]
    assert proxy.calls == [("get_future_contracts", "IF", pd.Timestamp("2020-01-10"))]
    env = types.SimpleNamespace(trading_dt=datetime.datetime(2020, 1, 10, 9, 31))
    monkeypatch.setattr(studybench, "Environment", types.SimpleNamespace(_env=env))
    studybench.get_future_code("RB")
    assert proxy.calls[1:] == [("previous_execution_day", pd.Timestamp("2020-01-10 09:31")),
                               ("get_future_contracts", "RB", pd.Timestamp("2020-01-09"))]


@pytest.mark.parametrize(
    "keyword, codes",
    [
        ("stock", ["000001.SZ", "600001.SH"]),
        ("STOCK ", ["000001.SZ", "600001.SH"]),
        (" Fund", ["510001.SH", "160001.SZ", "150002.SZ", "150001.SZ"]),
        ("qdii", ["513001.SH"]),
        ("index", ["000001.SH"]),
    ],
)
def test_type_keywords_expand_to_codes(proxy, keyword, codes):
    assert studybench.get_all_symbol_filter("20200109", keyword) == codes


@pytest.mark.parametrize("value", [["stock", "000001.SZ"], "000001.SZ", "bond"])
def test_codes_and_lists_pass_through(proxy, value):
    assert studybench.get_all_symbol_filter("20200109", value) is value


def test_future_day_uses_the_trading_day_before_now(proxy, monkeypatch):
    asked = []
    monkeypatch.setattr(studybench, "get_all_securities",
                        lambda ty, date: asked.append((ty, date)) or pd.DataFrame(index=["X"]))
    assert studybench.get_all_symbol_filter("20991231", "fund") == ["X"] * 4
    expected = proxy.all_execution_days[-1].strftime("%Y%m%d")
    assert asked == [(ty, expected) for ty in ("etf", "lof", "fja", "fjb")]
    assert studybench.get_all_symbol_filter("20200109") == ["X"]
    assert asked[-1] == ("stock", "20200109")


# -- files, pushes, log level, usage ---------------------------------------------------------


def test_write_and_read_files(tmp_path):
    path = str(tmp_path / "notes.txt")
    assert studybench.write_file(path, "价格") == 6
    assert studybench.write_file(path, b"+1", append=True) == 2
    assert studybench.write_file(path, bytearray(b"!"), True) == 1
    assert studybench.read_file(path) == "价格+1!".encode("utf-8")
    assert studybench.write_file(path, "new") == 3
    assert studybench.read_file(path) == b"new"


# A file-size limit stands in for a full disk: each write crosses it halfway.
FULL_DISK = """
import os, resource, signal, sys
from varden.mod.kelpie.research import studybench

class Remote:
    def download_file(self, file):
        return b"r" * 200_000

studybench.kp_api = Remote()
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails with EFBIG instead
resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
folder = sys.argv[1]
for name, write in [
        ("over.txt", lambda path: studybench.write_file(path, "w" * 200_000)),
        ("more.txt", lambda path: studybench.write_file(path, b"a" * 200_000, append=True)),
        ("got.txt", lambda path: studybench.download_file("reports/got.txt", folder)),
        ("new.txt", lambda path: studybench.write_file(path, b"n" * 200_000))]:
    try:
        write(os.path.join(folder, name))
    except OSError as error:
        print(name, error.errno)
"""


def test_a_failed_write_keeps_the_old_file(tmp_path):
    old = bytes(range(256)) * 4
    for name in ("over.txt", "more.txt", "got.txt"):
        (tmp_path / name).write_bytes(old)
        (tmp_path / name).chmod(0o640)
    child = subprocess.run([sys.executable, "-c", FULL_DISK, str(tmp_path)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    assert child.stdout.split("\n")[:-1] == [
        f"{name} {errno.EFBIG}" for name in ("over.txt", "more.txt", "got.txt", "new.txt")]
    assert sorted(os.listdir(tmp_path)) == ["got.txt", "more.txt", "over.txt"]
    for name in ("over.txt", "more.txt", "got.txt"):
        assert (tmp_path / name).read_bytes() == old
        assert stat.S_IMODE((tmp_path / name).stat().st_mode) == 0o640


def test_an_overwrite_keeps_the_mode_and_the_link(tmp_path, api, monkeypatch):
    real, link = tmp_path / "real.txt", tmp_path / "link.txt"
    real.write_bytes(b"old")
    real.chmod(0o604)
    link.symlink_to(real)
    api.answers["download_file"] = b"remote"
    assert studybench.write_file(str(link), "new") == 3
    assert (link.is_symlink(), real.read_bytes(), stat.S_IMODE(real.stat().st_mode)) == (
        True, b"new", 0o604)
    assert studybench.download_file("link.txt", str(tmp_path)) == 6
    assert (link.is_symlink(), real.read_bytes()) == (True, b"remote")
    umask = os.umask(0o002)
    try:
        studybench.write_file(str(tmp_path / "fresh.txt"), "x")
    finally:
        os.umask(umask)
    assert stat.S_IMODE((tmp_path / "fresh.txt").stat().st_mode) == 0o664
    assert sorted(os.listdir(tmp_path)) == ["fresh.txt", "link.txt", "real.txt"]
    opened = []
    monkeypatch.setattr(studybench, "open", lambda *args: opened.append(args) or open(*args),
                        raising=False)
    studybench.write_file(str(real), "patched")
    assert opened == [(str(real), "wb")]


def test_content_that_is_no_bytes_leaves_the_file_alone(tmp_path):
    path = tmp_path / "keep.txt"
    path.write_bytes(b"kept")
    with pytest.raises(TypeError, match="a bytes-like object is required, not 'int'"):
        studybench.write_file(str(path), 5)
    assert path.read_bytes() == b"kept"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda d: studybench.read_file(str(d / "missing.txt")), FileNotFoundError),
        (lambda d: studybench.write_file(str(d / "no" / "such.txt"), "x"), FileNotFoundError),
        (lambda d: studybench.read_file(str(d)), IsADirectoryError),
        (lambda d: studybench.upload_file(str(d / "missing.csv")), FileNotFoundError),
    ],
)
def test_file_errors_propagate(tmp_path, api, call, error):
    with pytest.raises(error):
        call(tmp_path)
    assert api.calls == []


def test_remove_file_goes_to_the_kit_trash_functions(monkeypatch):
    trash, empty = CallLog(), CallLog()
    monkeypatch.setattr(studybench, "send2trash", lambda path: trash.send(path) or "trashed")
    monkeypatch.setattr(studybench, "send2empty", lambda path: empty.send(path))
    assert studybench.remove_file("a.csv") == "trashed"
    assert studybench.remove_file("b.csv", trash=False) is None
    assert studybench.remove_file("c.csv", 0) is None
    assert trash.calls == [("send", ("a.csv",), {})]
    assert empty.calls == [("send", ("b.csv",), {}), ("send", ("c.csv",), {})]


@pytest.mark.parametrize("folder, remote", [("reports", "reports/a.csv"), ("", "a.csv"),
                                            ("x/y/", "x/y/a.csv")])
def test_upload_sends_the_file_under_the_folder(tmp_path, api, folder, remote):
    local = tmp_path / "data" / "a.csv"
    local.parent.mkdir()
    local.write_bytes(b"a,b\n1,2\n")
    api.answers["upload_file"] = "stored"
    assert studybench.upload_file(str(local), folder) == "stored"
    assert api.calls == [("upload_file", (), {"file": remote, "data": b"a,b\n1,2\n"})]


def test_download_writes_the_local_file_after_the_download(tmp_path, api, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "out").mkdir()
    api.answers["download_file"] = b"remote bytes"
    assert studybench.download_file("reports/a.csv") == 12
    assert studybench.download_file("reports/a.csv", "out") == 12
    assert (tmp_path / "a.csv").read_bytes() == b"remote bytes"
    assert (tmp_path / "out" / "a.csv").read_bytes() == b"remote bytes"
    assert api.named("download_file") == [((), {"file": "reports/a.csv"})] * 2


@pytest.mark.parametrize("answer, error", [(RuntimeError("offline"), RuntimeError),
                                           ({"error": "no such file"}, TypeError)])
def test_failed_download_leaves_the_local_file_untouched(tmp_path, api, answer, error):
    api.answers["download_file"] = answer
    with pytest.raises(error):
        studybench.download_file("a.csv", str(tmp_path))
    assert not (tmp_path / "a.csv").exists()
    (tmp_path / "b.csv").write_bytes(b"old")
    with pytest.raises(error):
        studybench.download_file("b.csv", str(tmp_path))
    assert (tmp_path / "b.csv").read_bytes() == b"old"


def test_notify_push_defaults(api):
    api.answers["all_api"] = {"status": "ok"}
    assert studybench.notify_push("done") == {"status": "ok"}
    studybench.notify_push("x", "email", "s", ["a@b"], "u1", ["t"], 7)
    assert api.calls == [
        ("all_api", (), {"api_name": "notify_push", "content": "done", "channel": "wxpusher",
                         "subject": "Varden消息提醒", "email_list": None, "uids": None,
                         "topic_ids": None, "group_id": None}),
        ("all_api", (), {"api_name": "notify_push", "content": "x", "channel": "email",
                         "subject": "s", "email_list": ["a@b"], "uids": "u1",
                         "topic_ids": ["t"], "group_id": 7}),
    ]


LEVEL_MESSAGE = "set_log_level(level)使用方法错误，请查看API文档 level must is ('info','warn','error')"
FILE_MESSAGE = "set_log_level(filename)只在研究平台生效"


@pytest.mark.parametrize(
    "args, tofile, calls",
    [
        (("info",), None, [("set_limited", ("info", True))]),
        (("error", False), None, [("set_limited", ("error", False))]),
        (("debug",), None, [("warn", (LEVEL_MESSAGE,))]),
        (("debug", True, "a.log"), True,
         [("warn", (LEVEL_MESSAGE,)), ("set_tofile", ("a.log",))]),
        (("info", True, "a.log"), False,
         [("set_limited", ("info", True)), ("set_tofile", ("a.log",)), ("warn", (FILE_MESSAGE,))]),
        (("warn", True, "a.log"), None, [("set_limited", ("warn", True)),
                                         ("set_tofile", ("a.log",))]),
        (("warn", True, "a.log"), 0, [("set_limited", ("warn", True)),
                                      ("set_tofile", ("a.log",))]),
    ],
)
def test_set_log_level(monkeypatch, args, tofile, calls):
    log = CallLog(set_tofile=lambda name: tofile)
    monkeypatch.setattr(studybench, "log", log)
    assert studybench.set_log_level(*args) is None
    assert [(name, a) for name, a, _ in log.calls] == calls


@pytest.mark.parametrize("answer", [{"api_name": ["run_api"], "calls": [2]},
                                    [{"api_name": "run_api", "calls": 2}]])
def test_api_usage_is_a_frame(api, answer):
    api.answers["api_usage"] = answer
    frame = studybench.get_api_usage()
    assert frame.to_dict("records") == [{"api_name": "run_api", "calls": 2}]
    assert api.calls == [("api_usage", (), {})]
