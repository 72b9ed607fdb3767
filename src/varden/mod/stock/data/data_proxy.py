"""Stand-in: the data proxy: trading-calendar moves, instrument look-ups and futures contract lists.

Dates given to the proxy are anything ``pd.Timestamp`` accepts; only their calendar day
counts, and a day outside the store's calendar raises ``ValueError``.
"""

import operator


class DataProxy:
    def __init__(self, data_source):
        self._data_source = data_source

    @property
    def all_execution_days(self):
        """Every trading day of the calendar, a sorted DatetimeIndex (the same object until
        the store is rebuilt for a new day)."""
        return self._data_source.trading_calendar()

    def previous_execution_day(self, ts):
        """The last trading day strictly before the day of ``ts``."""
        return self._move(self._data_source.calendar_day(ts), -1)

    def ensure_execution_day(self, date, n, match_n=None):
        """A trading day near the day of ``date``.

        A trading day moves by ``match_n`` trading days (None or 0: it is returned itself).
        Any other day moves by ``n``: -1 is the last trading day before it, 1 the first one
        after it, -k / k the k-th one; n = 0 raises, because such a day has no trading day
        at distance 0. So (day, -1) is "day, or the last trading day before it",
        (day, 1) "day, or the first one after it", and (day, -1, -1) "the last trading day
        strictly before day".
        """
        n = operator.index(n)
        match_n = 0 if match_n is None else operator.index(match_n)
        day = self._data_source.calendar_day(date)
        days = self.all_execution_days
        if day in days:
            return self._move(day, match_n, is_trading=True)
        if n == 0:
            raise ValueError(f"{day.date()} is no trading day; n must not be 0")
        return self._move(day, n)

    def _move(self, day, k, is_trading=False):
        days = self.all_execution_days
        pos = int(days.searchsorted(day, side="left"))
        # days[pos] is the day itself when it trades, else the first trading day after it
        target = pos + k if (k <= 0 or is_trading) else pos + k - 1
        if not 0 <= target < len(days):
            raise ValueError(f"moving {k} trading days from {day.date()} leaves the calendar "
                             f"({days[0].date()} to {days[-1].date()})")
        return days[target]

    def instruments(self, code):
        """The instrument of ``code``; an unknown code raises ValueError."""
        return self._data_source.instrument(code)

    def get_future_contracts(self, underlying, ts):
        """Codes of the futures contracts of ``underlying`` (such as "IF") listed on the day
        of ``ts``, sorted; an unknown underlying raises ValueError."""
        day = self._data_source.calendar_day(ts)
        wanted = underlying.strip().upper() if isinstance(underlying, str) else None
        contracts = [inst for inst in self._data_source.get_all_instruments()
                     if inst.type == "futures" and inst.underlying_symbol == wanted]
        if not contracts:
            raise ValueError(f"unknown futures underlying: {underlying!r}")
        return sorted(inst.order_book_id for inst in contracts if inst.listed_on(day))
