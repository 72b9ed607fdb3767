"""Stand-in: the kit's settings.

``ROOT_PATH`` is the per-user folder for credentials, notices and caches. It is
``$VARDEN_ROOT`` when set, else ``~/.varden``; the folder is created owner-only
when missing. ``QUERYBAY_URL`` is the question service, ``$VARDEN_QUERYBAY_URL``
when set.
"""

import os

DEFAULT_QUERYBAY_URL = "https://platform.varden.cn/querybay/question"


def _root_path():
    path = os.environ.get("VARDEN_ROOT") or os.path.join(os.path.expanduser("~"), ".varden")
    os.makedirs(path, mode=0o700, exist_ok=True)
    return path


ROOT_PATH = _root_path()
QUERYBAY_URL = os.environ.get("VARDEN_QUERYBAY_URL") or DEFAULT_QUERYBAY_URL
