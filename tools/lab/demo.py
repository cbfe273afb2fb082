#!/usr/bin/python3
"""The demo: qarg (and qars) in a sandbox against the lab, one pushed policy update.

    /usr/bin/python3 tools/lab/demo.py --build BUILD_DIR [--keep] [--timeout SECONDS]

Makes a sandbox in a temporary directory, starts a private system bus with the simulated core
client service and logind, the management server with the sample system and session policy,
runs build/bin/qarg (and build/bin/qars when built), pushes one policy update (ServerMsgCame
type 1100) and waits for the task receipts. Then it tells what happened and cleans up.
Exit status 0 when every started program delivered its receipt, 1 otherwise, 2 when qarg is
not built.
"""

import argparse
import json
import os
import re
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import certs as lab_certs  # noqa: E402  pylint: disable=wrong-import-position
import harness  # noqa: E402  pylint: disable=wrong-import-position
import sandbox as lab_sandbox  # noqa: E402  pylint: disable=wrong-import-position

JOB_ID = 4101
TASK_ID = 5202
USER = "alice"

# "time [level] category file:line function: message", as the programs' log files hold them.
LOG_LINE = re.compile(r"^\S+ (\S+) \[(\w+)\] \S+ \S+:\d+ .*?[)>](?: const)?: (.*)$")


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def log_message(line):
    """A log line without its source position: time, level and message."""
    m = LOG_LINE.match(line)
    return "%s %-7s %s" % m.groups() if m else line


def receipt_owner(items):
    """Which program sent a receipt, told by its setting keys."""
    keys = [k for item in items if isinstance(item, dict) for k in item]
    if any(k.startswith(("taskbar/", "wallpaper/", "power/", "shortcut/")) for k in keys):
        return "qars"
    if keys:
        return "qarg"
    return "?"


def short(text, limit=110):
    text = str(text).replace("\n", "\\n")
    return text if len(text) <= limit else text[:limit - 3] + "..."


