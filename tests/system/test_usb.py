"""USB whitelist control of qarg: the real daemon under umockdev-wrapper with a simulated
USB stick and phone, the lab's management server answering the whitelist check, the lab's
core client service recording uploads, notices, removal requests and task replies."""

import json
import os
import pwd
import signal
import subprocess
import time

import pytest

from conftest import wait_until  # pylint: disable=import-error

import harness  # pylint: disable=import-error

STICK = {"vendor": "0781", "product": "5567", "serial": "4C530001", "name": "Cruzer Blade",
         "label": "LABSTICK", "size": "7.5G"}
PHONE = {"vendor": "18d1", "product": "4ee1", "serial": "PX0001", "name": "Pixel 7"}

MSG_REFUSED = "请联系管理员将USB设备加入白名单并对终端授权，然后重新插入使用"
MSG_ALLOWED = "当前USB设备允许使用"
MSG_NO_ANSWER = "当前网络异常，USB设备限制使用"
MSG_INCOMPLETE = "该设备的硬件信息不齐全，存在安全风险，请使用正规的USB存储设备"
MSG_RESTRICTED = "该USB设备已被管理员限制在该终端上使用"

WHITELIST_PATH = "/api/usb_whitelist_check"
UMOCKDEV_WRAPPER = "/usr/bin/umockdev-wrapper"

# Holds the umockdev testbed. It runs under umockdev-wrapper itself (the testbed checks its
# parents through the redirected /sys) and takes one JSON command per line.
BED_SCRIPT = r'''
import json, sys
import gi
gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev
bed = UMockdev.Testbed.new()
print(json.dumps({"root": bed.get_root_dir()}), flush=True)
for line in sys.stdin:
    cmd = json.loads(line)
    reply = {}
    if cmd["op"] == "add":
        reply["syspath"] = bed.add_device(cmd["subsystem"], cmd["name"], cmd.get("parent"),
                                          cmd["attrs"], cmd["props"])
    elif cmd["op"] == "uevent":
        bed.uevent(cmd["syspath"], cmd["action"])
    elif cmd["op"] == "remove":
        bed.remove_device(cmd["syspath"])
    print(json.dumps(reply), flush=True)
'''


def flat(pairs):
    return [str(x) for kv in pairs.items() for x in kv]


class DeviceBed(harness.Child):
    """The umockdev testbed helper process."""

    def __init__(self, workdir):
        script = os.path.join(workdir, "usb_bed.py")
        os.makedirs(workdir, exist_ok=True)
        with open(script, "w", encoding="utf-8") as f:
            f.write(BED_SCRIPT)
        super().__init__("usb-bed", [UMOCKDEV_WRAPPER, harness.PYTHON, script],
                         harness.clean_env(), os.path.join(workdir, "usb-bed.out"))
        self.root = None

    def start(self):
        self.popen = subprocess.Popen(self.argv, env=self.env, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, start_new_session=True)
        self.root = self._read()["root"]
        return self

    def _read(self):
        line = self.popen.stdout.readline()
        if not line:
            raise RuntimeError("the umockdev testbed helper ended")
        return json.loads(line)

    def command(self, **cmd):
        self.popen.stdin.write((json.dumps(cmd) + "\n").encode())
        self.popen.stdin.flush()
        return self._read()

    def add(self, subsystem, name, parent, attrs, props):
        return self.command(op="add", subsystem=subsystem, name=name, parent=parent,
                            attrs=flat(attrs), props=flat(props))["syspath"]

    def uevent(self, syspath, action):
        self.command(op="uevent", syspath=syspath, action=action)

    def stop(self, timeout=5.0):
        if self.popen and self.popen.stdin:
            self.popen.stdin.close()
        return super().stop(timeout)


