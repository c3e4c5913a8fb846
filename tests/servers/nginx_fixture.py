#!/usr/bin/python3
"""Debian's nginx serving a directory on loopback over HTTP and HTTPS.

Python:
    with Nginx(root, limit_rate=None, state_dir=None, allow=None) as ng:
        ng.http_port, ng.https_port, ng.cert_path
        ng.http_url("/a.bin")  -> "http://127.0.0.1:<http_port>/a.bin"
        ng.https_url("/a.bin") -> "https://127.0.0.1:<https_port>/a.bin"
The HTTPS certificate is self-signed for CN=127.0.0.1 (IP SAN 127.0.0.1);
use `curl -k` or trust ng.cert_path.  Static files get byte ranges (206) and
HEAD Content-Length from nginx itself.  limit_rate (e.g. "20m") caps each
connection.  allow ("127.0.0.3") answers 403 to every client but that address (a server
reachable only through a proxy, see proxy_fixture.py).  Without state_dir a temporary
directory is used and removed.

CLI:
    nginx_fixture.py --root DIR --state DIR [--limit-rate R]
starts nginx, writes STATE/ports.env ("HTTP_PORT=...\\nHTTPS_PORT=...\\n"),
and runs until SIGTERM/SIGINT, then stops nginx.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from net_util import free_port, read_log, wait_for_port, write_atomically  # noqa: E402

NGINX = "/usr/sbin/nginx"
START_TIMEOUT = 10.0
START_ATTEMPTS = 5

_CONFIG = """\
daemon off;
master_process on;
worker_processes 1;
{user}pid {state}/nginx.pid;
error_log {state}/error.log info;

events {{
    worker_connections 512;
}}

http {{
    access_log {state}/access.log;
    client_body_temp_path {state}/client_body_temp;
    proxy_temp_path {state}/proxy_temp;
    fastcgi_temp_path {state}/fastcgi_temp;
    uwsgi_temp_path {state}/uwsgi_temp;
    scgi_temp_path {state}/scgi_temp;

    default_type application/octet-stream;
    sendfile on;
    {limit_rate}
    server {{
        listen 127.0.0.1:{http_port};
        listen 127.0.0.1:{https_port} ssl;
        server_name 127.0.0.1;
        ssl_certificate {state}/cert.pem;
        ssl_certificate_key {state}/key.pem;
        root {root};
        {access}
        location / {{
        }}
    }}
}}
"""


class Nginx:
    def __init__(self, root, limit_rate=None, state_dir=None, allow=None):
        self.root = os.path.abspath(root)
        self.limit_rate = limit_rate
        self.allow = allow
        self._own_state = state_dir is None
        self.state_dir = os.path.abspath(state_dir) if state_dir else None
        self.http_port = None
        self.https_port = None
        self._proc = None

    @property
    def cert_path(self):
        return os.path.join(self.state_dir, "cert.pem")

    @property
    def pid(self):
        return self._proc.pid if self._proc else None

    def http_url(self, path):
        return "http://127.0.0.1:%d%s" % (self.http_port, path)

    def https_url(self, path):
        return "https://127.0.0.1:%d%s" % (self.https_port, path)

    def _path(self, name):
        return os.path.join(self.state_dir, name)

    def _make_certificate(self):
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
             "-keyout", self._path("key.pem"), "-out", self._path("cert.pem")],
            check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE)

    def _write_config(self):
        text = _CONFIG.format(
            user="user root;\n" if os.geteuid() == 0 else "",
            state=self.state_dir, root=self.root,
            http_port=self.http_port, https_port=self.https_port,
            limit_rate="limit_rate %s;" % self.limit_rate if self.limit_rate else "",
            access="allow %s; deny all;" % self.allow if self.allow else "")
        with open(self._path("nginx.conf"), "w") as f:
            f.write(text)

    def access_log(self):
        """Lines of the access log: client address first, then the request and the status."""
        return read_log(self._path("access.log")).splitlines()

    def running(self):
        return self._proc is not None and self._proc.poll() is None

    def error_log(self):
        return read_log(self._path("error.log"))

    def _launch(self):
        self.http_port, self.https_port = free_port(), free_port()
        while self.https_port == self.http_port:
            self.https_port = free_port()
        self._write_config()
        with open(self._path("error.log"), "w"):
            pass  # fresh log per attempt, so a failure report is about this one
        with open(self._path("stderr.log"), "ab") as err:
            # Own session: a Ctrl-C aimed at the test runner must not reach
            # nginx before stop() does, and stop() can signal the whole group.
            self._proc = subprocess.Popen(
                [NGINX, "-p", self.state_dir + "/", "-c", self._path("nginx.conf"),
                 "-e", self._path("error.log")],
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, start_new_session=True)
        alive = lambda: self._proc.poll() is None  # noqa: E731
        return (wait_for_port(self.http_port, START_TIMEOUT, alive)
                and wait_for_port(self.https_port, START_TIMEOUT, alive))

    def start(self):
        if self.state_dir is None:
            self.state_dir = tempfile.mkdtemp(prefix="nginx-fixture-")
        os.makedirs(self.state_dir, exist_ok=True)
        self._make_certificate()
        for _ in range(START_ATTEMPTS):
            if self._launch():
                return self
            log = self.error_log()
            self._terminate()
            # Another process may grab a port between probing and nginx's
            # bind; only that race is worth another attempt.
            if "Address already in use" not in log:
                break
        self.stop()
        raise RuntimeError("nginx did not start on 127.0.0.1:%s/%s:\n%s"
                           % (self.http_port, self.https_port, log))

    def _terminate(self):
        proc, self._proc = self._proc, None
        if proc is None or proc.poll() is not None:
            return
        # SIGTERM is nginx's fast shutdown; SIGQUIT would wait for slow
        # test downloads to finish.
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()

    def stop(self):
        self._terminate()
        if self._own_state and self.state_dir:
            shutil.rmtree(self.state_dir, ignore_errors=True)
            self.state_dir = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    ap = argparse.ArgumentParser(description="nginx on 127.0.0.1 over HTTP and HTTPS")
    ap.add_argument("--root", required=True)
    ap.add_argument("--state", required=True)
    ap.add_argument("--limit-rate")
    args = ap.parse_args(argv)

    done = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: done.set())

    nginx = Nginx(args.root, limit_rate=args.limit_rate, state_dir=args.state).start()
    try:
        write_atomically(os.path.join(nginx.state_dir, "ports.env"),
                         "HTTP_PORT=%d\nHTTPS_PORT=%d\n" % (nginx.http_port, nginx.https_port))
        while not done.wait(0.5):
            if not nginx.running():
                print("nginx exited unexpectedly:\n" + nginx.error_log(), file=sys.stderr)
                return 1
    finally:
        nginx.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
