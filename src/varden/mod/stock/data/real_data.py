"""Stand-in: the live reader: today's records of one instrument, each completed by the
request's fix.

A request carries the instrument and its record fix ``data_fix_fn``. Every live record (a
fresh dict) goes through the fix, and what the fix returns is kept. Stock and option requests
call ``data_fix_fn(record, last_symbol_dict=previous)`` with the previous kept record (an
empty dict for the first); futures requests call ``data_fix_fn(record)``. An exception from
the fix drops that record and the next one goes on; it is logged at info level unless it is
the fix's own discard signal, ``Exception("useless value.")``.
"""

from collections.abc import Mapping

import pandas as pd

from varden.mod.stock.data import intraday

DISCARD_SIGNAL = "useless value."


class _BaseDataRequest:
    passes_previous = True

    def __init__(self, instrument, data_fix_fn=None):
        self.instrument = instrument
        self.data_fix_fn = data_fix_fn

    @property
    def order_book_id(self):
        return self.instrument.order_book_id

    def fix(self, record, previous):
        """The record as the fix makes it (the record itself when there is no fix)."""
        if self.data_fix_fn is None:
            return record
        if self.passes_previous:
            return self.data_fix_fn(record, last_symbol_dict=previous)
        return self.data_fix_fn(record)

    def __repr__(self):
        return f"{type(self).__name__}({self.order_book_id!r})"


class StockBaseDataRequest(_BaseDataRequest):
    """Stock request; further keywords are the feed parameters of the request, kept as
    ``extra_params`` and shown in its repr (the sample feed needs none)."""

    def __init__(self, instrument, data_fix_fn=None, **extra_params):
        super().__init__(instrument, data_fix_fn)
        self.extra_params = extra_params

    def __repr__(self):
        params = "".join(f", {k}={v!r}" for k, v in self.extra_params.items())
        return f"{type(self).__name__}({self.order_book_id!r}{params})"


class FutureBaseDataRequest(_BaseDataRequest):
    passes_previous = False


class OptionBaseDataRequest(_BaseDataRequest):
    pass


def _in_range(stamp, day, start, end, by_minute):
    """Today's records belong to the range when today's date lies within the dates of start
    and end (NaT leaves a side open); for minute records, a start or end with a time of day
    also bounds the stamps (a daily record is stamped at the close, so only its day counts)."""
    if start is not pd.NaT:
        if day < start.normalize() or (by_minute and start != start.normalize() and stamp < start):
            return False
    if end is not pd.NaT:
        if day > end.normalize() or (by_minute and end != end.normalize() and stamp > end):
            return False
    return True


class RealData:
    """``RealData(system_log, request)``; ``now`` fixes the clock (default: the real now)."""

    def __init__(self, system_log, request, now=None):
        self.system_log = system_log
        self.request = request
        self.now = now

    def get_real_data(self, start, end, date_type):
        """A DataFrame of the kept records (one row each, a column per record key, in
        order), or None when none is kept."""
        now = intraday.live_clock() if self.now is None else pd.Timestamp(self.now)
        start, end = pd.Timestamp(start), pd.Timestamp(end)
        records = intraday.live_records(self.request.order_book_id, date_type, now)
        day = now.normalize()
        kept, previous = [], {}
        for record in records:
            if not _in_range(record["trade_date"], day, start, end, date_type == "minute"):
                continue
            try:
                fixed = self.request.fix(record, previous)
            except Exception as exc:
                if str(exc) != DISCARD_SIGNAL:
                    self.system_log.info("real_data_fix_fail", extra={
                        "symbol": self.request.order_book_id,
                        "trade_date": str(record["trade_date"]), "reason": repr(exc)})
                continue
            if not isinstance(fixed, Mapping):
                raise TypeError(f"data_fix_fn of {self.request!r} returned "
                                f"{type(fixed).__name__}, not the record mapping")
            kept.append(fixed)
            previous = fixed
        if not kept:
            return None
        return pd.DataFrame([dict(record) for record in kept])
