"""Only root may make the programs act through the core client service's signals: a
connection of another user that holds the service's name while the service is down is
ignored, and the service itself (root) is heard again once it is back."""

import json
import os
import subprocess
import sys

import pytest

import harness
from server import POLICY_PATH
from conftest import log_text, start_qarg, wait_until

NOBODY = 65534
SENDER = r"""
import sys
import dbus
import dbus.lowlevel

address, job = sys.argv[1], int(sys.argv[2])
conn = dbus.bus.BusConnection(address)
got = conn.request_name("com.kestal.vorn.vorng", dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
if got not in (dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER, dbus.bus.REQUEST_NAME_REPLY_ALREADY_OWNER):
    sys.exit("name not taken: %d" % got)

def emit(member, signature, args):
    msg = dbus.lowlevel.SignalMessage("/com/kestal/vorn/vorng", "com.kestal.vorn.vorng", member)
    if signature:
        msg.append(*args, signature=signature)
    conn.send_message(msg)

emit("ServerMsgCame", "sis", ["lab", 1100, '{"job_id": %d, "task_id": 7}' % job])
emit("TimeIntervalChanged", "i", [1])
emit("DomainRemoved", "", [])
conn.flush()
print("sent", flush=True)
sys.stdin.read()
"""


def socket_path(address):
    for part in address.split(","):
        if part.startswith("unix:path="):
            return part[len("unix:path="):]
    return None


def drop_to_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


def start_program(lab, name):
    if name == "qarg":
        return start_qarg(lab)
    prog = lab.start("qars")
    prog.wait_for_output("session policy manager init end", timeout=15)
    return prog


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
@pytest.mark.parametrize("name", ["qarg", "qars"])
def test_signals_of_another_user_are_ignored_and_root_is_heard(lab, logs_dir, name):
    prog = start_program(lab, name)
    stop_command = ["systemctl", "disable", "qarg"] if name == "qarg" else \
        ["systemctl", "--global", "disable", "lumo-session"]
    lab.server.clear_requests()

    # The service goes away; a user's connection takes its name and speaks for it.
    lab.vorng.stop()
    wait_until(lambda: not lab.bus.connection().name_has_owner("com.kestal.vorn.vorng"), 5,
               what="the service's name to be free")
    path = socket_path(lab.bus.address)
    if path:
        os.chmod(path, 0o777)
    intruder = subprocess.Popen([sys.executable, "-c", SENDER, lab.bus.address, "4711"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, preexec_fn=drop_to_nobody)
    try:
        assert intruder.stdout.readline().strip() == b"sent", intruder.stderr.read()
        wait_until(lambda: "ignoring signals of a connection not owned by root" in log_text(prog),
                   10, what="the foreign sender to be refused")
    finally:
        intruder.stdin.close()
        intruder.wait(5)
    text = log_text(prog)
    assert text.count("ignoring signals of a connection not owned by root") == 1
    assert "pull policy interval chaged" not in text
    assert "remove domain begin" not in text
    assert stop_command not in lab.stubs.calls("systemctl")
    assert not lab.server.requests(POLICY_PATH)

    # The real service (root) is back under a new unique name and is heard at once.
    service = harness.VorngMock(lab.bus, logs_dir, {"ServerPort": lab.server.port})
    service.start()
    try:
        service.set_time_interval(1)
        wait_until(lambda: "pull policy interval chaged" in log_text(prog), 10,
                   what="the interval change from root")
        service.emit_server_msg(1100, {"job_id": 4712, "task_id": 8})
        lab.server.wait_for_requests(POLICY_PATH, 1, timeout=15)
        service.wait_for_calls("ReplyTaskResult", timeout=30,
                               where=lambda a: a[0] == 4712 and a[2] == 2002)
        assert prog.alive()
    finally:
        service.stop()
