"""qarg's software installation, server scripts, firewall commands and boot background,
run for real against the lab."""

import itertools
import json
import os
import time

from conftest import SAMPLE_SYSTEM_POLICY, policy, replies, start_qarg, wait_until

INSTALL = "pre_install_app/pre_install_app_list"
SCRIPT = "script/script_name"
FIREWALL = "firewall/firewall_data"
BACKGROUND = "launch_backgroud/launch_backgroud_name"
SOFTWARE_LIST = "/var/lib/qarg/software_list.list"

_jobs = itertools.count(100)


def apply(lab, *settings, timeout=15):
    """Serves a policy of these settings, pushes an update and returns its result array
    (the 2002 receipt's data) and the seconds from the push to the receipt."""
    lab.server.set_policy("system", policy(*settings))
    job = next(_jobs)
    started = time.monotonic()
    lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": 3})
    done = wait_until(lambda: [c for c in replies(lab.vorng, job) if c[2] == 2002], timeout,
                      what="the receipt of job %d" % job)[0]
    return json.loads(done[4]), time.monotonic() - started


def serve(lab, path, content, mode="w"):
    target = os.path.join(lab.server.workdir, "files", path)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    with open(target, mode) as f:
        f.write(content)


def texts(results, key):
    return [r[key] for r in results if key in r]


def test_install_skips_blacklisted_package_and_records_both(lab):
    packages = [{"package_name": "office-suite", "architecture": "amd64", "version": "7.4.1"},
                {"package_name": "game-mines", "architecture": "amd64", "version": "1.0"}]
    start_qarg(lab)
    results, _ = apply(lab, (INSTALL, json.dumps(packages)))

    assert results == [{INSTALL: "software_upgrade.bash office-suite\n"}]
    stored = lab.sandbox.read_json(lab.sandbox.path(SOFTWARE_LIST))
    assert stored == [dict(p, installed_type=1) for p in packages]
    with open(lab.sandbox.path(SOFTWARE_LIST), encoding="utf-8") as f:
        assert "\n" not in f.read()

    # The same list again adds nothing.
    results, _ = apply(lab, (INSTALL, json.dumps(packages)))
    assert results == [{INSTALL: "software_upgrade.bash office-suite\n"}]
    assert lab.sandbox.read_json(lab.sandbox.path(SOFTWARE_LIST)) == stored


def test_install_of_blacklisted_packages_only_runs_nothing(lab):
    start_qarg(lab)
    results, _ = apply(lab, (INSTALL, json.dumps([{"package_name": "torrent-client"}])))
    assert results == [{INSTALL: "given packages are in the app blacklist"}]
    assert lab.sandbox.read_json(lab.sandbox.path(SOFTWARE_LIST)) == [
        {"package_name": "torrent-client", "installed_type": 1}]


def test_two_scripts_are_downloaded_run_and_answered_once_each(lab):
    serve(lab, "tasks/first.sh", "echo first ran as $(id -un)\n")
    serve(lab, "more/second.sh", "echo second\n")
    start_qarg(lab)
    lab.server.clear_requests()
    results, seconds = apply(lab, (SCRIPT, "first_|_tasks/first.sh,second_|_more/second.sh"))

    assert sorted(texts(results, SCRIPT)) == ["first ran as root\n", "second\n"]
    assert len(results) == 2
    assert seconds < 10
    assert [r["path"] for r in lab.server.requests("/tasks")] == ["/tasks/first.sh"]
    assert [r["path"] for r in lab.server.requests("/more")] == ["/more/second.sh"]
    # The script files went with the document.
    wait_until(lambda: not [n for n in os.listdir(lab.sandbox.tmp) if n.endswith(".bash")], 5,
               what="the script files to go")


def test_script_not_found_is_not_run(lab):
    start_qarg(lab)
    results, _ = apply(lab, (SCRIPT, "gone_|_tasks/missing.sh"))
    assert results == [{SCRIPT: "script download failed, code 404: %s"
                                % lab.server.url("/tasks/missing.sh")}]
    assert lab.server.requests("/tasks/missing.sh")[0]["status"] == 404


def test_two_firewall_commands_answer_in_order_without_waiting(lab):
    start_qarg(lab)
    results, seconds = apply(lab, (FIREWALL, json.dumps(["sleep 0.2; echo rule-1",
                                                         "echo rule-2; echo err >&2"])))
    assert results == [{FIREWALL: "rule-1\n"}, {FIREWALL: "rule-2\n"}]
    assert seconds < 10


def test_boot_background_is_stored_in_pic_and_installed(lab):
    serve(lab, "a/b/c.png", b"\x89PNG lab picture", "wb")
    start_qarg(lab)
    results, _ = apply(lab, (BACKGROUND, "a/b/c.png"))

    stored = lab.sandbox.path("/etc/vorn/pic/c.png")
    assert results == [{BACKGROUND: "success"}]
    with open(stored, "rb") as f:
        assert f.read() == b"\x89PNG lab picture"
    state = lab.sandbox.read_json(lab.sandbox.system_state_path())
    assert state["SetBackgroundSourceFile"] == stored
    assert lab.server.requests("/a/b/c.png")[0]["status"] == 200


def test_full_sample_policy_applies_without_waiting_for_the_time_limit(lab):
    with open(SAMPLE_SYSTEM_POLICY, encoding="utf-8") as f:
        sample = json.load(f)["data"]
    start_qarg(lab)
    lab.server.set_policy("system", sample)
    job = next(_jobs)
    lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": 4})
    done = wait_until(lambda: [c for c in replies(lab.vorng, job) if c[2] == 2002], 30,
                      what="the receipt of the sample policy")[0]
    results = json.loads(done[4])

    keys = sorted(k for r in results for k in r)
    expected = sorted("%s/%s" % (p["policy_key"], c["config_key"])
                      for p in sample["policys"] for c in p["configs"])
    assert keys == expected
    assert texts(results, FIREWALL) == ["rule-1-applied\n"]
    assert texts(results, INSTALL) == ["software_upgrade.bash office-suite pdf-viewer\n"]
    assert texts(results, SCRIPT)[0].startswith("lab script ran as root")
    assert texts(results, BACKGROUND) == ["success"]
    assert lab.sandbox.read_json(lab.sandbox.system_state_path())["SetBackgroundSourceFile"] \
        == lab.sandbox.path("/etc/vorn/pic/boot-background.png")
