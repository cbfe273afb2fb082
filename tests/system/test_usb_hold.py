"""Holding USB storage at the kernel's interface authorization: the real qarg under
umockdev-wrapper, whose testbed sysfs carries a root hub's interface_authorized_default and
each interface's authorized file; the sandbox's /sys/bus/usb/devices is the testbed's."""

import json
import os

import pytest

from conftest import wait_until  # pylint: disable=import-error
from test_lumoctl import lumoctl  # pylint: disable=import-error
from test_usb import (MSG_ALLOWED, MSG_REFUSED, MSG_RESTRICTED, STICK,  # noqa: F401
                      usb, whitelist)  # pylint: disable=unused-import,import-error


HOLD_MARK = "/var/lib/qarg/usb-hold"


class Held:
    """The testbed's root hub and the sysfs files the daemon writes."""

    def __init__(self, usb_lab):
        self.usb = usb_lab
        self.bed = usb_lab.bed
        self.sandbox = usb_lab.lab.sandbox
        self.hub = self.bed.add("usb", "usb1", None,
                                {"interface_authorized_default": "1", "busnum": "1"},
                                {"DEVTYPE": "usb_device"})
        devices = self.sandbox.path("/sys/bus/usb/devices")
        os.symlink(os.path.join(self.bed.root, "sys/bus/usb/devices"), devices)
        with open(self.sandbox.path("/sys/bus/usb/drivers_probe"), "w", encoding="utf-8"):
            pass

    def attr(self, name, attribute):
        path = os.path.join(self.bed.root, "sys/bus/usb/devices", name, attribute)
        with open(path, encoding="utf-8") as f:
            return f.read().strip()

    def default(self):
        return self.attr("usb1", "interface_authorized_default")

    def storage(self, port="1-1"):
        return self.attr(port + ":1.0", "authorized")

    def probed(self):
        with open(self.sandbox.path("/sys/bus/usb/drivers_probe"), encoding="utf-8") as f:
            return f.read().split()

    def plug(self, port="1-1", dev=STICK):
        """A stick as the kernel shows it while new devices are held: its storage
        interface is there, not authorized, and has no block device."""
        attrs = {"idVendor": dev["vendor"], "idProduct": dev["product"], "product": dev["name"],
                 "serial": dev["serial"], "busnum": "1", "devnum": "5", "bDeviceClass": "00"}
        device = self.bed.add("usb", port, self.hub, attrs,
                              {"DEVTYPE": "usb_device", "DEVNAME": "/dev/bus/usb/001/005"})
        iface = self.bed.add("usb", port + ":1.0", device,
                             {"bInterfaceClass": "08", "authorized": "0"},
                             {"DEVTYPE": "usb_interface"})
        self.bed.uevent(device, "add")
        self.bed.uevent(iface, "add")
        self.usb.devices[port] = [device, iface]
        return iface


@pytest.fixture
def held(usb):
    return Held(usb)


def shown(lab):
    """The devices lumoctl shows, by serial; none before the status is first written."""
    done = lumoctl(lab, "usb", "--json")
    if done.returncode != 0:
        return {}
    return {d["serial"]: d for d in json.loads(done.stdout)}


def test_whitelisted_stick_is_released_and_its_volume_reported(usb, held):
    lab = usb.lab
    whitelist(lab, STICK)
    lab.logind.add_user(10001, "dave", "active")
    usb.start()
    assert held.default() == "0"

    iface = held.plug()
    usb.wait_notice(MSG_ALLOWED)
    wait_until(lambda: held.storage() == "1" and held.probed() == ["1-1:1.0"],
               what="the storage interface authorized and its driver probed")
    # Only once the driver bound does the volume appear, and it is reported as before.
    usb.add_volume(iface)
    wait_until(lambda: ("LABSTICK", "add") in usb.upload_actions(), what="the volume upload")
    assert usb.unbound() == "" and usb.bound() == ""
    assert "USB devices cannot be held" not in usb.qarg.output()


