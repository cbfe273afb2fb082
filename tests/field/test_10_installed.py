"""Installed with apt and running under the shipped unit, its sandbox in force."""

import re


def test_qarg_active_under_the_shipped_unit(machine):
    assert machine.sh("systemctl is-active qarg").strip() == "active"
    assert machine.sh("systemctl is-enabled qarg").strip() == "enabled"
    shown = dict(line.split("=", 1) for line in machine.sh(
        "systemctl show qarg -p FragmentPath -p DropInPaths -p NoNewPrivileges -p PrivateTmp "
        "-p ProtectControlGroups -p RestrictNamespaces -p LockPersonality "
        "-p SystemCallArchitectures -p NRestarts").splitlines())
    assert shown["FragmentPath"] in ("/lib/systemd/system/qarg.service",
                                     "/usr/lib/systemd/system/qarg.service")
    assert shown["DropInPaths"] == ""
    for key in ("NoNewPrivileges", "PrivateTmp", "ProtectControlGroups", "RestrictNamespaces",
                "LockPersonality"):
        assert shown[key] == "yes", key
    assert shown["NRestarts"] == "0"


def test_sandbox_in_force_on_the_running_process(machine):
    pid = machine.sh("systemctl show qarg -p MainPID --value").strip()
    status = machine.sh("cat /proc/%s/status" % pid)
    fields = dict(re.findall(r"^(\w+):\s*(.*)$", status, re.M))
    assert fields["NoNewPrivs"] == "1"
    assert fields["Seccomp"] == "2"  # the system call filter
    bounding = int(fields["CapBnd"], 16)
    for cap in (19, 25, 22):  # CAP_SYS_PTRACE, CAP_SYS_TIME, CAP_SYS_BOOT are taken away
        assert not bounding & (1 << cap), cap
    assert bounding & (1 << 12)  # CAP_NET_ADMIN stays, for firewall commands
    # PrivateTmp: qarg has a mount namespace (and /tmp) of its own.
    assert machine.sh("readlink /proc/%s/ns/mnt" % pid) != machine.sh("readlink /proc/1/ns/mnt")


def test_log_modes(machine):
    assert machine.sh("stat -c '%a %U %G' /var/log/qarg").strip() == "750 root adm"
    assert machine.sh("stat -c '%a %U %G' /var/log/qarg/qarg.log").strip() == "640 root adm"
    assert machine.sh("stat -c '%a %U %G' /var/lib/qarg").strip() == "700 root root"
    # A local user can read neither the log nor the directory.
    r = machine.run("cat /var/log/qarg/qarg.log", user="alice")
    assert r.rc != 0 and "Permission denied" in r.err


def test_lumoctl_status(machine):
    out = machine.sh("lumoctl status")
    assert "field-machine-0001" in out
    assert "127.0.0.1" in out and "8443" in out
    assert "linux" in out


def test_depends_on_the_guest_release_own_package_names(machine):
    """Each dependency is installed under its own name: a build for another release may name
    libraries that this release renamed (64-bit time) and only provides under the old name."""
    depends = machine.sh("dpkg-query -W -f '${Depends}' vorn-policy")
    names = sorted({re.sub(r"\s*\(.*|:any", "", d.split("|")[0]).strip()
                    for d in depends.split(",")})
    assert "dbus" in names and any(n.startswith("libqt5core5") for n in names), names
    statuses = machine.sh(
        "for p in %s; do printf '%%s %%s\\n' \"$p\" \"$(dpkg-query -W -f '${db:Status-Abbrev}' "
        "\"$p\" 2>/dev/null)\"; done" % " ".join(names))
    assert [line.split()[0] for line in statuses.splitlines()
            if line.split()[1:] != ["ii"]] == [], statuses
