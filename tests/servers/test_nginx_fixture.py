"""Self-tests of the nginx fixture: ranges and HEAD over HTTP and HTTPS."""

import os
import subprocess

import pytest

from nginx_fixture import Nginx
from pattern import pattern_bytes
from net_util import wait_for_port


def curl(*args):
    return subprocess.run(["curl", "-s", "--max-time", "20"] + list(args),
                          capture_output=True, timeout=30)


@pytest.fixture(scope="module")
def nginx(tmp_path_factory):
    root = tmp_path_factory.mktemp("www")
    (root / "p.bin").write_bytes(pattern_bytes(0, 300000))
    with Nginx(str(root), limit_rate="50m") as ng:
        yield ng


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_range_returns_206_and_exact_bytes(nginx, scheme, tmp_path):
    url = nginx.http_url("/p.bin") if scheme == "http" else nginx.https_url("/p.bin")
    out = tmp_path / "part"
    r = curl("-k", "-r", "70000-140001", "-o", str(out), "-w", "%{http_code}", url)
    assert r.returncode == 0 and r.stdout == b"206"
    assert out.read_bytes() == pattern_bytes(70000, 70002)


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_head_gives_content_length(nginx, scheme):
    url = nginx.http_url("/p.bin") if scheme == "http" else nginx.https_url("/p.bin")
    r = curl("-k", "-I", url)
    assert r.returncode == 0
    headers = r.stdout.decode().lower()
    assert "content-length: 300000" in headers and "accept-ranges: bytes" in headers


def test_certificate_verifies_for_127_0_0_1(nginx):
    r = curl("--cacert", nginx.cert_path, "-o", os.devnull, "-w", "%{http_code}", nginx.https_url("/p.bin"))
    assert (r.returncode, r.stdout) == (0, b"200")


def test_stop_releases_ports_and_private_state(tmp_path):
    ng = Nginx(str(tmp_path)).start()
    state, port = ng.state_dir, ng.http_port
    ng.stop()
    assert not os.path.exists(state)
    assert not wait_for_port(port, timeout=0.3)
