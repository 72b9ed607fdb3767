"""The user guide's examples, run as written against a real sandbox.

Every ```python block of docs/guide.md goes, in order, into one script (the guide's examples
continue one session); the script runs through `python -m varden.sandbox --run`, as a user
would run it. Each ```text block is an output excerpt of the block just before it (for a
```sh block: the sandbox's own banner) and is checked against that block's output, with
numbers masked and blanks collapsed, since dates and figures follow the day of the run.
"""

import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

GUIDE = pathlib.Path(__file__).resolve().parents[2] / "docs" / "guide.md"
MARK = "@@guide-block-%d@@"
ELISION = "..."

_FENCE = re.compile(r"^```(\w*)\n(.*?)^```[ \t]*$", re.S | re.M)
_NUMBER = re.compile(r"\d+(?:\.\d+)?")


def fenced_blocks(markdown):
    """The fenced blocks of a markdown text: (language, body, line number of the fence)."""
    return [(m.group(1), m.group(2), markdown.count("\n", 0, m.start()) + 1)
            for m in _FENCE.finditer(markdown)]


def build_script(blocks):
    """One script running every python block in order, printing a mark before each."""
    parts = []
    for number, (lang, body, _) in enumerate(blocks):
        if lang == "python":
            parts.append("print(%r, flush=True)\n%s" % (MARK % number, body))
    return "\n".join(parts)


def outputs_by_block(stdout):
    """{block number: its output}; the text before the first mark goes under None."""
    pieces = re.split(r"^@@guide-block-(\d+)@@\n", stdout, flags=re.M)
    found = {None: pieces[0]}
    for number, text in zip(pieces[1::2], pieces[2::2]):
        found[int(number)] = text
    return found


def failed_block(stdout):
    """The number of the last block that started: the failing one when the script failed."""
    started = re.findall(r"^@@guide-block-(\d+)@@$", stdout, flags=re.M)
    return int(started[-1]) if started else None


def _normal(line):
    return " ".join(_NUMBER.sub("9", line).split())


def missing_lines(excerpt, output):
    """Lines of an excerpt that the output does not show ("..." lines stand for any)."""
    shown = {_normal(line) for line in output.splitlines()}
    return [line for line in excerpt.splitlines()
            if line.strip() != ELISION and _normal(line) not in shown]


def excerpts(blocks):
    """(excerpt, the block whose output it shows, its line) for every text block; the block
    is None when the excerpt follows a shell command (the sandbox's banner)."""
    found = []
    for number, (lang, body, line) in enumerate(blocks):
        if lang != "text":
            continue
        before = blocks[number - 1][0] if number else None
        assert before in ("python", "sh"), "excerpt at line %d follows no example" % line
        found.append((body, number - 1 if before == "python" else None, line))
    return found


