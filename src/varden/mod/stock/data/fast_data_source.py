"""Stand-in: the data source: instruments, calendar, daily bars and capital events of the
sample store.

``history_window`` serves day steps ("1d", "5d", ...) from the store's daily bars (the last
closed day is the trading day before today); minute and tick steps are refused.
"""

import re
from contextlib import closing

import numpy as np
import pandas as pd

from varden.mod.stock.data.sample_store import INSTRUMENT_COLUMNS, open_store, read_meta, store_path
from varden.mod.stock.model import INSTRUMENT_TYPE

SPOT_FIELDS = (
    "open", "close", "high", "low", "volume", "turnover", "high_limit", "low_limit",
    "prev_close", "avg_price", "is_paused", "is_st", "factor", "quote_rate", "turnover_rate",
    "amp_rate",
)
FUTURE_FIELDS = (
    "open", "close", "high", "low", "volume", "turnover", "settle", "prev_settle", "prev_close",
    "open_interest", "pos_change", "main_contract", "change", "change1", "quote_rate",
    "amp_rate", "high_limit", "low_limit", "buy_margin", "sell_margin", "flat_fee", "float_fee",
    "float_today", "d1_buy_margin", "d1_sell_margin", "d2_buy_margin", "d2_sell_margin",
    "d3_buy_margin", "d3_sell_margin",
)
OPTION_FIELDS = (
    "open", "close", "high", "low", "volume", "turnover", "settle", "prev_settle", "prev_close",
    "open_interest", "change", "change1", "quote", "quote_rate", "avg_price", "delta",
    "implied_volatility", "exercise_amount", "volume_num",
)
# how each field may be combined over several days
MULTI_STEP_AGG = {
    "open": "first", "close": "last", "high": "max", "low": "min", "volume": "sum",
    "turnover": "sum", "settle": "last", "open_interest": "last",
}
PRICE_FIELDS = frozenset({
    "open", "close", "high", "low", "prev_close", "high_limit", "low_limit", "avg_price",
    "settle", "prev_settle", "change", "change1", "quote",
})
FQ_MODES = ("pre", "post", None)
EXTRA_TABLES = ("symbol_industry", "valuation", "last_stock_factor")
_STEP = re.compile(r"([1-9][0-9]*)([a-z])")


class Instrument:
    """One instrument; ``order_book_id`` and ``symbol`` are both its code."""

    def __init__(self, row):
        self.order_book_id = row["symbol"]
        for name, value in row.items():
            setattr(self, name, value)
        self.enum_type = INSTRUMENT_TYPE(row["enum_type"])
        self.start_date = pd.Timestamp(row["start_date"])
        self.end_date = pd.Timestamp(row["end_date"])
        self._fields = [name for name in INSTRUMENT_COLUMNS if row[name] is not None]

    def show_valid_fields(self):
        """The instrument's fields that have a value (dates as Timestamps)."""
        out = {name: getattr(self, name) for name in self._fields}
        out["enum_type"] = self.enum_type.value
        return out

    def listed_on(self, day):
        return self.start_date <= day <= self.end_date

    def __repr__(self):
        return f"Instrument({self.order_book_id!r}, type={self.type!r})"


# The snapshot of the current store build, shared by every source in the process.
_SNAPSHOTS = {}


class _Snapshot:
    """What the source reads once per store build: instruments and calendar."""

    def __init__(self, conn):
        meta = read_meta(conn)
        self.built_for = meta["built_for"]
        self.calendar_start = pd.Timestamp(meta["calendar_start"])
        self.calendar_end = pd.Timestamp(meta["calendar_end"])
        days = [row[0] for row in conn.execute("SELECT date FROM trading_days ORDER BY date")]
        self.calendar = pd.DatetimeIndex(days, name="trading_day")
        cursor = conn.execute(f"SELECT {', '.join(INSTRUMENT_COLUMNS)} FROM instruments "
                              "ORDER BY symbol")
        rows = [dict(zip(INSTRUMENT_COLUMNS, row)) for row in cursor]
        self.instruments = [Instrument(row) for row in rows]
        self.by_code = {inst.order_book_id: inst for inst in self.instruments}
        frame = pd.DataFrame(rows, columns=INSTRUMENT_COLUMNS)
        frame.insert(0, "order_book_id", frame["symbol"])
        frame["start_date"] = pd.to_datetime(frame["start_date"])
        frame["end_date"] = pd.to_datetime(frame["end_date"])
        self.instruments_df = frame


