#!/usr/bin/python3
"""Simulated management server for the lab: HTTPS with client certificates.

    /usr/bin/python3 tools/lab/server.py --dir DIR [--certs CERTDIR] [--port 0] [--admin-port 0]
        [--system-policy FILE] [--session-policy FILE] [--whitelist FILE]
        [--control-centre FILE] [--files DIR]...

Serves on 127.0.0.1 with the server certificate of CERTDIR (default DIR/certs, made by
certs.make_certs) and accepts only clients whose certificate the lab CA signed.

Endpoints (GET):
  /policy/v1/client/pc_policy_details?machine_id=..&policy_level=system|session&md5=..
      {"code":0,"msg":"ok","data":{"md5":M,"policys":[...]}}, M being the MD5 of the canonical
      JSON of the policys array (the full document is sent also when the client's md5 matches)
  /api/usb_whitelist_check?machine_id&vendorId&productId&serialNumber
      {"code":1} when (vendorId, productId, serialNumber) is whitelisted, else {"code":0}
  /policy/v1/client/all_control_center_info
      {"code":0,"msg":"ok","data":[module names]}
  anything else: a file below one of the files directories (DIR/files first, then --files, then
      tools/lab/files), 404 when there is none.

When listening it writes DIR/server.json {"pid", "port", "admin_port"} and prints the same JSON
on one line. Every request is one JSON line in DIR/requests.jsonl: time, method, path, query,
client (certificate subject, e.g. "CN=lab-client"), status, fault. A refused TLS handshake is a
line with "event": "tls-error" and the reason.

Control: plain HTTP on 127.0.0.1:admin_port (see README.md beside this file):
  GET|PUT /policy/system, /policy/session   body: a policy document, {"policys": [...]} or [...]
  GET|PUT /whitelist                        body: [{"vendorId", "productId", "serialNumber"}]
  GET|PUT /control-centre                   body: ["module", ...]
  GET|PUT|DELETE /faults                    body: {"/path/prefix": {"kind": K, ...}}
  GET|DELETE /requests                      the request log as a JSON array / empties it
  GET /health
Fault kinds: "slow" (answer only after "seconds", default 30), "http500", "http503" and "http429"
(with a Retry-After header when "retry_after" is given: seconds or an HTTP date, sent as is),
"garbage" (a body that is not JSON), "code" (JSON answer with "code" = "code", default 1), "reset"
(connection reset without an answer), "404". Optional "count": the fault applies that many times,
then goes away.
"""

import argparse
import hashlib
import http.server
import json
import mimetypes
import os
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

POLICY_PATH = "/policy/v1/client/pc_policy_details"
WHITELIST_PATH = "/api/usb_whitelist_check"
CONTROL_CENTRE_PATH = "/policy/v1/client/all_control_center_info"
FAULT_KINDS = ("slow", "http500", "http503", "http429", "garbage", "code", "reset", "404")


def policys_of(doc):
    """The policys array of a document as a client receives it, of {"policys": [...]} or [...]."""
    if isinstance(doc, list):
        return doc
    if isinstance(doc, dict):
        if isinstance(doc.get("data"), dict) and isinstance(doc["data"].get("policys"), list):
            return doc["data"]["policys"]
        if isinstance(doc.get("policys"), list):
            return doc["policys"]
    raise ValueError("not a policy document: expected data.policys, policys or an array")


