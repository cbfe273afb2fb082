"""qarg and qars with the adaption library's linux backend (VORN_XWE_BACKEND=linux), run for
real against the lab: from the push to the receipt, each setting read back with the
platform's own tools (systemd's parser, dpkg, gsettings) or from the files it changed."""

import itertools
import json
import os
import shutil
import struct
import subprocess

import pytest

import harness
from conftest import policy, replies, start_qarg, wait_until

# Platform tools beyond the lab's stand-ins: recorded, never run for real.
EXTRA_STUBS = ("pam-auth-update", "update-grub", "blockdev")
RFKILL_EVENT = struct.Struct("=IBBBB")  # linux/rfkill.h: idx, type, op, soft, hard
RFKILL_TYPE_WLAN, RFKILL_TYPE_BLUETOOTH, RFKILL_OP_CHANGE_ALL = 1, 2, 3
NOT_SUPPORTED = "failed (status 8): not supported by this desktop"

_jobs = itertools.count(500)


@pytest.fixture
def linux_env(lab, tmp_path):
    """Environment of a program using the linux backend, with the extra stand-ins on PATH."""
    stub_dir = tmp_path / "more-stubs"
    stub_dir.mkdir()
    for name in EXTRA_STUBS:
        os.symlink(os.path.join(harness.STUB_DIR, "stub.py"), str(stub_dir / name))
    stubs = lab.stubs.env(harness.clean_env().get("PATH"))
    # Root's children (the platform's tools too) search VORN_CHILD_PATH.
    return {"VORN_XWE_BACKEND": "linux", "GSETTINGS_BACKEND": "keyfile",
            "PATH": str(stub_dir) + os.pathsep + stubs["PATH"],
            "VORN_CHILD_PATH": str(stub_dir) + os.pathsep + stubs["VORN_CHILD_PATH"]}


def apply(lab, level, settings, timeout=20):
    """Serves a policy of these settings, pushes an update, returns the receipt's results."""
    lab.server.set_policy(level, policy(*settings))
    job = next(_jobs)
    lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": 5})
    done = wait_until(lambda: [c for c in replies(lab.vorng, job) if c[2] == 2002], timeout,
                      what="the receipt of job %d" % job)[0]
    return {k: v for r in json.loads(done[4]) for k, v in r.items()}


def rfkill_events(path):
    with open(path, "rb") as f:
        data = f.read()
    return [RFKILL_EVENT.unpack_from(data, at)
            for at in range(0, len(data) - RFKILL_EVENT.size + 1, RFKILL_EVENT.size)]


def add_package(sandbox, name, files):
    """A package in the sysroot's dpkg database, with its files installed."""
    status = sandbox.path("/var/lib/dpkg/status")
    os.makedirs(sandbox.path("/var/lib/dpkg/info"), exist_ok=True)
    with open(status, "a", encoding="utf-8") as f:
        f.write("Package: %s\nStatus: install ok installed\nPriority: optional\nSection: games\n"
                "Maintainer: Lab <lab@example.org>\nArchitecture: amd64\nVersion: 1.0-1\n"
                "Description: lab package\n\n" % name)
    with open(sandbox.path("/var/lib/dpkg/info/%s.list" % name), "w", encoding="utf-8") as f:
        f.write("".join(p + "\n" for p, _ in files))
    for path, mode in files:
        os.makedirs(os.path.dirname(sandbox.path(path)), exist_ok=True)
        with open(sandbox.path(path), "w", encoding="utf-8") as f:
            f.write("#!/bin/sh\n")
        os.chmod(sandbox.path(path), mode)


def mode(path):
    return os.stat(path).st_mode & 0o7777


def timesyncd_config(sandbox):
    return subprocess.run(["systemd-analyze", "cat-config", "--no-pager", "--root=" + sandbox.sysroot,
                           "systemd/timesyncd.conf"], check=True, capture_output=True,
                          text=True).stdout


