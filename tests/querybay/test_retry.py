import pandas as pd
import pytest

from varden.mod.kelpie.utils.wrap_utils import retry_on_result


class InfoRecorder:
    def __init__(self):
        self.messages = []

    def info(self, message):
        self.messages.append(message)


@pytest.mark.parametrize("results, tries, expected, attempts, retries", [
    ([None, None, None], 2, "gave up", 2, 1),
    ([None, "ok"], 2, "ok", 2, 1),
    (["ok"], 3, "ok", 1, 0),
    ([None, None, 0], 3, 0, 3, 2),
])
def test_retries_a_failed_result(results, tries, expected, attempts, retries):
    calls = []
    logger = InfoRecorder()

    @retry_on_result(except_result=None, except_return="gave up", tries=tries, logger=logger)
    def attempt(x, y=1):
        calls.append((x, y))
        return results[len(calls) - 1]

    assert attempt(1, y=2) == expected
    assert calls == [(1, 2)] * attempts
    assert len(logger.messages) == retries


def test_compares_other_failure_values_by_equality():
    answers = iter([[], pd.DataFrame({"a": [1]})])

    @retry_on_result(except_result=[], except_return="none")
    def attempt():
        return next(answers)

    assert isinstance(attempt(), pd.DataFrame)


def test_frame_results_pass_a_none_check():
    frame = pd.DataFrame({"a": [1]})
    assert retry_on_result()(lambda: frame)() is frame
