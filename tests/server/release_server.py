#!/usr/bin/env python3
"""Local release server for the tests: HTTPS on 127.0.0.1 (addressed as
"localhost") and a plain-HTTP listener for the degraded series.

State lives in one directory shared with the tests (they run under Wine and
see it through drive Z:):
  www/            files served by path
  script.json     per-path behaviour, re-read on every request:
                  {"/path": {"status": 404} | {"body": "text"} |
                   {"truncate": N} | {"stall_ms": N} | {"redirect": "url"} |
                  {"endless": true}        200 and bytes without end (no length
                                           announced) until the client leaves |
                  {"extra": N, "announce": "file" | "all" | "none"}
                                           the file and N bytes more, announcing
                                           the file's length (default), the whole
                                           length, or none |
                  {"trickle_ms": N}        the file one byte every N ms,
                   ... optional "times": N to apply to the first N requests only}
  requests.log    one JSON line per request: listener, scheme, path, query, agent
  sent.log        one JSON line per endless or trickled body: listener, path,
                  bytes sent before the client left, and the body's length
  https_port      HTTPS with a certificate from the test root CA ("trusted")
  http_port       plain HTTP ("plain")
  untrusted_port  HTTPS with a certificate no store trusts, and plain HTTP on
                  the same port ("untrusted")
  release_case    with --release-port: the name of the folder under
                  www/install/ that the fixed port serves as its root
                  ("release"); nothing is served while it is absent or empty.
                  The installer under test is built for that port.
"""
import argparse
import http.server
import json
import os
import socket
import socketserver
import ssl
import threading
import time
import urllib.parse

LOCK = threading.Lock()
# What an endless body repeats: not a manifest, not a signature, not a file.
ENDLESS_BLOCK = bytes((i * 7919 + 13) % 251 for i in range(1 << 16))
HITS = {}
SCRIPT_TEXT = [None]


class ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def fixed_root(path):
    return lambda: path


def release_root(state_dir):
    """The served release is chosen by the tests, one case at a time."""
    def root():
        try:
            with open(os.path.join(state_dir, "release_case"), encoding="utf-8") as f:
                case = f.read().strip()
        except OSError:
            case = ""
        if not case or "/" in case or case.startswith("."):
            return None
        return os.path.join(state_dir, "www", "install", case)
    return root


def request_path_to_name(path):
    """A request path as the file name it addresses: clients send non-ASCII
    either percent-encoded or as raw UTF-8 (which the request line carries as
    Latin-1 characters)."""
    try:
        path = path.encode("latin-1").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        pass
    return urllib.parse.unquote(path)


def release_offline(state_dir):
    try:
        with open(os.path.join(state_dir, "release_case"), encoding="utf-8") as f:
            return f.read().strip() == "offline"
    except OSError:
        return False


