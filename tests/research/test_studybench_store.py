"""The research module over the real data layer and its sample store."""

import pandas as pd
import pytest

from varden.mod.kelpie.research import studybench
from varden.mod.kelpie.utils.compat import pd_Panel


@pytest.fixture(scope="module")
def day():
    """A trading day with bars: the tenth trading day before today."""
    days = studybench.get_all_trade_days()
    return days[days < pd.Timestamp.now().normalize()][-10]


def test_one_code_reads_its_last_bars(day):
    frame = studybench.get_price("000001.SZ", end_date=day.strftime("%Y%m%d"), bar_count=5,
                                 fields=["open", "close"])
    assert list(frame.columns) == ["open", "close"]
    assert list(frame.index) == list(studybench.get_trade_days(end_date=day, count=5))
    assert (frame["close"] > 0).all()


def test_start_date_reads_every_bar_from_that_day(day):
    days = studybench.get_trade_days(end_date=day, count=4)
    frame = studybench.get_price("600001.SH", start_date=days[0], end_date=day, fields=["close"],
                                 fq=None)
    assert list(frame.index) == list(days)


def test_several_codes_as_dict_and_panel(day):
    codes = ["000001.SZ", "600001.SH"]
    by_code = studybench.get_price(codes, end_date=day, bar_count=4, fields=["close", "volume"])
    assert list(by_code) == codes
    panel = studybench.get_price(codes, end_date=day, bar_count=4, fields=["close", "volume"],
                                 is_panel=True)
    assert isinstance(panel, pd_Panel)
    assert panel.shape == (2, 4, 2)
    assert list(panel.minor_axis) == codes
    assert panel["close"]["600001.SH"].tolist() == by_code["600001.SH"]["close"].tolist()
    cut = studybench.get_price(codes, end_date=day, bar_count=2, fields=["close"],
                               is_panel=True)
    assert list(cut.major_axis) == list(panel.major_axis[-2:])


@pytest.mark.parametrize("keyword, types", [("stock", {"stock"}),
                                            ("fund", {"etf", "lof", "fja", "fjb"})])
def test_type_keyword_reads_every_listed_code(day, keyword, types):
    listed = studybench.get_all_securities(None, day)
    expected = listed[listed["type"].isin(types)]
    result = studybench.get_price(keyword, end_date=day.strftime("%Y%m%d"), bar_count=1,
                                  fields=["close"])
    assert sorted(result) == sorted(expected.index)
    assert all(len(frame) <= 1 for frame in result.values())


def test_securities_and_calendar(day):
    stocks = studybench.get_all_securities("stock", "2016-12-30")
    assert "000003.SZ" in stocks.index and "600002.SH" not in stocks.index  # delisted 2016-06-30
    assert set(stocks["type"]) == {"stock"}
    assert studybench.normalize_symbol("000001") == "000001.SZ"
    assert studybench.normalize_symbol("000001", "index") == "000001.SH"
    assert studybench.normalize_symbol("150009") == "150009.SZ"
    assert studybench.get_security_info("510050.SH").type == "etf"
    assert studybench.get_last_trade_day(day, 1, 0) == day
    previous = studybench.get_trade_days(end_date=day, count=2)[0]
    assert studybench.get_last_trade_day(day) == previous
    contracts = studybench.get_future_code("IF", day)
    assert contracts and all(code.startswith("IF") for code in contracts)


def test_unknown_code_error_of_the_data_layer_propagates(day):
    with pytest.raises(ValueError, match="unknown instrument code"):
        studybench.get_price("999999.SZ", end_date=day)
