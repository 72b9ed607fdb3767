"""Stand-in: the data layer's embedded sample store: one SQLite file built from a seeded generator.

The file lives at ``ROOT_PATH/cache/sample_store-v<STORE_VERSION>.sqlite3``. ``open_store()``
builds it on first use (to a temporary file, then an atomic rename) and rebuilds it when its
``store_version`` or its ``built_for`` day differs from today, so that "today" is always inside
the calendar and today's factor rows exist. Callers only read (the connection is read-only).
Past values do not depend on the build day: every random series is seeded per (code, year).

API: ``open_store()``, ``store_path()``, ``read_meta(conn)`` (the meta table as a dict),
``build_store(path, today)`` (write a store for a given day), ``STORE_VERSION``.

Dates are TEXT "%Y-%m-%d". Codes are digits plus a market suffix (".SH", ".SZ", ".BJ", ".OF";
futures ".CFE" and ".SHF"). Prices are in yuan (index points for indexes and IF futures),
volumes in shares (contracts for futures and options), turnover in yuan.

Schema
------
meta(key TEXT PRIMARY KEY, value TEXT)
    keys: store_version, built_for (the build's today), calendar_start ("2015-01-01"),
    calendar_end (Dec 31 of next year), bars_start (first trading day of the year three
    years before built_for's), bars_end (the trading day before built_for). Daily bars and
    valuations cover bars_start..bars_end; the series behind them start at calendar_start,
    so a kept value never changes from one build day to the next (option series cover
    expiries from a year back to two months ahead, so older ones leave the store).

trading_days(date TEXT PRIMARY KEY)
    Weekdays minus holidays, calendar_start to calendar_end, ascending.

instruments(symbol TEXT PRIMARY KEY, name TEXT, type TEXT, enum_type TEXT, exchange TEXT,
            start_date TEXT, end_date TEXT, round_lot INTEGER, underlying_symbol TEXT,
            contract_month TEXT, night_session INTEGER, contract_multiplier REAL,
            strike_price REAL, option_type TEXT, margin_rate REAL, fee_rate REAL)
    symbol: the code. type: keyword stock, etf, lof, fja, fjb, qdii, index, ota, futures or
    option. enum_type: the INSTRUMENT_TYPE value (CS, ETF, LOF, FJA, FJB, QDII, INDX, OTA,
    FUTURE, OPTION). exchange: XSHG, XSHE, BJSE, OTC, CFFEX, SHFE. start_date / end_date:
    listing day / last trading day ("2099-12-31" while listed). underlying_symbol: futures
    "IF"/"RB", options the underlying code. contract_month "YYMM". night_session 1 when the
    contract also trades 21:00-23:00 the evening before. option_type "C"/"P".
    Futures/option-only columns are NULL elsewhere.

daily_bars(symbol, date, open, high, low, close, volume, turnover, prev_close, high_limit,
           low_limit, is_paused, is_st, factor, turnover_rate, settle, prev_settle,
           open_interest, pos_change, main_contract, delta, implied_volatility,
           exercise_amount, volume_num; PRIMARY KEY (symbol, date))
    One row per trading day of an instrument's life from bars_start to bars_end; a paused
    day has open = high = low = close = prev_close, volume 0, is_paused 1. high_limit /
    low_limit NULL where there are no limits (indexes, futures, options). factor: the
    cumulative post-adjustment factor (1.0 on the first day inside the calendar).
    prev_close is the ex-rights reference on an ex-date. settle .. main_contract: futures
    (settle, prev_settle, open_interest also options). delta .. volume_num: options.
    turnover_rate in percent.

bars (VIEW): every column of daily_bars plus avg_price (turnover / volume / multiplier, the
    close on a day without volume), quote_rate and amp_rate (percent, against prev_settle
    for futures and options, else prev_close), change (close - prev_settle or prev_close),
    change1 (settle - prev_settle), quote (= change), and for futures the day's margin and
    fee fields buy_margin, sell_margin, flat_fee, float_fee, float_today, d1_buy_margin,
    d1_sell_margin, d2_buy_margin, d2_sell_margin, d3_buy_margin, d3_sell_margin.

dividends(symbol, ex_date, amount, dividend_ratio, split_ratio, allotment_price,
          allotment_num, consideration_cash, consideration_num, share_split_num;
          PRIMARY KEY (symbol, ex_date))
    Capital events of stocks from calendar_start up to built_for (one a year, around
    June/July; an ex-date may be built_for itself), per share: cash amount, bonus shares per
    share, split_ratio (1 when no split), rights issue price and shares per share,
    consideration cash and shares, share_split_num (1 when no split).

ex_factors(symbol, ex_date, factor; PRIMARY KEY (symbol, ex_date))
    The cumulative adjustment factor in force from ex_date on; the first row of a stock is
    its first day of trading inside the calendar, with 1.0.

last_stock_factor(symbol TEXT, factor REAL, trade_date TEXT)
    The factor feed: one row per listed stock for each trading day of the 30 calendar days
    before built_for, and one for built_for itself (also when that is no trading day).

symbol_industry(symbol TEXT PRIMARY KEY, industry_code TEXT, industry_name TEXT,
                sector_code TEXT, sector_name TEXT)
    Stocks only.

valuation(symbol, date, pe_ratio, pb_ratio, ps_ratio, market_cap, circulating_market_cap,
          turnover_ratio; PRIMARY KEY (symbol, date))
    Stocks, one row per daily bar. market_cap and circulating_market_cap in 100 million
    yuan (close times shares), turnover_ratio in percent.

The instrument list and calendar come from ``sample_catalog``, the series from
``sample_series``.
"""

