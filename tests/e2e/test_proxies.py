"""The whole job through a real proxy (tinyproxy), named the way each system names it:
natively by http_proxy, https_proxy and no_proxy; under Wine by the prefix's Internet Options
(a fixed proxy, one for every scheme or one per scheme, its bypass list, a configuration
script).

The servers behind the proxy accept connections only from 127.0.0.3, the address the proxy
connects from, so a job installs only when the proxy was really used; a host that must be
reached directly is served by a server that refuses the proxy."""

import os
import struct
import threading
import time
from collections import namedtuple

import pytest

from fault_server import FaultServer
from nginx_fixture import Nginx
from proxy_fixture import Tinyproxy
from targets import read_record
from test_installer_job import KEYS, publish_installer, target_directory

PROXY_SIDE = "127.0.0.3"
CREDENTIALS = ("installer", "s3cret")
# What the basic-auth row also puts in its addresses, which the support trace must never hold.
ADDRESS_SECRETS = ("manifestuser", "m4nifest-pw", "t0ken-in-query", "sig-in-query")
DEAD_PROXY = "127.0.0.1:1"

# Flags of the Internet Options' DefaultConnectionSettings.
DIRECT, FIXED_PROXY, SCRIPT, AUTO_DETECT = 1, 2, 4, 8


class World:
    def __init__(self, **parts):
        self.__dict__.update(parts)


@pytest.fixture(scope="module")
def world(servers):
    with Nginx(servers.files, allow=PROXY_SIDE) as behind, \
            FaultServer(root=servers.files, allow=PROXY_SIDE) as behind_fault, \
            FaultServer(root=servers.files, allow="127.0.0.1") as direct_only, \
            Tinyproxy(PROXY_SIDE) as proxy, \
            Tinyproxy(PROXY_SIDE, basic_auth=CREDENTIALS) as auth_proxy:
        yield World(servers=servers, behind=behind, behind_fault=behind_fault,
                    direct_only=direct_only, proxy=proxy, auth_proxy=auth_proxy)


@pytest.fixture(scope="module", autouse=True)
def fresh_internet_settings_afterwards(target):
    yield
    if target.name != "native":
        target.set_internet_settings(None)


# systems: where the row applies. proxy: which proxy the configuration names ("dying" is one
# of the row's own, killed while the installer downloads; "detect" names none but asks for
# automatic detection, which finds nothing on loopback; "down-then-proxy" lists a proxy that
# is down before the working one). bypass: the manifest's host is sent direct. manifest,
# installer: where they are served ("direct" refuses the proxy).
Row = namedtuple("Row", "name systems proxy per_scheme bypass pac manifest installer outcome")
ROWS = [
    Row("http", "native wine", "proxy", False, False, False, "http", "http", "installed"),
    Row("https-connect", "native wine", "proxy", True, False, False, "https", "https",
        "installed"),
    Row("bypass", "native wine", "proxy", False, True, False, "direct", "http", "installed"),
    Row("script", "wine", "proxy", False, False, True, "direct", "https", "installed"),
    Row("first-proxy-down", "wine", "down-then-proxy", False, False, False, "http", "http",
        "installed"),
    Row("detection-fails", "wine", "detect", False, False, False, "direct", "direct",
        "installed"),
    Row("basic-auth", "native", "auth", False, False, False, "http", "https", "installed"),
    Row("proxy-refuses", "native wine", "dead", False, True, False, "direct", "http", "refused"),
    Row("proxy-dies", "native wine", "dying", False, True, False, "direct", "stalling", "cut"),
]


def connection_settings(flags, proxy="", bypass="", script=""):
    """DefaultConnectionSettings: version, change counter, flags, then the proxy, the bypass
    list and the script address, each after its length, then 32 zero bytes."""
    blob = struct.pack("<III", 0x46, 1, flags)
    for text in (proxy, bypass, script):
        data = text.encode("ascii")
        blob += struct.pack("<I", len(data)) + data
    return blob + bytes(32)


def address_of(world, name, unique, file_name):
    path = "/%s/%s" % (unique, file_name)
    if name == "http":
        return world.behind.http_url(path)
    if name == "https":
        return world.behind.https_url(path)
    if name == "stalling":
        # Headers and the first bytes of every range, then silence while the proxy dies.
        return world.behind_fault.url("/file%s?stall=60&stall_after=1000" % path)
    assert name == "direct"
    return "http://localhost:%d/file%s" % (world.direct_only.port, path)