def make_handler(state_dir, listener, www_root=None):
    www_root = www_root or fixed_root(os.path.join(state_dir, "www"))

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, fmt, *args):
            pass

        def record(self, parsed):
            scheme = "https" if isinstance(self.connection, ssl.SSLSocket) else "http"
            entry = {"listener": listener, "scheme": scheme, "path": parsed.path, "query": parsed.query,
                     "agent": self.headers.get("User-Agent", ""), "name": request_path_to_name(parsed.path)}
            with LOCK:
                with open(os.path.join(state_dir, "requests.log"), "a", encoding="utf-8") as log:
                    log.write(json.dumps(entry, ensure_ascii=False) + "\n")

        def behaviour(self, path):
            try:
                with open(os.path.join(state_dir, "script.json"), encoding="utf-8") as f:
                    text = f.read()
                script = json.loads(text)
            except (OSError, ValueError):
                return None
            rule = script.get(path)
            if rule is None:
                return None
            with LOCK:
                if SCRIPT_TEXT[0] != text:  # a new script counts from zero
                    SCRIPT_TEXT[0] = text
                    HITS.clear()
                HITS[path] = HITS.get(path, 0) + 1
                count = HITS[path]
            if "times" in rule and count > rule["times"]:
                return None
            return rule

        def send_body(self, status, body, length=None):
            self.send_response(status)
            self.send_header("Content-Length", str(len(body) if length is None else length))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.wfile.flush()

        def file_bytes(self, path):
            local = os.path.join(www_root(), request_path_to_name(path).lstrip("/"))
            with open(local, "rb") as f:
                return f.read()

        def send_unbounded(self, body, length):
            """body as it is, announcing length (None: no length; the end of
            the connection ends the body)."""
            self.send_response(200)
            if length is not None:
                self.send_header("Content-Length", str(length))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
            self.wfile.flush()

        def send_endless(self):
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            sent = 0
            try:
                while True:
                    self.wfile.write(ENDLESS_BLOCK)
                    sent += len(ENDLESS_BLOCK)
            finally:
                self.log_sent(sent, None)

        def log_sent(self, sent, length):
            """How much of an endless or trickled body went out before the
            client left (length None: no end)."""
            with LOCK:
                with open(os.path.join(state_dir, "sent.log"), "a", encoding="utf-8") as log:
                    log.write(json.dumps({"listener": listener, "path": urllib.parse.urlsplit(self.path).path,
                                          "sent": sent, "length": length}) + "\n")

        def serve_file(self, path):
            www = www_root()
            if www is None:
                self.send_body(404, b"not found")
                return
            www = os.path.abspath(www)
            local = os.path.normpath(os.path.join(www, request_path_to_name(path).lstrip("/")))
            if not local.startswith(www + os.sep) or not os.path.isfile(local):
                self.send_body(404, b"not found")
                return
            size = os.path.getsize(local)
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.send_header("Connection", "close")
            self.end_headers()
            with open(local, "rb") as f:
                while True:
                    chunk = f.read(1 << 20)
                    if not chunk:
                        break
                    self.wfile.write(chunk)

        def do_GET(self):
            parsed = urllib.parse.urlsplit(self.path)
            self.record(parsed)
            self.close_connection = True
            if listener == "release" and release_offline(state_dir):
                # As if nothing listened: the connection ends without an answer.
                self.connection.close()
                return
            rule = self.behaviour(parsed.path)
            try:
                if rule is None:
                    self.serve_file(parsed.path)
                elif "status" in rule:
                    self.send_body(rule["status"], rule.get("body", "").encode())
                elif "body" in rule:
                    self.send_body(200, rule["body"].encode())
                elif "truncate" in rule:
                    local = os.path.join(www_root(), parsed.path.lstrip("/"))
                    data = open(local, "rb").read()
                    self.send_body(200, data[: rule["truncate"]], length=len(data))
                elif "stall_ms" in rule:
                    time.sleep(rule["stall_ms"] / 1000.0)
                    self.serve_file(parsed.path)
                elif rule.get("endless"):
                    self.send_endless()
                elif "extra" in rule:
                    data = self.file_bytes(parsed.path)
                    body = data + ENDLESS_BLOCK[: rule["extra"]]
                    self.send_unbounded(body, {"file": len(data), "all": len(body)}.get(rule.get("announce", "file")))
                elif "trickle_ms" in rule:
                    data = self.file_bytes(parsed.path)
                    self.send_response(200)
                    self.send_header("Content-Length", str(len(data)))
                    self.send_header("Connection", "close")
                    self.end_headers()
                    sent = 0
                    try:
                        for i in range(len(data)):
                            self.wfile.write(data[i:i + 1])
                            self.wfile.flush()
                            sent += 1
                            time.sleep(rule["trickle_ms"] / 1000.0)
                    finally:
                        self.log_sent(sent, len(data))
                elif "redirect" in rule:
                    self.send_response(302)
                    self.send_header("Location", rule["redirect"])
                    self.send_header("Content-Length", "0")
                    self.send_header("Connection", "close")
                    self.end_headers()
            except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError, ssl.SSLError, OSError):
                pass

    return Handler


class SniffingServer(ThreadingServer):
    """Speaks TLS to clients that open with a TLS handshake and plain HTTP to
    the others, so that one port serves both the HTTPS attempts and the
    "http://" rewrite of the same URL."""

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def get_request(self):
        sock, address = self.socket.accept()
        try:
            sock.settimeout(10)
            first = sock.recv(1, socket.MSG_PEEK)
            sock.settimeout(None)
        except OSError:
            first = b""
        if first == b"\x16":
            sock = self.context.wrap_socket(sock, server_side=True)
        return sock, address


def serve(server):
    threading.Thread(target=server.serve_forever, daemon=True).start()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--untrusted-cert", required=True)
    parser.add_argument("--untrusted-key", required=True)
    parser.add_argument("--release-port", type=int, default=0)
    args = parser.parse_args()
    args.dir = os.path.abspath(args.dir)  # served paths are checked against absolute roots
    os.makedirs(os.path.join(args.dir, "www"), exist_ok=True)

    https = ThreadingServer(("127.0.0.1", 0), make_handler(args.dir, "trusted"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    https.socket = context.wrap_socket(https.socket, server_side=True)
    plain = ThreadingServer(("127.0.0.1", 0), make_handler(args.dir, "plain"))
    untrusted_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    untrusted_context.load_cert_chain(args.untrusted_cert, args.untrusted_key)
    untrusted = SniffingServer(("127.0.0.1", 0), make_handler(args.dir, "untrusted"), untrusted_context)
    serve(https)
    serve(plain)
    serve(untrusted)
    if args.release_port:
        release = ThreadingServer(("127.0.0.1", args.release_port),
                                  make_handler(args.dir, "release", release_root(args.dir)))
        release.socket = context.wrap_socket(release.socket, server_side=True)
        serve(release)
    for name, server in (("untrusted_port", untrusted), ("https_port", https), ("http_port", plain)):
        with open(os.path.join(args.dir, name + ".tmp"), "w") as f:
            f.write(str(server.server_address[1]))
        os.replace(os.path.join(args.dir, name + ".tmp"), os.path.join(args.dir, name))
    threading.Event().wait()


if __name__ == "__main__":
    main()
