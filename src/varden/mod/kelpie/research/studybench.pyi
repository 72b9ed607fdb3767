"""Research API: securities, calendar, bars, fundamentals, files, pushes and API usage."""

import datetime
from typing import Any, TypeAlias

import numpy as np
import pandas as pd
from varden.mod.kelpie.research.normal_query.tablespec import StrModel, StrModelAttr, StrQuery
from varden.mod.kelpie.utils.autoreload import superreload as superreload
from varden.mod.kelpie.utils.compat import pd_Panel as pd_Panel
from varden.mod.stock.data.data_proxy import DataProxy

__all__ = [
    "pd_Panel",
    "get_all_securities",
    "normalize_symbol",
    "get_security_info",
    "get_price",
    "get_candle_stick",
    "get_all_trade_days",
    "get_trade_days",
    "get_last_trade_day",
    "query",
    "run_query",
    "get_fundamentals",
    "read_file",
    "write_file",
    "remove_file",
    "get_future_code",
    "superreload",
    "notify_push",
    "set_log_level",
    "get_api_usage",
    "upload_file",
    "download_file",
]

# Anything pd.Timestamp accepts: "20180101", dates, datetimes, Timestamps.
_DateLike: TypeAlias = str | datetime.date | np.datetime64

default_data_proxy: DataProxy
MULTI_STEP_FIELDS: frozenset[str]
# Named-tuple class whose fields are read from the data layer at import.
Symbol_Industry: type[tuple[Any, ...]]

def query(*args: StrModel | StrModelAttr | str) -> StrQuery: ...

# The service's value of `df`, usually a DataFrame.
def run_query(query_object: StrQuery | str) -> Any: ...
def get_fundamentals(
    query_object: StrQuery | str,
    date: _DateLike | None = None,
    statDate: _DateLike | None = None,
    latest: bool = False,
) -> Any: ...

# One code: its bars; a list (or a type keyword such as "stock"): a dict of code to bars,
# or a panel with `is_panel`; None for an unreadable step or end date.
def get_price(
    securities: str | list[str],
    start_date: _DateLike | None = None,
    end_date: _DateLike = "20180101",
    fre_step: str = "1d",
    fields: list[str] | None = None,
    skip_paused: bool = False,
    fq: str | None = "pre",
    bar_count: int = 0,
    is_panel: bool = False,
) -> pd.DataFrame | dict[str, pd.DataFrame] | pd_Panel | None: ...

# The service's result, or a panel of it with `is_panel`.
def get_candle_stick(
    securities: str | list[str],
    end_date: _DateLike = "20180101",
    fre_step: str = "1d",
    fields: list[str] | None = None,
    skip_paused: bool = False,
    fq: str | None = "pre",
    bar_count: int = 0,
    is_panel: bool = False,
) -> Any: ...
def get_all_securities(ty: str | None = None, date: _DateLike | None = None) -> pd.DataFrame: ...
def normalize_symbol(symbol: str, ty: str | None = None) -> str: ...

# The data layer's instrument record.
def get_security_info(symbol: str) -> Any: ...
def get_all_trade_days() -> pd.DatetimeIndex: ...
def get_trade_days(
    start_date: _DateLike | None = None,
    end_date: _DateLike | None = "20180101",
    count: int | None = None,
) -> pd.DatetimeIndex | None: ...
def get_last_trade_day(
    date: _DateLike | None = None, n: int = -1, match_n: int | None = None
) -> pd.Timestamp: ...
def get_future_code(underlying_symbol: str, date: _DateLike | None = None) -> list[str]: ...

# Expands a type keyword ("stock", "fund", ...) into codes; anything else comes back as given.
def get_all_symbol_filter(
    date: _DateLike, symbol_type: str | list[str] = "stock"
) -> list[str] | str: ...
def read_file(path: str) -> bytes: ...
def write_file(path: str, content: str | bytes, append: bool = False) -> int: ...

# The trash function's result.
def remove_file(path: str, trash: bool = True) -> Any: ...

# The service's reply.
def upload_file(file: str, path: str = "") -> Any: ...
def download_file(file: str, path: str = "") -> int: ...

# The service's reply.
def notify_push(
    content: str,
    channel: str = "wxpusher",
    subject: str = "Varden消息提醒",
    email_list: list[str] | str | None = None,
    uids: list[str] | str | None = None,
    topic_ids: Any = None,
    group_id: Any = None,
) -> Any: ...

# `level` is "info", "warn" or "error"; another text is reported through the log.
def set_log_level(level: str, is_limit: bool = True, filename: str | None = None) -> None: ...
def get_api_usage() -> pd.DataFrame: ...
