"""What a caller may hand the kit: a wide value strategy, hostile objects and loose records.

Every strategy here is meant to be drawn inside a test through ``st.data()``. The values cover
None, ints of every size, floats with NaN/infinities/huge/subnormal values, texts (empty,
non-ASCII, with NUL), bytes, containers, numpy scalars and arrays of several dtypes and shapes
(0-d, empty, 1-d, 3-d), pandas Timestamps, NaT, frames, and objects whose dunders raise.
"""

import datetime

import numpy as np
import pandas as pd
from hypothesis import strategies as st
from hypothesis.extra import numpy as npst


class HostileError(Exception):
    """Raised by the hostile objects below; it must reach the caller as itself or be handled."""


def _hostile(*_args, **_kwargs):
    raise HostileError("hostile")


class BadEq:
    __eq__ = __ne__ = _hostile
    __hash__ = object.__hash__

    def __repr__(self):
        return "BadEq()"


class BadBool:
    __bool__ = _hostile

    def __repr__(self):
        return "BadBool()"


class BadFloat:
    """A number-like object whose conversions raise."""

    __float__ = __int__ = __index__ = _hostile
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _hostile
    __truediv__ = __rtruediv__ = _hostile

    def __repr__(self):
        return "BadFloat()"


class BadStr:
    __str__ = __format__ = _hostile

    def __repr__(self):
        return "BadStr()"


class BadRepr:
    __repr__ = __str__ = _hostile


class BadHash:
    __hash__ = _hostile


class BadIter:
    """Iterable by its type, failing as soon as it is iterated or measured."""

    __iter__ = __len__ = __getitem__ = __contains__ = _hostile

    def __repr__(self):
        return "BadIter()"


class BadAttrs:
    """Every attribute read fails (instrument, response, environment or config stand-in)."""

    def __getattr__(self, name):
        raise HostileError(name)

    def __repr__(self):
        return "BadAttrs()"


class BadStrftime(datetime.datetime):
    """A real datetime whose strftime raises: only code that formats it notices."""

    strftime = _hostile


class BadStrftimeObject:
    strftime = _hostile

    def __repr__(self):
        return "BadStrftimeObject()"


class BadMapping(dict):
    """A dict subclass whose Python-level reads raise."""

    get = __getitem__ = keys = items = values = __iter__ = __contains__ = _hostile

    def __repr__(self):
        return "BadMapping()"


class BadCall:
    __call__ = _hostile

    def __repr__(self):
        return "BadCall()"


class TextImpostor:
    """Duck-typed text: answers the str methods it is asked, without being a str."""

    def startswith(self, prefix):
        return True

    endswith = startswith

    def __repr__(self):
        return "TextImpostor()"


class Mutator:
    """A value that empties the containers it knows whenever it is asked anything.

    Put inside the very records a function reads, it takes away values the function may still
    hold a borrowed pointer to; each answer is otherwise plausible, so the function goes on.
    """

    def __init__(self, victims):
        self.victims = victims

    def _strike(self, answer):
        for victim in self.victims:
            victim.clear()
        return answer

    def __bool__(self):
        return self._strike(True)

    def __float__(self):
        return self._strike(1.5)

    def __index__(self):
        return self._strike(1)

    def __eq__(self, other):
        return self._strike(False)

    def __ne__(self, other):
        return self._strike(True)

    __hash__ = object.__hash__

    def __add__(self, other):
        return self._strike(1.0)

    __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __add__

    def __str__(self):
        return self._strike("0930")

    def strftime(self, fmt):
        return self._strike("0930")

    def startswith(self, prefix):
        return self._strike(False)

    endswith = startswith

    def __call__(self, *args, **kwargs):
        return self._strike(1.0)

    def __repr__(self):
        return "Mutator()"


HOSTILE_TYPES = (TextImpostor, BadEq, BadBool, BadFloat, BadStr, BadRepr, BadHash, BadIter, BadAttrs,
                 BadStrftimeObject, BadMapping, BadCall)

hostile = st.one_of(
    st.sampled_from(HOSTILE_TYPES).map(lambda cls: cls()),
    st.builds(BadStrftime, st.integers(2000, 2030), st.integers(1, 12), st.integers(1, 28),
              st.sampled_from([0, 9, 15, 21]), st.sampled_from([0, 30, 31])),
)

ints = st.one_of(
    st.integers(-10, 10),
    st.integers(),
    st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 2**64, 10**30, -(10**30)]),
)
floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, float("nan"), float("inf"), -float("inf"), 1e308, 5e-324,
                     0.125, 2.675]),
)
texts = st.one_of(
    st.text(max_size=12),
    st.sampled_from(["", "\x00", "a\x00b", "股票", "0930", "1d", "5m", "0x", "stock", "fund",
                     "000001", "000001.SZ", "600000.SH", "510300.OF", "830001.BJ", "info",
                     "20240105", "2024-01-05 15:00", "\ud7ff\U0010ffff", "é" * 40]),
)
binary = st.one_of(st.binary(max_size=16), st.sampled_from([b"", b"\x00", b"\xff\xfe", b"\x80"]))

numpy_scalars = st.one_of(
    ints.filter(lambda i: -(2**63) <= i < 2**63).map(np.int64),
    floats.map(np.float64),
    st.floats(width=32).map(np.float32),
    st.booleans().map(np.bool_),
    st.sampled_from([np.int8(-1), np.uint64(2**64 - 1), np.datetime64("NaT", "ns"),
                     np.datetime64("2024-01-05T09:30"), np.str_("0930"), np.bytes_(b"x"),
                     np.complex128(1 + 2j), np.float16("nan")]),
)
_DTYPES = st.sampled_from([np.int64, np.float64, np.bool_, np.int8, np.uint32, "<U4",
                           "datetime64[ns]"])
