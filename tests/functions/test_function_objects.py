"""The compiled modules' functions copy, pickle and rename as Python functions do."""

import copy
import pickle

import pytest

from varden.mod.kelpie.research.normal_query import tablespec
from varden.mod.stock.data import quotewire
from varden.mod.tradeapi.api import dealdesk

FUNCTIONS = [
    quotewire.quotation_get_remote,  # module level
    dealdesk.TradeAPI.get_orders,  # found through its class
    tablespec.StrQuery.filter,
]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_copies_and_pickles_are_the_function_itself(function):
    # A strategy's settings holding a kit function survive deepcopy and a process boundary.
    assert copy.copy(function) is function
    assert copy.deepcopy({"callback": function})["callback"] is function
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function


def test_a_function_not_found_under_its_name_refuses_to_pickle(monkeypatch):
    function = quotewire.quotation_get_remote
    monkeypatch.setattr(function, "__qualname__", "gone")
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(function)


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_must_stay_text(attribute):
    with pytest.raises(TypeError, match="^%s must be set to a string object$" % attribute):
        setattr(quotewire.quotation_get_remote, attribute, 1)


def test_a_name_with_no_utf8_form_is_still_a_name(monkeypatch):
    # As for a def function: any str, lone surrogates included.
    monkeypatch.setattr(quotewire.quotation_get_remote, "__qualname__", "fix\udcff")
    assert quotewire.quotation_get_remote.__qualname__ == "fix\udcff"
