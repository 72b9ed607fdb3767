"""README's table of the compiled modules is the kit's list (varden.COMPILED_MODULES), row by
row in its order, and names test folders that exist."""

import itertools
import re
from pathlib import Path

from varden import COMPILED_MODULES

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"


def module_table():
    """The rows of the table whose heading starts with "module | import path", as cells."""
    lines = README.read_text(encoding="utf-8").splitlines()
    start = next(n for n, line in enumerate(lines) if line.startswith("| module | import path"))
    rows = itertools.takewhile(lambda line: line.startswith("|"), lines[start + 2:])
    return [[cell.strip().strip("`") for cell in row.strip("|").split("|")] for row in rows]


def test_the_table_lists_the_compiled_modules():
    rows = module_table()
    assert [row[1] for row in rows] == list(COMPILED_MODULES)
    assert [row[0] for row in rows] == [name.rpartition(".")[2] for name in COMPILED_MODULES]
    folders = {folder for row in rows for folder in re.split(r"`?,\s*`?", row[2])}
    missing = {folder for folder in folders
               if not folder.startswith("tests/") or not any((ROOT / folder).glob("test_*.py"))}
    assert missing == set()


def table_folders():
    """Every tests/ folder that README names (its tables and the lines beside them)."""
    text = README.read_text(encoding="utf-8")
    return set(re.findall(r"`(tests/[a-z_]+)`", text))


def test_every_test_folder_is_on_a_map():
    folders = {path.parent.relative_to(ROOT).as_posix() for path in ROOT.glob("tests/*/test_*.py")}
    assert folders - table_folders() == set()


def test_every_stand_in_says_so():
    sources = [*ROOT.glob("src/varden/mod/**/*.py"), *ROOT.glob("src/varden/utils/*.py"),
               *ROOT.glob("standins/kpquant/kpquant/**/*.py")]
    documented = [path for path in sources if path.read_text(encoding="utf-8").startswith('"""')]
    assert len(documented) > 30
    assert [path.relative_to(ROOT).as_posix() for path in documented
            if not path.read_text(encoding="utf-8").startswith('"""Stand-in: ')] == []
