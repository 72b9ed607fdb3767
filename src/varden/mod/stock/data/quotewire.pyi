"""Today's live bars appended to a history block, for stocks, futures and options."""

import datetime
from collections.abc import Callable, Mapping, MutableMapping
from typing import Any, Protocol, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

# Anything pd.Timestamp accepts; None becomes NaT.
_DateLike: TypeAlias = str | datetime.date | np.datetime64 | None

class _Instrument(Protocol):
    # The data layer's instrument: its kind and its code ("600000.SH").
    @property
    def enum_type(self) -> Any: ...
    @property
    def order_book_id(self) -> str: ...

# Keys "YYYY-MM-DD-<code>"; the load date is kept in its `date` attribute.
real_factor_cache: MutableMapping[str, float]

# The block with today's rows appended, or `last_data` itself; never raises.
def quotation_get_remote(
    instrument: _Instrument,
    start_date: _DateLike,
    end_date: _DateLike,
    last_data: npt.NDArray[Any],
    fre: str,
    fields: list[str],
) -> npt.NDArray[Any]: ...
def stock_daily_quotation_get(
    instrument: _Instrument,
    start_dt: _DateLike,
    end_dt: _DateLike,
    field: list[str],
    last_data: npt.NDArray[Any],
) -> npt.NDArray[Any]: ...
def stock_minute_quotation_get(
    instrument: _Instrument,
    start_dt: _DateLike,
    end_dt: _DateLike,
    field: list[str],
    last_data: npt.NDArray[Any],
) -> npt.NDArray[Any]: ...
def futures_daily_quotation_get(
    instrument: _Instrument,
    start_dt: _DateLike,
    end_dt: _DateLike,
    field: list[str],
    last_data: npt.NDArray[Any],
) -> npt.NDArray[Any]: ...
def futures_minute_quotation_get(
    instrument: _Instrument,
    start_dt: _DateLike,
    end_dt: _DateLike,
    field: list[str],
    last_data: npt.NDArray[Any],
) -> npt.NDArray[Any]: ...
def option_daily_quotation_get(
    instrument: _Instrument,
    start_dt: _DateLike,
    end_dt: _DateLike,
    field: list[str],
    last_data: npt.NDArray[Any],
) -> npt.NDArray[Any]: ...
def option_minute_quotation_get(
    instrument: _Instrument,
    start_dt: _DateLike,
    end_dt: _DateLike,
    field: list[str],
    last_data: npt.NDArray[Any],
) -> npt.NDArray[Any]: ...

# One live fetch for a stock: a DataFrame of today's records, or None.
def stock_base(
    instrument: _Instrument,
    start_dt: _DateLike = None,
    end_dt: _DateLike = None,
    date_type: str = "minute",
    **extra_params: Any,
) -> pd.DataFrame | None: ...
def _real_factor(symbol: str) -> float | None: ...
def _real_pre_field(symbol: str) -> Callable[[float], float]: ...

# Record fixes, called by the data layer once per live record (raise to drop it).
def _data_fix(
    symbol_dict: dict[str, Any],
    last_data: dict[str, Any],
    last_symbol_dict: Mapping[str, Any],
    rm_mins: list[str] = [],
) -> dict[str, Any]: ...
def _data_future_fix(symbol_dict: dict[str, Any], last_data: dict[str, Any]) -> dict[str, Any]: ...
def _data_option_fix(
    symbol_dict: dict[str, Any], last_data: dict[str, Any], last_symbol_dict: Mapping[str, Any]
) -> dict[str, Any]: ...