class _Dividends:
    def __init__(self, source):
        self._source = source

    def get_pre_with_symbol(self, code, start_ns, end_ns):
        """Capital events of ``code`` with an ex-date between the days of start and end (int
        nanoseconds, both included): 9-tuples (ex-date as int nanoseconds, amount,
        dividend_ratio, split_ratio, allotment_price, allotment_num, consideration_cash,
        consideration_num, share_split_num), oldest first."""
        self._source.instrument(code)
        start = pd.Timestamp(start_ns).strftime("%Y-%m-%d")
        end = pd.Timestamp(end_ns).strftime("%Y-%m-%d")
        with closing(open_store()) as conn:
            rows = conn.execute(
                "SELECT ex_date, amount, dividend_ratio, split_ratio, allotment_price, "
                "allotment_num, consideration_cash, consideration_num, share_split_num "
                "FROM dividends WHERE symbol = ? AND ex_date BETWEEN ? AND ? ORDER BY ex_date",
                (code, start, end)).fetchall()
        return [(pd.Timestamp(row[0]).value,) + tuple(row[1:]) for row in rows]


class _ExtraTable:
    """A table of the store beside the bars; ``fields`` are its column names."""

    def __init__(self, table):
        self.table = table

    @property
    def fields(self):
        with closing(open_store()) as conn:
            return [row[1] for row in conn.execute(f"PRAGMA table_info({self.table})")]


class FastDataSource:
    def __init__(self):
        self._snapshot = None
        self._dividends = _Dividends(self)
        self._extra_reader = {name: _ExtraTable(name) for name in EXTRA_TABLES}

    def _state(self):
        with closing(open_store()) as conn:
            built_for = read_meta(conn)["built_for"]
            if self._snapshot is None or self._snapshot.built_for != built_for:
                # Callers create a source per security: read the store's tables once per build.
                key = (store_path(), built_for)
                if key not in _SNAPSHOTS:
                    _SNAPSHOTS.clear()
                    _SNAPSHOTS[key] = _Snapshot(conn)
                self._snapshot = _SNAPSHOTS[key]
        return self._snapshot

    @property
    def instruments_df(self):
        """One row per instrument: "order_book_id", "symbol", "type", "enum_type", ..."""
        return self._state().instruments_df

    def get_all_instruments(self):
        return list(self._state().instruments)

    def instrument(self, code):
        found = self._state().by_code.get(code) if isinstance(code, str) else None
        if found is None:
            raise ValueError(f"unknown instrument code: {code!r}")
        return found

    def trading_calendar(self):
        """All trading days (the same object until the store is rebuilt)."""
        return self._state().calendar

    def calendar_day(self, value):
        """``value`` as a midnight Timestamp, which must lie inside the calendar."""
        state = self._state()
        day = pd.Timestamp(value)
        if day is pd.NaT:
            raise ValueError("a date is required, not NaT")
        day = day.normalize()
        if not state.calendar_start <= day <= state.calendar_end:
            raise ValueError(f"date {day.date()} is outside the trading calendar "
                             f"({state.calendar_start.date()} to {state.calendar_end.date()})")
        return day

    def history_window(self, code, end_ns, bar_count, fre_step, fields, skip_paused, fq,
                       start_ns=None):
        """Bars of ``code`` up to the day of ``end_ns``: the last ``bar_count`` bars, or every
        bar from the day of ``start_ns`` on, or (neither given) every bar. A DataFrame indexed
        by the bar day ("datetime"), one float column per field, oldest first. ``fq`` "pre"
        scales prices to the factor of the last day up to the end, "post" by the factor
        itself, None leaves them raw; volumes are never adjusted."""
        inst = self.instrument(code)
        step = _day_step(fre_step)
        fields = _check_fields(inst, fields, step)
        if fq not in FQ_MODES:
            raise ValueError(f"fq must be one of {FQ_MODES}, not {fq!r}")
        end = self.calendar_day(end_ns)
        start = self.calendar_day(start_ns) if start_ns else None
        if start is not None and bar_count:
            raise ValueError("give either start_ns or bar_count, not both")
        if bar_count < 0:
            raise ValueError(f"bar_count must not be negative, not {bar_count}")
        frame = _read_bars(code, fields, end, start, bar_count * step, skip_paused)
        if fq is not None:
            frame = _adjust(code, frame, fields, end, fq)
        if step > 1:
            frame = _combine(frame, fields, step)
        return frame[list(fields)]


