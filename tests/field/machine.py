"""One Debian guest under QEMU: boot, commands and files through the guest agent, USB sticks
through QMP, reboot, power-off. Every wait is bounded and names what it waited for.

    m = Machine(image_dir, workdir, boot_timeout=300, tcg_thread="multi")  # image_dir: image.sh's
    m.boot()
    m.run("systemctl is-active qarg")    # Result(rc, out, err); m.sh(...) raises unless rc 0
    m.put(b"...", "/etc/x", mode=0o644); m.get("/var/log/x")
    dev = m.plug_stick("STICK1", label="LAB1"); m.unplug_stick(dev)
    m.reboot(); m.poweroff(); m.stop()   # stop() always ends QEMU, by its pid
    Machine(..., memory_mb=3072, display=True): a virtio-vga screen; m.screendump(path) (PPM),
    m.send_key("esc")
"""

import base64
import json
import os
import random
import signal
import socket
import subprocess
import time

QEMU = "qemu-system-x86_64"
MEMORY_MB = 1536


class GuestError(RuntimeError):
    pass


class Result:
    def __init__(self, rc, out, err):
        self.rc, self.out, self.err = rc, out, err

    def __repr__(self):
        return "Result(rc=%r, err=%r, out=%r)" % (self.rc, self.err[-1500:], self.out[-1500:])


