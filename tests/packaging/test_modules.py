"""The build makes exactly the compiled modules of varden.COMPILED_MODULES, the list `varden
doctor`, the tests and CI read: a module added to CMakeLists.txt and not to the list, or to the
list and not to the build, fails here. Runs against whichever tree `varden` is imported from."""

import importlib.metadata
import sysconfig
from pathlib import Path

import varden

SRC = Path(__file__).resolve().parents[2] / "src"
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def kit_files():
    """The kit's files, relative to the folder that holds the imported `varden`: the developer
    build's tree under src/, else what the installed distribution recorded (site-packages
    holds other distributions' modules too)."""
    root = Path(varden.__file__).resolve().parents[1]
    if root == SRC:
        return [path.relative_to(root) for path in root.rglob(f"*{SUFFIX}")]
    return [Path(file) for file in importlib.metadata.files("varden") or ()]


def test_the_built_extension_modules_are_the_listed_ones():
    built = {str(path)[: -len(SUFFIX)].replace("/", ".")
             for path in kit_files() if path.name.endswith(SUFFIX)}
    assert built == set(varden.COMPILED_MODULES)
