"""Reference pages of the compiled modules, written at every build from COMPILED_MODULES.

Each module gets reference/<name>.rst: its docstring, then every public name of its typing
stub, in the order of the stub's `__all__` and then in the stub's own order. Signatures are the
stub's text; docstrings are the compiled objects' own (NumPy style, through napoleon). A value
has no docstring of its own, so its entry shows its stub annotation and the stub's comment
above it. Names a stub re-exports are documented from the live object.
"""

import ast
import copy
import importlib
import importlib.util
import inspect
import re
from pathlib import Path

from sphinx.ext.napoleon.docstring import NumpyDocstring

from varden import COMPILED_MODULES

FOLDER = "reference"
INDENT = "   "
# Shown in the class's own signature rather than as members.
INITIALISERS = ("__init__", "__new__")
# Special methods that are no part of what a user calls or relies on.
UNLISTED = ("__del__",)
QUOTED = re.compile(r"(`[^`]*`)")
TRAILING_UNDERSCORE = re.compile(r"\b(\w+)_(?!\w)")
METHOD_KINDS = {"classmethod": ":classmethod:", "staticmethod": ":staticmethod:"}


def page_name(module_name):
    return module_name.rpartition(".")[2]


def is_public_member(name):
    """Class members on the page: public names and special methods, bar the initialisers."""
    special = name.startswith("__") and name.endswith("__")
    return (special or not name.startswith("_")) and name not in INITIALISERS + UNLISTED


def stub_path(module_name):
    origin = Path(importlib.util.find_spec(module_name).origin)
    return origin.parent / (page_name(module_name) + ".pyi")


def declared_name(node):
    """The name a stub statement declares; None for imports and docstrings."""
    if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
        return node.name
    if isinstance(node, ast.AnnAssign):
        return node.target.id
    if isinstance(node, ast.Assign):
        return node.targets[0].id
    return None


def declarations(nodes):
    return {declared_name(node): node for node in nodes if declared_name(node)}


class Stub:
    """One stub's declarations in their order, its imports and its comments."""

    def __init__(self, path):
        text = path.read_text(encoding="utf-8")
        tree = ast.parse(text)
        self.lines = text.splitlines()
        self.declared = declarations(tree.body)  # name -> node, in the stub's order
        all_node = self.declared.pop("__all__", None)
        self.all = ast.literal_eval(all_node.value) if all_node else []
        self.imported = {}  # local name -> dotted name of the imported object
        self.reexported = []
        for node in tree.body:
            if isinstance(node, ast.ImportFrom):
                for alias in node.names:
                    local = alias.asname or alias.name
                    self.imported[local] = "%s.%s" % (node.module, alias.name)
                    if alias.asname == alias.name:
                        self.reexported.append(local)

    def public_names(self):
        """`__all__` first, then the other public names in the stub's order."""
        names = [n for n in [*self.declared, *self.reexported] if not n.startswith("_")]
        return self.all + [n for n in names if n not in self.all]

    def type_aliases(self):
        return [node for name, node in self.declared.items()
                if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation).endswith(
                    "TypeAlias")]

    def comment(self, node):
        """The comment lines right above a declaration, as one paragraph."""
        found, line = [], node.lineno - 2
        while line >= 0 and self.lines[line].strip().startswith("#"):
            found.insert(0, self.lines[line].strip().lstrip("#").strip())
            line -= 1
        return " ".join(found)

    def dotted(self, expr):
        """A base-class expression, with an imported head written out in full."""
        head, dot, rest = ast.unparse(expr).partition(".")
        return self.imported.get(head, head) + dot + rest


def as_rst(doc):
    """A docstring written for help() as reStructuredText: outside `quoted` names, a word
    ending in "_" (the query methods in_, is_) is a word, not a hyperlink reference."""
    pieces = QUOTED.split(doc)
    pieces[::2] = [TRAILING_UNDERSCORE.sub(r"\1\\_", piece) for piece in pieces[::2]]
    return "".join(pieces)


def decorators(node):
    return {ast.unparse(d) for d in node.decorator_list}


def stub_signature(node, drop_first):
    """A stub def's parameters and return annotation, without `self` or `cls` for methods."""
    args = copy.copy(node.args)
    if drop_first:
        if args.posonlyargs:
            args.posonlyargs = args.posonlyargs[1:]
        else:
            args.args = args.args[1:]
        positional = len(args.posonlyargs) + len(args.args)
        args.defaults = args.defaults[max(0, len(args.defaults) - positional):]
    text = "(%s)" % ast.unparse(args)
    return text + (" -> %s" % ast.unparse(node.returns) if node.returns else "")


def runtime_signature(obj):
    try:
        return str(inspect.signature(obj))
    except (TypeError, ValueError):
        return ""


