"""The sandbox data service's sample endpoints over the embedded sample store."""

import pandas as pd
import pytest

from varden.mod.stock.data import sample_store
from varden.sandbox.dataservice import ServiceError
from varden.sandbox.fundquery import Filter, QueryError, parse_query


def store_rows(sql, *params):
    connection = sample_store.open_store()
    try:
        return connection.execute(sql, params).fetchall()
    finally:
        connection.close()


def call(_service, _endpoint, **kwargs):
    return _service.handlers[_endpoint]("demo", **kwargs)


def refused(_service, _endpoint, **kwargs):
    with pytest.raises(ServiceError) as caught:
        call(_service, _endpoint, **kwargs)
    return caught.value.status, caught.value.message


@pytest.mark.parametrize("text, fields, filters, limit, offset", [
    ("query(valuation).filter()", [("valuation", None)], [], None, None),
    ("query(valuation.symbol, valuation.pe_ratio).filter(valuation.pe_ratio>=10.5, "
     "valuation.symbol!='a,b)').limit(10).offset(20)",
     [("valuation", "symbol"), ("valuation", "pe_ratio")],
     [Filter("valuation", "pe_ratio", ">=", 10.5), Filter("valuation", "symbol", "!=", "a,b)")],
     10, 20),
    ("query(valuation).filter(valuation.symbol.in_(['000001.SZ', '000002.SZ']), "
     "valuation.pe_ratio.is_(None))", [("valuation", None)],
     [Filter("valuation", "symbol", "in_", ["000001.SZ", "000002.SZ"]),
      Filter("valuation", "pe_ratio", "is_", None)], None, None),
    ("query(valuation).filter().limit(0)", [("valuation", None)], [], 0, None),
])
def test_parse_query(text, fields, filters, limit, offset):
    query = parse_query(text)
    assert (query.fields, query.filters, query.limit, query.offset) == (
        fields, filters, limit, offset)


@pytest.mark.parametrize("text", [
    "__import__('os').system('true')",
    "query(valuation).filter(valuation.symbol==__import__('os').getcwd())",
    "query(valuation).filter(valuation.symbol=='x'); import os",
    "query(valuation).filter(valuation.symbol=='x'",
    "query(valuation).filter().limit(-1)",
    "query(valuation()).filter()",
])
def test_parse_query_refuses_anything_else(text):
    with pytest.raises(QueryError):
        parse_query(text)


def test_fundamentals_symbol_filter_on_the_latest_day(data_service):
    latest = store_rows("SELECT MAX(date) FROM valuation")[0][0]
    frame = call(data_service, "get_fundamentals",
                 query_object="query(valuation).filter(valuation.symbol=='000001.SZ')",
                 date=None, statDate=None, latest=False)
    expected = store_rows("SELECT * FROM valuation WHERE symbol = '000001.SZ' AND date = ?",
                          latest)
    assert list(frame.columns) == ["symbol", "date", "pe_ratio", "pb_ratio", "ps_ratio",
                                   "market_cap", "circulating_market_cap", "turnover_ratio"]
    assert [tuple(row) for row in frame.astype({"date": str}).itertuples(index=False)] == expected


@pytest.mark.parametrize("date, stat_date, day", [
    ("2024-01-06", None, "2024-01-05"),  # a Saturday: the trading day before
    (pd.Timestamp("2024-01-05"), None, "2024-01-05"),
    (None, "2024q2", "2024-06-28"),
    (None, "2023", "2023-12-29"),
])
def test_fundamentals_of_a_day_or_period(data_service, date, stat_date, day):
    frame = call(data_service, "get_fundamentals",
                 query_object="query(valuation.symbol, valuation.date)"
                              ".filter(valuation.symbol.in_(['000001.SZ', '600001.SH']))",
                 date=date, statDate=stat_date, latest=False)
    assert frame["symbol"].tolist() == ["000001.SZ", "600001.SH"]
    assert set(frame["date"].dt.strftime("%Y-%m-%d")) == {day}


def test_fundamentals_limit_offset_and_comparisons(data_service):
    everything = call(data_service, "get_fundamentals",
                      query_object="query(valuation.symbol).filter(valuation.pe_ratio>0)",
                      date="2024-01-05", latest=False)
    page = call(data_service, "get_fundamentals",
                query_object="query(valuation.symbol).filter(valuation.pe_ratio>0)"
                             ".limit(2).offset(1)", date="2024-01-05")
    assert page["symbol"].tolist() == everything["symbol"].tolist()[1:3]


@pytest.mark.parametrize("kwargs, status, message", [
    ({"query_object": "query(balance).filter()"}, 400, "不支持的表: balance"),
    ({"query_object": "select * from valuation"}, 400, "查询语句无法解析"),
    ({"query_object": "query(valuation).filter(valuation.nope==1)"}, 400, "unknown column"),
    ({"query_object": "query(valuation).filter()", "date": "20240105", "statDate": "2024"},
     400, "date 和 statDate 不能同时设置"),
    ({"query_object": "query(valuation).filter()", "statDate": "2024h1"}, 400, "statDate"),
])
def test_fundamentals_refusals(data_service, kwargs, status, message):
    got_status, got_message = refused(data_service, "get_fundamentals", **kwargs)
    assert got_status == status and message in got_message


