#!/usr/bin/env python3
"""The update folder for the updater's tests: serves the files below ROOT on
127.0.0.1 (or the address given with --bind ADDR) over HTTP, or HTTPS with
--tls CERT KEY, on a port the system picks, and prints "PORT <n>" once it
listens. Requests that do not come from "AutoUpdateAgent" get 403. With
--log FILE, every connection accepted ("CONNECT") and every request ("GET
<path>") is a line in FILE.

The first part of a request's path says how to answer; the rest names a file
below ROOT:
  /files/P           the file (404 when missing)
  /status500/P       500 with an HTML page
  /stallhead/P       reads the request and never answers
  /stall/P           headers and half the body, then nothing
  /drop/P            headers and half the body, then closes the connection
  /stall-zip/P, /drop-zip/P, /huge-zip/P
                     the same for ".zip" files only; other files as /files/
  /slow/P            the file in 20 pieces over about a second
  /huge/P            an endless body of text
  /redirect-http-N/P and /redirect-https-N/P
                     302 to the same file under /files/ on port N
"""
import http.server
import os
import socket
import ssl
import sys
import threading
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def body(self, path):
        full = os.path.join(ROOT, path)
        if not os.path.isfile(full):
            return None
        with open(full, "rb") as f:
            return f.read()

    def head(self, status, length, kind="application/octet-stream", extra=()):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.flush()

    def hold(self):
        # Until the client gives up (or the server is stopped).
        try:
            self.connection.settimeout(60)
            while self.connection.recv(1):
                pass
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        log("GET " + self.path)
        if self.headers.get("User-Agent") != "AutoUpdateAgent":
            self.head(403, 0)
            return
        parts = self.path.lstrip("/").split("/", 1)
        mode, path = parts[0], parts[1] if len(parts) > 1 else ""
        if mode.startswith("redirect-"):
            scheme, port = mode[len("redirect-"):].split("-")
            self.head(302, 0, extra=[("Location", "%s://127.0.0.1:%s/files/%s" % (scheme, port, path))])
            return
        if mode == "status500":
            page = b"<html><body>Internal Server Error</body></html>"
            self.head(500, len(page), "text/html")
            self.wfile.write(page)
            return
        if mode == "stallhead":
            self.hold()
            return
        if mode.endswith("-zip"):
            mode = mode[: -len("-zip")] if path.endswith(".zip") else "files"
        if mode == "huge":
            self.head(200, None, "text/plain")
            self.close_connection = True
            try:
                while True:
                    self.wfile.write(b"<p>huge</p>" * 4096)
            except OSError:
                pass
            return
        data = self.body(path)
        if data is None:
            page = b"<html><body>Not Found</body></html>"
            self.head(404, len(page), "text/html")
            self.wfile.write(page)
            return
        self.head(200, len(data))
        try:
            if mode in ("stall", "drop"):
                self.wfile.write(data[: len(data) // 2])
                self.wfile.flush()
                if mode == "stall":
                    self.hold()
                else:
                    self.connection.shutdown(socket.SHUT_RDWR)
                    self.close_connection = True
            elif mode == "slow":
                piece = max(1, (len(data) + 19) // 20)
                for at in range(0, len(data), piece):
                    self.wfile.write(data[at : at + piece])
                    self.wfile.flush()
                    time.sleep(0.05)
            else:
                self.wfile.write(data)
        except OSError:
            self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls = None

    def handle_error(self, request, client_address):
        pass  # clients that refuse the certificate or give up are expected

    def get_request(self):
        conn, addr = super().get_request()
        log("CONNECT")
        if self.tls is not None:
            conn = self.tls.wrap_socket(conn, server_side=True, do_handshake_on_connect=False)
        return conn, addr


LOG = None
LOG_LOCK = threading.Lock()


def log(line):
    if LOG is not None:
        with LOG_LOCK, open(LOG, "a") as f:
            f.write(line + "\n")


def main():
    global ROOT, LOG
    ROOT = sys.argv[1]
    args = sys.argv[2:]
    bind, tls = "127.0.0.1", None
    while args:
        if args[0] == "--tls":
            tls, args = args[1:3], args[3:]
        elif args[0] == "--bind":
            bind, args = args[1], args[2:]
        elif args[0] == "--log":
            LOG, args = args[1], args[2:]
        else:
            sys.exit("unknown argument " + args[0])
    server = Server((bind, 0), Handler)
    if tls is not None:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(*tls)
    # The test holds the other end of standard input: when it ends, however
    # it ends, so does the server.
    threading.Thread(target=lambda: (sys.stdin.buffer.read(), os._exit(0)), daemon=True).start()
    print("PORT %d" % server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
