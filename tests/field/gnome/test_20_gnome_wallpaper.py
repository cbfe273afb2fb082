"""A pushed wallpaper reaches alice's screen: QEMU's picture of the guest's display before and
after, compared by their pixels, both kept as PNG files of the run."""

from gnomesession import WALLPAPER_COLOUR
from guestlab import document
from machine import wait_until
from picture import close

KEY = "wallpaper/wallpaper_name"
TOLERANCE = 12


def shows_wallpaper(picture):
    """The test wallpaper is one colour, drawn scaled: every point of the desktop has it."""
    return all(close(picture.pixel(x, y), WALLPAPER_COLOUR, TOLERANCE)
               for x, y in picture.samples())


def test_a_pushed_wallpaper_reaches_the_screen(gnome):
    lab = gnome.lab
    name = gnome.serve_test_wallpaper()
    before = gnome.desktop_picture()
    print("picture before:", gnome.keep(before, "before-wallpaper"))
    assert not shows_wallpaper(before)

    job = lab.push("session", document(("wallpaper", "wallpaper_name", name)))
    assert lab.results(job, contains=KEY)[KEY] == "success"
    # The shell fades the new picture in: poll the screen, never a fixed wait.
    wait_until(lambda: shows_wallpaper(gnome.picture()), 120, "the wallpaper on the screen", 1)
    after = gnome.desktop_picture()
    print("picture after:", gnome.keep(after, "after-wallpaper"))
    assert shows_wallpaper(after)
    # The background is most of the screen: the top bar and little else stay as they were.
    assert before.changed_share(after) > 0.8
    uri = gnome.gsettings("org.gnome.desktop.background", "picture-uri").strip("'")
    assert uri.startswith("file:///home/alice/") and uri.endswith(".png"), uri