def test_run_api_runs_the_query_line(data_service):
    code = "df = run_query(query(valuation).filter(valuation.symbol=='000001.SZ'))"
    frame = call(data_service, "run_api", code=code, name="df")
    assert frame["symbol"].tolist() == ["000001.SZ"]
    assert refused(data_service, "run_api", code=code, name="x") == (400, "变量 x 未定义")
    assert refused(data_service, "run_api", code="import os", name="df")[0] == 400


def candles(service, securities, **kwargs):
    arguments = dict(securities=securities, end_date="20240105 15:00:00", fre_step="1d",
                     fields=None, skip_paused=False, fq="pre", bar_count=0)
    arguments.update(kwargs)
    return call(service, "all_api", api_name="get_candle_stick", **arguments)


def test_candle_stick_of_one_code(data_service):
    frame = candles(data_service, "000001.SZ", bar_count=3, fq=None)
    rows = store_rows("SELECT date, open, close, high, low, volume, turnover FROM daily_bars "
                      "WHERE symbol = '000001.SZ' AND date <= '2024-01-05' "
                      "ORDER BY date DESC LIMIT 3")[::-1]
    assert list(frame.columns) == ["open", "close", "high", "low", "volume", "turnover"]
    assert frame.index.strftime("%Y-%m-%d").tolist() == [r[0] for r in rows]
    assert frame.values.tolist() == [list(r[1:]) for r in rows]


def test_candle_stick_adjustment(data_service):
    raw = candles(data_service, "000001.SZ", fields=["close", "factor"], fq=None)
    pre = candles(data_service, "000001.SZ", fields=["close"], fq="pre")
    post = candles(data_service, "000001.SZ", fields=["close"], fq="post")
    factor = raw["factor"]
    assert pre["close"].tolist() == pytest.approx(
        (raw["close"] * factor / factor.iloc[-1]).tolist())
    assert post["close"].tolist() == pytest.approx((raw["close"] * factor).tolist())
    assert pre["close"].iloc[-1] == raw["close"].iloc[-1]


def test_candle_stick_of_several_codes_with_multi_day_bars(data_service):
    daily = candles(data_service, ["000001.SZ", "600001.SH"], fields=["open", "high", "volume"],
                    bar_count=10)
    weekly = candles(data_service, ["000001.SZ", "600001.SH"], fre_step="5d",
                     fields=["open", "high", "volume"], bar_count=2)
    assert list(weekly) == ["000001.SZ", "600001.SH"]
    for code, frame in weekly.items():
        days = daily[code]
        assert frame.index.tolist() == [days.index[4], days.index[9]]
        assert frame["open"].tolist() == [days["open"].iloc[0], days["open"].iloc[5]]
        assert frame["high"].tolist() == [days["high"].iloc[:5].max(), days["high"].iloc[5:].max()]
        assert frame["volume"].tolist() == [days["volume"].iloc[:5].sum(),
                                            days["volume"].iloc[5:].sum()]


def test_candle_stick_skips_paused_days(data_service):
    symbol, day = store_rows("SELECT symbol, date FROM daily_bars WHERE is_paused = 1 "
                             "ORDER BY date LIMIT 1")[0]
    end = pd.Timestamp(day).strftime("%Y%m%d 15:00:00")
    kept = candles(data_service, symbol, end_date=end, skip_paused=False)
    skipped = candles(data_service, symbol, end_date=end, skip_paused=True)
    assert day in kept.index.strftime("%Y-%m-%d")
    assert day not in skipped.index.strftime("%Y-%m-%d")
    assert len(kept) - len(skipped) == store_rows(
        "SELECT COUNT(*) FROM daily_bars WHERE symbol = ? AND date <= ? AND is_paused = 1",
        symbol, day)[0][0]


@pytest.mark.parametrize("kwargs, message", [
    ({"fre_step": "1m"}, "沙盒只有日线数据"),
    ({"fre_step": "d"}, "fre_step 格式错误"),
    ({"fields": ["close", "nope"]}, "不支持的字段: nope"),
    ({"fre_step": "5d", "fields": ["close", "prev_close"]}, "step 大于 1 时只支持字段"),
    ({"fq": "both"}, "fq 只能是"),
    ({"end_date": "not a date"}, "end_date 不是日期"),
])
def test_candle_stick_refusals(data_service, kwargs, message):
    with pytest.raises(ServiceError) as caught:
        candles(data_service, "000001.SZ", **kwargs)
    assert caught.value.status == 400 and message in caught.value.message


def test_reference_endpoints(data_service):
    assert call(data_service, "trading_dates", start_date="20240101", end_date="20240105") == [
        "2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"]
    etfs = call(data_service, "instruments", type="etf")
    assert set(etfs["type"]) == {"etf"} and "510050.SH" in etfs["symbol"].tolist()
    assert call(data_service, "instruments", symbols="000001.SZ")["name"].tolist() == ["平远银行"]
    industries = call(data_service, "extra_hdf_store", key="symbol_industry")
    assert "000001.SZ" in industries["symbol"].tolist()
    assert refused(data_service, "extra_hdf_store", key="sqlite_master")[0] == 404
    array = call(data_service, "data_array", security="000001.SZ", fields=["close"],
                 end_date="20240105", bar_count=2)
    assert array["fields"] == ["date", "close"]
    assert [row[0] for row in array["rows"]] == ["2024-01-04", "2024-01-05"]
    assert refused(data_service, "trade_api", order="buy")[0] == 501
