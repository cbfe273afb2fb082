"""The session agent in a real user session: alice's user manager (linger), qars started by
its unit, a pushed session document read back through dconf by gsettings as alice."""

from guestlab import document
from machine import wait_until

USER_ENV = "XDG_RUNTIME_DIR=/run/user/1000 DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/1000/bus"


def user_systemctl(machine, args, timeout=60):
    return machine.run("systemctl --user -M alice@ " + args, timeout)


def session_receipt(lab, job, key):
    """The done receipt of the session agent for job (qarg answers the same push)."""
    return wait_until(lambda: [r for r in lab.receipts(job) if r[2] == 2002 and key in r[4]],
                      240, "the session agent's receipt of job %d" % job, 2)[0]


def test_session_agent_applies_the_screen_saver_delay(lab, machine):
    # The client key as dist/README.md says: readable by the desktop users' agents.
    machine.sh("chmod 0644 /etc/vorn/.IRO_Vorn.key")
    machine.sh("loginctl enable-linger alice")
    wait_until(lambda: machine.run("systemctl is-active user@1000.service").out.strip()
               == "active", 120, "alice's user manager", 2)
    # The guest has no display server: Qt draws nothing, offscreen, as a desktop would import
    # its DISPLAY into the user manager.
    user_systemctl(machine, "set-environment QT_QPA_PLATFORM=offscreen")
    r = user_systemctl(machine, "restart lumo-session", 120)
    assert r.rc == 0, r
    wait_until(lambda: user_systemctl(machine, "is-active lumo-session").out.strip() == "active",
               60, "lumo-session active", 2)
    pid = user_systemctl(machine, "show lumo-session -p MainPID --value").out.strip()
    assert machine.sh("ps -o user=,comm= -p " + pid).split() == ["alice", "qars"]

    job = lab.push("session", document(("screen_saver", "screen_saver_time_out", "10")))
    receipt = session_receipt(lab, job, "screen_saver/screen_saver_time_out")
    assert "success" in receipt[4], receipt
    delay = machine.sh("env %s gsettings get org.gnome.desktop.session idle-delay" % USER_ENV,
                       user="alice")
    assert delay.strip() == "uint32 600"
    # Written through dconf, in alice's own database.
    assert "idle-delay=uint32 600" in machine.sh(
        "env %s dconf dump /org/gnome/desktop/session/" % USER_ENV, user="alice")
