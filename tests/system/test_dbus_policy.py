"""qarg's D-Bus policy on a real dbus-daemon with the system bus's default-deny rules."""

import os
import subprocess

import pytest

import harness
from conftest import TOP, wait_until

POLICY = os.path.join(TOP, "dist", "com.kestal.vorn.qarg.conf")
NAME = "com.kestal.vorn.qarg"
PATH = "/com/kestal/vorn/qarg"
STATUS = NAME + ".Status"
CONTROL = NAME + ".Control"
NOBODY = 65534


class PolicyBus(harness.SystemBus):
    """A bus whose own rules are those of the distribution's system bus, plus our file."""

    CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <include>%s</include>
</busconfig>
""" % POLICY


@pytest.fixture
def policy_bus(tmp_path):
    bus = PolicyBus(str(tmp_path / "bus")).start()
    yield bus
    bus.stop()


@pytest.fixture
def qarg_name(policy_bus, tmp_path):
    """The name owned by root, as qarg does, with one method on each of two interfaces."""
    env = harness.clean_env()
    env.update(policy_bus.client_env())
    mock = harness.Child("qarg-name", [harness.PYTHON, "-m", "dbusmock", "--system", NAME, PATH,
                                       STATUS], env, str(tmp_path / "mock.out"))
    mock.spawn()
    try:
        wait_until(lambda: call("root", policy_bus, "org.freedesktop.DBus.Mock.AddMethod",
                                "string:" + STATUS, "string:GetState", "string:", "string:s",
                                'string:ret = "idle"').returncode == 0, 15,
                   what="the name on the bus")
        assert call("root", policy_bus, "org.freedesktop.DBus.Mock.AddMethod",
                    "string:" + CONTROL, "string:Reload", "string:", "string:s",
                    'string:ret = "reloaded"').returncode == 0
        yield mock
    finally:
        mock.stop()


def as_user(user, argv):
    if user == "root":
        return argv
    return ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups"] + argv


def call(user, bus, method, *args):
    env = harness.clean_env()
    env.update(bus.client_env())
    argv = ["dbus-send", "--system", "--print-reply", "--dest=" + NAME, PATH, method] + list(args)
    return subprocess.run(as_user(user, argv), env=env, capture_output=True, text=True,
                          timeout=20, check=False)


@pytest.mark.parametrize("user, method, allowed", [
    ("root", STATUS + ".GetState", True),
    ("root", CONTROL + ".Reload", True),
    ("nobody", STATUS + ".GetState", True),
    ("nobody", "org.freedesktop.DBus.Introspectable.Introspect", True),
    ("nobody", CONTROL + ".Reload", False),
    ("nobody", "org.freedesktop.DBus.Mock.AddMethod", False),
])
def test_who_may_call_what(policy_bus, qarg_name, user, method, allowed):
    del qarg_name
    done = call(user, policy_bus, method)
    if allowed:
        assert done.returncode == 0, done.stderr
    else:
        assert done.returncode != 0
        assert "AccessDenied" in done.stderr


@pytest.mark.parametrize("user, allowed", [("root", True), ("nobody", False)])
def test_who_may_own_the_name(policy_bus, user, allowed):
    env = harness.clean_env()
    env.update(policy_bus.client_env())
    script = ("import dbus, sys\n"
              "bus = dbus.bus.BusConnection(sys.argv[1])\n"
              "bus.request_name(sys.argv[2])\n")
    done = subprocess.run(as_user(user, [harness.PYTHON, "-c", script, policy_bus.address, NAME]),
                          env=env, capture_output=True, text=True, timeout=20, check=False)
    assert (done.returncode == 0) == allowed, done.stderr
    if not allowed:
        assert "AccessDenied" in done.stderr
