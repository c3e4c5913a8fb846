"""Small loopback networking helpers shared by the test servers.

    free_port()                      a currently unused 127.0.0.1 TCP port
    wait_for_port(port, timeout)     True once 127.0.0.1:port accepts
    reset_connection(sock, *files)   abort a connection with a TCP RST
    write_atomically(path, text)     readers never see a half-written file
"""

import fcntl
import os
import socket
import struct
import tempfile
import termios
import time


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, timeout=10.0, alive=lambda: True):
    """Poll until the port accepts; give up early once alive() turns False."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not alive():
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def _unacked_bytes(sock):
    try:
        raw = fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0\0\0\0")
        return struct.unpack("i", raw)[0]
    except OSError:
        return 0


def reset_connection(sock, *files, timeout=2.0):
    """A reset discards whatever is still queued for sending, so first wait
    (bounded, in case the peer stopped reading) until the peer has acknowledged
    every byte: the fault must be "N bytes, then reset", not fewer."""
    deadline = time.monotonic() + timeout
    while _unacked_bytes(sock) > 0 and time.monotonic() < deadline:
        time.sleep(0.002)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    # The socket's descriptor is only released once every file made from it
    # is closed; a shutdown() here would send a FIN instead of the reset.
    for f in files:
        try:
            f.close()
        except OSError:
            pass
    sock.close()


def write_atomically(path, text):
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=".tmp-")
    try:
        with os.fdopen(fd, "w") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def read_log(path):
    """A server's log as text; empty while the server has not written one."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""
