#!/usr/bin/python3
"""A far server on the loopback: a user-space HTTP/1.1 proxy in front of a near one (nginx).

    bench/latency_proxy.py --upstream PORT [--port P] [--connect-ms C] [--answer-ms A]
                           [--rate BYTES_PER_SECOND]

This machine's kernel has no traffic shaping, so the delays of a distant server are made here:

  * every new connection waits C ms before its first request is read (the handshakes);
  * every answer starts A ms after its request arrived (the round trip and the server's time);
  * optionally, every connection sends at most RATE bytes per second (measured over its
    whole life, without credit for idle time).

Each client connection has its own connection to the upstream server and keeps it for as
long as the client keeps its own, so connection reuse goes through to the upstream unchanged.
Answers are relayed whole (status, headers and a body of Content-Length bytes; none for HEAD),
one request after another per connection, as HTTP/1.1 clients without pipelining send them.

It counts, per measurement (`reset()` starts one): connections (and the most open at once),
requests (HEAD, ranged GET, other GET), bytes sent to clients (headers and bodies), requests
whose client closed the connection before their answer's first body byte was sent ("abandoned
before the first byte"), and those it closed later, before their body's end ("cut").
Run as a program it prints those counts when it ends (SIGINT or SIGTERM).
"""

import argparse
import signal
import socket
import sys
import threading
import time

CHUNK = 256 * 1024
RATE_CHUNK = 16 * 1024  # a rate-limited connection sends in pieces this small


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.connections = 0
            self.heads = 0
            self.ranged = 0
            self.whole = 0
            self.bytes_sent = 0
            self.body_sent = 0
            self.abandoned_before_first_byte = 0
            self.cut = 0
            self.open = getattr(self, "open", 0)
            self.most_open = self.open

    def add(self, **counts):
        with self.lock:
            for name, value in counts.items():
                setattr(self, name, getattr(self, name) + value)
            self.most_open = max(self.most_open, self.open)

    def snapshot(self):
        with self.lock:
            return {name: getattr(self, name) for name in (
                "connections", "heads", "ranged", "whole", "bytes_sent", "body_sent",
                "abandoned_before_first_byte", "cut", "most_open")}


class ClientGone(Exception):
    pass


def _closed(sock):
    """True when the peer has closed its side (nothing it sent is left unread)."""
    try:
        return sock.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) == b""
    except BlockingIOError:
        return False
    except OSError:
        return True


class _Connection:
    def __init__(self, proxy, client):
        self.proxy = proxy
        self.client = client
        self.upstream = None
        self.accepted = time.monotonic()
        self.next_send = 0.0  # rate limit: when the next byte may leave
        self.buffer = b""

    def run(self):
        stats = self.proxy.stats
        stats.add(connections=1, open=1)
        try:
            self.upstream = socket.create_connection(("127.0.0.1", self.proxy.upstream_port))
            self.upstream.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            while self._one_request():
                pass
        except (ClientGone, OSError):
            pass
        finally:
            stats.add(open=-1)
            for sock in (self.client, self.upstream):
                if sock is not None:
                    try:
                        sock.close()
                    except OSError:
                        pass

    def _read_head(self, sock, buffer):
        """Reads up to the end of a header block; returns (head, rest) or (None, buffer)."""
        while b"\r\n\r\n" not in buffer:
            data = sock.recv(65536)
            if not data:
                return None, buffer
            buffer += data
        end = buffer.index(b"\r\n\r\n") + 4
        return buffer[:end], buffer[end:]

    def _sleep_until(self, moment):
        delay = moment - time.monotonic()
        if delay > 0:
            time.sleep(delay)

    def _send(self, data):
        view = memoryview(data)
        rate = self.proxy.rate
        while view:
            piece = view[:RATE_CHUNK] if rate else view
            if rate:
                self.next_send = max(self.next_send, time.monotonic())
                self._sleep_until(self.next_send)
            try:
                self.client.sendall(piece)
            except OSError:
                raise ClientGone()
            self.proxy.stats.add(bytes_sent=len(piece))
            if rate:
                self.next_send += len(piece) / rate
            view = view[len(piece):]

    def _one_request(self):
        head, self.buffer = self._read_head(self.client, self.buffer)
        if head is None:
            return False
        arrived = time.monotonic()
        first_line = head.split(b"\r\n", 1)[0].decode("latin-1")
        method = first_line.split(" ", 1)[0]
        ranged = b"\nrange:" in head.lower()
        stats = self.proxy.stats
        if method == "HEAD":
            stats.add(heads=1)
        elif ranged:
            stats.add(ranged=1)
        else:
            stats.add(whole=1)
        # Requests without a body only (GET, HEAD): the benchmark's clients send nothing else.
        self.upstream.sendall(head)
        answer_head, rest = self._read_head(self.upstream, b"")
        if answer_head is None:
            return False
        length = 0
        status = int(answer_head.split(b" ", 2)[1])
        for line in answer_head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        if method == "HEAD" or status in (204, 304) or 100 <= status < 200:
            length = 0
        start = max(arrived, self.accepted + self.proxy.connect_s) + self.proxy.answer_s
        self._sleep_until(start)
        left = length
        try:
            if _closed(self.client):
                raise ClientGone()
            self._send(answer_head)
            while left > 0:
                if rest:
                    data, rest = rest[:left], rest[left:]
                else:
                    data = self.upstream.recv(min(CHUNK, left))
                    if not data:
                        return False
                if left < length and _closed(self.client):
                    raise ClientGone()
                self._send(data)
                stats.add(body_sent=len(data))
                left -= len(data)
        except ClientGone:
            if left == length and length:
                stats.add(abandoned_before_first_byte=1)
            elif left:
                stats.add(cut=1)
            raise
        return True


class LatencyProxy:
    def __init__(self, upstream_port, connect_ms=0.0, answer_ms=0.0, rate=0, port=0):
        self.upstream_port = upstream_port
        self.connect_s = connect_ms / 1000.0
        self.answer_s = answer_ms / 1000.0
        self.rate = rate
        self.stats = Stats()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", port))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.thread = None

    def configure(self, connect_ms, answer_ms, rate):
        self.connect_s = connect_ms / 1000.0
        self.answer_s = answer_ms / 1000.0
        self.rate = rate

    def start(self):
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()
        return self

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=_Connection(self, client).run, daemon=True).start()

    def stop(self):
        try:
            self.listener.close()
        except OSError:
            pass


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--upstream", type=int, required=True, help="port of the server on 127.0.0.1")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--connect-ms", type=float, default=0.0)
    ap.add_argument("--answer-ms", type=float, default=0.0)
    ap.add_argument("--rate", type=int, default=0, help="bytes per second per connection")
    args = ap.parse_args()
    proxy = LatencyProxy(args.upstream, args.connect_ms, args.answer_ms, args.rate,
                         args.port).start()
    print("listening on 127.0.0.1:%d" % proxy.port, flush=True)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    try:
        done.wait()
    except KeyboardInterrupt:
        pass
    proxy.stop()
    print(proxy.stats.snapshot(), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
