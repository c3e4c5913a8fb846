"""Self-test of test_servers.py, the background launcher used by CTest."""

import os
import subprocess
import sys

from http_probe import probe
from net_util import wait_for_port

LAUNCHER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "test_servers.py")


def run(action, state):
    # capture_output: a detached server holding our pipes would hang here,
    # which is exactly what would hang CTest.
    return subprocess.run([sys.executable, LAUNCHER, action, "--dir", str(state)],
                          capture_output=True, timeout=60)


def running(pid):
    """A zombie awaiting its reaper has finished, even though /proc lists it."""
    try:
        with open("/proc/%s/stat" % pid) as f:
            state = f.read().rpartition(")")[2].split()[0]
    except FileNotFoundError:
        return False
    return state not in ("Z", "X")


def read_env(path):
    return dict(line.split("=", 1) for line in path.read_text().splitlines())


def test_start_restart_stop(tmp_path):
    state = tmp_path / "state"
    assert run("stop", state).returncode == 0  # nothing running yet
    try:
        assert run("start", state).returncode == 0
        first = read_env(state / "servers.env")
        assert first["FILES_DIR"] == str(state / "files")
        (state / "files" / "f.txt").write_bytes(b"hello")
        assert probe(int(first["FAULT_PORT"]), "/file/f.txt").body == b"hello"
        assert probe(int(first["HTTP_PORT"]), "/f.txt").body == b"hello"
        assert wait_for_port(int(first["HTTPS_PORT"]), timeout=1)

        # A second start replaces the first servers instead of piling up.
        assert run("start", state).returncode == 0
        second = read_env(state / "servers.env")
        for name in ("FAULT_PID", "NGINX_PID"):
            assert not running(first[name])
        assert probe(int(second["FAULT_PORT"]), "/file/f.txt").body == b"hello"
    finally:
        assert run("stop", state).returncode == 0
    for name in ("FAULT_PID", "NGINX_PID"):
        assert not running(second[name])
    for name in ("FAULT_PORT", "HTTP_PORT"):
        assert not wait_for_port(int(second[name]), timeout=0.3)
    assert not (state / "servers.env").exists()
