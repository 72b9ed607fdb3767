// Docstrings of varden.mod.tradeapi.api.dealdesk.
#pragma once

#include "pyglue/docstring.hpp"

namespace dealdesk_docs {

inline constexpr const char* kModule = R"doc(Live account access through the kit's trading client.

TradeAPI reads one brokerage account: balances, positions, fills, orders
and pushed order updates, with the broker's codes, sides and price types
translated into the kit's (MARKET, SIDE, PRICETYPE). Every account of the
process shares one trading client.)doc";

// -- conversions ------------------------------------------------------------------------------

inline constexpr const char* kMarket =
    R"doc(Market of a security code, between the kit's suffixes and the broker's numbers.

The class tables `re_convert` and `re_revert` map code patterns to market
numbers and suffixes; the first matching pattern wins.)doc";

inline constexpr const char* kMarketConvert =
    R"doc(The broker's market number of a kit security code.

Parameters
----------
symbol : str
    A code with its market suffix, such as "600000.SH".

Returns
-------
int or None
    1 for ".SZ" (and ".OF" funds beginning with 1), 2 for ".SH" (and ".OF"
    funds beginning with 5), 3 for ".BJ"; None for anything else.)doc";

inline constexpr const char* kMarketRevert = R"doc(The kit's market suffix of a bare broker code.

Parameters
----------
symbol : str
    A code without suffix, such as "600000".

Returns
-------
str or None
    "SZ" for codes beginning 00, 12, 30, 15, 16, 17 or 18; "SH" for 11, 60,
    688, 689 or 5; "BJ" for 4, 8 or 9; None for anything else.)doc";

inline constexpr const char* kPriceType = R"doc(Price types of the broker, as display texts.

The class table `price_revert` maps 0 to "限价单" (limit order) and 3 to
"市价单" (market order).)doc";

inline constexpr const char* kPriceTypeRevert = R"doc(The display text of a broker price type.

Parameters
----------
num : int
    The broker's price type.

Returns
-------
str or None
    "限价单" for 0, "市价单" for 3, None for any other value.)doc";

inline constexpr const char* kSideMixin =
    R"doc(Gives the side enumeration SIDE its revert class method.)doc";

inline constexpr const char* kSideRevert = R"doc(The kit's side name of a broker side code.

Parameters
----------
num : int
    The broker's side code, such as 0 or 6.

Returns
-------
str or int
    The member name, such as "BUY" or "FINANCE_BUY"; `num` itself when no
    side has that code.

Examples
--------
>>> SIDE.revert(6)
'FINANCE_BUY')doc";

inline constexpr const char* kSide = R"doc(Order sides, valued by the broker's side codes.

BUY 0, SALE 1, PURCHASE 4, REDEEM 5, FINANCE_BUY 6, STOCK_SALE 7,
SALE_REPAY 8, BUY_REPAY 9, DIRECT_REPAY 10, STOCK_REPAY 11,
STOCK_REPAY_TRANSFER 14, STOCK_LEFT_TRANSFER 15, IPO 16. SIDE.revert(code)
gives the name of a code.)doc";

// -- rate limit, session ----------------------------------------------------------------------

inline constexpr const char* kRateLimit =
    R"doc(Decorator limiting how often a TradeAPI method may be called.

The limit is shared by every instance of the class. The decorated method
takes two more keywords: raise_on_limit (default True) raises when a call
comes too early, sleep_on_limit (default False) waits until the call is
allowed instead; the method itself never sees them. Each call follows its
own switches, whatever other threads pass meanwhile.

Parameters
----------
calls : int, default 1
    Calls allowed per period.
period : int, default 3
    Length of the period, in seconds.
raise_message : str, default None
    Message of the exception raised for a call over the limit.

Returns
-------
callable
    The decorator.

Examples
--------
>>> @rate_limit(calls=1, period=3, raise_message="请稍后重试。")
... def secondary_orders(self): ...)doc";

inline constexpr const char* kTraderRPC = R"doc(Factory of the process's one trading client.

TraderRPC() returns the shared trading client, created on first use; it
never returns a TraderRPC.)doc";

// -- the account ------------------------------------------------------------------------------

inline constexpr const char* kTradeAPI =
    R"doc(One live brokerage account, read through the kit's trading client.

Every query asks the broker through the trading client shared by the whole
process. The account's token is looked up on the first query and kept.
Records are NameDicts: dicts whose keys can also be read as attributes
(record.symbol). Failed queries raise TradeException with a description
and the broker's message or the original error's traceback.

Parameters
----------
account_id : str
    The broker account number.

