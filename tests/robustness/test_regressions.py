"""Inputs that once crashed the interpreter, each run in a child process.

A crash kills the child, not the test run: the test sees the signal in the exit status.
"""

import subprocess
import sys
import textwrap

import pytest


def run_child(code):
    """Run ``code`` in a fresh interpreter with this test run's import path."""
    return subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


# name: (child code, what it prints)
CASES = {
    # A non-str attribute name whose startswith/endswith answer True reached the dunder
    # branch and was formatted with %U, which reads any object as a str.
    "kprpc_getattr_text_impostor": ("""
        from varden.mod.kelpie.utils import kprpc
        from varden.utils.exception import APIException

        class TextImpostor:
            def startswith(self, prefix):
                return True
            endswith = startswith
            def __repr__(self):
                return "TextImpostor()"

        try:
            kprpc.kp_api.__getattr__(TextImpostor())
        except APIException as error:
            print(error)
    """, "该方法(TextImpostor())暂不支持."),
    # A keyword name with a lone surrogate has no UTF-8 form: the unexpected-keyword message
    # was built from PyUnicode_AsUTF8's null result (every module's functions and methods).
    "unexpected_keyword_surrogate": ("""
        from varden.mod.stock.data import quotewire
        from varden.mod.kelpie.research.normal_query import tablespec

        for call in (lambda: quotewire._data_fix({}, {}, {}, **{"\\ud800": 1}),
                     lambda: tablespec.StrQuery(**{"\\ud800": 1})):
            try:
                call()
            except TypeError as error:
                print(ascii(str(error)))
    """, "\n".join([
        "\"_data_fix() got an unexpected keyword argument '\\ud800'\"",
        "\"StrQuery.__init__() got an unexpected keyword argument '\\ud800'\"",
    ])),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_crash(name):
    code, expected = CASES[name]
    child = run_child(code)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == expected
