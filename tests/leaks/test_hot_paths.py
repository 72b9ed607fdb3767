"""Memory growth of the hot paths: each is called 100,000 times after a warm-up, and neither the
memory Python traces nor the process's resident memory may grow by more than a small bound.

A reference leak of one small object per call keeps 100,000 objects alive: at least 1.6 MB of
traced and resident memory (16 bytes per object plus allocator rounding), well above the bounds.
Outside components are fakes that keep nothing per call; their answers cycle through the success
and failure branches, where a missed decref most likely hides.
"""

import ctypes
import gc
import itertools
import os
import pickle
import tracemalloc
import types
import zlib

import msgpack
import numpy as np
import pandas as pd
import pytest

from varden.mod.kelpie.research.normal_query.tablespec import StrQuery, income, valuation
from varden.utils.exception import APIException, TradeException

pytestmark = pytest.mark.leakcheck

CALLS = 100_000
WARMUP = 2_000
# Noise measured after the warm-up stays below 100 kB traced and a few hundred kB resident.
TRACED_BOUND = 512 * 1024
RESIDENT_BOUND = 1024 * 1024

PAGE = os.sysconf("SC_PAGE_SIZE")
_libc = ctypes.CDLL(None)
_libc.malloc.restype = ctypes.c_void_p


def resident_bytes():
    """Resident memory once the C heap's free pages are given back, so that a native block lost
    per call shows even where earlier tests left freed memory to reuse."""
    _libc.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Growth(types.SimpleNamespace):
    """traced and resident: bytes gained over CALLS calls; top: where traced memory grew."""

    def leaks(self):
        return self.traced > TRACED_BOUND or self.resident > RESIDENT_BOUND


def measure(call):
    """Runs `call` WARMUP then CALLS times under tracemalloc; the growth over the CALLS."""
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            call()
        gc.collect()
        before = tracemalloc.take_snapshot()
        traced_base = tracemalloc.get_traced_memory()[0]
        resident_base = resident_bytes()
        for _ in range(CALLS):
            call()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_base
        resident = resident_bytes() - resident_base
        top = tracemalloc.take_snapshot().compare_to(before, "lineno")[:5]
    finally:
        tracemalloc.stop()
    return Growth(traced=traced, resident=resident, top=[str(stat) for stat in top])


def cycling(*calls):
    """One callable that runs `calls` in turn, one per call."""
    turn = itertools.cycle(calls).__next__
    return lambda: turn()()


def raising(error, call):
    """`call`, whose expected exception is swallowed."""

    def run():
        try:
            call()
        except error:
            return None
        raise AssertionError(f"{error.__name__} expected")

    return run


class CountingLog:
    """The logger fakes: counts calls and keeps nothing."""

    def __init__(self):
        self.count = 0

    def _log(self, *args, **kwargs):
        self.count += 1

    info = error = warning = _log


# ---- _data_fix ------------------------------------------------------------------------------

STOCK_REF = {"close": 10.0, "high_limit": 11.0, "order_book_id": "600000.SH", "is_st": 0.0,
             "is_paused": 0.0, "factor": 2.0, "volume": 1000.0, "turnover_rate": 0.5,
             "avg_price": 9.9}


def data_fix_calls():
    from varden.mod.stock.data import quotewire as qw

    def bar(time, **values):
        record = {"trade_date": pd.Timestamp(time), "ticker": "600000", "close": 10.2,
                  "high": 10.3, "low": 9.9, "volume": 100.0, "turnover": 1020.0}
        record.update(values)
        return record

    minute, opening = bar("2024-03-05 10:00"), bar("2024-03-05 09:30")
    daily = bar("2024-03-05 15:00", volume=0.0)
    st_bj = dict(STOCK_REF, order_book_id="830799.BJ", is_st=1.0)
    with_pre = dict(STOCK_REF, pre_field_fn=lambda close: close * 0.5)
    previous = {"close": 10.1, "volume": 50.0, "turnover_rate": 0.1}
    return cycling(
        lambda: qw._data_fix(dict(minute), STOCK_REF, previous, ["0930"]),
        lambda: qw._data_fix(dict(daily), with_pre, {}),
        lambda: qw._data_fix(dict(minute, ticker="688001"), st_bj, {}, ["0930"]),
        raising(Exception, lambda: qw._data_fix(dict(opening), STOCK_REF, previous, ["0930"])),
        raising(KeyError, lambda: qw._data_fix({"ticker": "600000"}, STOCK_REF, {})),
    )