import bisect
import datetime as dt
import os
import pathlib
import sqlite3
import tempfile
from itertools import groupby

import numpy as np

from varden.mod.kelpie import setting
from varden.mod.stock.data import sample_catalog as catalog
from varden.mod.stock.data import sample_series as series

STORE_VERSION = 1

BAR_COLUMNS = (
    "symbol", "date", "open", "high", "low", "close", "volume", "turnover", "prev_close",
    "high_limit", "low_limit", "is_paused", "is_st", "factor", "turnover_rate", "settle",
    "prev_settle", "open_interest", "pos_change", "main_contract", "delta",
    "implied_volatility", "exercise_amount", "volume_num",
)
INSTRUMENT_COLUMNS = (
    "symbol", "name", "type", "enum_type", "exchange", "start_date", "end_date", "round_lot",
    "underlying_symbol", "contract_month", "night_session", "contract_multiplier",
    "strike_price", "option_type", "margin_rate", "fee_rate",
)
EVENT_COLUMNS = (
    "ex_date", "amount", "dividend_ratio", "split_ratio", "allotment_price", "allotment_num",
    "consideration_cash", "consideration_num", "share_split_num",
)

_REAL = " REAL"
_SCHEMA = f"""
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE trading_days(date TEXT PRIMARY KEY) WITHOUT ROWID;
CREATE TABLE instruments(symbol TEXT PRIMARY KEY, name TEXT, type TEXT, enum_type TEXT,
    exchange TEXT, start_date TEXT, end_date TEXT, round_lot INTEGER, underlying_symbol TEXT,
    contract_month TEXT, night_session INTEGER, contract_multiplier REAL, strike_price REAL,
    option_type TEXT, margin_rate REAL, fee_rate REAL);
CREATE TABLE daily_bars(symbol TEXT, date TEXT,
    {", ".join(c + _REAL for c in BAR_COLUMNS[2:])},
    PRIMARY KEY (symbol, date)) WITHOUT ROWID;
CREATE TABLE dividends(symbol TEXT, ex_date TEXT,
    {", ".join(c + _REAL for c in EVENT_COLUMNS[1:])},
    PRIMARY KEY (symbol, ex_date)) WITHOUT ROWID;
CREATE TABLE ex_factors(symbol TEXT, ex_date TEXT, factor REAL,
    PRIMARY KEY (symbol, ex_date)) WITHOUT ROWID;
CREATE TABLE last_stock_factor(symbol TEXT, factor REAL, trade_date TEXT);
CREATE INDEX last_stock_factor_day ON last_stock_factor(trade_date);
CREATE TABLE symbol_industry(symbol TEXT PRIMARY KEY, industry_code TEXT, industry_name TEXT,
    sector_code TEXT, sector_name TEXT);
CREATE TABLE valuation(symbol TEXT, date TEXT, pe_ratio REAL, pb_ratio REAL, ps_ratio REAL,
    market_cap REAL, circulating_market_cap REAL, turnover_ratio REAL,
    PRIMARY KEY (symbol, date)) WITHOUT ROWID;
CREATE VIEW bars AS SELECT b.*,
    CASE WHEN b.volume > 0 THEN b.turnover / b.volume / COALESCE(i.contract_multiplier, 1)
         ELSE b.close END AS avg_price,
    (b.close / COALESCE(b.prev_settle, b.prev_close) - 1) * 100 AS quote_rate,
    (b.high - b.low) / COALESCE(b.prev_settle, b.prev_close) * 100 AS amp_rate,
    b.close - COALESCE(b.prev_settle, b.prev_close) AS change,
    b.settle - b.prev_settle AS change1,
    b.close - COALESCE(b.prev_settle, b.prev_close) AS quote,
    i.margin_rate AS buy_margin, i.margin_rate AS sell_margin,
    CASE WHEN i.type = 'futures' THEN 0.0 END AS flat_fee,
    i.fee_rate AS float_fee, i.fee_rate AS float_today,
    i.margin_rate + 0.05 AS d1_buy_margin, i.margin_rate + 0.05 AS d1_sell_margin,
    i.margin_rate + 0.10 AS d2_buy_margin, i.margin_rate + 0.10 AS d2_sell_margin,
    i.margin_rate + 0.15 AS d3_buy_margin, i.margin_rate + 0.15 AS d3_sell_margin
FROM daily_bars b JOIN instruments i ON i.symbol = b.symbol;
"""

