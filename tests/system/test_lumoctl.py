"""lumoctl, the administrator's command, against the real qarg and qars in the lab."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile

import dbus
import pytest

import harness
from server import POLICY_PATH
from conftest import log_text, policy, replies, start_qarg, wait_until
from test_usb import STICK, PHONE, usb, whitelist  # noqa: F401  pylint: disable=unused-import
from test_qarg_software import FIREWALL, SCRIPT, serve

NOBODY = 65534
STATUS = "/run/qarg/status.json"


def lumoctl(lab, *args, user="root", env=None, nobody=False, binary=None):
    """Runs build/bin/lumoctl in the sandbox as a program of `user` would see it."""
    binary = binary or built_lumoctl(lab)
    full = harness.clean_env()
    full.update(lab.sandbox.env(user))
    full.update(lab.bus.client_env())
    full.update(env or {})
    return subprocess.run([binary] + list(args), env=full, capture_output=True, text=True,
                          timeout=30, preexec_fn=drop_to_nobody if nobody else None, check=False)


def built_lumoctl(lab):
    binary = os.path.join(lab.programs.build_dir, "bin", "lumoctl")
    if not os.access(binary, os.X_OK):
        pytest.skip("lumoctl is not built (%s)" % binary)
    return binary


def drop_to_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def json_of(lab, *args, **kwargs):
    done = lumoctl(lab, *(args + ("--json",)), **kwargs)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def has_line(text, pattern):
    return re.search("^" + pattern + "$", text, re.MULTILINE) is not None


def settled(lab, *args, **kwargs):
    """The shown policy once its document is done."""
    def ready():
        done = lumoctl(lab, *(args + ("--json",)), **kwargs)
        shown = json.loads(done.stdout) if done.returncode == 0 else None
        return shown if shown and shown["finished"] else None
    return wait_until(ready, 10, 0.1, "the document to be done")


def test_status_and_system_policy_of_the_running_daemon(lab):
    doc = lab.server.set_policy("system", policy(("ntp/ntpServer", "time.lab.example"),
                                                 ("blue_tooth/system_bluetooth", "1")))
    prog = start_qarg(lab)
    lab.vorng.emit_server_msg(1100, {"job_id": 81, "task_id": 82})
    wait_until(lambda: [c for c in replies(lab.vorng, 81) if c[2] == 2002], 15, what="the receipt")
    shown = settled(lab, "policy", "system")
    wait_until(lambda: json_of(lab, "status")["owed_receipts"] == 0, 5, 0.1, "no owed receipts")

    assert (shown["task_id"], shown["job_id"]) == (82, 81)
    assert [(s["key"], s["value"], s["result"]) for s in shown["settings"]] == [
        ("blue_tooth/system_bluetooth", "1", "success"),
        ("ntp/ntpServer", "time.lab.example", "setNTPServer success")]
    status = json_of(lab, "status")
    assert (status["program"], status["pid"], status["user"]) == ("qarg", prog.pid, "root")
    assert status["server"] == "127.0.0.1:%d" % lab.server.port
    assert (status["machine_id"], status["backend"]) == ("lab-machine-0001", "store")
    assert status["last_pull"]["outcome"] == "accepted"
    assert status["last_pull"]["md5"] == doc["md5"]
    assert status["executing"] is None and status["usb_control"] is False
    assert "policy" not in status and "usb_devices" not in status

    table = lumoctl(lab, "status")
    assert table.returncode == 0, table.stderr
    assert has_line(table.stdout, r"server +127\.0\.0\.1:%d" % lab.server.port)
    assert has_line(table.stdout, r"machine id +lab-machine-0001")
    assert has_line(table.stdout, r"last pull +\S+  accepted  md5 %s  \(task 82, job 81\)"
                    % doc["md5"])
    assert has_line(table.stdout, r"usb control +off")
    table = lumoctl(lab, "policy")
    assert table.returncode == 0, table.stderr
    assert has_line(table.stdout, r"ntp/ntpServer +time\.lab\.example +\S+Z +setNTPServer success")
    assert json_of(lab, "usb") == []


def test_session_policy_of_the_caller_and_of_a_named_user(lab):
    lab.server.set_policy("session", policy(("taskbar/taskbar_launcher", "1")))
    prog = lab.start("qars")
    prog.wait_for_output("control centre modules known:", timeout=75)
    lab.vorng.emit_server_msg(1100, {"job_id": 83, "task_id": 84})
    lab.vorng.wait_for_calls("ReplyTaskResult", timeout=30, where=lambda a: a[0] == 83)

    # The caller's own agent through XDG_STATE_HOME; root asks for alice's by name.
    own = settled(lab, "policy", "session", user="alice")
    named = json_of(lab, "policy", "session", "--user", "alice")
    assert own == named
    assert [(s["key"], s["result"]) for s in own["settings"]] == [
        ("taskbar/taskbar_launcher", "success")]
    # Root has no session agent of its own.
    done = lumoctl(lab, "policy", "session")
    assert done.returncode == 3, done.stderr
    assert "qars is not running" in done.stderr


def test_output_of_roots_scripts_and_firewall_commands_is_for_root_only(lab):
    """A rotated password a root script prints reaches the server and root, never other users."""
    secret = "new local admin password: Zq81-rotated"
    serve(lab, "tasks/rotate.sh", "#!/bin/bash\necho '%s'\n" % secret)
    lab.server.set_policy("system", policy(
        (SCRIPT, "rotate_|_tasks/rotate.sh"), (FIREWALL, json.dumps(["echo fw-$((6 * 7)); exit 2"])),
        ("ntp/ntpServer", "time.lab.example")))
    prog = start_qarg(lab)
    lab.vorng.emit_server_msg(1100, {"job_id": 87, "task_id": 88})
    receipt = wait_until(lambda: [c for c in replies(lab.vorng, 87) if c[2] == 2002], 20,
                         what="the receipt")[0]
    assert secret in receipt[4]
    # The log (group adm) and standard error (the journal) show the summaries only.
    line = wait_until(lambda: [l for l in log_text(prog).splitlines() if "------dbus---reply----" in l],
                      10, what="the receipt's line in qarg.log")[0]
    assert '\\"success\\"' in line and '\\"failed: exit 2\\"' in line, line
    for text in (log_text(prog), prog.output()):
        assert "Zq81" not in text and "fw-42" not in text
    # Root's lumoctl shows what root's work printed.
    shown = {s["key"]: s["result"] for s in settled(lab, "policy", "system")["settings"]}
    assert shown == {SCRIPT: secret + "\n", FIREWALL: "fw-42\n",
                     "ntp/ntpServer": "setNTPServer success"}

    public, detail = lab.sandbox.path(STATUS), lab.sandbox.path("/run/qarg/status-detail.json")
    assert (os.stat(public).st_mode & 0o777, os.stat(detail).st_mode & 0o777) == (0o644, 0o600)
    with open(public, encoding="utf-8") as f:
        text = f.read()
    assert "Zq81" not in text and "fw-42" not in text
    assert {s["key"]: s["result"] for s in json.loads(text)["policy"]["settings"]} == {
        SCRIPT: "success", FIREWALL: "failed: exit 2", "ntp/ntpServer": "setNTPServer success"}

    obj = lab.bus.connection().get_object("com.kestal.vorn.qarg", "/com/kestal/vorn/qarg")
    assert secret in str(dbus.Interface(obj, "com.kestal.vorn.qarg.Status").Get())
    if os.geteuid() != 0:
        pytest.skip("needs root to ask the bus as another user")
    os.chmod(socket_path(lab.bus.address), 0o777)
    env = harness.clean_env()
    env.update(lab.bus.client_env())
    done = subprocess.run(["dbus-send", "--system", "--print-reply", "--dest=com.kestal.vorn.qarg",
                           "/com/kestal/vorn/qarg", "com.kestal.vorn.qarg.Status.Get"],
                          env=env, capture_output=True, text=True, timeout=30, check=False,
                          preexec_fn=drop_to_nobody)
    assert done.returncode == 0, done.stderr
    assert "failed: exit 2" in done.stdout
    assert "Zq81" not in done.stdout and "fw-42" not in done.stdout


def test_usb_shows_each_device_and_the_decision_on_it(usb):
    lab = usb.lab
    whitelist(lab, PHONE)
    usb.start()
    usb.plug_stick(volume=False)
    wait_until(lambda: lab.vorng.calls("RemoveDevice"), what="RemoveDevice")

    def detached():
        # The status is written a moment after each change.
        done = lumoctl(lab, "usb", "--json")
        devices = json.loads(done.stdout) if done.returncode == 0 else []
        return [d for d in devices if d["decision"] == "detached"]
    (device,) = wait_until(detached, 10, 0.1, "the stick shown as detached")
    assert (device["vendor_id"], device["product_id"], device["serial"]) == \
        (STICK["vendor"], STICK["product"], STICK["serial"])
    assert device["reason"] and device["time"]
    table = lumoctl(lab, "usb")
    assert has_line(table.stdout, r"usb control +on")
    assert has_line(table.stdout, r".*%s:%s +%s +detached +\S+ +.+"
                    % (STICK["vendor"], STICK["product"], STICK["serial"]))


@pytest.mark.parametrize("command", [["status"], ["policy"], ["usb"]])
def test_not_running_before_the_start_and_after_a_crash(lab, command):
    done = lumoctl(lab, *command)
    assert done.returncode == 3, done.stderr
    assert "qarg is not running: no status file" in done.stderr
    prog = start_qarg(lab)
    wait_until(lambda: lumoctl(lab, *command).returncode == 0, 5, 0.1, "the status file")
    os.kill(prog.pid, signal.SIGKILL)
    prog.popen.wait(5)
    assert os.path.exists(lab.sandbox.path(STATUS))
    done = lumoctl(lab, *command)
    assert done.returncode == 3, done.stderr
    assert "its process %d has ended" % prog.pid in done.stderr
    # What it left is shown as the last known status, with its time.
    with open(lab.sandbox.path(STATUS), encoding="utf-8") as f:
        written = json.load(f)["updated"]
    assert done.stdout.startswith("qarg is not running; last known status, of %s:\n\nqarg "
                                  % written), done.stdout


def test_malformed_status_file_says_so(lab):
    path = lab.sandbox.path(STATUS)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write('{"program": "qarg", "pid": ')
    done = lumoctl(lab, "status")
    assert done.returncode == 4
    assert done.stderr.startswith("lumoctl: %s: malformed status: " % path)


def test_pull_as_root_makes_one_more_policy_request_and_no_receipt(lab):
    start_qarg(lab)
    wait_until(lambda: lumoctl(lab, "status").returncode == 0, 5, 0.1, "the status file")
    lab.server.clear_requests()
    receipts = len(lab.vorng.calls("ReplyTaskResult"))
    done = lumoctl(lab, "pull")
    assert (done.returncode, done.stdout) == (0, "pull started\n"), done.stderr
    lab.server.wait_for_requests(POLICY_PATH, 1, timeout=10)
    pull = wait_until(lambda: json_of(lab, "status")["last_pull"], 5, 0.1, "the pull shown")
    assert (pull["task_id"], pull["job_id"]) == (-1, -1)
    assert len(lab.server.requests(POLICY_PATH)) == 1
    assert len(lab.vorng.calls("ReplyTaskResult")) == receipts


def socket_path(address):
    for part in address.split(","):
        if part.startswith("unix:path="):
            return part[len("unix:path="):]
    return None


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
def test_pull_by_another_user_is_refused(lab):
    start_qarg(lab)
    lab.server.clear_requests()
    path = socket_path(lab.bus.address)
    if path:
        os.chmod(path, 0o777)
    # A copy that nobody can run wherever the build tree is.
    public = tempfile.mkdtemp(prefix="lumoctl-")
    try:
        os.chmod(public, 0o755)
        binary = shutil.copy(built_lumoctl(lab), public)
        os.chmod(binary, 0o755)
        done = lumoctl(lab, "pull", nobody=True, binary=binary)
    finally:
        shutil.rmtree(public)
    assert done.returncode == 2, done.stderr
    assert "only root may make qarg pull" in done.stderr
    # Refused before the receiver was asked: nothing was pulled.
    assert lab.server.requests(POLICY_PATH) == []


def test_pull_without_the_daemon_is_not_running(lab):
    done = lumoctl(lab, "pull")
    assert done.returncode == 3, done.stderr
    assert "qarg is not running" in done.stderr
