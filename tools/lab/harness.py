"""Process handling of the lab, shared by the demo and the system tests.

Every process is started as a child of the caller and stopped by its pid (SIGTERM, then SIGKILL
after a bounded wait). Waits are bounded polls (wait_until).

    bus = SystemBus(workdir); bus.start()
    vorng = VorngMock(bus, logdir, parameters={"ServerPort": port}); vorng.start()
    logind = LogindMock(bus, logdir); logind.start()
    server = LabServer(workdir, certdir, logdir); server.start(system_policy=...)
    stubs = Stubs(logdir)
    prog = Program(build_dir, "qarg", sandbox, bus, stubs); prog.start()
    ...
    prog.stop(); server.stop(); logind.stop(); vorng.stop(); bus.stop()
"""

import http.client
import json
import os
import selectors
import signal
import ssl
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"
STUB_DIR = os.path.join(HERE, "stubs")
# The PATH the programs give the children of root.
ROOT_CHILD_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"
VORNG_TEMPLATE = os.path.join(HERE, "vorng_template.py")
POLICY_DIR = os.path.join(HERE, "policies")

if HERE not in sys.path:
    sys.path.insert(0, HERE)


def wait_until(predicate, timeout=10.0, interval=0.05, what="condition"):
    """Polls predicate until it returns something true (returned) or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def read_jsonl(path):
    records = []
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.strip()
                if line:
                    try:
                        records.append(json.loads(line))
                    except ValueError:
                        pass  # a line still being written
    except OSError:
        pass
    return records


def tail(path, lines=20):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()[-lines:]
    except OSError:
        return []


class Child:
    """A child process with its output in a file, stopped by pid."""

    def __init__(self, name, argv, env, output_path, cwd=None):
        self.name = name
        self.argv = argv
        self.env = env
        self.output_path = output_path
        self.cwd = cwd
        self.popen = None

    @property
    def pid(self):
        return self.popen.pid if self.popen else None

    def spawn(self, stdout=None):
        os.makedirs(os.path.dirname(self.output_path), exist_ok=True)
        out = open(self.output_path, "ab")
        try:
            self.popen = subprocess.Popen(self.argv, env=self.env, cwd=self.cwd,
                                          stdin=subprocess.DEVNULL,
                                          stdout=stdout if stdout is not None else out,
                                          stderr=out, start_new_session=True)
        finally:
            out.close()
        return self.popen

    def alive(self):
        return self.popen is not None and self.popen.poll() is None

    def returncode(self):
        return self.popen.poll() if self.popen else None

    def stop(self, timeout=5.0):
        """SIGTERM, then SIGKILL after timeout seconds. Returns the exit status."""
        if self.popen is None:
            return None
        if self.popen.poll() is None:
            try:
                os.kill(self.popen.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                try:
                    os.kill(self.popen.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                self.popen.wait(5)
        if self.popen.stdout:
            self.popen.stdout.close()
        return self.popen.returncode

    def output(self):
        try:
            with open(self.output_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_for_output(self, text, timeout=10.0):
        def seen():
            if text in self.output():
                return True
            if not self.alive():
                raise RuntimeError("%s ended (status %s) before printing %r; output:\n%s"
                                   % (self.name, self.returncode(), text,
                                      "\n".join(tail(self.output_path, 30))))
            return False
        return wait_until(seen, timeout, what="%r in the output of %s" % (text, self.name))


def clean_env():
    """The caller's environment without what would lead a child to the real desktop or bus."""
    env = dict(os.environ)
    for key in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS",
                "DBUS_SYSTEM_BUS_ADDRESS", "VORN_SYSROOT", "VORN_XWE_FAIL", "VORN_XWE_BACKEND",
                "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME",
                "XDG_RUNTIME_DIR", "VORN_STUB_LOG", "VORN_STUB_CONFIG", "VORN_CHILD_PATH"):
        env.pop(key, None)
    return env


class SystemBus(Child):
    """A private dbus-daemon with a permissive configuration, used as the system bus."""

    CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <keep_umask/>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
