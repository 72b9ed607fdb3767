"""The typing stubs beside the compiled modules state what the modules define, exactly.

mypy's stubtest (test_stubtest.py) checks that the stubs and the modules define the same names
and members, of the same kinds. Here each stub is read with `ast` (never executed) for what
stubtest leaves open: every function, method, property and initialiser that the stub declares,
private ones included, against the runtime object (parameter names, kinds, and defaults of the
same type and value, pybind11 functions included), `__all__` in its order, enumeration values,
protobuf fields, base classes, and the switches of rate-limited wrappers.
"""

import ast
import enum
import importlib
import inspect
from pathlib import Path

import pytest
from google.protobuf.message import Message

from varden import COMPILED_MODULES

SRC = Path(__file__).resolve().parents[2] / "src"

# Module name -> its stub in the source tree.
STUBS = {name: SRC.joinpath(*name.split(".")).with_suffix(".pyi") for name in COMPILED_MODULES}
STUBS["hostprobe"] = SRC / "hostprobe" / "hostprobe.pyi"

# Methods whose runtime object is a generic (*args, **kwargs) wrapper: what they accept is the
# wrapped method's parameters plus the wrapper's keyword switches (name -> default).
WRAPPER_SWITCHES = {
    ("varden.mod.tradeapi.api.dealdesk", "TradeAPI.secondary_orders"): {
        "raise_on_limit": True,
        "sleep_on_limit": False,
    },
}

ANY_DEFAULT = object()  # the stub's `...`: a default exists, its value is not stated
KINDS = inspect.Parameter


# ---------------------------------------------------------------------------------------------
# Reading a stub


def _stub_signature(func):
    """(name, kind, default) of every parameter of a stub `def`."""
    args = func.args
    params = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for index, (arg, default) in enumerate(zip(positional, defaults)):
        positional_only = index < len(args.posonlyargs)
        kind = KINDS.POSITIONAL_ONLY if positional_only else KINDS.POSITIONAL_OR_KEYWORD
        params.append((arg.arg, kind, _stub_default(default)))
    if args.vararg:
        params.append((args.vararg.arg, KINDS.VAR_POSITIONAL, KINDS.empty))
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append((arg.arg, KINDS.KEYWORD_ONLY, _stub_default(default)))
    if args.kwarg:
        params.append((args.kwarg.arg, KINDS.VAR_KEYWORD, KINDS.empty))
    return params


def _stub_default(node):
    if node is None:
        return KINDS.empty
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return ANY_DEFAULT
    return ast.literal_eval(node)


def _decorators(func):
    return {d.id for d in func.decorator_list if isinstance(d, ast.Name)}


def _annotation_text(node):
    return ast.unparse(node) if node is not None else ""


def _is_checker_only(node):
    """Private names that exist only for the type checker: aliases, type variables, protocols."""
    if isinstance(node, ast.AnnAssign):
        return _annotation_text(node.annotation).endswith("TypeAlias")
    if isinstance(node, ast.Assign) and isinstance(node.value, ast.Call):
        return _annotation_text(node.value.func).endswith("TypeVar")
    if isinstance(node, ast.ClassDef):
        return any(_annotation_text(base).endswith("Protocol") for base in node.bases)
    return False


class Stub:
    """The declarations of one stub text."""

    def __init__(self, text):
        tree = ast.parse(text)
        self.declared = {}  # name -> ast node
        self.imported = {}  # local name -> (module, name)
        self.all = None
        for node in tree.body:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                self.declared[node.name] = node
            elif isinstance(node, ast.AnnAssign):
                self.declared[node.target.id] = node
            elif isinstance(node, ast.Assign):
                for target in node.targets:
                    if target.id == "__all__":
                        self.all = ast.literal_eval(node.value)
                    else:
                        self.declared[target.id] = node
            elif isinstance(node, ast.ImportFrom):
                for alias in node.names:
                    self.imported[alias.asname or alias.name] = (node.module, alias.name)

    def checked(self):
        return {n: node for n, node in self.declared.items() if not _is_checker_only(node)}

    def resolve(self, expr, module):
        """The runtime object a base-class expression of the stub names."""
        text = ast.unparse(expr)
        head, _, rest = text.partition(".")
        if head in self.declared:
            return getattr(module, head)
        source, name = self.imported.get(head, (None, None))
        if source is None:
            obj = importlib.import_module(head)
            for part in rest.split("."):
                obj = getattr(obj, part)
            return obj
        return getattr(importlib.import_module(source), name)


# ---------------------------------------------------------------------------------------------
# Comparing with the module


def _runtime_signature(obj):
    try:
        signature = inspect.signature(obj)
    except ValueError:
        # pybind11 functions state their signature as the first line of the docstring.
        first = obj.__doc__.splitlines()[0]
        header = first.split(" -> ")[0]
        return _stub_signature(ast.parse(f"def {header}: ...").body[0])
    return [(p.name, p.kind, p.default) for p in signature.parameters.values()]


def _shown(default):
    if default is ANY_DEFAULT:
        return "..."
    return "none" if default is KINDS.empty else repr(default)


