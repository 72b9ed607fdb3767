import math
import subprocess
import sys

import pytest

import varden.mod.kelpie.research as research


def test_importing_the_package_leaves_studybench_unloaded():
    code = ("import sys, varden.mod.kelpie.research as r; "
            "print(sorted(r.__all__), 'varden.mod.kelpie.research.studybench' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == (
        "['annual_return', 'daily_returns', 'max_drawdown', 'sharpe_ratio'] False")


@pytest.mark.parametrize("func, args, expected", [
    (research.max_drawdown, ([100, 120, 90, 130, 65],), 0.5),
    (research.max_drawdown, ([1, 2, 3],), 0.0),
    (research.annual_return, ([100, 121], 1), 0.21),
    (research.annual_return, ([100, 110, 121], 1), 0.1),
    (research.sharpe_ratio, ([0.01, 0.03], 0.0, 4), 2 * math.sqrt(2)),
])
def test_measures(func, args, expected):
    assert func(*args) == pytest.approx(expected)


def test_measures_of_too_little_data():
    assert math.isnan(research.sharpe_ratio([0.01, 0.01]))
    assert research.daily_returns([100, 110, 99]).round(6).tolist() == [0.1, -0.1]
    with pytest.raises(ValueError, match="at least two"):
        research.annual_return([100])
