"""The fundamentals query builder: column expressions rendered as query text."""

import collections
import copy
import datetime
import decimal
import fractions
import pickle
import types

import pytest

from varden.mod.kelpie.research.normal_query import tablespec
from varden.mod.kelpie.research.normal_query.tablespec import (
    StrModel,
    StrModelAttr,
    StrQuery,
    income,
    valuation,
)

TABLES = [
    "bonus", "valuation", "balance", "cashflow", "income", "profit_report", "profit_forecast",
    "operating", "debtrepay", "profit", "growth", "cashflow_sq", "income_sq", "profit_sq",
    "growth_sq", "asharevalue", "ashareoperate", "asharedebt", "ashareprofit",
]


def test_table_objects_are_exported_in_order_and_named_after_themselves():
    assert tablespec.__all__ == TABLES
    for name in TABLES:
        table = getattr(tablespec, name)
        assert type(table) is StrModel
        assert table.name == name
        assert str(table) == name


def test_classes_are_plain_python_classes():
    for cls in (StrModelAttr, StrModel, StrQuery):
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert cls.__module__ == "varden.mod.kelpie.research.normal_query.tablespec"
    column = valuation.pe
    column.note = "kept"
    assert vars(column) == {"name": "valuation", "key": "pe", "note": "kept"}


def test_columns_are_unhashable_and_fresh_on_every_access():
    assert StrModelAttr.__hash__ is None
    with pytest.raises(TypeError, match="unhashable type: 'StrModelAttr'"):
        hash(valuation.symbol)
    assert valuation.symbol is not valuation.symbol
    assert isinstance(valuation.anything_at_all, StrModelAttr)
    assert valuation.name == "valuation"


def test_table_attribute_lookup_follows_the_class(monkeypatch):
    table = StrModel("t")
    table.extra = 1
    assert (table.extra, table.name, vars(table)) == (1, "t", {"name": "t", "extra": 1})
    assert str(getattr(table, "pe", None)) == "t.pe"

    class Plain(StrModel):
        pass

    class Audited(StrModel):
        def __getattr__(self, key):
            return "audited " + key

    assert str(Plain("p").pe) == "p.pe"
    assert Audited("a").pe == "audited pe"
    monkeypatch.setattr(StrModel, "__getattr__", lambda self, key: key.upper())
    assert valuation.pe == "PE"
    monkeypatch.undo()
    assert str(valuation.pe) == "valuation.pe"


@pytest.mark.parametrize("copy_of", [copy.copy, copy.deepcopy,
                                     lambda table: pickle.loads(pickle.dumps(table))])
def test_tables_copy_and_pickle_to_an_equal_table(copy_of):
    table = copy_of(valuation)
    assert type(table) is StrModel and vars(table) == {"name": "valuation"}
    assert (table.pe == 1, str(table.symbol)) == ("valuation.pe==1", "valuation.symbol")


def test_special_names_are_no_columns_and_a_bare_instance_raises():
    for probe in ("__setstate__", "__reduce_ex_x__", "____"):
        with pytest.raises(AttributeError, match=f"'StrModel' object has no attribute '{probe}'"):
            getattr(valuation, probe)
    assert str(valuation._private_) == "valuation._private_"
    bare = StrModel.__new__(StrModel)
    with pytest.raises(AttributeError, match="'StrModel' object has no attribute 'name'"):
        bare.pe_ratio


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda: str(valuation.symbol), "valuation.symbol"),
        (lambda: valuation.symbol == "000001.SZ", "valuation.symbol=='000001.SZ'"),
        (lambda: valuation.symbol != "000001.SZ", "valuation.symbol!='000001.SZ'"),
        (lambda: valuation.pe > 10, "valuation.pe>10"),
        (lambda: valuation.pe < 1.5, "valuation.pe<1.5"),
        (lambda: valuation.pe >= -2, "valuation.pe>=-2"),
        (lambda: valuation.pe <= decimal.Decimal("2.50"), "valuation.pe<=2.50"),
        (lambda: valuation.pe == fractions.Fraction(1, 3), "valuation.pe==1/3"),
        (lambda: valuation.pe == None, "valuation.pe==None"),  # noqa: E711
        (lambda: valuation.pe.is_(None), "valuation.pe.is_(None)"),
        (lambda: valuation.flag == True, "valuation.flag==True"),  # noqa: E712
        (lambda: valuation.flag != False, "valuation.flag!=False"),  # noqa: E712
        (lambda: 10 < valuation.pe, "valuation.pe>10"),
        (lambda: 10 == valuation.pe, "valuation.pe==10"),
        (
            lambda: valuation.symbol.in_(["000001.SZ", "000002.SZ"]),
            "valuation.symbol.in_(['000001.SZ', '000002.SZ'])",
        ),
        (
            lambda: valuation.symbol.in_(("000001.SZ", "000002.SZ")),
            "valuation.symbol.in_(['000001.SZ', '000002.SZ'])",
        ),
        (lambda: valuation.symbol.in_({"000001.SZ"}), "valuation.symbol.in_(['000001.SZ'])"),
        (lambda: valuation.pe.any_([1, [2, "a"]]), "valuation.pe.any_([1, [2, 'a']])"),
        (lambda: valuation.pe.all_(b"AB"), "valuation.pe.all_([65, 66])"),
        (lambda: valuation.pe.in_({"k": 1, "j": 2}), "valuation.pe.in_(['k', 'j'])"),
        (lambda: valuation.pe.in_(x for x in (1, 2)), "valuation.pe.in_([1, 2])"),
        (lambda: valuation.pe.in_([]), "valuation.pe.in_([])"),
        (lambda: valuation.pe.in_(collections.Counter("a")), "valuation.pe.in_(['a'])"),
        (lambda: valuation.day == datetime.date(2020, 1, 1), "valuation.day=='2020-01-01'"),
        (
            lambda: valuation.day.in_([datetime.date(2020, 1, 1), None]),
            "valuation.day.in_(['2020-01-01', None])",
        ),
        (lambda: valuation.pe > income.eps, "valuation.pe>'income.eps'"),
        (lambda: valuation.symbol.in_(["it's"]), 'valuation.symbol.in_(["it\'s"])'),
    ],
)
def test_expressions_render_as_query_text(build, text):
    assert build() == text


