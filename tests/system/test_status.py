"""What the running programs show administrators: the status file and qarg's bus object."""

import json
import os

import dbus

from conftest import policy, replies, start_qarg, wait_until

STATUS = "/run/qarg/status.json"


def read_status(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def test_qarg_status_shows_the_last_pull_the_document_and_each_result(lab):
    lab.server.set_policy("system", policy(("ntp/ntpServer", "time.lab.example"),
                                           ("blue_tooth/system_bluetooth", "1")))
    prog = start_qarg(lab)
    path = lab.sandbox.path(STATUS)
    wait_until(lambda: read_status(path), 5, what="the status file")
    assert oct(os.stat(path).st_mode & 0o777) == "0o644"
    lab.vorng.emit_server_msg(1100, {"job_id": 81, "task_id": 82})
    wait_until(lambda: [c for c in replies(lab.vorng, 81) if c[2] == 2002], 15, what="the receipt")

    def settled():
        status = read_status(path)
        return status if status and status["policy"] and status["policy"]["finished"] \
            and status["owed_receipts"] == 0 else None
    status = wait_until(settled, 5, what="the status after the document")
    assert status["program"] == "qarg" and status["pid"] == prog.pid
    assert status["server"] == "127.0.0.1:%d" % lab.server.port
    assert status["machine_id"] == "lab-machine-0001"
    assert status["backend"] == "store"
    assert status["last_pull"]["outcome"] == "accepted"
    assert status["last_pull"]["task_id"] == 82 and status["last_pull"]["job_id"] == 81
    assert status["last_pull"]["md5"]
    assert status["next_pull"]
    assert status["executing"] is None
    assert status["usb_control"] is False
    assert [(s["key"], s["value"], s["result"]) for s in status["policy"]["settings"]] == [
        ("blue_tooth/system_bluetooth", "1", "success"),
        ("ntp/ntpServer", "time.lab.example", "setNTPServer success")]
    assert all(s["time"] for s in status["policy"]["settings"])

    # The bus object answers with the same status.
    obj = lab.bus.connection().get_object("com.kestal.vorn.qarg", "/com/kestal/vorn/qarg")
    text = dbus.Interface(obj, "com.kestal.vorn.qarg.Status").Get()
    assert json.loads(str(text))["policy"]["settings"] == status["policy"]["settings"]


def test_pull_through_the_bus_makes_one_pull_without_a_receipt(lab):
    start_qarg(lab)
    lab.server.clear_requests()
    calls = len(lab.vorng.calls("ReplyTaskResult"))
    obj = lab.bus.connection().get_object("com.kestal.vorn.qarg", "/com/kestal/vorn/qarg")
    assert str(dbus.Interface(obj, "com.kestal.vorn.qarg.Control").Pull()) == "pull started"
    lab.server.wait_for_requests("/policy/v1/client/pc_policy_details", 1, timeout=10)
    status = wait_until(lambda: (read_status(lab.sandbox.path(STATUS)) or {}).get("last_pull"), 5,
                        what="the pull in the status")
    assert status["task_id"] == -1
    assert len(lab.vorng.calls("ReplyTaskResult")) == calls
