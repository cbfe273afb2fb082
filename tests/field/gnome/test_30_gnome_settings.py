"""A pushed session document in alice's running GNOME session: qars answers it, and each setting
is read back as alice with gsettings on her session bus.

READ_BACK is the one table of what each session setting key does on GNOME: the value pushed and,
per GSettings key it sets, the value GNOME then holds (a text, or a check of the text)."""

import json

from gnomesession import WALLPAPER_NAME
from guestlab import document
from machine import wait_until

POWER = {"batteryLock": 1, "batteryScreen": 5, "batterySleep": 20,
         "powerLock": 2, "powerScreen": 10, "powerSleep": 0}
SCREENSAVER, BACKGROUND = "org.gnome.desktop.screensaver", "org.gnome.desktop.background"
POWER_SCHEMA = "org.gnome.settings-daemon.plugins.power"


def own_png_copy(text):
    uri = text.strip("'")
    return uri.startswith("file:///home/alice/") and uri.endswith(".png")


READ_BACK = {
    "screen_saver/screen_saver_time_out": ("10", [
        ("org.gnome.desktop.session", "idle-delay", "uint32 600")]),
    # GNOME keeps one lock delay and one blank delay for both power sources.
    "power/power_config": (json.dumps(POWER), [
        (SCREENSAVER, "lock-enabled", "true"),
        (SCREENSAVER, "lock-delay", "uint32 120"),
        (POWER_SCHEMA, "sleep-inactive-battery-timeout", "1200"),
        (POWER_SCHEMA, "sleep-inactive-battery-type", "'suspend'"),
        (POWER_SCHEMA, "sleep-inactive-ac-type", "'nothing'")]),
    # Off empties every shortcut list found at run time and the Super key.
    "shortcut/shortcut_status": ("0", [
        ("org.gnome.mutter", "overlay-key", "''"),
        ("org.gnome.desktop.wm.keybindings", "switch-applications", "@as []"),
        ("org.gnome.shell.keybindings", "toggle-overview", "@as []")]),
    "taskbar/taskbar_dock_app": ("0", [
        ("org.gnome.shell", "favorite-apps", "@as []")]),
    "wallpaper/wallpaper_name": (WALLPAPER_NAME, [
        (BACKGROUND, "picture-uri", own_png_copy),
        (BACKGROUND, "picture-uri-dark", own_png_copy)]),
}


def test_each_pushed_setting_is_read_back_in_the_session(gnome):
    lab = gnome.lab
    gnome.serve_test_wallpaper()
    settings = [tuple(key.split("/", 1)) + (value,) for key, (value, _) in READ_BACK.items()]
    job = lab.push("session", document(*settings))
    results = lab.results(job, contains=next(iter(READ_BACK)))
    wrong = {}
    for key, (_, reads) in READ_BACK.items():
        if "success" not in results.get(key, "") or "failed" in results.get(key, ""):
            wrong[key] = results.get(key)
        for schema, name, expected in reads:
            value = gnome.gsettings(schema, name)
            good = expected(value) if callable(expected) else value == expected
            if not good:
                wrong["%s %s" % (schema, name)] = value
    assert not wrong, wrong

    # A change of alice's own is put back while the policy holds the key.
    gnome.as_user("gsettings set org.gnome.shell favorite-apps \"['org.gnome.Nautilus.desktop']\"")
    wait_until(lambda: gnome.gsettings("org.gnome.shell", "favorite-apps") == "@as []", 60,
               "favorite-apps put back", 1)
