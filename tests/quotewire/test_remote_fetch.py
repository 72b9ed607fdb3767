"""quotation_get_remote: dispatch, merge, and the rule that failures never reach the caller."""

import types

import numpy as np
import pandas as pd
import pytest

GETTERS = [
    "futures_daily_quotation_get",
    "futures_minute_quotation_get",
    "stock_daily_quotation_get",
    "stock_minute_quotation_get",
    "option_daily_quotation_get",
    "option_minute_quotation_get",
]

FIELDS = ["trade_date", "close", "volume"]


def ns(text):
    return pd.Timestamp(text).value


def block(rows=1):
    return np.array([[ns("2024-03-04"), 10.0, 100.0]] * rows, dtype=np.float64)


def test_module_names_in_import_order(qw):
    names = [n for n in vars(qw) if not n.startswith("__")]
    expected = [
        "np", "pd", "partial", "TTLCache", "system_log", "ExtraHDFStore",
        "INST_TYPE_IN_STOCK_ACCOUNT", "INST_TYPE_IN_FUTURE_ACCOUNT", "INST_TYPE_IN_OPTION_ACCOUNT",
        "FutureBaseDataRequest", "RealData", "StockBaseDataRequest", "OptionBaseDataRequest",
    ]
    assert names[: len(expected)] == expected
    for name in GETTERS + ["quotation_get_remote", "stock_base", "real_factor_cache",
                           "_real_factor", "_real_pre_field", "_data_fix", "_data_future_fix",
                           "_data_option_fix"]:
        assert name in names
    assert names.index("stock_base") < names.index("real_factor_cache") < names.index("_real_factor")
    assert qw.real_factor_cache.maxsize == 10240 and qw.real_factor_cache.ttl == 72000
    assert isinstance(qw.real_factor_cache, qw.TTLCache)


@pytest.mark.parametrize(
    "kind, fre, getter",
    [
        ("Future", "1d", "futures_daily_quotation_get"),
        ("Future", "1m", "futures_minute_quotation_get"),
        ("CS", "1d", "stock_daily_quotation_get"),
        ("ETF", "5m", "stock_minute_quotation_get"),
        ("Option", "1d", "option_daily_quotation_get"),
        ("Option", "1D", "option_minute_quotation_get"),
        ("Both", "1d", "futures_daily_quotation_get"),  # futures are tested first
    ],
)
def test_dispatch_calls_getter_with_fields_before_block(qw, layer, helpers, monkeypatch, kind,
                                                        fre, getter):
    monkeypatch.setattr(qw, "INST_TYPE_IN_FUTURE_ACCOUNT", ["Future", "Both"])
    monkeypatch.setattr(qw, "INST_TYPE_IN_STOCK_ACCOUNT", ["CS", "ETF", "Both"])
    calls, answer = [], object()
    for name in GETTERS:
        monkeypatch.setattr(qw, name, lambda *a, _n=name: calls.append((_n, a)) or answer)
    inst, data, fields = helpers.instrument(kind), block(), list(FIELDS)
    assert qw.quotation_get_remote(inst, "20240305", None, data, fre, fields) is answer
    assert calls == [(getter, (inst, "20240305", None, fields, data))]
    assert layer.log.entries == []


def test_keyword_call_and_argument_count(qw, layer, helpers):
    data = block()
    got = qw.quotation_get_remote(instrument=helpers.instrument("Index"), start_date=None,
                                  end_date=None, last_data=data, fre="1d", fields=FIELDS)
    assert got is data
    with pytest.raises(TypeError):
        qw.quotation_get_remote(helpers.instrument(), None, None, data, "1d")


def test_unknown_kind_returns_the_block_and_logs_nothing(qw, layer, helpers):
    data = block()
    assert qw.quotation_get_remote(helpers.instrument("Index"), None, None, data, "1d",
                                   FIELDS) is data
    assert layer.log.entries == [] and layer.reads == []


