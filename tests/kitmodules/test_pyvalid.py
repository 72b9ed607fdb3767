import inspect

import pandas as pd
import pytest

from varden.mod.kelpie.utils.pyvalid import DateValidator, accepts


def get_price(securities, start_date=None, end_date="20180101", fre_step="1d", fields=None,
              skip_paused=False, fq="pre", bar_count=0, is_panel=False):
    """Bars of securities."""
    return securities, start_date, end_date, fields, fq


checked_get_price = accepts((str, list), DateValidator(), DateValidator(), str, list,
                            (True, 0, 1), ("post", None), int, (True, 0, 1))(get_price)


def notify_push(content, channel="wxpusher", subject="s", email_list=None):
    return channel, email_list


checked_notify_push = accepts(str, ("email", "vanish"), str, (list, str))(notify_push)


def set_log_level(level, is_limit=True, filename=None):
    return is_limit


checked_set_log_level = accepts(str, (False,), str)(set_log_level)


@pytest.mark.parametrize("call, expected", [
    # Defaults that are not among the samples pass when given explicitly.
    (lambda: checked_get_price("a", fq="pre"), ("a", None, "20180101", None, "pre")),
    (lambda: checked_notify_push("hi", "wxpusher"), ("wxpusher", None)),
    (lambda: checked_set_log_level("info", True), True),
    # None passes where the parameter defaults to None, or where None is a sample.
    (lambda: checked_get_price(["a"], None, None, "1d", None, fq=None),
     (["a"], None, None, None, None)),
    (lambda: checked_notify_push("hi", email_list=None), ("wxpusher", None)),
    # Anything pandas reads as a date.
    (lambda: checked_get_price("a", pd.Timestamp("2020-01-02"), 20200105),
     ("a", pd.Timestamp("2020-01-02"), 20200105, None, "pre")),
    (lambda: checked_notify_push("hi", "email", "s", ["x@y"]), ("email", ["x@y"])),
])
def test_accepted_calls_reach_the_function(call, expected):
    assert call() == expected


@pytest.mark.parametrize("call, error, message", [
    (lambda: checked_get_price(5), TypeError,
     "get_price() argument 'securities' must be str or list, not int"),
    (lambda: checked_get_price("a", end_date="not a day"), ValueError,
     "get_price() argument 'end_date' is not a date: 'not a day'"),
    (lambda: checked_get_price("a", start_date=[2020]), TypeError,
     "get_price() argument 'start_date' must be a date, not list"),
    (lambda: checked_get_price("a", None, None, "1d", "close"), TypeError,
     "get_price() argument 'fields' must be list, not str"),
    (lambda: checked_get_price("a", fq=1), TypeError,
     "get_price() argument 'fq' must be like one of ('post', None), not int"),
    (lambda: checked_get_price("a", bar_count=None), TypeError,
     "get_price() argument 'bar_count' must be int, not NoneType"),
    (lambda: checked_notify_push("hi", None), TypeError,
     "notify_push() argument 'channel' must be like one of ('email', 'vanish'), not NoneType"),
    (lambda: checked_set_log_level("info", is_limit=0), TypeError,
     "set_log_level() argument 'is_limit' must be like one of (False,), not int"),
])
def test_mismatches_name_the_function_and_parameter(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


def test_parameters_beyond_the_last_spec_are_not_checked():
    short = accepts(str)(get_price)
    assert short("a", "not a day", fields="f")[3] == "f"


def test_wrong_argument_counts_are_left_to_the_function():
    with pytest.raises(TypeError, match="unexpected keyword argument 'limit'"):
        checked_get_price("a", limit=3)
    with pytest.raises(TypeError, match="takes from 1 to 9 positional arguments"):
        checked_get_price("a", None, None, "1d", None, False, None, 0, False, "extra")


def test_wrapper_keeps_name_doc_and_signature():
    assert checked_get_price.__name__ == "get_price"
    assert checked_get_price.__doc__ == "Bars of securities."
    assert inspect.signature(checked_get_price) == inspect.signature(get_price)


def test_builtin_functions_are_checked_through_their_text_signature():
    checked_pow = accepts(int, int, int)(pow)
    assert checked_pow(2, 5) == 32
    assert checked_pow(2, exp=5, mod=None) == 32  # mod defaults to None
    assert checked_pow.__name__ == "pow"
    assert str(inspect.signature(checked_pow)) == "(base, exp, mod=None)"
    with pytest.raises(TypeError, match="pow\\(\\) argument 'exp' must be int, not float"):
        checked_pow(2, exp=0.5)


def test_no_specs_check_nothing_and_need_no_signature():
    checked_max = accepts()(max)
    assert checked_max(3, 9) == 9
    assert checked_max.__name__ == "max"


@pytest.mark.parametrize("specs, message", [
    ((int,), "cannot read the parameters of max"),
    ((int, int), "2 specs for 1 parameters of abs"),
])
def test_specs_that_cannot_apply_fail_at_decoration(specs, message):
    func = max if message.endswith("max") else abs
    with pytest.raises(TypeError, match=message):
        accepts(*specs)(func)


def test_spec_must_be_a_type_tuple_or_date_validator():
    with pytest.raises(TypeError, match="a spec must be"):
        accepts("str")


def test_compiled_functions_are_checked_through_their_signature():
    from varden.mod.kelpie.eventhook import EventFunc

    compiled = vars(EventFunc)["load_strategy"]
    checked = accepts(EventFunc, str)(compiled)
    assert checked.__name__ == "load_strategy" and checked.__wrapped__ is compiled
    assert str(inspect.signature(checked)) == "(self, event)"
    with pytest.raises(TypeError, match="load_strategy\\(\\) argument 'event' must be str, not int"):
        checked(EventFunc(None), event=3)
