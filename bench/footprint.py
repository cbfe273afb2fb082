#!/usr/bin/python3
"""End-to-end latency, memory footprint and idle wake-ups of qarg and qars against the lab.

    /usr/bin/python3 bench/footprint.py --build BUILD_DIR [--pushes 10] [--idle-seconds 20]

Starts the lab (private system bus, core client service and logind mocks, management server with
the sample policies, sandbox) and the built programs, then:
  1. pushes policy updates one after another and times each push to qarg's 2002 receipt;
  2. reads memory, threads and mapped Qt libraries of both programs once the policy is applied;
  3. counts context switches of every thread over an idle window: qarg with USB whitelist
     control off and qars;
  4. starts qarg again under umockdev (an empty device testbed, so no device of this machine is
     touched), switches USB whitelist control on and counts its context switches over a window.
It reports and never fails on a number: exit 0, or 1 when the lab or a program could not start.
"""

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LAB = os.path.join(HERE, "..", "tools", "lab")
sys.path.insert(0, LAB)
# The system tests' umockdev testbed helper, for the USB state.
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))

import certs as lab_certs  # noqa: E402  pylint: disable=wrong-import-position
import harness  # noqa: E402  pylint: disable=wrong-import-position
import sandbox as lab_sandbox  # noqa: E402  pylint: disable=wrong-import-position

USER = "alice"
FIRST_JOB = 61000
LATENCY_GOAL = 1.1            # seconds, push to 2002 receipt, local server
QARG_ANON_GOAL = 4 * 1024     # kB
QARG_RSS_GOAL = 24 * 1024     # kB
QARS_ANON_GOAL = 8 * 1024     # kB
IDLE_GOAL = 0.1              # wake-ups a second, all threads of a program, in every idle state
CACHE_DIR = "/root/.cache/vorn/cache_policy"
QARG_WAIT = 15.0              # bounded wait for one receipt of qarg
QARS_WAIT = 30.0              # qars waits for the session's own steps as well


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def mb(kb):
    return "%.1f MB" % (kb / 1024.0)


def verdict(ok):
    return "ok" if ok else "MISSED"


class Lab:
    """The lab and the programs, each started as a child and stopped by its pid."""

    def __init__(self, build_dir, workdir):
        self.build_dir = build_dir
        self.workdir = workdir
        self.children = []
        self.programs = {}
        self.missing = []

    def _keep(self, child):
        self.children.append(child)
        return child

    def start(self):
        logs = os.path.join(self.workdir, "sandbox", "logs")
        os.makedirs(logs, exist_ok=True)
        certs = lab_certs.make_certs(os.path.join(self.workdir, "certs"))
        self.bus = self._keep(harness.SystemBus(os.path.join(self.workdir, "bus")))
        self.bus.start()
        self.server = self._keep(harness.LabServer(os.path.join(self.workdir, "server"),
                                                   os.path.dirname(certs["ca.crt"]), logs))
        self.server.start(
            system_policy=os.path.join(harness.POLICY_DIR, "system.json"),
            session_policy=os.path.join(harness.POLICY_DIR, "session.json"),
            whitelist=os.path.join(harness.POLICY_DIR, "whitelist.json"),
            control_centre=os.path.join(harness.POLICY_DIR, "control_centre.json"))
        self.sandbox = lab_sandbox.make_sandbox(os.path.join(self.workdir, "sandbox"),
                                                self.server.port, certs)
        self.vorng = self._keep(harness.VorngMock(self.bus, logs,
                                                  {"ServerPort": self.server.port}))
        self.vorng.start()
        logind = self._keep(harness.LogindMock(self.bus, logs))
        logind.start()
        logind.add_session("c1", self.sandbox.uid(USER), USER, True)
        self.stubs = harness.Stubs(logs)

    def start_programs(self):
        for name in ("qarg", "qars"):
            prog = harness.Program(self.build_dir, name, self.sandbox, self.bus, self.stubs)
            if not prog.built():
                self.missing.append(prog.binary)
                continue
            self._keep(prog.start())
            self.programs[name] = prog
        if "qarg" not in self.programs:
            raise RuntimeError("qarg is not built: %s is missing" % self.missing[0])

        # Each program reads TimeInterval once it listens for pushes.
        def connected():
            self.check_alive("at start-up")
            with open(self.vorng.call_log_path, encoding="utf-8", errors="replace") as f:
                return f.read().count("vorng.TimeInterval") >= len(self.programs)
        harness.wait_until(connected, 30, 0.05, "the programs to connect to the bus")

    def check_alive(self, when):
        for prog in self.programs.values():
            if not prog.alive():
                raise RuntimeError("%s ended %s with status %s; last output:\n%s"
                                   % (prog.name, when, prog.returncode(),
                                      "\n".join(harness.tail(prog.output_path, 20))))

    def stop(self):
        for child in reversed(self.children):
            try:
                child.stop()
            except Exception as e:  # pylint: disable=broad-except
                print("could not stop %s (pid %s): %s" % (child.name, child.pid, e))
        self.children = []


