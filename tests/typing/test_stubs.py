"""The typing stubs beside the compiled modules match what the modules define.

Each stub is read with `ast` (never executed) and compared with the imported module:
(a) the public names of the module against those of the stub (and `__all__` against
`__all__`), (b) every function, method, property and initialiser that the stub declares,
private ones included, against the runtime object: parameter names, kinds and defaults.
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

# Public module-level values that are the module's own although their `__module__` does not
# say so (plain containers, instances of outside classes, protobuf classes).
DESCRIBED = {
    "varden.mod.kelpie.utils.kprpc": {"LOGIN_TIMEOUT", "ALLOWED_PICKLE_GLOBALS"},
    "varden.mod.kelpie.research.studybench": {
        "default_data_proxy",
        "MULTI_STEP_FIELDS",
        "Symbol_Industry",
    },
    "varden.mod.stock.data.quotewire": {"real_factor_cache"},
    "varden.mod.tradeapi.sdk.protogen.gatemeta": {
        "DESCRIPTOR",
        "RequestMeta",
        "ResponseMeta",
        "PushMeta",
    },
}

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


def _is_private(name):
    return name.startswith("_") and not (name.startswith("__") and name.endswith("__"))


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
        self.reexported = set()
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
                    if alias.asname == alias.name:
                        self.reexported.add(alias.name)

    def public_names(self):
        return {n for n in self.declared if not _is_private(n)} | self.reexported

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


def _runtime_public(module):
    names = set()
    for name, value in vars(module).items():
        if name.startswith("_"):
            continue
        try:
            owner = getattr(value, "__module__", None)
        except Exception:
            owner = None
        if owner == module.__name__:
            names.add(name)
    return names | set(getattr(module, "__all__", ())) | DESCRIBED.get(module.__name__, set())


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
        return [f"{where}: a function in the stub, {type(obj).__name__} at runtime"]
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
        return [f"{where}: a class in the stub, {type(cls).__name__} at runtime"]
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

    runtime_public = {n for n in own if not n.startswith("_")}
    missing = sorted(runtime_public - set(stub_members))
    if missing:
        problems.append(f"{where}: {missing} defined at runtime, missing from the stub")

    for name, item in stub_members.items():
        member = f"{where}.{name}"
        if isinstance(item, ast.AnnAssign):
            # Class variables must exist on the class; other annotations are instance attributes.
            if "ClassVar" in _annotation_text(item.annotation) and name not in own:
                problems.append(f"{member}: missing at runtime")
            continue
        if isinstance(item, ast.Assign):  # enumeration members
            if name not in own:
                problems.append(f"{member}: missing at runtime")
            elif isinstance(cls, enum.EnumMeta) and cls[name].value != ast.literal_eval(item.value):
                problems.append(f"{member}: value {ast.unparse(item.value)} in the stub, "
                                f"{cls[name].value!r} at runtime")
            continue
        if name not in own:
            problems.append(f"{member}: missing at runtime")
            continue
        raw = own[name]
        decorators = _decorators(item)
        if "property" in decorators:
            if not isinstance(raw, property):
                problems.append(f"{member}: a property in the stub, "
                                f"{type(raw).__name__} at runtime")
            else:
                problems += _compare_function(member, item, raw.fget)
        elif "classmethod" in decorators:
            if not isinstance(raw, classmethod):
                problems.append(f"{member}: a classmethod in the stub, "
                                f"{type(raw).__name__} at runtime")
            else:
                problems += _compare_function(member, item, getattr(cls, name), skip_first=True)
        elif "staticmethod" in decorators or name == "__new__":
            if not isinstance(raw, staticmethod):
                problems.append(f"{member}: a staticmethod in the stub, "
                                f"{type(raw).__name__} at runtime")
            else:
                problems += _compare_function(member, item, raw.__func__)
        elif isinstance(raw, (property, classmethod, staticmethod)):
            problems.append(f"{member}: a method in the stub, {type(raw).__name__} at runtime")
        else:
            switches = WRAPPER_SWITCHES.get((module_name, f"{node.name}.{name}"))
            problems += _compare_function(member, item, raw, switches=switches)
    return problems


def stub_drift(module, text):
    """Every difference between a module and its stub text, as readable lines."""
    stub = Stub(text)
    name = module.__name__
    problems = []
    runtime_public = _runtime_public(module)
    stub_public = stub.public_names()
    for extra in sorted(runtime_public - stub_public):
        problems.append(f"{name}.{extra}: defined at runtime, missing from the stub")
    for extra in sorted(stub_public - runtime_public):
        problems.append(f"{name}.{extra}: in the stub, not defined by the module")
    runtime_all = getattr(module, "__all__", None)
    if runtime_all is not None and list(runtime_all) != stub.all:
        problems.append(f"{name}.__all__: {stub.all} in the stub, {list(runtime_all)} at runtime")

    for attr, node in stub.checked().items():
        where = f"{name}.{attr}"
        if not hasattr(module, attr):
            if not any(p.startswith(where + ":") for p in problems):
                problems.append(f"{where}: in the stub, missing at runtime")
            continue
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
            "def read_file(path: str) -> bytes: ...\n",
            "",
            "studybench.read_file: defined at runtime, missing from the stub",
            id="missing-function",
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
            "    @property\n    def positions(self)",
            "    def positions(self)",
            "TradeAPI.positions: a method in the stub, property at runtime",
            id="property-as-method",
        ),
        pytest.param(
            DEALDESK,
            "    IPO = 16\n",
            "    IPO = 17\n",
            "SIDE.IPO: value 17 in the stub, 16 at runtime",
            id="enum-value",
        ),
        pytest.param(
            DEALDESK,
            "    def get_tradelogs(self) -> list[NameDict]: ...\n",
            "    def get_tradelogs(self) -> list[NameDict]: ...\n"
            "    def get_trades(self) -> list[NameDict]: ...\n",
            "TradeAPI.get_trades: missing at runtime",
            id="method-not-at-runtime",
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
        pytest.param(
            STUDYBENCH,
            "def get_api_usage() -> pd.DataFrame: ...",
            "def get_api_usage() -> pd.DataFrame: ...\ndef get_usage() -> pd.DataFrame: ...",
            "studybench.get_usage: in the stub, not defined by the module",
            id="function-not-at-runtime",
        ),
    ],
)
def test_drift_is_reported(module_name, old, new, expected):
    text = STUBS[module_name].read_text(encoding="utf-8")
    assert old in text  # the alteration applies to the current stub
    problems = stub_drift(importlib.import_module(module_name), text.replace(old, new, 1))
    assert any(expected in problem for problem in problems), problems
