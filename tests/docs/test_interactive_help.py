"""help(), IPython's ? and ?? show a compiled function as they show a def function: a heading
that names the function and its module, its signature, its docstring, and no generic call
line."""

import importlib
import inspect
import pydoc
import re

import pytest

from varden import COMPILED_MODULES

# One function of each module (a method where the module's functions are methods); a module
# added to the kit's list without a sample here fails the collection.
SAMPLE_OF = {
    "varden.mod.kelpie.utils.kprpc": "APIClient.login",
    "varden.mod.kelpie.research.normal_query.tablespec": "StrQuery.filter",
    "varden.mod.kelpie.research.studybench": "query",
    "varden.mod.stock.data.quotewire": "quotation_get_remote",
    "varden.mod.stock.utils.querybay": "QueryBay.question",
    "varden.mod.tradeapi.api.dealdesk": "TradeAPI.get_orders",  # a rate-limited wrapper
    "varden.mod.tradeapi.sdk.gatelink": "GatewayClient._make_session",
    "varden.mod.tradeapi.sdk.protogen.gatemeta": "_b",  # private: no docstring
    "varden.mod.kelpie.eventhook": "EventFunc.register",
    "varden.mod.kelpie.mod": "KelpieMod.tear_down",
    "hostprobe": "get_system_info",
}
SAMPLES = [(module, SAMPLE_OF[module]) for module in COMPILED_MODULES]
ANSI = re.compile(r"\x1b\[[0-9;]*m")


def first_doc_line(function):
    return (inspect.getdoc(function) or "\n").splitlines()[0]


def sample(module_name, path):
    obj = importlib.import_module(module_name)
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.fixture(scope="module")
def shell(tmp_path_factory):
    """An IPython shell without a terminal, its profile and history in a temporary folder."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("IPYTHONDIR", str(tmp_path_factory.mktemp("ipython")))
        from IPython.core.interactiveshell import InteractiveShell

        yield InteractiveShell.instance()
        InteractiveShell.clear_instance()


@pytest.mark.parametrize("module_name, path", SAMPLES, ids=[p for _, p in SAMPLES])
def test_help_names_the_function_and_shows_its_signature(module_name, path):
    function = sample(module_name, path)
    name = function.__name__
    lines = pydoc.render_doc(function, renderer=pydoc.plaintext).splitlines()
    kind = "method" if inspect.ismethod(function) else "built-in function"  # a class method
    assert lines[0] == f"Python Library Documentation: {kind} {name} in module {module_name}"
    assert lines[2].startswith(f"{name}(")
    assert first_doc_line(function) in "\n".join(lines[3:])


@pytest.mark.parametrize("detail", [0, 1], ids=["?", "??"])
@pytest.mark.parametrize("module_name, path", SAMPLES, ids=[p for _, p in SAMPLES])
def test_ipython_shows_signature_and_docstring(shell, module_name, path, detail):
    function = sample(module_name, path)
    shell.user_ns["f"] = function
    text = ANSI.sub("", shell.object_inspect_text("f", detail_level=detail))
    fields = dict(re.findall(r"^([A-Z][a-z ]+):\s*(.*)$", text, re.MULTILINE))
    signature = re.sub(r"\s+", "", str(inspect.signature(function)))
    assert re.sub(r"\s+", "", text.split("Signature:", 1)[1]).startswith("f" + signature)
    assert "Call signature" not in fields  # the generic (*args, **kwargs) of __call__
    assert first_doc_line(function) in text.split("Docstring:", 1)[1]
    assert fields["Type"] == type(function).__name__