def policy_keys(server, level):
    doc = server.policy(level)
    return {p.get("policy_key") for p in doc.get("policys", []) if isinstance(p, dict)}


def receipt_owner(data, system_keys, session_keys):
    """Which program sent a receipt, told by the policy keys it answers for."""
    try:
        items = json.loads(data)
    except ValueError:
        return None
    if not isinstance(items, list):
        return None
    keys = {str(k).split("/", 1)[0] for item in items if isinstance(item, dict) for k in item}
    system, session = len(keys & system_keys), len(keys & session_keys)
    if system > session:
        return "qarg"
    if session > system:
        return "qars"
    return None


def measure_latency(lab, pushes):
    """Per push: seconds from the emit to each program's 2002 receipt (None: none in time)."""
    system_keys = policy_keys(lab.server, "system")
    session_keys = policy_keys(lab.server, "session")
    results = []
    for i in range(pushes):
        job, task = FIRST_JOB + i, FIRST_JOB + 500 + i
        emitted = time.time()
        lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": task})
        got = {}

        def receipts():
            lab.check_alive("while applying a policy")
            done = [r for r in lab.vorng.recorded_calls()
                    if r.get("method") == "ReplyTaskResult"
                    and list(r.get("args", []))[:3] == [job, task, 2002]]
            anonymous = []
            for r in done:
                owner = receipt_owner(r["args"][4], system_keys, session_keys)
                if owner is None:
                    anonymous.append(r)
                else:
                    got.setdefault(owner, r["time"] - emitted)
            # A receipt without keys is taken for whichever program has not answered yet.
            for r in anonymous:
                for name in sorted(lab.programs):
                    if name not in got:
                        got[name] = r["time"] - emitted
                        break
            return all(name in got for name in lab.programs)

        wait = QARS_WAIT if "qars" in lab.programs else QARG_WAIT
        try:
            harness.wait_until(receipts, wait, 0.01, "the receipts of push %d" % (i + 1))
        except TimeoutError:
            pass
        results.append({name: got.get(name) for name in lab.programs})
    return results


def print_latency(results):
    heading("Latency: pushed update (ServerMsgCame 1100) to the 2002 receipt")
    names = sorted(results[0]) if results else []
    print("  push " + "".join("%12s" % n for n in names))
    for i, row in enumerate(results, 1):
        print("  %4d " % i + "".join("%12s" % ("%.3f s" % row[n] if row[n] is not None
                                               else "none") for n in names))
    for name in names:
        times = [row[name] for row in results if row[name] is not None]
        lost = len(results) - len(times)
        if not times:
            print("  %s: no 2002 receipt at all" % name)
            continue
        line = "  %s: min %.3f s  median %.3f s  max %.3f s" % (
            name, min(times), statistics.median(times), max(times))
        if lost:
            line += "  (%d push(es) without a receipt)" % lost
        if name == "qarg":
            line += "   goal <= %.1f s: %s" % (LATENCY_GOAL,
                                               verdict(not lost and max(times) <= LATENCY_GOAL))
        print(line)