@pytest.mark.parametrize(
    "value, rendered",
    [
        ("O'Reilly", "\"O'Reilly\""),
        ("a\nb", "'a\\nb'"),
        ("x') or True or ('", "\"x') or True or ('\""),
        ("both ' and \"", "'both \\' and \"'"),
    ],
)
def test_top_level_text_is_a_python_literal_of_itself(value, rendered):
    text = valuation.symbol == value
    assert text == "valuation.symbol==" + rendered
    assert eval(text.split("==", 1)[1]) == value


def test_other_objects_render_as_a_literal_of_their_text():
    class Odd:
        def __str__(self):
            return "it's\n"

    text = valuation.note == Odd()
    assert text == "valuation.note==\"it's\\n\""
    assert eval(text.split("==", 1)[1]) == "it's\n"
    assert valuation.note.in_([Odd()]) == "valuation.note.in_([\"it's\\n\"])"


def test_number_and_iterable_tests_are_read_from_the_module(monkeypatch):
    monkeypatch.setattr(tablespec, "numbers", types.SimpleNamespace(Number=fractions.Fraction))
    assert (valuation.pe > 10) == "valuation.pe>'10'"
    fake_abc = types.SimpleNamespace(abc=types.SimpleNamespace(Iterable=dict))
    monkeypatch.setattr(tablespec, "collections", fake_abc)
    assert valuation.pe.in_([1]) == "valuation.pe.in_('[1]')"
    assert valuation.pe.in_({"k": 1}) == "valuation.pe.in_(['k'])"


def test_a_subclass_encoder_is_used_for_values_and_elements():
    class Upper(StrModelAttr):
        def _encode(self, o, top=1):
            if isinstance(o, str):
                return o.upper()
            return super()._encode(o, top)

    column = Upper("t", "c")
    assert (column == "ab") == "t.c==AB"
    assert column.in_(["ab", 1]) == "t.c.in_(['AB', 1])"


def test_self_containing_value_raises_recursion_error():
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        valuation.pe.in_(loop)


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda: StrQuery(), "query().filter()"),
        (lambda: StrQuery(valuation), "query(valuation).filter()"),
        (
            lambda: StrQuery(valuation, income.eps, "custom"),
            "query(valuation, income.eps, custom).filter()",
        ),
        (
            lambda: StrQuery(valuation).filter(valuation.pe > 1, valuation.pb < 2),
            "query(valuation).filter(valuation.pe>1, valuation.pb<2)",
        ),
        (
            lambda: StrQuery(valuation).filter(valuation.pe > 1).filter(valuation.pb < 2),
            "query(valuation).filter(valuation.pe>1, valuation.pb<2)",
        ),
        (
            lambda: StrQuery(valuation).offset(20).limit(10),
            "query(valuation).filter().limit(10).offset(20)",
        ),
        (lambda: StrQuery(valuation).limit(0), "query(valuation).filter().limit(0)"),
        (lambda: StrQuery(valuation).offset(limit=5), "query(valuation).filter().offset(5)"),
        (lambda: StrQuery(valuation).limit(5).limit(None), "query(valuation).filter()"),
        # %-formatting, as the text is built: a one-element tuple gives its element
        (lambda: StrQuery(valuation).limit((5,)), "query(valuation).filter().limit(5)"),
    ],
)
def test_query_text(build, text):
    assert str(build()) == text


def test_builders_change_and_return_the_same_query():
    q = StrQuery(valuation)
    assert q.filter("a") is q and q.limit(3) is q and q.offset(4) is q
    assert q.fields == (valuation,)
    assert q.filters == ["a"]
    assert (q._limit, q._offset) == (3, 4)
    assert str(q) == str(q) == "query(valuation).filter(a).limit(3).offset(4)"


def test_non_text_filter_fails_when_rendered_not_when_added():
    q = StrQuery(valuation).filter(valuation.pe > 1, 5)
    with pytest.raises(TypeError, match="sequence item 1: expected str instance, int found"):
        str(q)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: StrModelAttr("t"), r"__init__\(\) missing 1 required positional argument: 'key'"),
        (lambda: StrModel(), r"__init__\(\) missing 1 required positional argument: 'name'"),
        (lambda: StrQuery(x=1), r"__init__\(\) got an unexpected keyword argument 'x'"),
        (lambda: valuation.pe._encode(), r"_encode\(\) missing 1 required positional argument: 'o'"),
        (
            lambda: valuation.pe._encode(1, 2, 3),
            r"_encode\(\) takes from 2 to 3 positional arguments but 4 were given",
        ),
        (lambda: StrQuery().filter(a=1), r"filter\(\) got an unexpected keyword argument 'a'"),
        (lambda: StrQuery().limit(), r"limit\(\) missing 1 required positional argument: 'limit'"),
        (lambda: StrQuery().limit(1, 2), r"limit\(\) takes 2 positional arguments but 3 were given"),
        (lambda: StrQuery().offset(offset=1), r"offset\(\) got an unexpected keyword argument"),
        (lambda: valuation.pe.in_(), r"in_\(\) missing 1 required positional argument: 'obj'"),
    ],
)
def test_argument_errors_read_like_python(call, message):
    with pytest.raises(TypeError, match=message):
        call()

