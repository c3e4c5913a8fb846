#!/usr/bin/python3
"""Fault-injecting HTTP/1.1 test server (loopback only, stdlib only).

CLI:
    fault_server.py [--port 0] [--port-file FILE] [--root DIR]
Binds 127.0.0.1 (port 0 picks a free port), prints the port on stdout and
writes it to FILE (atomically), then serves until SIGTERM/SIGINT.

Python:
    with FaultServer(root=None) as srv:      # or srv.start() / srv.stop()
        srv.port, srv.url("/res/100/a"), srv.requests(prefix), srv.reset()
    FaultServer(allow="127.0.0.3") closes every connection from any other
    client address at once, unanswered (a server reachable only through a
    proxy, or, with "127.0.0.1", never through one: see proxy_fixture.py).

Every response carries `Connection: close`.

URLs:
    /res/<size>[/<anything...>]  generated pattern bytes (pattern.py)
    /file/<relative path>        file under --root (403 on "..", 404 if absent)
    /_requests[?path=PREFIX]     JSON list of logged requests, in arrival order:
                                 {"method","path","query","range","time"}
    /_reset                      clears the log and every fault counter
    anything else                404
/_requests and /_reset are not logged.  Each entry also holds the If-Range
header, the connections for its path open at arrival ("open", itself
included; a connection whose client has closed it no longer counts) and the
body bytes sent ("sent").

Resources: HEAD -> 200 + Content-Length + Accept-Ranges: bytes.  GET -> 200
whole body; `Range: bytes=A-B | A- | -N` -> 206 + Content-Range; a range
starting at or past the end -> 416 + `Content-Range: bytes */size`.

Faults (query parameters, combinable, unknown ones ignored, a malformed value
of a known one -> 400).  Budgets ("first TIMES") are counted per raw
path+query, so each test should use its own path.  START is the first byte
the client asked for (0 without a Range header) or `*` for any.
    status=N        GET/HEAD answer N with `<html><body>Error N</body></html>\n`
    ignore_range=1  ranged GET answers 200 with the whole body
    wrong_range=1   ranged GET A-B answers 206 `bytes (A+1)-B/size` and the
                    bytes from A+1 (empty when A == B)
    nolength=1      no Content-Length anywhere; the body ends at close
    length0=1       HEAD says Content-Length: 0; GET answers 200, empty body
    short=K         GET bodies stop K bytes before their Content-Length, close
    over=K          GET 200 bodies carry K extra pattern bytes (HEAD unchanged)
    stall=S         GET sends headers + `stall_after` (default 0) body bytes,
                    goes silent for S seconds (may be fractional), then closes
    hang=S          HEAD and GET: the request is read and nothing is answered for S
                    seconds (a server that accepts connections and never answers)
    slow=BPS        GET bodies paced at about BPS bytes/second
    slow_start=START  ... only the GETs that start at START (e.g. one range)
    short_declared=K  206 answers declare only their first K bytes in
                    Content-Range; the body is still the whole asked range,
                    filler ("X") after the K bytes
    range_cap=B     206 answers cover at most B bytes of the asked range
                    (an honest, shorter Content-Range)
    gzip=1          GET bodies gzip-compressed with Content-Encoding: gzip
                    (Content-Range still names the uncompressed bytes)
    endless=1       206 answers are chunked and go on after the range with
                    filler until the client leaves (at most 256 MiB more)
    etag=1          HEAD and GET carry ETag "v1"
    etag=file       ... a tag made of the file's modification time and size (as
                    nginx makes it), so that replacing the file changes the tag
    modified=1      HEAD and GET carry the Last-Modified date of the version served
    version_after=N after the first N GETs the resource is version 2: ETag
                    "v2", a later Last-Modified and other bytes (pattern XOR
                    0x55); If-Range is ignored, as by a server that does not know it
    if_range=1      ... unless this is given: a ranged GET whose If-Range names
                    another version than the one served answers 200 with the whole
                    body, as HTTP has it
    cut=START:N:TIMES[,...]   first TIMES matching GETs: headers + N body
                    bytes, then TCP reset; later ones are served normally
    drop=START:TIMES[,...]    first TIMES matching GETs: reset, no response
    headfail=TIMES  first TIMES HEADs: reset, no response
    flip=OFFSET     the resource byte at OFFSET is served inverted (XOR 0xFF) in
                    every body that covers it: a corrupted copy of the right length
    trunc=START:N:TIMES[,...] first TIMES matching GETs: 200 without
                    Content-Length, the resource's first N bytes, then a clean
                    close, so that the answer looks whole; later ones are normal
    outage=S        for S seconds (fractions allowed) every request of this path+query
                    gets the outage answer, and bodies being sent are reset
    outage_at=T     ... beginning T seconds after the first request of this
                    path+query (default 0: at once)
    outage_answer=A the outage answer: a status (default 503, with the error
                    page) or `reset` (TCP reset, no response)
    retry_after=X   Retry-After: X on outage answers and status= answers
When several body limits apply (short, cut, stall_after) the smallest wins; a
tie between cut and stall resets.  drop/headfail take precedence over status;
an outage over everything.
"""

