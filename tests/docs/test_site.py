"""The documentation site that `make docs` builds into docs/_build/html (`make test` builds it
before the suite runs): built without a warning, every public name of every typing stub on its
module's page, every internal link and anchor resolving, no path of the build machine, and
Chinese messages as text. The site is parsed offline; a missing site fails, never skips.
"""

import ast
import html
import html.parser
import importlib.util
import re
import sys
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

import varden
from varden import COMPILED_MODULES, cli

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "docs" / "_build"
SITE = BUILD / "html"
CJK = re.compile(r"[\u4e00-\u9fff]+")
SUBCOMMANDS = cli.parser()._subparsers._group_actions[0].choices
# Class members a page leaves out: the initialisers make the class's signature.
UNLISTED = {"__init__", "__new__", "__del__"}


class Page(html.parser.HTMLParser):
    """The ids and the link targets (href, src) of one HTML file."""

    def __init__(self, path):
        super().__init__()
        self.ids, self.links = set(), []
        self.feed(path.read_text(encoding="utf-8"))

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name == "id":
                self.ids.add(value)
            elif name in ("href", "src") and value:
                self.links.append(value)


@pytest.fixture(scope="module")
def pages():
    if not (SITE / "index.html").is_file():
        pytest.fail("no documentation site in %s: run `make docs` first" % SITE)
    return {path: Page(path) for path in SITE.rglob("*.html")}


def stub_names(module_name):
    """Public names of a module's stub; a class's members as Class.member."""
    short = module_name.rpartition(".")[2]
    origin = Path(importlib.util.find_spec(module_name).origin)
    tree = ast.parse(origin.with_name(short + ".pyi").read_text(encoding="utf-8"))

    def declared(nodes):
        for node in nodes:
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                yield node.name, node
            elif isinstance(node, ast.AnnAssign):
                yield node.target.id, node
            elif isinstance(node, ast.Assign) and node.targets[0].id != "__all__":
                yield node.targets[0].id, node

    names = [alias.name for node in tree.body if isinstance(node, ast.ImportFrom)
             for alias in node.names if alias.asname == alias.name]
    for name, node in declared(tree.body):
        if name.startswith("_"):
            continue
        names.append(name)
        if isinstance(node, ast.ClassDef):
            names += ["%s.%s" % (name, member) for member, _ in declared(node.body)
                      if member not in UNLISTED
                      and (not member.startswith("_") or member.endswith("__"))]
    return names


def test_the_build_had_no_warning():
    assert (BUILD / "warnings.txt").read_text(encoding="utf-8") == ""


@pytest.mark.parametrize("module_name", COMPILED_MODULES)
def test_every_public_name_of_the_stub_is_on_the_module_page(pages, module_name):
    page = pages[SITE / "reference" / (module_name.rpartition(".")[2] + ".html")]
    names = stub_names(module_name)
    assert names
    assert [n for n in names if "%s.%s" % (module_name, n) not in page.ids] == []


def test_every_internal_link_and_anchor_resolves(pages):
    broken = []
    for path, page in pages.items():
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc:
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if not target.is_relative_to(SITE) or not target.exists():
                broken.append("%s: %s" % (path.relative_to(SITE), link))
            elif parts.fragment and target in pages and parts.fragment not in pages[target].ids:
                broken.append("%s: %s (no such anchor)" % (path.relative_to(SITE), link))
    assert broken == []


def test_no_page_holds_a_path_of_the_build_machine(pages):
    machine = {str(ROOT), sys.prefix, str(Path(varden.__file__).parents[1]),
               str(Path.home()) + "/"}
    files = [p for p in SITE.rglob("*") if p.suffix in (".html", ".js", ".txt")]
    found = {str(p.relative_to(SITE)): sorted(m for m in machine if m in p.read_text("utf-8"))
             for p in files}
    assert files
    assert {page: hits for page, hits in found.items() if hits} == {}


@pytest.mark.parametrize("page, source", [
    ("guide.html", lambda: (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")),
    ("reference/dealdesk.html",
     lambda: importlib.import_module("varden.mod.tradeapi.api.dealdesk").TradeAPI.__doc__),
])
def test_chinese_messages_render_as_text(pages, page, source):
    expected = set(CJK.findall(source()))
    shown = set(CJK.findall(html.unescape((SITE / page).read_text(encoding="utf-8"))))
    assert expected and expected <= shown


@pytest.mark.parametrize("command", list(SUBCOMMANDS))
def test_the_command_page_shows_each_subcommand_help(pages, command):
    description = SUBCOMMANDS[command].description
    text = " ".join(html.unescape(re.sub(r"<[^>]+>", " ", (SITE / "cli.html").read_text(
        encoding="utf-8"))).split())
    assert "varden-" + command in pages[SITE / "cli.html"].ids
    assert " ".join(description.split()) in text
