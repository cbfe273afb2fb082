"""Stop and restart under systemd: a quick stop without SIGKILL; a receipt owed across a
restart is delivered once."""

import re

from guestlab import document
from machine import wait_until


def done_receipts(lab, job):
    """qarg's done receipts of job (a running session agent answers the same push)."""
    return [r for r in lab.receipts(job) if r[2] == 2002 and "ntp/ntpServer" in r[4]]


def test_stop_within_two_seconds_without_sigkill(lab, machine):
    cursor = machine.sh("journalctl -u qarg -n 0 --show-cursor --no-pager").split("cursor: ")[-1]
    machine.sh("systemctl stop qarg", 120)
    shown = dict(l.split("=", 1) for l in machine.sh(
        "systemctl show qarg -p Result -p ExecMainCode -p ExecMainStatus").splitlines())
    journal = machine.sh("journalctl -u qarg --no-pager -o short-monotonic --after-cursor '%s'"
                         % cursor.strip())
    machine.sh("systemctl start qarg", 120)
    lab.wait_subscribed()
    assert "SIGKILL" not in journal and "timed out" not in journal, journal
    assert shown == {"Result": "success", "ExecMainCode": "1", "ExecMainStatus": "0"}, shown
    # systemd's own times: from "Stopping" to the end of the service.
    stamps = {}
    for line in journal.splitlines():
        match = re.match(r"\[\s*([0-9.]+)\]", line)
        if match and "Stopping qarg" in line:
            stamps["stopping"] = float(match.group(1))
        elif match and ("Deactivated successfully" in line or "Stopped qarg" in line):
            stamps.setdefault("stopped", float(match.group(1)))
    assert len(stamps) == 2, journal
    assert stamps["stopped"] - stamps["stopping"] < 2.0, journal


def test_receipt_owed_across_restart_arrives_once(lab, machine):
    lab.labctl("mock", "SetReplyFailures", 1000000)
    try:
        job = lab.push("system", document(("ntp", "ntpServer", "ntp.restart.internal")))
        # The receipt is owed: at least one delivery of it was refused.
        wait_until(lambda: done_receipts(lab, job), 240, "a refused receipt of job %d" % job, 2)
        machine.sh("systemctl stop qarg", 120)
        before = len(done_receipts(lab, job))
    finally:
        lab.labctl("mock", "SetReplyFailures", 0)
    machine.sh("systemctl start qarg", 120)
    wait_until(lambda: len(done_receipts(lab, job)) > before, 240,
               "the owed receipt after the restart", 2)
    # A later task's receipt comes after anything still owed; the owed one came exactly once.
    later = lab.push("system", document(("ntp", "ntpServer", "ntp.restart.internal")))
    lab.wait_receipt(later, contains="ntp/ntpServer")
    assert len(done_receipts(lab, job)) == before + 1
    assert lab.results(job, contains="ntp/ntpServer") == {"ntp/ntpServer": "setNTPServer success"}
