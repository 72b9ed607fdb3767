import datetime as dt

import pandas as pd
import pytest

T = pd.Timestamp


@pytest.mark.parametrize("date, n, match_n, expected", [
    # a trading day stays, or moves by match_n
    ("2024-03-05", -1, None, "2024-03-05"),
    ("2024-03-05", 1, None, "2024-03-05"),
    ("2024-03-05 14:30", -1, None, "2024-03-05"),
    ("2024-03-05", -1, -1, "2024-03-04"),
    ("2024-03-05", 1, 1, "2024-03-06"),
    ("2024-03-05", -1, -2, "2024-03-01"),
    ("2024-03-05", 5, 0, "2024-03-05"),
    # a weekend day moves by n; match_n plays no part
    ("2024-03-09", -1, None, "2024-03-08"),
    ("2024-03-09", 1, None, "2024-03-11"),
    ("2024-03-09", -2, None, "2024-03-07"),
    ("2024-03-09", 2, None, "2024-03-12"),
    ("2024-03-09", -1, 5, "2024-03-08"),
    # the spring festival closure (2024-02-09 to 02-15)
    ("2024-02-12", -1, None, "2024-02-08"),
    ("2024-02-12", 1, None, "2024-02-16"),
    ("2024-10-03", 1, None, "2024-10-08"),
])
def test_ensure_execution_day_moves(proxy, date, n, match_n, expected):
    assert proxy.ensure_execution_day(T(date), n, match_n) == T(expected)


def test_ensure_execution_day_rejects_bad_input(proxy):
    with pytest.raises(ValueError, match="no trading day; n must not be 0"):
        proxy.ensure_execution_day(T("2024-03-09"), 0)
    with pytest.raises(ValueError, match="outside the trading calendar"):
        proxy.ensure_execution_day(T("2014-12-31"), -1)
    first = proxy.all_execution_days[0]
    with pytest.raises(ValueError, match="leaves the calendar"):
        proxy.ensure_execution_day(first, -1, -1)
    with pytest.raises(TypeError):
        proxy.ensure_execution_day(T("2024-03-05"), 1.5)


@pytest.mark.parametrize("ts, expected", [
    ("2024-03-05 14:30", "2024-03-04"),
    ("2024-03-04", "2024-03-01"),
    ("2024-03-10", "2024-03-08"),
    ("2024-02-16 09:00", "2024-02-08"),
])
def test_previous_execution_day(proxy, ts, expected):
    assert proxy.previous_execution_day(T(ts)) == T(expected)


def test_previous_execution_day_needs_a_day_inside_the_calendar(proxy):
    with pytest.raises(ValueError, match="leaves the calendar"):
        proxy.previous_execution_day(proxy.all_execution_days[0])
    end = proxy.all_execution_days[-1].year
    with pytest.raises(ValueError, match="outside the trading calendar"):
        proxy.previous_execution_day(T(f"{end + 1}-01-01"))


def test_calendar_covers_today_and_skips_closed_days(proxy):
    days = proxy.all_execution_days
    assert isinstance(days, pd.DatetimeIndex)
    assert days.is_monotonic_increasing and days.is_unique
    assert days[0] == T("2015-01-02")
    assert days[-1].year == dt.date.today().year + 1
    assert not (days.day_of_week >= 5).any()
    assert T("2024-10-01") not in days and T("2024-01-01") not in days
    assert proxy.all_execution_days is days  # one object until the store is rebuilt


@pytest.mark.parametrize("underlying, day, expected", [
    ("IF", "2024-06-03", ["IF2406.CFE", "IF2409.CFE", "IF2412.CFE", "IF2503.CFE"]),
    ("if", "2024-06-24", ["IF2409.CFE", "IF2412.CFE", "IF2503.CFE"]),
    ("RB", "2024-05-16", ["RB2410.SHF", "RB2501.SHF", "RB2505.SHF"]),
    (" rb", "2024-05-15", ["RB2405.SHF", "RB2410.SHF", "RB2501.SHF"]),
])
def test_future_contracts_listed_on_a_day(proxy, underlying, day, expected):
    assert proxy.get_future_contracts(underlying, T(day)) == expected


def test_future_contracts_of_an_unknown_underlying(proxy):
    with pytest.raises(ValueError, match="unknown futures underlying: 'ZZ'"):
        proxy.get_future_contracts("ZZ", T("2024-06-03"))


def test_instruments_by_code(proxy):
    inst = proxy.instruments("300999.SZ")
    assert (inst.order_book_id, inst.type, inst.enum_type) == ("300999.SZ", "stock", "CS")
    assert inst.start_date == T("2020-10-15")
    with pytest.raises(ValueError, match="unknown instrument code: '999999.SZ'"):
        proxy.instruments("999999.SZ")
