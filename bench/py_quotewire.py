"""Plain-Python rendition of the quotation module's record fixes and merge.

Written the way the module would read in Python. The benchmarks time the compiled module
against it, and the differential tests take it as the reference for the record fixes' results
and errors. Collaborators are module attributes, patched the same way as on the compiled module.
"""

from functools import partial

import numpy as np
import pandas as pd
from cachetools import TTLCache
from kpquant.utils.logger import system_log
from varden.mod.kelpie.data.extra_hdf_store import ExtraHDFStore
from varden.mod.stock.model import (
    INST_TYPE_IN_FUTURE_ACCOUNT,
    INST_TYPE_IN_OPTION_ACCOUNT,
    INST_TYPE_IN_STOCK_ACCOUNT,
)
from varden.mod.stock.data.real_data import (
    FutureBaseDataRequest,
    OptionBaseDataRequest,
    RealData,
    StockBaseDataRequest,
)


def quotation_get_remote(instrument, start_date, end_date, last_data, fre, fields):
    try:
        if instrument.enum_type in INST_TYPE_IN_FUTURE_ACCOUNT:
            getter = futures_daily_quotation_get if fre == "1d" else futures_minute_quotation_get
        elif instrument.enum_type in INST_TYPE_IN_STOCK_ACCOUNT:
            getter = stock_daily_quotation_get if fre == "1d" else stock_minute_quotation_get
        elif instrument.enum_type in INST_TYPE_IN_OPTION_ACCOUNT:
            getter = option_daily_quotation_get if fre == "1d" else option_minute_quotation_get
        else:
            return last_data
        return getter(instrument, start_date, end_date, fields, last_data)
    except Exception as e:
        system_log.error(
            "quotation_get_remote_fail",
            extra={
                "symbol": instrument.order_book_id,
                "start_date": str(start_date),
                "end_date": str(end_date),
                "reason": str(e),
            },
        )
        return last_data


def _merge(data, last_data, field, date_column, daily):
    if data is None or data.empty:
        return last_data
    index = pd.DatetimeIndex(data[date_column])
    if daily:
        index = index.normalize()
    data[date_column] = index.as_unit("ns").astype(np.int64)
    return np.concatenate((last_data, data[field].values))


def stock_base(instrument, start_dt=None, end_dt=None, date_type="minute", **extra_params):
    request = StockBaseDataRequest(instrument, **extra_params)
    return RealData(system_log, request).get_real_data(
        pd.Timestamp(start_dt), pd.Timestamp(end_dt), date_type
    )


def _stock_reference(instrument, field, last_data):
    last_data_dict = dict(zip(field, last_data[-1]))
    last_data_dict["order_book_id"] = instrument.order_book_id
    if "factor" in field:
        factor = _real_factor(instrument.order_book_id)
        last_data_dict["factor"] = factor if factor else last_data_dict.get("factor")
    return last_data_dict


def stock_daily_quotation_get(instrument, start_dt, end_dt, field, last_data):
    last_data_dict = _stock_reference(instrument, field, last_data)
    if "prev_close" in field:
        last_data_dict["pre_field_fn"] = _real_pre_field(instrument.order_book_id)
    data = stock_base(
        instrument, start_dt, end_dt, "daily",
        data_fix_fn=partial(_data_fix, last_data=last_data_dict),
    )
    return _merge(data, last_data, field, "trade_date", True)


def stock_minute_quotation_get(instrument, start_dt, end_dt, field, last_data):
    last_data_dict = _stock_reference(instrument, field, last_data)
    data = stock_base(
        instrument, start_dt, end_dt,
        data_fix_fn=partial(_data_fix, last_data=last_data_dict, rm_mins=["0930"]),
    )
    return _merge(data, last_data, field, "trade_date", False)


def _fetch(request_class, fix, instrument, start_dt, end_dt, date_type, last_data_dict):
    request = request_class(instrument, data_fix_fn=partial(fix, last_data=last_data_dict))
    return RealData(system_log, request).get_real_data(
        pd.Timestamp(start_dt), pd.Timestamp(end_dt), date_type
    )


def futures_daily_quotation_get(instrument, start_dt, end_dt, field, last_data):
    last_data_dict = dict(zip(field, last_data[-1]))
    data = _fetch(FutureBaseDataRequest, _data_future_fix, instrument, start_dt, end_dt,
                  "daily", last_data_dict)
    return _merge(data, last_data, field, "trade_date", True)


