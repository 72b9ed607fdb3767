"""Values the data service answers with as pickles, and the globals their pickles name.

Run as a script under another pandas/numpy (`python pickle_corpus.py`) to print the
(module, name) pairs that the kit's allow-list must hold for that version.
"""

import collections
import datetime
import decimal
import importlib.util
import io
import pickle
import sys
import zoneinfo

import numpy as np
import pandas as pd

PROTOCOLS = (4, 5)  # the default protocol of every supported interpreter, and the highest

_TIMEZONES = ["Asia/Shanghai", "UTC",
              datetime.timezone(datetime.timedelta(hours=8)), zoneinfo.ZoneInfo("Asia/Shanghai")]
try:
    import pytz
except ImportError:  # pandas 3 does without it
    pass
else:
    _TIMEZONES += [pytz.timezone("Asia/Shanghai"), pytz.utc, pytz.FixedOffset(480)]

_FREQUENCIES = ["D", "B", "W-FRI", "h", "min", "s", "ms", "MS", "QS", "YS", "BMS", "C"]


def _dtyped_columns(n):
    """One column per dtype pandas offers (numpy, extension and nullable ones)."""
    ints = np.arange(n)
    columns = {str(dtype): pd.array(ints % 100, dtype=dtype) for dtype in (
        "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
        "Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64",
        "float32", "float64", "Float32", "Float64")}
    columns.update({
        "float16": np.linspace(0, 1, n).astype("float16"),
        "complex128": ints + 1j,
        "complex64": (ints + 1j).astype("complex64"),
        "bool": ints % 2 == 0,
        "boolean": pd.array([True, False, None] * (n // 3) + [True] * (n % 3), dtype="boolean"),
        "object": ["样本%d" % i for i in range(n)],
        "mixed": ([1, "a", None, 2.5, b"x", datetime.date(2024, 1, 2)] * n)[:n],
        "string": pd.array(["s%d" % i for i in range(n)], dtype="string"),
        "category": pd.Categorical(["a", "b", "c"] * (n // 3) + ["a"] * (n % 3)),
        "ordered": pd.Categorical(ints % 3, categories=[2, 1, 0], ordered=True),
        "datetime": pd.date_range("2024-01-02", periods=n, freq="D"),
        "datetime_s": np.arange(n).astype("datetime64[s]"),  # nanoseconds before pandas 2
        "timedelta": pd.to_timedelta(ints, unit="s"),
        "period": pd.period_range("2024-01", periods=n, freq="M"),
        "interval": pd.interval_range(0, n),
        "sparse": pd.arrays.SparseArray([0.0, 1.5, 0.0] * (n // 3) + [0.0] * (n % 3)),
        "sparse_block": pd.arrays.SparseArray(ints % 2, kind="block"),
    })
    if importlib.util.find_spec("pyarrow"):  # not the kit's dependency; pandas uses it if there
        columns.update({dtype: pd.array(values * (n // 2), dtype=dtype) for dtype, values in [
            ("string[pyarrow]", ["a", None]), ("int64[pyarrow]", [1, None]),
            ("double[pyarrow]", [1.5, None]), ("bool[pyarrow]", [True, None]),
            ("timestamp[ns][pyarrow]", [datetime.datetime(2024, 1, 2), None])]})
    for tz in _TIMEZONES:
        columns["datetime_%s" % tz] = pd.date_range("2024-01-02 09:30", periods=n, freq="min",
                                                     tz=tz)
    return columns


def _indexes():
    yield "range", pd.RangeIndex(3, 12, 3)
    yield "int", pd.Index([5, 3, 9])
    yield "uint", pd.Index(np.array([5, 3, 9], dtype="uint64"))
    yield "float", pd.Index([0.5, 1.5, 2.5])
    yield "object", pd.Index(["000001.SZ", "600000.SH", "000002.SZ"], dtype=object)
    yield "string", pd.Index(["a", "b", "c"], dtype="string")
    yield "bool", pd.Index([True, False, True])
    yield "nullable", pd.Index([1, None, 3], dtype="Int64")
    for freq in _FREQUENCIES:
        yield "datetime_" + freq, pd.date_range("2024-01-02", periods=3, freq=freq)
    for tz in _TIMEZONES:
        yield "datetime_tz_%s" % tz, pd.date_range("2024-01-02", periods=3, tz=tz)
    yield "timedelta", pd.timedelta_range("1 day", periods=3, freq="h")
    yield "period", pd.period_range("2024Q1", periods=3, freq="Q")
    yield "categorical", pd.CategoricalIndex(["a", "b", "a"])
    yield "interval", pd.IntervalIndex.from_breaks([0, 1.5, 3, 4])
    yield "multi", pd.MultiIndex.from_product(
        [["000001.SZ", "600000.SH"], pd.date_range("2024-01-02", periods=2)],
        names=["order_book_id", "date"])
    yield "multi_levels", pd.MultiIndex.from_arrays(
        [pd.period_range("2024-01", periods=3, freq="M"), [1.5, 2.5, 3.5],
         pd.Categorical(["x", "y", "x"])])


def corpus():
    """(name, value) pairs: frames, series, indexes, arrays, scalars and nests of them."""
    columns = _dtyped_columns(6)
    frame = pd.DataFrame(columns)
    values = [
        ("frame_all_dtypes", frame),
        ("frame_empty", pd.DataFrame()),
        ("frame_empty_columns", pd.DataFrame(columns=["open", "close"])),
        ("frame_empty_typed", frame.iloc[:0]),
        ("frame_huge", pd.DataFrame({
            "order_book_id": np.repeat(["%06d.SZ" % i for i in range(200)], 1000),
            "close": np.linspace(1, 100, 200_000),
            "volume": np.arange(200_000, dtype="int64"),
        }, index=pd.date_range("2000-01-01", periods=200_000, freq="min"))),
        ("frame_columns_multi", pd.DataFrame(
            np.ones((2, 4)), columns=pd.MultiIndex.from_product([["a", "b"], ["x", "y"]]))),
        ("frame_transposed", frame[["int64", "float64"]].T),
        ("frame_flags", pd.DataFrame({"a": [1]}).set_flags(allows_duplicate_labels=False)),
        ("frame_attrs", _with_attrs(pd.DataFrame({"a": [1.0]}))),
    ]
    values += [("series_" + name, pd.Series(column, name=name)) for name, column in
               columns.items()]
    values.append(("series_empty", pd.Series([], dtype="float64")))
    for name, index in _indexes():
        values.append(("index_" + name, index))
        values.append(("frame_index_" + name, pd.DataFrame({"v": range(len(index))},
                                                          index=index)))
    stamp = pd.Timestamp("2024-01-02 09:30:00.123456789")
    values += [("timestamp", stamp),
               ("timestamp_s", pd.Timestamp(np.datetime64("2024-01-02", "s")))]
    values += [("timestamp_%s" % tz, pd.Timestamp("2024-01-02 09:30", tz=tz))
               for tz in _TIMEZONES]
    values += [
        ("timedelta", pd.Timedelta("1 days 02:03:04.5")),
        ("nat", pd.NaT),
        ("period", pd.Period("2024-01", freq="M")),
        ("period_day", pd.Period("2024-01-02", freq="D")),
        ("interval", pd.Interval(0, 1, closed="left")),
        ("offsets", _offsets()),
        ("na", pd.NA),
        ("dtypes", [pd.CategoricalDtype(["a"]), pd.Int64Dtype(), pd.StringDtype(),
                    pd.DatetimeTZDtype(tz="UTC"), pd.PeriodDtype("D"),
                    pd.IntervalDtype("int64"), pd.SparseDtype("float64"), np.dtype("<M8[ns]")]),
        ("ndarray_float", np.linspace(0, 1, 7)),
        ("ndarray_2d", np.arange(12, dtype="int32").reshape(3, 4)),
        ("ndarray_fortran", np.asfortranarray(np.ones((2, 3)))),
        ("ndarray_object", np.array(["a", 1, None], dtype=object)),
        ("ndarray_str", np.array(["000001.SZ", "600000.SH"])),
        ("ndarray_bytes", np.array([b"ab", b"c"])),
        ("ndarray_datetime", np.array(["2024-01-02", "NaT"], dtype="datetime64[ns]")),
        ("ndarray_record", np.array([(1, 2.5, b"x")], dtype=[("a", "i4"), ("b", "f8"),
                                                             ("c", "S1")])),
        ("ndarray_empty", np.empty((0, 3))),
        ("numpy_scalars", [np.int8(1), np.int64(2), np.uint32(3), np.float32(0.5),
                           np.float64(1.5), np.longdouble(2.5), np.complex64(1j), np.bool_(True),
                           np.str_("s"), np.bytes_(b"b"), np.datetime64("2024-01-02"),
                           np.timedelta64(3, "s"), np.void(b"\x01\x02")]),
        ("python", [datetime.date(2024, 1, 2), datetime.datetime(2024, 1, 2, 9, 30),
                    datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc),
                    datetime.time(9, 30), datetime.timedelta(days=1, seconds=5),
                    decimal.Decimal("1.10"), decimal.Decimal("NaN"),
                    collections.OrderedDict([("b", 1), ("a", 2)]), {1, 2}, frozenset({3}),
                    slice(1, 5, 2), complex(1, 2), bytearray(b"ab"), range(0, 10, 2),
                    b"bytes", "文字", None, True, 1 << 70, float("nan")]),
    ]
    values.append(("nested", {
        "price": {"000001.SZ": frame[["int64", "float64"]], "600000.SH": pd.DataFrame()},
        "list": [pd.Series([1.5]), [pd.Timestamp("2024-01-02", tz="UTC"),
                                    collections.OrderedDict(a=np.int64(1))]],
        "tuple": (pd.Index(["a"]), {"deep": [decimal.Decimal("3.14"), pd.NaT]}),
    }))
    return values


def _offsets():
    """An instance of every date offset pandas offers (the frequencies of indexes and periods)."""
    found = []
    for name in dir(pd.offsets):
        kind = getattr(pd.offsets, name)
        if isinstance(kind, type) and issubclass(kind, pd.offsets.BaseOffset):
            try:
                found.append(kind())
            except (TypeError, ValueError, NotImplementedError):  # abstract or needs arguments
                pass
    return found


def _with_attrs(frame):
    frame.attrs["source"] = "run_api"
    return frame


class _Recorder(pickle.Unpickler):
    def __init__(self, data, seen):
        super().__init__(io.BytesIO(data))
        self.seen = seen

    def find_class(self, module, name):
        self.seen.add((module, name))
        return super().find_class(module, name)


def pickled_globals(value, protocol):
    """The set of (module, name) pairs the pickle of ``value`` names."""
    seen = set()
    _Recorder(pickle.dumps(value, protocol), seen).load()
    return seen


def main():
    found = set()
    for _, value in corpus():
        for protocol in PROTOCOLS:
            found |= pickled_globals(value, protocol)
    print("# python %s, pandas %s, numpy %s" % (sys.version.split()[0], pd.__version__,
                                                np.__version__))
    for module, name in sorted(found):
        print("%s %s" % (module, name))


if __name__ == "__main__":
    main()
