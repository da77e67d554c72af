#!/usr/bin/python3
"""A local HTTP/1.1 server for the HTTP client's tests and benchmark.

Usage: http_test_server.py CERT KEY
Listens on two free loopback ports, one plain and one TLS, prints
"<plain> <tls>" on one line and serves until it is killed.

  GET /bytes/N     N bytes of a fixed pattern (byte i is (i * 7 + 3) % 251)
  PUT|POST /sink   reads Content-Length bytes; answers "<length> <sha256 hex>"
  GET /status/N    status N with a short text body
  GET /lower       header names written in lower case
  GET /long-head   a head of about 20 KiB
  GET /chunked     a chunked body
  GET /bad-status  a head with status 99
  GET /cut-short   announces 100 bytes, sends 10 and closes
"""
import hashlib
import http.server
import socketserver
import ssl
import sys
import threading


def pattern(n):
    base = bytes((i * 7 + 3) % 251 for i in range(251))
    whole, rest = divmod(n, 251)
    return base * whole + base[:rest]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # The head and the body leave in separate writes; without this the body
    # would wait for the client's delayed acknowledgement of the head.
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):  # quiet: the tests read stdout
        pass

    def reply(self, code, body, headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        path = self.path
        if path.startswith("/bytes/"):
            self.reply(200, pattern(int(path[7:])), [("Content-Type", "application/octet-stream")])
        elif path.startswith("/status/"):
            code = int(path[8:])
            self.reply(code, ("status %d" % code).encode())
        elif path == "/lower":
            body = b"lower"
            self.send_response_only(200)
            self.send_header("x-lower", " spaced ")
            self.send_header("content-length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        elif path == "/long-head":
            self.send_response(200)
            for i in range(200):
                self.send_header("X-Fill-%03d" % i, "f" * 90)
            self.send_header("Content-Length", "0")
            self.end_headers()
        elif path == "/chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.write(b"5\r\nhello\r\n0\r\n\r\n")
        elif path == "/bad-status":
            self.wfile.write(b"HTTP/1.1 99 Low\r\nContent-Length: 0\r\n\r\n")
            self.close_connection = True
        elif path == "/cut-short":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.close_connection = True
        else:
            self.reply(404, b"no such path")

    def do_PUT(self):
        left = int(self.headers.get("Content-Length", "0"))
        digest = hashlib.sha256()
        total = 0
        while left > 0:
            piece = self.rfile.read(min(left, 1 << 20))
            if not piece:
                break
            digest.update(piece)
            total += len(piece)
            left -= len(piece)
        self.reply(200 if self.path == "/sink" else 404,
                   ("%d %s" % (total, digest.hexdigest())).encode())

    do_POST = do_PUT


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    cert, key = sys.argv[1], sys.argv[2]
    plain = Server(("127.0.0.1", 0), Handler)
    tls = Server(("127.0.0.1", 0), Handler)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    tls.socket = ctx.wrap_socket(tls.socket, server_side=True)
    print(plain.server_address[1], tls.server_address[1], flush=True)
    threading.Thread(target=plain.serve_forever, daemon=True).start()
    tls.serve_forever()


if __name__ == "__main__":
    main()