Raises
------
TradeException
    From every query, "获取账户(<id>)：失败(<reason>)." when the trading
    client lists no such account of trade type "0".

Examples
--------
>>> account = TradeAPI("880001234")
>>> account.portfolio["available_cash"])doc";

inline constexpr const char* kPortfolio =
    R"doc(Cash and asset totals of the account, read from the broker at each access.

A NameDict with the keys available_cash, market_value, total_value and
frozen_cash. Raises TradeException "账号资金查询失败: ..." when the query
fails.)doc";

inline constexpr const char* kPositions =
    R"doc(Held securities, read from the broker at each access.

A dict from kit symbol (such as "600000.SH") to a NameDict with the keys
symbol, name, amount, frozen_amount, available_amount, market_value,
cost_basis, last_price, pnl and profit_rate (pnl and profit_rate rounded to
4 places; profit_rate None without a cost price). Raises TradeException
"账号持仓查询失败: ..." when the query fails.)doc";

inline constexpr const char* kGetTradelogs = R"doc(Fills of the account reported by the broker.

Returns
-------
list of NameDict
    One record per fill, in the broker's order, with the keys symbol, name,
    secondary_order_id, amount, side, trade_price, datetime (a Timestamp)
    and commission.

Raises
------
TradeException
    "账号成交查询失败: ..." with the details when the query fails.)doc";

inline constexpr const char* kSecondaryOrders =
    R"doc(Orders the broker holds for the account; at most one call in 3 seconds.

The limit is shared by every TradeAPI of the process. Two extra keywords
choose what a call too early does: raise_on_limit=True (the default)
raises with "该查询函数使用最小间隔为3秒，请稍后重试。", sleep_on_limit=True
waits and then queries.

Returns
-------
list of NameDict
    One record per order, in the broker's order, with the keys symbol,
    name, secondary_order_id, amount, side, price, price_type, datetime (a
    Timestamp), status, trade_amount and trade_price.

Raises
------
TradeException
    "账号委托查询失败: ..." with the details when the query fails.)doc";

inline constexpr const char* kGetOrders =
    R"doc(Order instructions of the account, optionally one of them or a time window.

Parameters
----------
order_id : str, default None
    The instruction id (order_id of a record); None lists every instruction.
start_time : date-like, default None
    Start of the time window; used only together with end_time.
end_time : date-like, default None
    End of the time window; used only together with start_time.

Returns
-------
list of NameDict
    One record per instruction of this account, with the keys symbol,
    order_id, secondary_order_id, amount, side, price, price_type ("限价单",
    "市价单" or None), datetime (a Timestamp), status, cancel_amount,
    trade_amount, trade_price and message.

Raises
------
TradeException
    "委托查询失败: ..." with the broker's message or the details when the
    query fails.

Examples
--------
>>> account.get_orders(start_time="2024-01-05", end_time="2024-01-05 15:00"))doc";

inline constexpr const char* kRegisterPush =
    R"doc(Have the broker's order updates of the account pushed to a function.

Subscribes the account to the broker's order pushes. Each pushed order is
translated into a record with the keys symbol, name, secondary_order_id,
amount, side, price, price_type, datetime, status, trade_amount and
trade_price, and passed to `orderpush` on the trading client's thread.
Each call adds one more subscriber.

Parameters
----------
orderpush : callable, default None
    Called with each order record; None subscribes without a function.

Returns
-------
None

Raises
------
TradeException
    "委托推送注册失败(<id>): <reason>" when the broker refuses the
    subscription.

Examples
--------
>>> account.register_push(lambda order: print(order["symbol"], order["status"])))doc";

inline constexpr pyglue::Doc kModuleMembers[] = {
    {"MARKET", kMarket}, {"PRICETYPE", kPriceType},  {"SideMixin", kSideMixin},
    {"SIDE", kSide},     {"rate_limit", kRateLimit}, {"TraderRPC", kTraderRPC},
};

inline constexpr pyglue::Doc kMarketMembers[] = {
    {"convert", kMarketConvert},
    {"revert", kMarketRevert},
};

inline constexpr pyglue::Doc kPriceTypeMembers[] = {
    {"revert", kPriceTypeRevert},
};

inline constexpr pyglue::Doc kSideMixinMembers[] = {
    {"revert", kSideRevert},
};

inline constexpr pyglue::Doc kTradeAPIMembers[] = {
    {"get_tradelogs", kGetTradelogs},
    {"get_orders", kGetOrders},
    {"register_push", kRegisterPush},
};

}  // namespace dealdesk_docs