class UsbLab:
    """qarg with whitelist control on, the testbed and helpers to plug and unplug devices."""

    def __init__(self, lab, bed):
        self.lab = lab
        self.bed = bed
        self.qarg = None
        self.devices = {}

    # ---- devices
    def plug_stick(self, port="1-1", dev=STICK, serial=True, volume=True):
        attrs = {"idVendor": dev["vendor"], "idProduct": dev["product"], "product": dev["name"],
                 "busnum": "1", "devnum": "5", "bDeviceClass": "00"}
        if serial:
            attrs["serial"] = dev["serial"]
        device = self.bed.add(
            "usb", port, None, attrs,
            {"DEVTYPE": "usb_device", "DEVNAME": "/dev/bus/usb/001/005", "BUSNUM": "001",
             "DEVNUM": "005"})
        iface = self.bed.add("usb", port + ":1.0", device, {"bInterfaceClass": "08"},
                             {"DEVTYPE": "usb_interface"})
        paths = [device, iface]
        self.bed.uevent(device, "add")
        self.bed.uevent(iface, "add")
        if volume:
            paths += self.add_volume(iface)
        self.devices[port] = paths
        return device

    def add_volume(self, iface):
        disk = self.bed.add("block", "sdb", iface, {"size": "15728640"},
                            {"DEVTYPE": "disk", "DEVNAME": "/dev/sdb"})
        part = self.bed.add("block", "sdb1", disk, {"size": "15726592", "partition": "1"},
                            {"DEVTYPE": "partition", "DEVNAME": "/dev/sdb1"})
        self.bed.uevent(disk, "add")
        self.bed.uevent(part, "add")
        return [disk, part]

    def plug_phone(self, port="1-2", mtp=True):
        device = self.bed.add(
            "usb", port, None,
            {"idVendor": PHONE["vendor"], "idProduct": PHONE["product"], "product": PHONE["name"],
             "serial": PHONE["serial"], "busnum": "1", "devnum": "7", "bDeviceClass": "00"},
            {"DEVTYPE": "usb_device", "DEVNAME": "/dev/bus/usb/001/007"})
        iface = self.bed.add("usb", port + ":1.0", device, {"bInterfaceClass": "ff"},
                             {"DEVTYPE": "usb_interface"})
        if mtp:
            self.lab.stubs.answer("udevadm info /dev/bus/usb/001/007",
                                  stdout="P: /devices/%s\nE: ID_MTP_DEVICE=1\n" % port)
        self.bed.uevent(device, "add")
        self.bed.uevent(iface, "add")
        self.devices[port] = [device, iface]
        return device

    def unplug(self, port="1-1"):
        for path in reversed(self.devices.pop(port)):
            self.bed.uevent(path, "remove")

    # ---- daemon
    def start(self, control=True, tools=None):
        lab = self.lab
        lab.stubs.configure(dict({
            "lsblk -no SIZE /dev/sdb": {"stdout": "%s\n" % STICK["size"]},
            "lsblk -no SIZE /dev/sdb1": {"stdout": "%s\n" % STICK["size"]},
            "lsblk -no FSTYPE /dev/sdb1": {"stdout": "vfat\n"},
            "blkid -d -s LABEL -o value /dev/sdb1": {"stdout": "%s\n" % STICK["label"]},
        }, **(tools or {})))
        prog = harness.Program(lab.programs.build_dir, "qarg", lab.sandbox, lab.bus, lab.stubs,
                               extra_env=umockdev_env(lab.programs.build_dir, self.bed.root))
        if not prog.built():
            pytest.skip("qarg is not built (%s)" % prog.binary)
        prog.argv = [UMOCKDEV_WRAPPER] + prog.argv
        prog.start()
        lab.programs.started.append(prog)
        self.qarg = prog
        # Pushes are only seen once the manager listens on the bus.
        prog.wait_for_output("system policy manager init end", timeout=15)
        if control:
            self.set_control(True)
        return prog

    def set_control(self, on, job=1, task=1):
        value = "0" if on else "1"
        self.lab.server.set_policy("system", {"policys": [
            {"policy_key": "usb", "configs": [
                {"config_key": "usb_store_device", "config_value": value}]}]})
        self.lab.vorng.emit_server_msg(1100, {"job_id": job, "task_id": task})
        self.qarg.wait_for_output("-onUsbPolicyChanged-------- %s" % ("true" if on else "false"),
                                  timeout=15)
        if on:
            self.wait_listening(1)

    def wait_listening(self, count):
        wait_until(lambda: self.qarg.output().count("usb monitor listening") >= count,
                   timeout=15, what="the usb monitor listening")

    # ---- observations
    def notices(self):
        return [json.loads(args[0]) for args in self.lab.vorng.calls("SendSystemNotify")]

    def wait_notice(self, body, timeout=10):
        return wait_until(lambda: [n for n in self.notices() if n["body"] == body],
                          timeout, what="a notice %r" % body)

    def uploads(self):
        return [(url, json.loads(data)) for url, data in self.lab.vorng.calls("UploadInfo")]

    def upload_actions(self):
        return [(d["payload"]["list"][0]["alias_name"], d["payload"]["list"][0]["action"])
                for _url, d in self.uploads()]

    def unbound(self):
        return self.lab.sandbox.usb_driver_writes("unbind").decode()

    def bound(self):
        return self.lab.sandbox.usb_driver_writes("bind").decode()

    def whitelist_requests(self):
        return self.lab.server.requests(WHITELIST_PATH)


