#!/usr/bin/env python3
"""Collection server for the upload tests: answers POST /phpu/sndupload.php.

It checks the request as the program must send it (request line, headers,
multipart body byte for byte, Content-Length), reads the voice archive with
Python's own zlib, optionally compares every entry with the file it came
from, records what it saw in <save-dir>/<n>.json and answers according to
its mode.

  collection_server.py --port 0 --port-file F --save-dir D [--mode MODE] [--source-dir S]
                       [--fail-first N] [--tls-cert PEM --tls-key PEM]
  (--fail-first: the first N requests are answered 503 after their body, then MODE;
   --tls-cert/--tls-key: HTTPS instead of HTTP)
  collection_server.py --check ARCHIVE [--source-dir S]   (prints the entries as JSON)
"""
import argparse
import json
import os
import re
import select
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PATH = "/phpu/sndupload.php"
REDIRECT_TARGET = "/phpu/accepted.php"
BOUNDARY_RE = re.compile(r"^-{8}\d{15}$")
NAME_RE = re.compile(r"^v\d{15}\.zlb$")


def read_archive(data, source_dir=None, unpack_dir=None):
    """Entries of a voice archive and the problems found in it."""
    errors, entries = [], []
    pos = 0

    def take(n, what):
        nonlocal pos
        if pos + n > len(data):
            raise ValueError("archive ends inside %s at offset %d" % (what, pos))
        chunk = data[pos:pos + n]
        pos += n
        return chunk

    try:
        (count,) = struct.unpack("<i", take(4, "the count"))
        if count <= 0:
            errors.append("count %d" % count)
        for i in range(max(count, 0)):
            (name_len,) = struct.unpack("<i", take(4, "a name length"))
            if name_len < 2 or name_len % 2:
                raise ValueError("entry %d: name length %d" % (i, name_len))
            raw = take(name_len, "a name")
            if raw[-2:] != b"\0\0":
                errors.append("entry %d: name not NUL-terminated" % i)
            name = raw[:-2].decode("utf-16-le")
            (size,) = struct.unpack("<i", take(4, "a size"))
            if data[pos:pos + 2] != b"\x78\xda":
                errors.append("entry %s: stream does not begin 78 DA" % name)
            d = zlib.decompressobj(15)
            content = d.decompress(data[pos:])
            content += d.flush()
            if not d.eof:
                raise ValueError("entry %s: zlib stream does not end" % name)
            pos = len(data) - len(d.unused_data)
            if len(content) != size:
                errors.append("entry %s: %d bytes inflated, size field %d" % (name, len(content), size))
            entries.append({"name": name, "size": size})
            if source_dir is not None:
                src = os.path.join(source_dir, name)
                try:
                    with open(src, "rb") as f:
                        original = f.read()
                    if original != content:
                        errors.append("entry %s differs from %s" % (name, src))
                except OSError as e:
                    errors.append("entry %s: no source file (%s)" % (name, e))
            if unpack_dir is not None:
                os.makedirs(unpack_dir, exist_ok=True)
                with open(os.path.join(unpack_dir, name), "wb") as f:
                    f.write(content)
        if pos != len(data):
            errors.append("%d bytes after the last entry" % (len(data) - pos))
    except (ValueError, struct.error, zlib.error, UnicodeDecodeError) as e:
        errors.append(str(e))
    if source_dir is not None and not errors:
        names = sorted(e["name"] for e in entries)
        expected = sorted(n for n in os.listdir(source_dir)
                          if not n.startswith(".") and os.path.isfile(os.path.join(source_dir, n)))
        if names != expected:
            errors.append("entries %s, folder holds %s" % (names, expected))
    return entries, errors