def futures_minute_quotation_get(instrument, start_dt, end_dt, field, last_data):
    last_data_dict = dict(zip(field, last_data[-1]))
    data = _fetch(FutureBaseDataRequest, _data_future_fix, instrument, start_dt, end_dt,
                  "minute", last_data_dict)
    return _merge(data, last_data, field, "trade_date", False)


def option_daily_quotation_get(instrument, start_dt, end_dt, field, last_data):
    field = list(field)
    last_data_dict = dict(zip(field, last_data[-1]))
    data = _fetch(OptionBaseDataRequest, _data_option_fix, instrument, start_dt, end_dt,
                  "daily", last_data_dict)
    return _merge(data, last_data, field, "date", True)


def option_minute_quotation_get(instrument, start_dt, end_dt, field, last_data):
    field = list(field)
    last_data_dict = dict(zip(field, last_data[-1]))
    data = _fetch(OptionBaseDataRequest, _data_option_fix, instrument, start_dt, end_dt,
                  "minute", last_data_dict)
    return _merge(data, last_data, field, "trade_date", False)


real_factor_cache = TTLCache(maxsize=10240, ttl=72000)


def _real_factor(symbol):
    date = pd.Timestamp.now().strftime("%Y-%m-%d")
    if getattr(real_factor_cache, "date", "") != date:
        try:
            if getattr(real_factor_cache, "date", "") == date:
                raise Exception("already load, skip.")
            sql = "select symbol, factor from last_stock_factor where trade_date = '{}';".format(date)
            with ExtraHDFStore() as store:
                frame = store.read(sql)
            if frame.empty:
                return None
            for _, row in frame.iterrows():
                real_factor_cache["{}-{}".format(date, row["symbol"])] = row.get("factor")
            real_factor_cache.date = date
        except Exception:
            real_factor_cache.date = date
    try:
        return float(real_factor_cache.get("{}-{}".format(date, symbol)))
    except Exception:
        return None


def _real_pre_field(symbol):
    from varden.mod.stock.data.fast_data_source import FastDataSource

    now_dt = pd.Timestamp.now().normalize().value
    fq_data = FastDataSource()._dividends.get_pre_with_symbol(symbol, now_dt, now_dt)
    if len(fq_data) > 0:
        (_, amount, dividend_ratio, split_ratio, allotment_price, allotment_num,
         consideration_cash, consideration_num, share_split_num) = fq_data[0]

        def pre_field(x):
            return round(
                (x - amount + allotment_price * allotment_num - consideration_cash)
                / (dividend_ratio + 1 / split_ratio + allotment_num + consideration_num)
                / share_split_num * 100
            ) / 100

        return pre_field
    return lambda x: x


def _identity(x):
    return x


_rm_mins = []
_BINARY_FLOATS = (np.float64, np.float32, np.float16)


def _round2(x):
    # numpy's own round scales by 100 first and so rounds some stored values the wrong way.
    if type(x) in _BINARY_FLOATS:
        return type(x)(round(float(x), 2))
    return round(x, 2)


def _data_fix(symbol_dict, last_data, last_symbol_dict, rm_mins=_rm_mins):
    if symbol_dict["trade_date"].strftime("%H%M") in rm_mins:
        raise Exception("useless value.")
    minute_mode = bool(rm_mins)

    if not last_data.get("high_limit"):
        margin = np.nan
    elif last_data["order_book_id"].endswith(".BJ"):
        margin = 0.3
    elif symbol_dict["ticker"].startswith(("30", "688", "689")):
        margin = 0.2
    elif last_data.get("is_st"):
        margin = 0.05
    else:
        margin = 0.1

    fields = {}
    fields["high_limit"] = _round2(last_data.get("close", 0) * (1 + margin))
    fields["low_limit"] = _round2(last_data.get("close", 0) * (1 - margin))
    fields["factor"] = last_data.get("factor")
    if minute_mode:
        fields["prev_close"] = last_symbol_dict.get("close", last_data.get("close"))
    else:
        fields["prev_close"] = last_data.get("pre_field_fn", _identity)(last_data.get("close"))
    if symbol_dict.get("volume"):
        fields["is_paused"] = 0.0
    elif last_symbol_dict.get("volume"):
        fields["is_paused"] = 0.0
    else:
        fields["is_paused"] = float(last_data.get("is_paused"))
    fields["is_st"] = last_data.get("is_st")
    if symbol_dict.get("volume", 1):
        fields["avg_price"] = symbol_dict.get("turnover", 0) / symbol_dict.get("volume", 1)
    else:
        fields["avg_price"] = last_symbol_dict.get("avg_price", last_data.get("avg_price", 1))
    fields["quote_rate"] = (symbol_dict.get("close", 0) / last_data.get("close", 1) - 1) * 100
    if symbol_dict.get("volume", 1) and last_symbol_dict.get("volume", last_data.get("volume", 1)):
        fields["turnover_rate"] = (
            symbol_dict.get("volume", 0)
            * last_symbol_dict.get("turnover_rate", last_data.get("turnover_rate", 0))
            / last_symbol_dict.get("volume", last_data.get("volume", 1))
        )
    else:
        fields["turnover_rate"] = last_symbol_dict.get(
            "turnover_rate", last_data.get("turnover_rate", 1)
        )
    fields["amp_rate"] = (
        (symbol_dict.get("high", 0) - symbol_dict.get("low", 0))
        / last_symbol_dict.get("close", last_data.get("close", 1))
        * 100
    )
    symbol_dict.update(fields)
    return symbol_dict


