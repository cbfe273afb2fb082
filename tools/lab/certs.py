#!/usr/bin/python3
"""Test certificates for the lab management server and its clients.

make_certs(directory) creates (or reuses) with the openssl command:
  ca.crt / ca.key                 the lab CA
  server.crt / server.key         server certificate for IP 127.0.0.1 and DNS localhost
  client.crt / client.key         client certificate signed by the lab CA (RSA key; others are EC)
  other-ca.crt / other-ca.key     an unrelated CA
  other-client.crt / other-client.key   client certificate signed by the unrelated CA
  server-expired.crt / server-expired.key   server certificate (lab CA) that expired long ago
  server-wrong-name.crt / server-wrong-name.key   server certificate (lab CA) for another name only

Usage: certs.py DIRECTORY   (prints the paths as JSON)
"""

import json
import os
import subprocess
import sys
import tempfile

OPENSSL = "openssl"
VALID_DAYS = "3650"

NAMES = (
    "ca.crt", "ca.key",
    "server.crt", "server.key",
    "client.crt", "client.key",
    "other-ca.crt", "other-ca.key",
    "other-client.crt", "other-client.key",
    "server-expired.crt", "server-expired.key",
    "server-wrong-name.crt", "server-wrong-name.key",
)


def _run(args, cwd):
    result = subprocess.run([OPENSSL] + args, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (" ".join(args), result.stderr.strip()))


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def _key(cwd, name, rsa=False):
    if rsa:
        _run(["genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", name], cwd)
    else:
        _run(["genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
              "-out", name], cwd)
    os.chmod(os.path.join(cwd, name), 0o600)


def _ca(cwd, stem, cn):
    _key(cwd, stem + ".key")
    _run(["req", "-x509", "-new", "-key", stem + ".key", "-sha256", "-days", VALID_DAYS,
          "-subj", "/CN=" + cn,
          "-addext", "basicConstraints=critical,CA:TRUE",
          "-addext", "keyUsage=critical,keyCertSign,cRLSign",
          "-out", stem + ".crt"], cwd)


def _leaf(cwd, stem, cn, ca_stem, ext_lines, rsa=False):
    _key(cwd, stem + ".key", rsa)
    _run(["req", "-new", "-key", stem + ".key", "-subj", "/CN=" + cn,
          "-out", stem + ".csr"], cwd)
    ext = stem + ".ext"
    _write(os.path.join(cwd, ext), "\n".join(ext_lines) + "\n")
    _run(["x509", "-req", "-in", stem + ".csr", "-CA", ca_stem + ".crt",
          "-CAkey", ca_stem + ".key", "-set_serial", str(int.from_bytes(os.urandom(8), "big")),
          "-sha256", "-days", VALID_DAYS, "-extfile", ext, "-out", stem + ".crt"], cwd)
    os.unlink(os.path.join(cwd, stem + ".csr"))
    os.unlink(os.path.join(cwd, ext))


SERVER_EXT = [
    "basicConstraints=critical,CA:FALSE",
    "keyUsage=critical,digitalSignature,keyEncipherment",
    "extendedKeyUsage=serverAuth",
    "subjectAltName=IP:127.0.0.1,DNS:localhost",
]
WRONG_NAME_EXT = SERVER_EXT[:-1] + ["subjectAltName=DNS:wrong-name.invalid"]
CLIENT_EXT = [
    "basicConstraints=critical,CA:FALSE",
    "keyUsage=critical,digitalSignature,keyEncipherment",
    "extendedKeyUsage=clientAuth",
]


def _expired_server(cwd):
    """Signs a server certificate whose validity ended in the past (openssl ca with fixed dates)."""
    _key(cwd, "server-expired.key")
    _run(["req", "-new", "-key", "server-expired.key", "-subj", "/CN=127.0.0.1",
          "-out", "server-expired.csr"], cwd)
    with tempfile.TemporaryDirectory(dir=cwd) as db:
        _write(os.path.join(db, "index.txt"), "")
        _write(os.path.join(db, "serial"), "%016X\n" % int.from_bytes(os.urandom(8), "big"))
        conf = os.path.join(db, "ca.cnf")
        _write(conf, "\n".join([
            "[ ca ]",
            "default_ca = lab",
            "[ lab ]",
            "dir = " + db,
            "database = $dir/index.txt",
            "serial = $dir/serial",
            "new_certs_dir = $dir",
            "default_md = sha256",
            "policy = anything",
            "copy_extensions = none",
            "unique_subject = no",
            "x509_extensions = server_ext",
            "[ anything ]",
            "commonName = supplied",
            "[ server_ext ]",
        ] + SERVER_EXT) + "\n")
        _run(["ca", "-batch", "-config", conf, "-notext",
              "-cert", "ca.crt", "-keyfile", "ca.key",
              "-startdate", "20200101000000Z", "-enddate", "20200201000000Z",
              "-in", "server-expired.csr", "-out", "server-expired.crt"], cwd)
    os.unlink(os.path.join(cwd, "server-expired.csr"))


def make_certs(directory):
    """Creates the lab certificates in directory (reusing complete sets) and returns their paths."""
    directory = os.path.abspath(directory)
    os.makedirs(directory, exist_ok=True)
    paths = {name: os.path.join(directory, name) for name in NAMES}

    def have(*names):
        return all(os.path.isfile(paths[n]) and os.path.getsize(paths[n]) > 0 for n in names)

    if not have("ca.crt", "ca.key"):
        _ca(directory, "ca", "Lab CA")
        # Everything signed by an earlier CA is useless now.
        for n in NAMES:
            if n.startswith(("server", "client")) and os.path.exists(paths[n]):
                os.unlink(paths[n])
    if not have("server.crt", "server.key"):
        _leaf(directory, "server", "127.0.0.1", "ca", SERVER_EXT)
    if not have("client.crt", "client.key"):
        # RSA here and EC elsewhere, so clients get to load both kinds of key.
        _leaf(directory, "client", "lab-client", "ca", CLIENT_EXT, rsa=True)
    if not have("other-ca.crt", "other-ca.key"):
        _ca(directory, "other-ca", "Other CA")
        for n in ("other-client.crt", "other-client.key"):
            if os.path.exists(paths[n]):
                os.unlink(paths[n])
    if not have("other-client.crt", "other-client.key"):
        _leaf(directory, "other-client", "lab-client", "other-ca", CLIENT_EXT)
    if not have("server-expired.crt", "server-expired.key"):
        _expired_server(directory)
    if not have("server-wrong-name.crt", "server-wrong-name.key"):
        _leaf(directory, "server-wrong-name", "wrong-name.invalid", "ca", WRONG_NAME_EXT)
    return paths


def main(argv):
    if len(argv) != 2:
        sys.stderr.write("usage: %s DIRECTORY\n" % argv[0])
        return 2
    print(json.dumps(make_certs(argv[1]), indent=2, sort_keys=True))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