# industry code, industry name, sector code, sector name
_INDUSTRIES = {
    "600001.SH": ("J66", "货币金融服务", "S48", "银行"),
    "600002.SH": ("C26", "化学原料和化学制品制造业", "S22", "化工"),
    "601001.SH": ("D44", "电力、热力生产和供应业", "S41", "公用事业"),
    "603001.SH": ("I65", "软件和信息技术服务业", "S71", "计算机"),
    "688001.SH": ("C39", "计算机、通信和其他电子设备制造业", "S27", "电子"),
    "000001.SZ": ("J66", "货币金融服务", "S48", "银行"),
    "000002.SZ": ("K70", "房地产业", "S43", "房地产"),
    "000003.SZ": ("C17", "纺织业", "S35", "纺织服装"),
    "002001.SZ": ("C27", "医药制造业", "S37", "医药生物"),
    "300001.SZ": ("C38", "电气机械和器材制造业", "S63", "电气设备"),
    "300999.SZ": ("C13", "农副食品加工业", "S34", "食品饮料"),
    "830001.BJ": ("C34", "通用设备制造业", "S64", "机械设备"),
}


def store_path():
    """Where the store of this version lives (under the settings' root, read at call time)."""
    return os.path.join(setting.ROOT_PATH, "cache", f"sample_store-v{STORE_VERSION}.sqlite3")


def open_store():
    """A read-only connection to today's store (local date), building or rebuilding the file
    first when needed. The caller closes it."""
    today = dt.date.today()
    path = store_path()
    conn = _open_current(path, today)
    if conn is None:
        os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix="sample_store-", suffix=".tmp",
                                   dir=os.path.dirname(path))
        os.close(fd)
        try:
            build_store(tmp, today)
            os.replace(tmp, path)
        finally:
            if os.path.exists(tmp):
                os.unlink(tmp)
        conn = _open_current(path, today)
        if conn is None:
            raise RuntimeError(f"sample store {path} could not be built for {today}")
    return conn


def read_meta(conn):
    return dict(conn.execute("SELECT key, value FROM meta"))


def _open_current(path, today):
    if not os.path.exists(path):
        return None
    conn = sqlite3.connect(pathlib.Path(path).as_uri() + "?mode=ro", uri=True)
    try:
        meta = read_meta(conn)
    except sqlite3.DatabaseError:
        meta = {}
    if meta.get("store_version") == str(STORE_VERSION) and meta.get("built_for") == str(today):
        return conn
    conn.close()
    return None


