#!/usr/bin/python3
"""Recording stand-in for the system tools the programs run.

Installed under the tool's name (systemctl, loginctl, udevadm, lsblk, blkid, sudo, find are
links to this file); tests put this directory first on PATH.

Every call appends one JSON line to $VORN_STUB_LOG (when set):
    {"time": 1700000000.1, "pid": 123, "argv": ["systemctl", "stop", "ssh"],
     "env": {"LC_ALL": "C", "LANG": null, ...}, "cwd": "/..."}

What the call prints and returns comes from $VORN_STUB_CONFIG (a JSON object, optional).
Keys are a command followed by any number of its leading arguments, separated by single
blanks; the longest key that is a prefix of the call's words wins. Values:
    {"stdout": "text", "stderr": "text", "exit": 0, "delay": 0.0, "passthrough": false}
"delay" sleeps that many seconds first; "passthrough": true runs the real tool found on PATH
after this directory. Example:
    {"loginctl terminate-session": {"exit": 1, "stderr": "no such session"},
     "lsblk": {"stdout": "NAME TRAN\\nsdb usb\\n"}}
Without a matching key the call prints nothing and exits 0, except sudo, which then runs the
rest of its arguments (after its own options) through PATH, so "sudo blkid ..." reaches the
blkid stand-in.
"""

import fcntl
import json
import os
import sys
import time

ENV_KEYS = ("LC_ALL", "LANG", "LANGUAGE", "PATH", "HOME", "USER", "VORN_SYSROOT",
            "DBUS_SYSTEM_BUS_ADDRESS")

# sudo options that take a value in the next argument.
SUDO_VALUE_OPTIONS = {"-u", "-g", "-C", "-D", "-h", "-p", "-r", "-t", "-U", "-T"}


def log_call(argv):
    path = os.environ.get("VORN_STUB_LOG")
    if not path:
        return
    record = {
        "time": time.time(),
        "pid": os.getpid(),
        "argv": argv,
        "env": {k: os.environ.get(k) for k in ENV_KEYS},
        "cwd": os.getcwd(),
    }
    data = (json.dumps(record, ensure_ascii=False) + "\n").encode("utf-8")
    fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        os.write(fd, data)
    finally:
        os.close(fd)


def find_rule(argv):
    path = os.environ.get("VORN_STUB_CONFIG")
    if not path or not os.path.isfile(path):
        return None
    try:
        with open(path, encoding="utf-8") as f:
            config = json.load(f)
    except (OSError, ValueError) as e:
        sys.stderr.write("stub: unreadable config %s: %s\n" % (path, e))
        return None
    if not isinstance(config, dict):
        return None
    best, best_len = None, -1
    for key, rule in config.items():
        words = key.split(" ")
        if len(words) > best_len and argv[:len(words)] == words and isinstance(rule, dict):
            best, best_len = rule, len(words)
    return best


def real_path_without_stubs():
    here = os.path.dirname(os.path.realpath(__file__))
    dirs = [d for d in os.environ.get("PATH", "").split(os.pathsep)
            if d and os.path.realpath(d) != here]
    return os.pathsep.join(dirs)


def exec_real(argv):
    env = dict(os.environ)
    env["PATH"] = real_path_without_stubs()
    try:
        os.execvpe(argv[0], argv, env)
    except OSError as e:
        sys.stderr.write("stub: cannot run %s: %s\n" % (argv[0], e))
        return 127
    return 127  # not reached


def sudo_command(args):
    i = 0
    while i < len(args) and args[i].startswith("-"):
        if args[i] == "--":
            i += 1
            break
        if args[i] in SUDO_VALUE_OPTIONS:
            i += 1
        i += 1
    return args[i:]


def main():
    name = os.path.basename(sys.argv[0])
    argv = [name] + sys.argv[1:]
    log_call(argv)

    rule = find_rule(argv)
    if rule is None and name == "sudo":
        command = sudo_command(sys.argv[1:])
        if not command:
            sys.stderr.write("usage: sudo command\n")
            return 1
        try:
            os.execvp(command[0], command)
        except OSError as e:
            sys.stderr.write("sudo: %s: %s\n" % (command[0], e))
            return 127
    if rule is None:
        return 0

    delay = float(rule.get("delay", 0) or 0)
    if delay > 0:
        time.sleep(delay)
    if rule.get("passthrough"):
        return exec_real(argv)
    sys.stdout.write(str(rule.get("stdout", "")))
    sys.stdout.flush()
    sys.stderr.write(str(rule.get("stderr", "")))
    sys.stderr.flush()
    return int(rule.get("exit", 0))


if __name__ == "__main__":
    sys.exit(main())