import argparse
import gzip
import io
import json
import os
import select
import signal
import socket
import socketserver
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from byte_range import parse_range  # noqa: E402
from faults import (Counters, OutageClock, parse_faults, second_version, take_cut, take_drop,  # noqa: E402
                    take_headfail, take_trunc)
from net_util import reset_connection, write_atomically  # noqa: E402
from request_log import RequestLog  # noqa: E402
from resources import CHUNK, Forbidden, resolve  # noqa: E402


def _error_body(status):
    return ("<html><body>Error %d</body></html>\n" % status).encode()


ENDLESS_LIMIT = 256 * 1024 * 1024
FILLER = b"X" * 65536
_SECOND_VERSION = bytes(b ^ 0x55 for b in range(256))
_MODIFIED = ("Mon, 03 Jun 2024 10:00:00 GMT", "Tue, 04 Jun 2024 16:30:00 GMT")


def _peer_gone(sock):
    """True once the client has closed or reset the connection."""
    try:
        poller = select.poll()
        poller.register(sock, select.POLLIN | select.POLLRDHUP)
        events = poller.poll(0)
    except (OSError, ValueError):  # closed here already
        return True
    return any(mask & (select.POLLRDHUP | select.POLLHUP | select.POLLERR | select.POLLNVAL)
               for _, mask in events)


class _Body:
    """How the bytes of one answer differ from the plain resource."""

    def __init__(self, resource, second_version=False, filler_from=None):
        self.resource = resource
        self.second_version = second_version
        self.filler_from = filler_from   # resource offset from which filler is sent

    def chunks(self, offset, count, chunk):
        for piece in self.resource.chunks(offset, count, chunk):
            if self.second_version:
                piece = bytes(piece).translate(_SECOND_VERSION)
            if self.filler_from is not None and offset + len(piece) > self.filler_from:
                keep = max(0, self.filler_from - offset)
                piece = bytes(piece[:keep]) + b"X" * (len(piece) - keep)
            offset += len(piece)
            yield piece


