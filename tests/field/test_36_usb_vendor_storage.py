"""Storage behind a vendor-specific interface, on a real kernel. The usb-storage driver binds
some devices by their vendor and product ids whatever their interface class; the guest kernel's
module aliases say which. A software USB device (dummy_hcd, libcomposite and FunctionFS) with
such ids and one vendor-specific interface without the MTP mark is held until qarg's answer and,
refused, never reaches the storage driver."""

import json

import pytest

from guestlab import document
from machine import wait_until
from test_30_usb import usb_device

GADGET = "/sys/kernel/config/usb_gadget/qargvendor"
FFS = "/dev/ffs-qargvendor"
SCRIPT = "/root/ffs-vendor.py"
SERIAL = "VENDSTOR1"

# Writes the function's descriptors (one vendor-specific interface, subclass SCSI, protocol
# bulk-only, two bulk endpoints) and keeps ep0 open, answering control requests.
FFS_SCRIPT = r'''
import struct, sys
ep0 = open(sys.argv[1] + "/ep0", "r+b", buffering=0)

def interface():
    return struct.pack("<9B", 9, 4, 0, 0, 2, 0xff, 0x06, 0x50, 1)

def endpoints(size):
    return (struct.pack("<BBBBHB", 7, 5, 0x81, 2, size, 0)
            + struct.pack("<BBBBHB", 7, 5, 0x02, 2, size, 0))

full = interface() + endpoints(64)
high = interface() + endpoints(512)
body = struct.pack("<II", 3, 3) + full + high
ep0.write(struct.pack("<III", 3, 12 + len(body), 1 | 2) + body)
text = b"\x09\x04" + b"vendor storage\x00"
ep0.write(struct.pack("<IIII", 2, 16 + len(text), 1, 1) + text)
print("ready", flush=True)
while True:
    event = ep0.read(12)
    if len(event) < 12:
        continue
    request_type, _request, _value, _index, length = struct.unpack("<BBHHH", event[:8])
    if event[8] != 4:
        continue
    if request_type & 0x80:
        ep0.write(bytes(min(length, 1)))
    else:
        ep0.read(0)
'''


def storage_aliases(machine):
    """usb-storage aliases of the guest kernel that match whatever the interface class."""
    out = machine.run("grep -h ' usb_storage$' /lib/modules/$(uname -r)/modules.alias").out
    return [line.split()[1] for line in out.splitlines()
            if "ic*isc*ip*" in line and line.split()[1].startswith("usb:v")]


def interface_of(machine):
    path = usb_device(machine, SERIAL)
    return "%s/%s:1.0" % (path, path.rsplit("/", 1)[-1]) if path else ""


def attr(machine, path, name):
    return machine.run("cat %s/%s" % (path, name)).out.strip()


@pytest.fixture(scope="module")
def control(lab, machine):
    lab.set_whitelist([])
    job = lab.push("system", document(("usb", "usb_store_device", "0")))
    assert lab.results(job) == {"usb/usb_store_device": "success"}
    yield
    job = lab.push("system", document(("usb", "usb_store_device", "2")))
    lab.wait_receipt(job)


@pytest.fixture
def gadget(machine, control):
    aliases = storage_aliases(machine)
    assert aliases, "the guest kernel's usb-storage binds no device by its ids alone"
    ids = aliases[0][len("usb:v"):]
    vendor, product = ids[0:4].lower(), ids[5:9].lower()
    machine.put(FFS_SCRIPT.encode(), SCRIPT, 0o755)
    machine.sh("modprobe dummy_hcd && modprobe libcomposite && modprobe usb_f_fs && "
               "(mountpoint -q /sys/kernel/config || mount -t configfs none /sys/kernel/config)")
    machine.sh("G=%s; mkdir -p $G/strings/0x409 $G/configs/c.1/strings/0x409 "
               "$G/functions/ffs.qargvendor && echo 0x%s > $G/idVendor && "
               "echo 0x%s > $G/idProduct && echo %s > $G/strings/0x409/serialnumber && "
               "echo 'Vendor Storage' > $G/strings/0x409/product && "
               "echo lab > $G/strings/0x409/manufacturer && "
               "echo one > $G/configs/c.1/strings/0x409/configuration && "
               "ln -sf $G/functions/ffs.qargvendor $G/configs/c.1/ && "
               "mkdir -p %s && mount -t functionfs qargvendor %s"
               % (GADGET, vendor, product, SERIAL, FFS, FFS))
    machine.sh("setsid -f python3 %s %s > /run/ffs-vendor.log 2>&1 < /dev/null" % (SCRIPT, FFS))
    wait_until(lambda: machine.run("test -e %s/ep1" % FFS).rc == 0, 60,
               "the function's endpoints", 0.5)
    machine.sh("ls /sys/class/udc | head -1 > %s/UDC" % GADGET)
    yield vendor, product
    machine.run("echo '' > %s/UDC" % GADGET)
    machine.run("pkill -f %s" % SCRIPT)
    machine.run("umount %s; G=%s; rm -f $G/configs/c.1/ffs.qargvendor; "
                "rmdir $G/configs/c.1/strings/0x409 $G/configs/c.1 $G/functions/ffs.qargvendor "
                "$G/strings/0x409 $G" % (FFS, GADGET))


def test_refused_vendor_class_storage_stays_held_and_off_the_storage_driver(lab, machine,
                                                                           gadget):
    vendor, product = gadget
    wait_until(lambda: interface_of(machine), 90, "the gadget on its bus", 0.5)
    iface = interface_of(machine)
    assert attr(machine, iface, "bInterfaceClass") == "ff"
    wait_until(lambda: [c for c in lab.calls("RemoveDevice") if SERIAL in c["args"][0]]
               or machine.run("test -e %s/driver" % iface).rc == 0, 120,
               "the decision on the vendor-class device", 0.5)
    asked = [json.dumps(r) for r in lab.requests("/api/usb_whitelist_check")
             if SERIAL in json.dumps(r)]
    assert asked, "qarg never asked the server about the vendor-class storage device"
    assert vendor in asked[0] and product in asked[0]
    assert machine.run("test -e %s/driver" % iface).rc != 0, "the storage driver took it"
    assert attr(machine, iface, "authorized") == "0"

    # What the hold keeps away: authorized by hand, the storage driver takes the interface.
    name = iface.rsplit("/", 1)[-1]
    machine.sh("echo 1 > %s/authorized && echo %s > /sys/bus/usb/drivers_probe" % (iface, name))
    wait_until(lambda: machine.run("dmesg | grep -q 'usb-storage %s: USB Mass Storage device "
                                   "detected'" % name).rc == 0, 60,
               "usb-storage to take the vendor-specific interface", 0.5)
