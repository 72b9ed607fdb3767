// Docstrings of varden.mod.kelpie.research.studybench.
#pragma once

#include "pyglue/docstring.hpp"

namespace studybench_docs {

inline constexpr const char* kModule = R"doc(Research API for notebooks and strategies.

Securities, the trading calendar and bars are read locally through the
kit's data layer; fundamentals, candlesticks, the platform's file store,
push messages and API usage come from the platform's data service through
`kp_api` (log in first with `kp_api.login`). Most functions check their
arguments on entry: a wrong type raises TypeError, a text that is no date
raises ValueError. Dates may be anything pandas.Timestamp accepts, such as
"20240102", "2024-01-02" or a datetime.)doc";

// -- fundamentals ---------------------------------------------------------------------------------

inline constexpr const char* kQuery = R"doc(Start a fundamentals query selecting tables or columns.

Parameters
----------
*args : tables, columns or str
    What to select, in order, e.g. `valuation` or `valuation.pe_ratio`
    (the table objects of the tablespec module).

Returns
-------
StrQuery
    The query; add conditions with .filter(...), then .limit(n) and
    .offset(m) where wanted.

Examples
--------
>>> q = query(valuation).filter(valuation.symbol == "000001.SZ"))doc";

inline constexpr const char* kRunQuery =
    R"doc(Run a fundamentals query on the platform's data service.

Parameters
----------
query_object : StrQuery or str
    The query built with query(), or its text.

Returns
-------
DataFrame
    What the service returns for the query, usually a DataFrame.

Raises
------
APIException
    When not logged in, or with the service's message when it refuses the
    query.)doc";

inline constexpr const char* kGetFundamentals =
    R"doc(Fundamentals selected by a query, for a day or a reporting period.

Parameters
----------
query_object : StrQuery or str
    The query built with query(), or its text.
date : date-like, default None
    The day whose figures are wanted.
statDate : str, default None
    A reporting period instead of a day, such as "2023" or "2023q4".
latest : bool, default False
    Ask for the latest figures available.

Returns
-------
DataFrame
    The service's answer, one row per selected security.

Raises
------
APIException
    When not logged in, or with the service's message when it refuses the
    query or its dates.

Examples
--------
>>> get_fundamentals(query(valuation).filter(valuation.symbol == "000001.SZ"),
...                  date="2024-01-02"))doc";

// -- bars -----------------------------------------------------------------------------------------

inline constexpr const char* kGetPrice =
    R"doc(Bars of one or more securities, read locally from the kit's bar store.

Parameters
----------
securities : str or list of str
    A security code such as "000001.SZ", a list of codes, or a type keyword
    ("stock", "fund", "etf", "lof", "fja", "fjb", "qdii", "index", "ota",
    "futures") standing for every security of that type listed on end_date.
start_date : date-like, default None
    First day of the bars; not together with a non-zero bar_count.
end_date : date-like, default "20180101"
    Last day of the bars.
fre_step : str, default "1d"
    Bar step: a count and a unit, "d" (days), "m" (minutes) or "t"
    (ticks), such as "1d" or "5m". With a count above 1 only the fields
    open, close, high, low, volume, turnover, settle and open_interest may
    be asked for, and they must be listed.
fields : list of str, default None
    Columns wanted, such as ["open", "close"]; None gives the default ones.
skip_paused : bool, default False
    Leave out the days on which a security did not trade.
fq : str, default "pre"
    Price adjustment: "pre", "post", or None for unadjusted prices.
bar_count : int, default 0
    Number of bars ending at end_date; 0 means not given.
is_panel : bool, default False
    For a list of securities, return a panel instead of a dict.

Returns
-------
DataFrame, dict, panel or None
    For one code, a DataFrame indexed by bar time with one column per
    field; for a list (or a type keyword), a dict from code to such a
    DataFrame, or a panel with the codes on its minor axis when is_panel
    is true. None when fre_step or end_date cannot be read or the
    multi-step field rule is broken (a message says which fields are
    allowed).

Raises
------
Exception
    "开始日期 {0} 和bar_count {1} 同时设置" when start_date is given with a
    non-zero bar_count.
TypeError, ValueError
    For an argument of the wrong type or a text that is no date.

Examples
--------
>>> get_price("000001.SZ", "2024-01-02", "2024-01-31"))doc";

inline constexpr const char* kGetCandleStick =
    R"doc(Candlesticks of one or more securities from the platform's data service.

Parameters
----------
securities : str or list of str
    A security code such as "000001.SZ" or a list of codes, sent as given.
end_date : date-like, default "20180101"
    Time of the last bar, to the minute.
fre_step : str, default "1d"
    Bar step, such as "1d" or "5m".
fields : list of str, default None
    Columns wanted; None gives the service's default ones.
skip_paused : bool, default False
    Leave out the bars in which a security did not trade.
fq : str, default "pre"
    Price adjustment: "pre", "post", or None for unadjusted prices.
