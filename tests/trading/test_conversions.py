import re

import pytest


@pytest.mark.parametrize("code, suffix", [
    ("000001", "SZ"), ("159915", "SZ"), ("300750", "SZ"), ("123001", "SZ"),
    ("600000", "SH"), ("688981", "SH"), ("510300", "SH"), ("110001", "SH"),
    ("830799", "BJ"), ("430047", "BJ"), ("920001", "BJ"),
    ("204001", None), ("", None), ("60000a", None),
])
def test_market_revert(dealdesk, code, suffix):
    assert dealdesk.MARKET.revert(code) == suffix
    assert dealdesk.MARKET.revert(symbol=code) == suffix


@pytest.mark.parametrize("symbol, market", [
    ("000001.SZ", 1), ("600000.SH", 2), ("830799.BJ", 3),
    ("159915.OF", 1), ("510300.OF", 2), ("000001.OF", None), ("000001", None),
])
def test_market_convert(dealdesk, symbol, market):
    assert dealdesk.MARKET.convert(symbol) == market


@pytest.mark.parametrize("code", [
    "600000\n", "600000\n\n", "60", "5", "51", "5\n", "00a1", "60\u0660\u0661",
    "\uff16\uff10\u0660", "688", "6880", "00 1", "\n600000", "1200", "4", "40",
])
def test_market_revert_agrees_with_re(dealdesk, code):
    expected = next((v for p, v in dealdesk.MARKET.re_revert.items() if re.match(p, code)), None)
    assert dealdesk.MARKET.revert(code) == expected


def test_market_tables_are_the_broker_patterns(dealdesk):
    assert list(dealdesk.MARKET.re_convert.items()) == [
        (r"^(.+)\.SZ$", 1), (r"^(.+)\.SH$", 2), (r"^(1.+)\.OF$", 1), (r"^(5.+)\.OF$", 2),
        (r"^(.+)\.BJ$", 3)]
    assert list(dealdesk.MARKET.re_revert.items()) == [
        (r"^(00|12|30|15|16|17|18)\d+$", "SZ"), (r"^(11|60|688|689|5)\d+$", "SH"),
        (r"^(4|8|9)\d+$", "BJ")]


def test_market_reads_its_table_and_re_at_call_time(dealdesk, monkeypatch):
    monkeypatch.setitem(dealdesk.MARKET.re_revert, r"^20\d+$", "SH")
    assert dealdesk.MARKET.revert("204001") == "SH"
    seen = []

    class RecordingRe:
        @staticmethod
        def match(pattern, text):
            seen.append(pattern)
            return re.match(pattern, text)

    monkeypatch.setattr(dealdesk, "re", RecordingRe)
    assert dealdesk.MARKET.revert("600000") == "SH"
    assert seen == [r"^(00|12|30|15|16|17|18)\d+$", r"^(11|60|688|689|5)\d+$"]


def test_market_needs_text(dealdesk):
    with pytest.raises(TypeError):
        dealdesk.MARKET.revert(600000)


@pytest.mark.parametrize("num, name", [
    (0, "BUY"), (1, "SALE"), (6, "FINANCE_BUY"), (7, "STOCK_SALE"), (16, "IPO"),
    (2, 2), (13, 13), ("0", "0"), (None, None), (True, "SALE"), (6.0, "FINANCE_BUY"),
    ([0], [0]),
])
def test_side_revert(dealdesk, num, name):
    result = dealdesk.SIDE.revert(num)
    assert result == name and type(result) is type(name)


class _Troublesome:
    """A side code whose hashing or comparing raises."""

    def __init__(self, on_hash=None, on_eq=None):
        self.on_hash, self.on_eq = on_hash, on_eq

    def __hash__(self):
        if self.on_hash:
            raise self.on_hash
        return 0  # collides with BUY, so the member lookup compares

    def __eq__(self, other):
        if self.on_eq:
            raise self.on_eq
        return False


@pytest.mark.parametrize("code", [
    _Troublesome(on_hash=ValueError("no hash")), _Troublesome(on_hash=KeyError("no hash")),
    _Troublesome(on_eq=ValueError("no compare")), _Troublesome(on_eq=KeyError("no compare")),
])
def test_side_revert_returns_codes_the_enum_refuses(dealdesk, code):
    # Enum turns a KeyError into "no member" and the ValueError is what revert catches.
    assert dealdesk.SIDE.revert(code) is code


def test_side_revert_passes_other_errors_on(dealdesk):
    with pytest.raises(RuntimeError, match="broken"):
        dealdesk.SIDE.revert(_Troublesome(on_hash=RuntimeError("broken")))


def test_side_revert_of_a_member_and_of_another_enum(dealdesk):
    assert dealdesk.SIDE.revert(dealdesk.SIDE.IPO) == "IPO"
    other = __import__("enum").Enum("Other", [("X", 0)], type=dealdesk.SideMixin)
    assert (other.revert(0), other.revert(6)) == ("X", 6)


def test_side_members_in_order(dealdesk):
    assert [(m.name, m.value) for m in dealdesk.SIDE] == [
        ("BUY", 0), ("SALE", 1), ("PURCHASE", 4), ("REDEEM", 5), ("FINANCE_BUY", 6),
        ("STOCK_SALE", 7), ("SALE_REPAY", 8), ("BUY_REPAY", 9), ("DIRECT_REPAY", 10),
        ("STOCK_REPAY", 11), ("STOCK_REPAY_TRANSFER", 14), ("STOCK_LEFT_TRANSFER", 15),
        ("IPO", 16)]
    assert dealdesk.SIDE.__mro__[1:3] == (dealdesk.SideMixin, __import__("enum").Enum)
    assert dealdesk.SIDE.__module__ == "varden.mod.tradeapi.api.dealdesk"


@pytest.mark.parametrize("num, text", [(0, "限价单"), (3, "市价单"), (1, None), ("0", None)])
def test_price_type_revert(dealdesk, num, text):
    assert dealdesk.PRICETYPE.revert(num) == text


@pytest.mark.parametrize("call", [
    lambda d: d.MARKET.revert(), lambda d: d.MARKET.convert("a", "b"),
    lambda d: d.SIDE.revert(), lambda d: d.PRICETYPE.revert(0, 1),
])
def test_conversions_take_one_argument(dealdesk, call):
    with pytest.raises(TypeError, match="positional argument"):
        call(dealdesk)