def _same_default(stub, runtime):
    if stub is ANY_DEFAULT:
        return runtime is not KINDS.empty
    return type(stub) is type(runtime) and stub == runtime


def _compare_params(where, stub_params, runtime_params):
    problems = []
    stub_names = [p[0] for p in stub_params]
    runtime_names = [p[0] for p in runtime_params]
    if stub_names != runtime_names:
        return [f"{where}: parameters {stub_names} in the stub, {runtime_names} at runtime"]
    for stub_param, runtime_param in zip(stub_params, runtime_params):
        name, kind, default = stub_param
        _, runtime_kind, runtime_default = runtime_param
        if kind != runtime_kind:
            problems.append(f"{where}: parameter {name} is {kind.description} in the stub, "
                            f"{runtime_kind.description} at runtime")
        if not _same_default(default, runtime_default):
            problems.append(f"{where}: default of {name} is {_shown(default)} in the stub, "
                            f"{_shown(runtime_default)} at runtime")
    return problems


def _compare_function(where, node, obj, skip_first=False, switches=None):
    stub_params = _stub_signature(node)
    if skip_first:
        stub_params = stub_params[1:]
    if switches is not None:
        wrapper = [(p.name, p.kind) for p in inspect.signature(obj).parameters.values()]
        if wrapper[1:] != [("args", KINDS.VAR_POSITIONAL), ("kwargs", KINDS.VAR_KEYWORD)]:
            return [f"{where}: expected a (*args, **kwargs) wrapper at runtime, got {wrapper}"]
        runtime = _runtime_signature(obj.__wrapped__)
        runtime += [(name, KINDS.KEYWORD_ONLY, default) for name, default in switches.items()]
        return _compare_params(where, stub_params, runtime)
    if not callable(obj):
        return []  # stubtest reports the mismatch
    return _compare_params(where, stub_params, _runtime_signature(obj))


def _compare_protobuf_message(where, node, cls):
    fields = [field.name for field in cls.DESCRIPTOR.fields]
    attributes = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
    problems = []
    if attributes != fields:
        problems.append(f"{where}: fields {attributes} in the stub, {fields} at runtime")
    inits = [n for n in node.body if isinstance(n, ast.FunctionDef) and n.name == "__init__"]
    init = inits[0] if inits else None
    keywords = [p[0] for p in _stub_signature(init) if p[1] is KINDS.KEYWORD_ONLY] if init else []
    if keywords != fields:
        problems.append(f"{where}: __init__ keywords {keywords} in the stub, {fields} at runtime")
    return problems


def _compare_class(module, stub, node, cls):
    module_name = module.__name__
    where = f"{module_name}.{node.name}"
    if not isinstance(cls, type):
        return []  # stubtest reports the mismatch
    problems = []
    for base in node.bases:
        if ast.unparse(base).endswith("Protocol"):
            continue
        expected = stub.resolve(base, module)
        if not issubclass(cls, expected):
            problems.append(f"{where}: not a subclass of {ast.unparse(base)} at runtime")
    if issubclass(cls, Message):
        return problems + _compare_protobuf_message(where, node, cls)

    own = vars(cls)
    stub_members = {}
    for item in node.body:
        if isinstance(item, ast.FunctionDef):
            stub_members[item.name] = item
        elif isinstance(item, ast.AnnAssign):
            stub_members[item.target.id] = item
        elif isinstance(item, ast.Assign):
            for target in item.targets:
                stub_members[target.id] = item

    # A member missing at runtime, or of another kind there, is stubtest's to report.
    for name, item in stub_members.items():
        member = f"{where}.{name}"
        if isinstance(item, ast.AnnAssign) or name not in own:
            continue
        if isinstance(item, ast.Assign):  # enumeration members
            if isinstance(cls, enum.EnumMeta) and cls[name].value != ast.literal_eval(item.value):
                problems.append(f"{member}: value {ast.unparse(item.value)} in the stub, "
                                f"{cls[name].value!r} at runtime")
            continue
        raw = own[name]
        decorators = _decorators(item)
        if "property" in decorators:
            if isinstance(raw, property):
                problems += _compare_function(member, item, raw.fget)
        elif "classmethod" in decorators:
            if isinstance(raw, classmethod):
                problems += _compare_function(member, item, getattr(cls, name), skip_first=True)
        elif "staticmethod" in decorators or name == "__new__":
            if isinstance(raw, staticmethod):
                problems += _compare_function(member, item, raw.__func__)
        elif not isinstance(raw, (property, classmethod, staticmethod)):
            switches = WRAPPER_SWITCHES.get((module_name, f"{node.name}.{name}"))
            problems += _compare_function(member, item, raw, switches=switches)
    return problems