class Demo:
    def __init__(self, build_dir, workdir, timeout):
        self.build_dir = build_dir
        self.workdir = workdir
        self.timeout = timeout
        self.children = []
        self.programs = []
        self.sandbox = None
        self.server = None
        self.vorng = None

    def _keep(self, child):
        self.children.append(child)
        return child

    def start_lab(self):
        logs = os.path.join(self.workdir, "sandbox", "logs")
        os.makedirs(logs, exist_ok=True)
        certs = lab_certs.make_certs(os.path.join(self.workdir, "certs"))
        print("certificates      %s" % os.path.dirname(certs["ca.crt"]))

        bus = self._keep(harness.SystemBus(os.path.join(self.workdir, "bus")).start())
        print("system bus        %s" % bus.address)

        self.server = self._keep(harness.LabServer(os.path.join(self.workdir, "server"),
                                                   os.path.dirname(certs["ca.crt"]), logs))
        self.server.start(system_policy=os.path.join(harness.POLICY_DIR, "system.json"),
                          session_policy=os.path.join(harness.POLICY_DIR, "session.json"),
                          whitelist=os.path.join(harness.POLICY_DIR, "whitelist.json"),
                          control_centre=os.path.join(harness.POLICY_DIR, "control_centre.json"))
        print("management server https://127.0.0.1:%d (control port %d)"
              % (self.server.port, self.server.admin_port))

        self.sandbox = lab_sandbox.make_sandbox(os.path.join(self.workdir, "sandbox"),
                                                self.server.port, certs)
        print("sandbox sysroot   %s" % self.sandbox.sysroot)

        self.vorng = self._keep(harness.VorngMock(bus, logs, {"ServerPort": self.server.port}))
        self.vorng.start()
        logind = self._keep(harness.LogindMock(bus, logs))
        logind.start()
        logind.add_session("c1", self.sandbox.uid(USER), USER, True)
        print("core client service and logind simulated on the bus (%s active)" % USER)
        self.stubs = harness.Stubs(logs)
        self.bus = bus

    def start_programs(self):
        names = ["qarg"]
        if os.access(os.path.join(self.build_dir, "bin", "qars"), os.X_OK):
            names.append("qars")
        else:
            print("qars is not built (%s): running qarg alone"
                  % os.path.join(self.build_dir, "bin", "qars"))
        for name in names:
            prog = harness.Program(self.build_dir, name, self.sandbox, self.bus, self.stubs)
            prog.start()
            self.programs.append(prog)
            self.children.append(prog)
            print("started %-10s pid %d, as %s" % (name, prog.pid, prog.user))

        # Each program reads TimeInterval once its manager is connected to the bus, after it
        # subscribed to the push signals.
        def connected():
            for prog in self.programs:
                if not prog.alive():
                    raise RuntimeError("%s ended at start-up with status %s" %
                                       (prog.name, prog.returncode()))
            log = open(self.vorng.call_log_path, encoding="utf-8", errors="replace").read()
            return log.count("vorng.TimeInterval") >= len(self.programs)
        harness.wait_until(connected, 20, 0.1, "the programs to connect to the bus")

    def push_update(self):
        payload = {"job_id": JOB_ID, "task_id": TASK_ID}
        heading("Pushing a policy update: ServerMsgCame(\"lab\", 1100, %s)" % json.dumps(payload))
        started = time.monotonic()
        self.vorng.emit_server_msg(1100, payload)

        def receipts():
            for prog in self.programs:
                if not prog.alive():
                    raise RuntimeError("%s ended with status %s while applying the policy"
                                       % (prog.name, prog.returncode()))
            found = [c for c in self.vorng.calls("ReplyTaskResult")
                     if c[0] == JOB_ID and c[1] == TASK_ID and c[2] in (2002, 2003)]
            return found if len(found) >= len(self.programs) else None
        try:
            found = harness.wait_until(receipts, self.timeout, 0.1,
                                       "%d task receipt(s)" % len(self.programs))
        except TimeoutError as e:
            print("NO RECEIPT: %s" % e)
            return False
        print("%d receipt(s) after %.2f s" % (len(found), time.monotonic() - started))
        return True

    def report(self):
        heading("Requests the management server saw")
        for r in self.server.all_log():
            if r.get("event") == "tls-error":
                print("  refused TLS handshake from %s: %s" % (r.get("peer"), r.get("reason")))
                continue
            query = r.get("query") or {}
            extra = ("  level=%s md5=%s" % (query.get("policy_level"), query.get("md5") or "-")
                     if "policy_level" in query else "")
            print("  %s %-45s %s %s%s" % (r["method"], r["path"], r["status"], r["client"], extra))

        heading("Settings applied (adaption library state)")
        system = self.sandbox.read_json(self.sandbox.system_state_path(), None)
        session = self.sandbox.read_json(self.sandbox.session_state_path(USER), None)
        for title, state in (("system", system), ("session of " + USER, session)):
            if state is None:
                print("  %s: nothing recorded" % title)
                continue
            print("  %s:" % title)
            for key in sorted(state):
                print("    %-34s %s" % (key, short(json.dumps(state[key], ensure_ascii=False), 80)))

        heading("Calls the core client service received")
        for method, args in self.vorng.all_calls():
            if method in ("SetReplyFailures", "SetReplyDelay", "SetTimeInterval"):
                continue
            if method == "ReplyTaskResult":
                job, task, code, result, data = args
                try:
                    items = json.loads(data)
                except ValueError:
                    items = None
                owner = " (from %s)" % receipt_owner(items) if isinstance(items, list) else ""
                print("  ReplyTaskResult job %s task %s code %s result %r%s"
                      % (job, task, code, result, owner))
                if isinstance(items, list):
                    for item in items:
                        for key, text in (item.items() if isinstance(item, dict) else []):
                            print("      %-50s %s" % (key, short(text, 60)))
                else:
                    print("      %s" % short(data))
            else:
                print("  %s %s" % (method, short(json.dumps(args, ensure_ascii=False))))

        heading("System tools the programs ran (recording stand-ins)")
        calls = self.stubs.calls()
        if not calls:
            print("  none")
        for argv in calls:
            print("  %s" % " ".join(argv))

        for prog in self.programs:
            heading("Last lines of %s's log" % prog.name)
            lines = harness.tail(prog.log_file(), 15) or harness.tail(prog.output_path, 15)
            for line in lines:
                print("  " + short(log_message(line), 150))

    def stop(self):
        for child in reversed(self.children):
            try:
                child.stop()
            except Exception as e:  # pylint: disable=broad-except
                print("could not stop %s (pid %s): %s" % (child.name, child.pid, e))
        self.children = []


def main(argv):
    parser = argparse.ArgumentParser(description="qarg and qars against the lab")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"),
                        help="build directory holding bin/qarg and bin/qars")
    parser.add_argument("--keep", action="store_true", help="keep the sandbox directory")
    parser.add_argument("--timeout", type=float, default=90.0,
                        help="seconds to wait for the receipts")
    args = parser.parse_args(argv)
    build_dir = os.path.abspath(args.build)

    qarg = os.path.join(build_dir, "bin", "qarg")
    if not os.access(qarg, os.X_OK):
        print("The demo needs the system policy daemon, but qarg is not built: %s is missing."
              % qarg)
        print("Build it first (./run build), then run ./run demo again.")
        return 2

    workdir = tempfile.mkdtemp(prefix="vorn-demo-")
    demo = Demo(build_dir, workdir, args.timeout)
    ok = False
    try:
        heading("Starting the lab")
        demo.start_lab()
        demo.start_programs()
        ok = demo.push_update()
        demo.report()
    except (RuntimeError, TimeoutError, OSError) as e:
        print()
        print("DEMO FAILED: %s" % e)
        for prog in demo.programs:
            print("---- last output of %s:" % prog.name)
            for line in harness.tail(prog.output_path, 20):
                print("  " + line)
        ok = False
    except KeyboardInterrupt:
        print("\ninterrupted")
        ok = False
    finally:
        demo.stop()
        if args.keep:
            print("\nsandbox kept in %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)

    print()
    if ok:
        print("Demo finished: the pushed update was applied and its receipt(s) reached the "
              "core client service.")
        return 0
    print("Demo failed: see the messages above.")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
