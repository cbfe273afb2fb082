#!/usr/bin/python3
"""The installed /usr/bin/qarg against the lab: one pushed policy update, end to end.

    /usr/bin/python3 tests/install/roundtrip.py [--binary /usr/bin/qarg]

Runs the program as the package installed it (no LD_LIBRARY_PATH: its RUNPATH must find the
platform libraries in their private directory) in a sandbox sysroot, on a private system bus
with the simulated core client service, against the lab management server, with the store
settings backend so that this machine's own settings stay as they are. Prints one line per
check and a closing "roundtrip: N passed, N failed"; exit status 0 when all passed.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tools", "lab"))

import certs as lab_certs  # noqa: E402  pylint: disable=wrong-import-position
import harness  # noqa: E402  pylint: disable=wrong-import-position
import sandbox as lab_sandbox  # noqa: E402  pylint: disable=wrong-import-position

PRIVATE_LIBS = ("libtarnhttp.so.1", "liblibvorn-xwe.so", "libzokcore.so.5")
JOB, TASK = 6101, 6202
POLICY = {"policys": [{"policy_key": "ntp", "configs": [
    {"config_key": "ntpServer", "config_value": "time.install.example"}]}]}


class InstalledProgram(harness.Program):
    """harness.Program with the installed binary and no build directory libraries."""

    def __init__(self, binary, sandbox, bus, stubs):
        super().__init__(os.path.dirname(binary), "qarg", sandbox, bus, stubs)
        self.argv = [binary]
        self.env.pop("LD_LIBRARY_PATH", None)


class Checks:
    def __init__(self):
        self.passed = self.failed = 0

    def check(self, what, ok, detail=""):
        print("%s %s%s" % ("ok    " if ok else "FAILED", what, (": " + detail) if detail and
                           not ok else ""))
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok


def check_libraries(checks, binary):
    out = subprocess.run(["ldd", binary], capture_output=True, text=True, check=False).stdout
    for lib in PRIVATE_LIBS:
        line = next((l for l in out.splitlines() if l.strip().startswith(lib + " ")), "")
        where = line.split("=>")[-1].strip().split(" ")[0] if "=>" in line else ""
        checks.check("%s found in the private directory" % lib,
                     "/vorn-policy/" in where and os.path.exists(where), line or out)


def replies(vorng, job):
    return [c for c in vorng.calls("ReplyTaskResult") if c[0] == job]


def wait_subscribed(lab_vorng, prog):
    """Until qarg answers a push it must refuse: then it hears the service's signals."""
    probe = [900100]

    def answered():
        if not prog.alive():
            raise RuntimeError("qarg ended early:\n" + prog.output()[-3000:])
        probe[0] += 1
        lab_vorng.emit_server_msg(2000, {"job_id": probe[0], "task_id": 1, "action": "probe"})
        try:
            return harness.wait_until(lambda: replies(lab_vorng, probe[0]), 0.5)
        except TimeoutError:
            return False
    harness.wait_until(answered, 30, 0.01, "qarg to answer a push")


def round_trip(checks, binary, workdir):
    started = []
    try:
        certs = lab_certs.make_certs(os.path.join(workdir, "certs"))
        logs = os.path.join(workdir, "sandbox", "logs")
        os.makedirs(logs, exist_ok=True)
        bus = harness.SystemBus(os.path.join(workdir, "bus")).start()
        started.append(bus)
        server = harness.LabServer(os.path.join(workdir, "server"),
                                   os.path.dirname(certs["ca.crt"]), logs)
        server.start()
        started.append(server)
        server.set_policy("system", POLICY)
        box = lab_sandbox.make_sandbox(os.path.join(workdir, "sandbox"), server.port, certs)
        vorng = harness.VorngMock(bus, logs, {"ServerPort": server.port})
        vorng.start()
        started.append(vorng)
        logind = harness.LogindMock(bus, logs)
        logind.start()
        started.append(logind)

        prog = InstalledProgram(binary, box, bus, harness.Stubs(logs))
        prog.start()
        started.append(prog)
        wait_subscribed(vorng, prog)
        vorng.emit_server_msg(1100, {"job_id": JOB, "task_id": TASK})
        answers = harness.wait_until(lambda: len(replies(vorng, JOB)) >= 2
                                     and replies(vorng, JOB), 20, what="the task receipt")
        checks.check("task received", answers[0] == (JOB, TASK, 2001, "", "receive success"),
                     repr(answers[0]))
        done = answers[1]
        checks.check("task done with the setting's result",
                     done[:4] == (JOB, TASK, 2002, "")
                     and json.loads(done[4]) == [{"ntp/ntpServer": "setNTPServer success"}],
                     repr(done))
        state = box.read_json(box.system_state_path(), {})
        checks.check("setting recorded by the store backend",
                     state.get("SetNTPServer") == "time.install.example", repr(state))
        checks.check("log written in the sandbox",
                     os.path.getsize(box.path("/var/log/qarg/qarg.log")) > 0)
        status = prog.stop(5)
        checks.check("qarg stops on SIGTERM", status == 0, "status %r" % status)
    except (RuntimeError, TimeoutError, OSError) as error:
        checks.check("round trip", False, str(error))
        for child in started:
            if isinstance(child, harness.Program):
                print("\n".join(harness.tail(child.output_path, 40)))
    finally:
        for child in reversed(started):
            child.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", default="/usr/bin/qarg")
    args = parser.parse_args()
    checks = Checks()
    check_libraries(checks, args.binary)
    with tempfile.TemporaryDirectory(prefix="vorn-install-") as workdir:
        round_trip(checks, args.binary, workdir)
    print("roundtrip: %d passed, %d failed" % (checks.passed, checks.failed))
    return 0 if checks.failed == 0 and checks.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
