"""A software installation outlives a stop of qarg: where a service manager runs it is a
transient unit (here the systemd-run stand-in, which keeps the command running when its
caller ends), and the restarted qarg awaits it instead of running it again; its result
reaches the server once, in the task's receipt."""

import json
import os
import signal

from conftest import log_text, policy, replies, start_qarg, wait_until

INSTALL = "pre_install_app/pre_install_app_list"
NTP = "ntp/ntpServer"
INSTALLS = "/var/lib/qarg/installs"

# Says that it started, then waits for the test's gate (bounded) before it "installs".
SLOW_UPGRADE = """#!/bin/bash
echo "started $*" >> {runs}
for i in $(seq 600); do [ -e {gate} ] && break; sleep 0.1; done
echo "software_upgrade.bash $*"
"""


def lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def done_replies(lab, job):
    return [c for c in replies(lab.vorng, job) if c[2] == 2002]


def test_install_survives_a_restart_of_qarg_and_reports_once(lab):
    os.makedirs(lab.sandbox.path("/run/systemd/system"), exist_ok=True)
    runs = lab.sandbox.path("/tmp/install.runs")
    gate = lab.sandbox.path("/tmp/install.gate")
    os.makedirs(os.path.dirname(runs), exist_ok=True)
    upgrade = lab.sandbox.path("/usr/share/vorn/scripts/software_upgrade.bash")
    with open(upgrade, "w", encoding="utf-8") as f:
        f.write(SLOW_UPGRADE.format(runs=runs, gate=gate))
    lab.server.set_policy("system", policy((INSTALL, json.dumps([{"package_name": "office-suite"}]))))

    prog = start_qarg(lab)
    lab.vorng.emit_server_msg(1100, {"job_id": 811, "task_id": 3})
    wait_until(lambda: lines(runs), 15, what="the installation to start")
    units = [a for a in lab.stubs.calls("systemd-run")]
    assert len(units) == 1 and units[0][1].startswith("--unit=qarg-install-"), units
    wrapper_pid = int(wait_until(
        lambda: [open(os.path.join(lab.sandbox.path(INSTALLS), d, "pid")).read()
                 for d in os.listdir(lab.sandbox.path(INSTALLS))
                 if os.path.exists(os.path.join(lab.sandbox.path(INSTALLS), d, "pid"))],
        10, what="the installation's process id")[0])

    try:
        # The stop of an upgrade or restart: the installation goes on.
        assert lab.programs.stop(prog) == 0
        os.kill(wrapper_pid, 0)
        assert not done_replies(lab, 811)

        prog = start_qarg(lab)
        wait_until(lambda: "awaited instead of run again" in log_text(prog), 15,
                   what="the restarted qarg to take the installation up")
        open(gate, "w").close()
        done = wait_until(lambda: done_replies(lab, 811), 30, what="the task's receipt")
    finally:
        open(gate, "w").close()
        wait_until(lambda: not os.path.exists("/proc/%d" % wrapper_pid)
                   or open("/proc/%d/stat" % wrapper_pid).read().split()[2] == "Z", 70,
                   what="the installation to end")

    assert json.loads(done[0][4]) == [{INSTALL: "software_upgrade.bash office-suite\n"}]
    assert lines(runs) == ["started office-suite"]
    assert len(lab.stubs.calls("systemd-run")) == 1
    assert os.listdir(lab.sandbox.path(INSTALLS)) == []

    # Once: a later task's receipt comes after anything else the first one could cause.
    lab.server.set_policy("system", policy((NTP, "time.example")))
    lab.vorng.emit_server_msg(1100, {"job_id": 812, "task_id": 3})
    wait_until(lambda: done_replies(lab, 812), 15, what="the next task's receipt")
    assert len(done_replies(lab, 811)) == 1


def test_install_without_service_manager_is_a_child_and_reports_an_interruption(lab):
    """No service manager: a child of qarg, ended with it; the restarted qarg says so in the
    receipt rather than running dpkg blindly a second time."""
    runs = lab.sandbox.path("/tmp/install.runs")
    os.makedirs(os.path.dirname(runs), exist_ok=True)
    upgrade = lab.sandbox.path("/usr/share/vorn/scripts/software_upgrade.bash")
    with open(upgrade, "w", encoding="utf-8") as f:
        f.write(SLOW_UPGRADE.format(runs=runs, gate=lab.sandbox.path("/tmp/never")))
    lab.server.set_policy("system", policy((INSTALL, json.dumps([{"package_name": "office-suite"}]))))

    prog = start_qarg(lab)
    lab.vorng.emit_server_msg(1100, {"job_id": 821, "task_id": 3})
    wait_until(lambda: lines(runs), 15, what="the installation to start")
    assert lab.stubs.calls("systemd-run") == []
    prog.popen.send_signal(signal.SIGTERM)
    assert prog.popen.wait(10) == 0

    start_qarg(lab)
    done = wait_until(lambda: done_replies(lab, 821), 30, what="the task's receipt")
    result = json.loads(done[0][4])[0][INSTALL]
    assert "installation ended without an exit status" in result, result
    assert lines(runs) == ["started office-suite"]