def _column(values):
    if isinstance(values, np.ndarray):
        values = values.tolist()
    return [None if v != v else v for v in values]  # NaN becomes NULL


def _bar_rows(symbol, columns, window):
    """Rows of daily_bars from a dict of column arrays, for the days inside ``window``."""
    lo = bisect.bisect_left(columns["date"], window[0])
    hi = bisect.bisect_right(columns["date"], window[1])
    cols = [[symbol] * (hi - lo), [d.isoformat() for d in columns["date"][lo:hi]]]
    for name in BAR_COLUMNS[2:]:
        cols.append(_column(columns[name][lo:hi]) if name in columns else [None] * (hi - lo))
    return list(zip(*cols))


def _life(days, start, end):
    return days[bisect.bisect_left(days, start):bisect.bisect_right(days, end)]


def _instrument_row(inst):
    row = dict(inst, start_date=inst["start_date"].isoformat(),
               end_date=inst["end_date"].isoformat())
    return tuple(row.get(c) for c in INSTRUMENT_COLUMNS)


class _Tables:
    def __init__(self):
        self.instruments, self.bars, self.dividends, self.ex_factors = [], [], [], []
        self.last_factor, self.valuation = [], []


def _add_spot(tables, series_days, year_days, window, today):
    """Stocks, funds and indexes; returns the option underlying's series."""
    option_spot = None
    for inst in catalog.spot_instruments():
        tables.instruments.append(_instrument_row(inst))
        days = _life(series_days, inst["start_date"], inst["end_date"])
        if not days:
            continue
        cols, events = series.spot_series(inst, days, year_days)
        code = inst["symbol"]
        tables.bars.extend(_bar_rows(code, cols, window))
        if code == catalog.OPTION_UNDERLYING:
            option_spot = cols
        if inst["type"] == "stock":
            _add_stock_extras(tables, inst, days, cols, events, window, today)
    return option_spot


def _add_stock_extras(tables, inst, days, cols, events, window, today):
    code, factor = inst["symbol"], cols["factor"]
    tables.dividends.extend((code, e[0].isoformat()) + e[1:] for e in events)
    tables.ex_factors.append((code, days[0].isoformat(), 1.0))
    tables.ex_factors.extend((code, e[0].isoformat(), float(factor[days.index(e[0])]))
                             for e in events)
    lo, hi = bisect.bisect_left(days, window[0]), bisect.bisect_right(days, window[1])
    tables.valuation.extend(series.valuation_rows(inst, {
        "date": days[lo:hi], "close": cols["close"][lo:hi],
        "turnover_rate": cols["turnover_rate"][lo:hi]}))
    if inst["start_date"] <= today <= inst["end_date"]:
        recent = today - dt.timedelta(days=30)
        tables.last_factor.extend((code, float(f), d.isoformat())
                                  for d, f in zip(days, factor) if recent <= d < today)
        tables.last_factor.append((code, float(factor[-1]), today.isoformat()))


def _add_futures(tables, days, year_days, window):
    levels = {und: series.underlying_path(und, days, year_days) for und in catalog.FUTURES}
    day_pos = {d: k for k, d in enumerate(days)}
    futures_bars = []
    for inst in catalog.future_contracts(days):
        tables.instruments.append(_instrument_row(inst))
        life = _life(days, inst["start_date"], inst["end_date"])
        mask = np.array([window[0] <= d <= window[1] for d in life])
        if not mask.any():
            continue
        pos = [day_pos[d] for d in life]
        level, prev_level = levels[inst["underlying_symbol"]]
        cols = series.future_series(inst, life, mask, level[pos], prev_level[pos], year_days)
        futures_bars.append((inst, cols))
    best = {}
    for inst, cols in futures_bars:
        for d, oi in zip(cols["date"], cols["open_interest"].tolist()):
            key = (inst["underlying_symbol"], d)
            if key not in best or oi > best[key][0]:
                best[key] = (oi, inst["symbol"])
    for inst, cols in futures_bars:
        cols["main_contract"] = [
            float(best[(inst["underlying_symbol"], d)][1] == inst["symbol"]) for d in cols["date"]]
        tables.bars.extend(_bar_rows(inst["symbol"], cols, window))


