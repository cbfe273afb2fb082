"""The system policy daemon qarg, run for real against the lab."""

import hashlib
import json
import os
import re
import signal
import time

import pytest

from server import POLICY_PATH
from conftest import log_text, policy, replies, start_qarg, wait_until

CACHE_DIR = "/root/.cache/vorn/cache_policy"


def push_update(lab, job, task):
    lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": task})
    return wait_until(lambda: len(replies(lab.vorng, job)) >= 2 and replies(lab.vorng, job),
                      10, what="the receipt of job %d" % job)


def test_startup_creates_log_file_and_cache_directory(lab):
    assert not os.path.exists(lab.sandbox.path(CACHE_DIR))
    os.rmdir(lab.sandbox.path("/var/log/qarg"))
    prog = start_qarg(lab)
    wait_until(lambda: "system policy manager init end" in log_text(prog), 5,
               what="the start-up lines in qarg.log")
    assert os.path.isdir(lab.sandbox.path(CACHE_DIR))
    assert os.path.isfile(lab.sandbox.path("/var/log/qarg/qarg.log"))


def test_pushed_update_is_acknowledged_pulled_applied_and_answered(lab):
    lab.server.set_policy("system", policy(("ntp/ntpServer", "time.lab.example"),
                                           ("blue_tooth/system_bluetooth", "1")))
    start_qarg(lab)
    lab.server.clear_requests()
    received, done = push_update(lab, job=7, task=9)[:2]

    assert received == (7, 9, 2001, "", "receive success")
    assert done[:4] == (7, 9, 2002, "")
    assert json.loads(done[4]) == [{"blue_tooth/system_bluetooth": "success"},
                                   {"ntp/ntpServer": "setNTPServer success"}]
    assert done[4] == json.dumps(json.loads(done[4]), separators=(",", ":"), ensure_ascii=False)

    (pull,) = lab.server.requests("/policy/v1/client/pc_policy_details")
    assert pull["query"]["policy_level"] == "system"
    assert pull["query"]["machine_id"] == "lab-machine-0001"
    state = lab.sandbox.read_json(lab.sandbox.system_state_path())
    assert state["SetNTPServer"] == "time.lab.example"
    assert state["SetBluetoothEnable"] is True
    # The task's cache file is named after task and job and gone once the document is done.
    wait_until(lambda: not os.listdir(lab.sandbox.path(CACHE_DIR)), 5, what="cache cleanup")


@pytest.mark.parametrize("name, receipt", [("1700000000", None), ("12_5", (5, 12))],
                         ids=["timer-document", "task-document"])
def test_requeued_document_is_answered_only_for_a_task(lab, name, receipt):
    doc = {"code": 0, "data": {"md5": "x", "policys": policy(("wireless_adapter/"
                                                              "wireless_adapter_status",
                                                              "1"))["policys"]}}
    path = lab.sandbox.path(CACHE_DIR + "/" + name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f)
    prog = start_qarg(lab)
    wait_until(lambda: not os.path.exists(path), 5, what="the re-queued document to finish")
    wait_until(lambda: "-----policy ret  true" in log_text(prog), 5, what="the end of the run")
    assert lab.sandbox.read_json(lab.sandbox.system_state_path())["SetWirelessEnable"] is True
    if receipt is None:
        assert "-----info.taskID:  -1" in log_text(prog)
        assert [c for c in lab.vorng.calls("ReplyTaskResult") if c[2] != -1] == []
    else:
        job, task = receipt
        (answer,) = wait_until(lambda: replies(lab.vorng, job), 5, what="the receipt")
        assert answer == (job, task, 2002, "",
                          '[{"wireless_adapter/wireless_adapter_status":"success"}]')


def test_key_without_handler_does_not_hold_the_document(lab):
    lab.server.set_policy("system", policy(("ntp/ntpServer", "time.lab.example"),
                                           ("desktop_wallpaper/wallpaper_name", "a.png")))
    prog = start_qarg(lab)
    started = time.monotonic()
    done = push_update(lab, job=21, task=22)[1]
    assert time.monotonic() - started < 3
    assert json.loads(done[4]) == [{"ntp/ntpServer": "setNTPServer success"}]
    assert 'nof function "desktop_wallpaper/wallpaper_name"' in log_text(prog)