def stub_drift(module, text):
    """Every difference between a module and its stub text, as readable lines."""
    stub = Stub(text)
    name = module.__name__
    problems = []
    runtime_all = getattr(module, "__all__", None)
    if runtime_all is not None and list(runtime_all) != stub.all:
        problems.append(f"{name}.__all__: {stub.all} in the stub, {list(runtime_all)} at runtime")

    for attr, node in stub.checked().items():
        where = f"{name}.{attr}"
        if not hasattr(module, attr):
            continue  # stubtest reports it
        obj = getattr(module, attr)
        if isinstance(node, ast.FunctionDef):
            problems += _compare_function(where, node, obj)
        elif isinstance(node, ast.ClassDef):
            problems += _compare_class(module, stub, node, obj)
    return problems


# ---------------------------------------------------------------------------------------------
# Tests


@pytest.fixture(params=sorted(STUBS), ids=lambda name: name.rsplit(".", 1)[-1])
def module_and_stub(request):
    return importlib.import_module(request.param), STUBS[request.param]


def test_stub_matches_module(module_and_stub):
    module, path = module_and_stub
    assert stub_drift(module, path.read_text(encoding="utf-8")) == []


def test_stub_ships_beside_module(module_and_stub):
    """The stub (and the package's py.typed) sit beside the imported module, as in the wheel."""
    module, path = module_and_stub
    here = Path(module.__file__).parent
    if module.__name__ == "hostprobe" and here == SRC:
        pytest.skip("in-place build: hostprobe's stub stays in src/hostprobe until installed")
    shipped = [here / (module.__name__.rsplit(".", 1)[-1] + ".pyi")]
    if module.__name__ == "hostprobe":
        # mypy reads a top-level module's stub only from a stub-only package.
        shipped.append(here / "hostprobe-stubs" / "__init__.pyi")
    for stub in shipped:
        assert stub.read_text(encoding="utf-8") == path.read_text(encoding="utf-8")
    if module.__name__.startswith("varden."):
        package = Path(importlib.import_module("varden").__file__).parent
        assert (package / "py.typed").is_file()


KPRPC = "varden.mod.kelpie.utils.kprpc"
DEALDESK = "varden.mod.tradeapi.api.dealdesk"
STUDYBENCH = "varden.mod.kelpie.research.studybench"
GATEMETA = "varden.mod.tradeapi.sdk.protogen.gatemeta"
TABLESPEC = "varden.mod.kelpie.research.normal_query.tablespec"
HOSTPROBE = "hostprobe"


@pytest.mark.parametrize(
    "module_name, old, new, expected",
    [
        pytest.param(
            KPRPC,
            "def login(self, username: str,",
            "def login(self, user: str,",
            "APIClient.login: parameters ['self', 'user', 'password'] in the stub, "
            "['self', 'username', 'password'] at runtime",
            id="renamed-parameter",
        ),
        pytest.param(
            STUDYBENCH,
            'fre_step: str = "1d",\n    fields',
            'fre_step: str = "1m",\n    fields',
            "studybench.get_price: default of fre_step is '1m' in the stub, '1d' at runtime",
            id="changed-default",
        ),
        pytest.param(
            KPRPC,
            "_timeout: float = 10,",
            "_timeout: float = 10.0,",
            "APIClient._request: default of _timeout is 10.0 in the stub, 10 at runtime",
            id="default-of-other-type",
        ),
        pytest.param(
            DEALDESK,
            "def secondary_orders(\n        self, *, raise_on_limit: bool = True,",
            "def secondary_orders(\n        self, *, raise_on_limit: bool = False,",
            "TradeAPI.secondary_orders: default of raise_on_limit is False in the stub, "
            "True at runtime",
            id="wrapper-switch-default",
        ),
        pytest.param(
            DEALDESK,
            "def get_orders(\n        self,\n        order_id: Any = None,",
            "def get_orders(\n        self,\n        *,\n        order_id: Any = None,",
            "TradeAPI.get_orders: parameter order_id is keyword-only in the stub, "
            "positional or keyword at runtime",
            id="changed-kind",
        ),
        pytest.param(
            DEALDESK,
            "    IPO = 16\n",
            "    IPO = 17\n",
            "SIDE.IPO: value 17 in the stub, 16 at runtime",
            id="enum-value",
        ),
        pytest.param(
            STUDYBENCH,
            '    "download_file",\n]',
            "]",
            "studybench.__all__:",
            id="changed-all",
        ),
        pytest.param(
            GATEMETA,
            "    channel_key: str | None = ...,\n",
            "",
            "RequestMeta: __init__ keywords",
            id="protobuf-field",
        ),
        pytest.param(
            TABLESPEC,
            "def offset(self, limit: int)",
            "def offset(self, offset: int)",
            "StrQuery.offset: parameters ['self', 'offset'] in the stub",
            id="method-parameter",
        ),
        pytest.param(
            HOSTPROBE,
            "def get_system_info() -> bytes",
            "def get_system_info(size: int = 344) -> bytes",
            "hostprobe.get_system_info: parameters ['size'] in the stub, [] at runtime",
            id="pybind11-function",
        ),
    ],
)
def test_drift_is_reported(module_name, old, new, expected):
    text = STUBS[module_name].read_text(encoding="utf-8")
    assert old in text  # the alteration applies to the current stub
    problems = stub_drift(importlib.import_module(module_name), text.replace(old, new, 1))
    assert any(expected in problem for problem in problems), problems