def read_kv(path):
    values = {}
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                key, _, rest = line.partition(":")
                parts = rest.split()
                if parts and parts[0].isdigit():
                    values[key.strip()] = int(parts[0])
    except OSError:
        pass
    return values


def by_mapping(pid, top=4):
    """Largest contributors to anonymous and to private memory, by mapping name:
    ([(kB, name)], [(kB, name)])."""
    anon, private = {}, {}
    name = None
    try:
        with open("/proc/%d/smaps" % pid, encoding="utf-8", errors="replace") as f:
            for line in f:
                first = line.split(None, 1)[0]
                if "-" in first and not first.endswith(":"):
                    fields = line.split()
                    name = os.path.basename(fields[5]) if len(fields) > 5 else "[anon]"
                elif first == "Anonymous:":
                    anon[name] = anon.get(name, 0) + int(line.split()[1])
                elif first in ("Private_Clean:", "Private_Dirty:"):
                    private[name] = private.get(name, 0) + int(line.split()[1])
    except OSError:
        return [], []

    def largest(totals):
        return sorted(((kb, n) for n, kb in totals.items() if kb), reverse=True)[:top]
    return largest(anon), largest(private)


def qt_libraries(pid):
    libs = set()
    try:
        with open("/proc/%d/maps" % pid, encoding="utf-8", errors="replace") as f:
            for line in f:
                path = line.split()[-1] if len(line.split()) > 5 else ""
                base = os.path.basename(path)
                if base.startswith("libQt5"):
                    libs.add(base.split(".so")[0][len("libQt5"):])
    except OSError:
        pass
    return sorted(libs)


def footprint(prog):
    pid = prog.pid
    roll = read_kv("/proc/%d/smaps_rollup" % pid)
    status = read_kv("/proc/%d/status" % pid)
    top_anon, top_private = by_mapping(pid)
    return {"rss": roll.get("Rss", 0), "anon": roll.get("Anonymous", 0),
            "private": roll.get("Private_Clean", 0) + roll.get("Private_Dirty", 0),
            "threads": status.get("Threads", 0), "qt": qt_libraries(pid),
            "top_anon": top_anon, "top_private": top_private}


def print_footprint(prints):
    heading("Footprint after the policy was applied")
    print("  %-6s %10s %12s %10s %8s  %s" % ("", "RSS", "anonymous", "private", "threads",
                                            "Qt libraries mapped"))
    for name, fp in sorted(prints.items()):
        print("  %-6s %10s %12s %10s %8d  %s" % (name, mb(fp["rss"]), mb(fp["anon"]),
                                                 mb(fp["private"]), fp["threads"],
                                                 " ".join(fp["qt"]) or "none"))
    for name, fp in sorted(prints.items()):
        for what in ("anon", "private"):
            print("  %s largest %-9s %s" % (
                name, what + ":", ", ".join("%s %s" % (n, mb(kb)) for kb, n in fp["top_" + what])
                or "nothing"))
    print("  (private counts library pages no other process maps here as well)")
    if "qarg" in prints:
        fp = prints["qarg"]
        gui = [lib for lib in fp["qt"] if lib in ("Widgets", "Gui")]
        print("  goal qarg anonymous <= %s: %s (%s)" % (mb(QARG_ANON_GOAL),
                                                       verdict(fp["anon"] <= QARG_ANON_GOAL),
                                                       mb(fp["anon"])))
        print("  goal qarg RSS <= %s: %s (%s)"
              % (mb(QARG_RSS_GOAL), verdict(fp["rss"] <= QARG_RSS_GOAL), mb(fp["rss"])))
        print("  goal qarg maps no libQt5Widgets/libQt5Gui: %s%s"
              % (verdict(not gui), "" if not gui else " (maps %s)" % ", ".join(gui)))
    if "qars" in prints:
        fp = prints["qars"]
        print("  goal qars private anonymous <= %s: %s (%s; all private %s)"
              % (mb(QARS_ANON_GOAL), verdict(fp["anon"] <= QARS_ANON_GOAL), mb(fp["anon"]),
                 mb(fp["private"])))