# ---- quotation_get_remote -------------------------------------------------------------------


class TinyFrame:
    """The few frame operations the merge uses, over one-row numpy columns.

    A pandas frame costs about 300 us per merge in pandas alone, which would put 100,000 calls
    beyond a test run; this one answers the same calls in a fraction of that.
    """

    def __init__(self, columns):
        self.columns = dict(columns)
        self.empty = False

    def __getitem__(self, key):
        if isinstance(key, list):
            return types.SimpleNamespace(values=np.column_stack([self.columns[k] for k in key]))
        return self.columns[key]

    def __setitem__(self, key, value):
        self.columns[key] = np.asarray(value)


def quotation_calls(qw, monkeypatch):
    """quotation_get_remote over a fake reader that runs the bound record fix on one record, as
    the data layer does, and answers with a one-row frame; every fifth fetch fails."""
    minute = np.array(["2024-03-05T10:01"], dtype="datetime64[ns]")
    fetches = itertools.count()

    class Request:
        def __init__(self, instrument, data_fix_fn=None, **extra):
            self.kind = instrument.enum_type
            self.data_fix_fn = data_fix_fn

    class Reader:
        def __init__(self, log, request):
            self.request = request

        def get_real_data(self, start, end, date_type):
            if next(fetches) % 5 == 4:
                raise ConnectionError("feed closed")
            record = {"trade_date": pd.Timestamp("2024-03-05 10:01"), "ticker": "600000",
                      "close": 10.1, "volume": 5.0, "turnover": 50.5}
            if self.request.kind == "Future":
                self.request.data_fix_fn(record)
            else:
                self.request.data_fix_fn(record, last_symbol_dict={})
            return TinyFrame({"trade_date": minute, "close": np.array([record["close"]]),
                              "volume": np.array([record["volume"]])})

    log = CountingLog()
    monkeypatch.setattr(qw, "system_log", log)
    monkeypatch.setattr(qw, "RealData", Reader)
    for name in ("StockBaseDataRequest", "FutureBaseDataRequest", "OptionBaseDataRequest"):
        monkeypatch.setattr(qw, name, Request)
    monkeypatch.setattr(qw, "INST_TYPE_IN_STOCK_ACCOUNT", ("CS",))
    monkeypatch.setattr(qw, "INST_TYPE_IN_FUTURE_ACCOUNT", ["Future"])
    monkeypatch.setattr(qw, "INST_TYPE_IN_OPTION_ACCOUNT", {"Option"})
    block = np.array([[pd.Timestamp("2024-03-04").value, 10.0, 100.0]])
    fields = ["trade_date", "close", "volume"]

    def call(kind, order_book_id, fre):
        instrument = types.SimpleNamespace(enum_type=kind, order_book_id=order_book_id)
        return lambda: qw.quotation_get_remote(instrument, None, None, block, fre, fields)

    return log, cycling(call("Future", "IF2403.CFE", "1m"), call("CS", "600000.SH", "1d"),
                        call("Option", "10006543.SH", "1m"), call("CS", "000001.SZ", "1m"),
                        call("Future", "RB2405.SHF", "1d"))


# ---- _handle_response -----------------------------------------------------------------------


def handle_response_calls(kprpc, monkeypatch, tmp_path):
    from varden.mod.kelpie import setting

    monkeypatch.setattr(setting, "ROOT_PATH", str(tmp_path))
    client = kprpc.APIClient()

    def response(status, content):
        return types.SimpleNamespace(status_code=status, content=content)

    packed = response(200, pickle.dumps(zlib.compress(msgpack.packb({"k": [1, 2.5], 3: "x"}))))
    pickled = response(200, pickle.dumps(zlib.compress(pickle.dumps({"frame": (1, 2)}))))
    refused = response(500, "服务繁忙".encode())
    hostile = response(200, pickle.dumps(zlib.compress(b"\x80\x02cos\nsystem\n)R.")))
    return cycling(
        lambda: client._handle_response(packed),
        lambda: client._handle_response(pickled),
        raising(APIException, lambda: client._handle_response(refused)),
        raising(APIException, lambda: client._handle_response(hostile)),
    )


