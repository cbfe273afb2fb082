"""The server endpoint and the client identity are read when they change, receipts stay
within what the bus accepts, a lost bus ends qarg, a slow sender check loses no task, and a
burst of pushes pulls only a few answers at once."""

import itertools
import json
import os
import shutil
import signal

import pytest

import harness
from conftest import log_text, policy, replies, start_qarg, wait_until

SCRIPT = "script/script_name"
FIREWALL = "firewall/firewall_data"
POLICY_PATH = "/policy/v1/client/pc_policy_details"
TLS_FILES = {"ca.crt": "/etc/vorn/clientapi_ca.crt", "client.crt": "/etc/vorn/IRO_Vorn.pem",
             "client.key": "/etc/vorn/.IRO_Vorn.key"}

_jobs = itertools.count(5000)


def push(lab, task=3):
    job = next(_jobs)
    lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": task})
    return job


def final_receipt(lab, job, timeout=20):
    return wait_until(lambda: [c for c in replies(lab.vorng, job) if c[2] in (2002, 2003)],
                      timeout, what="the final receipt of job %d" % job)[0]


def install_tls(lab, cert="client.crt", key="client.key"):
    for name, source in (("ca.crt", "ca.crt"), ("client.crt", cert), ("client.key", key)):
        target = lab.sandbox.path(TLS_FILES[name])
        tmp = target + ".new"
        shutil.copyfile(lab.certs[source], tmp)
        os.rename(tmp, target)


def serve_script(lab, text):
    target = os.path.join(lab.server.workdir, "files", "enrol", "run.sh")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, "w", encoding="utf-8") as f:
        f.write(text)


def before_enrolment(lab):
    for path in list(TLS_FILES.values()) + ["/etc/vorn/userinfo.json",
                                            "/usr/share/vorn/machine.txt"]:
        os.unlink(lab.sandbox.path(path))


def server_elsewhere(lab):
    lab.sandbox.write_userinfo(1)


def other_certificate(lab):
    install_tls(lab, "other-client.crt", "other-client.key")


def enrol(lab):
    lab.sandbox.write_userinfo(lab.server.port)
    with open(lab.sandbox.path("/usr/share/vorn/machine.txt"), "w", encoding="utf-8") as f:
        f.write("lab-machine-0001\n")
    install_tls(lab)


@pytest.mark.parametrize("before, reason", [
    (before_enrolment, "CA certificate not readable"),
    (server_elsewhere, "Connection refused"),
    (other_certificate, ""),
], ids=["enrolled-after-start", "server-moved", "certificate-rotated"])
def test_endpoint_and_identity_are_read_when_they_change(lab, before, reason):
    before(lab)
    start_qarg(lab)

    # Nothing accepted yet: the task fails, and the text says why.
    failed = final_receipt(lab, push(lab))
    assert failed[2] == 2003, failed
    assert failed[4].startswith("policy pull failed, code 0: "), failed[4]
    assert failed[4].endswith("; no stored policy document"), failed[4]
    cause = failed[4][len("policy pull failed, code 0: "):-len("; no stored policy document")]
    assert cause and reason in cause, failed[4]

    enrol(lab)
    serve_script(lab, "echo enrolled\n")
    lab.server.set_policy("system", policy((SCRIPT, "run_|_enrol/run.sh")))
    lab.server.clear_requests()
    done = final_receipt(lab, push(lab))
    assert done[2] == 2002, done
    assert json.loads(done[4]) == [{SCRIPT: "enrolled\n"}]
    pulls = lab.server.requests(POLICY_PATH)
    assert pulls and pulls[-1]["query"]["machine_id"] == "lab-machine-0001"
    assert [r["status"] for r in lab.server.requests("/enrol/run.sh")] == [200]