def _data_future_fix(symbol_dict, last_data):
    if (
        symbol_dict["trade_date"].strftime("%H%M") in ("0900", "0930", "2100")
        and "rm_before_dt" not in last_data
    ):
        last_data["rm_before_dt"] = True
        raise Exception("useless value.")
    settle = symbol_dict.get("settle") or symbol_dict.get("close", 0)
    symbol_dict.update({
        "change": symbol_dict.get("close", 0) - last_data.get("settle", 0),
        "change1": settle - last_data.get("settle", 0),
        "amp_rate": (symbol_dict.get("high", 0) - symbol_dict.get("low", 0))
        / last_data.get("settle", 1) * 100,
        "high_limit": np.nan,
        "low_limit": np.nan,
        "settle": settle,
        "prev_close": last_data.get("close", 0),
        "prev_settle": last_data.get("settle", 0),
        "buy_margin": last_data.get("buy_margin", 0),
        "sell_margin": last_data.get("sell_margin", 0),
        "flat_fee": last_data.get("flat_fee", 0),
        "float_fee": last_data.get("float_fee", 0),
        "float_today": last_data.get("float_today", 0),
        "d1_buy_margin": last_data.get("d1_buy_margin", 0),
        "d1_sell_margin": last_data.get("d1_sell_margin", 0),
        "d2_buy_margin": last_data.get("d2_buy_margin", 0),
        "d2_sell_margin": last_data.get("d2_sell_margin", 0),
        "d3_buy_margin": last_data.get("d3_buy_margin", 0),
        "d3_sell_margin": last_data.get("d3_sell_margin", 0),
        "quote_rate": (symbol_dict.get("close", 0) / last_data.get("settle", 1) - 1) * 100,
        "main_contract": last_data.get("main_contract", 0),
        "pos_change": symbol_dict.get("open_interest", 0) - last_data.get("open_interest", 0),
    })
    return symbol_dict


def _data_option_fix(symbol_dict, last_data, last_symbol_dict):
    if symbol_dict["trade_date"].strftime("%H%M") == "0930":
        raise Exception("useless value.")
    settle = symbol_dict.get("settle") or symbol_dict.get("close", 0)
    symbol_dict.update({
        "change": symbol_dict.get("close", 0) - last_data.get("settle", 0),
        "change1": settle - last_data.get("settle", 0),
        "prev_close": last_data.get("close", 0),
        "prev_settle": last_data.get("settle", 0),
        "quote": symbol_dict.get("close", 0) - last_data.get("settle", last_data.get("close", 0)),
        "quote_rate": (
            symbol_dict.get("close", 0) / last_data.get("settle", last_data.get("close", 1)) - 1
        ) * 100,
        "settle": settle,
        "avg_price": (
            symbol_dict.get("turnover", 0) / symbol_dict.get("volume", 1) / 10000
            if symbol_dict.get("volume", 1)
            else last_symbol_dict.get("avg_price", last_data.get("avg_price", 1))
        ),
        "date": symbol_dict.get("trade_date", 0),
        "delta": symbol_dict.get("delta", 0),
        "implied_volatility": symbol_dict.get("implied_volatility", 0),
        "exercise_amount": symbol_dict.get("exercise_amount", 0),
        "volume_num": symbol_dict.get("volume_num", 0),
    })
    return symbol_dict