numpy_arrays = st.one_of(
    npst.arrays(_DTYPES, npst.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=3)),
    npst.arrays(np.float64, npst.array_shapes(min_dims=1, max_dims=2, min_side=0, max_side=4))
    .map(lambda a: a.astype(object)),
)
timestamps = st.one_of(
    st.datetimes(min_value=datetime.datetime(1700, 1, 1),
                 max_value=datetime.datetime(2250, 1, 1)).map(pd.Timestamp),
    st.sampled_from([pd.NaT, pd.Timestamp("2024-01-05 09:30"), pd.Timestamp.min,
                     pd.Timestamp.max, pd.Timestamp("2024-01-05 21:00", tz="Asia/Shanghai"),
                     pd.Timedelta(0)]),
    st.dates(),
)
# Built afresh at every draw: the code under test may change a frame it is handed, and a
# changed object must not reach a later example.
frames = st.sampled_from([
    pd.DataFrame,
    lambda: pd.DataFrame({"trade_date": [pd.Timestamp("2024-01-05 09:31")], "close": [1.0]}),
    lambda: pd.DataFrame({"date": [None], "x": [float("nan")]}),
    lambda: pd.Series([1, 2, 3], dtype=float),
]).map(lambda make: make())

scalars = st.one_of(
    st.none(), st.booleans(), ints, floats, texts, binary, numpy_scalars, numpy_arrays,
    timestamps, frames, hostile,
)

# Names the kit reads from records, replies, configs and events: dicts drawn from them have
# the keys the code looks for, with values of any kind, and miss the rest.
RECORD_KEYS = (
    "trade_date", "ticker", "close", "high", "low", "volume", "turnover", "settle",
    "open_interest", "high_limit", "is_st", "factor", "order_book_id", "avg_price",
    "turnover_rate", "is_paused", "pre_field_fn", "main_contract", "rm_before_dt", "delta",
    "implied_volatility", "exercise_amount", "volume_num", "buy_margin", "date",
)
BROKER_KEYS = (
    "SecurityID", "SecurityName", "ActualAmt", "FrozenQty", "AvailableStockBalance",
    "MarketValue", "CostPrice", "MarketPrice", "NetMoney", "AvailableValue", "TotalAssets",
    "FrozenValue", "OrderID", "TradeVolume", "Side", "AvgPx", "SettleDate", "TransactTime",
    "Commission", "OrderQty", "OrderPrice", "OrderTypeMsg", "OrderDate", "OrderTime",
    "OrderStatusMsg", "OrderType", "OrderEntryTime", "security", "instructionid", "orderid",
    "qty", "side", "price", "pricetype", "date", "time", "statusmsg", "qtycancel", "qtytrade",
    "avgpx", "msg", "fund_token",
)
REPLY_KEYS = ("result", "error", "id", "msg", "message", "Array", "orders", "Accounts",
              "AccountID", "TradeType", "fund_token", "params", "meta", "code", "data", "token",
              "notice", "status_code", "status_msg")
KEYS = st.one_of(st.sampled_from(RECORD_KEYS + BROKER_KEYS + REPLY_KEYS), texts, ints)


def _containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(KEYS.filter(_hashable), children, max_size=5),
        st.frozensets(st.one_of(ints, texts), max_size=3),
    )


def _hashable(value):
    try:
        hash(value)
    except Exception:
        return False
    return True


values = st.recursive(scalars, _containers, max_leaves=6)
"""The wide strategy: any value a caller might pass."""

# Field values that are mostly plausible (so the code gets past its first step) and
# sometimes anything at all.
numbers = st.one_of(ints, floats, numpy_scalars, st.integers(0, 10**6), st.floats(0.01, 300))
bar_times = st.one_of(
    st.builds(pd.Timestamp, st.integers(2000, 2030), st.integers(1, 12), st.integers(1, 28),
              st.sampled_from([0, 9, 13, 15, 21]), st.sampled_from([0, 1, 30, 31])),
    st.sampled_from([pd.NaT, datetime.datetime(2024, 1, 5, 9, 30), datetime.date(2024, 1, 5)]),
    hostile,
)
codes = st.one_of(
    st.from_regex(r"\A(00|15|30|60|68|83|20|51|1|5)[0-9]{2,4}\Z"),
    texts,
)


def field_value(name):
    if name in ("trade_date", "date") or name.endswith(("Time", "Date")) or name == "time":
        plausible = st.one_of(bar_times, st.sampled_from(["20240105", "093000", "", "15:00"]))
    elif name in ("ticker", "SecurityID", "security", "order_book_id"):
        plausible = codes
    else:
        plausible = numbers
    return st.one_of(plausible, plausible, values)


def records(keys):
    """A dict holding any subset of ``keys``, each with a mostly plausible value."""
    return st.fixed_dictionaries({}, optional={k: field_value(k) for k in keys})


def loose_records(keys):
    """A record, or now and then anything else where a record is expected."""
    return st.one_of(records(keys), records(keys), records(keys), values)


@st.composite
def self_clearing_pools(draw, keys):
    """A few records of ``keys`` in which Mutators empty these same records when touched."""
    pool = draw(st.lists(records(keys), min_size=1, max_size=3))
    for record in pool:
        for key in draw(st.lists(st.sampled_from(keys), max_size=2)):
            chosen = draw(st.lists(st.integers(0, len(pool) - 1), min_size=1, max_size=3))
            record[key] = Mutator([pool[i] for i in chosen])
    return pool


def nested(depth):
    """A list nested ``depth`` deep: ``[[[...]]]``."""
    value = []
    for _ in range(depth):
        value = [value]
    return value
