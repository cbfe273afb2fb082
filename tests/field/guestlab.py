"""The lab inside the guest, driven from the host: set up, package installed, pushes and logs.

    lab = GuestLab(machine, workdir, top); lab.install(deb)
    job = lab.push("system", {"policys": [...]})     # a 1100 task; its job id
    lab.wait_receipt(job)                              # ReplyTaskResult args of its 2002 receipt
    lab.calls("UploadInfo"); lab.requests("/api/usb_whitelist_check"); lab.qarg_log()

The simulated core client service (tools/lab/vorng_template.py under python-dbusmock) owns its
name on the guest's real system bus through a bus policy placed here, and the management server
(tools/lab/server.py) listens on the guest's loopback, port 8443 (control port 8444). Both are
units of their own, ordered before qarg, so they come back after a reboot.
"""

import io
import itertools
import json
import os
import sys
import tarfile
import time

from machine import GuestError, shell_quote, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
LAB_DIR = "/opt/vorn-lab"
STATE = "/var/lib/vorn-lab"
CALLS = STATE + "/vorng-calls.jsonl"
REQUESTS = STATE + "/server/requests.jsonl"
LABCTL = "/usr/bin/python3 %s/labctl.py" % LAB_DIR
GUEST_FILES = {
    "labctl.py": (LAB_DIR + "/labctl.py", 0o755),
    "vorn-lab-server.service": ("/etc/systemd/system/vorn-lab-server.service", 0o644),
    "vorn-lab-vorng.service": ("/etc/systemd/system/vorn-lab-vorng.service", 0o644),
    "com.kestal.vorn.vorng-lab.conf": ("/etc/dbus-1/system.d/com.kestal.vorn.vorng-lab.conf",
                                       0o644),
}
TASK_RECEIVED, TASK_DONE = 2001, 2002
_jobs = itertools.count(int(time.time()) % 100000 * 10)


def document(*settings):
    """A policy document from (policy_key, config_key, value) triples."""
    policys = {}
    for policy_key, config_key, value in settings:
        policys.setdefault(policy_key, []).append(
            {"config_key": config_key, "config_value": value})
    return {"policys": [{"policy_key": k, "configs": c} for k, c in policys.items()]}


def parse_jsonl(data):
    records = []
    for line in data.decode(errors="replace").splitlines():
        try:
            records.append(json.loads(line))
        except ValueError:
            pass  # a line still being written
    return records


class GuestLab:
    def __init__(self, machine, workdir, top):
        self.m = machine
        self.workdir = workdir
        self.top = top

    # Setting up ------------------------------------------------------------------------------

    def install(self, deb):
        """The lab and the enrolment first, then the package as an administrator installs it."""
        self.copy_lab()
        self.m.sh("systemctl daemon-reload && systemctl reload dbus && "
                  "systemctl enable --now vorn-lab-vorng vorn-lab-server", 120)
        wait_until(lambda: self.m.run("%s server GET /health" % LABCTL, 30).rc == 0, 120,
                   "the lab server in the guest")
        self.m.put(deb, "/root/" + os.path.basename(deb))
        r = self.m.run("cd /root && DEBIAN_FRONTEND=noninteractive apt-get install -y ./%s"
                       % shell_quote(os.path.basename(deb)), 300)
        if r.rc != 0:
            raise GuestError("apt-get install of the package failed: %r" % r)
        self.wait_subscribed()

    def copy_lab(self):
        sys.path.insert(0, os.path.join(self.top, "tools", "lab"))
        import certs as lab_certs  # pylint: disable=import-outside-toplevel
        paths = lab_certs.make_certs(os.path.join(self.workdir, "certs"))
        buf = io.BytesIO()
        with tarfile.open(fileobj=buf, mode="w:gz") as tar:
            tar.add(os.path.join(self.top, "tools", "lab"), "lab",
                    filter=lambda t: None if "__pycache__" in t.name else t)
            # The whole set: the server makes whatever is missing, a new CA included.
            for name, path in paths.items():
                tar.add(path, "certs/" + name)
        self.m.put(buf.getvalue(), LAB_DIR + "/lab.tar.gz")
        self.m.sh("cd %s && tar -xzf lab.tar.gz lab && mkdir -p %s && "
                  "tar -xzf lab.tar.gz -C %s certs && chmod 700 %s/certs"
                  % (LAB_DIR, STATE, STATE, STATE))
        for name, (path, mode) in GUEST_FILES.items():
            self.m.put(os.path.join(HERE, "guest", name), path, mode)
        self.labctl("enrol")

    def labctl(self, *args, timeout=60):
        return self.m.sh(LABCTL + " " + " ".join(shell_quote(str(a)) for a in args), timeout)

    def wait_subscribed(self, timeout=180):
        """Until qarg answers a push it must refuse: then it hears the service's signals."""
        def answered():
            job = next(_jobs)
            self.emit(2000, {"job_id": job, "task_id": 1, "action": "probe"})
            try:
                return wait_until(lambda: self.receipts(job), 8, "a probe answer", 1)
            except TimeoutError:
                return False
        wait_until(answered, timeout, "qarg to answer a push", 1)

    # Pushes and documents ----------------------------------------------------------------------

    def emit(self, msg_type, payload, app_id="lab"):
        if not isinstance(payload, str):
            payload = json.dumps(payload)
        self.labctl("emit", msg_type, payload, app_id)

    def set_policy(self, level, doc):
        """level "system" or "session"; doc {"policys": [...]} or a list of policys."""
        self.labctl("server", "PUT", "/policy/" + level, json.dumps(doc))

    def set_whitelist(self, entries):
        self.labctl("server", "PUT", "/whitelist", json.dumps(entries))

    def push(self, level=None, doc=None, job=None, task=1, app_id="lab"):
        """Sets the document (if given) and pushes a policy update task; its job id."""
        if doc is not None:
            self.set_policy(level, doc)
        job = job if job is not None else next(_jobs)
        self.emit(1100, {"job_id": job, "task_id": task}, app_id)
        return job

    # What the lab saw --------------------------------------------------------------------------

    def calls(self, method=None):
        """Calls of the simulated core client service this boot: dicts time/method/args."""
        return [c for c in parse_jsonl(self.m.get(CALLS))
                if method is None or c["method"] == method]

    def receipts(self, job):
        return [c["args"] for c in self.calls("ReplyTaskResult") if c["args"][0] == job]

    def wait_receipt(self, job, code=TASK_DONE, timeout=240, contains=""):
        """The first ReplyTaskResult args [job, task, code, "", data] of job with that code (and
        data containing `contains`: qarg and a running qars both answer a 1100 push)."""
        found = wait_until(lambda: [r for r in self.receipts(job)
                                    if r[2] == code and contains in r[4]], timeout,
                           "the receipt %d of job %d" % (code, job), 2)
        return found[0]

    def results(self, job, timeout=240, contains='"'):
        """The per-setting results of job's done receipt, as one dict."""
        merged = {}
        for item in json.loads(self.wait_receipt(job, TASK_DONE, timeout, contains)[4]):
            merged.update(item)
        return merged

    def requests(self, path=None):
        """Requests the management server saw this boot, oldest first."""
        return [r for r in parse_jsonl(self.m.get(REQUESTS))
                if "event" not in r and (path is None or r["path"].startswith(path))]

    def qarg_log(self):
        return self.m.get("/var/log/qarg/qarg.log").decode(errors="replace")
