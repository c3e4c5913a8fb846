"""Libraries planted where the Windows downloader starts: beside downloader.exe (a Downloads
folder that any web page can drop a file into) and in its current directory.

Windows takes a library that is not a known DLL from the program's folder first; Wine does the
same for the names that WINEDLLOVERRIDES sets native-first. The run fetches the manifest and the
installer over HTTPS through a proxy that a configuration script names, with automatic detection
on: the most libraries a run loads. A first run lists them (Wine's load trace of the downloader's
process); a second one, with every listed name outside the known DLLs set native-first and a
marker library of that name in both places, must install and leave every marker unrun."""

import os
import re
import shutil
import subprocess

import pytest

from nginx_fixture import Nginx
from proxy_fixture import Tinyproxy
from targets import REPO, read_record
from test_installer_job import KEYS, publish_installer, target_directory
from test_proxies import AUTO_DETECT, DIRECT, PROXY_SIDE, SCRIPT, connection_settings
from test_proxies import fresh_internet_settings_afterwards  # noqa: F401 (a fixture)

# Libraries that Windows takes from the system folder whatever lies beside the program: the
# known DLLs of Vista and later, and the libraries they import. Wine cannot load these natively.
KNOWN = {
    "ntdll", "kernelbase", "kernel32", "user32", "gdi32", "win32u", "advapi32", "sechost",
    "msvcrt", "ucrtbase", "rpcrt4", "combase", "ole32", "oleaut32", "imm32", "nsi", "shell32",
    "shlwapi", "shcore", "comdlg32", "imagehlp", "wldap32",
}
# Imported by Wine's own user32, so loaded before any code of the program runs; the user32 of
# Windows imports neither.
WINE_START_UP = {"version", "zlib1"}
# Libraries that the downloader itself delay-loads: a trace without them was not read right.
DELAY_LOADED = {"winhttp", "crypt32", "ws2_32", "wintrust"}

TOOLS = "i686-w64-mingw32-"
IMPORT_LIBRARIES = "/usr/i686-w64-mingw32/lib"
MARKER_SOURCE = os.path.join(REPO, "tests", "windows", "marker_library.c")
LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"([^"]+)"', re.M)
IMPORTED = re.compile(r"^[0-9a-f]+ I __imp__(\S+)$", re.M)


def libraries_of_downloader(trace):
    """The names (lower case, without .dll) of the libraries that the process of downloader.exe
    loaded, from a trace with +pid,+loaddll."""
    loads = LOADED.findall(trace)
    process = [pid for pid, path in loads if path.lower().endswith("\\downloader.exe")]
    assert len(process) == 1, "no single downloader process in the trace"
    names = {path.split("\\")[-1].lower() for pid, path in loads if pid == process[0]}
    return {name[:-len(".dll")] for name in names if name.endswith(".dll")}


def marker_definitions(name):
    """A .def for a marker named `name`: the functions of the real library (as the toolchain's
    import library lists them), each on the stub with its number of argument bytes."""
    lines = ["LIBRARY %s.dll" % name, "EXPORTS"]
    import_library = os.path.join(IMPORT_LIBRARIES, "lib%s.a" % name)
    if os.path.exists(import_library):
        symbols = subprocess.run([TOOLS + "nm", "--defined-only", import_library],
                                 capture_output=True, text=True, check=True).stdout
        for decorated in sorted(set(IMPORTED.findall(symbols))):
            function, _, size = decorated.partition("@")
            stub = "marker_stub_%s@%s" % (size, size) if size else "marker_stub_0@0"
            lines.append("%s = %s" % (decorated if size else function, stub))
    return "\n".join(lines) + "\n"


def plant_markers(names, work, folders):
    compiler = TOOLS + "gcc-win32"
    marker = os.path.join(work, "marker.o")
    subprocess.run([compiler, "-O2", "-c", MARKER_SOURCE, "-o", marker], check=True)
    for name in names:
        definitions = os.path.join(work, name + ".def")
        with open(definitions, "w") as f:
            f.write(marker_definitions(name))
        library = os.path.join(work, name + ".dll")
        subprocess.run([compiler, "-shared", "-nostdlib", "-e", "_MarkerMain@12", "-s", "-o",
                        library, marker, definitions, "-Wl,--kill-at", "-lkernel32"],
                       check=True)
        for folder in folders:
            shutil.copy(library, folder)


@pytest.fixture(scope="module")
def behind_proxy(servers):
    with Nginx(servers.files, allow=PROXY_SIDE) as nginx, Tinyproxy(PROXY_SIDE) as proxy:
        yield nginx, proxy


def test_no_planted_library_runs(target, servers, behind_proxy, unique):
    if target.name == "native":
        pytest.skip("the library search of Windows")
    nginx, proxy = behind_proxy
    file_name, _ = publish_installer(target, servers, unique)
    installer = nginx.https_url("/%s/%s" % (unique, file_name))
    servers.publish("%s/manifest.txt" % unique,
                    "".join("%s=%s\r\n" % (key, installer) for key in KEYS))
    manifest = nginx.https_url("/%s/manifest.txt" % unique)
    servers.publish("%s/proxy.pac" % unique,
                    'function FindProxyForURL(url, host) { return "PROXY %s"; }\n' % proxy.address)
    target.set_internet_settings(connection_settings(
        DIRECT | SCRIPT | AUTO_DETECT,
        script=servers.nginx.http_url("/%s/proxy.pac" % unique)))

    work = os.path.join(target.work, unique)
    downloads = os.path.join(work, "Downloads")
    current = os.path.join(work, "current")
    for folder in (downloads, current):
        os.makedirs(folder)
    executable = shutil.copy(target.binary("downloader"), downloads)
    directory = target_directory(target, unique)

    def installs(env):
        result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                             "/SILENT"], target.fresh_temp_dir(), env=env,
                            executable=executable, cwd=current)
        installed = read_record(directory) is not None
        if installed:
            os.remove(os.path.join(directory, "install-record.txt"))
        return result, installed

    traced, installed = installs({"WINE_RUN_DEBUG": "+pid,+loaddll"})
    assert installed, traced.log
    planted = sorted(libraries_of_downloader(traced.stderr.decode("utf-8", "replace"))
                     - KNOWN - WINE_START_UP)
    assert DELAY_LOADED <= set(planted), planted
    assert [request for request in proxy.requests() if request.startswith("CONNECT ")]

    plant_markers(planted, work, (downloads, current))
    result, installed = installs({"WINEDLLOVERRIDES": ",".join(planted) + "=n,b"})
    ran = sorted(name for folder in (downloads, current) for name in os.listdir(folder)
                 if name.endswith(".ran"))
    assert ran == [], "planted libraries ran: %s (native-first: %s)" % (ran, planted)
    assert installed, result.log
    assert result.returncode == 0