def umockdev_env(build_dir, root):
    """UMOCKDEV_DIR for the daemon; sanitizer builds cannot have their runtime after the
    preloaded library, so tell them not to insist."""
    env = {"UMOCKDEV_DIR": root}
    if linked_with_asan(os.path.join(build_dir, "bin", "qarg")):
        options = os.environ.get("ASAN_OPTIONS", "")
        if "verify_asan_link_order=0" not in options:
            options = ":".join(filter(None, [options, "verify_asan_link_order=0"]))
        env["ASAN_OPTIONS"] = options
    return env


def linked_with_asan(binary):
    try:
        out = subprocess.run(["ldd", binary], capture_output=True, text=True, timeout=10).stdout
    except (OSError, subprocess.SubprocessError):
        return False
    return "libasan" in out


@pytest.fixture
def usb(lab, tmp_path):
    if not os.access(UMOCKDEV_WRAPPER, os.X_OK):
        pytest.skip("umockdev-wrapper is not installed")
    bed = DeviceBed(str(tmp_path / "usb-bed")).start()
    usb_lab = UsbLab(lab, bed)
    yield usb_lab
    if usb_lab.qarg is not None:
        usb_lab.qarg.stop()
    bed.stop()


def login_name(uid):
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return ""


def whitelist(lab, *devices):
    lab.server.set_whitelist([(d["vendor"], d["product"], d["serial"]) for d in devices])


def stick_query(req):
    q = req["query"]
    return (q.get("vendorId"), q.get("productId"), q.get("serialNumber"))


def test_whitelisted_stick_is_kept_and_its_volume_reported_for_a_directory_user(usb):
    lab = usb.lab
    whitelist(lab, STICK)
    lab.logind.add_user(10001, "dave", "active")
    usb.start()

    usb.plug_stick()
    usb.wait_notice(MSG_ALLOWED)
    req = lab.server.wait_for_requests(WHITELIST_PATH)[0]
    assert stick_query(req) == (STICK["vendor"], STICK["product"], STICK["serial"])
    assert req["query"]["machine_id"] == "lab-machine-0001"

    url, data = wait_until(lambda: usb.uploads(), what="an upload")[0]
    assert url == "https://127.0.0.1:%d/uim/v3/client/upinfo_log" % lab.server.port
    assert data["type"] == 2004
    assert sorted(data) == ["payload", "type"] and len(data["payload"]["list"]) == 1
    record = data["payload"]["list"][0]
    assert sorted(record) == sorted(["userName", "alias_name", "vendor_id", "product_id",
                                     "serial_number", "action", "operated_at", "machine_id"])
    assert record["action"] == "add"
    assert record["alias_name"] == STICK["label"]
    # The login name comes from the machine's user database (not the sandbox's passwd).
    assert record["userName"] == login_name(10001)
    assert (record["vendor_id"], record["product_id"], record["serial_number"]) == \
        (STICK["vendor"], STICK["product"], STICK["serial"])
    assert record["machine_id"] == "lab-machine-0001"
    time.strptime(record["operated_at"], "%Y-%m-%d %H:%M:%S")

    usb.unplug()
    wait_until(lambda: ("LABSTICK", "remove") in usb.upload_actions(), what="the remove upload")
    # Repeated and further events of the same volume report it once.
    assert usb.upload_actions() == [("LABSTICK", "add"), ("LABSTICK", "remove")]
    assert usb.unbound() == ""
    assert lab.vorng.calls("RemoveDevice") == []
    assert len(usb.whitelist_requests()) == 1


