"""Nothing the server is owed is lost: receipts and acknowledged tasks survive kill -9 and
stops of the real qarg and qars, and every pushed task ends in exactly one final receipt."""

import json
import re
import os
import signal

import pytest

import harness
from conftest import log_text, policy, replies, start_qarg, wait_until
from server import POLICY_PATH

CACHE_DIR = "/root/.cache/vorn/cache_policy"
JOURNAL_DIR = "/var/lib/qarg/receipts"
NTP_DOC = policy(("ntp/ntpServer", "time.lab.example"))


def finals(vorng, job):
    """The final receipts (2002/2003) the service was handed for a job, failed calls included."""
    return [c for c in replies(vorng, job) if c[2] in (2002, 2003)]


def owed(lab):
    path = lab.sandbox.path(JOURNAL_DIR)
    return sorted(n for n in os.listdir(path) if n.endswith(".receipt")) if os.path.isdir(path) else []


def kill(prog, how):
    if how == "kill -9":
        os.kill(prog.pid, signal.SIGKILL)
        prog.popen.wait(5)
    else:
        assert prog.stop() == 0


def deliver_after_restart(lab, job, attempts_before):
    """Restarts qarg and waits until the owed receipt was accepted; returns that receipt."""
    lab.vorng.fail_replies(0)
    prog = start_qarg(lab)
    wait_until(lambda: len(finals(lab.vorng, job)) > attempts_before, 15,
               what="the owed receipt after the restart")
    wait_until(lambda: not owed(lab), 10, what="the journal to empty")
    after = finals(lab.vorng, job)[attempts_before:]
    # Accepted at the first attempt after the restart, and never sent again.
    assert len(after) == 1, after
    assert prog.alive()
    return after[0]


@pytest.mark.parametrize("how", ["kill -9", "SIGTERM"])
def test_receipt_owed_at_a_stop_reaches_the_service_after_the_restart(lab, how):
    lab.server.set_policy("system", NTP_DOC)
    prog = start_qarg(lab)
    lab.vorng.fail_replies(10000)
    lab.vorng.emit_server_msg(1100, {"job_id": 61, "task_id": 62})
    wait_until(lambda: finals(lab.vorng, 61), 15, what="a first, refused attempt")
    assert len(owed(lab)) == 1
    assert not os.listdir(lab.sandbox.path(CACHE_DIR))
    kill(prog, how)
    assert len(owed(lab)) == 1

    receipt = deliver_after_restart(lab, 61, len(finals(lab.vorng, 61)))
    assert receipt[:4] == (61, 62, 2002, "")
    assert json.loads(receipt[4]) == [{"ntp/ntpServer": "setNTPServer success"}]


def test_refusals_are_logged_when_they_start_and_end_not_per_attempt(lab):
    lab.server.set_policy("system", NTP_DOC)
    prog = start_qarg(lab)
    lab.vorng.fail_replies(6)
    lab.vorng.emit_server_msg(1100, {"job_id": 63, "task_id": 64})
    wait_until(lambda: "receipt accepted by the core client service" in log_text(prog) and not owed(lab),
               20, what="the receipt after six refusals")
    text = log_text(prog)
    assert text.count("receipt refused by the core client service, retrying") == 1
    assert len(re.findall(r"receipt accepted by the core client service after \d+ attempts", text)) == 1


def test_task_acknowledged_before_a_kill_is_pulled_again_and_answered(lab):
    lab.server.set_policy("system", NTP_DOC)
    prog = start_qarg(lab)
    # The pull hangs, so the daemon dies between the acknowledgement and the document.
    lab.server.set_faults({POLICY_PATH: {"kind": "slow", "seconds": 30}})
    lab.vorng.emit_server_msg(1100, {"job_id": 65, "task_id": 66})
    wait_until(lambda: [c for c in replies(lab.vorng, 65) if c[2] == 2001], 10, what="the 2001")
    wait_until(lambda: os.path.exists(lab.sandbox.path(JOURNAL_DIR + "/pulls/66_65")), 5,
               what="the pull to be marked")
    kill(prog, "kill -9")
    lab.server.clear_faults()

    start_qarg(lab)
    wait_until(lambda: finals(lab.vorng, 65), 20, what="the task's receipt after the restart")
    assert [c[:4] for c in finals(lab.vorng, 65)] == [(65, 66, 2002, "")]


def test_kill_during_a_handler_runs_the_document_again_and_answers_once(lab):
    lab.server.set_policy("system", policy(("script/script_name", "hello.sh_|_scripts/hello.sh")))
    prog = start_qarg(lab)
    lab.server.set_faults({"/scripts/hello.sh": {"kind": "slow", "seconds": 30}})
    lab.vorng.emit_server_msg(1100, {"job_id": 67, "task_id": 68})
    wait_until(lambda: "----SCRIPT_NAME--list--" in log_text(prog), 15, what="the script handler")
    assert os.listdir(lab.sandbox.path(CACHE_DIR)) == ["68_67"]
    kill(prog, "kill -9")
    lab.server.clear_faults()

    start_qarg(lab)
    wait_until(lambda: finals(lab.vorng, 67), 20, what="the receipt of the re-run document")
    (receipt,) = finals(lab.vorng, 67)
    assert receipt[2] == 2002


