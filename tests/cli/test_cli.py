"""The `varden` command through its installed entry point, against a sandbox data service."""

import os
import pathlib
import re
import stat
import subprocess
import sys

import pytest

VARDEN = pathlib.Path(sys.executable).with_name("varden")


def run(args, tmp_path, url, stdin="", env=None):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("VARDEN_")}
    environment.update(VARDEN_ROOT=str(tmp_path / "settings"), VARDEN_URL=url, **(env or {}))
    if "PYTHONPATH" in environment:  # keep a source-tree path valid from another folder
        environment["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(p) for p in environment["PYTHONPATH"].split(os.pathsep))
    return subprocess.run([str(VARDEN), *args], input=stdin, capture_output=True, text=True,
                          timeout=60, env=environment, cwd=tmp_path)


def auth(tmp_path):
    return tmp_path / "settings" / "auth"


def login(tmp_path, url, password="demo"):
    return run(["login", "demo", "--password-stdin"], tmp_path, url, stdin=password + "\n")


@pytest.mark.parametrize("args", [[], ["login"], ["logout"], ["doctor"], ["sandbox"]])
def test_every_command_has_help(args, tmp_path, data_service):
    done = run([*args, "--help"], tmp_path, data_service.url)
    assert done.returncode == 0
    assert done.stdout.startswith("usage: varden " + " ".join(args))


def test_python_m_varden_is_the_same_command(tmp_path):
    done = subprocess.run([sys.executable, "-m", "varden", "nonsense"], capture_output=True,
                          text=True, cwd=tmp_path)
    assert done.returncode == 2
    assert "usage: varden" in done.stderr and "invalid choice: 'nonsense'" in done.stderr


def test_login_with_the_password_on_stdin_keeps_the_credential(tmp_path, data_service):
    data_service.notice = "周六 02:00 起维护两小时"
    done = login(tmp_path, data_service.url)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "logged in as demo at %s" % data_service.url,
        "credential kept in %s (mode 600)" % auth(tmp_path),
        "notice from the service: 周六 02:00 起维护两小时",
    ]
    assert stat.S_IMODE(auth(tmp_path).stat().st_mode) == 0o600
    done = run(["logout"], tmp_path, data_service.url)
    assert (done.returncode, done.stdout) == (0, "logged out: removed %s\n" % auth(tmp_path))
    assert not auth(tmp_path).exists()


@pytest.mark.parametrize("case, args, stdin, code, message", [
    ("wrong password", ["login", "demo", "--password-stdin"], "guess\n", 1,
     re.escape("varden login: refused by {url}: 用户名或密码错误")),
    ("no terminal", ["login", "demo"], "demo\n", 2, re.escape(
        "varden login: no terminal to ask the password on: pass it on standard input, e.g. "
        "`varden login USER --password-stdin < password-file`")),
    ("no user name", ["login", "--password-stdin"], "demo\n", 2,
     re.escape("varden login: --password-stdin needs the user name as an argument")),
    ("service down", ["login", "demo", "--password-stdin"], "demo\n", 1,
     re.escape("varden login: cannot log in at {url}: ") + r"[^\n]*Connection refused"),
])
def test_login_that_fails_says_why_in_one_line_and_writes_nothing(
        case, args, stdin, code, message, tmp_path, data_service):
    url = "http://127.0.0.1:9/sdk/" if case == "service down" else data_service.url
    done = run(args, tmp_path, url, stdin=stdin)
    assert (done.returncode, done.stdout) == (code, "")
    assert re.fullmatch(message.replace("\\{url\\}", re.escape(url)) + "\n", done.stderr), \
        done.stderr
    assert not auth(tmp_path).exists()


def _doctor(tmp_path, url, env=None):
    done = run(["doctor"], tmp_path, url, env=env)
    assert "Traceback" not in done.stdout + done.stderr
    lines = [line.split(":", 1) for line in done.stdout.splitlines() if not line[0].isspace()]
    return done.returncode, {label: value.strip() for label, value in lines}, done.stdout


def test_doctor_reports_a_healthy_installation(tmp_path, data_service):
    assert login(tmp_path, data_service.url).returncode == 0
    code, report, text = _doctor(tmp_path, data_service.url)
    assert code == 0, text
    assert report["VARDEN_URL"] == data_service.url
    assert report["credential"] == "%s, mode 600" % auth(tmp_path)
    assert re.fullmatch(r"ok in \d+ ms", report["token refresh"])
    assert auth(tmp_path).read_text() not in text
    assert re.fullmatch(r"pandas [\d.]+, numpy [\d.]+, protobuf [\d.]+, msgpack [\d.]+, "
                        r"requests [\d.]+, cachetools [\d.]+", report["packages"])
    assert text.count("\n  ok   ") == 11


@pytest.mark.parametrize("credential, mode, code, expected", [
    (None, None, 0, "none at {auth}: not logged in (`varden login`)"),
    ("stale-token", 0o600, 1, "failed: 账号认证失败, 请重新登录!"),
    ("login", 0o644, 1, "{auth}, mode 644  WARNING: others can read it; run `chmod 600 {auth}`"),
])
def test_doctor_reports_the_credential_file(credential, mode, code, expected, tmp_path,
                                            data_service):
    if credential == "login":
        assert login(tmp_path, data_service.url).returncode == 0
    elif credential:
        auth(tmp_path).parent.mkdir()
        auth(tmp_path).write_text(credential)
    if mode:
        auth(tmp_path).chmod(mode)
    status, report, text = _doctor(tmp_path, data_service.url)
    line = "token refresh" if expected.startswith("failed") else "credential"
    assert status == code
    assert report[line] == expected.format(auth=auth(tmp_path)), text
    assert credential is None or "stale-token" not in text


def test_doctor_reports_a_module_that_does_not_import(tmp_path, data_service):
    site = tmp_path / "site"
    site.mkdir()
    (site / "sitecustomize.py").write_text(
        "import sys\nsys.modules['hostprobe'] = None\n")
    path = os.pathsep.join(filter(None, [str(site), os.environ.get("PYTHONPATH")]))
    code, _, text = _doctor(tmp_path, data_service.url, env={"PYTHONPATH": path})
    assert code == 1
    assert ("  FAIL hostprobe: ModuleNotFoundError: import of hostprobe halted; "
            "None in sys.modules\n") in text
    assert text.count("\n  ok   ") == 10


def test_sandbox_runs_a_script_pointed_at_it(tmp_path):
    script = tmp_path / "script.py"
    script.write_text("import os\nprint('script sees', os.environ['VARDEN_URL'])\n")
    # No gateway on port 9999: the script does not need one.
    done = run(["sandbox", "--gateway-port", "0", "--run", str(script)], tmp_path, "unset")
    assert done.returncode == 0, done.stderr
    url = re.search(r"export VARDEN_URL=(\S+)", done.stdout).group(1)
    assert done.stdout.endswith("script sees %s\n" % url)
