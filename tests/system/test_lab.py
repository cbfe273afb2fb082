"""The lab itself: what the system tests and the demo rely on."""

import json
import os
import ssl
import subprocess
import time

import pytest

from conftest import SAMPLE_SESSION_POLICY, SAMPLE_SYSTEM_POLICY, wait_until
from server import policy_md5

VORNG = ["--dest", "com.kestal.vorn.vorng", "--object-path", "/com/kestal/vorn/vorng"]


def gdbus_reply(bus, job, task, code=2002, data="[]"):
    return subprocess.run(
        ["gdbus", "call", "--system"] + VORNG
        + ["--method", "com.kestal.vorn.vorng.ReplyTaskResult",
           str(job), str(task), str(code), "", data],
        env=dict(os.environ, **bus.client_env()), capture_output=True, text=True, timeout=30)


def ntp_doc(server):
    return {"policys": [{"policy_key": "ntp",
                         "configs": [{"config_key": "ntpServer", "config_value": server}]}]}


@pytest.mark.parametrize("cert", [None, "other-client"], ids=["no-cert", "foreign-ca"])
def test_server_refuses_client_without_lab_certificate(lab_server, cert):
    with pytest.raises((ssl.SSLError, ConnectionError)):
        lab_server.fetch("/policy/v1/client/all_control_center_info", cert=cert)
    wait_until(lab_server.tls_errors, 5, what="the refused handshake in the log")
    assert lab_server.requests() == []


def test_server_answers_and_logs_policy_request(lab_server):
    lab_server.set_policy("system", SAMPLE_SYSTEM_POLICY)
    status, body = lab_server.fetch("/policy/v1/client/pc_policy_details"
                                    "?machine_id=m-1&policy_level=system&md5=")
    assert status == 200
    answer = json.loads(body)
    with open(SAMPLE_SYSTEM_POLICY, encoding="utf-8") as f:
        sample = json.load(f)["data"]["policys"]
    assert answer["code"] == 0
    assert answer["data"]["policys"] == sample
    assert answer["data"]["md5"] == policy_md5(sample)

    (req,) = lab_server.requests()
    assert req["path"] == "/policy/v1/client/pc_policy_details"
    assert req["query"] == {"machine_id": "m-1", "policy_level": "system", "md5": ""}
    assert req["client"] == "CN=lab-client"
    assert req["status"] == 200


def test_policy_md5_follows_the_document(lab_server):
    first = lab_server.set_policy("session", ntp_doc("a.example"))["md5"]
    second = lab_server.set_policy("session", ntp_doc("b.example"))["md5"]
    assert first != second
    assert lab_server.set_policy("session", ntp_doc("a.example"))["md5"] == first
    # A client that already has the document still gets all of it.
    _, body = lab_server.fetch("/policy/v1/client/pc_policy_details"
                               "?machine_id=m&policy_level=session&md5=" + first)
    answer = json.loads(body)
    assert answer["code"] == 0 and answer["data"]["md5"] == first
    assert answer["data"]["policys"] == ntp_doc("a.example")["policys"]


def test_sample_policies_cover_every_key():
    def keys(path):
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
        return {p["policy_key"] + "/" + c["config_key"]
                for p in doc["data"]["policys"] for c in p["configs"]
                if isinstance(c["config_value"], str)}
    assert len(keys(SAMPLE_SYSTEM_POLICY)) == 12
    assert "usb/usb_store_device" in keys(SAMPLE_SYSTEM_POLICY)
    assert len(keys(SAMPLE_SESSION_POLICY)) == 15
    assert "screen_saver_wallpaper/screen_saver_wallpaper_name" in keys(SAMPLE_SESSION_POLICY)


def test_whitelist_and_control_centre(lab_server):
    lab_server.set_whitelist([("0951", "1666", "SER1")])
    base = "/api/usb_whitelist_check?machine_id=m&vendorId=0951&productId=1666&serialNumber="
    assert json.loads(lab_server.fetch(base + "SER1")[1])["code"] == 1
    assert json.loads(lab_server.fetch(base + "SER2")[1])["code"] == 0
    lab_server.set_control_centre(["display", "sound"])
    answer = json.loads(lab_server.fetch("/policy/v1/client/all_control_center_info")[1])
    assert answer == {"code": 0, "msg": "ok", "data": ["display", "sound"]}