# In a private mount namespace: the machine's PAM profiles plus ours, pam-auth-update run for
# real on copies of /etc/pam.d and /var/lib/pam, and pamtester asking the account stack about
# users added to copies of passwd and shadow. The machine's own files are never touched.
PAM_CHECK = r"""
set -e
work=$1; profile=$2
cp -a /etc/pam.d "$work/pam.d"; cp -a /var/lib/pam "$work/var-lib-pam"
cp -a /usr/share/pam-configs "$work/pam-configs"; cp "$profile" "$work/pam-configs/"
cp /etc/passwd "$work/passwd"; cp /etc/shadow "$work/shadow"
for entry in lab1000:1000 lab20000:20000; do
  echo "${entry%%:*}:x:${entry#*:}:${entry#*:}:lab:/nonexistent:/bin/sh" >> "$work/passwd"
  echo "${entry%%:*}:*:19000:0:99999:7:::" >> "$work/shadow"
done
mount --bind "$work/pam.d" /etc/pam.d; mount --bind "$work/var-lib-pam" /var/lib/pam
mount --bind "$work/pam-configs" /usr/share/pam-configs
mount --bind "$work/passwd" /etc/passwd; mount --bind "$work/shadow" /etc/shadow
pam-auth-update --package --enable "$(basename "$profile")"
for user in root lab1000 lab20000; do
  if pamtester login "$user" acct_mgmt >/dev/null 2>&1; then echo "$user allowed"; else echo "$user refused"; fi
done
"""


def pam_decisions(profile, workdir):
    """{user: "allowed" | "refused"} of the account stack with the profile enabled."""
    if os.geteuid() != 0 or not all(shutil.which(t) for t in ("unshare", "pamtester",
                                                               "pam-auth-update")):
        pytest.skip("needs root, unshare, pamtester and pam-auth-update")
    os.makedirs(workdir)
    out = subprocess.run(["unshare", "-m", "sh", "-c", PAM_CHECK, "sh", workdir, profile],
                         check=True, capture_output=True, text=True).stdout
    return dict(line.split() for line in out.splitlines())


