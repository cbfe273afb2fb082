#!/usr/bin/python3
"""Sandbox directory in which qarg and qars run (VORN_SYSROOT and the users' homes).

    sandbox = make_sandbox(directory, server_port=8443, certs=certs.make_certs(...))

Layout below `directory`:
  sysroot/                          VORN_SYSROOT of the programs
    etc/vorn/userinfo.json          {"server_host":"127.0.0.1","server_port":"<port>","pc_enabled":1}
    etc/vorn/config.ini             [config] NTPServer=..., ControlCenterList=...
    etc/vorn/clientapi_ca.crt       lab CA
    etc/vorn/IRO_Vorn.pem           client certificate
    etc/vorn/.IRO_Vorn.key          client key (0600)
    etc/passwd                      root, three local users, one nologin, one directory user
    usr/share/vorn/machine.txt, usr/share/vorn/appblacklist.txt
    usr/share/vorn/scripts/software_upgrade.bash   prints its arguments
    run/systemd/sessions/           logind session files (add_session_file)
    sys/bus/usb/drivers/usb/bind, unbind          plain files that collect the writes
    var/log/qarg/, var/lib/qarg/, var/lib/vorn-xwe/, root/.cache/
    home/<user>/                    per-user home with .cache .config .local/share .local/state
  tmp/                              TMPDIR of the programs
  run-user/<uid>/                   XDG_RUNTIME_DIR of the session agent
  logs/                             program output, mock logs, stub log
"""

import json
import os
import shutil

MACHINE_ID = "lab-machine-0001"
NTP_SERVER = "ntp.backup.lab.internal"
CONTROL_CENTRE = ["display", "network", "sound", "power", "datetime", "update", "accounts"]
APP_BLACKLIST = "game-mines,torrent-client"

# (name, uid, gid, home, shell)
USERS = (
    ("root", 0, 0, "/root", "/bin/bash"),
    ("alice", 1000, 1000, "/home/alice", "/bin/bash"),
    ("bob", 1001, 1001, "/home/bob", "/bin/bash"),
    ("carol", 1002, 1002, "/home/carol", "/bin/bash"),
    ("backupsvc", 998, 998, "/var/lib/backupsvc", "/usr/sbin/nologin"),
    ("dave", 10001, 10001, "/home/dave", "/bin/bash"),
)

UPGRADE_SCRIPT = """#!/bin/bash
# Lab stand-in for the package upgrade script: installs nothing, says what it was asked.
echo "software_upgrade.bash $*"
"""


def _write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)


def _copy(src, dst, mode):
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    shutil.copyfile(src, dst)
    os.chmod(dst, mode)


