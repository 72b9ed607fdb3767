"""The data layer's embedded sample store: one SQLite file built from a seeded generator.

The file lives at ``ROOT_PATH/cache/sample_store-v<STORE_VERSION>.sqlite3``. ``open_store()``
builds it on first use (to a temporary file, then an atomic rename) and rebuilds it when its
``store_version`` or its ``built_for`` day differs from today, so that "today" is always inside
the calendar and today's factor rows exist. Callers only read (the connection is read-only).
Past values do not depend on the build day: every random series is seeded per (code, year).

Dates are TEXT "%Y-%m-%d". Codes are digits plus a market suffix (".SH", ".SZ", ".BJ", ".OF";
futures ".CFE" and ".SHF"). Prices are in yuan (index points for indexes and IF futures),
volumes in shares (contracts for futures and options), turnover in yuan.

Schema
------
meta(key TEXT PRIMARY KEY, value TEXT)
    keys: store_version, built_for (the build's today), calendar_start ("2015-01-01"),
    calendar_end (Dec 31 of next year), bars_start, bars_end (last day with daily bars:
    the trading day before built_for).

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
    cumulative post-adjustment factor (1.0 at the first bar). prev_close is the ex-rights
    reference on an ex-date. settle .. main_contract: futures (settle, prev_settle,
    open_interest also options). delta .. volume_num: options. turnover_rate in percent.

bars (VIEW): every column of daily_bars plus avg_price (turnover / volume / multiplier, the
    close on a day without volume), quote_rate and amp_rate (percent, against prev_settle
    for futures and options, else prev_close), change (close - prev_settle or prev_close),
    change1 (settle - prev_settle), quote (= change), and for futures the day's margin and
    fee fields buy_margin, sell_margin, flat_fee, float_fee, float_today, d1_buy_margin,
    d1_sell_margin, d2_buy_margin, d2_sell_margin, d3_buy_margin, d3_sell_margin.

dividends(symbol, ex_date, amount, dividend_ratio, split_ratio, allotment_price,
          allotment_num, consideration_cash, consideration_num, share_split_num;
          PRIMARY KEY (symbol, ex_date))
    Capital events of stocks up to built_for, per share: cash amount, bonus shares per
    share, split_ratio (1 when no split), rights issue price and shares per share,
    consideration cash and shares, share_split_num (1 when no split).

ex_factors(symbol, ex_date, factor; PRIMARY KEY (symbol, ex_date))
    The cumulative adjustment factor in force from ex_date on; the first row of a stock is
    its first bar day with 1.0.

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
"""

STORE_VERSION = 1
