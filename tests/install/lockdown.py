#!/usr/bin/python3
"""Locks this machine down through the installed qarg, as a server's policy would, so that the
package's removal can be seen to give the machine back.

    /usr/bin/python3 tests/install/lockdown.py PACKAGE

Runs /usr/bin/qarg with the linux settings backend and no sysroot, on a private system bus
with the simulated core client service, against the lab management server. The policy refuses
local logins, blacklists PACKAGE, makes USB storage read-only and optical drives unusable and
sets a time server. The enrolment files the core client service would write (/etc/vorn,
/usr/share/vorn) are written for the run and removed after it. Prints one line per check and
"lockdown: N passed, N failed"; exit status 0 when all passed, 2 when this machine must not be
locked down: it is enrolled (/etc/vorn exists) or logind lists sessions (the login limit would
end local users' SSH sessions).
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tools", "lab"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import certs as lab_certs  # noqa: E402  pylint: disable=wrong-import-position
import harness  # noqa: E402  pylint: disable=wrong-import-position
from roundtrip import Checks, replies, wait_subscribed  # noqa: E402  pylint: disable=wrong-import-position

JOB, TASK = 6301, 6402
CLIENT_FILES = ("/etc/vorn", "/usr/share/vorn")
LOCKED = {
    "pam profile": "/usr/share/pam-configs/vorn-xwe-login-limit",
    "USB storage rules": "/etc/udev/rules.d/70-vorn-xwe-usb-storage.rules",
    "optical drive rules": "/etc/udev/rules.d/70-vorn-xwe-optical.rules",
    "time server drop-in": "/etc/systemd/timesyncd.conf.d/90-vorn-xwe.conf",
}


def policy(package):
    settings = [("login_limit", "local_login_limit", "0"),
                ("pre_blacklist_app", "pre_blacklist_app_list", json.dumps([{"package_name": package}])),
                ("usb", "usb_store_device", "1"),
                ("disk_manage", "disk_rw", "0"),
                ("ntp", "ntpServer", "time.lockdown.example")]
    return {"policys": [{"policy_key": k, "configs": [{"config_key": c, "config_value": v}]}
                        for k, c, v in settings]}


def enrol(certs, port):
    """The files the core client service writes at enrolment, on this machine itself."""
    os.makedirs("/etc/vorn", mode=0o755)
    os.makedirs("/usr/share/vorn", mode=0o755, exist_ok=True)
    with open("/etc/vorn/userinfo.json", "w", encoding="utf-8") as f:
        json.dump({"server_host": "127.0.0.1", "server_port": str(port), "pc_enabled": 1}, f)
    with open("/usr/share/vorn/machine.txt", "w", encoding="utf-8") as f:
        f.write("lockdown-machine-0001\n")
    shutil.copy(certs["ca.crt"], "/etc/vorn/clientapi_ca.crt")
    shutil.copy(certs["client.crt"], "/etc/vorn/IRO_Vorn.pem")
    shutil.copy(certs["client.key"], "/etc/vorn/.IRO_Vorn.key")
    os.chmod("/etc/vorn/.IRO_Vorn.key", 0o600)


def unenrol():
    # qarg's own files there (its policy document) are the package's purge to remove.
    for name in ("userinfo.json", "clientapi_ca.crt", "IRO_Vorn.pem", ".IRO_Vorn.key"):
        if os.path.exists("/etc/vorn/" + name):
            os.remove("/etc/vorn/" + name)
    shutil.rmtree("/usr/share/vorn", ignore_errors=True)


def check_locked(checks, package):
    for what, path in LOCKED.items():
        checks.check(what + " written", os.path.exists(path))
    with open("/etc/pam.d/common-account", encoding="utf-8") as f:
        checks.check("PAM account stack refuses local accounts", "pam_localuser.so" in f.read())
    program = blacklisted_program(package)
    listed = subprocess.run(["dpkg-statoverride", "--list", program], capture_output=True,
                            text=True, check=False).stdout
    checks.check("%s locked by a statoverride" % program, " 700 " in listed, listed)


def blacklisted_program(package):
    files = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True,
                           check=True).stdout.split()
    return next(f for f in files if f.startswith("/usr/bin/") and os.path.isfile(f))


def lock_down(checks, package, workdir):
    started = []
    try:
        certs = lab_certs.make_certs(os.path.join(workdir, "certs"))
        logs = os.path.join(workdir, "logs")
        os.makedirs(logs)
        bus = harness.SystemBus(os.path.join(workdir, "bus")).start()
        started.append(bus)
        server = harness.LabServer(os.path.join(workdir, "server"),
                                   os.path.dirname(certs["ca.crt"]), logs)
        server.start()
        started.append(server)
        server.set_policy("system", policy(package))
        vorng = harness.VorngMock(bus, logs, {"ServerPort": server.port})
        vorng.start()
        started.append(vorng)
        enrol(certs, server.port)
        env = harness.clean_env()
        env.update(bus.client_env())
        env["VORN_XWE_BACKEND"] = "linux"
        prog = harness.Child("qarg", ["/usr/bin/qarg"], env, os.path.join(logs, "qarg.out"), cwd=workdir)
        prog.spawn()
        started.append(prog)
        wait_subscribed(vorng, prog)
        vorng.emit_server_msg(1100, {"job_id": JOB, "task_id": TASK})
        harness.wait_until(lambda: [c for c in replies(vorng, JOB) if c[2] == 2002], 60,
                           what="the lockdown's receipt")
        checks.check("qarg stops on SIGTERM", prog.stop(5) == 0)
        check_locked(checks, package)
    except (RuntimeError, TimeoutError, OSError, subprocess.CalledProcessError) as error:
        checks.check("lockdown", False, str(error))
        for child in started:
            if isinstance(child, harness.Child) and child.name == "qarg":
                print("\n".join(harness.tail(child.output_path, 40)))
    finally:
        for child in reversed(started):
            child.stop()
        unenrol()


def main():
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        return 1
    sessions = "/run/systemd/sessions"
    if any(os.path.exists(p) for p in CLIENT_FILES) or (os.path.isdir(sessions) and os.listdir(sessions)):
        print("lockdown: not on this machine (enrolled, or logind lists sessions)")
        return 2
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="vorn-lockdown-") as workdir:
        lock_down(checks, sys.argv[1], workdir)
    print("lockdown: %d passed, %d failed" % (checks.passed, checks.failed))
    return 0 if checks.failed == 0 and checks.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
