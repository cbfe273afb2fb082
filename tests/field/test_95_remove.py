"""The package's removal gives the machine back, as the system's own tools see it; its purge
leaves no state. Last: the package is gone afterwards."""


from guestlab import document
from machine import wait_until

PAM_PROFILE = "/usr/share/pam-configs/vorn-xwe-login-limit"
USB_RULES = "/etc/udev/rules.d/70-vorn-xwe-usb-storage.rules"
NTP_DROP_IN = "/etc/systemd/timesyncd.conf.d/90-vorn-xwe.conf"
LOCKED = (PAM_PROFILE, USB_RULES, NTP_DROP_IN)
DOC = document(("login_limit", "local_login_limit", "0"),
               ("usb", "usb_store_device", "1"),
               ("ntp", "ntpServer", "ntp.remove.internal"))


def exists(machine, path):
    return machine.run("test -e %s" % path).rc == 0


def test_remove_restores_and_purge_clears(lab, machine):
    # Whatever an earlier scenario made the service refuse, it takes receipts again.
    lab.labctl("mock", "SetReplyFailures", 0)
    job = lab.push("system", DOC)
    wait_until(lambda: [r for r in lab.receipts(job) if r[2] == 2002], 240,
               "the receipt of job %d" % job, 2)
    assert all(exists(machine, path) for path in LOCKED)
    assert "pam_localuser.so" in machine.sh("cat /etc/pam.d/common-account")
    # The account stack as login sees it refuses a local user.
    assert machine.run("pamtester login alice acct_mgmt", 60).rc != 0

    machine.sh("DEBIAN_FRONTEND=noninteractive apt-get remove -y vorn-policy", 600)
    assert [path for path in LOCKED if exists(machine, path)] == []
    assert "pam_localuser.so" not in machine.sh("cat /etc/pam.d/common-account")
    assert machine.run("pamtester login alice acct_mgmt", 60).rc == 0
    config = machine.sh("systemd-analyze cat-config systemd/timesyncd.conf")
    assert "ntp.remove.internal" not in config

    machine.sh("DEBIAN_FRONTEND=noninteractive apt-get purge -y vorn-policy", 600)
    for path in ("/var/lib/qarg", "/var/lib/vorn-xwe", "/var/log/qarg", "/etc/vorn/system_policy.json"):
        assert not exists(machine, path), path
    assert machine.run("dpkg -s vorn-policy").rc != 0
