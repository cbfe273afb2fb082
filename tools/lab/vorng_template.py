"""python-dbusmock template: the core client service "vorng" on the system bus.

Load it with
    /usr/bin/python3 -m dbusmock --system --template tools/lab/vorng_template.py \
        -p '{"ServerPort": 8443, "calls_file": "/tmp/x/vorng-calls.jsonl"}'

Parameters (all optional): DomainState (b), MachineID (s), ServerIP (s), ServerPort (q),
TerminalAlias (s), TimeInterval (i) give the initial property values; SetDomainConfigResult (b)
is the answer of SetDomainConfig; calls_file names a file that receives one JSON line
{"time", "method", "args"} per call of a service method (the dbusmock call log, GetCalls and
GetMethodCalls on org.freedesktop.DBus.Mock, holds the same calls).

Control methods on org.freedesktop.DBus.Mock:
    SetReplyFailures(i n)    the next n ReplyTaskResult calls answer with a D-Bus error
    SetReplyDelay(d seconds) ReplyTaskResult answers only after that many seconds (0 = at once);
                             the reply is sent from a GLib timeout, so the mock keeps serving
    SetTimeInterval(i)       changes TimeInterval and emits TimeIntervalChanged
    EmitSignal("", name, signature, args)   emits a signal of the service from the connection
                             that owns its name: ObjectRegistered "", ServerMsgCame "sis",
                             DomainRemoved "", RequestSendNotify "s", RequestRemoveDevice "s",
                             TimeIntervalChanged "i"
Every property can also be changed with org.freedesktop.DBus.Properties.Set.
"""

import json
import os
import sys
import time

import dbus
from dbusmock import MOCK_IFACE
from gi.repository import GLib

# dbusmock loads this file by path; its neighbours are the rest of the lab.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import plain  # noqa: E402  pylint: disable=wrong-import-position

BUS_NAME = "com.kestal.vorn.vorng"
MAIN_OBJ = "/com/kestal/vorn/vorng"
MAIN_IFACE = "com.kestal.vorn.vorng"
SYSTEM_BUS = True

ERROR_FAILED = MAIN_IFACE + ".Error.Failed"

_PROPERTY_TYPES = {
    "DomainState": dbus.Boolean,
    "MachineID": dbus.String,
    "ServerIP": dbus.String,
    "ServerPort": dbus.UInt16,
    "TerminalAlias": dbus.String,
    "TimeInterval": dbus.Int32,
}

_DEFAULTS = {
    "DomainState": True,
    "MachineID": "lab-machine-0001",
    "ServerIP": "127.0.0.1",
    "ServerPort": 443,
    "TerminalAlias": "lab-terminal",
    "TimeInterval": 5,
}


def _record(self, method, args):
    path = getattr(self, "vorng_calls_file", "")
    if not path:
        return
    line = json.dumps({"time": time.time(), "method": method, "args": plain(list(args))},
                      ensure_ascii=False) + "\n"
    with open(path, "a", encoding="utf-8") as f:
        f.write(line)


def load(mock, parameters):
    props = {}
    for name, kind in _PROPERTY_TYPES.items():
        props[name] = kind(parameters.get(name, _DEFAULTS[name]))
    mock.AddProperties(MAIN_IFACE, dbus.Dictionary(props, signature="sv"))

    mock.vorng_calls_file = str(parameters.get("calls_file", ""))
    mock.vorng_domain_config_result = bool(parameters.get("SetDomainConfigResult", True))
    mock.vorng_reply_failures = 0
    mock.vorng_reply_delay = 0.0

    if mock.vorng_calls_file:
        # Start a fresh file, so that a restarted mock does not show stale calls.
        open(mock.vorng_calls_file, "w", encoding="utf-8").close()


# Service methods. dbusmock wraps each of them so that it also lands in its call log.

@dbus.service.method(MAIN_IFACE, in_signature="", out_signature="s")
def GetMachineID(self):
    _record(self, "GetMachineID", [])
    return self.Get(MAIN_IFACE, "MachineID")


@dbus.service.method(MAIN_IFACE, in_signature="s", out_signature="b")
def SetDomainConfig(self, config_type):
    _record(self, "SetDomainConfig", [config_type])
    return dbus.Boolean(self.vorng_domain_config_result)


@dbus.service.method(MAIN_IFACE, in_signature="ss", out_signature="")
def UploadInfo(self, url, data):
    _record(self, "UploadInfo", [url, data])


@dbus.service.method(MAIN_IFACE, in_signature="iiiss", out_signature="",
                     async_callbacks=("reply_cb", "error_cb"))
def ReplyTaskResult(self, job_id, task_id, err_code, result, data, reply_cb=None, error_cb=None):
    _record(self, "ReplyTaskResult", [job_id, task_id, err_code, result, data])
    if self.vorng_reply_failures > 0:
        self.vorng_reply_failures -= 1
        error_cb(dbus.exceptions.DBusException("lab: ReplyTaskResult failure injected",
                                               name=ERROR_FAILED))
        return
    delay = self.vorng_reply_delay
    if delay <= 0:
        reply_cb()
        return

    def answer():
        reply_cb()
        return False

    GLib.timeout_add(int(delay * 1000), answer)


@dbus.service.method(MAIN_IFACE, in_signature="s", out_signature="")
def SendSystemNotify(self, msg_json):
    _record(self, "SendSystemNotify", [msg_json])


@dbus.service.method(MAIN_IFACE, in_signature="s", out_signature="")
def RemoveDevice(self, id_serial):
    _record(self, "RemoveDevice", [id_serial])


# Lab controls.

@dbus.service.method(MOCK_IFACE, in_signature="i", out_signature="")
def SetReplyFailures(self, count):
    self.vorng_reply_failures = max(0, int(count))


@dbus.service.method(MOCK_IFACE, in_signature="d", out_signature="")
def SetReplyDelay(self, seconds):
    self.vorng_reply_delay = max(0.0, float(seconds))


@dbus.service.method(MOCK_IFACE, in_signature="i", out_signature="")
def SetTimeInterval(self, minutes):
    self.UpdateProperties(MAIN_IFACE, {"TimeInterval": dbus.Int32(minutes)})
    self.EmitSignal(MAIN_IFACE, "TimeIntervalChanged", "i", [dbus.Int32(minutes)])