@pytest.mark.parametrize("result", [None, pd.DataFrame()])
@pytest.mark.parametrize("kind", ["CS", "Future", "Option"])
def test_nothing_fetched_returns_the_block(qw, layer, helpers, kind, result):
    layer.result = result
    data, fields = block(), list(FIELDS)
    assert qw.quotation_get_remote(helpers.instrument(kind), None, None, data, "1m", fields) is data
    assert fields == FIELDS and layer.log.entries == []


def test_failure_logs_once_and_returns_the_block(qw, layer, helpers, monkeypatch):
    def broken(*args):
        raise ValueError("feed closed")

    monkeypatch.setattr(qw, "stock_minute_quotation_get", broken)
    data = block()
    got = qw.quotation_get_remote(helpers.instrument("CS", "000001.SZ"), "20240305",
                                  pd.Timestamp("2024-03-05 10:00"), data, "1m", FIELDS)
    assert got is data
    assert layer.log.entries == [(
        ("quotation_get_remote_fail",),
        {"extra": {"symbol": "000001.SZ", "start_date": "20240305",
                   "end_date": "2024-03-05 10:00:00", "reason": "feed closed"}},
    )]
    assert list(layer.log.entries[0][1]["extra"]) == ["symbol", "start_date", "end_date", "reason"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_not_swallowed(qw, layer, helpers, monkeypatch, error):
    def interrupted(*args):
        raise error()

    monkeypatch.setattr(qw, "futures_daily_quotation_get", interrupted)
    with pytest.raises(error):
        qw.quotation_get_remote(helpers.instrument("Future"), None, None, block(), "1d", FIELDS)
    assert layer.log.entries == []


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class UnprintableDate:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize("instrument, start, error, extra", [
    (types.SimpleNamespace(enum_type="CS"), "20240305", ValueError("feed closed"),
     {"symbol": None, "start_date": "20240305", "reason": "feed closed"}),
    (None, "20240305", Unprintable(),
     {"symbol": "600000.SH", "start_date": "20240305", "reason": "Unprintable"}),
    (None, UnprintableDate(), Unprintable(),
     {"symbol": "600000.SH", "start_date": "UnprintableDate", "reason": "Unprintable"}),
])
def test_failure_handler_logs_what_it_cannot_read_as_a_placeholder(
        qw, layer, helpers, monkeypatch, instrument, start, error, extra):
    def broken(*args):
        raise error

    monkeypatch.setattr(qw, "stock_daily_quotation_get", broken)
    data = block()
    instrument = instrument or helpers.instrument()
    assert qw.quotation_get_remote(instrument, start, None, data, "1d", FIELDS) is data
    assert layer.log.entries == [(("quotation_get_remote_fail",),
                                  {"extra": dict(extra, end_date="None")})]


def test_a_failing_log_does_not_reach_the_caller(qw, layer, helpers, monkeypatch):
    def broken(*args, **kwargs):
        raise OSError("log closed")

    monkeypatch.setattr(qw, "stock_daily_quotation_get", broken)
    monkeypatch.setattr(layer.log, "error", broken)
    data = block()
    assert qw.quotation_get_remote(helpers.instrument(), None, None, data, "1d", FIELDS) is data


def test_kind_test_failure_is_logged(qw, layer, monkeypatch):
    class NoKind:
        order_book_id = "IF2403.CFE"

        @property
        def enum_type(self):
            raise AttributeError("no kind")

    data = block()
    assert qw.quotation_get_remote(NoKind(), None, None, data, "1d", FIELDS) is data
    assert layer.log.entries[0][1]["extra"]["reason"] == "no kind"


def test_empty_block_is_logged_with_the_index_error(qw, layer, helpers):
    data = np.empty((0, 3))
    with pytest.raises(IndexError) as expected:
        data[-1]
    fields = list(FIELDS)
    assert qw.quotation_get_remote(helpers.instrument(), None, None, data, "1d", fields) is data
    assert [e[1]["extra"]["reason"] for e in layer.log.entries] == [str(expected.value)]
    assert fields == FIELDS


@pytest.mark.parametrize("kind", ["CS", "Future", "Option"])
def test_missing_column_is_logged_and_fields_unchanged(qw, layer, helpers, kind):
    layer.records = [{"trade_date": pd.Timestamp("2024-03-05 10:01"), "ticker": "600000",
                      "close": 10.1, "volume": 5.0}]
    fields = ["trade_date", "close", "no_such_column"]
    data = np.array([[ns("2024-03-04"), 10.0, 1.0]])
    assert qw.quotation_get_remote(helpers.instrument(kind), None, None, data, "1m", fields) is data
    assert fields == ["trade_date", "close", "no_such_column"]
    assert len(layer.log.entries) == 1 and "no_such_column" in layer.log.entries[0][1]["extra"]["reason"]


def test_column_count_mismatch_is_logged(qw, layer, helpers):
    layer.records = [{"trade_date": pd.Timestamp("2024-03-05 10:01"), "close": 10.1}]
    data = np.array([[ns("2024-03-04"), 10.0, 1.0]])
    assert qw.quotation_get_remote(helpers.instrument("Future"), None, None, data, "1m",
                                   ["trade_date", "close"]) is data
    assert len(layer.log.entries) == 1


@pytest.mark.parametrize(
    "kind, fre, bar, expected",
    [
        ("CS", "1d", "2024-03-05 15:00", "2024-03-05 00:00"),
        ("Future", "1d", "2024-03-05 15:00", "2024-03-05 00:00"),
        ("CS", "1m", "2024-03-05 14:59", "2024-03-05 14:59"),
        ("Future", "5m", "2024-03-05 14:55", "2024-03-05 14:55"),
        ("Option", "1m", "2024-03-05 14:59", "2024-03-05 14:59"),
    ],
)
def test_date_column_alone(qw, layer, helpers, kind, fre, bar, expected):
    layer.records = [{"trade_date": pd.Timestamp(bar), "ticker": "600000", "close": 10.5,
                      "volume": 3.0}]
    data = np.array([[ns("2024-03-04")]], dtype=np.int64)
    fields = ["trade_date"]
    got = qw.quotation_get_remote(helpers.instrument(kind), "20240305", "20240305", data, fre,
                                  fields)
    assert got.shape == (2, 1) and got.dtype == np.int64
    assert got[:, 0].tolist() == [ns("2024-03-04"), ns(expected)]
    assert fields == ["trade_date"]


def test_option_daily_encodes_the_date_column(qw, layer, helpers):
    layer.records = [{"trade_date": pd.Timestamp("2024-03-05 15:00"), "close": 0.25,
                      "volume": 10.0, "turnover": 30000.0}]
    fields = ["date", "close", "avg_price"]
    data = np.array([[ns("2024-03-04"), 0.2, 0.3]])
    got = qw.quotation_get_remote(helpers.instrument("Option"), None, None, data, "1d", fields)
    assert got.tolist() == [[ns("2024-03-04"), 0.2, 0.3], [ns("2024-03-05"), 0.25, 0.3]]
    assert fields == ["date", "close", "avg_price"]


def test_merge_follows_field_order_and_reads_last_row(qw, layer, helpers):
    layer.records = [
        {"trade_date": pd.Timestamp("2024-03-05 21:01"), "close": 3500.0, "settle": 0.0},
        {"trade_date": pd.Timestamp("2024-03-05 21:02"), "close": 3510.0, "settle": 3505.0},
    ]
    fields = ["settle", "change", "trade_date"]
    data = np.array([[3000.0, 0.0, ns("2024-03-03")], [3490.0, 5.0, ns("2024-03-04")]])
    got = qw.futures_minute_quotation_get(helpers.instrument("Future"), None, None, fields, data)
    assert got[2:].tolist() == [
        [3500.0, 10.0, ns("2024-03-05 21:01")],
        [3505.0, 20.0, ns("2024-03-05 21:02")],
    ]
    assert got[:2].tolist() == data.tolist()


@pytest.mark.parametrize(
    "getter, kind, date_type",
    [
        ("stock_daily_quotation_get", "Stock", "daily"),
        ("stock_minute_quotation_get", "Stock", "minute"),
        ("futures_daily_quotation_get", "Future", "daily"),
        ("futures_minute_quotation_get", "Future", "minute"),
        ("option_daily_quotation_get", "Option", "daily"),
        ("option_minute_quotation_get", "Option", "minute"),
    ],
)
def test_getter_builds_request_and_reader(qw, layer, helpers, getter, kind, date_type):
    inst = helpers.instrument({"Stock": "CS"}.get(kind, kind))
    fields = ["trade_date", "close"]
    data = np.array([[ns("2024-03-04"), 10.0]])
    layer.result = None
    assert getattr(qw, getter)(inst, "20240305", None, fields, data) is data
    (request,) = layer.requests
    assert request.kind == kind and request.instrument is inst and request.extra == {}
    fix = request.data_fix_fn
    assert isinstance(fix, qw.partial) and fix.args == ()
    expected_fn = {"Stock": qw._data_fix, "Future": qw._data_future_fix,
                   "Option": qw._data_option_fix}[kind]
    assert fix.func is expected_fn
    bound = dict(fix.keywords)
    reference = bound.pop("last_data")
    if getter == "stock_minute_quotation_get":
        assert bound == {"rm_mins": ["0930"]}
    else:
        assert bound == {}
    expected_ref = {"trade_date": ns("2024-03-04"), "close": 10.0}
    if kind == "Stock":
        expected_ref["order_book_id"] = "600000.SH"
    assert reference == expected_ref
    ((log, req, start, end, dtype),) = layer.reads
    assert log is layer.log and req is request and dtype == date_type
    assert start == pd.Timestamp("2024-03-05") and isinstance(start, pd.Timestamp)
    assert end is pd.NaT
    assert fields == ["trade_date", "close"]


@pytest.mark.parametrize("getter", ["option_daily_quotation_get", "option_minute_quotation_get"])
def test_option_getters_do_not_share_the_field_list(qw, layer, helpers, getter, monkeypatch):
    seen = []

    class Frame:
        empty = False

        def __init__(self):
            self.columns = {}

        def __getitem__(self, key):
            seen.append(key)
            if isinstance(key, list):
                return pd.DataFrame({"trade_date": [ns("2024-03-05")], "date": [ns("2024-03-05")],
                                     "close": [1.0]})[key]
            return pd.Series([pd.Timestamp("2024-03-05 10:00")])

        def __setitem__(self, key, value):
            self.columns[key] = value

    layer.result = Frame()
    fields = ["trade_date", "date", "close"]
    data = np.array([[ns("2024-03-04"), ns("2024-03-04"), 1.0]])
    qw_result = getattr(qw, getter)(helpers.instrument("Option"), None, None, fields, data)
    assert qw_result.shape == (2, 3)
    assert seen[-1] == fields and seen[-1] is not fields


def test_stock_base_passes_extra_keywords(qw, layer, helpers):
    layer.result = "frame"
    inst = helpers.instrument()
    assert qw.stock_base(inst, "20240301", end_dt="20240305", flag=1) == "frame"
    (request,) = layer.requests
    assert request.instrument is inst and request.extra == {"flag": 1}
    (read,) = layer.reads
    assert read[2:] == (pd.Timestamp("20240301"), pd.Timestamp("20240305"), "minute")
    assert qw.stock_base(inst) == "frame"
    assert layer.reads[1][2] is pd.NaT and layer.reads[1][4] == "minute"
    with pytest.raises(TypeError):
        qw.stock_base(inst, None, None, "daily", "extra")