"""

    def __init__(self, workdir):
        self.workdir = workdir
        self.config_path = os.path.join(workdir, "system-bus.conf")
        self.address = None
        super().__init__("dbus-daemon",
                         ["dbus-daemon", "--nofork", "--print-address=1",
                          "--config-file=" + self.config_path],
                         clean_env(), os.path.join(workdir, "system-bus.log"))

    def start(self, timeout=10.0):
        os.makedirs(self.workdir, exist_ok=True)
        with open(self.config_path, "w", encoding="utf-8") as f:
            f.write(self.CONFIG)
        popen = self.spawn(stdout=subprocess.PIPE)
        sel = selectors.DefaultSelector()
        sel.register(popen.stdout, selectors.EVENT_READ)
        if not sel.select(timeout):
            self.stop()
            raise RuntimeError("dbus-daemon printed no address within %.0f s" % timeout)
        line = popen.stdout.readline().decode().strip()
        sel.close()
        if not line:
            self.stop()
            raise RuntimeError("dbus-daemon did not start: " + self.output())
        self.address = line
        return self

    def connection(self):
        import dbus  # pylint: disable=import-outside-toplevel
        return dbus.bus.BusConnection(self.address)

    def client_env(self):
        """What a client needs in its environment to use this bus as the system bus."""
        return {"DBUS_SYSTEM_BUS_ADDRESS": self.address}


def plain(value):
    """dbus-python values as plain Python values."""
    import dbus  # pylint: disable=import-outside-toplevel
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.Byte, dbus.Int16, dbus.Int32, dbus.Int64, dbus.UInt16,
                          dbus.UInt32, dbus.UInt64)):
        return int(value)
    if isinstance(value, dbus.Double):
        return float(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath, dbus.Signature)):
        return str(value)
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in value.items()}
    return value


class DBusMock(Child):
    """A python-dbusmock process serving one template on the private system bus."""

    BUS_NAME = MAIN_OBJ = MAIN_IFACE = None
    MOCK_IFACE = "org.freedesktop.DBus.Mock"

    def __init__(self, bus, logdir, name, template, parameters=None):
        self.bus = bus
        self.call_log_path = os.path.join(logdir, name + "-mock.log")
        env = clean_env()
        env.update(bus.client_env())
        argv = [PYTHON, "-m", "dbusmock", "--system", "--template", template,
                "-l", self.call_log_path]
        if parameters:
            argv += ["-p", json.dumps(parameters)]
        super().__init__(name, argv, env, os.path.join(logdir, name + "-mock.out"))
        self._conn = None
        self._obj = None

    def start(self, timeout=15.0):
        import dbus  # pylint: disable=import-outside-toplevel
        self.spawn()
        self._conn = self.bus.connection()

        def ready():
            if not self.alive():
                raise RuntimeError("%s mock ended: %s" % (self.name, self.output()))
            if not self._conn.name_has_owner(self.BUS_NAME):
                return False
            try:
                obj = self._conn.get_object(self.BUS_NAME, self.MAIN_OBJ)
                # Ready once the template's properties are in place.
                dbus.Interface(obj, dbus.PROPERTIES_IFACE).GetAll(self.MAIN_IFACE)
                self._obj = obj
                return True
            except dbus.exceptions.DBusException:
                return False
        wait_until(ready, timeout, 0.05, "the %s mock on the bus" % self.name)
        return self

    @property
    def obj(self):
        return self._obj

    def mock(self):
        import dbus  # pylint: disable=import-outside-toplevel
        return dbus.Interface(self._obj, self.MOCK_IFACE)

    def calls(self, method):
        """Argument lists (as tuples of plain values) of every call of method, oldest first."""
        return [tuple(plain(args)) for _stamp, args in self.mock().GetMethodCalls(method)]

    def all_calls(self):
        return [(str(name), tuple(plain(args))) for _stamp, name, args in self.mock().GetCalls()]

    def clear_calls(self):
        self.mock().ClearCalls()

    def wait_for_calls(self, method, count=1, timeout=10.0, where=None):
        def enough():
            found = [c for c in self.calls(method) if where is None or where(c)]
            return found if len(found) >= count else None
        return wait_until(enough, timeout, 0.05, "%d %s call(s)" % (count, method))

    def get_property(self, name, interface=None):
        import dbus  # pylint: disable=import-outside-toplevel
        props = dbus.Interface(self._obj, dbus.PROPERTIES_IFACE)
        return plain(props.Get(interface or self.MAIN_IFACE, name))

    def stop(self, timeout=5.0):
        self._conn = None
        self._obj = None
        return super().stop(timeout)


class VorngMock(DBusMock):
    """The simulated core client service."""

    BUS_NAME = "com.kestal.vorn.vorng"
    MAIN_OBJ = "/com/kestal/vorn/vorng"
    MAIN_IFACE = "com.kestal.vorn.vorng"

    TYPES = {"DomainState": "Boolean", "MachineID": "String", "ServerIP": "String",
             "ServerPort": "UInt16", "TerminalAlias": "String", "TimeInterval": "Int32"}

    def __init__(self, bus, logdir, parameters=None):
        params = dict(parameters or {})
        params.setdefault("calls_file", os.path.join(logdir, "vorng-calls.jsonl"))
        self.calls_file = params["calls_file"]
        super().__init__(bus, logdir, "vorng", VORNG_TEMPLATE, params)

    def emit(self, name, signature="", args=()):
        self.mock().EmitSignal("", name, signature, list(args))

    def emit_server_msg(self, msg_type, payload, app_id="lab"):
        """ServerMsgCame(appId, type, payload); payload as text or as a JSON-able object."""
        import dbus  # pylint: disable=import-outside-toplevel
        if not isinstance(payload, str):
            payload = json.dumps(payload)
        self.emit("ServerMsgCame", "sis",
                  [dbus.String(app_id), dbus.Int32(msg_type), dbus.String(payload)])

    def emit_domain_removed(self):
        self.emit("DomainRemoved")

    def set_property(self, name, value):
        import dbus  # pylint: disable=import-outside-toplevel
        kind = getattr(dbus, self.TYPES[name])
        dbus.Interface(self._obj, dbus.PROPERTIES_IFACE).Set(self.MAIN_IFACE, name, kind(value))

    def set_time_interval(self, minutes):
        """Changes TimeInterval and emits TimeIntervalChanged, as the service does."""
        import dbus  # pylint: disable=import-outside-toplevel
        self.mock().SetTimeInterval(dbus.Int32(minutes))

    def fail_replies(self, count):
        """The next count ReplyTaskResult calls answer with a D-Bus error."""
        import dbus  # pylint: disable=import-outside-toplevel
        self.mock().SetReplyFailures(dbus.Int32(count))

    def delay_replies(self, seconds):
        """ReplyTaskResult answers only after seconds (0: at once)."""
        import dbus  # pylint: disable=import-outside-toplevel
        self.mock().SetReplyDelay(dbus.Double(seconds))

    def recorded_calls(self):
        """Every service method call as recorded in the calls file: dicts time/method/args."""
        return read_jsonl(self.calls_file)


class LogindMock(DBusMock):
    """python-dbusmock's logind template."""

    BUS_NAME = "org.freedesktop.login1"
    MAIN_OBJ = "/org/freedesktop/login1"
    MAIN_IFACE = "org.freedesktop.login1.Manager"
    USER_IFACE = "org.freedesktop.login1.User"

    def __init__(self, bus, logdir, parameters=None):
        super().__init__(bus, logdir, "logind", "logind", parameters)

    def add_user(self, uid, name, state="active"):
        """A logged-in user; state "active", "online", "lingering", "closing", ..."""
        import dbus  # pylint: disable=import-outside-toplevel
        path = self.mock().AddUser(dbus.UInt32(uid), name, state == "active")
        if state not in ("active", "online"):
            self.set_user_state(uid, state)
        return str(path)

    def set_user_state(self, uid, state):
        import dbus  # pylint: disable=import-outside-toplevel
        obj = self._conn.get_object(self.BUS_NAME, "/org/freedesktop/login1/user/%d" % uid)
        dbus.Interface(obj, dbus.PROPERTIES_IFACE).Set(self.USER_IFACE, "State", state)

    def add_session(self, session_id, uid, name, active=True, seat="seat0"):
        import dbus  # pylint: disable=import-outside-toplevel
        return str(self.mock().AddSession(session_id, seat, dbus.UInt32(uid), name, active))