def test_refused_local_login_notifies_every_local_user(lab):
    lab.server.set_policy("system", policy(("login_limit/local_login_limit", "0")))
    lab.sandbox.add_session_file("c7", 1001, "sshd")
    lab.sandbox.add_session_file("c8", 10001, "sshd")
    # Root (fixing the machine) and a system account are not refused: their sessions stay.
    lab.sandbox.add_session_file("c5", 0, "sshd")
    lab.sandbox.add_session_file("c6", 998, "sshd")
    start_qarg(lab)
    done = push_update(lab, job=31, task=32)[1]
    assert json.loads(done[4])[0]["login_limit/local_login_limit"] != "success"

    notes = wait_until(lambda: len(lab.vorng.calls("SendSystemNotify")) >= 3
                       and lab.vorng.calls("SendSystemNotify"), 5, what="three notifications")
    assert len(notes) == 3
    messages = [json.loads(args[0]) for args in notes]
    assert [m.pop("uid") for m in messages] == [1000, 1001, 1002]
    assert messages[0] == messages[1] == messages[2]
    assert messages[0]["summary"] == "提醒"
    assert messages[0]["body"] == "您的帐号已被管理员停用或删除，1分钟后强制注销"
    assert (messages[0]["timeout"], messages[0]["operation"],
            messages[0]["operationDelay"]) == (-1, 3, 60000)
    # Only the SSH session of the local user was ended.
    assert lab.stubs.calls("loginctl") == [["loginctl", "terminate-session", "c7"]]
    assert lab.sandbox.read_json(lab.sandbox.system_state_path())["SetLocalUserLogoinLimit"] \
        is False


def test_domain_removal_restores_then_disables_and_stops_the_service(lab):
    state_path = lab.sandbox.system_state_path()
    os.makedirs(os.path.dirname(state_path), exist_ok=True)
    with open(state_path, "w", encoding="utf-8") as f:
        json.dump({"SetStorageGlobalPermPolicy": {"1": 0, "2": 1}, "SetNTPServer": "x.example",
                   "SetAppCtrlBlacklist": "a,b", "SetWirelessEnable": False,
                   "SetBluetoothEnable": False, "SetLocalUserLogoinLimit": False}, f)
    # A slow "systemctl stop" must not hold the daemon.
    lab.stubs.answer("systemctl stop", delay=3)
    prog = start_qarg(lab)
    lab.vorng.emit_domain_removed()

    lab.stubs.wait_for_call(["systemctl", "stop", "qarg"], 10)
    assert lab.stubs.calls("systemctl") == [["systemctl", "disable", "qarg"],
                                            ["systemctl", "stop", "qarg"]]
    state = lab.sandbox.read_json(state_path)
    assert state["SetStorageGlobalPermPolicy"] == {"1": 2, "2": 2}
    assert state["SetNTPServer"] == "ntp.backup.lab.internal"
    assert state["SetAppCtrlBlacklist"] == ""
    assert state["SetWirelessEnable"] is True and state["SetBluetoothEnable"] is True
    # Local users may log in again on the machine that left.
    assert state["SetLocalUserLogoinLimit"] is True

    text = log_text(prog)
    steps = ["qarg remove domain begin", "vorn-xwe: SetStorageGlobalPermPolicy(2,2)",
             "vorn-xwe: SetStorageGlobalPermPolicy(1,2)", "vorn-xwe: SetNTPServer(",
             "vorn-xwe: SetAppCtrlBlacklist(", "vorn-xwe: SetWirelessEnable(",
             "vorn-xwe: SetBluetoothEnable(", "vorn-xwe: SetLocalUserLogoinLimit(",
             "qarg remove domain end"]
    positions = [text.find(step) for step in steps]
    assert -1 not in positions, list(zip(steps, positions))
    assert positions == sorted(positions)

    # While "systemctl stop qarg" still runs, pushes are ignored: nothing is pulled or applied.
    pulls = len(lab.server.requests(POLICY_PATH))
    lab.vorng.emit_server_msg(1100, {"job_id": 41, "task_id": 42})
    wait_until(lambda: "domain removed, push ignored: 1100" in log_text(prog), 5,
               what="the push to be ignored")
    assert replies(lab.vorng, 41) == []
    assert len(lab.server.requests(POLICY_PATH)) == pulls
    # And it still ends on SIGTERM at once.
    started = time.monotonic()
    os.kill(prog.pid, signal.SIGTERM)
    prog.popen.wait(5)
    assert time.monotonic() - started < 1.0
    assert prog.returncode() == 0


