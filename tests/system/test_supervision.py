"""What the service manager hears from qarg and qars (readiness, status, stop, watchdog) and
how their console lines reach the journal, with the test in the service manager's place: a
datagram socket named by NOTIFY_SOCKET, and JOURNAL_STREAM naming the programs' stderr."""

import itertools
import os
import re
import signal
import socket

import pytest

from conftest import log_text, policy, replies, wait_until

_names = itertools.count()


class NotifySocket:
    """An abstract AF_UNIX datagram socket as the service manager's notification socket."""

    def __init__(self):
        self.name = "vorn-notify-%d-%d" % (os.getpid(), next(_names))
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind("\0" + self.name)
        self.sock.setblocking(False)
        self.datagrams = []

    def env(self):
        return {"NOTIFY_SOCKET": "@" + self.name}

    def received(self):
        """Every datagram so far, oldest first."""
        while True:
            try:
                self.datagrams.append(self.sock.recv(65536).decode())
            except BlockingIOError:
                return list(self.datagrams)

    def wait_for(self, pattern, what, timeout=15):
        """The first datagram matching pattern (a regular expression)."""
        def found():
            return next((d for d in self.received() if re.search(pattern, d)), None)
        return wait_until(found, timeout, 0.02, what)

    def statuses(self):
        return [d[len("STATUS="):] for d in self.received() if d.startswith("STATUS=")]

    def close(self):
        self.sock.close()


@pytest.fixture
def notify():
    sock = NotifySocket()
    yield sock
    sock.close()


def match_rules_of(lab, pid):
    """The bus's match rules of the connection that process pid holds."""
    import dbus  # pylint: disable=import-outside-toplevel
    conn = lab.bus.connection()
    bus = conn.get_object("org.freedesktop.DBus", "/org/freedesktop/DBus")
    rules = bus.GetAllMatchRules(dbus_interface="org.freedesktop.DBus.Debug.Stats")
    for name, its_rules in rules.items():
        try:
            owner = bus.GetConnectionUnixProcessID(name, dbus_interface="org.freedesktop.DBus")
        except dbus.exceptions.DBusException:
            continue  # a connection that went meanwhile
        if int(owner) == pid:
            return [str(r) for r in its_rules]
    return []


@pytest.mark.parametrize("name", ["qarg", "qars"])
def test_ready_only_once_subscribed_then_status_and_stopping(lab, notify, name):
    prog = lab.start(name, extra_env=notify.env())
    notify.wait_for(r"^READY=1$", "READY=1 from " + name)
    # At READY the bus already routes the core client service's signals to the program.
    rules = " ".join(match_rules_of(lab, prog.pid))
    assert "member='ServerMsgCame'" in rules and "member='DomainRemoved'" in rules, rules
    assert "manager init end" in log_text(prog)
    usb = "; USB control off" if name == "qarg" else ""
    assert notify.statuses()[-1] == "no policy applied yet; no pull yet; receipts owed: 0" + usb

    # A push sent the moment READY came is heard, without waiting for anything else.
    doc = lab.server.set_policy("system" if name == "qarg" else "session",
                                policy(("ntp/ntpServer", "ntp.lab.example")))
    lab.vorng.emit_server_msg(1100, {"job_id": 41, "task_id": 42})
    wait_until(lambda: [r for r in replies(lab.vorng, 41) if r[2] == 2002], 20,
               what="the receipt of the pushed policy")
    applied = notify.wait_for(r"^STATUS=policy %s applied \S+; last pull \S+: accepted; "
                              r"receipts owed: 0" % doc["md5"], "STATUS with the applied policy")
    assert applied.endswith("receipts owed: 0" + usb), applied
    assert "STOPPING=1" not in notify.received()

    assert prog.stop() == 0
    datagrams = notify.received()
    assert datagrams[-1] == "STOPPING=1", datagrams
    assert datagrams.count("READY=1") == 1


def test_not_ready_while_the_bus_does_not_answer(lab, notify):
    os.kill(lab.bus.pid, signal.SIGSTOP)
    try:
        prog = lab.start("qarg", extra_env=notify.env())
        # Logged just before qarg first reaches for the bus, which cannot answer now.
        prog.wait_for_output("system policy manager init begin", 15)
        assert "READY=1" not in notify.received()
    finally:
        os.kill(lab.bus.pid, signal.SIGCONT)
    notify.wait_for(r"^READY=1$", "READY=1 once the bus answers")


@pytest.mark.parametrize("owner, pinged", [(None, True), ("1", False)],
                         ids=["for-this-process", "for-another-process"])
def test_watchdog_is_pinged_from_the_running_loop(lab, notify, owner, pinged):
    env = dict(notify.env(), WATCHDOG_USEC="400000")
    if owner:
        env["WATCHDOG_PID"] = owner
    prog = lab.start("qarg", extra_env=env)
    notify.wait_for(r"^READY=1$", "READY=1")
    # Logged before READY, when the watchdog is set up or not.
    assert ("watchdog every 400 ms, pinged every 200 ms" in log_text(prog)) == pinged
    if pinged:
        wait_until(lambda: notify.received().count("WATCHDOG=1") >= 3, 15, 0.05, "three pings")
    else:
        assert "WATCHDOG=1" not in notify.received()


def test_no_ready_without_the_system_bus(lab, notify):
    env = dict(notify.env(), DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent/vorn-bus")
    prog = lab.start("qarg", extra_env=env)
    prog.wait_for_output("system bus not reachable, not ready", 15)
    assert "READY=1" not in notify.received()
    assert prog.alive()


def stderr_identity(path):
    info = os.stat(path)
    return "%d:%d" % (info.st_dev, info.st_ino)


# program, (priority, text) of lines it writes at start
STARTUP_LINES = {
    "qarg": [(7, "system policy manager init begin"), (6, "ready: on the system bus")],
    "qars": [(4, "Strategy Processing test main!!!"), (7, "session policy manager init begin"),
             (6, "ready: on the system bus")],
}


@pytest.mark.parametrize("name", ["qarg", "qars"])
@pytest.mark.parametrize("journal", [True, False], ids=["journal", "not-the-journal"])
def test_console_lines_carry_their_priority_for_the_journal(lab, name, journal):
    output = os.path.join(lab.sandbox.logs, name + ".out")
    os.makedirs(os.path.dirname(output), exist_ok=True)
    open(output, "ab").close()  # the program's stderr, whose identity the journal names
    stream = stderr_identity(output) if journal else "1:1"
    prog = lab.start(name, extra_env={"JOURNAL_STREAM": stream})
    prog.wait_for_output("ready: on the system bus", 15)
    lines = prog.output().splitlines()
    for level, text in STARTUP_LINES[name]:
        line = next(l for l in lines if text in l)
        assert line.startswith("<%d>" % level) == journal, line
    logged = [l for l in lines if re.match(r"(<\d>)?\d{4}-\d\d-\d\d ", l)]
    assert all(l.startswith("<") == journal for l in logged), logged
    # The log file keeps its own format, whatever the console is.
    assert re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[", log_text(prog))
    assert "\n<" not in log_text(prog)