class LabServer(Child):
    """The simulated management server (server.py) and its control port."""

    def __init__(self, workdir, certdir, logdir):
        self.workdir = workdir
        self.certdir = certdir
        self.port = None
        self.admin_port = None
        self.info_path = os.path.join(workdir, "server.json")
        self.log_path = os.path.join(workdir, "requests.jsonl")
        super().__init__("server", [], clean_env(), os.path.join(logdir, "server.out"))

    def start(self, system_policy=None, session_policy=None, whitelist=None,
              control_centre=None, timeout=60.0):
        """Policies etc. are file paths; None leaves them empty (set them later through admin)."""
        os.makedirs(self.workdir, exist_ok=True)
        if os.path.exists(self.info_path):
            os.unlink(self.info_path)
        self.argv = [PYTHON, os.path.join(HERE, "server.py"), "--dir", self.workdir,
                     "--certs", self.certdir]
        for flag, value in (("--system-policy", system_policy),
                            ("--session-policy", session_policy),
                            ("--whitelist", whitelist), ("--control-centre", control_centre)):
            if value:
                self.argv += [flag, value]
        self.spawn()

        def ready():
            if not self.alive():
                raise RuntimeError("lab server ended: " + self.output())
            try:
                with open(self.info_path, encoding="utf-8") as f:
                    return json.load(f)
            except (OSError, ValueError):
                return None
        info = wait_until(ready, timeout, 0.05, "the lab server to listen")
        self.port, self.admin_port = info["port"], info["admin_port"]
        return self

    def admin(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.admin_port, timeout=10)
        try:
            data = json.dumps(body).encode("utf-8") if body is not None else None
            headers = {"Content-Type": "application/json"} if data is not None else {}
            conn.request(method, path, body=data, headers=headers)
            resp = conn.getresponse()
            payload = json.loads(resp.read().decode("utf-8") or "null")
            if resp.status != 200:
                raise RuntimeError("lab server control %s %s: %s" % (method, path, payload))
            return payload
        finally:
            conn.close()

    def set_policy(self, level, doc):
        """doc: a document as the client receives it, {"policys": [...]}, [...] or a file path."""
        if isinstance(doc, str):
            with open(doc, encoding="utf-8") as f:
                doc = json.load(f)
        return self.admin("PUT", "/policy/" + level, doc)

    def policy(self, level):
        """{"md5": ..., "policys": [...]} as the server currently answers."""
        return self.admin("GET", "/policy/" + level)

    def set_whitelist(self, entries):
        """entries: [{"vendorId", "productId", "serialNumber"}] or (vendor, product, serial)."""
        norm = [e if isinstance(e, dict) else
                {"vendorId": e[0], "productId": e[1], "serialNumber": e[2]} for e in entries]
        return self.admin("PUT", "/whitelist", norm)

    def set_control_centre(self, names):
        return self.admin("PUT", "/control-centre", list(names))

    def set_faults(self, faults):
        """{"/path/prefix": {"kind": "slow|http500|http503|http429|garbage|code|reset|404", ...}}"""
        return self.admin("PUT", "/faults", faults)

    def clear_faults(self):
        return self.admin("DELETE", "/faults")

    def all_log(self):
        return read_jsonl(self.log_path)

    def requests(self, path=None):
        """HTTP requests seen, oldest first; path filters by prefix of the URL path."""
        return [r for r in self.all_log() if "event" not in r
                and (path is None or r["path"].startswith(path))]

    def tls_errors(self):
        return [r for r in self.all_log() if r.get("event") == "tls-error"]

    def clear_requests(self):
        self.admin("DELETE", "/requests")

    def wait_for_requests(self, path, count=1, timeout=10.0, where=None):
        def enough():
            found = [r for r in self.requests(path) if where is None or where(r)]
            return found if len(found) >= count else None
        return wait_until(enough, timeout, 0.05, "%d request(s) of %s" % (count, path))

    def url(self, path="/"):
        return "https://127.0.0.1:%d%s" % (self.port, path)

    def fetch(self, path, cert="client", timeout=10.0):
        """A GET as a client would make it: (status, body bytes). cert None sends none."""
        ctx = ssl.create_default_context(cafile=os.path.join(self.certdir, "ca.crt"))
        if cert:
            ctx.load_cert_chain(os.path.join(self.certdir, cert + ".crt"),
                                os.path.join(self.certdir, cert + ".key"))
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx, timeout=timeout)
        try:
            conn.request("GET", path)
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()


