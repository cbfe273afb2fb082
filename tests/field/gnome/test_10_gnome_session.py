"""The session agent in a real GNOME session: GDM logs alice in on Wayland, and the session
itself starts lumo-session once its display is there; it never restarts for want of one."""

from gnomesession import AGENT, USER


def test_the_session_starts_the_agent_with_its_display(gnome):
    m = gnome.m
    sid = gnome.wayland_session()
    assert sid, "alice has no Wayland session"
    assert m.sh("loginctl show-session %s -p Class --value" % sid).strip() == "user"
    # Software rendering: the virtual GPU has no 3D (no virgl), so Mesa draws on the CPU.
    assert "-virgl" in m.sh("dmesg | grep 'virtio_gpu\\|features:' || true")
    assert m.sh("pgrep -u %s -x gnome-shell" % USER).split()

    pid = gnome.user_systemctl("show %s -p MainPID --value" % AGENT).out.strip()
    assert m.sh("ps -o user=,comm= -p " + pid).split() == [USER, "qars"]
    # Started by the session's target, with the session's environment already imported.
    environ = dict(item.split("=", 1) for item in
                   m.sh("tr '\\0' '\\n' </proc/%s/environ" % pid).splitlines() if "=" in item)
    assert environ.get("WAYLAND_DISPLAY") and environ.get("DISPLAY"), environ
    journal = gnome.agent_journal()
    starts = [line for line in journal.splitlines()
              if "systemd[" in line or "Strategy Processing test main" in line]
    assert gnome.user_systemctl("show %s -p NRestarts --value" % AGENT).out.strip() == "0", \
        "\n".join(starts[-40:])
    # One start of the agent in this boot, and nothing of a missing display.
    assert journal.count("Strategy Processing test main") == 1, journal[-3000:]
    for sign in ("Scheduled restart", "Failed with result", "could not connect to display",
                 "Aborted"):
        assert sign not in journal, journal[-3000:]
