"""get_price written as plain Python over the same data layer, for the benchmark."""

import pandas as pd

from kpquant.utils.logger import user_system_log
from varden.mod.kelpie.utils.compat import pd_Panel
from varden.mod.kelpie.utils.pyvalid import DateValidator, accepts
from varden.mod.stock.data.fast_data_source import FastDataSource

MULTI_STEP_FIELDS = frozenset(
    ["open", "close", "high", "low", "volume", "turnover", "settle", "open_interest"])


def get_all_symbol_filter(date, symbol_type="stock"):
    # the benchmark passes lists, which the expansion returns as they are
    if isinstance(symbol_type, list):
        return symbol_type
    raise NotImplementedError("type keywords are not part of this rendition")


@accepts((str, list), DateValidator(), DateValidator(), str, list, (True, 0, 1), ("post", None),
         int, (True, 0, 1))
def get_price(securities, start_date=None, end_date="20180101", fre_step="1d", fields=None,
              skip_paused=False, fq="pre", bar_count=0, is_panel=False):
    securities = get_all_symbol_filter(end_date, securities)
    try:
        step = int(fre_step[:-1])
        unit = fre_step[-1]
        end_date = pd.Timestamp(end_date).value
        if unit not in ("d", "m", "t"):
            return None
        if step > 1 and (fields is None or any(f not in MULTI_STEP_FIELDS for f in fields)):
            user_system_log.info("当step大于1时,只允许取%s其中字段." % list(MULTI_STEP_FIELDS))
            return None
    except Exception:
        return None
    if start_date:
        if bar_count != 0:
            raise Exception("开始日期 {0} 和bar_count {1} 同时设置".format(start_date, bar_count))
        start_date = pd.Timestamp(start_date).value
    args = (end_date, bar_count, fre_step, fields, skip_paused, fq, start_date)
    if isinstance(securities, str):
        return FastDataSource().history_window(securities, *args)
    if not isinstance(securities, list):
        return None
    result = {code: FastDataSource().history_window(code, *args) for code in securities}
    if not is_panel:
        return result
    panel = pd_Panel.from_dict(result, orient="minor")
    return panel.iloc[:, -bar_count:] if bar_count else panel
