"""help() on the compiled modules reads like help() on Python code: every public function,
class, method and property has a docstring naming its parameters, the signature shows the
parameter names and defaults, and no C++ type names show through."""

import importlib
import inspect
import pydoc
import re

import pytest

from varden import COMPILED_MODULES as MODULES
CPP_NAMES = re.compile(r"std::|pybind11|\barg\d+\b|(?::|->)\s*(?:handle|object)\b")
NAMELESS = (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)


def defined_by(module, obj):
    # Generated message classes name the module by its last component, as protoc output does.
    return getattr(obj, "__module__", None) in (module.__name__, module.__name__.rpartition(".")[2])


def public_api():
    """(id, object) of every public callable and property the modules define themselves."""
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for name, obj in vars(module).items():
            if name.startswith("_") or not callable(obj) or not defined_by(module, obj):
                continue
            yield f"{module_name}.{name}", obj
            if not inspect.isclass(obj):
                continue
            for attr, member in vars(obj).items():
                if attr.startswith("_") or inspect.isclass(member):
                    continue
                if isinstance(member, property):
                    yield f"{module_name}.{name}.{attr}", member
                elif callable(getattr(member, "__func__", member)):
                    yield f"{module_name}.{name}.{attr}", getattr(obj, attr)


API = dict(public_api())


def signature(obj):
    if isinstance(obj, property):
        return None
    if inspect.isclass(obj) and "__init__" not in vars(obj):
        return None  # enums, generated messages, factories: no constructor of their own
    return inspect.signature(obj)


def named_parameters(sig):
    return [p.name for p in sig.parameters.values() if p.kind not in NAMELESS and p.name != "self"]


@pytest.mark.parametrize("module_name", MODULES)
def test_every_module_has_a_docstring(module_name):
    assert importlib.import_module(module_name).__doc__.strip()


def test_the_public_api_is_all_there():
    # A sample from each kind: functions, classes, methods, class methods, properties.
    for name in ["studybench.get_price", "dealdesk.TradeAPI.get_orders", "dealdesk.MARKET.revert",
                 "dealdesk.TradeAPI.positions", "tablespec.StrQuery.offset",
                 "gatemeta.PushMeta", "hostprobe.get_system_info", "mod.KelpieMod.tear_down"]:
        assert any(key.endswith(name) for key in API), name


@pytest.mark.parametrize("name", sorted(n for n, obj in API.items() if callable(obj)))
def test_every_callable_has_a_signature(name):
    # Editors, help() and IPython show it; inspect raises where a callable has none.
    assert isinstance(inspect.signature(API[name]), inspect.Signature)


@pytest.mark.parametrize("name", sorted(API))
def test_docstring_names_every_parameter(name):
    obj = API[name]
    doc = inspect.getdoc(obj)
    assert doc and doc.strip()
    sig = signature(obj)
    for parameter in named_parameters(sig) if sig else []:
        assert re.search(rf"^{parameter} :", doc, re.MULTILINE), parameter
    # A decorated function carries the same text as the function it wraps.
    inner = obj
    while hasattr(inner, "__wrapped__"):
        inner = inner.__wrapped__
        assert inner.__doc__ == obj.__doc__


def unwrapped(text):
    """`text` without whitespace: from 3.13 help() breaks a long signature across lines."""
    return "".join(text.split())


@pytest.mark.parametrize("name", sorted(API))
def test_help_shows_python_signature_without_cpp_names(name):
    obj = API[name]
    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    assert not CPP_NAMES.findall(text)
    sig = signature(obj)
    if sig is not None and sig.parameters:  # help() leaves out an empty "()"
        assert unwrapped(str(sig)) in unwrapped(text)


def test_help_of_get_price_shows_defaults_and_description():
    text = pydoc.render_doc(API["varden.mod.kelpie.research.studybench.get_price"],
                            renderer=pydoc.plaintext)
    assert unwrapped(
        "get_price(securities, start_date=None, end_date='20180101', fre_step='1d', "
        "fields=None, skip_paused=False, fq='pre', bar_count=0, is_panel=False)"
    ) in unwrapped(text)
    assert "开始日期 {0} 和bar_count {1} 同时设置" in text