class Stubs:
    """The recording tool stand-ins in tools/lab/stubs, their call log and their answers."""

    def __init__(self, logdir):
        self.dir = STUB_DIR
        self.log_path = os.path.join(logdir, "stub-calls.jsonl")
        self.config_path = os.path.join(logdir, "stub-config.json")
        os.makedirs(logdir, exist_ok=True)
        self.configure({})

    def env(self, path=None):
        # Children of root get a fixed PATH; VORN_CHILD_PATH puts the stand-ins in front of it.
        return {"PATH": self.dir + os.pathsep + (path or os.environ.get("PATH", "/usr/bin:/bin")),
                "VORN_CHILD_PATH": self.dir + os.pathsep + ROOT_CHILD_PATH,
                "VORN_STUB_LOG": self.log_path, "VORN_STUB_CONFIG": self.config_path}

    def configure(self, rules):
        """Replaces the answers: {"command arg...": {"stdout", "stderr", "exit", "delay",
        "passthrough"}}."""
        tmp = self.config_path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(rules, f)
        os.replace(tmp, self.config_path)
        self._rules = dict(rules)

    def answer(self, key, stdout="", stderr="", exit=0, **more):  # pylint: disable=redefined-builtin
        rules = dict(self._rules)
        rules[key] = dict(stdout=stdout, stderr=stderr, exit=exit, **more)
        self.configure(rules)

    def records(self, command=None):
        return [r for r in read_jsonl(self.log_path)
                if command is None or r["argv"][0] == command]

    def calls(self, command=None):
        """argv lists of the calls, oldest first."""
        return [r["argv"] for r in self.records(command)]

    def clear(self):
        open(self.log_path, "w").close()

    def wait_for_call(self, argv_prefix, timeout=10.0):
        argv_prefix = list(argv_prefix)

        def found():
            return [a for a in self.calls() if a[:len(argv_prefix)] == argv_prefix]
        return wait_until(found, timeout, 0.05, "a call of %s" % " ".join(argv_prefix))


