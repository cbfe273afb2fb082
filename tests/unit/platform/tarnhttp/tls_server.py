#!/usr/bin/python3
"""HTTPS server for the client library tests; requires a client certificate.

Usage: tls_server.py CERT KEY CA   -- listens on a free port of 127.0.0.1,
prints "PORT <n>" once it accepts connections, and ends when its standard
input is closed (so it never outlives a crashed test). Paths:
  /ok            200, a JSON document
  /notfound      404 with a body
  /fail          500 with a body
  /slow          accepts the request and never answers
  /big           200, a body above the client's limit, with Content-Length
  /bigstream     200, the same without Content-Length (ends when closed)
  /truncated     200, Content-Length larger than what is sent, then closes
  /file          200, FILE_SIZE bytes of a fixed pattern
  /trickle       200, TRICKLE_SIZE zero bytes with Content-Length, sent slowly
  /large         200, LARGE_SIZE zero bytes with Content-Length, at full speed
  /redirect-same 302 to /ok on this server
  /redirect-other 302 to another host
  /redirect-http 302 to plain http on this host
"""

import http.server
import socket
import ssl
import sys
import threading

OK_BODY = b'{"code":0,"msg":"ok"}'
BIG_SIZE = 64 * 1024 * 1024 + 4096
FILE_SIZE = 300 * 1024
CHUNK = 1024 * 1024
TRICKLE_SIZE = 8 * 1024 * 1024
TRICKLE_CHUNK = 256 * 1024
TRICKLE_PAUSE = 0.05
LARGE_SIZE = 60 * 1024 * 1024


def file_content():
    return bytes((i * 7 + 3) % 251 for i in range(FILE_SIZE))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def log_message(self, fmt, *args):
        sys.stderr.write("tls_server: " + (fmt % args) + "\n")

    def send_body(self, status, body, content_type="application/json"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def redirect(self, location):
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def stream_zeros(self, size):
        block = b"\0" * CHUNK
        left = size
        while left > 0:
            n = min(left, CHUNK)
            self.wfile.write(block[:n])
            left -= n

    def trickle(self):
        self.send_response(200)
        self.send_header("Content-Length", str(TRICKLE_SIZE))
        self.end_headers()
        block = b"\0" * TRICKLE_CHUNK
        for _ in range(TRICKLE_SIZE // TRICKLE_CHUNK):
            self.wfile.write(block)
            self.wfile.flush()
            if self.server.stop_event.wait(TRICKLE_PAUSE):
                return

    def do_GET(self):
        port = self.server.server_address[1]
        path = self.path.split("?", 1)[0]
        try:
            if path == "/ok":
                self.send_body(200, OK_BODY)
            elif path == "/notfound":
                self.send_body(404, b'{"error":"not found"}')
            elif path == "/fail":
                self.send_body(500, b'{"error":"server failure"}')
            elif path == "/slow":
                self.server.stop_event.wait()
            elif path == "/big":
                self.send_response(200)
                self.send_header("Content-Length", str(BIG_SIZE))
                self.end_headers()
                self.stream_zeros(BIG_SIZE)
            elif path == "/bigstream":
                self.send_response(200)
                self.end_headers()
                self.stream_zeros(BIG_SIZE)
            elif path == "/truncated":
                self.send_response(200)
                self.send_header("Content-Length", "100000")
                self.end_headers()
                self.wfile.write(b"x" * 1000)
                self.wfile.flush()
                self.close_connection = True
            elif path == "/trickle":
                self.trickle()
            elif path == "/large":
                self.send_response(200)
                self.send_header("Content-Length", str(LARGE_SIZE))
                self.end_headers()
                self.stream_zeros(LARGE_SIZE)
            elif path == "/file":
                self.send_body(200, self.server.file_body, "application/octet-stream")
            elif path == "/redirect-same":
                self.redirect("/ok")
            elif path == "/redirect-other":
                self.redirect("https://other.invalid:%d/ok" % port)
            elif path == "/redirect-http":
                self.redirect("http://127.0.0.1:%d/ok" % port)
            else:
                self.send_body(404, b'{"error":"unknown path"}')
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, context):
        self.context = context
        self.stop_event = threading.Event()
        self.file_body = file_content()
        super().__init__(("127.0.0.1", 0), Handler)

    def get_request(self):
        sock, addr = self.socket.accept()
        # The handshake runs in the handler's thread, so a stuck client
        # cannot hold up the others.
        return self.context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr

    def finish_request(self, request, client_address):
        try:
            request.settimeout(30)
            request.do_handshake()
            request.settimeout(None)
        except (ssl.SSLError, OSError) as e:
            sys.stderr.write("tls_server: handshake failed: %s\n" % e)
            return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        sys.stderr.write("tls_server: connection error %s\n" % (sys.exc_info()[1],))


def main(argv):
    if len(argv) != 4:
        sys.stderr.write("usage: tls_server.py CERT KEY CA\n")
        return 2
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(argv[1], argv[2])
    context.load_verify_locations(argv[3])
    context.verify_mode = ssl.CERT_REQUIRED
    server = Server(context)

    def stop_when_parent_goes():
        # The test holds our stdin open; end of file means it is gone.
        sys.stdin.buffer.read()
        server.stop_event.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    threading.Thread(target=stop_when_parent_goes, daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    finally:
        server.stop_event.set()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
