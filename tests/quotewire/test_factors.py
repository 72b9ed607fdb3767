"""Today's adjustment factors (a day-long cache) and the previous-close function."""

import gc
import sys
import types
import weakref

import pandas as pd
import pytest

SQL = "select symbol, factor from last_stock_factor where trade_date = '{}';"


class FakeStore:
    """The extra store: answers each read from `answers` (a frame or an exception to raise)."""

    def __init__(self, answers):
        self.answers = list(answers)
        self.queries = []
        self.open = 0

    def __call__(self):
        return self

    def __enter__(self):
        self.open += 1
        return self

    def __exit__(self, *exc):
        self.open -= 1
        return False

    def read(self, sql):
        self.queries.append(sql)
        answer = self.answers.pop(0)
        if isinstance(answer, BaseException):
            raise answer
        return answer


def factors(**by_symbol):
    return pd.DataFrame({"symbol": list(by_symbol), "factor": list(by_symbol.values())})


@pytest.fixture
def store(qw, monkeypatch):
    def install(*answers):
        fake = FakeStore(answers)
        monkeypatch.setattr(qw, "ExtraHDFStore", fake)
        return fake

    return install


def test_first_call_of_the_day_loads_once(qw, clock, store):
    fake = store(factors(**{"600000.SH": 1.5, "000001.SZ": 2}))
    assert qw._real_factor("600000.SH") == 1.5
    value = qw._real_factor("000001.SZ")
    assert value == 2.0 and type(value) is float
    assert qw._real_factor("300750.SZ") is None  # absent from the day's rows
    assert fake.queries == [SQL.format("2024-03-05")] and fake.open == 0
    assert qw.real_factor_cache.date == "2024-03-05"
    assert dict(qw.real_factor_cache) == {"2024-03-05-600000.SH": 1.5, "2024-03-05-000001.SZ": 2}


def test_a_missing_factor_is_none_whatever_the_column_dtypes(qw, clock, store):
    # Next to a text column a row of the frame would carry None as NaN (pandas 3).
    store(factors(**{"600000.SH": None, "000001.SZ": None}))
    assert qw._real_factor("600000.SH") is None
    assert dict(qw.real_factor_cache) == {"2024-03-05-600000.SH": None,
                                          "2024-03-05-000001.SZ": None}


def test_empty_result_is_retried(qw, clock, store):
    fake = store(factors(), factors(**{"600000.SH": 1.1}))
    assert qw._real_factor("600000.SH") is None
    assert not hasattr(qw.real_factor_cache, "date")
    assert qw._real_factor("600000.SH") == 1.1
    assert len(fake.queries) == 2


def test_failed_read_marks_the_day_done(qw, clock, store):
    fake = store(OSError("store locked"))
    assert qw._real_factor("600000.SH") is None
    assert qw._real_factor("600000.SH") is None
    assert len(fake.queries) == 1 and fake.open == 0
    assert qw.real_factor_cache.date == "2024-03-05"


def test_next_day_loads_again(qw, clock, store):
    fake = store(factors(**{"600000.SH": 1.5}), factors(**{"600000.SH": 1.6}))
    assert qw._real_factor("600000.SH") == 1.5
    clock.advance(16 * 3600)  # 2024-03-06 00:45
    assert qw._real_factor("600000.SH") == 1.6
    assert fake.queries == [SQL.format("2024-03-05"), SQL.format("2024-03-06")]


def test_expired_entries_are_not_reloaded_the_same_day(qw, clock, store, monkeypatch):
    monkeypatch.setattr(clock, "now", pd.Timestamp("2024-03-05 00:10"))
    fake = store(factors(**{"600000.SH": 1.5}))
    assert qw._real_factor("600000.SH") == 1.5
    clock.advance(20 * 3600 + 60)  # 20:11 the same day
    assert qw._real_factor("600000.SH") is None
    assert len(fake.queries) == 1


def test_load_skipped_when_another_call_finished_it(qw, clock, store, monkeypatch):
    # A cache whose `date` reads "" at the first check and the day at the second, as when
    # another thread completes the load in between.
    class RacingCache(type(qw.real_factor_cache)):
        reads = 0

        def __getattr__(self, name):
            if name != "date":
                raise AttributeError(name)
            RacingCache.reads += 1
            if RacingCache.reads == 1:
                raise AttributeError(name)
            return "2024-03-05"

    cache = RacingCache(maxsize=10240, ttl=72000)
    cache["2024-03-05-600000.SH"] = "1.25"
    monkeypatch.setattr(qw, "real_factor_cache", cache)
    fake = store()
    assert qw._real_factor("600000.SH") == 1.25
    assert fake.queries == [] and vars(cache)["date"] == "2024-03-05"


