"""The wheel installs the kit and nothing else: a user's own engine survives installing and
uninstalling it, and no test library or stand-in engine ships."""

import importlib.util
import os
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

import varden
from varden import COMPILED_MODULES

ROOT = Path(__file__).resolve().parents[2]

MARKER = "# the user's own engine\n"

pytestmark = pytest.mark.wheel


def clean_env():
    """This interpreter's environment without what a test run or a sanitizer run adds."""
    dropped = {"PYTHONPATH", "PYTHONMALLOC", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"}
    return {k: v for k, v in os.environ.items() if k not in dropped}


def run(*command):
    done = subprocess.run(command, env=clean_env(), capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel of VARDEN_WHEEL when given (a run against an installed wheel checks that very
    file), else one built from this checkout, in the build tree `make` installs the kit from:
    with the build tools `make` puts into the environment, only what changed compiles."""
    if os.environ.get("VARDEN_WHEEL"):
        return Path(os.environ["VARDEN_WHEEL"])
    out = tmp_path_factory.mktemp("dist")
    isolation = [] if importlib.util.find_spec("scikit_build_core") is None else [
        "--no-build-isolation"]
    run(sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", *isolation, "-w", str(out),
        str(ROOT))
    (built,) = out.glob("varden-*.whl")
    return built


@pytest.fixture
def user_env(tmp_path):
    """A venv that already holds the user's engine, a `kpquant` package with a marker."""
    venv.create(tmp_path / "env", with_pip=True)
    python = tmp_path / "env" / "bin" / "python"
    site = Path(run(str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))")
                .strip())
    (site / "kpquant").mkdir()
    (site / "kpquant" / "__init__.py").write_text(MARKER)
    return python, site


def test_wheel_holds_the_kit_with_its_stubs_and_nothing_else(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    tops = {name.split("/", 1)[0] for name in names if not name.startswith("varden-")}
    assert {top.split(".", 1)[0] for top in tops} <= {"varden", "hostprobe", "hostprobe-stubs"}
    assert not [name for name in names if "testlibs" in name or "kpquant" in name]
    assert "varden/py.typed" in names and "varden/_vendor/libctpsysinfo.so" in names
    # Each compiled module with its typing stub beside it.
    for module in (name.replace(".", "/") for name in COMPILED_MODULES):
        assert f"{module}.pyi" in names
        assert any(name.startswith(f"{module}.cpython-") and name.endswith(".so")
                   for name in names), module


def test_shared_objects_are_stripped_and_carry_a_build_id(wheel, tmp_path):
    archive = zipfile.ZipFile(wheel)
    objects = [name for name in archive.namelist() if name.endswith(".so")]
    assert len(objects) == len(COMPILED_MODULES) + 1  # and the vendor library
    for name in objects:
        sections = run("readelf", "--section-headers", "--wide", archive.extract(name, tmp_path))
        assert ".note.gnu.build-id" in sections and ".symtab" not in sections, name


def test_installing_and_removing_the_kit_leaves_the_users_engine(wheel, user_env):
    python, site = user_env
    engine = site / "kpquant" / "__init__.py"
    run(str(python), "-m", "pip", "install", "--quiet", "--no-deps", str(wheel))
    assert engine.read_text() == MARKER
    assert (site / "varden" / "py.typed").is_file()
    # The distribution's version is the package's own, written once in varden/__init__.py.
    versions = run(str(python), "-c", "import importlib.metadata, varden; "
                   "print(importlib.metadata.version('varden'), varden.__version__)")
    assert versions.split() == [varden.__version__] * 2
    run(str(python), "-m", "pip", "uninstall", "--quiet", "--yes", "varden")
    assert engine.read_text() == MARKER
    assert not (site / "varden").exists()