def _run_guide(script, folder):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("VARDEN_")}
    environment["VARDEN_ROOT"] = str(folder / "settings")
    if "PYTHONPATH" in environment:  # the child runs elsewhere: keep a source-tree path valid
        environment["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in environment["PYTHONPATH"].split(os.pathsep))
    path = folder / "guide_examples.py"
    path.write_text(script, encoding="utf-8")
    return subprocess.run([sys.executable, "-m", "varden.sandbox", "--run", str(path)],
                          capture_output=True, text=True, timeout=120, env=environment,
                          cwd=folder)


@pytest.fixture(scope="module")
def blocks():
    return fenced_blocks(GUIDE.read_text(encoding="utf-8"))


@pytest.fixture(scope="module")
def guide_run(blocks, tmp_path_factory):
    done = _run_guide(build_script(blocks), tmp_path_factory.mktemp("guide"))
    if done.returncode != 0:
        number = failed_block(done.stdout)
        where = "line %d" % blocks[number][2] if number is not None else "before any example"
        pytest.fail("the guide's example at %s failed:\n%s%s"
                    % (where, done.stdout[-3000:], done.stderr[-3000:]))
    return done, outputs_by_block(done.stdout)


def test_every_example_runs(blocks, guide_run):
    done, outputs = guide_run
    python = [n for n, (lang, _, _) in enumerate(blocks) if lang == "python"]
    assert len(python) >= 12
    assert sorted(n for n in outputs if n is not None) == python
    assert "Traceback" not in done.stdout + done.stderr


def test_every_excerpt_matches_its_example(blocks, guide_run):
    _, outputs = guide_run
    found = excerpts(blocks)
    assert len(found) >= 10
    for excerpt, source, line in found:
        missing = missing_lines(excerpt, outputs[source])
        assert not missing, "excerpt at line %d: %r not in\n%s" % (line, missing, outputs[source])


def section_lines(markdown, heading):
    """First and last line numbers of the section under ``heading`` (fences skipped)."""
    first, in_fence = None, False
    for number, line in enumerate(markdown.splitlines(), 1):
        if line.startswith("```"):
            in_fence = not in_fence
        elif not in_fence and line.startswith("#"):
            if first is not None:
                return first, number - 1
            if line == heading:
                first = number
    assert first is not None, "no section %r" % heading
    return first, number


HISTORY = "## Complete a history block with today's live bars"


@pytest.mark.parametrize("heading, expected", [
    ("## Log in", r"credential file mode: 0o600\nrefused: 用户名或密码错误"),
    ("### Securities and calendar",
     r"\d+ stocks, e\.g\. \['000001\.SZ'[\s\S]*\n300001\.SZ 000001\.SH\n"
     r"Instrument\('000001\.SZ', type='stock'\) \['IF\d+\.CFE'"),
    ("### Bars", r"\{'000001\.SZ': 3, '300001\.SZ': 3\}[\s\S]*\nNone\n[\s\S]*open\s+close"),
    ("### Fundamentals queries",
     r"0\s+000001\.SZ\s+[\d.]+\s+[\d.]+\n1\s+300001\.SZ[\s\S]*\(2, 3\)[\s\S]*"
     r"refused: 不支持的表: income"),
    ("### Research files and pushes",
     r"'收益曲线 looks fine', 'second line'\]\nnotes\.txt False"),
    (HISTORY, r"daily: 3 history rows \+ 1 live rows[\s\S]*"
              r"minute: 3 history rows \+ [1-9]\d* live rows"),
    (HISTORY, r"IF\d+\.CFE: 3 history rows \+ [1-9]\d* live rows[\s\S]*"
              r"\d+\.SH: 3 history rows \+ 1 live rows"),
    ("## Screen securities with a question",
     r"\d{8} \['000001\.SZ', '600000\.SH', '601398\.SH'\]\n\{\}"),
    ("## Read a live account",
     r"'total_value': 216213\.5[\s\S]*O0005 688981\.SH BUY 已报[\s\S]*"
     r"pushed: 688981\.SH BUY 已成 200 of 200\nupdate received: True"),
    ("## Run a strategy with the kit's mod",
     r"order 1 filled\ntrade 1 100 000001\.SZ[\s\S]*\d+ days, [1-9]\d* orders, [1-9]\d* trades"),
])
def test_sections_do_real_work(blocks, guide_run, heading, expected):
    _, outputs = guide_run
    first, last = section_lines(GUIDE.read_text(encoding="utf-8"), heading)
    section = "".join(outputs[n] for n, (lang, _, line) in enumerate(blocks)
                      if lang == "python" and first < line <= last)
    assert re.search(expected, section), section


GOOD_AND_BROKEN = textwrap.dedent('''\
    Intro.

    ```python
    value = 41
    print("value is", value)
    ```

    ```text
    value is 7
    ```

    ```sh
    echo not run
    ```

    ```python
    print(value + 1)
    raise RuntimeError("example broken")
    ```
''')


def test_a_broken_example_is_found_by_its_block(tmp_path):
    blocks = fenced_blocks(GOOD_AND_BROKEN)
    assert [lang for lang, _, _ in blocks] == ["python", "text", "sh", "python"]
    script = tmp_path / "s.py"
    script.write_text(build_script(blocks))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode != 0 and "example broken" in done.stderr
    assert failed_block(done.stdout) == 3
    assert blocks[failed_block(done.stdout)][2] == 16
    assert outputs_by_block(done.stdout) == {None: "", 0: "value is 41\n", 3: "42\n"}


@pytest.mark.parametrize("excerpt, output, missing", [
    ("value is 7", "value is 41\n", []),                       # numbers follow the run
    ("a  b   9.5", "a b 10.25\n", []),                          # blanks collapse
    ("first\n...\nlast", "first\nmiddle\nlast\n", []),
    ("value was 7", "value is 41\n", ["value was 7"]),
    ("2026-12-08 已成", "2026-12-08 已报\n", ["2026-12-08 已成"]),
])
def test_excerpt_comparison(excerpt, output, missing):
    assert missing_lines(excerpt, output) == missing