def thread_switches(pid):
    """{tid: (name, context switches)} of every thread of pid."""
    found = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return found
    for tid in tids:
        status = read_kv("/proc/%d/task/%s/status" % (pid, tid))
        try:
            with open("/proc/%d/task/%s/comm" % (pid, tid), encoding="utf-8") as f:
                comm = f.read().strip()
        except OSError:
            continue
        found[tid] = (comm, status.get("voluntary_ctxt_switches", 0)
                      + status.get("nonvoluntary_ctxt_switches", 0))
    return found


def cpu_ticks(pid):
    try:
        with open("/proc/%d/stat" % pid, encoding="utf-8") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime
    except (OSError, IndexError, ValueError):
        return 0


def measure_idle(lab, seconds, only=None):
    programs = {n: p for n, p in lab.programs.items() if only is None or n == only}
    before = {n: (thread_switches(p.pid), cpu_ticks(p.pid)) for n, p in programs.items()}
    started = time.monotonic()
    time.sleep(seconds)  # the window itself: nothing of the lab is touched meanwhile
    elapsed = time.monotonic() - started
    result = {}
    for name, prog in programs.items():
        after, ticks = thread_switches(prog.pid), cpu_ticks(prog.pid)
        old, old_ticks = before[name]
        per_thread = {}
        for tid, (comm, count) in after.items():
            delta = count - old.get(tid, (comm, 0))[1]
            if delta:
                per_thread[comm] = per_thread.get(comm, 0) + delta
        result[name] = {"switches": sum(per_thread.values()), "seconds": elapsed,
                        "threads": per_thread,
                        "cpu": (ticks - old_ticks) / float(os.sysconf("SC_CLK_TCK"))}
    return result


def print_idle(rows, seconds):
    """rows: [(state, result of measure_idle for one program)]."""
    heading("Idle: context switches of all threads over a quiet window of %.0f s" % seconds)
    print("  %-26s %9s %11s %8s  %s" % ("", "switches", "wake-ups/s", "CPU", "by thread"))
    for state, r in rows:
        threads = ", ".join("%s %d" % (t, c) for t, c in
                            sorted(r["threads"].items(), key=lambda x: -x[1]))
        rate = r["switches"] / r["seconds"]
        print("  %-26s %9d %11.2f %7.2fs  %s" % (state, r["switches"], rate, r["cpu"],
                                                 threads or "-"))
    for state, r in rows:
        rate = r["switches"] / r["seconds"]
        print("  goal %s <= %.1f wake-ups/s: %s (%.2f)" % (state, IDLE_GOAL,
                                                        verdict(rate <= IDLE_GOAL), rate))


def measure_usb_control_idle(lab, seconds):
    """qarg started again under umockdev with an empty testbed, USB whitelist control switched
    on by a pushed policy, then its idle window. Returns measure_idle's row for qarg."""
    import test_usb  # noqa: E402  pylint: disable=import-error,import-outside-toplevel
    old = lab.programs.pop("qarg")
    old.stop()
    bed = lab._keep(test_usb.DeviceBed(os.path.join(lab.workdir, "usb-bed")))
    bed.start()
    prog = harness.Program(lab.build_dir, "qarg", lab.sandbox, lab.bus, lab.stubs,
                           extra_env=test_usb.umockdev_env(lab.build_dir, bed.root))
    prog.argv = [test_usb.UMOCKDEV_WRAPPER] + prog.argv
    lab._keep(prog.start())
    lab.programs["qarg"] = prog
    prog.wait_for_output("system policy manager init end", timeout=30)
    lab.server.set_policy("system", {"policys": [
        {"policy_key": "usb", "configs": [
            {"config_key": "usb_store_device", "config_value": "0"}]}]})
    lab.vorng.emit_server_msg(1100, {"job_id": FIRST_JOB + 900, "task_id": FIRST_JOB + 901})
    harness.wait_until(lambda: "usb monitor listening" in prog.output(), 30, 0.05,
                       "the usb monitor listening")
    settle(lab)
    lab.check_alive("with USB control on")
    return measure_idle(lab, seconds, only="qarg")["qarg"]


