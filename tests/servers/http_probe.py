"""Raw-socket HTTP client for the server self-tests.

Unlike urllib it reports exactly what went over the wire: every body byte
received before the connection ended, and whether it ended with a reset.

    probe(port, path, method="GET", headers=None) -> Reply
"""

import socket
import time
from collections import namedtuple

# status: int or None when no complete header block arrived.
# headers: dict with lower-case names.  reset: the peer sent a TCP RST.
Reply = namedtuple("Reply", "status headers body reset elapsed")


def probe(port, path, method="GET", headers=None, timeout=10.0):
    # Keep-alive servers (nginx) must end the exchange too.
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: 127.0.0.1", "Connection: close"]
    lines += ["%s: %s" % kv for kv in (headers or {}).items()]
    request = ("\r\n".join(lines) + "\r\n\r\n").encode()
    data, reset = bytearray(), False
    began = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        try:
            while True:
                chunk = s.recv(1 << 16)
                if not chunk:
                    break
                data += chunk
        except ConnectionResetError:
            reset = True
    elapsed = time.monotonic() - began
    head, sep, body = bytes(data).partition(b"\r\n\r\n")
    if not sep:
        return Reply(None, {}, b"", reset, elapsed)
    status_line, *header_lines = head.decode("latin-1").split("\r\n")
    parsed = {}
    for line in header_lines:
        name, _, value = line.partition(":")
        parsed[name.strip().lower()] = value.strip()
    return Reply(int(status_line.split()[1]), parsed, body, reset, elapsed)
