"""qars, the session policy agent, run for real against the lab."""

import json
import os
import signal
import time

import pytest

from conftest import SAMPLE_SESSION_POLICY, wait_until
from sandbox import CONTROL_CENTRE

SESSION_KEYS = 15
SAVER_SUBDIR = os.path.join(".config", "kestal", "kestal-screensaver", "saverpic", "vorn")
DESKTOP_KEYS = ("SetHotspotEnable", "SetShortcutKeyEnable", "SetLauncherDisplayable",
                "SetTaskbarRightclickMenuEnable", "SetResidentTaskbarAppDisplayable",
                "SetRecycleBinDisplayable", "SetWebTrayIconClickable", "SetUsbTrayIconClickable")


def session_doc(settings):
    """{"policys": [...]} from {"policy_key/config_key": value}."""
    policys = {}
    for key, value in settings.items():
        policy, config = key.split("/", 1)
        policys.setdefault(policy, []).append({"config_key": config, "config_value": value})
    return {"policys": [{"policy_key": p, "configs": c} for p, c in policys.items()]}


def links(*names):
    return json.dumps([{"name": n, "url": "https://%s.lab.internal/" % n.lower(),
                        "iconPath": "images/icons/%s.png" % ("intranet" if i % 2 == 0
                                                            else "helpdesk")}
                       for i, n in enumerate(names)])


def start_qars(lab, extra_env=None):
    """Starts qars and waits until the server's control-centre list has been answered:
    a document applied before that finds the list still empty."""
    prog = lab.start("qars", extra_env=extra_env)
    prog.wait_for_output("session policy manager init end", timeout=15)
    prog.wait_for_output("control centre modules known:", timeout=75)
    return prog


def push_and_reply(lab, job, task, timeout=30):
    """Pushes an update and returns (seconds until the 2002 reply, its result array)."""
    pushed = time.monotonic()
    lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": task})
    (reply,) = lab.vorng.wait_for_calls(
        "ReplyTaskResult", timeout=timeout, where=lambda a: a[0] == job and a[1] == task)
    assert reply[2:4] == (2002, "")
    return time.monotonic() - pushed, json.loads(reply[4])


def state(lab):
    return lab.sandbox.read_json(lab.sandbox.session_state_path(), {})


def keys_of(results):
    return [next(iter(entry)) for entry in results]


def test_push_applies_session_policy_and_replies(lab):
    lab.server.set_policy("session", SAMPLE_SESSION_POLICY)
    home = lab.sandbox.home()
    prog = start_qars(lab)

    _, results = push_and_reply(lab, job=7, task=3)

    # One entry per setting, one more per extra web link; all applied.
    assert len(results) == SESSION_KEYS + 1
    assert len(set(keys_of(results))) == SESSION_KEYS
    assert [e for e in results if next(iter(e.values())).startswith("failed")] == []
    (pull,) = [r for r in lab.server.requests("/policy/v1/client/pc_policy_details")
               if r["query"]["policy_level"] == "session"][:1]
    assert pull["query"]["machine_id"] == "lab-machine-0001"
    assert pull["client"] == "CN=lab-client"

    cache = os.path.join(home, ".cache", "vorn")
    assert os.path.isfile(os.path.join(cache, "session_policy.json"))
    assert os.listdir(os.path.join(cache, "cache_policy")) == []

    settings = state(lab)
    assert settings["SetDisplayMode"] == "fashion"
    assert settings["SetScreenSaverTime"] == 600 and settings["SetLockScreenAtAwake"] is True
    assert settings["SetPowerSleepDelay"] == 3600
    assert settings["SetControlConfig"]["shown"] == ["display", "network", "sound", "datetime"]
    assert "accounts" in settings["SetControlConfig"]["all"]

    # The wallpaper came into the user's own directory, was set and deleted.
    wallpaper = os.path.join(lab.sandbox.tmp, "vorn-wallpaper-%d" % os.getuid(), "wallpaper.png")
    assert settings["SetMonitorBackground"] == {"eDP-1": wallpaper}
    assert not os.path.exists(wallpaper)
    assert lab.server.requests("/images/wallpaper.png")

    saver = os.path.join(home, SAVER_SUBDIR)
    assert os.listdir(saver) == ["screensaver.png"]
    assert settings["SetScreenSaverPolicy"] == saver + "/"

    icons = os.path.join(home, ".local", "share", "icons", "webpageIcon")
    assert sorted(os.listdir(icons)) == ["helpdesk.png", "intranet.png"]
    assert sorted((l["name"], l["icon"]) for l in settings["CreateDesktopNetAddress"]) == [
        ("Helpdesk", os.path.join(icons, "helpdesk.png")),
        ("Intranet", os.path.join(icons, "intranet.png"))]

    assert os.path.isfile(prog.log_file())
    assert "Strategy Processing test main!!! " in prog.output()