def wait_until(predicate, timeout, what, interval=0.5):
    """Polls predicate until it returns something true (returned) or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.0f s waiting for %s" % (timeout, what))
        time.sleep(interval)


class JsonSocket:
    """A line-oriented JSON channel on a unix socket (QMP or the guest agent)."""

    def __init__(self, path):
        self.path = path
        self.sock = None
        self.buf = b""

    def connect(self, timeout):
        self.close()
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(self.path)

    def close(self):
        if self.sock:
            self.sock.close()
        self.sock, self.buf = None, b""

    def send(self, message):
        self.sock.sendall(json.dumps(message).encode() + b"\n")

    def receive(self, deadline):
        """The next JSON message; raises TimeoutError at the deadline."""
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no answer on " + os.path.basename(self.path))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except socket.timeout as error:
                raise TimeoutError("no answer on " + os.path.basename(self.path)) from error
            if not chunk:
                raise ConnectionError(os.path.basename(self.path) + " closed")
            self.buf += chunk
        line, self.buf = self.buf.split(b"\n", 1)
        # The guest agent may put a 0xFF sync marker in front of an answer.
        line = line.lstrip(b"\xff").strip()
        return json.loads(line) if line else self.receive(deadline)


class Machine:
    def __init__(self, image_dir, workdir, memory_mb=MEMORY_MB, display=False,
                 boot_timeout=300, tcg_thread="multi"):
        self.image_dir = image_dir
        self.memory_mb = memory_mb
        self.display = display
        # Bound of a boot or reboot to a running system, and QEMU's emulation threads: the
        # release's (tools/release/releases.txt).
        self.boot_timeout = boot_timeout
        self.tcg_thread = tcg_thread
        self.workdir = workdir
        self.disk = os.path.join(workdir, "disk.qcow2")
        self.serial_log = os.path.join(workdir, "serial.log")
        self.qga = JsonSocket(os.path.join(workdir, "qga.sock"))
        self.qmp_sock = JsonSocket(os.path.join(workdir, "qmp.sock"))
        self.qmp_events = []
        self.proc = None
        self.sticks = {}

    # Life of the machine -------------------------------------------------------------------

    def boot(self, timeout=None):
        """Starts QEMU on a writable overlay of the image and waits for a running system."""
        timeout = timeout or self.boot_timeout
        subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b",
                        os.path.join(self.image_dir, "root.img"), self.disk],
                       check=True, timeout=60)
        argv = [QEMU, "-machine", "q35", "-accel", "tcg,thread=%s,tb-size=256" % self.tcg_thread,
                "-m", str(self.memory_mb), "-smp", "2", "-nodefaults", "-nic", "none",
                "-display", "none", "-serial", "file:" + self.serial_log,
                "-kernel", os.path.join(self.image_dir, "vmlinuz"),
                "-initrd", os.path.join(self.image_dir, "initrd.img"),
                "-append", "root=/dev/vda rw console=ttyS0 systemd.show_status=0",
                "-drive", "file=%s,if=virtio,format=qcow2,cache=unsafe" % self.disk,
                "-device", "virtio-serial-pci",
                "-chardev", "socket,path=%s,server=on,wait=off,id=qga0" % self.qga.path,
                "-device", "virtserialport,chardev=qga0,name=org.qemu.guest_agent.0",
                "-qmp", "unix:%s,server=on,wait=off" % self.qmp_sock.path,
                "-device", "qemu-xhci,id=xhci",
                "-pidfile", os.path.join(self.workdir, "qemu.pid")]
        if self.display:
            # A screen for a desktop session; nothing shows it on the host, QMP reads it.
            argv += ["-device", "virtio-vga"]
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                     stdout=open(os.path.join(self.workdir, "qemu.out"), "wb"),
                                     stderr=subprocess.STDOUT, start_new_session=True)
        wait_until(lambda: self._alive() and os.path.exists(self.qmp_sock.path), 30,
                   "QEMU's QMP socket")
        self._qmp_connect()
        self.wait_running(timeout)

    def wait_running(self, timeout):
        """Until the guest agent answers and systemd says the boot is over."""
        deadline = time.monotonic() + timeout
        wait_until(lambda: self._agent_ready(), timeout, "the guest agent after boot", 2)
        left = max(10, deadline - time.monotonic())
        state = wait_until(lambda: self._system_state(), left, "the end of the boot", 2)
        if state != "running":
            failed = self.run("systemctl --failed --no-legend", timeout=30).out
            raise GuestError("boot ended %s; failed units:\n%s" % (state, failed))

    def _system_state(self):
        r = self.run("systemctl is-system-running", timeout=30)
        state = r.out.strip()
        return state if state in ("running", "degraded") else None

    def _agent_ready(self):
        self._check_alive()
        try:
            self._qga_sync(5)
            return True
        except (OSError, TimeoutError, ValueError):
            return False

    def reboot(self, timeout=None):
        """`systemctl reboot` in the guest; the same disk comes up again."""
        timeout = timeout or self.boot_timeout
        boot_id = self.sh("cat /proc/sys/kernel/random/boot_id").strip()
        self._exec_start("systemctl reboot")
        self.qga.close()

        def new_boot():
            if not self._agent_ready():
                return False
            try:
                r = self.run("cat /proc/sys/kernel/random/boot_id", timeout=20)
            except (OSError, TimeoutError, GuestError):
                # The old boot's agent answered, then went down with it: ask again.
                self.qga.close()
                return False
            return r.rc == 0 and r.out.strip() != boot_id
        wait_until(new_boot, timeout, "the guest to come back after its reboot", 2)
        self.wait_running(timeout)

    def poweroff(self, timeout=90):
        if not self._alive():
            return
        try:
            self._exec_start("systemctl poweroff")
        except Exception:  # pylint: disable=broad-except
            pass  # QEMU is ended by stop() in any case
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            pass

    def stop(self):
        """Ends QEMU whatever state it is in (QMP quit, then SIGKILL by pid)."""
        self.qga.close()
        if self._alive():
            try:
                self.qmp("quit", timeout=10)
            except (OSError, TimeoutError, ValueError, GuestError):
                pass
            try:
                self.proc.wait(15)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(15)
        self.qmp_sock.close()

    def _alive(self):
        return self.proc is not None and self.proc.poll() is None

    def _check_alive(self):
        if not self._alive():
            raise GuestError("QEMU ended (status %s): %s" % (
                self.proc.returncode if self.proc else None, self.qemu_output()[-2000:]))

    def qemu_output(self):
        try:
            with open(os.path.join(self.workdir, "qemu.out"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def serial_tail(self, lines=60):
        try:
            with open(self.serial_log, errors="replace") as f:
                return "\n".join(f.read().splitlines()[-lines:])
        except OSError:
            return ""

    # Guest agent -------------------------------------------------------------------------------

    def _qga_sync(self, timeout):
        """Connects if needed and drops answers left from an earlier connection."""
        deadline = time.monotonic() + timeout
        if self.qga.sock is None:
            self.qga.connect(timeout)
        token = random.randint(1, 2 ** 31)
        try:
            self.qga.send({"execute": "guest-sync-delimited", "arguments": {"id": token}})
            while self.qga.receive(deadline).get("return") != token:
                pass
        except (OSError, TimeoutError, ValueError):
            self.qga.close()
            raise

    def agent(self, command, arguments=None, timeout=30):
        """One guest agent command; its "return" value."""
        self._check_alive()
        deadline = time.monotonic() + timeout
        if self.qga.sock is None:
            self._qga_sync(timeout)
        message = {"execute": command}
        if arguments is not None:
            message["arguments"] = arguments
        try:
            self.qga.send(message)
            answer = self.qga.receive(deadline)
        except BaseException:
            # An answer may still be on its way: the next call connects and syncs afresh.
            self.qga.close()
            raise
        if "error" in answer:
            raise GuestError("%s: %s" % (command, answer["error"].get("desc")))
        return answer.get("return")

    def _exec_start(self, command):
        return self.agent("guest-exec", {"path": "/bin/sh", "arg": ["-c", command],
                                         "capture-output": True})["pid"]

    def run(self, command, timeout=60, user=None):
        """`sh -c command` in the guest (as user, or root), ended by `timeout` in the guest."""
        if user:
            command = "runuser -u %s -- sh -c %s" % (user, shell_quote(command))
        wrapped = "timeout --kill-after=5 %d sh -c %s" % (timeout, shell_quote(command))
        pid = self._exec_start(wrapped)
        status = wait_until(
            lambda: self._exec_done(pid), timeout + 30,
            "the guest command %r" % command[:200], 0.2)
        out = base64.b64decode(status.get("out-data", "")).decode(errors="replace")
        err = base64.b64decode(status.get("err-data", "")).decode(errors="replace")
        return Result(status.get("exitcode", -1), out, err)

    def _exec_done(self, pid):
        status = self.agent("guest-exec-status", {"pid": pid})
        return status if status.get("exited") else None

    def sh(self, command, timeout=60, user=None):
        """run(), raising GuestError unless the command succeeded; its standard output."""
        r = self.run(command, timeout, user)
        if r.rc != 0:
            raise GuestError("guest command %r failed: %r" % (command, r))
        return r.out

    def put(self, data, path, mode=0o644):
        """Writes bytes (or a local file's content, given its path as str) to a guest path."""
        if isinstance(data, str):
            with open(data, "rb") as f:
                data = f.read()
        self.sh("mkdir -p %s && : > %s" % (shell_quote(os.path.dirname(path)),
                                          shell_quote(path)))
        handle = self.agent("guest-file-open", {"path": path, "mode": "wb"})
        try:
            for start in range(0, len(data), 1 << 20):
                chunk = base64.b64encode(data[start:start + (1 << 20)]).decode()
                self.agent("guest-file-write", {"handle": handle, "buf-b64": chunk}, 120)
        finally:
            self.agent("guest-file-close", {"handle": handle})
        self.sh("chmod %o %s" % (mode, shell_quote(path)))

    def get(self, path, offset=0):
        """A guest file's bytes from offset on; b"" when it does not exist."""
        if self.run("test -f %s" % shell_quote(path), 20).rc != 0:
            return b""
        handle = self.agent("guest-file-open", {"path": path, "mode": "rb"})
        data = b""
        try:
            if offset:
                self.agent("guest-file-seek", {"handle": handle, "offset": offset, "whence": 0})
            while True:
                part = self.agent("guest-file-read", {"handle": handle, "count": 1 << 20}, 120)
                data += base64.b64decode(part.get("buf-b64", ""))
                if part.get("eof") or not part.get("count"):
                    return data
        finally:
            self.agent("guest-file-close", {"handle": handle})

    def journal(self, lines=150, unit=None):
        """The last lines of this boot's journal, without the guest agent's own lines."""
        which = " -u " + unit if unit else ""
        return self.run("journalctl -b --no-pager -o short-monotonic%s | grep -v ' qemu-ga\\[' "
                        "| tail -n %d" % (which, lines), 60).out

    # QMP and USB sticks ------------------------------------------------------------------------

    def _qmp_connect(self):
        self.qmp_sock.connect(10)
        deadline = time.monotonic() + 10
        self.qmp_sock.receive(deadline)  # greeting
        self.qmp("qmp_capabilities")

    def qmp(self, command, timeout=30, **arguments):
        deadline = time.monotonic() + timeout
        message = {"execute": command}
        if arguments:
            message["arguments"] = arguments
        self.qmp_sock.send(message)
        while True:
            answer = self.qmp_sock.receive(deadline)
            if "event" in answer:
                self.qmp_events.append(answer)
                continue
            if "error" in answer:
                raise GuestError("QMP %s: %s" % (command, answer["error"].get("desc")))
            return answer.get("return")

    def qmp_event(self, name, timeout, where=lambda e: True):
        """Waits for (and takes) a QMP event."""
        deadline = time.monotonic() + timeout
        while True:
            for event in self.qmp_events:
                if event["event"] == name and where(event):
                    self.qmp_events.remove(event)
                    return event
            try:
                self.qmp_events.append(self.qmp_sock.receive(deadline))
            except TimeoutError as error:
                raise TimeoutError("no QMP event %s within %.0f s" % (name, timeout)) from error

    def screendump(self, path):
        """The guest's screen as a PPM file on the host."""
        self.qmp("screendump", 60, filename=path)
        return path

    def send_key(self, key):
        """One key press and release (a QEMU key code: "esc", "ret", ...)."""
        self.qmp("send-key", keys=[{"type": "qcode", "data": key}])

    def make_stick_image(self, name, label, size_mb=16):
        """A vfat file system image on the host, for plug_stick."""
        path = os.path.join(self.workdir, name + ".img")
        if not os.path.exists(path):
            subprocess.run(["mkfs.vfat", "-C", "-n", label, path, str(size_mb * 1024)],
                           check=True, stdout=subprocess.DEVNULL, timeout=60)
        return path

    def plug_stick(self, serial, label="LABSTICK"):
        """A USB storage stick (vendor 46f4, product 0001) with a vfat volume; its device id."""
        image = self.make_stick_image("stick-" + serial, label)
        dev = "usb-" + serial
        self.qmp("blockdev-add", driver="raw", **{"node-name": "n-" + serial},
                 file={"driver": "file", "filename": image})
        self.qmp("device_add", driver="usb-storage", bus="xhci.0", drive="n-" + serial,
                 serial=serial, removable=True, id=dev)
        self.sticks[dev] = "n-" + serial
        return dev

    def unplug_stick(self, dev, timeout=60):
        self.qmp("device_del", id=dev)
        self.qmp_event("DEVICE_DELETED", timeout, lambda e: e["data"].get("device") == dev)
        self.qmp("blockdev-del", **{"node-name": self.sticks.pop(dev)})


def shell_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"
