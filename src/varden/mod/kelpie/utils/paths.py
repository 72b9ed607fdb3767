"""Stand-in: paths and identity of the kit's current user."""

import getpass
import os


def get_user_id():
    """The identifier of the kit's current user: ``$VARDEN_USER_ID`` when set, else the login name."""
    return os.environ.get("VARDEN_USER_ID") or getpass.getuser()
