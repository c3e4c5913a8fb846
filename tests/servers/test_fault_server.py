"""Self-tests of the fault server through real loopback sockets."""

import json
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

from fault_server import FaultServer
from http_probe import probe
from pattern import pattern_bytes

HERE = os.path.dirname(os.path.abspath(__file__))
GIB = 1 << 30


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    d = tmp_path_factory.mktemp("root")
    (d / "sub").mkdir()
    (d / "sub" / "data.bin").write_bytes(bytes(range(256)) * 40)
    return d


@pytest.fixture(scope="module")
def server(root):
    with FaultServer(root=str(root)) as srv:
        yield srv


def rng(a, b=""):
    return {"Range": "bytes=%s-%s" % (a, b)}


def curl(*args):
    return subprocess.run(["curl", "-s", "--max-time", "20"] + list(args),
                          capture_output=True, timeout=30)


# -- normal behaviour ------------------------------------------------------

def test_whole_get_is_the_pattern(server):
    with urllib.request.urlopen(server.url("/res/200000/whole.bin"), timeout=10) as r:
        assert r.status == 200
        assert r.headers["Content-Length"] == "200000"
        assert r.headers["Connection"] == "close"
        assert r.read() == pattern_bytes(0, 200000)


def test_head_reports_size_and_ranges_without_body(server):
    r = probe(server.port, "/res/123456/head", method="HEAD")
    assert (r.status, r.headers["content-length"], r.headers["accept-ranges"]) == (200, "123456", "bytes")
    assert r.body == b"" and not r.reset


@pytest.mark.parametrize("header,first,last", [
    ("bytes=10-19", 10, 19),
    ("bytes=65500-65600", 65500, 65600),
    ("bytes=99990-", 99990, 99999),
    ("bytes=99000-200000", 99000, 99999),
    ("bytes=-25", 99975, 99999),
])
def test_ranged_get(server, header, first, last):
    r = probe(server.port, "/res/100000/ranged", headers={"Range": header})
    assert r.status == 206
    assert r.headers["content-range"] == "bytes %d-%d/100000" % (first, last)
    assert int(r.headers["content-length"]) == last - first + 1
    assert r.body == pattern_bytes(first, last - first + 1)


def test_multi_gigabyte_resource_is_served_by_offset(server):
    size = 6 * GIB + 3
    head = probe(server.port, "/res/%d/huge" % size, method="HEAD")
    assert head.headers["content-length"] == str(size)
    r = probe(server.port, "/res/%d/huge" % size, headers=rng(size - 1000))
    assert r.headers["content-range"] == "bytes %d-%d/%d" % (size - 1000, size - 1, size)
    assert r.body == pattern_bytes(size - 1000, 1000)


def test_unsatisfiable_range_is_416(server):
    r = probe(server.port, "/res/1000/r416", headers=rng(1000, 2000))
    assert r.status == 416
    assert r.headers["content-range"] == "bytes */1000"


def test_file_is_served_with_ranges(server, root):
    content = (root / "sub" / "data.bin").read_bytes()
    assert probe(server.port, "/file/sub/data.bin").body == content
    r = probe(server.port, "/file/sub/data.bin", headers=rng(300, 599))
    assert (r.status, r.body) == (206, content[300:600])


def test_file_outside_root_or_missing_is_refused(server):
    assert probe(server.port, "/file/../etc/passwd").status == 403
    assert probe(server.port, "/file/sub/%2e%2e/%2e%2e/etc/passwd").status == 403
    assert probe(server.port, "/file/sub/missing.bin").status == 404


def test_unknown_path_is_404_html(server):
    r = probe(server.port, "/nothing/here")
    assert r.status == 404 and b"<html>" in r.body
    assert probe(server.port, "/res/notanumber/x").status == 404


def test_malformed_fault_value_is_400(server):
    assert probe(server.port, "/res/100/bad?cut=0:10").status == 400
    assert probe(server.port, "/res/100/bad2?short=lots").status == 400


def test_unknown_parameters_are_ignored(server):
    r = probe(server.port, "/res/100/unknown?cap=5&whatever=1")
    assert (r.status, r.body) == (200, pattern_bytes(0, 100))


# -- faults ----------------------------------------------------------------

def test_status_on_get_and_head(server):
    body = b"<html><body>Error 503</body></html>\n"
    r = probe(server.port, "/res/1000/st?status=503", headers=rng(0, 9))
    assert (r.status, r.body, r.headers["content-length"]) == (503, body, str(len(body)))
    h = probe(server.port, "/res/1000/st?status=404", method="HEAD")
    assert h.status == 404 and h.body == b""
    assert h.headers["content-length"] == str(len(b"<html><body>Error 404</body></html>\n"))


def test_ignore_range_answers_200_whole(server):
    r = probe(server.port, "/res/5000/ir?ignore_range=1", headers=rng(100, 199))
    assert r.status == 200 and "content-range" not in r.headers
    assert r.headers["content-length"] == "5000" and r.body == pattern_bytes(0, 5000)


