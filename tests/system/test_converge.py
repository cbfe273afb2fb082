"""A policy queued again without a task (the timer's pull, the stored document after a
restart) changes only what has drifted: its one-shot items run once per document, and SSH is
not restarted while it is as asked."""

import json
import os
import shutil
import signal
import time

from conftest import policy, replies, start_qarg, wait_until

SSH = "ssh_login/ssh_login_status"
FIREWALL = "firewall/firewall_data"
SCRIPT = "script/script_name"
LOG = "/var/log/qarg/qarg.log"
POLICY_FILE = "/etc/vorn/system_policy.json"
CACHE_DIR = "/root/.cache/vorn/cache_policy"
APPLIED = "/var/lib/qarg/applied.json"
SEQUENCE = ("stop", "enable", "start", "disable")


def lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


class Converge:
    """One sandbox: SSH on, one firewall command and one server script, each leaving a line
    in a file when it runs; systemctl answers that SSH is started and enabled."""

    def __init__(self, lab):
        self.lab = lab
        self.firewall_log = lab.sandbox.path("/tmp/firewall.log")
        self.script_log = lab.sandbox.path("/tmp/script.log")
        self.jobs = iter(range(700, 800))
        os.makedirs(os.path.dirname(self.firewall_log), exist_ok=True)
        lab.stubs.answer("systemctl is-active ssh", stdout="active\n")
        lab.stubs.answer("systemctl is-enabled ssh", stdout="enabled\n")

    def serve(self, firewall_text, script):
        target = os.path.join(self.lab.server.workdir, "files", "conv", "run.sh")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(target, "w", encoding="utf-8") as f:
            f.write(script)
        command = "echo %s >> %s" % (firewall_text, self.firewall_log)
        self.lab.server.set_policy("system", policy(
            (SSH, "1"), (FIREWALL, json.dumps([command])), (SCRIPT, "run_|_conv/run.sh")))

    def push(self):
        """A pushed update for the served document; returns its result array."""
        job = next(self.jobs)
        self.lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": 4})
        done = wait_until(lambda: [c for c in replies(self.lab.vorng, job) if c[2] == 2002],
                          15, what="the receipt of job %d" % job)[0]
        results = json.loads(done[4])
        # One result per setting; the script's comes last, once it has run.
        assert len(results) == 3
        return {k: v for r in results for k, v in r.items()}

    def runs(self):
        """Documents qarg has finished, across its restarts (its log file is appended to)."""
        return sum("-----policy ret" in line for line in lines(self.lab.sandbox.path(LOG)))

    def wait_for_run(self, before, timeout=20):
        wait_until(lambda: self.runs() > before, timeout, 0.1, "one more policy run")

    def restart_with_stored_document(self, prog):
        """kill -9, then the stored document left in the cache directory, as a run that was
        cut off leaves it: the next start queues it without a task."""
        os.kill(prog.pid, signal.SIGKILL)
        prog.popen.wait(5)
        stored = self.lab.sandbox.path(POLICY_FILE)
        shutil.copy(stored, os.path.join(self.lab.sandbox.path(CACHE_DIR), str(int(time.time()))))
        before = self.runs()
        prog = start_qarg(self.lab)
        self.wait_for_run(before)
        return prog

    def ran(self):
        """(systemctl sequence steps, firewall commands, scripts) run so far."""
        steps = [a for a in self.lab.stubs.calls("systemctl") if a[1] in SEQUENCE]
        return len(steps), len(lines(self.firewall_log)), len(lines(self.script_log))


def test_repeated_document_runs_one_shot_items_once_and_keeps_ssh_running(lab):
    conv = Converge(lab)
    conv.serve("first", "echo ran >> %s\necho script done\n" % conv.script_log)
    prog = start_qarg(lab)

    # The task runs everything.
    results = conv.push()
    assert results == {FIREWALL: "", SCRIPT: "script done\n", SSH: "setSSHLogin true"}
    assert conv.ran() == (3, 1, 1)
    assert [a[1] for a in lab.stubs.calls("systemctl")] == ["stop", "enable", "start"]

    # The first pull, 10 s after the start, brings the same document without a task.
    conv.wait_for_run(conv.runs())
    assert conv.ran() == (3, 1, 1)
    assert ["systemctl", "is-active", "ssh"] in lab.stubs.calls("systemctl")

    # What succeeded survives kill -9: the stored document queued at the next start runs
    # nothing again either.
    prog = conv.restart_with_stored_document(prog)
    assert conv.ran() == (3, 1, 1)
    applied = lab.sandbox.read_json(lab.sandbox.path(APPLIED))
    assert applied["document"] == "md5:" + lab.server.policy("system")["md5"]

    # A new document, pulled by the timer, runs everything; its script fails the first time.
    flag = lab.sandbox.path("/tmp/script.flag")
    conv.serve("second", "echo ran >> {log}\n[ -e {flag} ] || {{ touch {flag}; exit 3; }}\n"
                         "echo script done\n".format(log=conv.script_log, flag=flag))
    conv.wait_for_run(conv.runs())
    assert conv.ran() == (6, 2, 2)
    assert lines(conv.firewall_log)[-1] == "second"

    # The next run without a task tries the failed script again, and only that.
    prog = conv.restart_with_stored_document(prog)
    assert conv.ran() == (6, 2, 3)

    # A pushed task with the same document: the administrator asked, everything runs.
    results = conv.push()
    assert results == {FIREWALL: "", SCRIPT: "script done\n", SSH: "setSSHLogin true"}
    assert conv.ran() == (9, 3, 4)


def test_ssh_stopped_meanwhile_is_started_again_without_a_task(lab):
    conv = Converge(lab)
    conv.serve("first", "echo ran >> %s\necho script done\n" % conv.script_log)
    prog = start_qarg(lab)
    conv.push()
    assert conv.ran() == (3, 1, 1)

    lab.stubs.answer("systemctl is-active ssh", stdout="inactive\n", exit=3)
    conv.restart_with_stored_document(prog)
    assert conv.ran() == (6, 1, 1)


def test_reboot_runs_firewall_commands_again_and_nothing_else(lab):
    """Firewall rules live in the running kernel: a new boot id brings them back, while
    scripts stay once per document."""
    boot_id = lab.sandbox.path("/proc/sys/kernel/random/boot_id")
    os.makedirs(os.path.dirname(boot_id), exist_ok=True)

    def boot(uuid):
        with open(boot_id, "w", encoding="utf-8") as f:
            f.write(uuid + "\n")

    boot("0f6d2a8e-5d0c-4a57-9a43-000000000001")
    conv = Converge(lab)
    conv.serve("first", "echo ran >> %s\necho script done\n" % conv.script_log)
    prog = start_qarg(lab)
    conv.push()
    assert conv.ran() == (3, 1, 1)

    prog = conv.restart_with_stored_document(prog)
    assert conv.ran() == (3, 1, 1)

    boot("0f6d2a8e-5d0c-4a57-9a43-000000000002")
    prog = conv.restart_with_stored_document(prog)
    assert conv.ran() == (3, 2, 1)
    applied = lab.sandbox.read_json(lab.sandbox.path(APPLIED))
    assert applied["boot"] == "0f6d2a8e-5d0c-4a57-9a43-000000000002"

    # Once per boot: the same boot again runs nothing.
    conv.restart_with_stored_document(prog)
    assert conv.ran() == (3, 2, 1)