LEVELS = {"qarg": "system", "qars": "session"}


def first_pull(lab, timeout=30.0):
    """Waits (bounded) for each program's own first pull, so that it disturbs neither the
    timed pushes nor the idle window. Returns the seconds waited, None when it never came."""
    started = time.monotonic()

    def pulled():
        lab.check_alive("before the first pull")
        levels = [r.get("query", {}).get("policy_level")
                  for r in lab.server.requests("/policy/v1/client/pc_policy_details")]
        return all(LEVELS[name] in levels for name in lab.programs)
    try:
        harness.wait_until(pulled, timeout, 0.1, "the programs' first pull")
    except TimeoutError:
        return None
    settle(lab)
    return time.monotonic() - started


def settle(lab, quiet=1.0, timeout=20.0):
    """Waits (bounded) until qarg has cleared its task cache and neither program used CPU for
    quiet seconds: the last run is over."""
    cache = lab.sandbox.path(CACHE_DIR)
    try:
        harness.wait_until(lambda: not os.path.isdir(cache) or not os.listdir(cache), timeout,
                           0.05, "qarg to clear its task cache")
    except TimeoutError:
        print("qarg still holds task documents in %s" % cache)
    state = {"ticks": None, "since": time.monotonic()}

    def still():
        ticks = [cpu_ticks(p.pid) for p in lab.programs.values()]
        now = time.monotonic()
        if ticks != state["ticks"]:
            state["ticks"], state["since"] = ticks, now
        return now - state["since"] >= quiet
    try:
        harness.wait_until(still, timeout, 0.1, "the programs to go quiet")
    except TimeoutError:
        print("the programs kept using CPU for %.0f s after the work" % timeout)


def main(argv):
    parser = argparse.ArgumentParser(description="latency, footprint and idle wake-ups of "
                                                 "qarg and qars against the lab")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"),
                        help="build directory holding bin/qarg and bin/qars")
    parser.add_argument("--pushes", type=int, default=10, help="policy updates to push")
    parser.add_argument("--idle-seconds", type=float, default=20.0, help="each idle window")
    parser.add_argument("--keep", action="store_true", help="keep the lab's directory")
    args = parser.parse_args(argv)
    build_dir = os.path.abspath(args.build)

    workdir = tempfile.mkdtemp(prefix="vorn-footprint-")
    lab = Lab(build_dir, workdir)
    status = 0
    try:
        lab.start()
        lab.start_programs()
        for path in lab.missing:
            print("not built, left out: %s" % path)
        print("lab up; %s" % ", ".join("%s pid %d" % (n, p.pid)
                                        for n, p in sorted(lab.programs.items())))
        waited = first_pull(lab)
        print("programs' own first pull done %s" % ("after %.1f s" % waited if waited is not None
                                                    else "- not seen, pushing anyway"))
        print_latency(measure_latency(lab, max(1, args.pushes)))
        settle(lab)
        lab.check_alive("after the pushes")
        print_footprint({n: footprint(p) for n, p in lab.programs.items()})
        idle = measure_idle(lab, args.idle_seconds)
        lab.check_alive("while idle")
        rows = [("qarg, USB control off", idle["qarg"])]
        if "qars" in idle:
            rows.append(("qars", idle["qars"]))
        try:
            rows.insert(1, ("qarg, USB control on", measure_usb_control_idle(lab,
                                                                           args.idle_seconds)))
        except (RuntimeError, TimeoutError, OSError) as e:
            print("USB control on: not measured: %s" % e)
        print_idle(rows, args.idle_seconds)
    except (RuntimeError, TimeoutError, OSError) as e:
        print("footprint: the lab or a program did not run: %s" % e)
        status = 1
    except KeyboardInterrupt:
        print("interrupted")
        status = 1
    finally:
        lab.stop()
        if args.keep:
            print("lab directory kept in %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
