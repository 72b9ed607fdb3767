"""The `varden` command: log in and out, check an installation, run the sandbox.

Exit codes: 0 done, 1 failed (the reason is printed in one line), 2 wrong usage.
"""

import argparse
import getpass
import importlib
import importlib.metadata
import os
import platform
import re
import stat
import sys
import time

from varden import COMPILED_MODULES

USAGE, FAILED = 2, 1

DEPENDENCIES = ("pandas", "numpy", "protobuf", "msgpack", "requests", "cachetools")

STDIN_HINT = ("no terminal to ask the password on: pass it on standard input, e.g. "
              "`varden login USER --password-stdin < password-file`")


class Failure(Exception):
    """A command failed for a reason the user can act on; the message is one line."""


class Usage(Exception):
    """The command was called in a way it cannot work; the message says how to call it."""


def _innermost(exc):
    # requests wraps urllib3's retry error, which wraps the socket error that says what failed.
    while True:
        inner = getattr(exc, "reason", None)
        if not isinstance(inner, Exception) and exc.args and isinstance(exc.args[0], Exception):
            inner = exc.args[0]
        if not isinstance(inner, Exception):
            return exc
        exc = inner


def one_line(exc):
    """An exception as one readable line, without the transport's object addresses."""
    text = re.sub(r"<[^<>]* object at 0x[0-9a-f]+>: ", "", str(_innermost(exc)))
    return " ".join(text.split()) or type(exc).__name__


def _client():
    try:
        from varden.mod.kelpie.utils.kprpc import kp_api
    except Exception as exc:
        raise Failure("the data service client does not load (`varden doctor` says more): %s"
                      % one_line(exc)) from None
    return kp_api


def _file_state(path):
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_ino, st.st_mtime_ns, st.st_size


def _mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def _ask_credentials(args):
    """The user name and password, from the arguments, standard input or the terminal."""
    if args.password_stdin:
        if not args.user:
            raise Usage("--password-stdin needs the user name as an argument")
        password = sys.stdin.readline().rstrip("\r\n")
        if not password:
            raise Usage("no password on standard input")
        return args.user, password
    if not sys.stdin.isatty():
        raise Usage(STDIN_HINT)
    user = args.user or input("user name: ").strip()
    if not user:
        raise Usage("no user name given")
    return user, getpass.getpass("password for %s: " % user)


def cmd_login(args):
    try:
        user, password = _ask_credentials(args)
    except (EOFError, KeyboardInterrupt):
        print(file=sys.stderr)
        raise Failure("cancelled") from None
    from varden.utils.exception import APIException

    api = _client()
    notice_before = _file_state(api._notice_file)
    try:
        api.login(user, password)
    except APIException as exc:
        raise Failure("refused by %s: %s" % (api.base_url, one_line(exc))) from None
    except Exception as exc:  # the transport's and the file system's errors, as they come
        raise Failure("cannot log in at %s: %s" % (api.base_url, one_line(exc))) from None
    print("logged in as %s at %s" % (user, api.base_url))
    print("credential kept in %s (mode %o)" % (api._token_file, _mode(api._token_file)))
    notice_after = _file_state(api._notice_file)
    if notice_after is not None and notice_after != notice_before:
        with open(api._notice_file, encoding="utf-8") as f:
            print("notice from the service: %s" % f.read().strip())
    return 0


def cmd_logout(args):
    api = _client()
    held = os.path.exists(api._token_file)
    try:
        api.logout()
    except OSError as exc:
        raise Failure("cannot remove %s: %s" % (api._token_file, one_line(exc))) from None
    print(("logged out: removed %s" if held else "not logged in: no %s") % api._token_file)
    return 0


def _version(distribution):
    try:
        return importlib.metadata.version(distribution)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def _import(name):
    """None when module `name` imports, else the error in one line."""
    try:
        importlib.import_module(name)
    except Exception as exc:
        return "%s: %s" % (type(exc).__name__, one_line(exc))
    return None


