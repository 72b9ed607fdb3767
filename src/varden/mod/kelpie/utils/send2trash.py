"""Stand-in: removing research files: to the kit's trash folder, or for good.

The trash folder is ``trash`` under the settings' ``ROOT_PATH``. A file whose name is
already in the trash is stored as "name (1).ext", "name (2).ext", ... so nothing trashed
earlier is overwritten.
"""

import os
import shutil

from varden.mod.kelpie import setting

TRASH_FOLDER = "trash"


def _free_name(folder, name):
    stem, ext = os.path.splitext(name)
    candidate, n = name, 0
    while os.path.lexists(os.path.join(folder, candidate)):
        n += 1
        candidate = f"{stem} ({n}){ext}"
    return os.path.join(folder, candidate)


def send2trash(path):
    """Move the file or folder at ``path`` to the trash; returns its path in the trash."""
    if not os.path.lexists(path):
        raise FileNotFoundError(f"no such file or folder: {path!r}")
    folder = os.path.join(setting.ROOT_PATH, TRASH_FOLDER)
    os.makedirs(folder, mode=0o700, exist_ok=True)
    target = _free_name(folder, os.path.basename(os.path.normpath(path)))
    shutil.move(path, target)
    return target


def send2empty(path):
    """Delete the file or folder at ``path`` for good; returns None."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    else:
        os.remove(path)
