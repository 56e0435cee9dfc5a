#!/usr/bin/env python3
"""A loopback HTTP server for the update: the update document and the installer files of a folder.

    http_server.py --folder DIR [--port-file FILE] [--time-limit SECONDS] [--control FILE]
                   [--version TEXT] [--installer NAME] [--trickle-interval SECONDS]

Binds 127.0.0.1 on a free port, prints the port and writes it to --port-file. Stops by itself
after --time-limit seconds (default 300).

Paths:
  /update.json           the document {"url": ".../files/<installer>", "version": ...}
  /files/NAME            the file NAME of the folder
  /echo/...              the request's path as the body (the query, if any reached the server,
                         stays in it)
  /mode/MODE/...         the same paths, misbehaving as MODE says
A control file, when it exists, holds one MODE for every request (its first line); so a program
whose URL is fixed can be made to meet each misbehaviour.

Modes:
  oversize   the document declares 1048577 bytes (and sends them)
  exact      the document is padded to exactly 1048576 bytes
  chunked    the document is sent without Content-Length
  not-json   the document is an HTML page
  no-url     the document has no "url"
  404        every answer is 404
  cut        a file declares its whole length and the connection is reset once the client
             has read half of it
  slow       the answer waits 3 seconds
  stall      the request is read and never answered; the connection stays open until the client
             gives up
  trickle    the headers come at once, the body one byte per --trickle-interval seconds
             (default 0.5)
  redirect   the document moves (302) to /update.json
"""

import argparse
import json
import os
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_INFO_SIZE = 1048576


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "lab-http"

    def log_message(self, fmt, *args):  # one line per request on stderr
        sys.stderr.write("http_server: " + (fmt % args) + "\n")

    def mode_and_path(self):
        path = self.path
        mode = ""
        if path.startswith("/mode/"):
            rest = path[len("/mode/"):]
            mode, _, tail = rest.partition("/")
            path = "/" + tail
        control = self.server.control
        if not mode and control and os.path.exists(control):
            with open(control, encoding="utf-8") as f:
                mode = f.readline().strip()
        return mode, path

    def send_body(self, status, body, content_type="application/octet-stream",
                  declared=None, chunked=False):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Connection", "close")
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(body) if declared is None else declared))
        self.end_headers()
        if chunked:
            self.wfile.write(b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body))
        elif self.trickle:
            for i in range(len(body)):
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
                time.sleep(self.server.trickle_interval)
        else:
            self.wfile.write(body)
        self.close_connection = True

    def document(self, mode):
        host = "127.0.0.1:%d" % self.server.server_address[1]
        doc = {"version": self.server.version}
        if mode != "no-url":
            prefix = "/mode/%s" % mode if mode in ("cut", "slow", "trickle") else ""
            doc["url"] = "http://%s%s/files/%s" % (host, prefix, self.server.installer)
        if mode == "not-json":
            return self.send_body(200, b"<html><body>Service Unavailable</body></html>",
                                  "text/html")
        body = json.dumps(doc).encode()
        if mode == "exact":
            body = body + b" " * (MAX_INFO_SIZE - len(body))
        elif mode == "oversize":
            body = body + b" " * (MAX_INFO_SIZE + 1 - len(body))
        self.send_body(200, body, "application/json", chunked=(mode == "chunked"))

    def do_GET(self):
        mode, path = self.mode_and_path()
        self.trickle = mode == "trickle"
        if mode == "slow":
            time.sleep(3)
        if mode == "stall":
            return self.stall()
        if mode == "404":
            return self.send_body(404, b"not found", "text/plain")
        if path == "/update.json":
            if mode == "redirect" and self.path.startswith("/mode/"):
                self.send_response(302)
                self.send_header("Location", "/update.json")
                self.send_header("Content-Length", "0")
                self.send_header("Connection", "close")
                self.end_headers()
                self.close_connection = True
                return None
            return self.document(mode)
        if path.startswith("/echo/"):
            return self.send_body(200, path.encode(), "text/plain")
        if path.startswith("/files/"):
            name = os.path.basename(path[len("/files/"):])
            file = os.path.join(self.server.folder, name)
            if not name or not os.path.isfile(file):
                return self.send_body(404, b"not found", "text/plain")
            with open(file, "rb") as f:
                body = f.read()
            if mode == "cut":
                return self.cut(body)
            return self.send_body(200, body)
        return self.send_body(404, b"not found", "text/plain")

    def stall(self):
        # Read until the client closes its end; nothing is ever sent.
        self.connection.settimeout(None)
        try:
            while self.connection.recv(4096):
                pass
        except OSError:
            pass
        self.close_connection = True

    def cut(self, body):
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[: len(body) // 2])
        self.wfile.flush()
        # A reset makes the client's system drop whatever it has received and not yet handed to
        # the program: sent at once, it can overtake the headers themselves. So the cut comes
        # when the client has read all that was sent, and then the reset alone, without the
        # orderly close before it that would end the body cleanly.
        wait_until_read(self.connection)
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.connection.close()
        self.close_connection = True

    def handle(self):
        try:
            super().handle()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client stopped reading, as it does for an oversized document


def _proc_address(address):
    """An IPv4 address and port as /proc/net/tcp writes them: "0100007F:1F90"."""
    host, port = address
    return "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(host))[0], port)


def unread_bytes(connection):
    """What this end sent that the client's program has not read yet: the bytes the client has
    not acknowledged plus those waiting in its receive queue. None when either end is missing
    from /proc/net/tcp (both ends of a loopback connection are this machine's)."""
    ours = _proc_address(connection.getsockname())
    theirs = _proc_address(connection.getpeername())
    unacknowledged = waiting = None
    try:
        with open("/proc/net/tcp", encoding="ascii") as table:
            next(table)
            for line in table:
                fields = line.split()
                sent, received = (int(n, 16) for n in fields[4].split(":"))
                if (fields[1], fields[2]) == (ours, theirs):
                    unacknowledged = sent
                elif (fields[1], fields[2]) == (theirs, ours):
                    waiting = received
    except OSError:
        return None
    if unacknowledged is None or waiting is None:
        return None
    return unacknowledged + waiting


def wait_until_read(connection, limit=20):
    """Waits until the client has read everything sent on the connection, for at most limit
    seconds; returns at once when /proc/net/tcp cannot tell."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        left = unread_bytes(connection)
        if not left:
            return
        time.sleep(0.01)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--folder", required=True)
    parser.add_argument("--port-file")
    parser.add_argument("--time-limit", type=float, default=300)
    parser.add_argument("--control")
    parser.add_argument("--version", default="2.0.0")
    parser.add_argument("--installer", default="installer.exe")
    parser.add_argument("--trickle-interval", type=float, default=0.5)
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.folder = args.folder
    server.control = args.control
    server.version = args.version
    server.installer = args.installer
    server.trickle_interval = args.trickle_interval
    port = server.server_address[1]
    if args.port_file:
        temp = args.port_file + ".new"
        with open(temp, "w", encoding="utf-8") as f:
            f.write("%d\n" % port)
        os.replace(temp, args.port_file)
    print(port, flush=True)
    timer = threading.Timer(args.time_limit, server.shutdown)
    timer.daemon = True
    timer.start()
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        timer.cancel()
        server.server_close()


if __name__ == "__main__":
    main()
