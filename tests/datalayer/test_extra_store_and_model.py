from contextlib import closing

import pandas as pd
import pytest

from varden.mod.kelpie.data.extra_hdf_store import ExtraHDFStore
from varden.mod.stock.data.sample_store import open_store
from varden.mod.stock.model import (
    INST_TYPE_IN_FUTURE_ACCOUNT, INST_TYPE_IN_OPTION_ACCOUNT, INST_TYPE_IN_STOCK_ACCOUNT,
    INSTRUMENT_TYPE,
)

FACTOR_SQL = "select symbol, factor from last_stock_factor where trade_date = '{}';"


def test_read_today_factors_as_quotewire_asks():
    today = pd.Timestamp.now().strftime("%Y-%m-%d")
    with ExtraHDFStore() as store:
        frame = store.read(FACTOR_SQL.format(today))
    assert list(frame.columns) == ["symbol", "factor"]
    assert "000001.SZ" in set(frame["symbol"]) and "000001.SH" not in set(frame["symbol"])
    with closing(open_store()) as conn:
        latest = conn.execute("SELECT factor FROM ex_factors WHERE symbol = '000001.SZ' "
                              "AND ex_date <= ? ORDER BY ex_date DESC LIMIT 1", (today,)).fetchone()
    assert frame.set_index("symbol").loc["000001.SZ", "factor"] == latest[0]
    assert store._conn is None  # closed on leaving the block


def test_read_a_day_without_rows_gives_an_empty_frame():
    with ExtraHDFStore() as store:
        frame = store.read(FACTOR_SQL.format("1999-01-01"))
    assert frame.empty and list(frame.columns) == ["symbol", "factor"]


@pytest.mark.parametrize("sql, reason", [
    ("selec symbol from last_stock_factor", "syntax error"),
    ("select symbol from nowhere", "no such table: nowhere"),
    ("select 1; select 2", "one statement at a time"),
    ("delete from last_stock_factor", "readonly"),
])
def test_bad_sql_raises_a_clear_error(sql, reason):
    with ExtraHDFStore() as store:
        with pytest.raises(ValueError, match=reason) as caught:
            store.read(sql)
    assert sql in str(caught.value)


@pytest.mark.parametrize("kind, stock, future, option", [
    (INSTRUMENT_TYPE.CS, True, False, False),
    (INSTRUMENT_TYPE.ETF, True, False, False),
    (INSTRUMENT_TYPE.FJB, True, False, False),
    (INSTRUMENT_TYPE.QDII, True, False, False),
    (INSTRUMENT_TYPE.INDX, False, False, False),
    (INSTRUMENT_TYPE.OTA, False, False, False),
    (INSTRUMENT_TYPE.FUTURE, False, True, False),
    (INSTRUMENT_TYPE.OPTION, False, False, True),
    ("CS", True, False, False),
    ("INDX", False, False, False),
])
def test_account_of_each_kind(kind, stock, future, option):
    assert (kind in INST_TYPE_IN_STOCK_ACCOUNT, kind in INST_TYPE_IN_FUTURE_ACCOUNT,
            kind in INST_TYPE_IN_OPTION_ACCOUNT) == (stock, future, option)