@pytest.mark.parametrize("fault, reason", [
    ({"kind": "http500"}, "policy pull failed, code 500; "),
    ({"kind": "garbage"}, "policy answer is not JSON; "),
    ({"kind": "reset"}, "policy pull failed, code 0"),
    (None, "policy pull failed, code 0"),
], ids=["500", "garbage", "reset", "server-down"])
def test_failed_pull_without_a_stored_document_fails_the_task_with_its_reason(lab, fault, reason):
    prog = start_qarg(lab)
    if fault:
        lab.server.set_faults({POLICY_PATH: fault})
    else:
        lab.server.stop()
    lab.vorng.emit_server_msg(1100, {"job_id": 69, "task_id": 70})
    wait_until(lambda: finals(lab.vorng, 69), 15, what="the task's receipt")
    (receipt,) = finals(lab.vorng, 69)
    assert receipt[:4] == (69, 70, 2003, "")
    assert receipt[4].startswith(reason), receipt[4]
    assert receipt[4].endswith("; no stored policy document")
    assert prog.alive()
    assert not os.listdir(lab.sandbox.path(CACHE_DIR))


def test_slow_server_still_answers_the_task(lab):
    lab.server.set_policy("system", NTP_DOC)
    start_qarg(lab)
    lab.server.set_faults({POLICY_PATH: {"kind": "slow", "seconds": 3, "count": 1}})
    lab.vorng.emit_server_msg(1100, {"job_id": 83, "task_id": 84})
    wait_until(lambda: finals(lab.vorng, 83), 20, what="the task's receipt")
    assert [c[2] for c in finals(lab.vorng, 83)] == [2002]


def test_service_restarted_during_a_document_gets_the_receipt(lab, logs_dir):
    lab.server.set_policy("system", policy(("script/script_name", "hello.sh_|_scripts/hello.sh")))
    prog = start_qarg(lab)
    lab.server.set_faults({"/scripts/hello.sh": {"kind": "slow", "seconds": 3, "count": 1}})
    lab.vorng.emit_server_msg(1100, {"job_id": 85, "task_id": 86})
    wait_until(lambda: "----SCRIPT_NAME--list--" in log_text(prog), 15, what="the script handler")
    lab.vorng.stop()
    service = harness.VorngMock(lab.bus, logs_dir, {"ServerPort": lab.server.port})
    service.start()
    try:
        wait_until(lambda: finals(service, 85), 30, what="the receipt at the new service")
        assert [c[2] for c in finals(service, 85)] == [2002]
        assert prog.alive()
    finally:
        service.stop()


def test_failed_pull_with_a_stored_document_applies_it_again(lab):
    lab.server.set_policy("system", NTP_DOC)
    start_qarg(lab)
    lab.vorng.emit_server_msg(1100, {"job_id": 71, "task_id": 72})
    wait_until(lambda: finals(lab.vorng, 71), 15, what="the first receipt")
    lab.server.set_faults({POLICY_PATH: {"kind": "http500"}})
    lab.vorng.emit_server_msg(1100, {"job_id": 73, "task_id": 74})
    wait_until(lambda: finals(lab.vorng, 73), 15, what="the second receipt")
    (receipt,) = finals(lab.vorng, 73)
    assert receipt[2] == 2002
    assert json.loads(receipt[4]) == [{"ntp/ntpServer": "setNTPServer success"}]


def test_machine_enrolled_after_the_start_pulls_without_a_restart(lab):
    # Not enrolled yet: the core client service has written no server.
    lab.sandbox.write_userinfo("", server_host="")
    lab.server.set_policy("system", NTP_DOC)
    prog = start_qarg(lab)
    lab.sandbox.write_userinfo(lab.server.port)
    lab.vorng.emit_server_msg(1100, {"job_id": 75, "task_id": 76})
    wait_until(lambda: finals(lab.vorng, 75), 15, what="the receipt after the enrolment")
    (receipt,) = finals(lab.vorng, 75)
    assert receipt[2] == 2002
    assert "policy server now: \"127.0.0.1\"" in log_text(prog)


def test_cache_directory_that_cannot_be_written_fails_the_task(lab):
    # A plain file where the cache directory belongs: even root cannot write below it.
    path = lab.sandbox.path(CACHE_DIR)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write("not a directory\n")
    lab.server.set_policy("system", NTP_DOC)
    prog = start_qarg(lab)
    lab.vorng.emit_server_msg(1100, {"job_id": 77, "task_id": 78})
    wait_until(lambda: finals(lab.vorng, 77), 15, what="the task's receipt")
    (receipt,) = finals(lab.vorng, 77)
    assert receipt[:4] == (77, 78, 2003, "")
    assert receipt[4] == "policy document could not be stored: %s/78_77" % path
    assert prog.alive()


def test_service_absent_at_start_is_heard_once_it_appears(lab, logs_dir):
    lab.vorng.stop()
    lab.server.set_policy("system", NTP_DOC)
    prog = lab.start("qarg")
    wait_until(lambda: "system policy manager init end" in log_text(prog), 15, what="start-up")
    service = harness.VorngMock(lab.bus, logs_dir, {"ServerPort": lab.server.port})
    service.start()
    try:
        jobs = iter(range(7900, 8000))

        def answered():
            job = next(jobs)
            service.emit_server_msg(1100, {"job_id": job, "task_id": 79})
            try:
                return wait_until(lambda: [c for c in replies(service, job) if c[2] == 2002],
                                  3, what="a receipt")
            except TimeoutError:
                return False
        wait_until(answered, 40, 0.01, "the daemon to hear the service")
        assert prog.alive()
    finally:
        service.stop()