def test_wrong_range_is_shifted_by_one(server):
    r = probe(server.port, "/res/5000/wr?wrong_range=1", headers=rng(100, 199))
    assert r.status == 206
    assert r.headers["content-range"] == "bytes 101-199/5000"
    assert r.body == pattern_bytes(101, 99)
    one = probe(server.port, "/res/5000/wr?wrong_range=1", headers=rng(7, 7))
    assert one.status == 206 and one.body == b""


def test_nolength_delimits_by_close(server):
    r = probe(server.port, "/res/70000/nl?nolength=1")
    assert r.status == 200 and "content-length" not in r.headers
    assert r.body == pattern_bytes(0, 70000) and not r.reset
    h = probe(server.port, "/res/70000/nl?nolength=1", method="HEAD")
    assert h.status == 200 and "content-length" not in h.headers
    p = probe(server.port, "/res/70000/nl?nolength=1", headers=rng(10, 19))
    assert p.status == 206 and "content-length" not in p.headers and p.body == pattern_bytes(10, 10)


def test_length0(server):
    h = probe(server.port, "/res/9000/l0?length0=1", method="HEAD")
    assert (h.status, h.headers["content-length"]) == (200, "0")
    g = probe(server.port, "/res/9000/l0?length0=1", headers=rng(0, 99))
    assert (g.status, g.headers["content-length"], g.body) == (200, "0", b"")


def test_short_body_then_close(server):
    r = probe(server.port, "/res/10000/sh?short=300")
    assert r.headers["content-length"] == "10000"
    assert r.body == pattern_bytes(0, 9700) and not r.reset
    p = probe(server.port, "/res/10000/sh?short=5", headers=rng(100, 199))
    assert p.headers["content-length"] == "100" and p.body == pattern_bytes(100, 95)


def test_over_adds_bytes_to_whole_body_only(server):
    h = probe(server.port, "/res/10000/ov?over=77", method="HEAD")
    assert h.headers["content-length"] == "10000"
    g = probe(server.port, "/res/10000/ov?over=77")
    assert g.headers["content-length"] == "10077" and g.body == pattern_bytes(0, 10077)
    p = probe(server.port, "/res/10000/ov?over=77", headers=rng(9990))
    assert p.status == 206 and p.body == pattern_bytes(9990, 10)


def test_flip_inverts_one_byte_wherever_it_is_served(server):
    corrupted = bytearray(pattern_bytes(0, 10000))
    corrupted[5000] ^= 0xFF
    g = probe(server.port, "/res/10000/fl?flip=5000")
    assert g.headers["content-length"] == "10000" and g.body == bytes(corrupted)
    p = probe(server.port, "/res/10000/fl?flip=5000", headers=rng(4990, 5009))
    assert p.status == 206 and p.body == bytes(corrupted[4990:5010])
    other = probe(server.port, "/res/10000/fl?flip=5000", headers=rng(0, 999))
    assert other.body == pattern_bytes(0, 1000)


def test_stall_after_some_bytes(server):
    r = probe(server.port, "/res/50000/stall?stall=0.6&stall_after=1234")
    assert r.status == 200 and r.headers["content-length"] == "50000"
    assert r.body == pattern_bytes(0, 1234)
    assert 0.5 <= r.elapsed < 3
    h = probe(server.port, "/res/50000/stall?stall=0.6&stall_after=1234", method="HEAD")
    assert h.status == 200 and h.elapsed < 0.4


def test_stall_keeps_the_connection_silent(server):
    # A client with a read timeout shorter than the stall must time out.
    with pytest.raises(TimeoutError):
        probe(server.port, "/res/5000/stall2?stall=1", timeout=0.3)


@pytest.mark.parametrize("method", ["HEAD", "GET"])
def test_hang_answers_nothing(server, method):
    with pytest.raises(TimeoutError):
        probe(server.port, "/res/5000/hang?hang=1", method=method, timeout=0.3)


def test_slow_paces_the_body(server):
    r = probe(server.port, "/res/12000/slow?slow=30000")
    assert r.body == pattern_bytes(0, 12000)
    assert 0.3 <= r.elapsed < 1.5