def policy_md5(policys):
    canonical = json.dumps(policys, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return hashlib.md5(canonical.encode("utf-8")).hexdigest()


def read_json(path, default):
    if not path:
        return default
    with open(path, encoding="utf-8") as f:
        return json.load(f)


class LabState:
    """Everything the admin port can change; shared by all request threads."""

    def __init__(self, workdir, files_dirs):
        self.lock = threading.Lock()
        self.workdir = workdir
        self.files_dirs = files_dirs
        self.log_path = os.path.join(workdir, "requests.jsonl")
        self.policies = {"system": [], "session": []}
        self.whitelist = []
        self.control_centre = []
        self.faults = {}
        open(self.log_path, "a").close()

    def set_policy(self, level, doc):
        policys = policys_of(doc)
        with self.lock:
            self.policies[level] = policys

    def policy(self, level):
        with self.lock:
            policys = self.policies[level]
            return {"md5": policy_md5(policys), "policys": policys}

    def set_whitelist(self, entries):
        if not isinstance(entries, list):
            raise ValueError("whitelist: expected an array")
        clean = []
        for e in entries:
            if not isinstance(e, dict):
                raise ValueError("whitelist: entries are objects")
            clean.append({k: str(e.get(k, "")) for k in ("vendorId", "productId", "serialNumber")})
        with self.lock:
            self.whitelist = clean

    def whitelisted(self, vendor, product, serial):
        with self.lock:
            return any(e["vendorId"] == vendor and e["productId"] == product
                       and e["serialNumber"] == serial for e in self.whitelist)

    def set_control_centre(self, names):
        if not isinstance(names, list):
            raise ValueError("control-centre: expected an array")
        with self.lock:
            self.control_centre = [str(n) for n in names]

    def set_faults(self, faults):
        if not isinstance(faults, dict):
            raise ValueError("faults: expected an object keyed by path prefix")
        for prefix, fault in faults.items():
            if not prefix.startswith("/") or not isinstance(fault, dict) \
                    or fault.get("kind") not in FAULT_KINDS:
                raise ValueError("faults: %r needs a path prefix and a kind of %s"
                                 % (prefix, ", ".join(FAULT_KINDS)))
        with self.lock:
            self.faults = {p: dict(f) for p, f in faults.items()}

    def take_fault(self, path):
        """The fault of the longest matching prefix, counting down its "count"."""
        with self.lock:
            matches = [p for p in self.faults if path.startswith(p)]
            if not matches:
                return None
            prefix = max(matches, key=len)
            fault = self.faults[prefix]
            if "count" in fault:
                fault["count"] = int(fault["count"]) - 1
                if fault["count"] <= 0:
                    del self.faults[prefix]
            return dict(fault)

    def log(self, record):
        line = json.dumps(record, ensure_ascii=False) + "\n"
        with self.lock:
            with open(self.log_path, "a", encoding="utf-8") as f:
                f.write(line)

    def requests(self):
        with self.lock:
            with open(self.log_path, encoding="utf-8") as f:
                return [json.loads(line) for line in f if line.strip()]

    def clear_requests(self):
        with self.lock:
            open(self.log_path, "w").close()

    def find_file(self, path):
        rel = urllib.parse.unquote(path).lstrip("/")
        if not rel:
            return None
        for base in self.files_dirs:
            base = os.path.realpath(base)
            candidate = os.path.realpath(os.path.join(base, rel))
            # Nothing outside the files directories, whatever the path says.
            if candidate.startswith(base + os.sep) and os.path.isfile(candidate):
                return candidate
        return None


def subject_text(cert):
    if not cert:
        return None
    parts = []
    for rdn in cert.get("subject", ()):
        for key, value in rdn:
            short = {"commonName": "CN", "organizationName": "O",
                     "organizationalUnitName": "OU", "countryName": "C"}.get(key, key)
            parts.append("%s=%s" % (short, value))
    return ",".join(parts)


class ApiHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VornLab/1.0"

    def log_message(self, fmt, *args):  # the JSON request log replaces the console log
        pass

    def _send(self, status, body, content_type="application/json", headers=None):
        if isinstance(body, (dict, list)):
            body = json.dumps(body, ensure_ascii=False).encode("utf-8")
        elif isinstance(body, str):
            body = body.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)
        return status

    def _reset(self):
        # SO_LINGER with a zero timeout makes close() send RST instead of FIN.
        self.close_connection = True
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()
        except OSError:
            pass

    def do_GET(self):
        state = self.server.lab
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query, keep_blank_values=True).items()}
        record = {"time": time.time(), "method": self.command, "path": url.path, "query": query,
                  "client": subject_text(self.connection.getpeercert()), "status": None,
                  "fault": None}
        try:
            fault = state.take_fault(url.path)
            if fault:
                record["fault"] = fault["kind"]
                status = self._fault(fault)
                if status is not False:
                    record["status"] = status
                    return
            record["status"] = self._answer(state, url.path, query)
        finally:
            state.log(record)

    do_HEAD = do_GET

    def _fault(self, fault):
        """Answers according to the fault; False when the normal answer should follow."""
        kind = fault["kind"]
        if kind == "slow":
            time.sleep(float(fault.get("seconds", 30)))
            return False
        if kind == "http500":
            return self._send(500, {"code": 500, "msg": "internal server error"})
        if kind in ("http503", "http429"):
            status = 503 if kind == "http503" else 429
            headers = {}
            if fault.get("retry_after") is not None:
                headers["Retry-After"] = str(fault["retry_after"])
            return self._send(status, {"code": status, "msg": "busy, come back later"},
                              headers=headers)
        if kind == "garbage":
            return self._send(200, "<html><body>502 Bad Gateway</body></html>\x00\xff",
                              "text/html")
        if kind == "code":
            return self._send(200, {"code": int(fault.get("code", 1)), "msg": "lab fault",
                                    "data": None})
        if kind == "404":
            return self._send(404, {"code": 404, "msg": "not found"})
        if kind == "reset":
            self._reset()
            return None
        return False

    def _answer(self, state, path, query):
        if path == POLICY_PATH:
            level = query.get("policy_level", "")
            if level not in ("system", "session"):
                return self._send(200, {"code": 1, "msg": "unknown policy_level", "data": None})
            return self._send(200, {"code": 0, "msg": "ok", "data": state.policy(level)})
        if path == WHITELIST_PATH:
            allowed = state.whitelisted(query.get("vendorId", ""), query.get("productId", ""),
                                        query.get("serialNumber", ""))
            return self._send(200, {"code": 1 if allowed else 0,
                                    "msg": "allowed" if allowed else "not whitelisted"})
        if path == CONTROL_CENTRE_PATH:
            with state.lock:
                names = list(state.control_centre)
            return self._send(200, {"code": 0, "msg": "ok", "data": names})
        found = state.find_file(path)
        if found is None:
            return self._send(404, {"code": 404, "msg": "not found"})
        with open(found, "rb") as f:
            data = f.read()
        kind = mimetypes.guess_type(found)[0] or "application/octet-stream"
        return self._send(200, data, kind)


class AdminHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def _send(self, status, body):
        data = json.dumps(body, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def _body(self):
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length else b""
        return json.loads(raw.decode("utf-8")) if raw.strip() else None

    def _dispatch(self):
        state = self.server.lab
        path = urllib.parse.urlsplit(self.path).path.rstrip("/")
        method = self.command
        try:
            body = self._body() if method in ("PUT", "POST") else None
            if path == "/health":
                return self._send(200, {"ok": True})
            if path in ("/policy/system", "/policy/session"):
                level = path.rsplit("/", 1)[1]
                if method in ("PUT", "POST"):
                    state.set_policy(level, body)
                return self._send(200, state.policy(level))
            if path == "/whitelist":
                if method in ("PUT", "POST"):
                    state.set_whitelist(body)
                with state.lock:
                    return self._send(200, list(state.whitelist))
            if path == "/control-centre":
                if method in ("PUT", "POST"):
                    state.set_control_centre(body)
                with state.lock:
                    return self._send(200, list(state.control_centre))
            if path == "/faults":
                if method in ("PUT", "POST"):
                    state.set_faults(body or {})
                elif method == "DELETE":
                    state.set_faults({})
                with state.lock:
                    return self._send(200, dict(state.faults))
            if path == "/requests":
                if method == "DELETE":
                    state.clear_requests()
                    return self._send(200, [])
                return self._send(200, state.requests())
            return self._send(404, {"error": "unknown control path " + path})
        except (ValueError, TypeError) as e:
            return self._send(400, {"error": str(e)})

    do_GET = do_PUT = do_POST = do_DELETE = _dispatch


class TlsServer(http.server.ThreadingHTTPServer):
    """Does the TLS handshake in the request thread, so a slow or refused client holds no one."""
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, lab, context):
        super().__init__(address, ApiHandler)
        self.lab = lab
        self.context = context

    def finish_request(self, request, client_address):
        request.settimeout(30)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as e:
            self.lab.log({"time": time.time(), "event": "tls-error",
                          "peer": "%s:%d" % client_address[:2],
                          "reason": getattr(e, "reason", None) or str(e)})
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        # Clients that go away mid-answer are normal here (resets, timeouts).
        pass


class AdminServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, lab):
        super().__init__(address, AdminHandler)
        self.lab = lab


def make_context(certs):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(certs["server.crt"], certs["server.key"])
    context.load_verify_locations(cafile=certs["ca.crt"])
    context.verify_mode = ssl.CERT_REQUIRED
    return context


def parse_args(argv):
    p = argparse.ArgumentParser(description="lab management server")
    p.add_argument("--dir", required=True, help="working directory (state, log, server.json)")
    p.add_argument("--certs", help="certificate directory (default DIR/certs)")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0, help="HTTPS port, 0 picks a free one")
    p.add_argument("--admin-port", type=int, default=0, help="control port, 0 picks a free one")
    p.add_argument("--system-policy", help="initial system policy document")
    p.add_argument("--session-policy", help="initial session policy document")
    p.add_argument("--whitelist", help="initial USB whitelist (JSON array)")
    p.add_argument("--control-centre", help="initial control-centre module list (JSON array)")
    p.add_argument("--files", action="append", default=[], help="extra files directory")
    return p.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    workdir = os.path.abspath(args.dir)
    os.makedirs(os.path.join(workdir, "files"), exist_ok=True)
    import certs as lab_certs  # pylint: disable=import-outside-toplevel
    cert_paths = lab_certs.make_certs(args.certs or os.path.join(workdir, "certs"))

    files_dirs = [os.path.join(workdir, "files")] + [os.path.abspath(d) for d in args.files] \
        + [os.path.join(HERE, "files")]
    lab = LabState(workdir, files_dirs)
    if args.system_policy:
        lab.set_policy("system", read_json(args.system_policy, []))
    if args.session_policy:
        lab.set_policy("session", read_json(args.session_policy, []))
    lab.set_whitelist(read_json(args.whitelist, []))
    lab.set_control_centre(read_json(args.control_centre, []))

    api = TlsServer((args.host, args.port), lab, make_context(cert_paths))
    admin = AdminServer(("127.0.0.1", args.admin_port), lab)
    threading.Thread(target=admin.serve_forever, name="admin", daemon=True).start()

    info = {"pid": os.getpid(), "port": api.server_address[1],
            "admin_port": admin.server_address[1]}
    tmp = os.path.join(workdir, "server.json.tmp")
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(info, f)
    os.replace(tmp, os.path.join(workdir, "server.json"))
    print(json.dumps(info), flush=True)

    def stop(signum, frame):  # pylint: disable=unused-argument
        threading.Thread(target=api.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        api.serve_forever(poll_interval=0.2)
    finally:
        admin.shutdown()
        api.server_close()
        admin.server_close()
        try:
            os.unlink(os.path.join(workdir, "server.json"))
        except OSError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
