"""Plug-to-usable of a whitelisted USB stick while whitelist control holds new devices, on the
field lab's real kernel: from QMP's device_add to the stick's /dev/disk/by-label/ link, over ten
plugs with a new serial each (the server answers at once from 127.0.0.1). Reports the median and
the worst; never fails on a time.

Run with the field lab's environment (see tests/field/README.md), e.g.

    deb=$(ls build-deb/vorn-policy_*.deb) image=$(tests/field/image.sh "$deb")
    VORN_FIELD_IMAGE=$image VORN_FIELD_DEB=$deb VORN_FIELD_WORKDIR=$(mktemp -d /var/tmp/vf.XXXX) \\
        /usr/bin/python3 -m pytest -s -p no:cacheprovider bench/field_usb_plug.py
"""

import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "field"))

# pylint: disable=wrong-import-position,unused-import,redefined-outer-name
from conftest import lab, machine  # noqa: E402,F401
from guestlab import document  # noqa: E402
from machine import wait_until  # noqa: E402

PLUGS = 10


def test_plug_to_usable(lab, machine):
    serials = ["BENCH%02d" % i for i in range(PLUGS)]
    lab.set_whitelist([{"vendorId": "46f4", "productId": "0001", "serialNumber": s}
                       for s in serials])
    lab.wait_receipt(lab.push("system", document(("usb", "usb_store_device", "0"))))
    wait_until(lambda: machine.run("grep -qx 0 /sys/bus/usb/devices/usb1/"
                                   "interface_authorized_default").rc == 0,
               120, "the root hub holding new devices", 1)
    times = []
    for index, serial in enumerate(serials):
        label = "BENCH%02d" % index
        started = time.monotonic()
        dev = machine.plug_stick(serial, label)
        wait_until(lambda: machine.run("test -b /dev/disk/by-label/" + label).rc == 0, 180,
                   "the volume of " + serial, 0.05)
        times.append(time.monotonic() - started)
        machine.unplug_stick(dev)
    lab.wait_receipt(lab.push("system", document(("usb", "usb_store_device", "2"))))
    print("\nplug-to-usable over %d plugs (held, then released on the answer): "
          "median %.2f s, worst %.2f s, all %s"
          % (PLUGS, statistics.median(times), max(times), ["%.2f" % t for t in times]))
