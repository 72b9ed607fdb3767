import pandas as pd
import pytest

from varden.mod.stock.data import intraday
from varden.mod.stock.data.real_data import (
    FutureBaseDataRequest, OptionBaseDataRequest, RealData, StockBaseDataRequest,
)

NAT = pd.NaT


def at(day, clock):
    """``day`` plus a clock time "HH:MM" or a Timedelta text such as "-1 days"."""
    return day + pd.Timedelta(clock + ":00" if len(clock) == 5 else clock)


class RecordingFix:
    """A record fix that records its calls, drops chosen minutes and marks what it keeps."""

    def __init__(self, discard=(), fail=()):
        self.calls = []
        self.discard, self.fail = discard, fail

    def __call__(self, record, **kwargs):
        self.calls.append((record["trade_date"].strftime("%H%M"), kwargs))
        if record["trade_date"].strftime("%H%M") in self.discard:
            raise Exception("useless value.")
        if record["trade_date"].strftime("%H%M") in self.fail:
            raise ZeroDivisionError("float division by zero")
        return dict(record, fixed=len(self.calls))


def test_stock_fix_gets_the_previous_kept_record_and_drops_on_exceptions(source, last_day,
                                                                        system_log):
    fix = RecordingFix(discard=("0930",), fail=("0932",))
    request = StockBaseDataRequest(source.instrument("000001.SZ"), data_fix_fn=fix, channel="l1")
    frame = RealData(system_log, request, now=at(last_day, "09:33:40")).get_real_data(
        last_day, last_day, "minute")

    assert [c[0] for c in fix.calls] == ["0930", "0931", "0932", "0933"]
    assert fix.calls[0][1] == {"last_symbol_dict": {}}
    assert fix.calls[1][1] == {"last_symbol_dict": {}}  # 09:30 was dropped
    kept_0931 = fix.calls[2][1]["last_symbol_dict"]
    assert kept_0931["fixed"] == 2 and kept_0931["trade_date"] == at(last_day, "09:31")
    assert fix.calls[3][1]["last_symbol_dict"] is kept_0931  # 09:32 failed, 09:31 stays last

    assert list(frame["trade_date"]) == [at(last_day, "09:31"), at(last_day, "09:33")]
    assert list(frame["fixed"]) == [2, 4]
    assert list(frame.columns[:8]) == ["trade_date", "ticker", "open", "close", "high", "low",
                                       "volume", "turnover"]
    assert set(frame["ticker"]) == {"000001"}
    # only the real failure is logged; the discard signal is silent
    assert system_log.calls == [("info", "real_data_fix_fail", {
        "symbol": "000001.SZ", "trade_date": str(at(last_day, "09:32")),
        "reason": "ZeroDivisionError('float division by zero')"})]
    assert request.extra_params == {"channel": "l1"}


def test_futures_fix_gets_the_record_alone(source, proxy, last_day, system_log):
    code = proxy.get_future_contracts("RB", last_day)[0]
    seen = []

    def fix(record):
        seen.append(record["trade_date"])
        if len(seen) == 1:
            raise Exception("useless value.")
        return record

    request = FutureBaseDataRequest(source.instrument(code), data_fix_fn=fix)
    frame = RealData(system_log, request, now=at(last_day, "09:01")).get_real_data(
        last_day, NAT, "minute")
    night_start = at(proxy.previous_execution_day(last_day), "21:00")
    assert seen[0] == night_start and seen[-1] == at(last_day, "09:01")
    assert len(seen) == 121 + 2
    assert len(frame) == len(seen) - 1
    assert frame["trade_date"].iloc[0] == night_start + pd.Timedelta("1min")
    assert {"settle", "open_interest"} <= set(frame.columns)
    assert system_log.calls == []


