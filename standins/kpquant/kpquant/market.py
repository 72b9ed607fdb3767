"""Stand-in: what the engine reads from the kit's data layer: the calendar, daily bars,
close prices.

The data layer is imported at first use; without it the calendar is every weekday and no
bar or price is known.
"""

import math

import pandas as pd

_DATA_LAYER_MODULES = (
    "varden",
    "varden.mod",
    "varden.mod.stock",
    "varden.mod.stock.data",
    "varden.mod.stock.data.fast_data_source",
    "varden.mod.stock.data.data_proxy",
)


def _import_data_layer():
    try:
        from varden.mod.stock.data.data_proxy import DataProxy
        from varden.mod.stock.data.fast_data_source import FastDataSource
    except ModuleNotFoundError as exc:
        # Only the data layer's own absence counts; a broken dependency inside it must show.
        if exc.name in _DATA_LAYER_MODULES:
            return None
        raise
    return DataProxy, FastDataSource


class MarketData:
    def __init__(self):
        layer = _import_data_layer()
        self._proxy_cls, self._source_cls = layer if layer else (None, None)
        self._source = self._source_cls() if self._source_cls else None

    @property
    def has_data_layer(self):
        return self._source is not None

    def trading_days(self, start_date, end_date):
        start = pd.Timestamp(start_date).normalize()
        end = pd.Timestamp(end_date).normalize()
        if start > end:
            raise ValueError(f"start date {start.date()} is after end date {end.date()}")
        if self._source is None:
            return list(pd.bdate_range(start, end))
        days = pd.DatetimeIndex(self._proxy_cls(self._source).all_execution_days)
        return list(days[(days >= start) & (days <= end)])

    def _last_bar(self, symbol, dt, fields):
        if self._source is None:
            return None
        bars = self._source.history_window(
            symbol, pd.Timestamp(dt).value, 1, "1d", fields, False, "pre", None
        )
        if bars is None or len(bars) == 0:
            return None
        return bars.iloc[-1]

    def bar(self, symbol, dt):
        bar = self._last_bar(symbol, dt, None)
        if bar is None:
            raise KeyError(f"no daily bar of {symbol} up to {dt}")
        return bar

    def close(self, symbol, dt):
        bar = self._last_bar(symbol, dt, ["close"])
        if bar is None:
            return None
        price = float(bar["close"])
        return None if math.isnan(price) else price


class BarMap:
    """``bar_dict`` of ``handle_bar``: ``bar_dict[symbol]`` is the symbol's latest daily bar."""

    def __init__(self, market, dt):
        self._market = market
        self._dt = dt

    def __getitem__(self, symbol):
        return self._market.bar(symbol, self._dt)
