"""A pushed document applied for real, each setting checked with the system's own tools."""

import os

from guestlab import document
from machine import wait_until

SSH_KEYS = {"alice": "/home/alice/.ssh/id_ed25519", "root": "/root/.ssh/id_ed25519"}


def test_time_server(lab, machine):
    job = lab.push("system", document(("ntp", "ntpServer", "ntp.field.internal")))
    assert lab.results(job) == {"ntp/ntpServer": "setNTPServer success"}
    config = machine.sh("systemd-analyze cat-config systemd/timesyncd.conf")
    assert "NTP=ntp.field.internal" in config
    # What timesyncd itself would use: the last NTP= wins.
    assert [l for l in config.splitlines() if l.startswith("NTP=")][-1] == "NTP=ntp.field.internal"


def test_ssh_off_then_on(lab, machine):
    job = lab.push("system", document(("ssh_login", "ssh_login_status", "0")))
    assert lab.results(job) == {"ssh_login/ssh_login_status": "setSSHLogin true"}
    assert machine.run("systemctl is-active ssh").out.strip() != "active"
    assert machine.run("systemctl is-enabled ssh").out.strip() == "disabled"
    assert machine.run("ssh -o BatchMode=yes -o ConnectTimeout=5 127.0.0.1 true", 30).rc != 0

    # Asking for the unit by its alias (as "systemctl status sshd" does) loads the alias name
    # as a unit of its own while the alias link is gone; enabling brings the link back. On
    # Debian 13 a reload that merges the two while ssh runs loses the running daemon: the unit
    # then reads inactive while its sshd keeps the port, and every later start fails.
    machine.sh("systemctl show -p LoadState sshd.service")
    job = lab.push("system", document(("ssh_login", "ssh_login_status", "1")))
    assert lab.results(job) == {"ssh_login/ssh_login_status": "setSSHLogin true"}
    assert machine.sh("systemctl is-active ssh").strip() == "active"
    assert machine.sh("systemctl is-enabled ssh").strip() == "enabled"
    # The one listening daemon is the unit's own, and the unit can be restarted.
    main_pid = machine.sh("systemctl show -p MainPID --value ssh").strip()
    assert machine.sh("pgrep -f '^sshd: .*\\[listener\\]'").split() == [main_pid]
    assert machine.run("systemctl restart ssh", 60).rc == 0
    assert machine.sh("systemctl is-active ssh").strip() == "active"


def _ssh_session(machine, user):
    """user logged in over SSH with a key (a real sshd session in logind), left running."""
    key = SSH_KEYS[user]
    ssh_dir = os.path.dirname(key)
    machine.sh("mkdir -p -m 700 %s && { test -f %s || ssh-keygen -q -t ed25519 -N '' -f %s; } && "
               "cp %s.pub %s/authorized_keys" % (ssh_dir, key, key, key, ssh_dir), 60,
               user=None if user == "root" else user)
    machine.sh("systemctl start ssh")
    machine.sh("setsid -f runuser -u %s -- ssh -i %s -o BatchMode=yes "
               "-o StrictHostKeyChecking=no %s@127.0.0.1 sleep 900 "
               ">/dev/null 2>&1 </dev/null" % (user, key, user))
    wait_until(lambda: _sshd_sessions(machine, user), 120, "%s's SSH session in logind" % user, 2)


def _sshd_sessions(machine, user):
    sessions = []
    for line in machine.sh("loginctl list-sessions --no-legend").splitlines():
        fields = line.split()
        if len(fields) >= 3 and fields[2] == user:
            service = machine.run("loginctl show-session %s -p Service --value -p State"
                                  % fields[0]).out.split()
            if service and service[0] == "sshd" and "closing" not in service:
                sessions.append(fields[0])
    return sessions


def test_local_logins_refused_then_allowed(lab, machine):
    _ssh_session(machine, "alice")
    _ssh_session(machine, "root")
    job = lab.push("system", document(("login_limit", "local_login_limit", "0")))
    assert lab.results(job) == {"login_limit/local_login_limit":
                                "success: local logins refused, local SSH sessions ended"}
    # The real PAM stack: the account phase refuses alice, root still gets in.
    r = machine.run("pamtester login alice acct_mgmt")
    assert r.rc != 0, r
    machine.sh("pamtester login root acct_mgmt")
    # The SSH session of the local user was ended.
    wait_until(lambda: not _sshd_sessions(machine, "alice"), 60, "alice's SSH session to end", 2)
    # Root is not refused: the administrator's session stays.
    (root_session,) = _sshd_sessions(machine, "root")
    machine.sh("loginctl terminate-session " + root_session)

    job = lab.push("system", document(("login_limit", "local_login_limit", "1")))
    assert lab.results(job) == {"login_limit/local_login_limit": "success"}
    machine.sh("pamtester login alice acct_mgmt")
    machine.sh("echo field-alice | pamtester login alice authenticate")


def test_firewall_command(lab, machine):
    rule = "-A INPUT -s 203.0.113.7/32 -p tcp -m tcp --dport 9 -j DROP"
    job = lab.push("system", document(
        ("firewall", "firewall_data", '["iptables %s && echo rule added"]' % rule)))
    assert lab.results(job) == {"firewall/firewall_data": "rule added\n"}
    assert rule in machine.sh("iptables -S INPUT").splitlines()


def test_app_blacklist(lab, machine):
    assert machine.sh("hello", user="alice").startswith("Hello")
    job = lab.push("system", document(
        ("pre_blacklist_app", "pre_blacklist_app_list", '[{"package_name":"hello"}]')))
    assert lab.results(job) == {"pre_blacklist_app/pre_blacklist_app_list": "success"}
    r = machine.run("hello", user="alice")
    assert r.rc != 0 and "Permission denied" in r.err, r
    assert machine.sh("stat -c %a /usr/bin/hello").strip() == "700"
    assert "/usr/bin/hello" in machine.sh("dpkg-statoverride --list")

    job = lab.push("system", document(("pre_blacklist_app", "pre_blacklist_app_list", "[]")))
    assert lab.results(job) == {"pre_blacklist_app/pre_blacklist_app_list": "success"}
    assert machine.sh("hello", user="alice").startswith("Hello")
    assert machine.sh("stat -c %a /usr/bin/hello").strip() == "755"


def _stick_disk(machine, label):
    link = "/dev/disk/by-label/" + label
    wait_until(lambda: machine.run("test -b " + link).rc == 0, 90, "the stick's " + link, 1)
    return machine.sh("readlink -f " + link).strip()


def test_storage_permissions_on_a_plugged_stick(lab, machine):
    # "No access" has no value of its own for USB storage: "0" means whitelist control.
    dev = machine.plug_stick("FIELDRO1", "FIELDRO")
    try:
        disk = _stick_disk(machine, "FIELDRO")
        assert machine.sh("blockdev --getro " + disk).strip() == "0"

        job = lab.push("system", document(("usb", "usb_store_device", "1")))
        assert lab.results(job) == {"usb/usb_store_device": "success"}
        wait_until(lambda: machine.run("blockdev --getro " + disk).out.strip() == "1", 60,
                   "the stick read only", 1)

        job = lab.push("system", document(("usb", "usb_store_device", "2")))
        assert lab.results(job) == {"usb/usb_store_device": "success"}
        wait_until(lambda: machine.run("blockdev --getro " + disk).out.strip() == "0", 60,
                   "the stick writable again", 1)
        machine.sh("dd if=%s of=/dev/null bs=4k count=1 iflag=direct" % disk)
    finally:
        machine.unplug_stick(dev)
