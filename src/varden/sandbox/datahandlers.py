"""Default endpoint handlers of the sandbox data service.

Each handler is ``fn(user, **kwargs)`` and returns the value to send back (the service
packs it), or raises ``ServiceError`` for an error status. Market data comes from the
sample store ``varden.mod.stock.data.sample_store``; files live under the service's own
temporary folder, one sub-folder per user.
"""

import functools
import os
import posixpath
import re

import numpy as np
import pandas as pd

from varden.sandbox import fundquery


class ServiceError(Exception):
    """Raised by a handler to answer ``status`` with ``message`` as the text body."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def _store():
    from varden.mod.stock.data import sample_store

    return sample_store


# -- files -----------------------------------------------------------------------------


def _user_file(service, user, file):
    """Absolute path of a user's remote file; refuses paths that leave the user's folder."""
    if not isinstance(file, str) or not file.strip():
        raise ServiceError(400, "文件路径不能为空")
    parts = file.replace("\\", "/").split("/")
    if file.startswith(("/", "\\")) or posixpath.isabs(file) or ":" in parts[0] or ".." in parts:
        raise ServiceError(400, "文件路径不合法: %s" % file)
    root = os.path.realpath(os.path.join(service.files_root, user))
    path = os.path.realpath(os.path.join(root, *[p for p in parts if p not in ("", ".")]))
    if path == root or not path.startswith(root + os.sep):
        raise ServiceError(400, "文件路径不合法: %s" % file)
    return path


def upload_file(service, user, file, data):
    if not isinstance(data, (bytes, bytearray)):
        raise ServiceError(400, "data 必须是 bytes")
    path = _user_file(service, user, file)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as handle:
        size = handle.write(data)
    return {"file": file, "size": size}


def download_file(service, user, file):
    path = _user_file(service, user, file)
    if not os.path.isfile(path):
        raise ServiceError(404, "文件不存在: %s" % file)
    with open(path, "rb") as handle:
        return handle.read()


# -- usage, push, generic calls -----------------------------------------------------------


def api_usage(service, user):
    counts = dict(sorted(service.usage.get(user, {}).items()))
    return {"api_name": list(counts), "calls": list(counts.values())}


def notify_push(service, user, content, channel="wxpusher", subject=None, email_list=None,
                uids=None, topic_ids=None, group_id=None):
    if not isinstance(content, str) or not content:
        raise ServiceError(400, "推送内容不能为空")
    push = {"user": user, "content": content, "channel": channel, "subject": subject,
            "email_list": email_list, "uids": uids, "topic_ids": topic_ids,
            "group_id": group_id}
    service.pushes.append(push)
    return {"status": "ok", "channel": channel, "id": len(service.pushes)}


def all_api(service, user, api_name=None, **kwargs):
    services = {"get_candle_stick": get_candle_stick, "notify_push": notify_push}
    if api_name not in services:
        raise ServiceError(400, "不支持的api_name: %r" % (api_name,))
    return services[api_name](service, user, **kwargs)


def arsenal_request(service, user, **kwargs):
    """The sandbox has no arsenal: the call is acknowledged with what was received."""
    return {"status": "unsupported", "received": sorted(kwargs)}


def trade_api(service, user, **kwargs):
    raise ServiceError(501, "沙盒不支持交易接口")


# -- sample store reads -------------------------------------------------------------------


def _read(sql, params=()):
    connection = _store().open_store()
    try:
        return pd.read_sql_query(sql, connection, params=list(params))
    finally:
        connection.close()


def _columns(table):
    connection = _store().open_store()
    try:
        return [row[1] for row in connection.execute("PRAGMA table_info(%s)" % table)]
    finally:
        connection.close()


def _day_text(value, what):
    try:
        return pd.Timestamp(value).strftime("%Y-%m-%d")
    except (TypeError, ValueError) as exc:
        raise ServiceError(400, "%s 不是日期: %r" % (what, value)) from exc


# -- fundamentals ---------------------------------------------------------------------------

FUNDAMENTAL_TABLES = ("valuation",)


def _period_end(stat_date):
    """Last day of a reporting period written "2018" (a year) or "2018q3" (a quarter)."""
    text = str(stat_date).strip().lower()
    year, _, quarter = text.partition("q")
    if not year.isdigit() or (quarter and quarter not in "1234") or (_ and not quarter):
        raise ServiceError(400, "statDate 格式应为 YYYY 或 YYYYqN: %r" % (stat_date,))
    month = 3 * int(quarter) if quarter else 12
    return (pd.Timestamp(int(year), month, 1) + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d")


def _fundamentals(query_text, date=None, stat_date=None, latest=False):
    try:
        query = fundquery.parse_query(query_text)
    except fundquery.QueryError as exc:
        raise ServiceError(400, "查询语句无法解析: %s" % exc) from exc
    unknown = [t for t in query.tables if t not in FUNDAMENTAL_TABLES]
    if unknown or not query.tables:
        raise ServiceError(400, "不支持的表: %s" % (", ".join(unknown) or "(none)"))
    if date is not None and stat_date is not None:
        raise ServiceError(400, "date 和 statDate 不能同时设置")
    if latest or (date is None and stat_date is None):
        day_sql, params = "(SELECT MAX(date) FROM valuation)", ()
    else:
        day = _period_end(stat_date) if stat_date is not None else _day_text(date, "date")
        day_sql, params = "(SELECT MAX(date) FROM valuation WHERE date <= ?)", (day,)
    rows = _read("SELECT * FROM valuation WHERE date = %s ORDER BY symbol" % day_sql, params)
    rows["date"] = pd.to_datetime(rows["date"])
    try:
        return fundquery.select(rows, query, "valuation")
    except fundquery.QueryError as exc:
        raise ServiceError(400, "查询语句无法执行: %s" % exc) from exc


def get_fundamentals(service, user, query_object, date=None, statDate=None, latest=False):
    return _fundamentals(query_object, date, statDate, latest)


_RUN_QUERY_LINE = re.compile(r"^\s*([A-Za-z_]\w*)\s*=\s*run_query\((.*)\)\s*$", re.S)


def run_api(service, user, code, name):
    """Runs the one kind of line research code sends: ``<name> = run_query(<query>)``."""
    match = _RUN_QUERY_LINE.match(code) if isinstance(code, str) else None
    if not match:
        raise ServiceError(400, "只支持 <变量> = run_query(<查询>) 形式的代码")
    if match.group(1) != name:
        raise ServiceError(400, "变量 %s 未定义" % name)
    return _fundamentals(match.group(2))


# -- bars -------------------------------------------------------------------------------------

DEFAULT_BAR_FIELDS = ["open", "close", "high", "low", "volume", "turnover"]
ADJUSTED_FIELDS = ("open", "high", "low", "close", "prev_close", "high_limit", "low_limit",
                   "avg_price")
_SUMMED_FIELDS = ("volume", "turnover")
MULTI_STEP_FIELDS = ("open", "close", "high", "low", "volume", "turnover", "settle",
                     "open_interest")


def _bar_step(fre_step):
    text = str(fre_step)
    if len(text) < 2 or not text[:-1].isdigit() or int(text[:-1]) < 1:
        raise ServiceError(400, "fre_step 格式错误: %r" % (fre_step,))
    if text[-1] != "d":
        raise ServiceError(400, "沙盒只有日线数据: %r" % (fre_step,))
    return int(text[:-1])


def _merge_bars(frame, step):
    """Groups of ``step`` consecutive bars, aligned on the last bar, as one bar each."""
    group = (len(frame) - 1 - np.arange(len(frame))) // step
    rules = {c: ("sum" if c in _SUMMED_FIELDS else "max" if c == "high" else
                 "min" if c == "low" else "first" if c == "open" else "last")
             for c in frame.columns}
    merged = frame.groupby(group, sort=False).agg(rules)
    merged.index = pd.DatetimeIndex(
        frame.index.to_series().groupby(group, sort=False).last().values, name="date")
    return merged


def _bars(symbol, end_day, step, fields, skip_paused, fq, bar_count):
    wanted = ["date"] + fields + [c for c in ("factor", "is_paused") if c not in fields]
    rows = _read("SELECT %s FROM bars WHERE symbol = ? AND date <= ? ORDER BY date"
                 % ", ".join('"%s"' % c for c in wanted), (symbol, end_day))
    if skip_paused:
        rows = rows[rows["is_paused"] == 0]
    if fq in ("pre", "post") and len(rows):
        scale = rows["factor"] if fq == "post" else rows["factor"] / rows["factor"].iloc[-1]
        for column in fields:
            if column in ADJUSTED_FIELDS:
                rows[column] = rows[column] * scale
    frame = rows.set_index(pd.DatetimeIndex(pd.to_datetime(rows["date"]), name="date"))[fields]
    if step > 1:
        frame = _merge_bars(frame, step)
    return frame.iloc[-bar_count:] if bar_count else frame


def get_candle_stick(service, user, securities, end_date="20180101", fre_step="1d", fields=None,
                     skip_paused=False, fq="pre", bar_count=0):
    """Daily bars up to ``end_date``: a DataFrame for one code, a dict of them for a list."""
    step = _bar_step(fre_step)
    fields = list(DEFAULT_BAR_FIELDS if fields is None else fields)
    known = set(_columns("bars")) - {"symbol", "date"}
    unknown = [f for f in fields if f not in known]
    if unknown:
        raise ServiceError(400, "不支持的字段: %s" % ", ".join(map(str, unknown)))
    if step > 1 and any(f not in MULTI_STEP_FIELDS for f in fields):
        raise ServiceError(400, "step 大于 1 时只支持字段: %s" % ", ".join(MULTI_STEP_FIELDS))
    if fq not in ("pre", "post", None):
        raise ServiceError(400, "fq 只能是 pre, post 或 None: %r" % (fq,))
    if not isinstance(bar_count, int) or bar_count < 0:
        raise ServiceError(400, "bar_count 必须是非负整数: %r" % (bar_count,))
    end_day = _day_text(end_date, "end_date")
    if isinstance(securities, str):
        return _bars(securities, end_day, step, fields, skip_paused, fq, bar_count)
    if not isinstance(securities, (list, tuple)):
        raise ServiceError(400, "securities 必须是代码或代码列表")
    return {code: _bars(code, end_day, step, fields, skip_paused, fq, bar_count)
            for code in securities}


# -- reference data -------------------------------------------------------------------------


def instruments(service, user, symbols=None, type=None):
    """The instrument table, optionally restricted to some codes and one type keyword."""
    rows = _read("SELECT * FROM instruments ORDER BY symbol")
    if symbols is not None:
        rows = rows[rows["symbol"].isin([symbols] if isinstance(symbols, str) else symbols)]
    if type is not None:
        rows = rows[rows["type"] == type]
    return rows.reset_index(drop=True)


def trading_dates(service, user, start_date=None, end_date=None):
    """Trading days as "%Y-%m-%d" texts, both bounds included."""
    start = _day_text(start_date, "start_date") if start_date is not None else "0000-00-00"
    end = _day_text(end_date, "end_date") if end_date is not None else "9999-99-99"
    rows = _read("SELECT date FROM trading_days WHERE date BETWEEN ? AND ? ORDER BY date",
                 (start, end))
    return rows["date"].tolist()


EXTRA_TABLES = ("symbol_industry", "dividends", "ex_factors", "last_stock_factor")


def extra_hdf_store(service, user, key):
    """One of the store's reference tables, whole."""
    if key not in EXTRA_TABLES:
        raise ServiceError(404, "没有这个数据表: %r" % (key,))
    return _read("SELECT * FROM %s" % key)


