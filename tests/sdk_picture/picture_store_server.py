#!/usr/bin/python3
"""A small HTTPS object store for the picture upload tests.

Usage: picture_store_server.py DIR CERT KEY ACCESS_KEY SECRET

Listens on a free loopback port (TLS), writes it to DIR/port, and for every
PUT writes one JSON line to DIR/requests.jsonl:
  {"path", "key", "size", "sha256", "status", "signed", "auth"}
and the body to DIR/objects/<sha256 of the raw key>. A request with an
Authorization header is checked: the signature is recomputed from the
request with SECRET (HMAC-SHA1, Base64) and refused with 403 when it differs.

Keys that ask for a fault (anywhere in the raw key):
  status-NNN   answer NNN        drop      close without an answer
  stall        never answer      interim   "100 Continue", then nothing
  silent       read the whole body, then never answer
  garbage      a line that is not a status line, then nothing
  continue     "100 Continue" and "103 Early Hints", then the usual answer
"""
import base64
import hashlib
import hmac
import json
import os
import re
import socket
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse

DIR, CERT, KEY, ACCESS_KEY, SECRET = sys.argv[1:6]
LOCK = threading.Lock()


def log(entry):
    with LOCK, open(os.path.join(DIR, "requests.jsonl"), "a") as f:
        f.write(json.dumps(entry) + "\n")


def read_head(rfile):
    lines = []
    while True:
        line = rfile.readline(65537)
        if not line or line in (b"\r\n", b"\n"):
            return lines if line else None
        lines.append(line.decode("latin-1").rstrip("\r\n"))


def check_auth(method, target, headers, raw_key):
    auth = headers.get("authorization")
    if auth is None:
        return "none"
    m = re.match(r"^KIV ([^:]+):(.+)$", auth)
    if not m or m.group(1) != ACCESS_KEY:
        return "bad-form"
    host = headers.get("host", "")
    bucket = host.split(".", 1)[0]
    query = target.split("?", 1)[1] if "?" in target else ""
    text = "%s\n\n%s\n%s\nx-kiv-security-token:%s\n/%s/%s%s" % (
        method, headers.get("content-type", ""), headers.get("date", ""),
        headers.get("x-kiv-security-token", ""), bucket, raw_key, "?" + query if query else "")
    mac = hmac.new(SECRET.encode(), text.encode("utf-8", "surrogateescape"), hashlib.sha1).digest()
    return "ok" if base64.b64encode(mac).decode() == m.group(2) else "bad-signature"


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        try:
            self.serve()
        except (OSError, ssl.SSLError):
            pass

    def serve(self):
        lines = read_head(self.rfile)
        if not lines:
            return
        method, target, _ = (lines[0].split(" ") + ["", ""])[:3]
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        path = target.split("?", 1)[0]
        raw_key = urllib.parse.unquote(path.lstrip("/"), errors="surrogateescape")
        length = int(headers.get("content-length", "0"))
        entry = {"method": method, "path": path, "key": raw_key, "size": length}
        for fault in ("drop", "stall", "silent", "interim", "garbage"):
            if fault in raw_key:
                entry["status"] = fault
                if fault == "silent":
                    entry["received"] = len(self.rfile.read(length))
                log(entry)
                if fault == "interim":
                    self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
                elif fault == "garbage":
                    self.wfile.write(b"this is not http\r\n\r\n")
                if fault != "drop":
                    time.sleep(20)
                return
        if "continue" in raw_key:
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </x>\r\n\r\n")
            self.wfile.flush()
        body = self.rfile.read(length)
        status = 200
        m = re.search(r"status-(\d{3})", raw_key)
        auth = check_auth(method, target, headers, raw_key)
        if m:
            status = int(m.group(1))
        elif auth not in ("none", "ok"):
            status = 403
        entry.update({"sha256": hashlib.sha256(body).hexdigest(), "status": status, "auth": auth,
                      "received": len(body)})
        if status == 200:
            name = hashlib.sha256(raw_key.encode("utf-8", "surrogateescape")).hexdigest()
            with open(os.path.join(DIR, "objects", name), "wb") as f:
                f.write(body)
        log(entry)
        reply = b"stored\n" if status == 200 else b"refused\n"
        self.wfile.write(b"HTTP/1.1 %d X\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
                         % (status, len(reply), reply))


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def get_request(self):
        sock, addr = socketserver.ThreadingTCPServer.get_request(self)
        return CONTEXT.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), addr


CONTEXT = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
CONTEXT.load_cert_chain(CERT, KEY)
os.makedirs(os.path.join(DIR, "objects"), exist_ok=True)
server = Server(("127.0.0.1", 0), Handler)
with open(os.path.join(DIR, "port.tmp"), "w") as f:
    f.write(str(server.server_address[1]))
os.replace(os.path.join(DIR, "port.tmp"), os.path.join(DIR, "port"))
server.serve_forever()
