"""The documentation site, built here from scratch as `make docs` builds it (Sphinx, warnings
as errors): the build passes in time, every public name of every typing stub is on its
module's page, every internal link and anchor resolves, no page holds a path of the build
machine, and Chinese messages are text. The site is parsed offline.
"""

import ast
import html
import html.parser
import importlib.util
import re
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import unquote, urlsplit

import pytest

import varden
from varden import COMPILED_MODULES, cli

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
# CI builds the site in three suite runs (make test, make asan, make test-latest): together
# within two minutes.
BUILD_SECONDS = 40
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
def build(tmp_path_factory):
    """A build with no cache: (the site's folder, what the build printed, its seconds)."""
    out = tmp_path_factory.mktemp("docs").resolve()
    started = time.monotonic()
    done = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q",
                           "-b", "html", "-d", str(out / "doctrees"), str(DOCS), str(out / "html")],
                          capture_output=True, text=True, timeout=300)
    if not (out / "html" / "index.html").is_file():
        pytest.fail("the documentation build made no site:\n" + done.stdout + done.stderr)
    return out / "html", done.stdout + done.stderr, time.monotonic() - started


@pytest.fixture(scope="module")
def site(build):
    return build[0]


@pytest.fixture(scope="module")
def pages(site):
    return {path: Page(path) for path in site.rglob("*.html")}


def stub_names(module_name):
    """Public names of a module's stub; a class's members as Class.member."""
    short = module_name.rpartition(".")[2]
    origin = Path(importlib.util.find_spec(module_name).origin)
    tree = ast.parse(origin.with_name(short + ".pyi").read_text(encoding="utf-8"))

    def declared(nodes):
        for node in nodes:
            target = node.targets[0] if isinstance(node, ast.Assign) else getattr(node, "target", 0)
            name = getattr(node, "name", None) or getattr(target, "id", "__all__")
            if name != "__all__":
                yield name, node

    names = [alias.name for node in tree.body if isinstance(node, ast.ImportFrom)
             for alias in node.names if alias.asname == alias.name]
    for name, node in declared(tree.body):
        if not name.startswith("_"):
            names.append(name)
            names += ["%s.%s" % (name, member) for member, _ in declared(getattr(node, "body", []))
                      if member not in UNLISTED and (member[0] != "_" or member.endswith("__"))]
    return names


def test_the_build_passes_with_warnings_as_errors_in_time(build):
    assert build[1] == ""
    assert build[2] < BUILD_SECONDS


@pytest.mark.parametrize("module_name", COMPILED_MODULES)
def test_every_public_name_of_the_stub_is_on_the_module_page(site, pages, module_name):
    page = pages[site / "reference" / (module_name.rpartition(".")[2] + ".html")]
    names = stub_names(module_name)
    assert names
    assert [n for n in names if "%s.%s" % (module_name, n) not in page.ids] == []


def test_every_internal_link_and_anchor_resolves(site, pages):
    broken = []
    for path, page in pages.items():
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc:
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if not target.is_relative_to(site) or not target.exists():
                broken.append("%s: %s" % (path.relative_to(site), link))
            elif parts.fragment and target in pages and parts.fragment not in pages[target].ids:
                broken.append("%s: %s (no such anchor)" % (path.relative_to(site), link))
    assert broken == []


def test_no_page_holds_a_path_of_the_build_machine(site):
    machine = {str(ROOT), str(site), sys.prefix, str(Path(varden.__file__).parents[1]),
               str(Path.home()) + "/"}
    files = [p for p in site.rglob("*") if p.suffix in (".html", ".js", ".txt")]
    found = {str(p.relative_to(site)): sorted(m for m in machine if m in p.read_text("utf-8"))
             for p in files}
    assert files
    assert {page: hits for page, hits in found.items() if hits} == {}


@pytest.mark.parametrize("page, source", [
    ("guide.html", lambda: (DOCS / "guide.md").read_text(encoding="utf-8")),
    ("reference/dealdesk.html",
     lambda: importlib.import_module("varden.mod.tradeapi.api.dealdesk").TradeAPI.__doc__),
])
def test_chinese_messages_render_as_text(site, page, source):
    expected = set(CJK.findall(source()))
    shown = set(CJK.findall(html.unescape((site / page).read_text(encoding="utf-8"))))
    assert expected and expected <= shown


@pytest.mark.parametrize("command", list(SUBCOMMANDS))
def test_the_command_page_shows_each_subcommand_help(site, pages, command):
    description = SUBCOMMANDS[command].description
    text = " ".join(html.unescape(re.sub(r"<[^>]+>", " ", (site / "cli.html").read_text(
        encoding="utf-8"))).split())
    assert "varden-" + command in pages[site / "cli.html"].ids
    assert " ".join(description.split()) in text