def data_array(service, user, security, fields=None, end_date="20180101", bar_count=0):
    """Unadjusted daily bars of one code as plain rows: [date text, *fields]."""
    frame = get_candle_stick(service, user, security, end_date=end_date, fields=fields, fq=None,
                             bar_count=bar_count)
    return {"fields": ["date"] + list(frame.columns),
            "rows": [[day.strftime("%Y-%m-%d")] + [_plain(v) for v in row]
                     for day, row in zip(frame.index, frame.itertuples(index=False))]}


def _plain(value):
    """A MessagePack-friendly scalar: numpy scalars as Python ones, NaN as None."""
    if isinstance(value, np.generic):
        value = value.item()
    return None if isinstance(value, float) and value != value else value


def default_handlers(service):
    """The sample behaviour of every endpoint, bound to ``service``."""
    handlers = {
        "api_usage": api_usage, "instruments": instruments, "trading_dates": trading_dates,
        "extra_hdf_store": extra_hdf_store, "arsenal_request": arsenal_request,
        "data_array": data_array, "all_api": all_api, "run_api": run_api,
        "trade_api": trade_api, "upload_file": upload_file, "download_file": download_file,
        "get_fundamentals": get_fundamentals,
    }
    return {name: functools.partial(fn, service) for name, fn in handlers.items()}