@pytest.mark.parametrize("stored", [None, "n/a", float("nan")])
def test_unusable_values(qw, clock, store, stored):
    store(pd.DataFrame({"symbol": ["600000.SH"], "factor": [stored]}, dtype=object))
    value = qw._real_factor("600000.SH")
    if isinstance(stored, float):
        assert value != value  # NaN converts; it is a number
    else:
        assert value is None


def test_rows_without_factor_column(qw, clock, store):
    store(pd.DataFrame({"symbol": ["600000.SH"]}))
    assert qw._real_factor("600000.SH") is None
    assert qw.real_factor_cache.date == "2024-03-05"
    assert dict(qw.real_factor_cache) == {"2024-03-05-600000.SH": None}


class FakeDividends:
    def __init__(self, events):
        self.events = events
        self.calls = []

    def get_pre_with_symbol(self, symbol, start, end):
        self.calls.append((symbol, start, end))
        return self.events


@pytest.fixture
def events(monkeypatch):
    def install(rows):
        dividends = FakeDividends(rows)

        class FastDataSource:
            def __init__(self):
                self._dividends = dividends

        module = types.ModuleType("varden.mod.stock.data.fast_data_source")
        module.FastDataSource = FastDataSource
        monkeypatch.setitem(sys.modules, "varden.mod.stock.data.fast_data_source", module)
        return dividends

    return install


def event(amount=0, dividend_ratio=0, split_ratio=1, allotment_price=0, allotment_num=0,
          consideration_cash=0, consideration_num=0, share_split_num=1):
    return (0, amount, dividend_ratio, split_ratio, allotment_price, allotment_num,
            consideration_cash, consideration_num, share_split_num)


@pytest.mark.parametrize(
    "row, x, expected",
    [
        (event(amount=0.5), 10.00, 9.5),
        (event(amount=0.5, dividend_ratio=0.3), 10.00, 7.31),
        (event(dividend_ratio=1), 10.01, 5.0),  # 500.5 rounds to even
        (event(dividend_ratio=1), 10.07, 5.04),  # 503.5 rounds to even
        (event(allotment_price=5, allotment_num=0.25), 10, 9.0),
        (event(consideration_cash=1.0, consideration_num=1), 9, 4.0),
        (event(share_split_num=2), 10, 5.0),
    ],
)
def test_pre_field_formula(qw, clock, events, row, x, expected):
    dividends = events([row])
    fn = qw._real_pre_field("600000.SH")
    assert fn(x) == expected and type(fn(x)) is float
    midnight = pd.Timestamp("2024-03-05").value
    assert dividends.calls == [("600000.SH", midnight, midnight)]


def test_pre_field_uses_the_first_event_and_imports_each_call(qw, clock, events):
    events([event(amount=1.0), event(amount=2.0)])
    assert qw._real_pre_field("600000.SH")(10) == 9.0
    events([])
    identity = qw._real_pre_field("600000.SH")
    marker = object()
    assert identity(marker) is marker


def test_pre_field_function_behaves_like_a_function(qw, clock, events):
    events([event(amount=0.5)])
    fn = qw._real_pre_field("600000.SH")
    assert fn(x=10.0) == 9.5
    with pytest.raises(TypeError):
        fn()
    with pytest.raises(TypeError):
        fn(1, 2)
    fn_identity = (events([]), qw._real_pre_field("600000.SH"))[1]
    with pytest.raises(TypeError):
        fn_identity(1, 2)


def test_pre_field_function_referred_to_by_its_event_is_collected(qw, clock, events):
    class Amount(float):
        pass

    amount = Amount(0.5)
    dividends = events([event(amount=amount)])
    fn = qw._real_pre_field("600000.SH")
    amount.fn = fn  # a cycle through a value the function keeps
    assert fn(10.0) == 9.5
    collected = weakref.ref(fn)
    del fn, amount
    dividends.events = []
    gc.collect()
    assert collected() is None


@pytest.mark.parametrize("row, error", [
    (event(split_ratio=0), ZeroDivisionError),
    (event(share_split_num=0), ZeroDivisionError),
    ((0, 0.5, 0), ValueError),
])
def test_pre_field_errors_propagate(qw, clock, events, row, error):
    events([row])
    with pytest.raises(error):
        qw._real_pre_field("600000.SH")(10.0)


def test_pre_field_without_data_layer_raises(qw, monkeypatch):
    monkeypatch.setitem(sys.modules, "varden.mod.stock.data.fast_data_source", None)
    with pytest.raises(ImportError):
        qw._real_pre_field("600000.SH")


def test_pre_field_fails_at_the_first_bad_step(qw, clock, events):
    # Both the close and the allotment terms are unusable: the subtraction comes first.
    events([event(amount=0.5, allotment_price=None, allotment_num=1)])
    with pytest.raises(TypeError, match=r"for -: 'NoneType' and 'float'"):
        qw._real_pre_field("600000.SH")(None)