class Sandbox:
    """Paths of one sandbox and the environment its programs get."""

    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        self.sysroot = os.path.join(self.dir, "sysroot")
        self.tmp = os.path.join(self.dir, "tmp")
        self.logs = os.path.join(self.dir, "logs")

    def path(self, absolute):
        """A fixed absolute path of the programs, below the sysroot."""
        return os.path.join(self.sysroot, absolute.lstrip("/"))

    def home(self, user="alice"):
        for name, _uid, _gid, home, _shell in USERS:
            if name == user:
                return self.path(home)
        return self.path("/home/" + user)

    def uid(self, user):
        for name, uid, _gid, _home, _shell in USERS:
            if name == user:
                return uid
        raise KeyError(user)

    def runtime_dir(self, user):
        path = os.path.join(self.dir, "run-user", str(self.uid(user)))
        os.makedirs(path, mode=0o700, exist_ok=True)
        os.chmod(path, 0o700)
        return path

    def env(self, user="root"):
        """Environment of a program run in this sandbox as `user` (qarg: root, qars: a user)."""
        home = self.home(user)
        return {
            "VORN_SYSROOT": self.sysroot,
            "HOME": home,
            "USER": user,
            "LOGNAME": user,
            "XDG_CACHE_HOME": os.path.join(home, ".cache"),
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "XDG_STATE_HOME": os.path.join(home, ".local", "state"),
            "XDG_RUNTIME_DIR": self.runtime_dir(user),
            "TMPDIR": self.tmp,
            "QT_QPA_PLATFORM": "offscreen",
        }

    # State the adaption library keeps for the programs.
    def system_state_path(self):
        return self.path("/var/lib/vorn-xwe/system.json")

    def session_state_path(self, user="alice"):
        return os.path.join(self.home(user), ".local", "state", "vorn-xwe", "session.json")

    def read_json(self, path, default=None):
        try:
            with open(path, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return default

    def write_userinfo(self, server_port, server_host="127.0.0.1", pc_enabled=1, **extra):
        info = {"server_host": server_host, "server_port": str(server_port),
                "pc_enabled": pc_enabled}
        info.update(extra)
        _write(self.path("/etc/vorn/userinfo.json"), json.dumps(info, indent=4) + "\n")

    def write_config_ini(self, ntp_server=NTP_SERVER, control_centre=CONTROL_CENTRE):
        # Qt's INI format writes a string list as comma-separated values.
        _write(self.path("/etc/vorn/config.ini"),
               "[config]\nNTPServer=%s\nControlCenterList=%s\n"
               % (ntp_server, ", ".join(control_centre)))

    def add_session_file(self, session_id, uid, service="sshd", **fields):
        """A logind session file as "/run/systemd/sessions/<id>" holds it."""
        lines = ["# This is private data. Do not parse.", "UID=%d" % uid, "SERVICE=%s" % service]
        lines += ["%s=%s" % (k, v) for k, v in fields.items()]
        _write(self.path("/run/systemd/sessions/%s" % session_id), "\n".join(lines) + "\n")

    def usb_driver_writes(self, which="unbind"):
        """What was written into the USB driver's bind or unbind file, NUL padding removed."""
        try:
            with open(self.path("/sys/bus/usb/drivers/usb/" + which), "rb") as f:
                data = f.read()
        except OSError:
            return b""
        return data.rstrip(b"\0")


def make_sandbox(directory, server_port, certs, machine_id=MACHINE_ID, pc_enabled=1,
                 app_blacklist=APP_BLACKLIST):
    """Creates the sandbox in `directory` (kept if it exists) and returns a Sandbox."""
    sb = Sandbox(directory)
    for d in (sb.tmp, sb.logs):
        os.makedirs(d, exist_ok=True)
    sb.write_userinfo(server_port, pc_enabled=pc_enabled)
    sb.write_config_ini()
    _write(sb.path("/usr/share/vorn/machine.txt"), machine_id + "\n")
    _write(sb.path("/usr/share/vorn/appblacklist.txt"), app_blacklist)
    _copy(certs["ca.crt"], sb.path("/etc/vorn/clientapi_ca.crt"), 0o644)
    _copy(certs["client.crt"], sb.path("/etc/vorn/IRO_Vorn.pem"), 0o644)
    _copy(certs["client.key"], sb.path("/etc/vorn/.IRO_Vorn.key"), 0o600)
    _write(sb.path("/usr/share/vorn/scripts/software_upgrade.bash"), UPGRADE_SCRIPT, 0o755)

    passwd = "".join("%s:x:%d:%d:%s:%s:%s\n" % (name, uid, gid, name, home, shell)
                     for name, uid, gid, home, shell in USERS)
    _write(sb.path("/etc/passwd"), passwd)
    _write(sb.path("/etc/group"), "".join("%s:x:%d:\n" % (name, gid)
                                          for name, _uid, gid, _home, _shell in USERS))

    for d in ("/run/systemd/sessions", "/var/log/qarg", "/var/lib/qarg", "/var/lib/vorn-xwe",
              "/root/.cache", "/sys/bus/usb/drivers/usb"):
        os.makedirs(sb.path(d), exist_ok=True)
    for name in ("bind", "unbind"):
        p = sb.path("/sys/bus/usb/drivers/usb/" + name)
        if not os.path.exists(p):
            _write(p, "", 0o644)

    for name, _uid, _gid, home, shell in USERS:
        if shell.endswith("nologin"):
            continue
        h = sb.path(home)
        for sub in (".cache", ".config", os.path.join(".local", "share"),
                    os.path.join(".local", "state")):
            os.makedirs(os.path.join(h, sub), exist_ok=True)
    return sb


if __name__ == "__main__":
    import sys
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import certs as lab_certs  # pylint: disable=import-outside-toplevel
    if len(sys.argv) != 3:
        sys.stderr.write("usage: sandbox.py DIRECTORY SERVER_PORT\n")
        sys.exit(2)
    target = os.path.abspath(sys.argv[1])
    box = make_sandbox(target, int(sys.argv[2]), lab_certs.make_certs(os.path.join(target, "certs")))
    print(box.sysroot)