class Handler(BaseHTTPRequestHandler):
    server_version = "CollectionServer/1.0"

    def log_message(self, fmt, *args):
        pass

    def reply(self, status, body, headers=()):
        self.record["reply_status"] = status
        self.record["reply_body"] = body.decode("latin-1")
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.do_POST()

    def do_POST(self):
        srv = self.server
        with srv.lock:
            srv.counter += 1
            n = srv.counter
        self.record = rec = {"mode": srv.mode, "request_line": self.requestline,
                             "headers": {k: v for k, v in self.headers.items()},
                             "errors": [], "client_disconnected": False}
        try:
            self.handle_upload(n, rec)
        finally:
            tmp = os.path.join(srv.save_dir, "%d.json.part" % n)
            with open(tmp, "w") as f:
                json.dump(rec, f, indent=1)
            os.replace(tmp, os.path.join(srv.save_dir, "%d.json" % n))

    def wait_for_disconnect(self, release=None):
        """Waits until the client closes the connection (True) or release exists."""
        sock = self.connection
        while True:
            if release and os.path.exists(release):
                return False
            r, _, _ = select.select([sock], [], [], 0.05)
            if r:
                try:
                    if not sock.recv(65536):
                        return True
                except OSError:
                    return True

    def handle_upload(self, n, rec):
        srv = self.server
        errors = rec["errors"]
        if self.path == REDIRECT_TARGET:
            self.reply(200, b"E=0")
            return
        if self.requestline != "POST %s HTTP/1.0" % PATH:
            errors.append("request line %r" % self.requestline)
        h = self.headers
        for name, want in (("Connection", "keep-alive"), ("Accept", "text/html, */*"),
                           ("User-Agent", "Mozilla/3.0 (compatible; Indy Library)")):
            if h.get(name) != want:
                errors.append("%s: %r" % (name, h.get(name)))
        ctype = h.get("Content-Type", "")
        boundary = ctype[len("multipart/form-data; boundary="):] \
            if ctype.startswith("multipart/form-data; boundary=") else None
        rec["boundary"] = boundary
        if boundary is None or not BOUNDARY_RE.match(boundary):
            errors.append("Content-Type %r" % ctype)
        try:
            length = int(h.get("Content-Length", "-1"))
        except ValueError:
            length = -1
        rec["content_length"] = length

        if srv.mode == "drop":
            half = max(length // 2, 1)
            got = self.rfile.read(half)
            rec["received"] = len(got)
            self.connection.shutdown(socket.SHUT_RDWR)
            self.close_connection = True
            return

        if srv.mode == "sink":
            left, received = length, 0
            while left > 0:
                chunk = self.rfile.read1(min(left, 1 << 20)) if hasattr(self.rfile, "read1") \
                    else self.rfile.read(min(left, 1 << 20))
                if not chunk:
                    break
                received += len(chunk)
                left -= len(chunk)
            rec["received"] = received
            if received != length:
                errors.append("Content-Length %d, received %d" % (length, received))
            self.reply(200, b"E=0")
            return

        body = self.rfile.read(length) if length > 0 else b""
        # Anything beyond Content-Length would also be an error.
        self.connection.settimeout(0.2)
        try:
            extra = self.rfile.peek(1)[:1] if hasattr(self.rfile, "peek") else b""
        except (socket.timeout, OSError):
            extra = b""
        self.connection.settimeout(None)
        rec["received"] = len(body) + len(extra)
        if len(body) != length or extra:
            errors.append("Content-Length %d, received %d%s" % (length, len(body), " and more" if extra else ""))
        self.check_body(body, boundary, rec, n)

        if srv.mode in ("hang", "hold"):
            open(os.path.join(srv.save_dir, "%d.held" % n), "w").close()
            release = os.path.join(srv.save_dir, "release") if srv.mode == "hold" else None
            if self.wait_for_disconnect(release):
                rec["client_disconnected"] = True
                self.close_connection = True
                return
            self.reply(200, b"E=0")
            return
        if n <= srv.fail_first:
            self.reply(503, b"busy, try again")
            return
        replies = {
            "ok": (200, b"E=0"), "404": (404, b"E=0"), "500": (500, b"E=0"),
            "e0lower": (200, b"e=0"), "E00": (200, b"E=00"), "spaces": (200, b" \r\n E=0 \r\n"),
        }
        if srv.mode == "302":
            self.reply(302, b"E=0", [("Location", REDIRECT_TARGET)])
        elif srv.mode == "ok" and errors:
            self.reply(400, ("\n".join(errors)).encode("utf-8", "replace"))
        else:
            status, text = replies[srv.mode]
            self.reply(status, text)

    def check_body(self, body, boundary, rec, n):
        errors = rec["errors"]
        if boundary is None:
            return
        m = re.match(rb'--' + re.escape(boundary.encode()) +
                     rb'\r\nContent-Disposition: form-data; name="filename"\r\n'
                     rb'Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n'
                     rb'(.*?)\r\n--' + re.escape(boundary.encode()) +
                     rb'\r\nContent-Disposition: form-data; name="sndfile"; filename="([^"\r\n]*)"\r\n'
                     rb'Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n',
                     body, re.S)
        tail = b"\r\n--" + boundary.encode() + b"--\r\n"
        if not m or not body.endswith(tail):
            errors.append("body layout")
            return
        field, fname = m.group(1).decode("latin-1"), m.group(2).decode("latin-1")
        rec["filename_field"], rec["sndfile_filename"] = field, fname
        if field != fname:
            errors.append("filename field %r, sndfile filename %r" % (field, fname))
        if not NAME_RE.match(fname):
            errors.append("archive name %r" % fname)
        archive = body[m.end():len(body) - len(tail)]
        rec["archive_size"] = len(archive)
        if rec["content_length"] != len(archive) + 387:
            errors.append("Content-Length %d is not archive size %d + 387" % (rec["content_length"], len(archive)))
        srv = self.server
        unpack = None
        if srv.mode == "ok":
            with open(os.path.join(srv.save_dir, "%d.zlb" % n), "wb") as f:
                f.write(archive)
            unpack = os.path.join(srv.save_dir, str(n))
        entries, problems = read_archive(archive, srv.source_dir, unpack)
        rec["entries"] = entries
        errors.extend(problems)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--save-dir")
    ap.add_argument("--source-dir")
    ap.add_argument("--mode", default="ok",
                    choices=["ok", "404", "500", "302", "e0lower", "E00", "spaces", "hang", "hold", "drop", "sink"])
    ap.add_argument("--check")
    ap.add_argument("--fail-first", type=int, default=0)
    ap.add_argument("--tls-cert")
    ap.add_argument("--tls-key")
    a = ap.parse_args()
    if a.check:
        with open(a.check, "rb") as f:
            entries, errors = read_archive(f.read(), a.source_dir)
        json.dump({"entries": entries, "errors": errors}, sys.stdout)
        return 0 if not errors else 1
    os.makedirs(a.save_dir, exist_ok=True)
    srv = ThreadingHTTPServer(("127.0.0.1", a.port), Handler)
    srv.daemon_threads = True
    srv.mode, srv.save_dir, srv.source_dir = a.mode, a.save_dir, a.source_dir
    srv.counter, srv.lock = 0, threading.Lock()
    srv.fail_first = a.fail_first
    if a.tls_cert:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(a.tls_cert, a.tls_key)
        srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    if a.port_file:
        tmp = a.port_file + ".part"
        with open(tmp, "w") as f:
            f.write("%d\n" % srv.server_address[1])
        os.replace(tmp, a.port_file)
    def stop(*_):
        raise KeyboardInterrupt()
    signal.signal(signal.SIGTERM, stop)
    try:
        srv.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
