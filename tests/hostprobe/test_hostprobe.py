import os
import platform
import re
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

import hostprobe

HERE = Path(__file__).resolve().parent
VENDOR_HEADERS = HERE.parents[1] / "src" / "hostprobe"
# The replacement libraries the tests preload, one per FAKE_SYSINFO_MODE (none ships).
FAKE_MODES = {"zero_inside": 1, "silent": 2, "full": 3}


def run_python(code, **env):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **env)
    return subprocess.run(
        [sys.executable, "-c", code], env=environment, capture_output=True, text=True
    )


def test_module_and_function_texts():
    assert hostprobe.__doc__ == "pybind11 bind for ctp hostprobe"
    assert hostprobe.get_system_info.__doc__ == "get_system_info() -> bytes\n\nCTP_GetSystemInfo\n"
    with pytest.raises(TypeError, match=r"get_system_info\(\) takes no arguments \(1 given\)"):
        hostprobe.get_system_info(344)


def test_information_describes_this_host():
    info = hostprobe.get_system_info()
    assert isinstance(info, bytes) and 0 < len(info) < 344
    fields = dict(item.split("=", 1) for item in info.decode().split(";"))
    assert list(fields) == ["os", "host", "cpu", "mac", "boot"]
    assert fields["os"] == f"{platform.system()} {platform.release()}"[:60]
    assert fields["host"] == socket.gethostname()[:60]
    assert re.fullmatch(r"([0-9a-f]{2}:){5}[0-9a-f]{2}|", fields["mac"])
    with open("/proc/stat") as stat:
        boot = next(line.split()[1] for line in stat if line.startswith("btime "))
    assert fields["boot"] == boot


def test_vendor_library_is_linked_from_beside_the_module():
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps if "libctpsysinfo" in line}
    expected = Path(hostprobe.__file__).resolve().parent / "varden" / "_vendor" / "libctpsysinfo.so"
    assert loaded == {str(expected)}


def test_import_fails_without_the_vendor_library(tmp_path):
    shutil.copy(hostprobe.__file__, tmp_path)
    result = subprocess.run(
        [sys.executable, "-c", "import hostprobe"],
        env=dict(os.environ, PYTHONPATH=str(tmp_path)),
        capture_output=True,
        text=True,
    )
    assert result.returncode == 1
    assert "ImportError: libctpsysinfo.so: cannot open shared object file" in result.stderr


@pytest.fixture(scope="module")
def fake_libraries(tmp_path_factory):
    """Builds the replacement vendor libraries with the C++ compiler that builds the kit."""
    out = tmp_path_factory.mktemp("fake_sysinfo")
    built = {}
    for name, mode in FAKE_MODES.items():
        built[name] = out / f"libctpsysinfo_{name}.so"
        subprocess.run(
            [os.environ.get("CXX", "c++"), "-std=c++17", "-shared", "-fPIC", "-Wall", "-Wextra",
             "-Werror", f"-DFAKE_SYSINFO_MODE={mode}", f"-I{VENDOR_HEADERS}",
             str(HERE / "fake_sysinfo.cpp"), "-o", str(built[name])],
            check=True,
        )
    return built


@pytest.mark.parametrize(
    "name, expected",
    [("zero_inside", b"os=Linux"), ("silent", b""), ("full", b"x" * 344)],
)
def test_result_stops_at_first_zero_byte_and_buffer_end(fake_libraries, name, expected):
    preload = fake_libraries[name]
    # Appended: a sanitizer runtime preloaded for the whole run has to stay first.
    preloads = [os.environ.get("LD_PRELOAD", ""), str(preload)]
    result = run_python(
        "import hostprobe, sys; sys.stdout.write(hostprobe.get_system_info().hex())",
        LD_PRELOAD=" ".join(p for p in preloads if p),
    )
    assert result.returncode == 0, result.stderr
    assert bytes.fromhex(result.stdout) == expected