def test_parallel_ranged_gets_are_served_concurrently(server):
    # 3 x 8000 bytes at 20000 B/s: 0.4 s each, 1.2 s if served one by one.
    results = [None] * 3

    def get(i):
        results[i] = probe(server.port, "/res/24000/par?slow=20000", headers=rng(i * 8000, i * 8000 + 7999))

    began = time.monotonic()
    threads = [threading.Thread(target=get, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert time.monotonic() - began < 0.9
    assert [r.body for r in results] == [pattern_bytes(i * 8000, 8000) for i in range(3)]


def test_cut_resets_after_exactly_n_bytes_then_serves_whole(server):
    path = "/res/300000/cut?cut=0:1000:1"
    first = probe(server.port, path)
    assert first.status == 200 and first.headers["content-length"] == "300000"
    assert first.reset and first.body == pattern_bytes(0, 1000)
    second = probe(server.port, path)
    assert not second.reset and second.body == pattern_bytes(0, 300000)


def test_cut_seen_by_curl(server, tmp_path):
    out = tmp_path / "cut.bin"
    url = server.url("/res/200000/curlcut?cut=0:4096:1")
    first = curl("-o", str(out), url)
    assert first.returncode == 56  # "Failure in receiving network data"
    assert out.read_bytes() == pattern_bytes(0, 4096)
    assert curl("-o", str(out), url).returncode == 0
    assert out.read_bytes() == pattern_bytes(0, 200000)


def test_cut_matches_range_start_only(server):
    path = "/res/10000/cutstart?cut=5000:10:2"
    assert not probe(server.port, path).reset
    assert not probe(server.port, path, headers=rng(4999)).reset
    for _ in range(2):
        r = probe(server.port, path, headers=rng(5000, 9999))
        assert r.status == 206 and r.reset and r.body == pattern_bytes(5000, 10)
    assert probe(server.port, path, headers=rng(5000, 9999)).body == pattern_bytes(5000, 5000)


def test_cut_any_start_and_several_entries(server):
    path = "/res/10000/cutany?cut=*:3:1,0:20:1"
    a = probe(server.port, path, headers=rng(700, 799))
    assert a.reset and a.body == pattern_bytes(700, 3)
    b = probe(server.port, path)
    assert b.reset and b.body == pattern_bytes(0, 20)
    assert probe(server.port, path).body == pattern_bytes(0, 10000)


def test_drop_resets_without_response(server):
    path = "/res/1000/drop?drop=*:2"
    for _ in range(2):
        r = probe(server.port, path)
        assert r.status is None and r.reset
    assert probe(server.port, path).body == pattern_bytes(0, 1000)


def test_drop_keyed_by_start(server):
    path = "/res/1000/dropstart?drop=500:1"
    assert probe(server.port, path).status == 200
    assert probe(server.port, path, headers=rng(500)).reset
    assert probe(server.port, path, headers=rng(500)).status == 206


def test_headfail_drops_first_heads_only(server):
    path = "/res/1000/hf?headfail=1"
    assert probe(server.port, path).status == 200
    first = probe(server.port, path, method="HEAD")
    assert first.status is None and first.reset
    assert probe(server.port, path, method="HEAD").headers["content-length"] == "1000"


def test_counters_are_per_path_and_query(server):
    assert probe(server.port, "/res/100/k1?drop=0:1").reset
    assert probe(server.port, "/res/100/k2?drop=0:1").reset
    assert probe(server.port, "/res/100/k1?drop=0:1&x=1").reset
    assert not probe(server.port, "/res/100/k1?drop=0:1").reset


# -- request log -----------------------------------------------------------

def _log(server, prefix=None):
    url = server.url("/_requests" + ("?path=" + prefix if prefix else ""))
    with urllib.request.urlopen(url, timeout=10) as r:
        return json.loads(r.read())


def test_request_log_and_reset(server):
    before = time.time()
    probe(server.port, "/res/10/log-a?x=1", headers=rng(2, 3))
    probe(server.port, "/res/10/log-b", method="HEAD")
    probe(server.port, "/elsewhere")
    entries = _log(server, "/res/10/log-")
    assert [(e["method"], e["path"], e["query"], e["range"]) for e in entries] == [
        ("GET", "/res/10/log-a", "x=1", "bytes=2-3"),
        ("HEAD", "/res/10/log-b", "", None)]
    assert before <= entries[0]["time"] <= entries[1]["time"] <= time.time()

    everything = _log(server)
    paths = [e["path"] for e in everything]
    assert "/elsewhere" in paths
    assert not any(p.startswith("/_") for p in paths)
    assert server.requests("/res/10/log-") == entries

    urllib.request.urlopen(server.url("/_reset"), timeout=10).read()
    assert _log(server) == []


def test_reset_rearms_fault_budgets(server):
    path = "/res/100/rearm?drop=0:1"
    assert probe(server.port, path).reset
    assert not probe(server.port, path).reset
    server.reset()
    assert probe(server.port, path).reset


# -- command line ----------------------------------------------------------

def test_cli_writes_port_and_stops_on_sigterm(tmp_path):
    port_file = tmp_path / "port"
    proc = subprocess.Popen([sys.executable, os.path.join(HERE, "fault_server.py"),
                             "--port-file", str(port_file)], stdout=subprocess.PIPE)
    try:
        port = int(proc.stdout.readline())
        assert int(port_file.read_text()) == port
        assert probe(port, "/res/10/cli").body == pattern_bytes(0, 10)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=5) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    with pytest.raises(urllib.error.URLError):
        urllib.request.urlopen("http://127.0.0.1:%d/res/1/x" % port, timeout=2)