def test_qarg_applies_each_group_to_the_platform(lab, linux_env):
    sandbox = lab.sandbox
    os.makedirs(sandbox.path("/dev"), exist_ok=True)
    open(sandbox.path("/dev/rfkill"), "wb").close()
    add_package(sandbox, "gnome-mines", [("/usr/games/gnome-mines", 0o755),
                                         ("/usr/share/applications/org.gnome.Mines.desktop", 0o644)])
    prog = start_qarg(lab, extra_env=linux_env)
    results = apply(lab, "system", [
        ("ntp/ntpServer", "time.lab.example"),
        ("blue_tooth/system_bluetooth", "0"),
        ("usb/usb_store_device", "1"),
        ("pre_blacklist_app/pre_blacklist_app_list", json.dumps([{"package_name": "gnome-mines"}])),
        ("login_limit/local_login_limit", "1"),
        ("launch_backgroud/launch_backgroud_name", "images/boot-background.png")])

    assert results == {"ntp/ntpServer": "setNTPServer success",
                       "blue_tooth/system_bluetooth": "success",
                       "usb/usb_store_device": "success",
                       "pre_blacklist_app/pre_blacklist_app_list": "success",
                       "login_limit/local_login_limit": "success",
                       "launch_backgroud/launch_backgroud_name": "success"}
    assert "\nNTP=time.lab.example\n" in timesyncd_config(sandbox)
    assert rfkill_events(sandbox.path("/dev/rfkill")) == [
        (0, RFKILL_TYPE_BLUETOOTH, RFKILL_OP_CHANGE_ALL, 1, 0)]
    with open(sandbox.path("/etc/udev/rules.d/70-vorn-xwe-usb-storage.rules"), encoding="utf-8") as f:
        assert 'SUBSYSTEMS=="usb", RUN+="/usr/sbin/blockdev --setro $devnode"' in f.read()
    assert mode(sandbox.path("/usr/games/gnome-mines")) == 0o700
    assert mode(sandbox.path("/usr/share/applications/org.gnome.Mines.desktop")) == 0o600
    with open(sandbox.path("/var/lib/dpkg/statoverride"), encoding="utf-8") as f:
        assert " 700 /usr/games/gnome-mines\n" in f.read()
    with open(sandbox.path("/etc/default/grub.d/90-vorn-xwe-background.cfg"), encoding="utf-8") as f:
        assert 'GRUB_BACKGROUND="/boot/grub/vorn-xwe-background.png"' in f.read()
    with open(sandbox.path("/boot/grub/vorn-xwe-background.png"), "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    calls = lab.stubs.calls()
    for expected in (["systemctl", "try-restart", "systemd-timesyncd.service"],
                     ["udevadm", "control", "--reload"],
                     ["udevadm", "trigger", "--action=change", "--subsystem-match=block"],
                     ["update-grub"]):
        assert expected in calls

    # A platform step that fails is reported as failed, not as success.
    lab.stubs.answer("update-grub", exit=1, stderr="grub-probe: error")
    results = apply(lab, "system", [("launch_backgroud/launch_backgroud_name",
                                      "images/boot-background.png"),
                                     ("login_limit/local_login_limit", "0")])
    assert results["launch_backgroud/launch_backgroud_name"] \
        == "failed (status 7): operation refused by the platform"
    assert ["pam-auth-update", "--package", "--enable", "vorn-xwe-login-limit"] in lab.stubs.calls()
    # Real PAM: local people are refused, root and accounts outside the range are not.
    assert pam_decisions(sandbox.path("/usr/share/pam-configs/vorn-xwe-login-limit"),
                         os.path.join(sandbox.dir, "pam-check")) \
        == {"root": "allowed", "lab1000": "refused", "lab20000": "allowed"}

    # The radio switch is applied again when the library starts in a new daemon.
    lab.programs.stop(prog)
    open(sandbox.path("/dev/rfkill"), "wb").close()
    prog = start_qarg(lab, extra_env=linux_env)
    apply(lab, "system", [("ntp/ntpServer", "time.lab.example")])
    assert rfkill_events(sandbox.path("/dev/rfkill")) == [
        (0, RFKILL_TYPE_BLUETOOTH, RFKILL_OP_CHANGE_ALL, 1, 0)]


def gsettings(lab, schema, key):
    env = harness.clean_env()
    env.update(lab.sandbox.env("alice"))
    env["GSETTINGS_BACKEND"] = "keyfile"
    return subprocess.run(["gsettings", "get", schema, key], env=env, check=True,
                          capture_output=True, text=True).stdout.strip()


def test_qars_applies_desktop_settings_through_gsettings(lab, linux_env):
    prog = lab.start("qars", extra_env=linux_env)
    prog.wait_for_output("session policy manager init end", timeout=15)
    power = {"batteryLock": 1, "batteryScreen": 5, "batterySleep": 20,
             "powerLock": 2, "powerScreen": 10, "powerSleep": 0}
    results = apply(lab, "session", [
        ("screen_saver/screen_saver_time_out", "10"),
        ("power/power_config", json.dumps(power)),
        ("taskbar/taskbar_launcher", "1"),
        ("wallpaper/wallpaper_name", "images/wallpaper.png")], timeout=30)

    assert results["screen_saver/screen_saver_time_out"] == "successsuccess"
    # Without the dock's schema there is nothing to hide the launcher with.
    assert results["taskbar/taskbar_launcher"] == NOT_SUPPORTED
    assert results["wallpaper/wallpaper_name"] == "success"
    assert "failed" not in results["power/power_config"]
    # GNOME keeps one lock delay and one blank delay: the power values, set last, are in effect.
    assert gsettings(lab, "org.gnome.desktop.screensaver", "lock-delay") == "uint32 120"
    assert gsettings(lab, "org.gnome.desktop.session", "idle-delay") == "uint32 600"
    assert gsettings(lab, "org.gnome.desktop.screensaver", "lock-enabled") == "true"
    power_schema = "org.gnome.settings-daemon.plugins.power"
    assert gsettings(lab, power_schema, "sleep-inactive-battery-timeout") == "1200"
    assert gsettings(lab, power_schema, "sleep-inactive-ac-type") == "'nothing'"
    uri = gsettings(lab, "org.gnome.desktop.background", "picture-uri").strip("'")
    assert uri.startswith("file://") and uri.endswith(".png")
    with open(uri[len("file://"):], "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"


NO_SUCH_SETTING = "failed (status 10): this desktop has no such setting"
DOCK = "org.gnome.shell.extensions.dash-to-dock"
DING = "org.gnome.shell.extensions.ding"
# Panels of the lab server's modules that a policy showing display, sound and update hides.
HIDDEN_PANELS = ["network", "wifi", "wwan", "power", "datetime", "user-accounts", "users",
                 "online-accounts", "default-apps"]


def set_gsettings(lab, schema, key, value):
    env = harness.clean_env()
    env.update(lab.sandbox.env("alice"))
    env.update({"GSETTINGS_BACKEND": "keyfile", "GSETTINGS_SCHEMA_DIR": lab_schemas()})
    subprocess.run(["gsettings", "set", schema, key, value], env=env, check=True)


def lab_schemas():
    """The dock's and desktop icons' schemas ./run compiles (tools/lab/extension-schemas.sh)."""
    path = os.path.join(os.path.abspath(os.environ.get("VORN_BUILD_DIR") or "build"), "lab-schemas")
    assert os.path.exists(os.path.join(path, "gschemas.compiled")), "no " + path
    return path


def gnome_gsettings(lab, schema, key):
    env = harness.clean_env()
    env.update(lab.sandbox.env("alice"))
    env.update({"GSETTINGS_BACKEND": "keyfile", "GSETTINGS_SCHEMA_DIR": lab_schemas()})
    return subprocess.run(["gsettings", "get", schema, key], env=env, check=True,
                          capture_output=True, text=True).stdout.strip()


def valid_entry(path):
    return subprocess.run(["desktop-file-validate", path], capture_output=True).returncode == 0


def test_qars_takes_every_setting_to_gnome_and_holds_it(lab, linux_env):
    home = lab.sandbox.home("alice")
    # Alice's own desktop before any policy, with the desktop-icons extension running.
    keyfile = os.path.join(home, ".config", "glib-2.0", "settings", "keyfile")
    os.makedirs(os.path.dirname(keyfile), exist_ok=True)
    with open(keyfile, "w", encoding="utf-8") as f:
        f.write("[org/gnome/shell]\nfavorite-apps=['mine.desktop']\n"
                "enabled-extensions=['ding@rastersoft.com']\n"
                "[org/gnome/desktop/wm/keybindings]\nclose=['<Super>q']\n"
                "[org/gnome/mutter]\noverlay-key='Super_R'\n")
    env = dict(linux_env, GSETTINGS_SCHEMA_DIR=lab_schemas())
    prog = lab.start("qars", extra_env=env)
    prog.wait_for_output("control centre modules known:", timeout=75)
    power = {"batteryLock": 1, "batteryScreen": 5, "batterySleep": 20,
             "powerLock": 2, "powerScreen": 10, "powerSleep": 0}
    web = [{"name": "Intranet", "url": "https://intranet.lab.internal/",
            "iconPath": "images/icons/intranet.png"}]
    results = apply(lab, "session", [
        ("control_center/control_center_configs", json.dumps(["display", "sound", "update"])),
        ("desktop_shortcuts/desktop_shortcuts_list", json.dumps(web)),
        ("personal_hotdot/personal_hotdot_status", "0"),
        ("power/power_config", json.dumps(power)),
        ("screen_saver/screen_saver_time_out", "10"),
        ("screen_saver_wallpaper/screen_saver_wallpaper_name", "images/screensaver.png"),
        ("shortcut/shortcut_status", "0"),
        ("taskbar/app_setting_trash", "0"),
        ("taskbar/taskbar_display_mode", "2"),
        ("taskbar/taskbar_dock_app", "0"),
        ("taskbar/taskbar_launcher", "0"),
        ("taskbar/taskbar_right_menu", "0"),
        ("taskbar/tray_icon_network", "0"),
        ("taskbar/tray_icon_usb", "0"),
        ("wallpaper/wallpaper_name", "images/wallpaper.png")], timeout=60)

    assert {k: v for k, v in results.items() if v == NO_SUCH_SETTING}.keys() == {
        "personal_hotdot/personal_hotdot_status", "taskbar/taskbar_right_menu",
        "taskbar/tray_icon_network", "screen_saver_wallpaper/screen_saver_wallpaper_name"}
    assert results["screen_saver/screen_saver_time_out"] == "successsuccess"
    assert "failed" not in results["power/power_config"]
    for key in ("control_center/control_center_configs", "desktop_shortcuts/desktop_shortcuts_list",
                "shortcut/shortcut_status", "taskbar/app_setting_trash",
                "taskbar/taskbar_display_mode", "taskbar/taskbar_dock_app",
                "taskbar/taskbar_launcher", "taskbar/tray_icon_usb", "wallpaper/wallpaper_name"):
        assert results[key] == "success", key

    g = lambda schema, key: gnome_gsettings(lab, schema, key)  # noqa: E731
    assert g("org.gnome.desktop.session", "idle-delay") == "uint32 600"
    assert g("org.gnome.desktop.screensaver", "lock-enabled") == "true"
    assert g("org.gnome.desktop.lockdown", "disable-lock-screen") == "false"
    assert g("org.gnome.desktop.screensaver", "lock-delay") == "uint32 120"
    assert g("org.gnome.settings-daemon.plugins.power", "sleep-inactive-ac-type") == "'nothing'"
    assert g("org.gnome.desktop.background", "picture-uri").startswith("'file://")
    assert g("org.gnome.desktop.wm.keybindings", "close") == "@as []"
    assert g("org.gnome.settings-daemon.plugins.media-keys", "screensaver") == "@as []"
    assert g("org.gnome.mutter", "overlay-key") == "''"
    assert g("org.gnome.shell", "favorite-apps") == "@as []"
    assert g(DOCK, "show-favorites") == "false"
    assert g(DING, "show-trash") == g(DOCK, "show-trash") == "false"
    assert g(DOCK, "show-show-apps-button") == "false"
    assert g(DOCK, "extend-height") == "true"  # "efficient": along the whole edge
    assert g(DOCK, "show-mounts") == g(DING, "show-volumes") == "false"
    apps = os.path.join(home, ".local", "share", "applications")
    for panel in HIDDEN_PANELS:
        path = os.path.join(apps, "gnome-%s-panel.desktop" % panel)
        assert valid_entry(path) and "\nHidden=true\n" in open(path, encoding="utf-8").read(), panel
    assert not os.path.exists(os.path.join(apps, "gnome-display-panel.desktop"))
    [entry] = [os.path.join(apps, f) for f in os.listdir(apps) if f.startswith("vorn-weblink-")]
    on_desktop = os.path.join(home, "Desktop", "Intranet.desktop")
    for path in (entry, on_desktop):
        text = open(path, encoding="utf-8").read()
        assert valid_entry(path) and 'Exec=xdg-open "https://intranet.lab.internal/"' in text
    assert mode(on_desktop) == 0o755

    # Alice changes a held key back: it returns, and the log names it once per change.
    set_gsettings(lab, "org.gnome.shell", "favorite-apps", "['other.desktop']")
    wait_until(lambda: g("org.gnome.shell", "favorite-apps") == "@as []", 10,
               what="favourites emptied again")
    prog.wait_for_output("put back org.gnome.shell favorite-apps", timeout=10)

    # A later document without the favourites lets them go; the time-out stays held.
    results = apply(lab, "session", [("screen_saver/screen_saver_time_out", "10")])
    assert results == {"screen_saver/screen_saver_time_out": "successsuccess"}
    set_gsettings(lab, "org.gnome.shell", "favorite-apps", "['other.desktop']")
    set_gsettings(lab, "org.gnome.desktop.session", "idle-delay", "60")
    wait_until(lambda: g("org.gnome.desktop.session", "idle-delay") == "uint32 600", 10,
               what="the time-out put back")
    assert g("org.gnome.shell", "favorite-apps") == "['other.desktop']"

    # Leaving the domain gives back what the restrictions took.
    lab.vorng.emit_domain_removed()
    lab.stubs.wait_for_call(["systemctl", "--global", "stop", "lumo-session"], timeout=15)
    assert g("org.gnome.desktop.wm.keybindings", "close") == "['<Super>q']"
    assert g("org.gnome.mutter", "overlay-key") == "'Super_R'"
    assert g("org.gnome.shell", "favorite-apps") == "['mine.desktop']"
    assert g(DING, "show-trash") == g(DOCK, "show-trash") == "true"
    assert g(DOCK, "extend-height") == "false"
    assert g("org.gnome.desktop.lockdown", "disable-lock-screen") == "false"
    assert not [f for f in os.listdir(apps) if f.endswith("-panel.desktop")]