def test_refused_stick_is_detached_and_a_local_user_gets_no_upload(usb):
    lab = usb.lab
    whitelist(lab, PHONE)
    lab.logind.add_user(1000, "alice", "active")
    usb.start()

    usb.plug_stick(volume=False)
    wait_until(lambda: lab.vorng.calls("RemoveDevice"), what="RemoveDevice")
    assert lab.vorng.calls("RemoveDevice") == [(STICK["serial"],)]
    assert usb.unbound() == "1-1"
    usb.wait_notice(MSG_REFUSED)
    # The refused stick is reported at once; 1000 is a local user, so nothing is uploaded.
    usb.qarg.wait_for_output("upload usb log: 1000")
    assert usb.uploads() == []
    # This sysfs has no interface authorization: said once, and detached as before.
    assert usb.qarg.output().count("USB devices cannot be held") == 1


def test_stick_without_serial_is_blocked_without_asking(usb):
    lab = usb.lab
    whitelist(lab, STICK)
    usb.start()

    usb.plug_stick(serial=False, volume=False)
    usb.wait_notice(MSG_INCOMPLETE)
    assert usb.unbound() == "1-1"
    # The removal request follows the notice; wait for it rather than race it.
    lab.vorng.wait_for_calls("RemoveDevice")
    assert lab.vorng.calls("RemoveDevice") == [("",)]
    assert usb.whitelist_requests() == []


def test_server_not_answering_blocks_within_the_timeout(usb):
    lab = usb.lab
    whitelist(lab, STICK)
    lab.server.set_faults({WHITELIST_PATH: {"kind": "slow", "seconds": 20}})
    usb.start()

    started = time.monotonic()
    usb.plug_stick(volume=False)
    usb.wait_notice(MSG_NO_ANSWER, timeout=10)
    assert time.monotonic() - started < 8
    assert usb.unbound() == "1-1"
    lab.vorng.wait_for_calls("RemoveDevice")
    assert lab.vorng.calls("RemoveDevice") == [(STICK["serial"],)]


def test_mtp_phone_is_checked_and_reported_at_once(usb):
    lab = usb.lab
    whitelist(lab, PHONE)
    lab.logind.add_user(10001, "dave", "active")
    usb.start()

    usb.plug_phone()
    usb.wait_notice(MSG_ALLOWED)
    wait_until(lambda: (PHONE["name"], "add") in usb.upload_actions(), what="the phone upload")
    req = usb.whitelist_requests()[0]
    assert req["query"]["serialNumber"] == PHONE["serial"]
    assert usb.unbound() == ""


def test_server_revokes_a_listed_stick(usb):
    lab = usb.lab
    whitelist(lab, STICK)
    lab.logind.add_user(10001, "dave", "active")
    usb.start()
    usb.plug_stick()
    wait_until(lambda: ("LABSTICK", "add") in usb.upload_actions(), what="the volume upload")

    lab.vorng.emit_server_msg(2000, {"job_id": 31, "task_id": 32, "action": "remove",
                                     "vendor_id": STICK["vendor"],
                                     "product_id": STICK["product"],
                                     "serial_number": STICK["serial"]})
    lab.vorng.wait_for_calls("ReplyTaskResult", where=lambda c: c[:2] == (31, 32))
    assert [c for c in lab.vorng.calls("ReplyTaskResult") if c[:2] == (31, 32)] == \
        [(31, 32, 2002, "", "changed")]
    assert usb.unbound() == "1-1"
    notice = usb.wait_notice(MSG_RESTRICTED)[0]
    assert notice["actions"] == ["_open1", "确定"]
    assert notice["timeout"] == 5000