def test_empty_cache_home_counts_as_unset(lab):
    lab.server.set_policy("session", session_doc({"taskbar/taskbar_launcher": "1"}))
    home = lab.sandbox.home()
    start_qars(lab, extra_env={"XDG_CACHE_HOME": ""})

    _, results = push_and_reply(lab, job=8, task=4)
    assert results == [{"taskbar/taskbar_launcher": "success"}]
    assert os.path.isfile(os.path.join(home, ".cache", "vorn", "session_policy.json"))
    assert os.path.isdir(os.path.join(home, ".cache", "vorn", "cache_policy"))


def test_screensaver_download_failure(lab):
    key = "screen_saver_wallpaper/screen_saver_wallpaper_name"
    lab.server.set_policy("session", session_doc({key: "images/no-such-picture.png"}))
    saver = os.path.join(lab.sandbox.home(), SAVER_SUBDIR)
    os.makedirs(saver)
    with open(os.path.join(saver, "old.png"), "wb") as f:
        f.write(b"old picture")
    start_qars(lab)

    _, results = push_and_reply(lab, job=9, task=5)
    assert results == [{key: "image not exist"}]
    assert os.listdir(saver) == []
    assert "SetScreenSaverPolicy" not in state(lab)


def test_wallpaper_download_failure_applies_nothing(lab):
    key = "wallpaper/wallpaper_name"
    lab.server.set_policy("session", session_doc({key: "images/planted.png"}))
    # A picture someone left in the shared temporary directory.
    with open(os.path.join(lab.sandbox.tmp, "planted.png"), "wb") as f:
        f.write(b"not from the server")
    start_qars(lab)

    _, results = push_and_reply(lab, job=10, task=6)
    assert results == [{key: "wallpaper download failed, code: 404"}]
    assert "SetMonitorBackground" not in state(lab)


def test_three_web_links_end_without_waiting(lab):
    key = "desktop_shortcuts/desktop_shortcuts_list"
    lab.server.set_policy("session", session_doc({key: links("One", "Two", "Three")}))
    start_qars(lab)

    elapsed, results = push_and_reply(lab, job=11, task=7)
    assert results == [{key: "success"}] * 3
    # Ends with its last result, not by the 30-minute limit.
    assert elapsed < 10
    # Links are created as their icons arrive, in any order.
    assert sorted(l["name"] for l in state(lab)["CreateDesktopNetAddress"]) == [
        "One", "Three", "Two"]
    assert len(lab.server.requests("/images/icons/")) == 3


def test_other_push_types_are_ignored(lab):
    lab.server.set_policy("session", session_doc({"taskbar/taskbar_launcher": "1"}))
    prog = start_qars(lab)
    lab.vorng.emit_server_msg(1001, {"job_id": 1, "task_id": 1})
    lab.vorng.emit_server_msg(1100, "not json")
    wait_until(lambda: prog.output().count("onServerMsgCame------:") >= 2, 10,
               what="both pushes logged")
    # A later valid push is the only one that pulls and replies.
    push_and_reply(lab, job=12, task=8)
    replies = lab.vorng.calls("ReplyTaskResult")
    assert [(r[0], r[1]) for r in replies] == [(12, 8)]
    assert '"1001"' not in prog.output() and ":type: 1001" in prog.output()


def test_domain_removal_restores_desktop_and_stops_unit(lab):
    prog = start_qars(lab)
    lab.vorng.emit_domain_removed()

    lab.stubs.wait_for_call(["systemctl", "--global", "stop", "lumo-session"], timeout=15)
    assert lab.stubs.calls("systemctl") == [
        ["systemctl", "--global", "disable", "lumo-session"],
        ["systemctl", "--global", "stop", "lumo-session"]]

    settings = state(lab)
    # The modules saved in the backup settings file, shown again.
    assert settings["SetControlConfig"] == {"all": CONTROL_CENTRE, "shown": [""], "apply": False}
    assert settings["SetHotspotEnable"] == 1
    assert all(settings[k] is True for k in DESKTOP_KEYS[1:])

    # The adaption calls, in order, all before the unit is disabled.
    out = prog.output()
    begin = out.index("lumo-session remove domain begin")
    end = out.index("lumo-session remove domain end")
    calls = [line.split("vorn-xwe: ", 1)[1].split("(", 1)[0]
             for line in out[begin:end].splitlines() if "vorn-xwe: Set" in line]
    assert calls == ["SetControlConfig"] + list(DESKTOP_KEYS)


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT], ids=["TERM", "INT"])
def test_stop_signal_ends_within_a_second(lab, sig):
    prog = start_qars(lab)
    started = time.monotonic()
    os.kill(prog.pid, sig)
    wait_until(lambda: not prog.alive(), 1.0, what="qars to end")
    assert prog.returncode() == 0
    assert time.monotonic() - started < 1.0
