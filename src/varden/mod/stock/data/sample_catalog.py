"""Stand-in: the sample store's trading calendar and instrument list (fixed tables, no
randomness)."""

import datetime as dt
import zlib

CALENDAR_START = dt.date(2015, 1, 1)
STILL_LISTED = dt.date(2099, 12, 31)

# Lunar new year's day; the exchanges close from its eve for a week. Later years fall back to
# the first Monday of February, which is close enough for a sample calendar.
_SPRING_FESTIVAL = {
    2015: (2, 19), 2016: (2, 8), 2017: (1, 28), 2018: (2, 16), 2019: (2, 5), 2020: (1, 25),
    2021: (2, 12), 2022: (2, 1), 2023: (1, 22), 2024: (2, 10), 2025: (1, 29), 2026: (2, 17),
    2027: (2, 6), 2028: (1, 26), 2029: (2, 13), 2030: (2, 3), 2031: (1, 23), 2032: (2, 11),
}


def stable_seed(*parts):
    """A seed that depends only on the text of ``parts`` (Python's hash() is salted)."""
    return zlib.crc32(":".join(str(p) for p in parts).encode())


def _spring_festival(year):
    if year in _SPRING_FESTIVAL:
        return dt.date(year, *_SPRING_FESTIVAL[year])
    first = dt.date(year, 2, 1)
    return first + dt.timedelta(days=(7 - first.weekday()) % 7)


def holidays(year):
    days = {dt.date(year, 1, 1), dt.date(year, 4, 4), dt.date(year, 4, 5)}
    days.update(dt.date(year, 5, d) for d in (1, 2, 3))
    days.update(dt.date(year, 10, d) for d in range(1, 8))
    eve = _spring_festival(year) - dt.timedelta(days=1)
    days.update(eve + dt.timedelta(days=i) for i in range(7))
    return days


def trading_days(start, end):
    """Weekdays from start to end (both included) that are no holiday, ascending."""
    out, day, closed = [], start, {}
    while day <= end:
        if day.year not in closed:
            closed[day.year] = holidays(day.year)
        if day.weekday() < 5 and day not in closed[day.year]:
            out.append(day)
        day += dt.timedelta(days=1)
    return out


def calendar_end(today):
    return dt.date(today.year + 1, 12, 31)


def bars_start(today):
    """The store keeps daily bars from January 1st three years before the build year; the
    series themselves run from the calendar start so that kept values never move."""
    return dt.date(today.year - 3, 1, 1)


def _d(text):
    return dt.date.fromisoformat(text) if text else STILL_LISTED


# code, name, type, enum_type, exchange, listed, delisted, base price, daily sigma,
# float shares (100 million), special treatment since
_SPOT = [
    ("600001.SH", "华锦银行", "stock", "CS", "XSHG",
     "1999-11-10", None, 9.8, 0.016, 180.0, None),
    ("600002.SH", "申泰化工", "stock", "CS", "XSHG",
     "2001-05-08", "2016-06-30", 6.2, 0.022, 8.0, None),
    ("601001.SH", "东岳能源", "stock", "CS", "XSHG",
     "2007-09-25", None, 15.4, 0.018, 42.0, None),
    ("603001.SH", "明川科技", "stock", "CS", "XSHG",
     "2018-03-12", None, 22.5, 0.026, 2.4, None),
    ("688001.SH", "启衡芯片", "stock", "CS", "XSHG",
     "2019-07-22", None, 48.0, 0.032, 1.6, None),
    ("000001.SZ", "平远银行", "stock", "CS", "XSHE",
     "1991-04-03", None, 11.2, 0.017, 190.0, None),
    ("000002.SZ", "宏图置业", "stock", "CS", "XSHE",
     "1991-01-29", None, 8.4, 0.024, 95.0, "2020-05-06"),
    ("000003.SZ", "金穗实业", "stock", "CS", "XSHE",
     "1991-06-01", "2017-03-31", 4.1, 0.025, 3.0, None),
    ("002001.SZ", "新和医药", "stock", "CS", "XSHE",
     "2004-06-25", None, 19.6, 0.021, 21.0, None),
    ("300001.SZ", "特源电气", "stock", "CS", "XSHE",
     "2009-10-30", None, 17.3, 0.027, 9.8, None),
    ("300999.SZ", "瑞丰粮油", "stock", "CS", "XSHE",
     "2020-10-15", None, 62.0, 0.023, 5.4, None),
    ("830001.BJ", "北辰精工", "stock", "CS", "BJSE",
     "2021-11-15", None, 12.7, 0.035, 0.9, None),
    ("510050.SH", "上证50ETF样本", "etf", "ETF", "XSHG",
     "2005-02-23", None, 2.35, 0.012, 400.0, None),
    ("159901.SZ", "深100ETF样本", "etf", "ETF", "XSHE",
     "2006-04-24", None, 4.1, 0.013, 30.0, None),
    ("160105.SZ", "积配LOF样本", "lof", "LOF", "XSHE",
     "2004-03-31", None, 1.2, 0.011, 6.0, None),
    ("163001.SZ", "长信LOF样本", "lof", "LOF", "XSHE",
     "2005-06-10", "2016-12-30", 0.95, 0.011, 2.0, None),
    ("150008.SZ", "稳健分级A样本", "fja", "FJA", "XSHE",
     "2010-05-07", "2020-12-31", 1.02, 0.004, 5.0, None),
    ("150009.SZ", "进取分级B样本", "fjb", "FJB", "XSHE",
     "2010-05-07", "2020-12-31", 0.88, 0.028, 5.0, None),
    ("150018.SZ", "稳进分级A样本", "fja", "FJA", "XSHE",
     "2010-06-18", "2017-06-30", 1.01, 0.004, 3.0, None),
    ("513100.SH", "纳指ETF样本", "qdii", "QDII", "XSHG",
     "2013-05-15", None, 1.9, 0.014, 20.0, None),
    ("164701.SZ", "黄金QDII样本", "qdii", "QDII", "XSHE",
     "2011-05-27", None, 0.72, 0.010, 3.0, None),
    ("000001.SH", "上证综合样本指数", "index", "INDX", "XSHG",
     "1991-07-15", None, 3100.0, 0.011, None, None),
    ("399001.SZ", "深证成份样本指数", "index", "INDX", "XSHE",
     "1995-01-23", None, 10200.0, 0.013, None, None),
    ("000300.SH", "沪深300样本指数", "index", "INDX", "XSHG",
     "2005-04-08", None, 3300.0, 0.012, None, None),
    ("000011.OF", "大盘精选样本", "ota", "OTA", "OTC",
     "2004-08-11", None, 15.6, 0.011, None, None),
    ("110022.OF", "消费行业样本", "ota", "OTA", "OTC",
     "2010-08-20", None, 3.1, 0.013, None, None),
    ("008888.OF", "科创成长样本", "ota", "OTA", "OTC",
     "2020-03-02", None, 1.0, 0.015, None, None),
]