class _Aborted(Exception):
    """The connection was reset on purpose; nothing more may be written."""


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FaultServer/1"
    # An idle client must not pin a handler thread forever.
    timeout = 60

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self._dispatch(head=False)

    def do_HEAD(self):
        self._dispatch(head=True)

    # -- plumbing ---------------------------------------------------------

    def _dispatch(self, head):
        self.close_connection = True
        split = urlsplit(self.path)
        path, query = split.path, split.query
        try:
            if path == "/_requests":
                prefix = parse_qs(query).get("path", [None])[0]
                self._send_small(200, json.dumps(self.server.log.entries(prefix)).encode(),
                                 "application/json", head)
                return
            if path == "/_reset":
                self.server.log.clear()
                self.server.counters.reset()
                self.server.outages.reset()
                self._send_small(200, b'{"reset": true}\n', "application/json", head)
                return
            self._sent, self._entry = 0, {}
            open_count = self.server.connections.enter(path, self.connection)
            try:
                self._entry = self.server.log.add(
                    self.command, path, query, self.headers.get("Range"), time.time(),
                    self.headers.get("If-Range"), open_count)
                self._serve(path, query, head)
            finally:
                self._entry["sent"] = self._sent
                self.server.connections.leave(path, self.connection)
        except _Aborted:
            pass
        except (ConnectionError, socket.timeout):
            self.close_connection = True

    def _in_outage(self):
        outage = getattr(self, "_outage", None)
        return outage is not None and self.server.outages.active(outage[0], outage[1],
                                                                 time.monotonic())

    def _count_sent(self, count):
        self._sent += count
        self._entry["sent"] = self._sent

    def _send_small(self, status, body, ctype, head, nolength=False, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        for name, value in extra:
            self.send_header(name, value)
        if not nolength:
            self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        if not head:
            self.wfile.write(body)

    def _reset(self):
        """Abort with a TCP RST once whatever was sent has reached the peer."""
        self.wfile.flush()
        reset_connection(self.connection, self.rfile)
        # The base class flushes wfile after the handler returns.
        self.wfile = io.BytesIO()
        raise _Aborted()

    def _start(self, status, length, nolength, extra=()):
        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        for name, value in extra:
            self.send_header(name, value)
        if length is None:
            self.send_header("Transfer-Encoding", "chunked")
        elif not nolength:
            self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        self.end_headers()

    # -- resources --------------------------------------------------------

    def _serve(self, path, query, head):
        try:
            resource = resolve(path, self.server.root)
        except Forbidden:
            self._send_small(403, b"<html><body>Forbidden</body></html>\n", "text/html", head)
            return
        if resource is None:
            self._send_small(404, b"<html><body>Not found</body></html>\n", "text/html", head)
            return
        try:
            faults = parse_faults(query)
        except ValueError as e:
            self._send_small(400, ("bad fault parameter: %s\n" % e).encode(), "text/plain", head)
            return
        key = path + "?" + query
        counters = self.server.counters
        size = resource.size
        rng = parse_range(self.headers.get("Range"), size)
        retry_after = [("Retry-After", faults.retry_after)] if faults.retry_after else []
        self._outage = (faults, key)
        if self._in_outage():
            if faults.outage_answer == "reset":
                self._reset()
            status = int(faults.outage_answer)
            self._send_small(status, _error_body(status), "text/html", head, extra=retry_after)
            return

        if faults.hang is not None:
            self.server.stopping.wait(faults.hang)
            self._reset()
        if head and take_headfail(faults, counters, key):
            self._reset()
        if not head and take_drop(faults, counters, key, rng.start):
            self._reset()
        truncated = None if head else take_trunc(faults, counters, key, rng.start)
        if truncated is not None:
            self._send_truncated(resource, truncated)
            return
        if faults.status is not None:
            self._send_small(faults.status, _error_body(faults.status), "text/html", head,
                             nolength=faults.nolength, extra=retry_after)
            return
        v2 = not head and second_version(faults, counters, key)
        tag = getattr(resource, "etag", None) if faults.file_etag else None
        tag = tag or ('"v2"' if v2 else '"v1"')
        tags = [("ETag", tag)] if faults.etag else []
        modified = _MODIFIED[1 if v2 else 0]
        if faults.modified:
            tags.append(("Last-Modified", modified))
        asked_version = self.headers.get("If-Range")
        stale_range = faults.if_range and asked_version not in (None, tag, modified)
        if head:
            self._start(200, 0 if faults.length0 else size, faults.nolength, tags)
            return
        if faults.length0:
            self._start(200, 0, faults.nolength, tags)
            return

        body = _Body(resource, second_version=v2)
        if rng.kind == "none" or faults.ignore_range or stale_range:
            offset, length = 0, size + faults.over
            headers = tags
            status = 200
        elif rng.kind == "unsatisfiable":
            self._start(416, 0, faults.nolength, [("Content-Range", "bytes */%d" % size)])
            return
        else:
            offset, last = rng.first, rng.last
            if faults.wrong_range:
                offset += 1
            if faults.range_cap:
                last = min(last, offset + faults.range_cap - 1)
            declared_last = last
            if faults.short_declared is not None and offset <= last:
                declared_last = min(last, offset + faults.short_declared - 1)
                body.filler_from = declared_last + 1
            length = last - offset + 1
            status = 206
            headers = tags + [("Content-Range", "bytes %d-%d/%d" % (offset, declared_last, size))]
        if faults.gzip:
            packed = gzip.compress(b"".join(bytes(p) for p in body.chunks(offset, length, CHUNK)))
            self._start(status, len(packed), faults.nolength,
                        headers + [("Content-Encoding", "gzip")])
            self.wfile.write(packed)
            self._count_sent(len(packed))
            return
        if faults.endless and status == 206:
            self._start(status, None, False, headers)
            self._send_endless(body, offset, length)
            return
        self._start(status, length, faults.nolength, headers)
        bps = faults.slow if faults.slow_start in (None, rng.start) else None
        self._send_body(body, offset, length, faults, take_cut(faults, counters, key, rng.start),
                        bps)

    def _send_truncated(self, resource, count):
        self._start(200, 0, nolength=True)
        self._write_paced(resource, 0, min(count, resource.size), None)

    def _send_body(self, body, offset, length, faults, cut, bps):
        send, ending = max(0, length - faults.short), "close"
        if faults.stall is not None and faults.stall_after <= send:
            send, ending = faults.stall_after, "stall"
        if cut is not None and cut <= send:
            send, ending = cut, "reset"
        elif cut is not None and ending == "close":
            ending = "reset"
        self._write_paced(body, offset, send, bps, faults.flip)
        if ending == "reset":
            self._reset()
        if ending == "stall":
            self.wfile.flush()
            self.server.stopping.wait(faults.stall)

    def _send_endless(self, body, offset, length):
        """The range as chunks, then filler chunks for as long as the client reads them."""
        def chunk(data):
            self.wfile.write(b"%x\r\n" % len(data) + bytes(data) + b"\r\n")
            self._count_sent(len(data))

        for piece in body.chunks(offset, length, CHUNK):
            chunk(piece)
        while self._sent < length + ENDLESS_LIMIT and not self.server.stopping.is_set():
            chunk(FILLER)
        self.wfile.write(b"0\r\n\r\n")

    def _write_paced(self, body, offset, count, bps, flip=None):
        chunk = max(1, bps // 10) if bps else CHUNK
        began, sent = time.monotonic(), 0
        for piece in body.chunks(offset, count, chunk):
            at = offset + sent
            if flip is not None and at <= flip < at + len(piece):
                piece = bytearray(piece)
                piece[flip - at] ^= 0xFF
                piece = bytes(piece)
            if self.server.stopping.is_set() or self._in_outage():
                self._reset()
            self.wfile.write(piece)
            sent += len(piece)
            self._count_sent(len(piece))
            if bps:
                delay = began + sent / bps - time.monotonic()
                if delay > 0:
                    self.server.stopping.wait(delay)
                if _peer_gone(self.connection):
                    raise ConnectionResetError("the client left")


class _Connections:
    """The connections whose requests are being answered, per path."""

    def __init__(self):
        self._lock = threading.Lock()
        self._open = {}

    def enter(self, path, sock):
        """Adds one; returns how many for this path are open, counting only those whose client
        has not closed them (a client may close one and open the next at once)."""
        with self._lock:
            mine = self._open.setdefault(path, set())
            mine.add(sock)
            return sum(1 for other in mine if other is sock or not _peer_gone(other))

    def leave(self, path, sock):
        with self._lock:
            mine = self._open.get(path)
            if mine is not None:
                mine.discard(sock)
                if not mine:
                    del self._open[path]


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128

    def __init__(self, address, root, allow=None):
        self.root = root
        self.allow = allow
        self.log = RequestLog()
        self.counters = Counters()
        self.outages = OutageClock()
        self.connections = _Connections()
        self.stopping = threading.Event()
        super().__init__(address, _Handler)

    def verify_request(self, request, client_address):
        return self.allow is None or client_address[0] == self.allow

    def server_bind(self):
        # HTTPServer.server_bind resolves the host name, which can stall
        # for seconds in a sandbox without DNS; nothing here needs it.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], (ConnectionError, socket.timeout, ValueError, OSError)):
            return
        super().handle_error(request, client_address)


class FaultServer:
    def __init__(self, root=None, port=0, host="127.0.0.1", allow=None):
        self.root = os.path.abspath(root) if root else None
        self.allow = allow
        self._address = (host, port)
        self._httpd = None
        self._thread = None

    @property
    def port(self):
        return self._httpd.server_address[1]

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def requests(self, prefix=None):
        return self._httpd.log.entries(prefix)

    def reset(self):
        self._httpd.log.clear()
        self._httpd.counters.reset()
        self._httpd.outages.reset()

    def start(self):
        self._httpd = _Server(self._address, self.root, self.allow)
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="fault-server", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._httpd is None:
            return
        self._httpd.stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join()
        self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    ap = argparse.ArgumentParser(description="Fault-injecting HTTP test server on 127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--port-file")
    ap.add_argument("--root")
    args = ap.parse_args(argv)

    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())

    server = FaultServer(root=args.root, port=args.port).start()
    try:
        if args.port_file:
            write_atomically(args.port_file, "%d\n" % server.port)
        print(server.port, flush=True)
        while not done.wait(0.5):
            pass
    finally:
        server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
