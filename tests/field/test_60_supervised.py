"""Supervised by systemd: ready only once subscribed, restarted by the watchdog when the main
loop stops, and the journal's priorities."""

import json
import re

from machine import wait_until


def shown(machine, *props):
    return dict(line.split("=", 1) for line in machine.sh(
        "systemctl show qarg " + " ".join("-p " + p for p in props)).splitlines())


def log_time(machine, line):
    """The time of a line of qarg's own log ("yyyy-MM-dd hh:mm:ss.zzz ..."), in seconds since
    the epoch, read with the guest's time zone."""
    return float(machine.sh("date -d '%s' +%%s.%%N" % line[:23]).strip())


def json_lines(out):
    return [json.loads(l) for l in out.splitlines() if l.startswith("{")]


def test_started_only_once_ready_and_subscribed(lab, machine):
    cursor = machine.sh("journalctl -n 0 --show-cursor --no-pager").split("cursor: ")[-1].strip()
    machine.sh("systemctl restart qarg", 180)
    # With Type=notify the start returns once qarg said READY=1.
    state = shown(machine, "ActiveState", "SubState", "MainPID", "StatusText")
    assert (state["ActiveState"], state["SubState"]) == ("active", "running"), state
    assert "receipts owed:" in state["StatusText"] and "USB control" in state["StatusText"], state
    # qarg logs that it is subscribed before it says READY=1; systemd says "Started" after it.
    ready = [l for l in lab.qarg_log().splitlines()
             if "ready: on the system bus and subscribed" in l]
    assert ready, lab.qarg_log()[-3000:]
    started = [e for e in json_lines(machine.sh(
        "journalctl --no-pager -o json --after-cursor '%s' _PID=1 UNIT=qarg.service" % cursor))
        if str(e.get("MESSAGE", "")).startswith("Started qarg")]
    assert started, "no 'Started qarg' after the restart"
    at = int(started[-1]["__REALTIME_TIMESTAMP"]) / 1e6
    assert log_time(machine, ready[-1]) <= at, (ready[-1], at)
    # Heard at once: the first push after the start is answered without a retry.
    job = lab.push()
    lab.wait_receipt(job, code=2001, timeout=60)


def test_stopped_main_loop_is_restarted_by_the_watchdog(lab, machine):
    before = shown(machine, "NRestarts", "MainPID", "WatchdogUSec")
    assert before["WatchdogUSec"] in ("1min", "60000000"), before
    machine.sh("kill -STOP %s" % before["MainPID"])

    def restarted():
        now = shown(machine, "NRestarts", "MainPID", "ActiveState")
        return (int(now["NRestarts"]) > int(before["NRestarts"])
                and now["MainPID"] not in ("0", before["MainPID"])
                and now["ActiveState"] == "active")
    # The watchdog period, the kill, RestartSec and a start under emulation.
    wait_until(restarted, 400, "qarg restarted by the watchdog", 5)
    assert "Watchdog timeout" in machine.sh("journalctl -b -u qarg --no-pager -o cat")
    lab.wait_subscribed()


def test_journal_priority_filter_shows_warnings_and_worse(lab, machine):
    # One answer the daemon cannot read: a warning ("policy answer not accepted") besides the
    # info lines of the push.
    lab.labctl("server", "PUT", "/faults",
               # qars pulls the same path for its own document: enough for both.
               json.dumps({"/policy/v1/client/pc_policy_details": {"kind": "garbage", "count": 2}}))

    def entries(priority):
        return json_lines(machine.sh("journalctl -b -p %s --no-pager -o json "
                                     "_SYSTEMD_UNIT=qarg.service _COMM=qarg" % priority))

    def rejected():
        found = entries("warning")
        if any("policy answer not accepted" in str(e.get("MESSAGE")) for e in found):
            return found
        return None

    try:
        lab.push()
        # qars answers the same push with its own receipt: wait for qarg's warning itself.
        warnings = wait_until(rejected, 240, "qarg's warning about the answer", 2)
    finally:
        lab.labctl("server", "DELETE", "/faults")
    texts = [str(e.get("MESSAGE")) for e in warnings]
    assert not any("onServerMsgCame" in t for t in texts), texts
    assert all(int(e["PRIORITY"]) <= 4 for e in warnings)
    # The journal takes the prefix off; the push's info line is there at info.
    infos = [e for e in entries("info") if "onServerMsgCame" in str(e.get("MESSAGE"))]
    assert infos and all(e["PRIORITY"] == "6" for e in infos)
    assert not any(str(e.get("MESSAGE")).startswith("<") for e in infos)
    # The log file keeps its format.
    assert re.search(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[warning\] .*policy answer not "
                     r"accepted", lab.qarg_log(), re.M)
