"""USB whitelist control on a real kernel: refused stick held (or detached), whitelisted stick
kept, a grant order binds the refused stick again. dave (uid 10001, a domain account's uid) is logged
in, so that connections are uploaded."""

import json

import pytest

from guestlab import document
from machine import wait_until

VENDOR, PRODUCT = "46f4", "0001"
REFUSED, ALLOWED = "FIELDBAD1", "FIELDOK1"
ALLOWED_TEXT = "当前USB设备允许使用"


def usb_device(machine, serial):
    """The sysfs directory of the USB device with that serial, or ""."""
    return machine.run("grep -lx %s /sys/bus/usb/devices/*/serial 2>/dev/null | head -1"
                       % serial).out.strip().rsplit("/", 1)[0]


def bound(machine, serial):
    """The stick's storage interface has its driver: neither held nor detached."""
    path = usb_device(machine, serial)
    return bool(path) and machine.run("test -e %s/%s:1.0/driver"
                                      % (path, path.rsplit("/", 1)[-1])).rc == 0


def has_disk(machine, label):
    return machine.run("test -b /dev/disk/by-label/" + label).rc == 0


def uploads(lab, serial):
    found = []
    for call in lab.calls("UploadInfo"):
        data = json.loads(call["args"][1])
        found += [e for e in data["payload"]["list"] if e["serial_number"] == serial]
    return found


def notices(lab, text):
    """Notifications sent through the core client service that contain text."""
    found = []
    for call in lab.calls("SendSystemNotify"):
        try:
            shown = json.dumps(json.loads(call["args"][0]), ensure_ascii=False)
        except ValueError:
            shown = call["args"][0]
        if text in shown:
            found.append(shown)
    return found


@pytest.fixture(scope="module")
def control(lab, machine):
    """Whitelist control on, dave in a session of his own; both undone afterwards."""
    machine.sh("setsid -f runuser -l dave -c 'exec sleep 3600' >/dev/null 2>&1 </dev/null")
    wait_until(lambda: machine.run("loginctl show-user dave -p State --value").out.strip()
               == "active", 60, "dave's session", 1)
    lab.set_whitelist([{"vendorId": VENDOR, "productId": PRODUCT, "serialNumber": ALLOWED}])
    job = lab.push("system", document(("usb", "usb_store_device", "0")))
    assert lab.results(job) == {"usb/usb_store_device": "success"}
    wait_until(lambda: "onUsbPolicyChanged" in lab.qarg_log(), 60, "the USB monitor started")
    plugged = []
    yield plugged
    for dev in plugged:
        machine.unplug_stick(dev)
    job = lab.push("system", document(("usb", "usb_store_device", "2")))
    lab.wait_receipt(job)
    machine.run("loginctl terminate-user dave")


def test_refused_stick_detached(lab, machine, control):
    control.append(machine.plug_stick(REFUSED, "FIELDBAD"))
    wait_until(lambda: usb_device(machine, REFUSED), 90, "the stick on the USB bus", 1)
    wait_until(lambda: not bound(machine, REFUSED), 90, "the refused stick detached", 1)
    assert not has_disk(machine, "FIELDBAD")
    assert not machine.run("lsblk -rno SERIAL | grep -x %s" % REFUSED).out
    assert any(REFUSED in json.dumps(r) for r in lab.requests("/api/usb_whitelist_check"))
    wait_until(lambda: [c for c in lab.calls("RemoveDevice") if REFUSED in c["args"][0]], 60,
               "the removal request", 1)
    assert lab.calls("SendSystemNotify"), "no notice of the refused stick"
    wait_until(lambda: [u for u in uploads(lab, REFUSED) if u["action"] == "add"], 60,
               "the upload of the refused stick", 1)
    assert uploads(lab, REFUSED)[0]["userName"] == "dave"


def test_whitelisted_stick_stays(lab, machine, control):
    control.append(machine.plug_stick(ALLOWED, "FIELDOK"))
    wait_until(lambda: has_disk(machine, "FIELDOK"), 90, "the whitelisted stick's volume", 1)
    wait_until(lambda: notices(lab, ALLOWED_TEXT), 60, "the allowed notice", 1)
    wait_until(lambda: uploads(lab, ALLOWED), 60, "the upload of the whitelisted stick", 1)
    assert bound(machine, ALLOWED)
    assert has_disk(machine, "FIELDOK")
    machine.sh("dd if=/dev/disk/by-label/FIELDOK of=/dev/null bs=4k count=1 iflag=direct")


def test_grant_binds_the_refused_stick_again(lab, machine, control):
    assert not bound(machine, REFUSED)
    job = 70000 + len(lab.calls())
    lab.emit(2000, {"job_id": job, "task_id": 7, "action": "add", "vendor_id": VENDOR,
                    "product_id": PRODUCT, "serial_number": REFUSED, "alias_name": "Field stick"})
    assert lab.wait_receipt(job, 2002, 120) == [job, 7, 2002, "", "changed"]
    wait_until(lambda: bound(machine, REFUSED), 90, "the granted stick bound again", 1)
    wait_until(lambda: has_disk(machine, "FIELDBAD"), 90, "the granted stick's volume", 1)
    assert notices(lab, "管理员已允许[Field stick]")
