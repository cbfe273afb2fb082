#!/usr/bin/python3
"""A fleet against one management server: how gently it pulls.

    /usr/bin/python3 bench/fleet.py --build BUILD_DIR [--instances 100]

One private system bus, one simulated core client service (TimeInterval 1 minute), one lab server
and INSTANCES qarg programs, each in a sandbox of its own (sysroot, machine id), all started within
one second; beside them one qars in a user session with the sample session policy (wallpaper,
screen-saver picture, web-link icons). Timeline from the start:

    0-40 s     start, first pulls 10 s after it, timers settle on their phases
    40-160 s   steady state: two intervals
    160-280 s  outage: the server answers every policy pull with 503 and Retry-After 60
    280-340 s  the first minute after the outage

Reports the server's policy requests per second in the steady state (peak second over mean), the
requests in the first minute after the outage against the steady rate, the requests a machine
made before the Retry-After it was given allowed them, qars's downloads per timer re-application
of its unchanged document, and the memory of each qarg. Reports only: exit 0, or 1 when the lab or
the programs could not start.
"""

import argparse
import collections
import fcntl
import json
import os
import shutil
import signal
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import footprint  # noqa: E402  pylint: disable=wrong-import-position
from footprint import harness, lab_certs, lab_sandbox  # noqa: E402  pylint: disable=wrong-import-position

POLICY_PATH = "/policy/v1/client/pc_policy_details"
INTERVAL = 60.0
SETTLE = 40.0            # first pulls and first ticks are behind us
STEADY = 2 * INTERVAL
OUTAGE = 2 * INTERVAL
AFTER = INTERVAL
RETRY_AFTER = 60
USER = "alice"
# Settings the adaption library's store applies at once: the fleet's requests are its pulls.
FLEET_KEYS = ("ntp", "blue_tooth", "wireless_adapter")


def heading(text):
    print()
    print(text)
    print("-" * len(text))