def configure(target, world, row, unique, proxy):
    """Names the row's proxy the system's way; returns the environment of the run."""
    native = target.name == "native"
    address = proxy.address if proxy is not None else DEAD_PROXY
    if native:
        url = "http://" + address
        if row.proxy == "auth":
            url = proxy.url(CREDENTIALS)
        return {"http_proxy": url, "https_proxy": url,
                "no_proxy": "localhost" if row.bypass else ""}
    if row.proxy == "detect":
        settings = connection_settings(DIRECT | AUTO_DETECT)
    elif row.pac:
        script = ('function FindProxyForURL(url, host) {\n'
                  '    if (host == "localhost") return "DIRECT";\n'
                  '    return "PROXY %s";\n}\n' % address)
        world.servers.publish("%s/proxy.pac" % unique, script)
        settings = connection_settings(
            DIRECT | SCRIPT, script=world.servers.nginx.http_url("/%s/proxy.pac" % unique))
    else:
        text = "http=%s;https=%s" % (address, address) if row.per_scheme else address
        if row.proxy == "down-then-proxy":
            text = "%s;%s" % (DEAD_PROXY, address)
        settings = connection_settings(DIRECT | FIXED_PROXY, proxy=text,
                                       bypass="<local>" if row.bypass else "")
    target.set_internet_settings(settings)
    # Windows programs follow the Internet Options, never these.
    return {"http_proxy": "http://" + DEAD_PROXY, "https_proxy": "http://" + DEAD_PROXY}


def kill_when_downloading(world, unique, proxy, deadline):
    """Kills the proxy once the server behind it is sending ranges."""
    while time.monotonic() < deadline:
        ranged = [r for r in world.behind_fault.requests("/file/%s/" % unique)
                  if r["method"] == "GET" and r["range"]]
        if ranged:
            time.sleep(0.5)
            break
        time.sleep(0.1)
    proxy.kill()


@pytest.mark.parametrize("row", ROWS, ids=[row.name for row in ROWS])
def test_job_through_proxy(target, world, unique, row):
    system = "native" if target.name == "native" else "wine"
    if system not in row.systems.split():
        pytest.skip("%s is configured only %s" % (row.name, row.systems))
    dying = Tinyproxy(PROXY_SIDE).start() if row.proxy == "dying" else None
    try:
        proxy = {"proxy": world.proxy, "down-then-proxy": world.proxy, "auth": world.auth_proxy,
                 "dead": None, "detect": None, "dying": dying}[row.proxy]
        file_name, _ = publish_installer(target, world.servers, unique)
        installer = address_of(world, row.installer, unique, file_name)
        world.servers.publish("%s/manifest.txt" % unique,
                              "".join("%s=%s\r\n" % (key, installer) for key in KEYS))
        manifest = address_of(world, row.manifest, unique, "manifest.txt")
        if row.proxy == "auth":
            # Secrets of the kind that addresses carry: user information and query strings.
            manifest = manifest.replace("://", "://%s:%s@" % ADDRESS_SECRETS[:2], 1)
            manifest += "?token=" + ADDRESS_SECRETS[2]
            world.servers.publish("%s/manifest.txt" % unique, "".join(
                "%s=%s?sig=%s\r\n" % (key, installer, ADDRESS_SECRETS[3]) for key in KEYS))
        env = configure(target, world, row, unique, proxy)
        directory = target_directory(target, unique)
        temp = target.fresh_temp_dir()
        killer = None
        if dying is not None:
            killer = threading.Thread(target=kill_when_downloading,
                                      args=(world, unique, dying, time.monotonic() + 180))
            killer.start()
        # A failing download retries, paced, until its deadline: the build with a tenth of
        # the product's waits keeps that short.
        program = "downloader" if row.outcome == "installed" else "downloader-short-bounds"
        result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                             "/SILENT"], temp, host_args=[], env=env, program=program)
        if killer is not None:
            killer.join()
    finally:
        if dying is not None:
            dying.stop()

    assert result.returncode == 0, result.stderr
    if row.proxy == "auth":
        # The support trace names the proxy and the hosts, never a secret of theirs.
        assert result.trace is not None
        for secret in ("%s:%s" % CREDENTIALS, CREDENTIALS[1]) + ADDRESS_SECRETS:
            assert secret.encode() not in result.trace, secret
        assert b"?[query removed]" in result.trace
        assert b"route=\"as the variable says: https_proxy=http://%s\"" % (
            proxy.address.encode()) in result.trace, result.trace
    if row.outcome == "installed":
        assert result.log is None
        assert read_record(directory) is not None
        assert os.listdir(temp) == []
        if row.installer == "direct":
            assert [r for r in world.direct_only.requests("/file/%s/" % unique) if r["range"]]
            return
        # The ranges went through the proxy, and were answered as ranges.
        path = "/%s/%s" % (unique, file_name)
        ranged = [line for line in world.behind.access_log()
                  if line.startswith(PROXY_SIDE + " ") and '" 206 ' in line
                  and (path + " " in line or path + "?" in line)]
        assert ranged
        if row.installer == "https":
            tunnels = [r for r in proxy.requests() if r.startswith("CONNECT ")]
            assert "CONNECT 127.0.0.1:%d HTTP/1.1" % world.behind.https_port in tunnels
            assert not [r for r in proxy.requests() if "https://" in r]
        return
    if row.outcome == "refused":
        # As with a server that refuses: five failed length queries, then the job's -2.
        expected = b"Failed to call getFileSize():7\n" * 5 + b"Failed to call getFileSize():-2\n"
    else:
        # As with a server that dies mid-way: the download is incomplete.
        expected = b"Failed to call getFileSize():-4\n"
    assert result.log == expected
    assert read_record(directory) is None
    assert sorted(os.listdir(temp)) == ["downloader_log.txt"]