def test_huge_results_make_a_cut_receipt_and_qarg_keeps_listening(lab):
    command = "yes xxxxxxxx | head -c 1048576"
    lab.server.set_policy("system", policy((FIREWALL, json.dumps([command] * 36))))
    prog = start_qarg(lab)
    done = final_receipt(lab, push(lab), timeout=60)

    assert done[2] == 2002
    assert len(done[4].encode()) <= 4 * 1024 * 1024
    results = json.loads(done[4])
    assert len(results) == 36
    for result in results:
        text = result[FIREWALL]
        assert text.startswith("xxxx") and text.endswith(" bytes cut]"), text[-60:]
        assert len(text.encode()) <= 64 * 1024
    # Still on the bus: the next push is answered.
    lab.server.set_policy("system", policy((FIREWALL, json.dumps(["echo small"]))))
    assert json.loads(final_receipt(lab, push(lab))[4]) == [{FIREWALL: "small\n"}]
    assert prog.alive()


def test_journaled_receipt_over_the_bound_is_cut_on_replay(lab):
    journal = lab.sandbox.path("/var/lib/qarg/receipts")
    os.makedirs(journal, exist_ok=True)
    entry = {"task_id": 9, "job_id": 4242, "success": True, "cache_file": "",
             "result": json.dumps([{FIREWALL: "y" * (1 << 20)}] * 40)}
    with open(os.path.join(journal, "%016d-9_4242.receipt" % 0), "w", encoding="utf-8") as f:
        json.dump(entry, f)
    start_qarg(lab)

    sent = wait_until(lambda: replies(lab.vorng, 4242), 30, what="the journaled receipt")[0]
    assert sent[2] == 2002
    assert len(sent[4].encode()) <= 4 * 1024 * 1024
    assert all(r[FIREWALL].endswith(" bytes cut]") for r in json.loads(sent[4]))


def test_lost_bus_ends_qarg_with_a_failure_status(lab):
    prog = start_qarg(lab)
    lab.bus.stop()
    wait_until(lambda: not prog.alive(), 15, what="qarg to end without its bus")
    assert prog.returncode() not in (0, None)
    assert "system bus connection lost" in prog.output()


def test_burst_of_pushes_pulls_two_at_a_time_and_answers_every_task(lab):
    lab.server.set_policy("system", policy((FIREWALL, json.dumps(["echo ok"]))))
    start_qarg(lab)
    lab.server.clear_requests()
    lab.server.set_faults({POLICY_PATH: {"kind": "slow", "seconds": 2, "count": 6}})
    jobs = [push(lab) for _ in range(6)]

    for job in jobs:
        assert final_receipt(lab, job, timeout=60)[2] == 2002
    starts = sorted(r["time"] for r in lab.server.requests(POLICY_PATH))
    assert len(starts) == 6
    # The third pull starts only once one of the first two was answered.
    assert starts[2] - starts[0] >= 1.5, starts


def test_signal_whose_sender_check_times_out_still_acts(lab, logs_dir):
    prog = start_qarg(lab)
    # The service comes back under a new unique name, which qarg has not checked yet.
    lab.vorng.stop()
    service = harness.VorngMock(lab.bus, logs_dir, {"ServerPort": lab.server.port})
    service.start()
    try:
        # The signal waits in qarg's socket; the bus then stalls before qarg asks about
        # its sender, so that the question times out.
        os.kill(prog.pid, signal.SIGSTOP)
        try:
            service.emit_server_msg(1100, {"job_id": 4713, "task_id": 8})
            os.kill(lab.bus.pid, signal.SIGSTOP)
        finally:
            os.kill(prog.pid, signal.SIGCONT)
        try:
            wait_until(lambda: "sender check timed out" in log_text(prog)
                       or "cannot tell who sent a signal" in log_text(prog), 15,
                       what="the sender check to time out")
        finally:
            os.kill(lab.bus.pid, signal.SIGCONT)
        service.wait_for_calls("ReplyTaskResult", timeout=30,
                               where=lambda a: a[0] == 4713 and a[2] == 2002)
        assert "cannot tell who sent a signal" not in log_text(prog)
    finally:
        service.stop()