def test_files_are_served_only_from_the_files_directories(lab_server):
    status, body = lab_server.fetch("/images/wallpaper.png")
    assert status == 200 and body.startswith(b"\x89PNG")
    assert lab_server.fetch("/../server.py")[0] == 404
    assert lab_server.fetch("/images/%2e%2e/%2e%2e/server.py")[0] == 404
    assert lab_server.fetch("/no/such/file.png")[0] == 404


@pytest.mark.parametrize("fault, check", [
    ({"kind": "http500"}, lambda st, body: st == 500),
    ({"kind": "404"}, lambda st, body: st == 404),
    ({"kind": "garbage"}, lambda st, body: st == 200 and not body.startswith(b"{")),
    ({"kind": "code", "code": 3}, lambda st, body: json.loads(body)["code"] == 3),
], ids=["http500", "404", "garbage", "code"])
def test_server_faults_apply_to_their_prefix_and_count(lab_server, fault, check):
    policy = "/policy/v1/client/pc_policy_details?machine_id=m&policy_level=system&md5="
    lab_server.set_faults({"/policy/": dict(fault, count=1)})
    assert check(*lab_server.fetch(policy))
    assert lab_server.requests()[-1]["fault"] == fault["kind"]
    # Used up: the next answer is normal, and other paths never saw the fault.
    status, body = lab_server.fetch(policy)
    assert status == 200 and json.loads(body)["code"] == 0


def test_server_reset_and_slow_faults(lab_server):
    lab_server.set_faults({"/api/": {"kind": "reset"},
                           "/policy/v1/client/all": {"kind": "slow", "seconds": 1.0}})
    with pytest.raises((ConnectionError, ssl.SSLError, OSError)):
        lab_server.fetch("/api/usb_whitelist_check?vendorId=1")
    started = time.monotonic()
    assert lab_server.fetch("/policy/v1/client/all_control_center_info")[0] == 200
    assert time.monotonic() - started >= 1.0
    lab_server.clear_faults()
    assert lab_server.fetch("/api/usb_whitelist_check?vendorId=1")[0] == 200


def test_vorng_records_replies_and_fails_them_when_told(system_bus, vorng):
    vorng.fail_replies(2)
    results = [gdbus_reply(system_bus, 7, 9).returncode for _ in range(3)]
    assert results[0] != 0 and results[1] != 0 and results[2] == 0
    assert vorng.calls("ReplyTaskResult") == [(7, 9, 2002, "", "[]")] * 3
    assert [c["args"] for c in vorng.recorded_calls()] == [[7, 9, 2002, "", "[]"]] * 3