def _doctor_login(report):
    """Credential file and token refresh lines; True when all is well."""
    if _import("varden.mod.kelpie.utils.kprpc"):
        report("credential", "not checked: the data service client does not import")
        return False
    api = _client()
    report("data service", api.base_url)
    try:
        mode = _mode(api._token_file)
    except FileNotFoundError:
        report("credential", "none at %s: not logged in (`varden login`)" % api._token_file)
        return True
    except OSError as exc:
        report("credential", "%s: %s" % (api._token_file, one_line(exc)))
        return False
    private = not mode & 0o077
    report("credential", "%s, mode %o%s" % (
        api._token_file, mode,
        "" if private else "  WARNING: others can read it; run `chmod 600 %s`" % api._token_file))
    started = time.perf_counter()
    try:
        api._get_token()
    except Exception as exc:
        report("token refresh", "failed: %s" % one_line(exc))
        return False
    report("token refresh", "ok in %.0f ms" % ((time.perf_counter() - started) * 1e3))
    return private


def cmd_doctor(args):
    import varden

    lines = []

    def report(label, value):
        lines.append("%-16s %s" % (label + ":", value))

    report("varden", "%s (%s)" % (varden.__version__, os.path.dirname(varden.__file__)))
    report("Python", "%s %s on %s %s (%s)" % (
        platform.python_implementation(), platform.python_version(), platform.system(),
        platform.machine(), sys.executable))
    report("packages", ", ".join("%s %s" % (d, _version(d)) for d in DEPENDENCIES))
    report("VARDEN_URL", os.environ.get("VARDEN_URL", "not set (the platform's)"))
    others = sorted((k, v) for k, v in os.environ.items()
                    if k.startswith("VARDEN_") and k != "VARDEN_URL")
    report("also set", ", ".join("%s=%s" % item for item in others) or "no other VARDEN_*")
    try:
        from varden.mod.kelpie import setting

        report("settings folder", "%s (mode %o)" % (setting.ROOT_PATH, _mode(setting.ROOT_PATH)))
        healthy = _doctor_login(report)
    except Exception as exc:
        report("settings folder", "unusable: %s" % one_line(exc))
        healthy = False
    lines.append("compiled modules:")
    for name in COMPILED_MODULES:
        problem = _import(name)
        healthy = healthy and problem is None
        lines.append("  %-4s %s%s" % ("FAIL" if problem else "ok", name,
                                      ": " + problem if problem else ""))
    print("\n".join(lines))
    return 0 if healthy else FAILED


def cmd_sandbox(args):
    from varden.sandbox.__main__ import serve

    return serve(args)


def parser():
    top = argparse.ArgumentParser(prog="varden", description=__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True)

    login = commands.add_parser(
        "login", help="log in to the data service and keep the credential",
        description="Log in to the data service named by VARDEN_URL and keep the credential in "
                    "the settings folder (owner-only). The password is asked without echo, or "
                    "read from standard input with --password-stdin; it is never an argument.")
    login.add_argument("user", nargs="?", help="user name (asked when not given)")
    login.add_argument("--password-stdin", action="store_true",
                       help="read the password from the first line of standard input")
    login.set_defaults(handler=cmd_login)

    logout = commands.add_parser("logout", help="remove the kept credential",
                                 description="Remove the credential file of the settings folder.")
    logout.set_defaults(handler=cmd_logout)

    doctor = commands.add_parser(
        "doctor", help="report the installation, for a support request",
        description="Print the kit's and its dependencies' versions, the settings, the "
                    "credential file's state (never its content), a token refresh and which "
                    "compiled modules import. Exits 1 when it found a problem.")
    doctor.set_defaults(handler=cmd_doctor)

    from varden.sandbox.__main__ import add_arguments

    sandbox = commands.add_parser(
        "sandbox", help="the platform's services on loopback",
        description="Start every sandbox service in one process on loopback and print the "
                    "exports that point the kit at it; serve until Ctrl-C, or while SCRIPT "
                    "runs with the kit pointed there (in a fresh settings folder).")
    add_arguments(sandbox)
    sandbox.set_defaults(handler=cmd_sandbox)
    return top


def main(argv=None):
    args = parser().parse_args(argv)
    try:
        return args.handler(args)
    except (Failure, Usage) as exc:
        print("varden %s: %s" % (args.command, exc), file=sys.stderr)
        return USAGE if isinstance(exc, Usage) else FAILED