def test_option_fix_gets_the_previous_kept_record(source, last_day, system_log):
    listed = source.instruments_df
    code = listed[(listed["type"] == "option") & (listed["start_date"] < last_day)
                  & (listed["end_date"] >= last_day)]["order_book_id"].iloc[0]
    previous = []

    def fix(record, last_symbol_dict):
        previous.append(last_symbol_dict)
        return {"trade_date": record["trade_date"], "n": len(previous)}

    request = OptionBaseDataRequest(source.instrument(code), data_fix_fn=fix)
    frame = RealData(system_log, request, now=at(last_day, "09:32")).get_real_data(
        NAT, NAT, "minute")
    assert previous[0] == {} and [p["n"] for p in previous[1:]] == [1, 2]
    assert list(frame.columns) == ["trade_date", "n"] and list(frame["n"]) == [1, 2, 3]


def test_option_records_carry_the_option_fields(source, last_day):
    listed = source.instruments_df
    code = listed[(listed["type"] == "option") & (listed["start_date"] < last_day)
                  & (listed["end_date"] >= last_day)]["order_book_id"].iloc[0]
    record = intraday.live_records(code, "minute", at(last_day, "09:45"))[-1]
    assert set(record) == {"trade_date", "ticker", "open", "close", "high", "low", "volume",
                           "turnover", "settle", "open_interest", "delta", "implied_volatility",
                           "exercise_amount", "volume_num"}


@pytest.mark.parametrize("start, end, clocks", [
    (NAT, NAT, ["0930", "0931", "0932", "0933"]),
    ("09:31", "09:32", ["0931", "0932"]),
    ("00:00", "00:00", ["0930", "0931", "0932", "0933"]),  # whole days
    ("-1 days", "-1 days", []),
    ("+1 days", NAT, []),
])
def test_range_of_the_request(source, last_day, system_log, start, end, clocks):
    request = StockBaseDataRequest(source.instrument("600001.SH"))
    start = NAT if start is NAT else at(last_day, start)
    end = NAT if end is NAT else at(last_day, end)
    frame = RealData(system_log, request, now=at(last_day, "09:33")).get_real_data(
        start, end, "minute")
    if not clocks:
        assert frame is None
    else:
        assert [t.strftime("%H%M") for t in frame["trade_date"]] == clocks


@pytest.mark.parametrize("code, stamp", [("000001.SZ", "15:00"), ("RB", "00:00")])
def test_daily_record(source, proxy, last_day, system_log, code, stamp):
    if code == "RB":
        code = proxy.get_future_contracts("RB", last_day)[0]
    request = StockBaseDataRequest(source.instrument(code))
    now = at(last_day, "10:00")
    # an end at the current minute still takes the day's record, stamped at its bar time
    frame = RealData(system_log, request, now=now).get_real_data(last_day, now, "daily")
    minutes = intraday.live_records(code, "minute", now)
    assert len(frame) == 1 and frame["trade_date"].iloc[0] == at(last_day, stamp)
    assert frame["volume"].iloc[0] == sum(m["volume"] for m in minutes)
    assert frame["close"].iloc[0] == minutes[-1]["close"]
    assert frame["high"].iloc[0] == max(m["high"] for m in minutes)


def test_no_session_before_the_open_or_on_a_closed_day(source, last_day, system_log):
    request = StockBaseDataRequest(source.instrument("000001.SZ"))
    assert RealData(system_log, request, now=at(last_day, "09:29")).get_real_data(
        NAT, NAT, "minute") is None
    assert RealData(system_log, request, now=pd.Timestamp("2024-03-09 10:00")).get_real_data(
        NAT, NAT, "daily") is None


def test_fix_must_return_the_record(source, last_day, system_log):
    request = StockBaseDataRequest(source.instrument("000001.SZ"),
                                   data_fix_fn=lambda record, last_symbol_dict: None)
    with pytest.raises(TypeError, match="returned NoneType, not the record mapping"):
        RealData(system_log, request, now=at(last_day, "09:40")).get_real_data(NAT, NAT, "minute")


def test_bad_date_type(source, system_log):
    request = StockBaseDataRequest(source.instrument("000001.SZ"))
    with pytest.raises(ValueError, match="date_type must be one of"):
        RealData(system_log, request).get_real_data(NAT, NAT, "tick")