class Fleet:
    """The lab, the qarg fleet and one qars, each a child stopped by its pid."""

    def __init__(self, build_dir, workdir, instances):
        self.build_dir = build_dir
        self.workdir = workdir
        self.instances = instances
        self.children = []
        self.qargs = []
        self.qars = None
        self.started = None
        self.start_spread = None

    def _keep(self, child):
        self.children.append(child)
        return child

    def start_lab(self):
        logs = os.path.join(self.workdir, "logs")
        os.makedirs(logs, exist_ok=True)
        self.certs = lab_certs.make_certs(os.path.join(self.workdir, "certs"))
        self.bus = self._keep(harness.SystemBus(os.path.join(self.workdir, "bus")))
        self.bus.start()
        self.server = self._keep(harness.LabServer(os.path.join(self.workdir, "server"),
                                                   os.path.dirname(self.certs["ca.crt"]), logs))
        self.server.start(session_policy=os.path.join(harness.POLICY_DIR, "session.json"),
                          control_centre=os.path.join(harness.POLICY_DIR, "control_centre.json"))
        with open(os.path.join(harness.POLICY_DIR, "system.json"), encoding="utf-8") as f:
            system = json.load(f)["data"]["policys"]
        self.server.set_policy("system", [p for p in system if p["policy_key"] in FLEET_KEYS])
        self.vorng = self._keep(harness.VorngMock(self.bus, logs, {
            "ServerPort": self.server.port, "TimeInterval": int(INTERVAL // 60)}))
        self.vorng.start()
        logind = self._keep(harness.LogindMock(self.bus, logs))
        logind.start()
        self.stubs = harness.Stubs(logs)
        session_box = lab_sandbox.make_sandbox(os.path.join(self.workdir, "session"),
                                               self.server.port, self.certs,
                                               machine_id="fleet-session")
        logind.add_session("c1", session_box.uid(USER), USER, True)
        self.session_box = session_box

    def start_programs(self):
        # Spawning a hundred children takes seconds on a busy machine: each
        # waits for a shared lock that the benchmark holds, then becomes qarg.
        gate_path = os.path.join(self.workdir, "start.lock")
        gate = open(gate_path, "w")
        fcntl.flock(gate, fcntl.LOCK_EX)
        programs = []
        for i in range(self.instances):
            box = lab_sandbox.make_sandbox(os.path.join(self.workdir, "m%03d" % i),
                                           self.server.port, self.certs,
                                           machine_id="fleet-%04d" % i)
            programs.append(harness.Program(self.build_dir, "qarg", box, self.bus, self.stubs))
        qars = harness.Program(self.build_dir, "qars", self.session_box, self.bus, self.stubs)
        for prog in programs + [qars]:
            if not prog.built():
                raise RuntimeError("%s is not built" % prog.binary)
        binary = programs[0].binary
        for prog in programs:
            prog.argv = ["/bin/sh", "-c", 'exec 9<"$0" && flock -s 9 && exec "$@"',
                         gate_path, binary]
            self._keep(prog.start())
        self.qargs = programs
        self.started = time.time()
        fcntl.flock(gate, fcntl.LOCK_UN)
        gate.close()

        def running():
            return all(self._is(prog.pid, binary) or not prog.alive() for prog in programs)
        harness.wait_until(running, 30, 0.01, "every qarg to start")
        self.start_spread = time.time() - self.started
        self.qars = self._keep(qars.start())

    @staticmethod
    def _is(pid, binary):
        try:
            return os.readlink("/proc/%d/exe" % pid) == os.path.realpath(binary)
        except OSError:
            return False

    def alive(self):
        return sum(1 for p in self.qargs if p.alive())

    def stop(self):
        # Everyone is asked at once; then each is waited for (and killed if need be).
        for child in self.children:
            if child.alive():
                try:
                    os.kill(child.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        for child in reversed(self.children):
            try:
                child.stop()
            except Exception as e:  # pylint: disable=broad-except
                print("could not stop %s (pid %s): %s" % (child.name, child.pid, e))
        self.children = []


def wait_until_time(moment, fleet):
    while True:
        left = moment - time.time()
        if left <= 0:
            return
        if fleet.alive() < len(fleet.qargs):
            print("  warning: %d of %d qarg ended early" % (len(fleet.qargs) - fleet.alive(),
                                                           len(fleet.qargs)))
        time.sleep(min(left, 5.0))


def system_pulls(requests):
    return [r for r in requests if r["path"] == POLICY_PATH
            and r["query"].get("policy_level") == "system"]


def in_window(requests, start, end):
    return [r for r in requests if start <= r["time"] < end]


def steady_figures(pulls, start, end):
    seconds = collections.Counter(int(r["time"] - start) for r in in_window(pulls, start, end))
    span = end - start
    total = sum(seconds.values())
    mean = total / span if span else 0.0
    peak = max(seconds.values()) if seconds else 0
    tens = collections.Counter(int((r["time"] - start) // 10) for r in in_window(pulls, start, end))
    peak10 = max(tens.values()) / 10.0 if tens else 0.0
    return {"total": total, "mean": mean, "peak": peak, "peak10": peak10}


def early_requests(pulls):
    """Requests a machine made before the Retry-After of a 503 it had been given allowed them."""
    by_machine = collections.defaultdict(list)
    for r in sorted(pulls, key=lambda r: r["time"]):
        by_machine[r["query"].get("machine_id")].append(r)
    early = 0
    for requests in by_machine.values():
        not_before = 0.0
        for r in requests:
            if r["time"] < not_before:
                early += 1
            if r["status"] == 503:
                not_before = max(not_before, r["time"] + RETRY_AFTER)
    return early


def qars_reapplications(prog, marker="onPullPolicyTimerOut ---policy_Interval"):
    return prog.output().count(marker)


def memory(fleet):
    rss, pss = [], []
    for prog in fleet.qargs:
        if not prog.alive():
            continue
        status = footprint.read_kv("/proc/%d/status" % prog.pid)
        roll = footprint.read_kv("/proc/%d/smaps_rollup" % prog.pid)
        rss.append(status.get("VmRSS", 0))
        pss.append(roll.get("Pss", 0))
    return rss, pss


def report(fleet, marks, mem):
    requests = fleet.server.requests()
    pulls = system_pulls(requests)
    n = len(fleet.qargs)
    heading("Fleet: %d qarg, interval %d s, started within %.2f s"
            % (n, INTERVAL, fleet.start_spread))
    first = in_window(pulls, fleet.started, fleet.started + SETTLE)
    print("  first pulls (10 s after start): %d requests, %d machines"
          % (len(first), len({r["query"].get("machine_id") for r in first})))

    steady = steady_figures(pulls, marks["steady"], marks["outage"])
    print("  steady state, %d s: %d requests, mean %.2f/s, peak second %d, peak over mean %.2f"
          % (marks["outage"] - marks["steady"], steady["total"], steady["mean"], steady["peak"],
             steady["peak"] / steady["mean"] if steady["mean"] else 0.0))
    print("    (over 10 s bins: peak %.2f/s, peak over mean %.2f; with %d machines a random phase"
          " puts ~5 in the busiest second by chance alone)"
          % (steady["peak10"], steady["peak10"] / steady["mean"] if steady["mean"] else 0.0, n))

    during = in_window(pulls, marks["outage"], marks["after"])
    print("  outage, %d s of 503 with Retry-After %d: %d requests"
          % (marks["after"] - marks["outage"], RETRY_AFTER, len(during)))
    after = in_window(pulls, marks["after"], marks["after"] + AFTER)
    expected = steady["mean"] * AFTER
    print("  first minute after the outage: %d requests, %.2f times the steady rate"
          % (len(after), len(after) / expected if expected else 0.0))
    print("  requests before Retry-After allowed them: %d" % early_requests(pulls))

    files = [r for r in in_window(requests, marks["steady"], marks["end"])
             if r["path"].startswith("/images/")]
    first_files = [r for r in in_window(requests, fleet.started, marks["steady"])
                   if r["path"].startswith("/images/")]
    reapplied = marks["qars_ticks_end"] - marks["qars_ticks_start"]
    print("  qars: %d downloads at its first application; then %d downloads over %d timer"
          " re-applications: %.2f per re-application"
          % (len(first_files), len(files), reapplied, len(files) / reapplied if reapplied else 0.0))

    rss, pss = mem
    if rss:
        print("  memory per qarg: RSS mean %.1f MB (max %.1f), PSS mean %.1f MB (max %.1f), %d alive"
              % (sum(rss) / len(rss) / 1024, max(rss) / 1024, sum(pss) / len(pss) / 1024,
                 max(pss) / 1024, len(rss)))


def run(build_dir, instances, keep):
    workdir = tempfile.mkdtemp(prefix="vorn-fleet-")
    fleet = Fleet(build_dir, workdir, instances)
    try:
        try:
            fleet.start_lab()
            fleet.start_programs()
        except (RuntimeError, OSError, TimeoutError) as e:
            print("fleet benchmark: could not start: %s" % e)
            return 1
        t0 = fleet.started
        marks = {"steady": t0 + SETTLE, "outage": t0 + SETTLE + STEADY,
                 "after": t0 + SETTLE + STEADY + OUTAGE}
        marks["end"] = marks["after"] + AFTER
        print("fleet benchmark: %d qarg started in %.2f s; about %d s to go"
              % (instances, fleet.start_spread, marks["end"] - time.time()))
        wait_until_time(marks["steady"], fleet)
        marks["qars_ticks_start"] = qars_reapplications(fleet.qars)
        wait_until_time(marks["outage"] - 5, fleet)
        mem = memory(fleet)
        wait_until_time(marks["outage"], fleet)
        fleet.server.set_faults({POLICY_PATH: {"kind": "http503",
                                               "retry_after": str(RETRY_AFTER)}})
        wait_until_time(marks["after"], fleet)
        fleet.server.clear_faults()
        wait_until_time(marks["end"], fleet)
        marks["qars_ticks_end"] = qars_reapplications(fleet.qars)
        report(fleet, marks, mem)
        return 0
    finally:
        fleet.stop()
        if keep:
            print("  lab kept in %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="build directory (bin/qarg, bin/qars)")
    p.add_argument("--instances", type=int, default=100)
    p.add_argument("--keep", action="store_true", help="keep the lab directory for a look")
    args = p.parse_args(argv)
    return run(os.path.abspath(args.build), args.instances, args.keep)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