# ---- positions ------------------------------------------------------------------------------


def positions_calls(dealdesk, monkeypatch):
    def position(code, **fields):
        record = {"SecurityID": code, "SecurityName": "浦发银行", "ActualAmt": 100,
                  "FrozenQty": 0, "AvailableStockBalance": 100, "MarketValue": 1050.0,
                  "CostPrice": 10, "MarketPrice": 10.5, "NetMoney": 0}
        record.update(fields)
        return record

    replies = itertools.cycle([
        {"id": 2, "result": {"Array": [position("600000"), position("000001", NetMoney=1.5),
                                       position("204001", CostPrice=0)]}},
        {"id": 3, "error": {"message": "系统繁忙"}},
    ])
    accounts = {"id": 1, "result": {"Accounts": [
        {"AccountID": "880001", "TradeType": "0", "fund_token": "tok-1"}]}}

    class Client:
        def call_rpc_json(self, params):
            return accounts if params["ReqType"] == 594177 else next(replies)

    log = CountingLog()
    monkeypatch.setattr(dealdesk, "system_log", log)
    monkeypatch.setattr(dealdesk.TraderRPC, "_instance", None)
    monkeypatch.setattr(dealdesk, "PallasClient", Client)
    api = dealdesk.TradeAPI("880001")
    return log, cycling(lambda: api.positions, raising(TradeException, lambda: api.positions))


# ---- query rendering ------------------------------------------------------------------------


def query_calls():
    return cycling(
        lambda: str(StrQuery(valuation, income.eps)
                    .filter(valuation.pe > 1.5, valuation.symbol.in_(["000001.SZ", "it's"]))
                    .limit(10).offset(20)),
        lambda: valuation.day == pd.Timestamp("2024-03-05").date(),
        lambda: valuation.pe.any_([1, [2, "a"], None]),
        lambda: income.eps != "O'Reilly",
    )


@pytest.mark.parametrize("path", ["_data_fix", "quotation_get_remote", "_handle_response",
                                  "positions", "query rendering"])
def test_hot_path_memory_stays_flat(path, monkeypatch, tmp_path):
    from varden.mod.kelpie.utils import kprpc
    from varden.mod.stock.data import quotewire
    from varden.mod.tradeapi.api import dealdesk

    log, logged = None, 0
    if path == "_data_fix":
        call = data_fix_calls()
    elif path == "quotation_get_remote":
        # one fetch in five fails and is logged
        log, call = quotation_calls(quotewire, monkeypatch)
        logged = (WARMUP + CALLS) // 5
    elif path == "_handle_response":
        call = handle_response_calls(kprpc, monkeypatch, tmp_path)
    elif path == "positions":
        # every query is logged, as success or failure
        log, call = positions_calls(dealdesk, monkeypatch)
        logged = WARMUP + CALLS
    else:
        call = query_calls()
    growth = measure(call)
    print(f"{path}: traced {growth.traced} B, resident {growth.resident} B")
    assert not growth.leaks(), growth
    if log is not None:  # the fakes were really driven through the failure branch too
        assert log.count == logged


@pytest.mark.parametrize("leak, traced", [
    (lambda kept: kept.append(object()), True),  # one reference kept per call
    (lambda kept: _libc.malloc(16), False),  # one native block lost per call
], ids=["reference", "native block"])
def test_the_check_flags_one_small_leak_per_call(leak, traced):
    from varden.mod.stock.data import quotewire as qw

    kept = []
    previous = {"close": 10.1, "volume": 50.0, "turnover_rate": 0.1}

    def leaky():
        leak(kept)
        record = {"trade_date": pd.Timestamp("2024-03-05 10:00"), "ticker": "600000",
                  "close": 10.2, "volume": 100.0}
        return qw._data_fix(record, STOCK_REF, previous, ["0930"])

    growth = measure(leaky)
    assert growth.leaks()
    assert growth.resident > RESIDENT_BOUND
    assert (growth.traced > TRACED_BOUND) is traced
