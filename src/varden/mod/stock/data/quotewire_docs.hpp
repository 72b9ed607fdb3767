// Docstrings of varden.mod.stock.data.quotewire.
#pragma once

#include "pyglue/docstring.hpp"

namespace quotewire_docs {

inline constexpr const char* kModule =
    R"doc(Real-time quotation: completes a history block of bars with today's live bars.

The data layer calls quotation_get_remote with a block of bars that reaches
the current day; the bars the live service has produced today are appended
below it, each completed from the last historical bar (price limits,
adjustment factor, previous close, rates, margins). Today's adjustment
factors are cached for 20 hours in `real_factor_cache`.)doc";

inline constexpr const char* kQuotationGetRemote =
    R"doc(Append today's live bars to a history block; never raises.

Chooses the getter by the instrument's kind (futures, stock or option)
and by `fre`. When anything fails, one error entry
"quotation_get_remote_fail" is logged with the symbol, the dates and the
reason, and `last_data` is returned as it was.

Parameters
----------
instrument : Instrument
    The data layer's instrument; its kind and order_book_id are read.
start_date : date-like
    Start of the live fetch.
end_date : date-like
    End of the live fetch.
last_data : numpy.ndarray
    The history block: one row per bar, oldest first, columns in the order
    of `fields`, bar times as int64 nanoseconds since the epoch.
fre : str
    "1d" for daily bars; any other value selects minute bars.
fields : list of str
    The column names of `last_data`, such as ["trade_date", "close"]; left
    unchanged.

Returns
-------
numpy.ndarray
    `last_data` with today's bars appended in the same column order, or
    `last_data` itself when there is nothing to add, the instrument is of
    none of the three kinds, or the fetch failed.)doc";

// What the six quotation getters share below their first paragraph: parameters, result and
// errors.
inline constexpr char kGetterShared[] = R"doc(

Parameters
----------
instrument : Instrument
    The data layer's instrument; its order_book_id is read.
start_dt : date-like
    Start of the live fetch.
end_dt : date-like
    End of the live fetch.
field : list of str
    The column names of `last_data`, in order; left unchanged.
last_data : numpy.ndarray
    The history block, one row per bar, oldest first; at least one row.

Returns
-------
numpy.ndarray
    `last_data` with today's bars appended in the column order of `field`
    (bar times as int64 nanoseconds), or `last_data` itself when the live
    service has no bars.

Raises
------
Exception
    Any failure of the fetch or the merge; quotation_get_remote is the
    entry that logs failures instead.)doc";

inline constexpr char kStockDailyHead[] =
    R"doc(Append today's daily bar of a stock to its history block.

Each bar gets price limits, factor, previous close (after today's dividend
when "prev_close" is a column), paused and ST flags, average price and
rates; its time is today at midnight.)doc";
inline constexpr const char* kStockDaily = pyglue::joined<kStockDailyHead, kGetterShared>.data();

inline constexpr char kStockMinuteHead[] =
    R"doc(Append today's minute bars of a stock to its history block.

Each bar gets price limits, factor, previous close, paused and ST flags,
average price and rates; the 09:30 bar is left out.)doc";
inline constexpr const char* kStockMinute = pyglue::joined<kStockMinuteHead, kGetterShared>.data();

inline constexpr char kFuturesDailyHead[] =
    R"doc(Append today's daily bar of a futures contract to its history block.

Changes and rates are measured against the previous settlement price;
margins and fees are taken over from the last historical bar; its time is
today at midnight.)doc";
inline constexpr const char* kFuturesDaily =
    pyglue::joined<kFuturesDailyHead, kGetterShared>.data();

inline constexpr char kFuturesMinuteHead[] =
    R"doc(Append today's minute bars of a futures contract to its history block.

Changes and rates are measured against the previous settlement price;
margins and fees are taken over from the last historical bar.)doc";
inline constexpr const char* kFuturesMinute =
    pyglue::joined<kFuturesMinuteHead, kGetterShared>.data();

inline constexpr char kOptionDailyHead[] =
    R"doc(Append today's daily bar of an option to its history block.

Changes are measured against the previous settlement price; the option's
own values are added under the bar store's names; the bar time goes to the
"date" column, today at midnight.)doc";
inline constexpr const char* kOptionDaily = pyglue::joined<kOptionDailyHead, kGetterShared>.data();

inline constexpr char kOptionMinuteHead[] =
    R"doc(Append today's minute bars of an option to its history block.

Changes are measured against the previous settlement price; the option's
own values are added under the bar store's names.)doc";
inline constexpr const char* kOptionMinute =
    pyglue::joined<kOptionMinuteHead, kGetterShared>.data();

inline constexpr const char* kStockBase = R"doc(Fetch a stock's live bars of today as a table.

Parameters
----------
instrument : Instrument
    The data layer's stock instrument.
start_dt : date-like, default None
    Start of the fetch.
end_dt : date-like, default None
    End of the fetch.
date_type : str, default "minute"
    "minute" or "daily" bars.
**extra_params
    Passed on to the live request, such as `data_fix_fn`, the function that
    completes each record.

Returns
-------
DataFrame or None
    One row per live bar, or None when the service has none.)doc";

inline constexpr pyglue::Doc kModuleMembers[] = {
    {"quotation_get_remote", kQuotationGetRemote},
    {"stock_daily_quotation_get", kStockDaily},
    {"stock_minute_quotation_get", kStockMinute},
    {"futures_daily_quotation_get", kFuturesDaily},
    {"futures_minute_quotation_get", kFuturesMinute},
    {"option_daily_quotation_get", kOptionDaily},
    {"option_minute_quotation_get", kOptionMinute},
    {"stock_base", kStockBase},
};

}  // namespace quotewire_docs
