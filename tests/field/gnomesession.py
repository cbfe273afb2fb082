"""A GNOME session in the guest, driven from the host: GDM logs alice in on Wayland, the session
starts the session agent, and the test looks at the session as alice and at the screen.

    s = GnomeSession(lab, keep_dir); s.start()        # after lab.install(): graphical.target
    s.gsettings("org.gnome.desktop.session", "idle-delay")   # as alice, on her session bus
    s.user_systemctl("show lumo-session -p NRestarts --value")
    p = s.settled_picture(); s.keep(p, "before")        # the screen, kept as PNG
"""

import os
import time

from machine import shell_quote, wait_until
from picture import Picture

USER, UID = "alice", 1000
USER_ENV = ("XDG_RUNTIME_DIR=/run/user/%d DBUS_SESSION_BUS_ADDRESS=unix:path=/run/user/%d/bus"
            % (UID, UID))
AGENT = "lumo-session"
HERE = os.path.dirname(os.path.abspath(__file__))
# The test wallpaper, one colour (a PNG: Debian's own pictures need a loader GNOME lacks here),
# and the document's name for it on the management server in the guest.
WALLPAPER = os.path.join(HERE, "gnome", "wallpaper.png")
WALLPAPER_COLOUR = (214, 40, 160)
WALLPAPER_NAME = "images/field-gnome.png"
SERVER_FILES = "/var/lib/vorn-lab/server/files/"


class GnomeSession:
    def __init__(self, lab, keep_dir):
        self.lab = lab
        self.m = lab.m
        self.keep_dir = keep_dir
        self.times = {}
        self._dumps = 0

    def mark(self, what, since):
        self.times[what] = time.monotonic() - since
        with open(os.path.join(self.keep_dir, "times.txt"), "a") as f:
            f.write("%-40s %6.1f s\n" % (what, self.times[what]))

    # The session ----------------------------------------------------------------------------

    def start(self, timeout=480):
        """graphical.target, then GDM's automatic login: until the agent runs in the session."""
        # gnome-settings-daemon's USB protection crashes and restarts every few seconds without
        # its backend (none in the guest), taking CPU time the session needs under emulation.
        self.m.sh("ln -sf /dev/null /etc/systemd/user/"
                  "org.gnome.SettingsDaemon.UsbProtection.service")
        # The whole session starts at once, and under emulation that is many times slower than
        # on hardware: the agent may take longer than the manager's default 90 s to be ready,
        # which would count as a failed start. A crash still counts.
        self.m.put(b"[Service]\nTimeoutStartSec=300\n",
                   "/etc/systemd/user/%s.service.d/field-lab.conf" % AGENT)
        start = time.monotonic()
        self.m.sh("systemctl start --no-block graphical.target")
        session = wait_until(self.wayland_session, timeout, "alice's Wayland session", 2)
        self.mark("graphical.target to logind session", start)
        wait_until(lambda: self.user_systemctl("is-active graphical-session.target").out.strip()
                   == "active", timeout, "alice's graphical-session.target", 2)
        self.mark("graphical.target to graphical-session", start)
        wait_until(lambda: self.user_systemctl("is-active " + AGENT).out.strip() == "active",
                   timeout, "the session agent (%s) active in the session" % AGENT, 2)
        self.mark("graphical.target to session agent ready", start)
        show = self.user_systemctl("show %s -p ExecMainStartTimestampMonotonic "
                                   "-p ActiveEnterTimestampMonotonic" % AGENT).out
        stamps = dict(line.split("=", 1) for line in show.split() if "=" in line)
        try:
            took = (int(stamps["ActiveEnterTimestampMonotonic"])
                    - int(stamps["ExecMainStartTimestampMonotonic"])) / 1e6
            with open(os.path.join(self.keep_dir, "times.txt"), "a") as f:
                f.write("%-40s %6.1f s\n" % ("session agent start to ready", took))
        except (KeyError, ValueError):
            pass
        return session

    def wayland_session(self):
        """alice's logind session id once it is a Wayland one, else None."""
        sid = self.m.run("loginctl show-user %s -p Display --value" % USER, 30).out.strip()
        if not sid:
            return None
        kind = self.m.run("loginctl show-session %s -p Type --value" % shell_quote(sid),
                          30).out.strip()
        return sid if kind == "wayland" else None

    def agent_journal(self):
        """This boot's lines of the session agent and of alice's manager about its unit."""
        return self.m.run("journalctl -b --no-pager -o short-monotonic "
                          "_UID=%d _SYSTEMD_USER_UNIT=%s.service + _UID=%d USER_UNIT=%s.service"
                          % (UID, AGENT, UID, AGENT), 60).out

    def user_systemctl(self, args, timeout=60):
        return self.m.run("systemctl --user -M %s@ %s" % (USER, args), timeout)

    def as_user(self, command, timeout=60):
        """A command as alice with her session's bus and runtime directory; its stdout."""
        return self.m.sh("env %s %s" % (USER_ENV, command), timeout, user=USER)

    def gsettings(self, schema, key):
        return self.as_user("gsettings get %s %s" % (schema, key)).strip()

    def serve_test_wallpaper(self):
        self.m.put(WALLPAPER, SERVER_FILES + WALLPAPER_NAME)
        return WALLPAPER_NAME

    # The screen ------------------------------------------------------------------------------

    def picture(self):
        self._dumps += 1
        path = os.path.join(self.m.workdir, "screen-%d.ppm" % self._dumps)
        try:
            return Picture.read_ppm(self.m.screendump(path))
        finally:
            if os.path.exists(path):
                os.remove(path)

    def settled_picture(self, timeout=120, interval=1.5):
        """The screen once two pictures in a row are the same (no animation running)."""
        last = [None]

        def settled():
            now = self.picture()
            same = last[0] is not None and now.changed_share(last[0], 0) == 0
            last[0] = now
            return now if same else None
        return wait_until(settled, timeout, "the screen to settle", interval)

    def overview_active(self):
        out = self.as_user("gdbus call --session -d org.gnome.Shell -o /org/gnome/Shell -m "
                           "org.freedesktop.DBus.Properties.Get org.gnome.Shell OverviewActive")
        return "true" in out

    def desktop_picture(self, timeout=180):
        """The settled screen with the Overview closed. GNOME opens it after login, maybe only
        once the session looks ready: Escape whenever it is open, until it stays closed."""
        def desktop():
            if self.overview_active():
                self.m.send_key("esc")
                return None
            picture = self.settled_picture()
            return None if self.overview_active() else picture
        return wait_until(desktop, timeout, "the desktop without the Overview", 1)

    def keep(self, picture, name):
        """Keeps a picture of the run as NAME.png in the kept directory; its path."""
        return picture.write_png(os.path.join(self.keep_dir, name + ".png"))
