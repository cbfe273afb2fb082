#!/usr/bin/python3
"""The field lab inside the guest (run as root; the lab's files are in /opt/vorn-lab/lab).

    labctl.py enrol                      the core client service's enrolment files, as it writes them
    labctl.py serve                      the management server (unit vorn-lab-server), with the
                                         documents last set through `server PUT`
    labctl.py server METHOD PATH [JSON]  the server's control port; PUT /policy/<level> and
                                         /whitelist are also kept for the next start
    labctl.py emit TYPE PAYLOAD [APPID]  ServerMsgCame from the simulated core client service
    labctl.py domain-removed             DomainRemoved from it
    labctl.py mock METHOD [ARG]          SetReplyFailures N | SetReplyDelay S | SetTimeInterval M
    labctl.py fetch PATH DEST            a file from the management server, with the machine's
                                         own identity (the enrolled TLS files), as the platform's
                                         scripts download
"""

import http.client
import json
import os
import ssl
import sys

LAB = "/opt/vorn-lab/lab"
STATE = "/var/lib/vorn-lab"
CERTS = os.path.join(STATE, "certs")
VORN_ETC = "/etc/vorn"
PORT, ADMIN_PORT = 8443, 8444
MACHINE_ID = "field-machine-0001"
NTP_SERVER = "ntp.backup.lab.internal"
CONTROL_CENTRE = "display, network, sound, power, datetime, update, accounts"
APP_BLACKLIST = "game-mines"
BUS_NAME, OBJ = "com.kestal.vorn.vorng", "/com/kestal/vorn/vorng"

sys.path.insert(0, LAB)


def _write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = path + ".lab-tmp"
    with open(tmp, "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    os.chmod(tmp, mode)
    os.replace(tmp, path)


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def enrol():
    """What the core client service leaves after enrolment (see tools/lab/sandbox.py)."""
    _write("/etc/vorn/userinfo.json", json.dumps(
        {"server_host": "127.0.0.1", "server_port": str(PORT), "pc_enabled": 1}, indent=4) + "\n")
    _write("/etc/vorn/config.ini", "[config]\nNTPServer=%s\nControlCenterList=%s\n"
           % (NTP_SERVER, CONTROL_CENTRE))
    _write("/usr/share/vorn/machine.txt", MACHINE_ID + "\n")
    _write("/usr/share/vorn/appblacklist.txt", APP_BLACKLIST)
    _write("/etc/vorn/clientapi_ca.crt", _read(os.path.join(CERTS, "ca.crt")))
    _write("/etc/vorn/IRO_Vorn.pem", _read(os.path.join(CERTS, "client.crt")))
    _write("/etc/vorn/.IRO_Vorn.key", _read(os.path.join(CERTS, "client.key")), 0o600)


def serve():
    argv = ["/usr/bin/python3", os.path.join(LAB, "server.py"), "--dir",
            os.path.join(STATE, "server"), "--certs", CERTS, "--port", str(PORT),
            "--admin-port", str(ADMIN_PORT)]
    for flag, name in (("--system-policy", "system.json"), ("--session-policy", "session.json"),
                       ("--whitelist", "whitelist.json")):
        path = os.path.join(STATE, name)
        if os.path.exists(path):
            argv += [flag, path]
    os.execv(argv[0], argv)


def server(method, path, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", ADMIN_PORT, timeout=20)
    try:
        headers = {"Content-Type": "application/json"} if body is not None else {}
        conn.request(method, path, body=body.encode() if body is not None else None,
                     headers=headers)
        resp = conn.getresponse()
        answer = resp.read().decode()
    finally:
        conn.close()
    if resp.status != 200:
        raise SystemExit("lab server %s %s: %s %s" % (method, path, resp.status, answer))
    keep = {"/policy/system": "system.json", "/policy/session": "session.json",
            "/whitelist": "whitelist.json"}
    if method == "PUT" and path in keep:
        _write(os.path.join(STATE, keep[path]), body)
    print(answer)


def fetch(path, dest):
    with open(os.path.join(VORN_ETC, "userinfo.json")) as f:
        info = json.load(f)
    context = ssl.create_default_context(cafile=os.path.join(VORN_ETC, "clientapi_ca.crt"))
    context.load_cert_chain(os.path.join(VORN_ETC, "IRO_Vorn.pem"),
                            os.path.join(VORN_ETC, ".IRO_Vorn.key"))
    conn = http.client.HTTPSConnection(info["server_host"], int(info["server_port"]),
                                       context=context, timeout=60)
    try:
        conn.request("GET", path)
        resp = conn.getresponse()
        data = resp.read()
    finally:
        conn.close()
    if resp.status != 200:
        raise SystemExit("fetch %s: %s" % (path, resp.status))
    _write(dest, data)
    print("fetched %s: %d bytes" % (path, len(data)))


def _mock():
    import dbus  # pylint: disable=import-outside-toplevel
    obj = dbus.SystemBus().get_object(BUS_NAME, OBJ)
    return dbus, dbus.Interface(obj, "org.freedesktop.DBus.Mock")


def emit(msg_type, payload, app_id="lab"):
    dbus, mock = _mock()
    mock.EmitSignal("", "ServerMsgCame", "sis",
                    [dbus.String(app_id), dbus.Int32(int(msg_type)), dbus.String(payload)])


def mock_call(method, arg=None):
    dbus, mock = _mock()
    kinds = {"SetReplyFailures": dbus.Int32, "SetReplyDelay": dbus.Double,
             "SetTimeInterval": dbus.Int32}
    getattr(mock, method)(kinds[method](float(arg) if method == "SetReplyDelay" else int(arg)))


def main(argv):
    if len(argv) < 2:
        raise SystemExit(__doc__)
    command, args = argv[1], argv[2:]
    if command == "enrol":
        enrol()
    elif command == "serve":
        serve()
    elif command == "server":
        server(*args)
    elif command == "emit":
        emit(*args)
    elif command == "domain-removed":
        _dbus, mock = _mock()
        mock.EmitSignal("", "DomainRemoved", "", [])
    elif command == "mock":
        mock_call(*args)
    elif command == "fetch":
        fetch(*args)
    else:
        raise SystemExit(__doc__)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
