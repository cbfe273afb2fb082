"""Holding USB storage at the kernel's interface authorization, on a real kernel: a refused stick
and one plugged while the server is down never get a block device; a whitelisted one gets it
after the answer; with qarg killed a new stick stays held while a keyboard works at once; control
off releases what is held."""

import time

import pytest

from guestlab import document
from machine import wait_until
from test_30_usb import PRODUCT, VENDOR, bound, usb_device

ALLOWED = "HOLDOK1"
NO_ANSWER_TEXT = "当前网络异常，USB设备限制使用"


def storage_authorized(machine, serial):
    path = usb_device(machine, serial)
    if not path:
        return None
    return machine.run("cat %s/%s:1.0/authorized" % (path, path.rsplit("/", 1)[-1])).out.strip()


def block_of(machine, serial):
    """Block devices whose sysfs path runs through the stick's USB device."""
    path = usb_device(machine, serial)
    if not path:
        return []
    real = machine.run("readlink -f " + path).out.strip()
    return [line for line in machine.run("readlink -f /sys/class/block/*").out.split()
            if real and line.startswith(real + "/")]


class BlockWatch:
    """udev's block events from now on, read by offset (the file keeps growing)."""

    def __init__(self, machine, name):
        self.m = machine
        self.path = "/run/%s.udev" % name
        machine.sh("setsid -f udevadm monitor --udev --subsystem-match=block > %s 2>&1 "
                   "</dev/null; sleep 1" % self.path)

    def adds(self):
        return [l for l in self.m.get(self.path).decode(errors="replace").splitlines()
                if " add " in l]

    def stop(self):
        self.m.run("pkill -f 'udevadm monitor --udev --subsystem-match=block'")


def decided(lab, serial):
    return [c for c in lab.calls("RemoveDevice") if serial in c["args"][0]]


@pytest.fixture(scope="module")
def control(lab, machine):
    lab.set_whitelist([{"vendorId": VENDOR, "productId": PRODUCT, "serialNumber": ALLOWED}])
    job = lab.push("system", document(("usb", "usb_store_device", "0")))
    assert lab.results(job) == {"usb/usb_store_device": "success"}
    wait_until(lambda: machine.run("grep -qx 0 /sys/bus/usb/devices/usb1/"
                                   "interface_authorized_default").rc == 0,
               60, "the root hub holding new devices", 1)
    plugged = []
    yield plugged
    machine.run("systemctl start qarg")
    for dev in plugged:
        machine.unplug_stick(dev)
    job = lab.push("system", document(("usb", "usb_store_device", "2")))
    lab.wait_receipt(job)


@pytest.mark.parametrize("serial, server_down", [("HOLDBAD1", False), ("HOLDDOWN1", True)])
def test_refused_or_unanswered_stick_never_gets_a_block_device(lab, machine, control, serial,
                                                               server_down):
    watch = BlockWatch(machine, serial)
    if server_down:
        machine.sh("systemctl stop vorn-lab-server")
    try:
        control.append(machine.plug_stick(serial, serial[:8]))
        wait_until(lambda: decided(lab, serial) or block_of(machine, serial), 120,
                   "the decision on " + serial, 0.5)
        assert block_of(machine, serial) == []
        assert storage_authorized(machine, serial) == "0"
        assert not bound(machine, serial)
        # The kernel's delay before scanning a stick is over: still nothing.
        time.sleep(3)
        assert block_of(machine, serial) == [] and watch.adds() == []
    finally:
        watch.stop()
        if server_down:
            machine.sh("systemctl start vorn-lab-server")
            # Started is not listening yet: the next scenario needs the server's answer.
            wait_until(lambda: machine.run("bash -c 'exec 3<>/dev/tcp/127.0.0.1/8443'").rc == 0,
                       60, "the lab server listening again", 0.5)
    if server_down:
        assert [c for c in lab.calls("SendSystemNotify") if NO_ANSWER_TEXT in c["args"][0]]


def test_whitelisted_stick_gets_its_block_device_after_the_answer(lab, machine, control):
    control.append(machine.plug_stick(ALLOWED, "HOLDOK"))
    wait_until(lambda: block_of(machine, ALLOWED), 120, "the whitelisted stick's block device")
    assert storage_authorized(machine, ALLOWED) == "1"
    assert "usb device released:" in lab.qarg_log()


def test_killed_daemon_leaves_new_sticks_held_and_keyboards_working(lab, machine, control):
    machine.sh("systemctl kill -s KILL qarg; sleep 1; systemctl stop qarg")
    serial = "HOLDKILL1"
    try:
        control.append(machine.plug_stick(serial, "HOLDKILL"))
        wait_until(lambda: storage_authorized(machine, serial) is not None, 90,
                   "the stick on the bus", 0.5)
        machine.qmp("device_add", driver="usb-kbd", bus="xhci.0", id="kbd-held")
        # The keyboard, plugged after the stick, binds with no daemon running; once its
        # input device is there the kernel has long since settled the stick, still held.
        wait_until(lambda: machine.run("grep -l 'QEMU USB Keyboard' /sys/class/input/*/name")
                   .rc == 0, 30, "the keyboard's input device", 0.2)
        assert storage_authorized(machine, serial) == "0" and block_of(machine, serial) == []
        machine.qmp("device_del", id="kbd-held")
    except BaseException:
        # Whatever failed here, the later scenarios need qarg running.
        machine.run("systemctl start qarg", 120)
        raise

    # Back, qarg decides the held stick as its start-up scan does: refused, it stays held.
    machine.sh("systemctl start qarg", 120)
    lab.wait_subscribed()
    assert storage_authorized(machine, serial) == "0"


def test_control_off_releases_the_held_stick(lab, machine, control):
    serial = "HOLDBAD1"
    assert storage_authorized(machine, serial) == "0"
    job = lab.push("system", document(("usb", "usb_store_device", "2")))
    lab.wait_receipt(job)
    wait_until(lambda: block_of(machine, serial), 120, "the released stick's block device")
    assert machine.sh("cat /sys/bus/usb/devices/usb1/interface_authorized_default").strip() == "1"
    fresh = "HOLDNEW1"
    control.append(machine.plug_stick(fresh, "HOLDNEW"))
    wait_until(lambda: block_of(machine, fresh), 120, "a new stick's block device at once")
