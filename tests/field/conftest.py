"""One guest for the whole session: booted, the lab set up, the package installed.

Run through `./run field`, which sets VORN_FIELD_IMAGE (image.sh's directory), VORN_FIELD_DEB,
VORN_FIELD_WORKDIR and VORN_FIELD_RELEASE (the guest's Debian release, a codename of
tools/release/releases.txt). A failing step or scenario prints the serial console's last lines, the
guest's journal and qarg's log.

The GNOME scenarios (gnome/) have a guest of their own, from the gnome image variant
(VORN_FIELD_GNOME_IMAGE), run by ./run field after the others: one guest at a time.
"""

import contextlib
import os
import subprocess
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
RELEASE = os.path.join(TOP, "tools", "release", "release.sh")


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
                      boot_timeout=int(release("boot")), tcg_thread=release("tcg"))

    def start():
        step("boot", machine.boot)
        guest = GuestLab(machine, os.environ["VORN_FIELD_WORKDIR"], TOP)
        step("install the package", guest.install, os.environ["VORN_FIELD_DEB"])
        return guest

    with _running(machine, start) as guest:
        yield guest


@contextlib.contextmanager
def _running(machine, start):
    """The guest for the session: start() boots it and readies it, and what it returns is
    the fixture's value; a failing step prints the guest's diagnostics. The guest is powered
    off at the end, and its QEMU stopped whatever happens."""
    _machine.append(machine)
    try:
        try:
            ready = start()
        except StepFailed as error:
            raise StepFailed("%s\n%s" % (error, "\n".join(
                "----- %s -----\n%s" % part for part in _diagnostics(machine)))) from error
        yield ready
        step("power off", machine.poweroff)
    finally:
        machine.stop()
        _machine.remove(machine)


def release(column):
    """One column (number, suffix, archive, boot, tcg) of the guest's release in
    tools/release/releases.txt, read by the scripts' own reader of that table."""
    name = os.environ.get("VORN_FIELD_RELEASE", "bookworm")
    return subprocess.run([RELEASE, name, column], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout.strip()


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
                      display=True, boot_timeout=int(release("boot")),
                      tcg_thread=release("tcg"))

    def start():
        session = GnomeSession(GuestLab(machine, workdir, TOP), keep)
        begun = time.monotonic()
        step("boot", machine.boot)
        session.mark("boot to running (multi-user)", begun)
        step("install the package", session.lab.install, os.environ["VORN_FIELD_DEB"])
        # The client key as dist/README.md says: readable by the desktop users' agents.
        machine.sh("chmod 0644 /etc/vorn/.IRO_Vorn.key")
        step("start the GNOME session", session.start)
        return session

    with _running(machine, start) as session:
        yield session


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