class Program(Child):
    """build/bin/qarg or build/bin/qars in a sandbox."""

    def __init__(self, build_dir, name, sandbox, bus, stubs=None, user=None, extra_env=None):
        self.build_dir = build_dir
        self.sandbox = sandbox
        self.user = user or ("root" if name == "qarg" else "alice")
        binary = os.path.join(build_dir, "bin", name)
        env = clean_env()
        env.update(sandbox.env(self.user))
        env.update(bus.client_env())
        env["VORN_XWE_BACKEND"] = "store"
        libdir = os.path.join(build_dir, "lib")
        env["LD_LIBRARY_PATH"] = libdir + (os.pathsep + env["LD_LIBRARY_PATH"]
                                           if env.get("LD_LIBRARY_PATH") else "")
        if stubs is not None:
            env.update(stubs.env(env.get("PATH")))
        env.update(extra_env or {})
        super().__init__(name, [binary], env, os.path.join(sandbox.logs, name + ".out"),
                         cwd=sandbox.dir)

    @property
    def binary(self):
        return self.argv[0]

    def built(self):
        return os.access(self.binary, os.X_OK)

    def start(self):
        if not self.built():
            raise FileNotFoundError("%s is not built (looked for %s)" % (self.name, self.binary))
        self.spawn()
        return self

    def log_file(self):
        """The program's own log file (the toolkit log manager's file appender)."""
        if self.name == "qarg":
            return self.sandbox.path("/var/log/qarg/qarg.log")
        return os.path.join(self.env["XDG_DATA_HOME"], "zok", "log", self.name + ".log")