# underlying, exchange suffix, exchange, delivery months, night session, multiplier,
# price tick, margin rate, fee rate, base price, daily sigma
FUTURES = {
    "IF": ("CFE", "CFFEX", (3, 6, 9, 12), 0, 300.0, 0.2, 0.12, 0.000023, 3300.0, 0.012),
    "RB": ("SHF", "SHFE", (1, 5, 10), 1, 10.0, 1.0, 0.10, 0.0001, 3200.0, 0.014),
}
FUTURE_NAMES = {"IF": "沪深300股指期货", "RB": "螺纹钢期货"}

OPTION_UNDERLYING = "510050.SH"
OPTION_MULTIPLIER = 10000.0


def spot_instruments():
    """Stocks, funds, indexes and off-exchange funds, with their generator parameters."""
    out = []
    for code, name, kind, enum, exch, start, end, base, sigma, shares, st in _SPOT:
        out.append({
            "symbol": code, "name": name, "type": kind, "enum_type": enum, "exchange": exch,
            "start_date": _d(start), "end_date": _d(end),
            "round_lot": 100 if kind not in ("index", "ota") else 1,
            "base": base, "sigma": sigma, "float_shares": shares,
            "st_since": dt.date.fromisoformat(st) if st else None,
        })
    return out


def _nth_weekday(year, month, weekday, n):
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(weekday - first.weekday()) % 7 + 7 * (n - 1))


def _month_add(year, month, delta):
    index = year * 12 + month - 1 + delta
    return index // 12, index % 12 + 1


def _on_or_after(day, days):
    return next((d for d in days if d >= day), None)


def _on_or_before(day, days):
    return next((d for d in reversed(days) if d <= day), None)


def future_contracts(days):
    """Contracts whose life falls inside the calendar ``days`` (a sorted list of dates).

    IF: quarterly, listed nine months ahead, last trading day the third Friday. RB: months 1,
    5 and 10, listed on the 16th a year ahead, last trading day the 15th.
    """
    out = []
    first_year, last_year = days[0].year, days[-1].year + 1
    for und, (sfx, exch, months, night, mult, tick, margin, fee, _, _) in FUTURES.items():
        for year in range(first_year, last_year + 1):
            for month in months:
                if und == "IF":
                    ly, lm = _month_add(year, month, -9)
                    start = _on_or_after(dt.date(ly, lm, 1), days)
                    end = _on_or_after(_nth_weekday(year, month, 4, 3), days)
                elif dt.date(year, month, 15) <= days[-1]:
                    start = _on_or_after(dt.date(year - 1, month, 16), days)
                    end = _on_or_before(dt.date(year, month, 15), days)
                else:
                    continue
                if start is None or end is None or end <= days[0] or start >= end:
                    continue
                out.append({
                    "symbol": f"{und}{year % 100:02d}{month:02d}.{sfx}",
                    "name": f"{FUTURE_NAMES[und]}{year % 100:02d}{month:02d}",
                    "type": "futures", "enum_type": "FUTURE", "exchange": exch,
                    "start_date": start, "end_date": end, "round_lot": 1,
                    "underlying_symbol": und, "contract_month": f"{year % 100:02d}{month:02d}",
                    "night_session": night, "contract_multiplier": mult, "tick": tick,
                    "margin_rate": margin, "fee_rate": fee,
                })
    return out


def option_months(today):
    """Expiry months of the sample option series: a year back to two months ahead."""
    return [_month_add(today.year, today.month, k) for k in range(-12, 3)]


def option_contract_dates(year, month, days):
    """(listing day, expiry day): listed two months ahead, expiring the fourth Wednesday."""
    ly, lm = _month_add(year, month, -2)
    start = _on_or_after(dt.date(ly, lm, 1), days)
    end = _on_or_after(_nth_weekday(year, month, 2, 4), days)
    return start, end


def option_code(year, month, call, strike_index):
    return f"1{year % 100:02d}{month:02d}{1 if call else 2}{strike_index:02d}.SH"
