#!/usr/bin/python3
"""Start/stop the fault server and nginx in the background (CTest fixtures).

    test_servers.py start --dir STATE [--limit-rate R]
    test_servers.py stop  --dir STATE

`start` stops whatever an earlier run left in STATE, creates STATE/files,
launches detached (new session, output in STATE/*.log, so the caller's pipes
close when `start` returns):
    fault_server.py --root STATE/files        (STATE/fault.log)
    nginx_fixture.py --root STATE/files --state STATE/nginx   (STATE/nginx.log)
waits until both listen, then writes STATE/servers.env:
    FAULT_PORT=  HTTP_PORT=  HTTPS_PORT=  FILES_DIR=<absolute STATE/files>
    CERT_FILE=<nginx's self-signed certificate>  FAULT_PID=  NGINX_PID=
and exits 0 (non-zero, with the logs on stderr, if a server fails to start).
`stop` terminates them; it succeeds when nothing is running.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from net_util import write_atomically  # noqa: E402

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
START_TIMEOUT = 20.0
STOP_TIMEOUT = 15.0


def _read_env(path):
    values = {}
    try:
        with open(path) as f:
            for line in f:
                name, sep, value = line.strip().partition("=")
                if sep:
                    values[name] = value
    except OSError:
        pass
    return values


def _cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return None


def _ours(pid, state):
    """Guards against signalling an unrelated process that reused a stale pid."""
    cmd = _cmdline(pid)
    return cmd is not None and state in cmd


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie still answers kill(0), but has an empty command line.
    return bool(_cmdline(pid))


def _terminate(pids, state):
    pids = [p for p in pids if _alive(p) and _ours(p, state)]
    for pid in pids:
        os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + STOP_TIMEOUT
    while any(_alive(p) for p in pids) and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in pids:
        if _alive(pid) and _ours(pid, state):
            try:
                os.killpg(pid, signal.SIGKILL)
            except OSError:
                os.kill(pid, signal.SIGKILL)


def _pid_file(state, name):
    try:
        with open(os.path.join(state, name)) as f:
            return [int(tok) for tok in f.read().split() if tok.isdigit()]
    except OSError:
        return []


def stop(state):
    state = os.path.abspath(state)
    _terminate(_pid_file(state, "pids"), state)
    # The nginx wrapper normally stops nginx itself; this covers a wrapper
    # that was killed outright and left its nginx running.
    _terminate(_pid_file(os.path.join(state, "nginx"), "nginx.pid"), state)
    for name in ("pids", "servers.env", "fault.port", os.path.join("nginx", "ports.env")):
        try:
            os.unlink(os.path.join(state, name))
        except OSError:
            pass


def _spawn(args, log_path):
    with open(log_path, "ab") as log:
        return subprocess.Popen([PYTHON] + args, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True,
                                close_fds=True, cwd=HERE)


def _logs(state):
    text = []
    for name in ("fault.log", "nginx.log"):
        try:
            with open(os.path.join(state, name), errors="replace") as f:
                text.append("--- %s\n%s" % (name, f.read()))
        except OSError:
            pass
    return "\n".join(text)


def start(state, limit_rate=None):
    state = os.path.abspath(state)
    stop(state)
    files = os.path.join(state, "files")
    nginx_state = os.path.join(state, "nginx")
    os.makedirs(files, exist_ok=True)
    os.makedirs(nginx_state, exist_ok=True)

    fault = _spawn([os.path.join(HERE, "fault_server.py"), "--port", "0",
                    "--port-file", os.path.join(state, "fault.port"), "--root", files],
                   os.path.join(state, "fault.log"))
    nginx_args = [os.path.join(HERE, "nginx_fixture.py"), "--root", files, "--state", nginx_state]
    if limit_rate:
        nginx_args += ["--limit-rate", limit_rate]
    nginx = _spawn(nginx_args, os.path.join(state, "nginx.log"))
    # Recorded before waiting, so that `stop` can clean up a failed start.
    write_atomically(os.path.join(state, "pids"), "%d\n%d\n" % (fault.pid, nginx.pid))

    deadline = time.monotonic() + START_TIMEOUT
    fault_port = nginx_ports = None
    while time.monotonic() < deadline:
        fault_port = _pid_file(state, "fault.port") or None
        nginx_ports = _read_env(os.path.join(nginx_state, "ports.env")) or None
        if fault_port and nginx_ports:
            break
        if fault.poll() is not None or nginx.poll() is not None:
            break
        time.sleep(0.05)
    if not (fault_port and nginx_ports):
        sys.stderr.write("test servers failed to start\n" + _logs(state) + "\n")
        stop(state)
        return 1

    write_atomically(os.path.join(state, "servers.env"), "".join([
        "FAULT_PORT=%d\n" % fault_port[0],
        "HTTP_PORT=%s\n" % nginx_ports["HTTP_PORT"],
        "HTTPS_PORT=%s\n" % nginx_ports["HTTPS_PORT"],
        "FILES_DIR=%s\n" % files,
        "CERT_FILE=%s\n" % os.path.join(nginx_state, "cert.pem"),
        "FAULT_PID=%d\n" % fault.pid,
        "NGINX_PID=%d\n" % nginx.pid,
    ]))
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(description="Background test servers for CTest fixtures")
    ap.add_argument("action", choices=("start", "stop"))
    ap.add_argument("--dir", required=True, help="state directory")
    ap.add_argument("--limit-rate", help="per-connection nginx rate limit, e.g. 20m")
    args = ap.parse_args(argv)
    if args.action == "start":
        return start(args.dir, args.limit_rate)
    stop(args.dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