def test_domain_removal_drops_queued_documents_and_waits_for_the_running_handler(lab):
    # The first document's SSH sequence is slow; a second document waits behind it.
    lab.stubs.answer("systemctl stop ssh", delay=2)
    lab.server.set_policy("system", policy(("ssh_login/ssh_login_status", "1")))
    prog = start_qarg(lab)
    lab.vorng.emit_server_msg(1100, {"job_id": 43, "task_id": 44})
    lab.stubs.wait_for_call(["systemctl", "stop", "ssh"], 10)
    lab.vorng.emit_server_msg(1100, {"job_id": 45, "task_id": 46})
    wait_until(lambda: os.path.exists(lab.sandbox.path(CACHE_DIR + "/46_45")), 10,
               what="the second document to wait in the queue")
    lab.vorng.emit_domain_removed()

    lab.stubs.wait_for_call(["systemctl", "stop", "qarg"], 15)
    calls = lab.stubs.calls("systemctl")
    # The running handler ended its sequence before anything was restored; the queued
    # document never ran and its file is gone.
    assert calls.index(["systemctl", "enable", "ssh"]) < calls.index(["systemctl", "disable", "qarg"])
    assert calls.count(["systemctl", "stop", "ssh"]) == 1
    assert not os.path.exists(lab.sandbox.path(CACHE_DIR + "/46_45"))
    text = log_text(prog)
    assert text.index("qarg remove domain begin") < text.index("-----policy ret  true") \
        < text.index("vorn-xwe: SetStorageGlobalPermPolicy(2,2)")


def test_usb_order_while_whitelist_control_is_off_is_refused_at_once(lab):
    start_qarg(lab)
    lab.vorng.emit_server_msg(2000, {"job_id": 47, "task_id": 48, "action": "add",
                                     "vendor_id": "0781", "product_id": "5567",
                                     "serial_number": "X1", "alias_name": "stick"})
    wait_until(lambda: replies(lab.vorng, 47), 5, what="the answer to the order")
    assert replies(lab.vorng, 47) == [(47, 48, 2003, "", "USB whitelist control is off")]


def test_sigterm_ends_the_daemon_within_a_second(lab):
    prog = start_qarg(lab)
    wait_until(lambda: "consumer....." in log_text(prog), 5, what="the executor waiting")
    started = time.monotonic()
    os.kill(prog.pid, signal.SIGTERM)
    prog.popen.wait(5)
    elapsed = time.monotonic() - started
    assert elapsed < 1.0, elapsed
    assert prog.returncode() == 0
    assert re.search(r"termination signal received", log_text(prog))


def test_server_script_is_logged_by_size_and_digest_not_by_its_body(lab):
    body_path = os.path.join(os.path.dirname(__file__), "..", "..", "tools", "lab", "files",
                             "scripts", "hello.sh")
    with open(body_path, "rb") as f:
        body = f.read()
    lab.server.set_policy("system", policy(("script/script_name", "hello.sh_|_scripts/hello.sh")))
    prog = start_qarg(lab)
    push_update(lab, job=49, task=50)
    text = log_text(prog)
    assert "sha256: \"%s\"" % hashlib.sha256(body).hexdigest() in text
    assert "bytes: %d" % len(body) in text
    assert "Server script of the lab" not in text
    assert "prints where it ran" not in text