bar_count : int, default 0
    Number of bars ending at end_date.
is_panel : bool, default False
    Wrap the answer in a panel.

Returns
-------
DataFrame, dict or panel
    The service's answer, or a panel built from it when is_panel is true.

Raises
------
APIException
    When not logged in, or with the service's message when it refuses the
    request.

Examples
--------
>>> get_candle_stick("000001.SZ", "2024-01-31 15:00", "1d", bar_count=5))doc";

// -- securities and calendar ----------------------------------------------------------------------

inline constexpr const char* kGetAllSecurities =
    R"doc(Securities listed on a day, optionally of one type.

Parameters
----------
ty : str, default None
    Instrument type, such as "stock", "etf", "lof", "fja", "fjb", "qdii",
    "index", "ota" or "futures"; None lists every type.
date : date-like, default None
    The day; None is the trading day before today, or before the current
    trading time while a strategy runs.

Returns
-------
DataFrame
    One row per security listed on the day (start_date <= day <= end_date),
    indexed by "symbol", with the instruments' fields as columns.

Examples
--------
>>> get_all_securities("stock", "2024-01-02"))doc";

inline constexpr const char* kNormalizeSymbol =
    R"doc(The full code of a security from a short or partial one.

The first letters and digits of `symbol` are looked up in the codes of
the data layer, in ascending order; the first code containing them is
returned.

Parameters
----------
symbol : str
    A code such as "000001" or "000001.SZ".
ty : str, default None
    Only codes of this instrument type; None leaves out index, futures and
    ota codes.

Returns
-------
str
    The full code, or `symbol` unchanged when no code matches.

Raises
------
AttributeError
    When `symbol` holds no digits.

Examples
--------
>>> normalize_symbol("000001")
'000001.SZ')doc";

inline constexpr const char* kGetSecurityInfo =
    R"doc(Details of one security, such as its name, type and listing dates.

Parameters
----------
symbol : str
    The full security code, such as "000001.SZ".

Returns
-------
Instrument
    The data layer's instrument record of the security.

Raises
------
ValueError
    For an unknown code.)doc";

inline constexpr const char* kGetAllTradeDays = R"doc(Every trading day of the calendar.

Returns
-------
DatetimeIndex
    The trading days, sorted (the data layer's own calendar object).)doc";

inline constexpr const char* kGetTradeDays =
    R"doc(Trading days between two dates, or a count of them from one date.

Parameters
----------
start_date : date-like, default None
    First day. With end_date: every trading day from start_date to end_date,
    both included. With count and end_date=None: count trading days from
    the first trading day on or after start_date.
end_date : date-like, default "20180101"
    Last day. With count and no start_date: the last count trading days up
    to the last trading day on or before end_date.
count : int, default None
    Number of trading days; not used when both dates are given.

Returns
-------
DatetimeIndex or None
    The trading days, or None when neither both dates nor a count with one
    of them are given.

Examples
--------
>>> get_trade_days("2024-01-01", "2024-01-31")
>>> get_trade_days(end_date="2024-01-31", count=5))doc";

inline constexpr const char* kGetLastTradeDay =
    R"doc(A trading day counted from a date; by default the one before it.

Parameters
----------
date : date-like, default None
    The day to count from; None is today.
n : int, default -1
    Trading days to move when `date` is not a trading day: -1 the last one
    before it, 1 the first one after it, -k or k the k-th.
match_n : int, default None
    Trading days to move when `date` is a trading day; None uses n, 0 keeps
    the day itself.

Returns
-------
Timestamp
    The trading day.

Examples
--------
>>> get_last_trade_day("2024-01-08"))doc";

inline constexpr const char* kGetFutureCode =
    R"doc(Futures contracts of an underlying listed on a day.

Parameters
----------
underlying_symbol : str
    The underlying, such as "IF".
date : date-like, default None
    The day; None is the trading day before today, or before the current
    trading time while a strategy runs.

Returns
-------
list of str
    The contract codes, sorted.

Raises
------
ValueError
    For an unknown underlying.

Examples
--------
>>> get_future_code("IF", "2024-01-02"))doc";

inline constexpr const char* kGetAllSymbolFilter =
    R"doc(Expand a type keyword into the codes of that type listed on a day.

Parameters
----------
date : date-like
    The day; a day from today on is replaced by the last trading day
    before today.
symbol_type : str or list, default "stock"
    A type keyword ("stock", "fund", "etf", "lof", "fja", "fjb", "qdii",
    "index", "ota", "futures", in any case), a single code, or a list of
    codes. "fund" stands for the etf, lof, fja and fjb codes, in this order.

Returns
-------
list of str or str
    The codes for a keyword; a code or a list is returned unchanged.)doc";

// -- files, messages, log, usage --------------------------------------------------------------

inline constexpr const char* kReadFile = R"doc(Read a file whole, as bytes.

Parameters
----------
path : str
    Path of the file, relative to the working folder or absolute.

