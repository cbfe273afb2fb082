#!/usr/bin/python3
"""Resident memory of qarg while it downloads three large server scripts at once.

    /usr/bin/python3 bench/download_footprint.py --build BUILD_DIR [--size-mib 60] [--count 3]

Starts the lab (as bench/footprint.py does) and qarg alone, waits for its first pull and for it
to go quiet, then serves a system policy whose "script/script_name" names COUNT scripts of SIZE
MiB each and pushes an update. qarg's resident memory is sampled every 10 ms from the push to
its 2002 receipt and compared with its idle size before. Reports and never fails on a number:
exit 0, or 1 when the lab or qarg could not start or the downloads did not happen.
"""

import argparse
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import footprint  # noqa: E402  pylint: disable=wrong-import-position
from footprint import harness  # noqa: E402  pylint: disable=wrong-import-position

JOB, TASK = 71000, 71500
GROWTH_GOAL = 8 * 1024          # kB: "within a few MiB" of the idle size
RECEIPT_WAIT = 180.0            # seconds, bounded wait for the receipt


def write_script(path, size, number):
    """A script that ends at once and is padded with comment lines to `size` bytes."""
    head = b"echo bench script %d\nexit 0\n" % number
    line = b"#" * 1023 + b"\n"
    with open(path, "wb") as f:
        f.write(head)
        left = size - len(head)
        block = line * 1024
        while left >= len(block):
            f.write(block)
            left -= len(block)
        f.write(b"#" * left)


def memory(pid):
    status = footprint.read_kv("/proc/%d/status" % pid)
    return status.get("VmRSS", 0), status.get("RssAnon", 0)


def start_qarg(lab):
    prog = harness.Program(lab.build_dir, "qarg", lab.sandbox, lab.bus, lab.stubs)
    if not prog.built():
        raise RuntimeError("qarg is not built: %s is missing" % prog.binary)
    lab._keep(prog.start())  # pylint: disable=protected-access
    lab.programs["qarg"] = prog

    def connected():
        lab.check_alive("at start-up")
        with open(lab.vorng.call_log_path, encoding="utf-8", errors="replace") as f:
            return "vorng.TimeInterval" in f.read()
    harness.wait_until(connected, 30, 0.05, "qarg to connect to the bus")
    return prog


def receipt(lab):
    for r in lab.vorng.recorded_calls():
        if r.get("method") == "ReplyTaskResult" and list(r.get("args", []))[:3] == [JOB, TASK, 2002]:
            return r
    return None


def run(lab, size_mib, count):
    prog = start_qarg(lab)
    waited = footprint.first_pull(lab)
    print("qarg pid %d; its own first pull %s" % (prog.pid, "after %.1f s" % waited
                                                  if waited is not None else "not seen"))
    idle_rss, idle_anon = memory(prog.pid)

    files = os.path.join(lab.server.workdir, "files", "bench")
    os.makedirs(files, exist_ok=True)
    items = []
    for i in range(1, count + 1):
        write_script(os.path.join(files, "big%d.bash" % i), size_mib * 1024 * 1024, i)
        items.append("big%d_|_bench/big%d.bash" % (i, i))
    lab.server.set_policy("system", {"policys": [{"policy_key": "script", "configs": [
        {"config_key": "script_name", "config_value": ",".join(items)}]}]})

    peak_rss, peak_anon, samples = idle_rss, idle_anon, 0
    started = time.monotonic()
    lab.vorng.emit_server_msg(1100, {"job_id": JOB, "task_id": TASK})
    done = None
    while done is None and time.monotonic() - started < RECEIPT_WAIT:
        lab.check_alive("while downloading")
        rss, anon = memory(prog.pid)
        peak_rss, peak_anon, samples = max(peak_rss, rss), max(peak_anon, anon), samples + 1
        if samples % 20 == 0:
            done = receipt(lab)
        time.sleep(0.01)
    elapsed = time.monotonic() - started
    after_rss, after_anon = memory(prog.pid)

    served = [r for r in lab.server.requests() if str(r.get("path", "")).startswith("/bench/")]
    ok = [r for r in served if r.get("status") == 200]
    footprint.heading("qarg resident memory during %d downloads of %d MiB" % (count, size_mib))
    print("  %-24s %10s %12s" % ("", "RSS", "anonymous"))
    print("  %-24s %10s %12s" % ("idle before", footprint.mb(idle_rss), footprint.mb(idle_anon)))
    print("  %-24s %10s %12s" % ("peak while downloading", footprint.mb(peak_rss),
                                 footprint.mb(peak_anon)))
    print("  %-24s %10s %12s" % ("after the receipt", footprint.mb(after_rss),
                                 footprint.mb(after_anon)))
    print("  %d samples over %.1f s; server answered %d of %d script requests with 200"
          % (samples, elapsed, len(ok), count))
    if done is None:
        print("  no 2002 receipt within %.0f s" % RECEIPT_WAIT)
    else:
        print("  receipt: %d of %d scripts ran" % (done["args"][4].count("bench script"), count))
    growth = peak_rss - idle_rss
    print("  goal peak RSS within %s of idle: %s (grew %s)"
          % (footprint.mb(GROWTH_GOAL), footprint.verdict(growth <= GROWTH_GOAL), footprint.mb(growth)))
    return 0 if done is not None and len(ok) == count else 1


def main(argv):
    parser = argparse.ArgumentParser(description="qarg's memory during large downloads")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--size-mib", type=int, default=60)
    parser.add_argument("--count", type=int, default=3)
    parser.add_argument("--keep", action="store_true", help="keep the lab's directory")
    args = parser.parse_args(argv)

    workdir = tempfile.mkdtemp(prefix="vorn-download-footprint-")
    lab = footprint.Lab(os.path.abspath(args.build), workdir)
    status = 1
    try:
        lab.start()
        status = run(lab, args.size_mib, args.count)
    except (RuntimeError, TimeoutError, OSError) as e:
        print("download footprint: the lab or qarg did not run: %s" % e)
    except KeyboardInterrupt:
        print("interrupted")
    finally:
        lab.stop()
        if args.keep:
            print("lab directory kept in %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
