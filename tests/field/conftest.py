"""One guest for the whole session: booted, the lab set up, the package installed.

Run through `./run field`, which sets VORN_FIELD_IMAGE (image.sh's directory), VORN_FIELD_DEB,
VORN_FIELD_WORKDIR and VORN_FIELD_RELEASE (the guest's Debian release, a codename of
tools/release/releases.txt). A failing step or scenario prints the serial console's last lines, the
guest's journal and qarg's log.

The GNOME scenarios (gnome/) have a guest of their own, from the gnome image variant
(VORN_FIELD_GNOME_IMAGE), run by ./run field after the others: one guest at a time.
"""

import os
import sys
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)

from gnomesession import GnomeSession  # noqa: E402  pylint: disable=wrong-import-position
from guestlab import GuestLab  # noqa: E402  pylint: disable=wrong-import-position
from machine import Machine  # noqa: E402  pylint: disable=wrong-import-position

_machine = []
RELEASES = os.path.join(TOP, "tools", "release", "releases.txt")


class StepFailed(RuntimeError):
    pass


def step(name, function, *args):
    try:
        return function(*args)
    except Exception as error:  # pylint: disable=broad-except
        raise StepFailed("field step %r failed: %s" % (name, error)) from error


@pytest.fixture(scope="session")
def lab():
    for var in ("VORN_FIELD_IMAGE", "VORN_FIELD_DEB", "VORN_FIELD_WORKDIR"):
        if not os.environ.get(var):
            pytest.exit("%s is not set: run the field lab through ./run field" % var, 2)
    machine = Machine(os.environ["VORN_FIELD_IMAGE"], os.environ["VORN_FIELD_WORKDIR"],
                      boot_timeout=int(release()["boot"]), tcg_thread=release()["tcg"])
    _machine.append(machine)
    try:
        try:
            step("boot", machine.boot)
            guest = GuestLab(machine, os.environ["VORN_FIELD_WORKDIR"], TOP)
            step("install the package", guest.install, os.environ["VORN_FIELD_DEB"])
        except StepFailed as error:
            raise StepFailed("%s\n%s" % (error, "\n".join(
                "----- %s -----\n%s" % part for part in _diagnostics(machine)))) from error
        yield guest
        step("power off", machine.poweroff)
    finally:
        machine.stop()
        _machine.remove(machine)


def release():
    """The guest's release: its row of releases.txt (codename, number, suffix, archive, boot,
    tcg)."""
    name = os.environ.get("VORN_FIELD_RELEASE", "bookworm")
    with open(RELEASES) as table:
        for line in table:
            fields = line.split()
            if fields and not line.startswith("#") and fields[0] == name:
                return dict(zip(("codename", "number", "suffix", "archive", "boot", "tcg"), fields))
    raise RuntimeError("release %r is not in %s" % (name, RELEASES))


@pytest.fixture(scope="session")
def gnome():
    """A GNOME guest: the lab and the package installed, then alice's session started by GDM."""
    for var in ("VORN_FIELD_GNOME_IMAGE", "VORN_FIELD_DEB", "VORN_FIELD_WORKDIR"):
        if not os.environ.get(var):
            pytest.exit("%s is not set: run the field lab through ./run field" % var, 2)
    if _machine:
        pytest.exit("another guest runs in this session: the GNOME scenarios run on their own", 2)
    workdir = os.environ["VORN_FIELD_WORKDIR"]
    keep = os.environ.get("VORN_FIELD_KEEP") or os.path.join(workdir, "keep")
    os.makedirs(keep, exist_ok=True)
    machine = Machine(os.environ["VORN_FIELD_GNOME_IMAGE"], workdir, memory_mb=3072,
                      display=True, boot_timeout=int(release()["boot"]),
                      tcg_thread=release()["tcg"])
    _machine.append(machine)
    try:
        try:
            session = GnomeSession(GuestLab(machine, workdir, TOP), keep)
            start = time.monotonic()
            step("boot", machine.boot)
            session.mark("boot to running (multi-user)", start)
            step("install the package", session.lab.install, os.environ["VORN_FIELD_DEB"])
            # The client key as dist/README.md says: readable by the desktop users' agents.
            machine.sh("chmod 0644 /etc/vorn/.IRO_Vorn.key")
            step("start the GNOME session", session.start)
        except StepFailed as error:
            raise StepFailed("%s\n%s" % (error, "\n".join(
                "----- %s -----\n%s" % part for part in _diagnostics(machine)))) from error
        yield session
        step("power off", machine.poweroff)
    finally:
        machine.stop()
        _machine.remove(machine)


@pytest.fixture(scope="session")
def machine(lab):
    return lab.m


def _diagnostics(machine):
    parts = [("serial console (last lines)", machine.serial_tail())]
    try:
        parts.append(("guest journal", machine.journal(120)))
        parts.append(("qarg log (last lines)", "\n".join(
            machine.get("/var/log/qarg/qarg.log").decode(errors="replace").splitlines()[-60:])))
    except Exception as error:  # pylint: disable=broad-except
        parts.append(("guest unreachable", str(error)))
    return parts


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):  # pylint: disable=unused-argument
    outcome = yield
    report = outcome.get_result()
    if report.failed and _machine and not getattr(report, "wasxfail", None):
        for title, text in _diagnostics(_machine[0]):
            report.sections.append((title, text))
