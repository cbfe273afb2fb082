"""Reboot with the same disk: qarg comes back under systemd, the policy is in force again, and a
receipt owed at the reboot is delivered."""

import pytest

from guestlab import document
from machine import wait_until

RULE = "-A INPUT -s 198.51.100.9/32 -p tcp -m tcp --dport 13 -j DROP"
DOC = document(("ntp", "ntpServer", "ntp.reboot.internal"),
               ("firewall", "firewall_data", '["iptables %s && echo reboot rule"]' % RULE))


@pytest.fixture(scope="module")
def rebooted(lab, machine):
    """A document applied but its receipt owed (the service refuses it), then a reboot."""
    lab.labctl("mock", "SetReplyFailures", 1000000)
    job = lab.push("system", DOC)
    wait_until(lambda: [r for r in lab.receipts(job) if r[2] == 2002 and "ntp/" in r[4]], 240,
               "a refused receipt of job %d" % job, 2)
    assert RULE in machine.sh("iptables -S INPUT").splitlines()
    machine.reboot()
    return job


def test_qarg_active_after_reboot(machine, rebooted):  # pylint: disable=unused-argument
    wait_until(lambda: machine.run("systemctl is-active qarg").out.strip() == "active", 120,
               "qarg active after the reboot", 2)
    assert machine.sh("systemctl show qarg -p NRestarts --value").strip() == "0"


def test_owed_receipt_delivered_after_reboot(lab, rebooted):
    # The simulated service came back with an empty call log and accepts receipts again.
    receipt = lab.wait_receipt(rebooted, 2002, 240, contains="ntp/ntpServer")
    assert receipt[:4] == [rebooted, 1, 2002, ""]
    assert lab.results(rebooted, contains="ntp/")["ntp/ntpServer"] == "setNTPServer success"


def test_policy_in_force_after_reboot(machine, rebooted):  # pylint: disable=unused-argument
    config = machine.sh("systemd-analyze cat-config systemd/timesyncd.conf")
    assert [l for l in config.splitlines() if l.startswith("NTP=")][-1] == \
        "NTP=ntp.reboot.internal"


def test_firewall_rules_back_after_reboot(lab, machine, rebooted):
    # The first pull after the boot (10 s after qarg's start) must apply the rule again.
    wait_until(lambda: len(lab.requests("/policy/v1/client/pc_policy_details")) >= 1, 120,
               "qarg's first pull after the boot", 2)
    wait_until(lambda: RULE in machine.sh("iptables -S INPUT").splitlines(), 60,
               "the firewall rule after the reboot", 2)
