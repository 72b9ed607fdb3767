import numpy as np
import pandas as pd
import pytest

from varden.mod.kelpie.utils.compat import pd_Panel

DAYS = pd.date_range("2024-01-01", periods=4)


@pytest.fixture
def bars_by_code():
    return {
        "000001.SZ": pd.DataFrame({"open": [1.0, 2, 3, 4], "close": [1.5, 2.5, 3.5, 4.5]},
                                  index=DAYS),
        "600000.SH": pd.DataFrame({"open": [7.0, 8], "close": [7.5, 8.5]}, index=DAYS[2:]),
    }


def test_from_dict_minor_puts_codes_on_the_minor_axis(bars_by_code):
    panel = pd_Panel.from_dict(bars_by_code, orient="minor")
    assert list(panel.items) == ["open", "close"]
    assert list(panel.major_axis) == list(DAYS)
    assert list(panel.minor_axis) == ["000001.SZ", "600000.SH"]
    assert panel.shape == (2, 4, 2)
    close = panel["close"]
    assert close.loc[DAYS[3], "600000.SH"] == 8.5
    assert np.isnan(close.loc[DAYS[0], "600000.SH"])
    assert close["000001.SZ"].tolist() == [1.5, 2.5, 3.5, 4.5]


def test_construction_from_items_aligns_rows_and_columns(bars_by_code):
    panel = pd_Panel(bars_by_code)
    assert list(panel.items) == ["000001.SZ", "600000.SH"]
    assert list(panel.minor_axis) == ["open", "close"]
    assert panel["600000.SH"]["open"].iloc[:2].isna().all()
    assert pd_Panel.from_dict(bars_by_code).shape == panel.shape


@pytest.mark.parametrize("selection, items, days", [
    ((slice(None), slice(-3, None)), ["open", "close"], DAYS[1:]),
    ((0, [0, -1]), ["open"], DAYS[[0, 3]]),
    ((slice(1, 2),), ["close"], DAYS),
])
def test_iloc_selects_items_and_major_positions(bars_by_code, selection, items, days):
    panel = pd_Panel.from_dict(bars_by_code, orient="minor")
    part = panel.iloc[selection if len(selection) > 1 else selection[0]]
    assert isinstance(part, pd_Panel)
    assert list(part.items) == items
    assert list(part.major_axis) == list(days)
    assert list(part.minor_axis) == ["000001.SZ", "600000.SH"]
    assert part[items[0]].equals(panel[items[0]].loc[days])


def test_to_frame_and_repr(bars_by_code):
    panel = pd_Panel.from_dict(bars_by_code, orient="minor").iloc[:, -1:]
    frame = panel.to_frame()
    assert frame.loc[(DAYS[3], "600000.SH"), "close"] == 8.5
    assert list(frame.columns) == ["open", "close"]
    assert repr(panel).splitlines() == [
        "pd_Panel",
        "Dimensions: 2 (items) x 1 (major_axis) x 2 (minor_axis)",
        "Items axis: open to close",
        "Major_axis axis: 2024-01-04 00:00:00 to 2024-01-04 00:00:00",
        "Minor_axis axis: 000001.SZ to 600000.SH",
    ]


@pytest.mark.parametrize("make, error", [
    (lambda: pd_Panel([1, 2]), TypeError),
    (lambda: pd_Panel.from_dict({}, orient="major"), ValueError),
])
def test_bad_input_is_refused(make, error):
    with pytest.raises(error):
        make()