def test_vorng_delayed_reply_keeps_the_mock_serving(system_bus, vorng):
    vorng.delay_replies(2.0)
    started = time.monotonic()
    call = subprocess.Popen(["gdbus", "call", "--system"] + VORNG
                            + ["--method", "com.kestal.vorn.vorng.ReplyTaskResult",
                               "1", "2", "2002", "", "[]"],
                            env=dict(os.environ, **system_bus.client_env()),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        vorng.wait_for_calls("ReplyTaskResult", timeout=5)
        assert vorng.get_property("MachineID") == "lab-machine-0001"
        assert call.poll() is None
        assert call.wait(10) == 0
        assert time.monotonic() - started >= 2.0
    finally:
        if call.poll() is None:
            call.kill()
            call.wait()


def test_vorng_signals_come_from_the_service_name_owner(system_bus, vorng, tmp_path):
    out = open(tmp_path / "monitor.txt", "w+")
    monitor = subprocess.Popen(["gdbus", "monitor", "--system", "--dest",
                                "com.kestal.vorn.vorng"],
                               env=dict(os.environ, **system_bus.client_env()), stdout=out,
                               stderr=subprocess.STDOUT)
    try:
        def attached():
            # The monitor subscribes asynchronously: knock until it hears.
            vorng.emit("ObjectRegistered")
            return "vorng.ObjectRegistered" in open(tmp_path / "monitor.txt").read()
        wait_until(attached, 10, 0.1, what="gdbus monitor to hear the service")
        vorng.set_property("TimeInterval", 3)
        vorng.emit_server_msg(1100, {"job_id": 7, "task_id": 9})
        vorng.emit_domain_removed()
        text = wait_until(lambda: (lambda t: t if "DomainRemoved" in t else None)(
            open(tmp_path / "monitor.txt").read()), 5, what="the signals")
        assert "com.kestal.vorn.vorng.ServerMsgCame ('lab', 1100, " in text
        assert '"job_id": 7' in text
        assert vorng.get_property("TimeInterval") == 3
    finally:
        monitor.terminate()
        monitor.wait(5)
        out.close()


def test_logind_mock_users_and_states(system_bus, logind):
    logind.add_user(1000, "alice", "online")
    logind.add_user(1001, "bob", "active")
    logind.add_user(10001, "dave", "closing")
    env = dict(os.environ, **system_bus.client_env())
    users = subprocess.run(["gdbus", "call", "--system", "--dest", "org.freedesktop.login1",
                            "--object-path", "/org/freedesktop/login1", "--method",
                            "org.freedesktop.login1.Manager.ListUsers"],
                           env=env, capture_output=True, text=True, timeout=10).stdout
    assert "'alice'" in users and "'bob'" in users and "'dave'" in users
    states = {}
    for uid in (1000, 1001, 10001):
        states[uid] = subprocess.run(
            ["gdbus", "call", "--system", "--dest", "org.freedesktop.login1", "--object-path",
             "/org/freedesktop/login1/user/%d" % uid, "--method",
             "org.freedesktop.DBus.Properties.Get", "org.freedesktop.login1.User", "State"],
            env=env, capture_output=True, text=True, timeout=10).stdout.strip()
    assert states == {1000: "(<'online'>,)", 1001: "(<'active'>,)", 10001: "(<'closing'>,)"}


def test_stubs_record_calls_and_answer_from_config(stubs, sandbox):
    stubs.answer("loginctl terminate-session", stderr="no such session\n", exit=1)
    stubs.answer("blkid", stdout="UUID=abcd\n")
    env = dict(os.environ, **stubs.env(), LC_ALL="C")
    run = lambda *argv: subprocess.run(list(argv), env=env, capture_output=True, text=True,
                                       timeout=10)
    failed = run("loginctl", "terminate-session", "c1")
    assert failed.returncode == 1 and failed.stderr == "no such session\n"
    assert run("loginctl", "list-sessions").returncode == 0
    via_sudo = run("sudo", "-u", "root", "blkid", "/dev/sdb1")
    assert via_sudo.stdout == "UUID=abcd\n"
    assert stubs.calls() == [["loginctl", "terminate-session", "c1"],
                             ["loginctl", "list-sessions"],
                             ["sudo", "-u", "root", "blkid", "/dev/sdb1"],
                             ["blkid", "/dev/sdb1"]]
    assert stubs.records("blkid")[0]["env"]["LC_ALL"] == "C"


def test_sandbox_holds_what_the_programs_read(sandbox, lab_server, certs):
    with open(sandbox.path("/etc/vorn/userinfo.json"), encoding="utf-8") as f:
        info = json.load(f)
    assert info == {"server_host": "127.0.0.1", "server_port": str(lab_server.port),
                    "pc_enabled": 1}
    assert os.stat(sandbox.path("/etc/vorn/.IRO_Vorn.key")).st_mode & 0o077 == 0
    # The copied client credentials are accepted by the server.
    ctx = ssl.create_default_context(cafile=sandbox.path("/etc/vorn/clientapi_ca.crt"))
    ctx.load_cert_chain(sandbox.path("/etc/vorn/IRO_Vorn.pem"),
                        sandbox.path("/etc/vorn/.IRO_Vorn.key"))
    import http.client  # pylint: disable=import-outside-toplevel
    conn = http.client.HTTPSConnection("127.0.0.1", lab_server.port, context=ctx, timeout=10)
    conn.request("GET", "/policy/v1/client/all_control_center_info")
    assert conn.getresponse().status == 200
    conn.close()
    upgrade = subprocess.run(["bash", sandbox.path("/usr/share/vorn/scripts/software_upgrade.bash"),
                              "a", "b"], capture_output=True, text=True, timeout=10)
    assert upgrade.stdout == "software_upgrade.bash a b\n"


def test_demo_applies_a_pushed_update(build_dir):
    if not os.access(os.path.join(build_dir, "bin", "qarg"), os.X_OK):
        pytest.skip("qarg is not built")
    demo = subprocess.run(["/usr/bin/python3", os.path.join(os.path.dirname(__file__), "..", "..",
                                                            "tools", "lab", "demo.py"),
                           "--build", build_dir, "--timeout", "60"],
                          capture_output=True, text=True, timeout=180)
    assert demo.returncode == 0, demo.stdout[-3000:] + demo.stderr[-2000:]
    assert "ReplyTaskResult job 4101 task 5202 code 2001" in demo.stdout
    assert "ReplyTaskResult job 4101 task 5202 code 2002 result '' (from qarg)" in demo.stdout
    assert "level=system" in demo.stdout


def test_fixtures_run_qarg_in_the_sandbox(lab):
    lab.server.set_policy("system", {"policys": [
        {"policy_key": "ssh_login", "configs": [{"config_key": "ssh_login_status",
                                                 "config_value": "1"}]}]})
    qarg = lab.start("qarg")
    wait_until(lambda: "vorng.TimeInterval" in open(lab.vorng.call_log_path).read(), 15,
               what="qarg to read TimeInterval")
    lab.vorng.emit_server_msg(1100, {"job_id": 3, "task_id": 4})
    (receipt,) = lab.vorng.wait_for_calls("ReplyTaskResult", timeout=30,
                                          where=lambda c: c[2] == 2002)
    assert receipt[:2] == (3, 4)
    assert lab.vorng.calls("ReplyTaskResult")[0] == (3, 4, 2001, "", "receive success")
    (pull,) = lab.server.requests("/policy/")
    assert pull["query"]["machine_id"] == "lab-machine-0001"
    assert pull["client"] == "CN=lab-client"
    assert ["systemctl", "enable", "ssh"] in lab.stubs.calls("systemctl")
    assert qarg.alive()
    assert os.path.isfile(lab.sandbox.path("/etc/vorn/system_policy.json"))


@pytest.mark.parametrize("path, body", [
    ("/faults", {"/policy/": {"kind": "explode"}}),
    ("/faults", {"policy": {"kind": "reset"}}),
    ("/policy/system", {"data": {}}),
    ("/whitelist", {"vendorId": "1"}),
    ("/control-centre", "display"),
])
def test_server_control_rejects_malformed_requests(lab_server, path, body):
    before = lab_server.admin("GET", path)
    with pytest.raises(RuntimeError, match="lab server control"):
        lab_server.admin("PUT", path, body)
    assert lab_server.admin("GET", path) == before


@pytest.mark.parametrize("sudo_args, runs", [
    (["blkid", "/dev/sdb1"], ["blkid", "/dev/sdb1"]),
    (["-u", "root", "blkid", "-o", "export"], ["blkid", "-o", "export"]),
    (["-E", "-n", "--", "lsblk", "-J"], ["lsblk", "-J"]),
])
def test_stub_sudo_runs_the_command_after_its_options(stubs, sudo_args, runs):
    env = dict(os.environ, **stubs.env())
    assert subprocess.run(["sudo"] + sudo_args, env=env, timeout=10).returncode == 0
    assert stubs.calls() == [["sudo"] + sudo_args, runs]


def test_stub_passthrough_and_delay(stubs, tmp_path):
    (tmp_path / "marker.txt").write_text("x")
    stubs.configure({"find": {"passthrough": True}, "udevadm settle": {"delay": 0.5, "exit": 4}})
    env = dict(os.environ, **stubs.env())
    found = subprocess.run(["find", str(tmp_path), "-name", "marker.txt"], env=env,
                           capture_output=True, text=True, timeout=10)
    assert found.stdout.strip() == str(tmp_path / "marker.txt")
    started = time.monotonic()
    assert subprocess.run(["udevadm", "settle"], env=env, timeout=10).returncode == 4
    assert time.monotonic() - started >= 0.5
    assert subprocess.run(["udevadm", "info"], env=env, timeout=10).returncode == 0
    assert [c[0] for c in stubs.calls()] == ["find", "udevadm", "udevadm"]
