"""qarg's log: directory and file modes whatever the umask, and rotation that keeps them."""

import grp
import os
import stat
import subprocess

import pytest

from conftest import TOP, start_qarg, wait_until

LOG_DIR = "/var/log/qarg"
LOGROTATE = "/usr/sbin/logrotate"


def mode_of(path):
    info = os.stat(path)
    return stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid


def adm_gid():
    try:
        return grp.getgrnam("adm").gr_gid
    except KeyError:
        pytest.skip("this system has no group adm")


def start_with_umask(lab, mask):
    previous = os.umask(mask)
    try:
        return start_qarg(lab)
    finally:
        os.umask(previous)


def log_has(lab, text):
    with open(lab.sandbox.path(LOG_DIR + "/qarg.log"), encoding="utf-8",
              errors="replace") as f:
        return text in f.read()


@pytest.mark.parametrize("mask", [0o022, 0o000, 0o077], ids=["umask-022", "umask-000",
                                                             "umask-077"])
def test_log_directory_and_file_modes(lab, mask):
    os.rmdir(lab.sandbox.path(LOG_DIR))
    start_with_umask(lab, mask)
    log = lab.sandbox.path(LOG_DIR + "/qarg.log")
    wait_until(lambda: os.path.exists(log), 5, what="qarg.log")
    assert mode_of(lab.sandbox.path(LOG_DIR)) == (0o750, 0, adm_gid())
    assert mode_of(log) == (0o640, 0, adm_gid())


def test_log_left_world_readable_by_an_earlier_run_is_closed(lab):
    log = lab.sandbox.path(LOG_DIR + "/qarg.log")
    with open(log, "w", encoding="utf-8") as f:
        f.write("earlier line\n")
    os.chmod(log, 0o644)
    start_with_umask(lab, 0o022)
    assert mode_of(log) == (0o640, 0, adm_gid())
    assert log_has(lab, "earlier line\n")


def rotation_config(lab, tmp_path):
    """The installed rotation rules, aimed at the sandbox's log."""
    with open(os.path.join(TOP, "dist", "qarg.logrotate"), encoding="utf-8") as f:
        rules = f.read()
    assert "/var/log/qarg/qarg.log {" in rules
    path = tmp_path / "qarg.logrotate"
    path.write_text(rules.replace("/var/log/qarg/qarg.log",
                                  lab.sandbox.path(LOG_DIR + "/qarg.log")))
    path.chmod(0o644)
    return str(path)


@pytest.mark.skipif(not os.access(LOGROTATE, os.X_OK), reason="logrotate is not installed")
def test_rotation_keeps_the_modes_and_qarg_keeps_writing(lab, tmp_path):
    os.rmdir(lab.sandbox.path(LOG_DIR))
    start_with_umask(lab, 0o022)
    log = lab.sandbox.path(LOG_DIR + "/qarg.log")
    wait_until(lambda: os.path.getsize(log) > 0, 5, what="the first lines in qarg.log")

    subprocess.run([LOGROTATE, "--force", "--state", str(tmp_path / "state"),
                    rotation_config(lab, tmp_path)], check=True, timeout=60)

    rotated = log + ".1"
    assert os.path.getsize(rotated) > 0
    assert os.path.getsize(log) < os.path.getsize(rotated)
    for path in (log, rotated):
        assert mode_of(path) == (0o640, 0, adm_gid()), path
    assert mode_of(lab.sandbox.path(LOG_DIR)) == (0o750, 0, adm_gid())

    # Appending after the truncation: the next lines start the file anew.
    lab.vorng.emit_server_msg(2000, {"job_id": 880001, "task_id": 1, "action": "probe"})
    wait_until(lambda: log_has(lab, "880001"), 5, what="qarg's next line after the rotation")
    with open(log, "rb") as f:
        assert f.read(1) != b"\0", "qarg wrote past the truncation instead of appending"