Returns
-------
bytes
    The file's content.

Raises
------
OSError
    When the file cannot be read, e.g. FileNotFoundError.)doc";

inline constexpr const char* kWriteFile =
    R"doc(Write text or bytes to a file, replacing or extending it.

Parameters
----------
path : str
    Path of the file; it is created when missing.
content : str or bytes
    What to write; text is written as UTF-8.
append : bool, default False
    Add to the end of the file instead of replacing its content.

Returns
-------
int
    The number of bytes written.

Raises
------
TypeError
    When content is neither text nor bytes-like; the file is left as it was.
OSError
    When the file cannot be written. A failed write keeps the file's old
    content: a new content replaces the file only once completely written
    (its permissions kept, a symbolic link written through), and a failed
    append cuts the file back to its old length.

Examples
--------
>>> write_file("notes.txt", "收益率 3%\n", append=True))doc";

inline constexpr const char* kRemoveFile =
    R"doc(Delete a file or folder, by default into the kit's trash.

Parameters
----------
path : str
    Path of the file or folder.
trash : bool, default True
    Move it to the trash, where it can be recovered; False deletes it for
    good.

Returns
-------
str or None
    The path in the trash, or None when deleted for good.

Raises
------
OSError
    When the path does not exist or cannot be removed.)doc";

inline constexpr const char* kUploadFile = R"doc(Copy a local file to the platform's file store.

Parameters
----------
file : str
    Path of the local file.
path : str, default ""
    Folder of the file store to put it in; the file keeps its name.

Returns
-------
dict
    The service's answer, such as the stored path and size.

Raises
------
OSError
    When the local file cannot be read.
APIException
    When not logged in, or with the service's message when it refuses.

Examples
--------
>>> upload_file("/home/u/data/a.csv", "reports")  # stored as reports/a.csv)doc";

inline constexpr const char* kDownloadFile =
    R"doc(Copy a file of the platform's file store to a local folder.

Parameters
----------
file : str
    Path of the file in the file store, such as "reports/a.csv".
path : str, default ""
    Local folder to write it to, keeping its name; "" is the working folder.

Returns
-------
int
    The number of bytes written.

Raises
------
APIException
    When not logged in, or with the service's message when it refuses; the
    local file is not touched then.
OSError
    When the local file cannot be written; an existing file keeps its old
    content then.)doc";

inline constexpr const char* kNotifyPush = R"doc(Push a message to the user through the platform.

Parameters
----------
content : str
    The message.
channel : str, default "wxpusher"
    The channel to push on, such as "wxpusher" or "email".
subject : str, default "Varden消息提醒"
    Subject line.
email_list : list or str, default None
    E-mail addresses, for the e-mail channel.
uids : list or str, default None
    Receiving user ids of the channel.
topic_ids : list, default None
    Topics of the channel to push to.
group_id : str or int, default None
    Group of the channel to push to.

Returns
-------
dict
    The service's answer.

Raises
------
APIException
    When not logged in, or with the service's message when it refuses.

Examples
--------
>>> notify_push("调仓完成", subject="策略提醒"))doc";

inline constexpr const char* kSetLogLevel =
    R"doc(Set the research log's level and, on the research platform, its file.

A level other than "info", "warn" or "error" is reported in the log and
leaves the level unchanged.

Parameters
----------
level : str
    "info", "warn" or "error": the lowest level shown.
is_limit : bool, default True
    Cap the number of messages shown.
filename : str, default None
    Also write the log to this file; only available on the research
    platform (elsewhere a warning is logged).

Returns
-------
None)doc";

inline constexpr const char* kGetApiUsage =
    R"doc(How much of the platform's data service this account has used.

Returns
-------
DataFrame
    The service's usage figures.

Raises
------
APIException
    When not logged in, or with the service's message when it refuses.)doc";

inline constexpr pyglue::Doc kModuleMembers[] = {
    {"query", kQuery},
    {"run_query", kRunQuery},
    {"get_fundamentals", kGetFundamentals},
    {"get_price", kGetPrice},
    {"get_candle_stick", kGetCandleStick},
    {"get_all_securities", kGetAllSecurities},
    {"normalize_symbol", kNormalizeSymbol},
    {"get_security_info", kGetSecurityInfo},
    {"get_all_trade_days", kGetAllTradeDays},
    {"get_trade_days", kGetTradeDays},
    {"get_last_trade_day", kGetLastTradeDay},
    {"get_future_code", kGetFutureCode},
    {"get_all_symbol_filter", kGetAllSymbolFilter},
    {"read_file", kReadFile},
    {"write_file", kWriteFile},
    {"remove_file", kRemoveFile},
    {"upload_file", kUploadFile},
    {"download_file", kDownloadFile},
    {"notify_push", kNotifyPush},
    {"set_log_level", kSetLogLevel},
    {"get_api_usage", kGetApiUsage},
};

}  // namespace studybench_docs
