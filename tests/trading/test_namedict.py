import pickle

import pytest

from varden.mod.tradeapi.sdk.utils import NameDict


def test_keys_read_as_attributes_in_order():
    record = NameDict({"symbol": "600000.SH", "amount": 100})
    record.price = 7.2
    assert record.symbol == "600000.SH"
    assert list(record.items()) == [("symbol", "600000.SH"), ("amount", 100), ("price", 7.2)]
    del record.amount
    assert record == {"symbol": "600000.SH", "price": 7.2}


def test_missing_key_is_an_attribute_error():
    record = NameDict({"symbol": "x"})
    with pytest.raises(AttributeError, match="name"):
        record.name
    assert getattr(record, "name", None) is None
    with pytest.raises(AttributeError):
        del record.name


def test_round_trips_through_pickle():
    record = NameDict({"symbol": "000001.SZ", "side": "BUY"})
    copy = pickle.loads(pickle.dumps(record))
    assert type(copy) is NameDict and copy == record and copy.side == "BUY"