def test_refused_stick_stays_held_until_granted_and_is_held_again_when_revoked(usb, held):
    lab = usb.lab
    lab.logind.add_user(10001, "dave", "active")
    usb.start()

    held.plug()
    usb.wait_notice(MSG_REFUSED)
    lab.vorng.wait_for_calls("RemoveDevice")
    assert lab.vorng.calls("RemoveDevice") == [(STICK["serial"],)]
    wait_until(lambda: (STICK["name"], "add") in usb.upload_actions(), what="the upload")
    assert held.storage() == "0" and held.probed() == []
    assert usb.unbound() == ""
    # What an administrator sees: the stick waits, and since when.
    device = wait_until(lambda: shown(lab).get(STICK["serial"], {}).get("held_since"),
                        10, 0.1, "the stick shown as held")
    assert shown(lab)[STICK["serial"]]["decision"] == "held"
    assert device

    order = {"vendor_id": STICK["vendor"], "product_id": STICK["product"],
             "serial_number": STICK["serial"]}
    lab.vorng.emit_server_msg(2000, dict(order, job_id=61, task_id=62, action="add",
                                         alias_name="Cruzer"))
    lab.vorng.wait_for_calls("ReplyTaskResult", where=lambda c: c[:2] == (61, 62))
    assert held.storage() == "1" and held.probed() == ["1-1:1.0"]

    lab.vorng.emit_server_msg(2000, dict(order, job_id=71, task_id=72, action="remove"))
    lab.vorng.wait_for_calls("ReplyTaskResult", where=lambda c: c[:2] == (71, 72))
    assert [c for c in lab.vorng.calls("ReplyTaskResult") if c[:2] in ((61, 62), (71, 72))] == \
        [(61, 62, 2002, "", "changed"), (71, 72, 2002, "", "changed")]
    assert held.storage() == "0"
    usb.wait_notice(MSG_RESTRICTED)


@pytest.mark.parametrize("end", ["control off", "domain removed"])
def test_end_of_control_releases_held_devices_and_new_ones(usb, held, end):
    lab = usb.lab
    usb.start()
    held.plug()
    usb.wait_notice(MSG_REFUSED)
    assert held.storage() == "0" and held.default() == "0"
    assert os.path.exists(lab.sandbox.path(HOLD_MARK))

    if end == "control off":
        usb.set_control(False, job=2, task=2)
    else:
        lab.vorng.emit_domain_removed()
    # The defaults go back first, then the held devices, then the mark.
    wait_until(lambda: held.default() == "1" and held.storage() == "1"
               and not os.path.exists(lab.sandbox.path(HOLD_MARK)),
               what="new devices authorized again and the held stick released")
    assert held.probed() == ["1-1:1.0"]
    if end == "control off":
        wait_until(lambda: shown(lab).get(STICK["serial"], {}).get("decision") == "released",
                   10, 0.1, "the stick shown as released")
    else:
        lab.stubs.wait_for_call(["systemctl", "stop", "qarg"], 15)


@pytest.mark.parametrize("allowed", [True, False])
def test_held_stick_found_at_start_is_decided_like_the_start_up_scan(usb, held, allowed):
    lab = usb.lab
    if allowed:
        whitelist(lab, STICK)
    # Plugged while qarg was not running: the kernel kept it held.
    held.plug()
    info = "\n".join([
        "P: /devices/usb1/1-1", "E: DEVPATH=/devices/usb1/1-1",
        "E: ID_MODEL=%s" % STICK["name"], "E: ID_VENDOR_ID=%s" % STICK["vendor"],
        "E: ID_MODEL_ID=%s" % STICK["product"], "E: ID_SERIAL_SHORT=%s" % STICK["serial"],
        "E: ID_USB_INTERFACES=:080650:", ""])
    usb.start(tools={"find /dev/bus": {"stdout": "/dev/bus/usb/001/005\n"},
                     "udevadm info /dev/bus/usb/001/005": {"stdout": info}})

    lab.server.wait_for_requests("/api/usb_whitelist_check")
    if allowed:
        wait_until(lambda: held.storage() == "1" and held.probed() == ["1-1:1.0"],
                   what="the held stick released and its driver probed")
    else:
        notice = usb.wait_notice(MSG_RESTRICTED)[0]
        assert notice["actions"] == ["_open1", "确定"]
        assert held.storage() == "0" and held.probed() == []
    assert usb.unbound() == ""
    # Devices of the start-up scan are decided without a notice when allowed.
    assert [n for n in usb.notices() if n["body"] == MSG_ALLOWED] == []