def _day_step(fre_step):
    match = _STEP.fullmatch(fre_step) if isinstance(fre_step, str) else None
    if match is None:
        raise ValueError(f"fre_step must be a count and a unit such as '1d', not {fre_step!r}")
    if match.group(2) != "d":
        raise ValueError(f"the sample store keeps daily bars only; {fre_step!r} is not "
                         "a day step such as '1d' or '5d'")
    return int(match.group(1))


def _check_fields(inst, fields, step):
    known = {"futures": FUTURE_FIELDS, "option": OPTION_FIELDS}.get(inst.type, SPOT_FIELDS)
    if fields is None:
        fields = [f for f in known if f in MULTI_STEP_AGG] if step > 1 else list(known)
    fields = list(fields)
    unknown = [f for f in fields if f not in known]
    if unknown:
        raise ValueError(f"fields {unknown} are not bar fields of {inst.order_book_id}; "
                         f"known: {list(known)}")
    if step > 1 and any(f not in MULTI_STEP_AGG for f in fields):
        raise ValueError(f"a step of several days allows only the fields {list(MULTI_STEP_AGG)}")
    return fields


def _read_bars(code, fields, end, start, limit, skip_paused):
    columns = sorted(set(fields) | {"factor"})
    sql = (f"SELECT date, {', '.join(columns)} FROM bars WHERE symbol = ? AND date <= ?"
           + (" AND date >= ?" if start is not None else "")
           + (" AND COALESCE(is_paused, 0) = 0" if skip_paused else "")
           + " ORDER BY date DESC" + (" LIMIT ?" if limit else ""))
    params = [code, end.strftime("%Y-%m-%d")]
    if start is not None:
        params.append(start.strftime("%Y-%m-%d"))
    if limit:
        params.append(limit)
    with closing(open_store()) as conn:
        rows = conn.execute(sql, params).fetchall()[::-1]
    index = pd.DatetimeIndex([row[0] for row in rows], name="datetime")
    values = np.array([row[1:] for row in rows], dtype=float).reshape(len(rows), len(columns))
    return pd.DataFrame(values, index=index, columns=columns)


def _adjust(code, frame, fields, end, fq):
    factor = frame["factor"].fillna(1.0)
    if fq == "pre":
        with closing(open_store()) as conn:
            row = conn.execute("SELECT factor FROM daily_bars WHERE symbol = ? AND date <= ? "
                               "ORDER BY date DESC LIMIT 1",
                               (code, end.strftime("%Y-%m-%d"))).fetchone()
        factor = factor / (row[0] if row and row[0] else 1.0)
    frame = frame.copy()
    for name in PRICE_FIELDS.intersection(fields):
        frame[name] = frame[name] * factor
    return frame


def _combine(frame, fields, step):
    """Groups of ``step`` bars counted back from the last; a group is stamped with its last
    day, and the oldest group may be shorter."""
    n = len(frame)
    out = frame.groupby((n - 1 - np.arange(n)) // step).agg(
        {name: MULTI_STEP_AGG[name] for name in fields})
    out.index = pd.DatetimeIndex(frame.index[n - 1 - out.index.to_numpy() * step], name="datetime")
    return out.sort_index()