def test_grant_for_an_unlisted_device_changes_nothing(usb):
    lab = usb.lab
    usb.start()
    lab.vorng.emit_server_msg(2000, {"job_id": 41, "task_id": 42, "action": "add",
                                     "vendor_id": "abcd", "product_id": "0001",
                                     "serial_number": "NOPE", "alias_name": "Kingston"})
    lab.vorng.wait_for_calls("ReplyTaskResult", where=lambda c: c[:2] == (41, 42))
    assert [c for c in lab.vorng.calls("ReplyTaskResult") if c[:2] == (41, 42)] == \
        [(41, 42, 2002, "", "changed")]
    notice = usb.wait_notice("管理员已允许[Kingston]在该终端上的授权，如设备已经插入需要重新拔插才能使用")[0]
    assert notice["actions"] == []
    assert usb.bound() == "" and usb.unbound() == ""


def test_failed_detach_is_reported_as_failed(usb):
    lab = usb.lab
    whitelist(lab, STICK)
    lab.logind.add_user(10001, "dave", "active")
    usb.start()
    usb.plug_stick()
    wait_until(lambda: ("LABSTICK", "add") in usb.upload_actions(), what="the volume upload")

    # The driver's unbind file cannot be written any more.
    unbind = lab.sandbox.path("/sys/bus/usb/drivers/usb/unbind")
    os.remove(unbind)
    os.mkdir(unbind)
    lab.vorng.emit_server_msg(2000, {"job_id": 51, "task_id": 52, "action": "remove",
                                     "vendor_id": STICK["vendor"],
                                     "product_id": STICK["product"],
                                     "serial_number": STICK["serial"]})
    lab.vorng.wait_for_calls("ReplyTaskResult", where=lambda c: c[:2] == (51, 52))
    assert [c for c in lab.vorng.calls("ReplyTaskResult") if c[:2] == (51, 52)] == \
        [(51, 52, 2003, "", "change faild")]
    assert not [n for n in usb.notices() if n["body"] == MSG_RESTRICTED]


def test_events_while_control_is_off_are_dropped(usb):
    lab = usb.lab
    usb.start()
    usb.set_control(False, job=2, task=2)
    usb.plug_stick(port="1-3", volume=False)

    # Back on: the loop restarts without a new start-up scan, so the stick plugged meanwhile
    # is never checked; the next one is.
    usb.set_control(True, job=3, task=3)
    usb.wait_listening(2)
    usb.plug_stick(port="1-4", dev=dict(STICK, serial="SECOND"), volume=False)
    usb.wait_notice(MSG_REFUSED)
    assert [stick_query(r)[2] for r in usb.whitelist_requests()] == ["SECOND"]
    assert usb.unbound() == "1-4"
    assert len(lab.stubs.calls("find")) == 1



def probe_calls(lab):
    return [a for a in lab.stubs.calls() if a[0] in ("lsblk", "blkid", "udevadm", "find")]


@pytest.mark.parametrize("stop", ["sigterm", "control off"])
def test_a_hanging_probe_tool_never_holds_up_a_stop(usb, stop):
    lab = usb.lab
    whitelist(lab, STICK)
    usb.start()
    # The size of the new disk never comes (the tool's own limit is 30 s).
    lab.stubs.answer("lsblk -no SIZE /dev/sdb", stdout="7.5G\n", delay=120)
    usb.plug_stick()
    lab.stubs.wait_for_call(["lsblk", "-no", "SIZE", "/dev/sdb"])
    before = probe_calls(lab)

    if stop == "sigterm":
        os.kill(usb.qarg.pid, signal.SIGTERM)
        wait_until(lambda: not usb.qarg.alive(), timeout=10, what="qarg to end")
        assert usb.qarg.returncode() == 0, usb.qarg.output()[-2000:]
        assert "Destroyed while thread" not in usb.qarg.output()
    else:
        usb.set_control(False, job=2, task=2)
        # The main thread is free at once: a push is answered.
        lab.vorng.emit_server_msg(1100, {"job_id": 5, "task_id": 6})
        lab.vorng.wait_for_calls("ReplyTaskResult", timeout=10,
                                 where=lambda c: c[:3] == (5, 6, 2001))
        usb.qarg.wait_for_output("usb monitor stopping, command not run to its end")
    # No tool was started after the stop was asked.
    assert probe_calls(lab) == before
