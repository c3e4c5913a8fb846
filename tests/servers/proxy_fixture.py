#!/usr/bin/python3
"""Debian's tinyproxy on loopback, as the proxy of a company network.

    with Tinyproxy(outgoing="127.0.0.3", basic_auth=None) as proxy:
        proxy.address             -> "127.0.0.1:<port>"
        proxy.url(credentials)    -> "http://[user:password@]127.0.0.1:<port>"
        proxy.requests()          -> request lines it received ("CONNECT 127.0.0.1:443 HTTP/1.1")
        proxy.kill()              -> dies at once, as a crashing proxy does

It listens on 127.0.0.1 and opens its connections to servers from `outgoing`: origin servers
that accept only that address (Nginx(allow=...), FaultServer(allow=...)) are reachable only
through the proxy. basic_auth=("user", "password") makes it answer 407 without them. CONNECT
is allowed to every port.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from net_util import free_port, read_log, wait_for_port  # noqa: E402

TINYPROXY = "/usr/bin/tinyproxy"
START_TIMEOUT = 10.0
START_ATTEMPTS = 5

_REQUEST = re.compile(r"Request \(file descriptor \d+\): (.*)$")


class Tinyproxy:
    def __init__(self, outgoing="127.0.0.3", basic_auth=None):
        self.outgoing = outgoing
        self.basic_auth = basic_auth
        self.port = None
        self.state_dir = None
        self._proc = None

    @property
    def address(self):
        return "127.0.0.1:%d" % self.port

    def url(self, credentials=None):
        user = "%s:%s@" % credentials if credentials else ""
        return "http://%s%s" % (user, self.address)

    def _path(self, name):
        return os.path.join(self.state_dir, name)

    def _write_config(self):
        lines = ["Port %d" % self.port, "Listen 127.0.0.1", "Bind %s" % self.outgoing,
                 "Timeout 120", "MaxClients 64", "LogLevel Connect",
                 'LogFile "%s"' % self._path("tinyproxy.log"), "DisableViaHeader Yes"]
        if self.basic_auth:
            lines.append("BasicAuth %s %s" % self.basic_auth)
        with open(self._path("tinyproxy.conf"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def log(self):
        return read_log(self._path("tinyproxy.log"))

    def requests(self):
        found = []
        for line in self.log().splitlines():
            match = _REQUEST.search(line)
            if match:
                found.append(match.group(1))
        return found

    def _launch(self):
        self.port = free_port()
        self._write_config()
        with open(self._path("stderr.log"), "ab") as err:
            self._proc = subprocess.Popen(
                [TINYPROXY, "-d", "-c", self._path("tinyproxy.conf")],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, start_new_session=True)
        return wait_for_port(self.port, START_TIMEOUT, lambda: self._proc.poll() is None)

    def start(self):
        self.state_dir = tempfile.mkdtemp(prefix="tinyproxy-fixture-")
        for _ in range(START_ATTEMPTS):
            if self._launch():
                return self
            self.kill()  # most likely the port was taken between probing and binding
        log = self.log()
        self.stop()
        raise RuntimeError("tinyproxy did not start on %s:\n%s" % (self.address, log))

    def kill(self):
        proc, self._proc = self._proc, None
        if proc is not None and proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
            proc.wait()

    def stop(self):
        self.kill()
        if self.state_dir:
            shutil.rmtree(self.state_dir, ignore_errors=True)
            self.state_dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
