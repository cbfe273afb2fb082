"""Fixtures of the system tests: the real programs against the lab (see README.md)."""

import itertools
import os
import sys
import types

import pytest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
LAB = os.path.join(TOP, "tools", "lab")
if LAB not in sys.path:
    sys.path.insert(0, LAB)

import certs as lab_certs  # noqa: E402  pylint: disable=wrong-import-position
import harness  # noqa: E402  pylint: disable=wrong-import-position
import sandbox as lab_sandbox  # noqa: E402  pylint: disable=wrong-import-position

wait_until = harness.wait_until

SAMPLE_SYSTEM_POLICY = os.path.join(harness.POLICY_DIR, "system.json")
SAMPLE_SESSION_POLICY = os.path.join(harness.POLICY_DIR, "session.json")
SAMPLE_CONTROL_CENTRE = os.path.join(harness.POLICY_DIR, "control_centre.json")


def policy(*settings):
    """A policy document from ("policy_key/config_key", value) pairs."""
    grouped = {}
    for key, value in settings:
        policy_key, config_key = key.split("/", 1)
        grouped.setdefault(policy_key, []).append(
            {"config_key": config_key, "config_value": value})
    return {"policys": [{"policy_key": k, "configs": v} for k, v in grouped.items()]}


def log_text(prog):
    """The program's own log file so far ("" before it exists)."""
    try:
        with open(prog.log_file(), encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def replies(vorng, job):
    """The ReplyTaskResult calls the core client service received for one job."""
    return [c for c in vorng.calls("ReplyTaskResult") if c[0] == job]


_probe_ids = itertools.count(900000)


def start_qarg(lab, extra_env=None):
    """Starts qarg and waits until it hears the core client service's signals: a push it
    must refuse ("data error") is answered."""
    prog = lab.start("qarg", extra_env=extra_env)

    def subscribed():
        if not prog.alive():
            raise RuntimeError("qarg ended early:\n" + prog.output()[-3000:])
        job = next(_probe_ids)
        lab.vorng.emit_server_msg(2000, {"job_id": job, "task_id": 1, "action": "probe"})
        try:
            return wait_until(lambda: replies(lab.vorng, job), 0.5, what="probe reply")
        except TimeoutError:
            return False
    wait_until(subscribed, 20, 0.01, "qarg to answer a push")
    return prog


@pytest.fixture(scope="session")
def build_dir():
    """VORN_BUILD_DIR, else build/ of the source tree."""
    return os.path.abspath(os.environ.get("VORN_BUILD_DIR") or os.path.join(TOP, "build"))


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    """Paths of the lab certificates (certs.make_certs), made once per test run."""
    return lab_certs.make_certs(str(tmp_path_factory.mktemp("certs")))


@pytest.fixture
def logs_dir(tmp_path):
    path = tmp_path / "logs"
    path.mkdir(exist_ok=True)
    return str(path)


@pytest.fixture
def system_bus(tmp_path):
    """A private dbus-daemon used as the system bus; .address, .connection(), .client_env()."""
    bus = harness.SystemBus(str(tmp_path / "bus")).start()
    yield bus
    bus.stop()


@pytest.fixture
def lab_server(tmp_path, certs, logs_dir):
    """The management server with empty policies and whitelist and the sample module list."""
    server = harness.LabServer(str(tmp_path / "server"), os.path.dirname(certs["ca.crt"]),
                               logs_dir)
    server.start(control_centre=SAMPLE_CONTROL_CENTRE)
    yield server
    server.stop()


@pytest.fixture
def vorng(system_bus, lab_server, logs_dir):
    """The simulated core client service, its ServerPort set to the lab server's port."""
    mock = harness.VorngMock(system_bus, logs_dir, {"ServerPort": lab_server.port})
    mock.start()
    yield mock
    mock.stop()


@pytest.fixture
def logind(system_bus, logs_dir):
    """python-dbusmock's logind template on the private system bus (no users yet)."""
    mock = harness.LogindMock(system_bus, logs_dir)
    mock.start()
    yield mock
    mock.stop()


@pytest.fixture
def sandbox(tmp_path, lab_server, certs):
    """The sandbox sysroot and homes, userinfo pointing at the lab server."""
    return lab_sandbox.make_sandbox(str(tmp_path / "sandbox"), lab_server.port, certs)


@pytest.fixture
def stubs(sandbox):
    """Recording stand-ins for systemctl, loginctl, udevadm, lsblk, blkid, sudo, find."""
    return harness.Stubs(sandbox.logs)


class Programs:
    """Starts build/bin/<name> in the sandbox; everything started is stopped at teardown."""

    def __init__(self, build_dir, sandbox, bus, stubs):
        self.build_dir = build_dir
        self.sandbox = sandbox
        self.bus = bus
        self.stubs = stubs
        self.started = []

    def path(self, name):
        return os.path.join(self.build_dir, "bin", name)

    def start(self, name, user=None, extra_env=None):
        prog = harness.Program(self.build_dir, name, self.sandbox, self.bus, self.stubs,
                               user=user, extra_env=extra_env)
        if not prog.built():
            pytest.skip("%s is not built (%s)" % (name, prog.binary))
        prog.start()
        self.started.append(prog)
        return prog

    def stop(self, prog, timeout=5.0):
        return prog.stop(timeout)

    def stop_all(self):
        for prog in reversed(self.started):
            prog.stop()
            # Shown by pytest only when the test failed.
            print("---- %s (pid %s, status %s): last output lines" % (prog.name, prog.pid,
                                                                    prog.returncode()))
            print("\n".join(harness.tail(prog.output_path, 40)))


@pytest.fixture
def programs(build_dir, sandbox, system_bus, stubs):
    progs = Programs(build_dir, sandbox, system_bus, stubs)
    yield progs
    progs.stop_all()


@pytest.fixture
def lab(system_bus, vorng, logind, lab_server, sandbox, stubs, programs, certs):
    """Everything at once: lab.bus, .vorng, .logind, .server, .sandbox, .stubs, .programs,
    .certs, .start(name, ...) and .wait_until(...)."""
    return types.SimpleNamespace(bus=system_bus, vorng=vorng, logind=logind, server=lab_server,
                                 sandbox=sandbox, stubs=stubs, programs=programs, certs=certs,
                                 start=programs.start, wait_until=wait_until)
