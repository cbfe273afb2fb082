"""The package upgrades itself through a pushed install: a newer build of the same sources, served
by the management server, installed by the install setting while qarg is restarted under it.
dpkg ends consistent, the new qarg runs, and the task's receipt arrives once, with the install's
result."""

import os
import subprocess

import pytest

from guestlab import document
from machine import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
INSTALL = "pre_install_app/pre_install_app_list"
UPGRADE_SCRIPT = "/usr/share/vorn/scripts/software_upgrade.bash"
SERVED = "/var/lib/vorn-lab/server/files/packages/vorn-policy.deb"
QARG = "/usr/bin/qarg"
# The rebuilt binary's time stamp tells it from the installed one (both files are otherwise the
# same). Earlier, not later: Debian 13's dpkg stamps a file dated in the future with the time it
# unpacks it, and a package built minutes ago plus any margin is in the future.
EARLIER_BY_SECONDS = 3600


def _host(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=180).stdout


@pytest.fixture(scope="module")
def newer(tmp_path_factory):
    """The installed .deb again with a higher version: (path, version, qarg's mtime)."""
    old = os.environ["VORN_FIELD_DEB"]
    work = tmp_path_factory.mktemp("newer")
    tree = str(work / "tree")
    _host("dpkg-deb", "-R", old, tree)
    version = _host("dpkg-deb", "-f", old, "Version").strip() + "+field1"
    control = os.path.join(tree, "DEBIAN", "control")
    with open(control) as f:
        lines = f.read().splitlines()
    with open(control, "w") as f:
        f.write("\n".join("Version: " + version if l.startswith("Version:") else l
                          for l in lines) + "\n")
    binary = tree + QARG
    mtime = int(os.stat(binary).st_mtime) - EARLIER_BY_SECONDS
    os.utime(binary, (mtime, mtime))
    deb = str(work / ("vorn-policy_%s.deb" % version))
    _host("dpkg-deb", "-Zgzip", "-b", tree, deb)
    _host("dpkg", "--compare-versions", version, "gt",
          _host("dpkg-deb", "-f", old, "Version").strip())
    return deb, version, mtime


def running_qarg(machine):
    """qarg's unit state, main pid, and what its process runs: (readlink, inode) of its exe."""
    shown = dict(line.split("=", 1) for line in machine.sh(
        "systemctl show qarg -p ActiveState -p SubState -p MainPID").splitlines())
    pid = shown["MainPID"]
    exe = machine.run("readlink /proc/%s/exe && stat -L -c %%i /proc/%s/exe" % (pid, pid))
    return shown, exe.out.split("\n", 1)[0], exe.out.split("\n")[1:2]


def pulled_since_start(machine):
    """qarg's own pull a few seconds after its start is answered: a push meeting it would run a
    new document twice, once for the pull and once for the task."""
    return machine.run("tac /var/log/qarg/qarg.log | sed '/ready: on the system bus and "
                       "subscribed/q' | grep -q 'asyncPullPolicy --- nCode'").rc == 0


def qarg_done_receipts(lab, job):
    # A running session agent answers the same push with a receipt of its own settings.
    return [r for r in lab.receipts(job) if r[2] == 2002 and INSTALL in r[4]]


def test_upgrade_through_pushed_install(lab, machine, newer):
    deb, version, mtime = newer
    lab.labctl("mock", "SetReplyFailures", 0)
    before, _exe, before_inode = running_qarg(machine)
    assert before["ActiveState"] == "active", before
    old_version = machine.sh("dpkg-query -W -f '${Version}' vorn-policy").strip()
    assert old_version != version

    machine.put(os.path.join(HERE, "guest", "software_upgrade.bash"), UPGRADE_SCRIPT, 0o755)
    machine.put(deb, SERVED)
    wait_until(lambda: pulled_since_start(machine), 120, "qarg's pull after its start", 2)
    job = lab.push("system", document(
        ("pre_install_app", "pre_install_app_list", '[{"package_name":"vorn-policy"}]')))
    # The install restarts qarg in its middle; the new qarg sends the receipt.
    wait_until(lambda: qarg_done_receipts(lab, job), 600, "the receipt of job %d" % job, 2)

    # A later task is answered after anything still owed: the first receipt came exactly once.
    later = lab.push("system", document(("ntp", "ntpServer", "ntp.upgrade.internal")))
    lab.wait_receipt(later, contains="ntp/ntpServer")
    done = qarg_done_receipts(lab, job)
    assert len(done) == 1, done
    assert lab.results(job, contains=INSTALL)[INSTALL] == "success\n"

    # dpkg consistent, the new version configured.
    audit = machine.run("dpkg --audit", 120)
    assert (audit.rc, audit.out, audit.err) == (0, "", ""), audit
    assert machine.sh("dpkg-query -W -f '${Version} ${db:Status-Abbrev}' vorn-policy") \
        .strip() == version + " ii"

    # The running qarg is the new file, not the old one still mapped.
    after, exe, after_inode = running_qarg(machine)
    assert (after["ActiveState"], after["SubState"]) == ("active", "running"), after
    assert after["MainPID"] != before["MainPID"]
    assert exe == QARG, exe
    assert after_inode == [machine.sh("stat -c %i " + QARG).strip()]
    assert after_inode != before_inode
    assert int(machine.sh("stat -c %Y " + QARG)) == mtime

    # The install outlived the qarg it upgraded: the new one awaited it, never ran it again.
    log = lab.qarg_log()
    assert "installation started before this qarg, awaited instead of run again" in log, \
        log[-3000:]
    assert log.count("installation starts as the transient unit") == 1, log[-3000:]
    wait_until(lambda: not machine.sh("systemctl list-units --all --no-legend 'qarg-install-*'")
               .strip(), 60, "the install's transient unit to be gone", 1)
    assert machine.sh("ls -A /var/lib/qarg/installs 2>/dev/null || true").strip() == ""