def _add_options(tables, days, year_days, window, today, spot):
    spot_close = dict(zip(spot["date"], spot["close"].tolist()))
    spot_prev = dict(zip(spot["date"], spot["prev_close"].tolist()))
    spot_days = [d for d in spot["date"] if d <= window[1]]
    for year, month in catalog.option_months(today):
        start, expiry = catalog.option_contract_dates(year, month, days)
        if start is None or expiry is None:
            continue
        # strikes straddle the underlying's last close before listing (or the latest one)
        centre = round(spot_close[spot_days[max(bisect.bisect_left(spot_days, start), 1) - 1]], 1)
        for index, strike in enumerate((centre - 0.1, centre + 0.1), start=1):
            for call in (True, False):
                inst = {
                    "symbol": catalog.option_code(year, month, call, index),
                    "name": f"50ETF{'购' if call else '沽'}{month}月{round(strike * 1000)}",
                    "type": "option", "enum_type": "OPTION", "exchange": "XSHG",
                    "start_date": start, "end_date": expiry, "round_lot": 1,
                    "underlying_symbol": catalog.OPTION_UNDERLYING,
                    "contract_month": f"{year % 100:02d}{month:02d}",
                    "night_session": 0, "contract_multiplier": catalog.OPTION_MULTIPLIER,
                    "strike_price": round(strike, 2), "option_type": "C" if call else "P",
                }
                tables.instruments.append(_instrument_row(inst))
                life = _life(spot_days, max(start, window[0]), expiry)
                if not life:
                    continue
                cols = series.option_series(
                    inst, life, np.array([spot_close[d] for d in life]),
                    np.array([spot_prev[d] for d in life]), _life(days, start, expiry), year_days)
                tables.bars.extend(_bar_rows(inst["symbol"], cols, window))


def build_store(path, today):
    """Write the whole store for ``today`` (a date) into the new SQLite file ``path``."""
    end = catalog.calendar_end(today)
    days = catalog.trading_days(catalog.CALENDAR_START, end)
    year_days = {year: list(group) for year, group in groupby(days, key=lambda d: d.year)}
    bars_end = days[bisect.bisect_left(days, today) - 1]
    window = (catalog.bars_start(today), bars_end)
    # spot series run through today so that an ex-date today reaches today's factor row
    series_days = days[:bisect.bisect_right(days, today)]

    tables = _Tables()
    spot = _add_spot(tables, series_days, year_days, window, today)
    _add_futures(tables, days, year_days, window)
    _add_options(tables, days, year_days, window, today, spot)

    meta = {
        "store_version": str(STORE_VERSION), "built_for": today.isoformat(),
        "calendar_start": catalog.CALENDAR_START.isoformat(), "calendar_end": end.isoformat(),
        "bars_start": _life(days, *window)[0].isoformat(), "bars_end": bars_end.isoformat(),
    }
    conn = sqlite3.connect(path)
    try:
        conn.executescript(_SCHEMA)
        conn.executemany("INSERT INTO meta VALUES (?, ?)", meta.items())
        conn.executemany("INSERT INTO trading_days VALUES (?)", [(d.isoformat(),) for d in days])
        _insert(conn, "instruments", tables.instruments)
        _insert(conn, "daily_bars", tables.bars)
        _insert(conn, "dividends", tables.dividends)
        _insert(conn, "ex_factors", tables.ex_factors)
        _insert(conn, "last_stock_factor", tables.last_factor)
        _insert(conn, "symbol_industry", [(k,) + v for k, v in _INDUSTRIES.items()])
        _insert(conn, "valuation", tables.valuation)
        conn.commit()
    finally:
        conn.close()


def _insert(conn, table, rows):
    if rows:
        rows.sort(key=lambda row: row[:2])  # key order keeps the B-tree pages full
        marks = ", ".join("?" * len(rows[0]))
        conn.executemany(f"INSERT INTO {table} VALUES ({marks})", rows)
