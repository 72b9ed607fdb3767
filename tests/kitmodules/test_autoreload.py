import sys
import textwrap

import pytest

from varden.mod.kelpie.utils.autoreload import superreload

VERSION_1 = """
    LIMIT = 1

    def scale(x, factor=2):
        return x * factor

    class Signal:
        def value(self):
            return "old"

        def gone(self):
            return "still here"
"""

VERSION_2 = """
    LIMIT = 2

    def scale(x, factor=3):
        return x * factor + 1

    class Signal:
        def value(self):
            return "new"

        def added(self):
            return "added"
"""


@pytest.fixture
def module_source(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "dont_write_bytecode", True)
    monkeypatch.syspath_prepend(str(tmp_path))
    source = tmp_path / "reloadable_for_test.py"
    source.write_text(textwrap.dedent(VERSION_1))
    yield source
    sys.modules.pop("reloadable_for_test", None)


def test_old_references_follow_the_reloaded_code(module_source):
    import reloadable_for_test as module

    source = module_source
    kept_scale = module.scale
    kept_signal = module.Signal()

    source.write_text(textwrap.dedent(VERSION_2))
    assert superreload(module) is module

    assert module.LIMIT == 2
    assert kept_scale(2) == 7 and module.scale is kept_scale
    assert kept_signal.value() == "new" and kept_signal.added() == "added"
    assert not hasattr(kept_signal, "gone")
    assert isinstance(kept_signal, module.Signal)
