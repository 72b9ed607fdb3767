"""Checks that a sanitizer run tests what it claims to: every compiled module imports from the
sanitized tree given as the argument, every shared object there links the ASan runtime, and a
C++ exception crosses a module (the runtime aborts the process on the first throw when it was
started without libstdc++ to intercept).

Usage: python .ci/sanitized_modules.py <site dir>   (in the environment of the sanitizer run)
"""

import importlib
import os
import pathlib
import subprocess
import sys
import tempfile
import types

from varden import COMPILED_MODULES as MODULES


def needed_libraries(path):
    dynamic = subprocess.run(["readelf", "--dynamic", str(path)], capture_output=True, text=True,
                             check=True).stdout
    return [line.split("[", 1)[1].split("]", 1)[0] for line in dynamic.splitlines()
            if "(NEEDED)" in line]


def problems(site):
    found = []
    for name in MODULES:
        path = pathlib.Path(importlib.import_module(name).__file__).resolve()
        if site not in path.parents:
            found.append(f"{name} imported from {path}, not from {site}")
    for path in sorted(site.rglob("*.so")):
        if not any(lib.startswith("libasan.so") for lib in needed_libraries(path)):
            found.append(f"{path} does not link libasan")
    return found


def exception_crosses_a_module():
    from varden.mod.kelpie.utils import kprpc
    from varden.utils.exception import APIException

    refused = types.SimpleNamespace(status_code=500, content=b"refused")
    try:
        kprpc.APIClient()._handle_response(refused)
    except APIException:
        return []
    return ["kprpc.APIClient._handle_response did not raise APIException"]


def main():
    site = pathlib.Path(sys.argv[1]).resolve()
    # Importing the kit creates its settings folder: keep that out of the user's home.
    os.environ.setdefault("VARDEN_ROOT", tempfile.mkdtemp(prefix="varden-root-"))
    found = problems(site) + exception_crosses_a_module()
    for problem in found:
        print("sanitizer build:", problem, file=sys.stderr)
    if found:
        sys.exit(1)
    print(f"sanitizer build: {len(MODULES)} modules from {site}, all linking libasan")


if __name__ == "__main__":
    main()
