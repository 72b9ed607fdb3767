"""The guided tour, end to end: the sandbox in one process, the tour as a user's script."""

import os
import pathlib
import re
import socket
import struct
import subprocess
import sys

import pytest

TOUR = pathlib.Path(__file__).resolve().parents[2] / "examples" / "tour.py"


def _port_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def _run(args, tmp_path, **env):
    environment = {k: v for k, v in os.environ.items()
                   if not k.startswith("VARDEN_") or k == "VARDEN_ROOT"}
    environment.update(VARDEN_ROOT=str(tmp_path / "settings"), **env)
    if "PYTHONPATH" in environment:  # the child runs elsewhere: keep a source-tree path valid
        environment["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in environment["PYTHONPATH"].split(os.pathsep))
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=180,
                          env=environment, cwd=tmp_path)


@pytest.fixture(scope="module")
def tour(tmp_path_factory):
    gateway_free = _port_free(9999)
    done = _run(["-m", "varden.sandbox", "--run", str(TOUR)], tmp_path_factory.mktemp("tour"))
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout, gateway_free


def _section(output, number):
    match = re.search(r"^== %d\. .*?$(.*?)(?=^== |\Z)" % number, output, re.S | re.M)
    assert match, "section %d missing" % number
    return match.group(1)


@pytest.mark.parametrize("number, expected", [
    (1, r"credential file: .*auth \(mode 600\)"),
    (2, r"query text: query\(valuation\.symbol.*\.filter\(valuation\.symbol\.in_\(\[.*\]\)\)"
        r"\.limit\(4\)[\s\S]*000001\.SZ"),
    (3, r"stocks listed on [\d-]+: \d+[\s\S]*get_price as a panel[\s\S]*get_candle_stick"),
    (4, r"download_file bytes: 24\nread back: 收益曲线 looks fine"),
    (5, r"stock daily 000001\.SZ: 3 history rows \+ 1 live rows[\s\S]*"
        r"stock minute 000001\.SZ: 3 history rows \+ [1-9]\d* live rows[\s\S]*"
        r"futures minute \S+: 3 history rows \+ [1-9]\d* live rows[\s\S]*"
        r"option daily \S+: 3 history rows \+ 1 live rows"),
    (6, r"answer:\n\s+\d{8}: \['000001\.SZ'"),
    (7, r"portfolio: \{'available_cash'[\s\S]*positions:[\s\S]*get_tradelogs:[\s\S]*"
        r"secondary_orders:[\s\S]*get_orders:[\s\S]*pushed order update: \S+ \w+ \S+: 已成"),
    (9, r"get_system_info\(\): \d+ bytes: os=Linux"),
    (10, r"on_order  order 1 pending_new[\s\S]*on_order  order 1 filled\n\s+on_trade  order 1"
         r"[\s\S]*run: \d+ trading days, [1-9]\d* orders, [1-9]\d* trades"),
])
def test_every_section_does_real_work(tour, number, expected):
    output, _ = tour
    assert re.search(expected, _section(output, number)), _section(output, number)


def test_gateway_section_opens_a_session_when_its_port_was_free(tour):
    output, gateway_free = tour
    if not gateway_free:
        pytest.skip("port 9999 was taken before the tour started")
    assert "hand-shake done" in _section(output, 8)


def test_output_is_compact(tour):
    output, _ = tour
    assert "Traceback" not in output
    assert max(len(line) for line in output.splitlines()) < 240


def test_tour_without_sandbox_says_so(tmp_path):
    done = _run([str(TOUR)], tmp_path, VARDEN_URL="http://127.0.0.1:9/sdk/")
    assert done.returncode == 2
    assert "The tour needs the sandbox: cannot reach the data service" in done.stderr
    assert "Traceback" not in done.stderr


def test_tour_draws_the_completed_block_as_a_png(tour):
    output, _ = tour
    match = re.search(r"chart of the completed minute block: (\S+\.png) \((\d+) bytes\)",
                      _section(output, 5))
    assert match, _section(output, 5)
    data = pathlib.Path(match.group(1)).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) == int(match.group(2))
    assert struct.unpack(">II", data[16:24]) == (1000, 400)  # the IHDR chunk: width, height
    assert 20_000 < len(data) < 400_000


def test_tour_without_matplotlib_says_how_to_get_charts(tmp_path):
    script = tmp_path / "tour_without_matplotlib.py"
    script.write_text("import runpy, sys\nsys.modules['matplotlib'] = None\n"
                      "sys.path.insert(0, %r)\nrunpy.run_path(%r, run_name='__main__')\n"
                      % (str(TOUR.parent), str(TOUR)))
    # No gateway on port 9999: this run does not need one.
    done = _run(["-m", "varden.sandbox", "--gateway-port", "0", "--run", str(script)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert ("chart: not drawn: matplotlib is missing (pip install matplotlib, or the "
            "varden[plot] extra)" in _section(done.stdout, 5))
    assert not list((tmp_path / "settings").glob("*.png"))