class PageWriter:
    """The reStructuredText of one module's page."""

    def __init__(self, app, module_name):
        self.app = app
        self.name = module_name
        self.module = importlib.import_module(module_name)
        self.stub = Stub(stub_path(module_name))
        self.out = []

    def directive(self, indent, kind, signature, options=(), body=()):
        self.out.append("%s.. py:%s:: %s" % (indent, kind, signature))
        self.out.extend("%s%s%s" % (indent, INDENT, option) for option in options)
        self.out.append("")
        if any(body):
            self.out.extend(("%s%s%s" % (indent, INDENT, line)).rstrip() for line in body)
            self.out.append("")

    def docstring(self, obj, what, name):
        doc = inspect.cleandoc(obj.__doc__) if isinstance(obj.__doc__, str) else ""
        lines = NumpyDocstring(as_rst(doc), self.app.config, self.app, what, name, obj).lines()
        # napoleon keeps a field's continuation lines inside the field's one string.
        return [part for line in lines for part in line.split("\n")]

    def value_options(self, node):
        if isinstance(node, ast.AnnAssign):
            return [":type: %s" % ast.unparse(node.annotation)]
        return [":value: %s" % ast.unparse(node.value)]

    def function(self, indent, kind, node, obj, qualname):
        found = decorators(node)
        kind = "property" if "property" in found else kind
        # A special method may have no docstring of its own: the stub's comment says what it does.
        body = self.docstring(obj, kind, qualname) or [self.stub.comment(node)]
        if kind == "property":
            options = [":type: %s" % ast.unparse(node.returns)] if node.returns else []
            self.directive(indent, kind, node.name, options, body)
            return
        options = [METHOD_KINDS[d] for d in sorted(found) if d in METHOD_KINDS]
        drop_first = kind == "method" and "staticmethod" not in found
        self.directive(indent, kind, node.name + stub_signature(node, drop_first), options, body)

    def klass(self, node, cls):
        members = declarations(node.body)
        init = next((members[n] for n in INITIALISERS if n in members), None)
        signature = stub_signature(init, True).partition(" -> ")[0] if init else ""
        body = []
        if node.bases:
            body += ["Bases: %s" % ", ".join(
                ":py:class:`%s`" % self.stub.dotted(base) for base in node.bases), ""]
        body += self.docstring(cls, "class", node.name)
        self.directive("", "class", node.name + signature, body=body)
        for name, member in members.items():
            if not is_public_member(name):
                continue
            qualname = "%s.%s" % (node.name, name)
            if isinstance(member, ast.FunctionDef):
                obj = inspect.getattr_static(cls, name)
                obj = getattr(obj, "__func__", obj)  # the function a class/static method wraps
                self.function(INDENT, "method", member, obj, qualname)
            else:
                self.directive(INDENT, "attribute", name, self.value_options(member),
                               [self.stub.comment(member)])

    def entry(self, name):
        obj = getattr(self.module, name)
        node = self.stub.declared.get(name)
        if node is None:  # re-exported from an outside module
            kind = "class" if inspect.isclass(obj) else "function"
            self.directive("", kind, name + runtime_signature(obj),
                           body=["Re-exported from ``%s``." % self.stub.imported[name], "",
                                 *self.docstring(obj, kind, name)])
        elif isinstance(node, ast.ClassDef):
            self.klass(node, obj)
        elif isinstance(node, ast.FunctionDef):
            self.function("", "function", node, obj, name)
        else:
            self.directive("", "data", name, self.value_options(node), [self.stub.comment(node)])

    def heading(self, text, underline):
        self.out += [text, underline * len(text), ""]

    def render(self):
        self.heading(page_name(self.name), "=")
        self.out += ["``import %s``" % self.name, ""]
        self.directive("", "module", self.name, body=self.docstring(self.module, "module",
                                                                   self.name))
        names = self.stub.public_names()
        others = [n for n in names if n not in self.stub.all]
        if self.stub.all:
            self.heading("Exported names", "-")
            self.out += ["What ``from %s import *`` brings, in its ``__all__`` order." % self.name,
                         ""]
            for name in self.stub.all:
                self.entry(name)
            if others:
                self.heading("Other public names", "-")
        for name in others:
            self.entry(name)
        aliases = self.stub.type_aliases()
        if aliases:
            self.heading("Type aliases of the signatures", "-")
        for node in aliases:
            self.directive("", "data", node.target.id, [":type: TypeAlias",
                                                        ":value: %s" % ast.unparse(node.value)],
                           [self.stub.comment(node)])
        return "\n".join(self.out) + "\n"


def index_page():
    lines = ["Reference", "=========", "",
             "One page per compiled module, generated from its typing stub and docstrings.", "",
             ".. toctree::", INDENT + ":hidden:", ""]
    lines += [INDENT + page_name(name) for name in COMPILED_MODULES]
    lines.append("")
    for name in COMPILED_MODULES:
        summary = (inspect.getdoc(importlib.import_module(name)) or "").partition("\n")[0]
        lines.append("- :doc:`%s`, ``%s``: %s" % (page_name(name), name, summary))
    return "\n".join(lines) + "\n"


def write_if_changed(path, text):
    # Unchanged pages keep their time stamps, so that Sphinx reads only what changed.
    if not path.exists() or path.read_text(encoding="utf-8") != text:
        temporary = path.with_suffix(".tmp")
        temporary.write_text(text, encoding="utf-8")
        temporary.replace(path)


def write_pages(app):
    folder = Path(app.srcdir) / FOLDER
    folder.mkdir(exist_ok=True)
    pages = {"index.rst": index_page()}
    for name in COMPILED_MODULES:
        pages[page_name(name) + ".rst"] = PageWriter(app, name).render()
    assert len(pages) == len(COMPILED_MODULES) + 1, "two compiled modules share a page name"
    for stale in folder.glob("*.rst"):
        if stale.name not in pages:
            stale.unlink()
    for file_name, text in pages.items():
        write_if_changed(folder / file_name, text)


def setup(app):
    app.connect("builder-inited", write_pages)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
