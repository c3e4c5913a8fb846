"""A manifest signed by release-tool runs its installer through the downloader built with the
matching public key (downloader-signed, which trusts tests/keys/test-signing-key.pub.pem); one
signed with another key does not."""

import glob
import os
import subprocess
import time

import pytest

from targets import REPO, RUN_TIMEOUT, read_record

KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")
RELEASE_TOOL = os.path.join(REPO, "build", "native", "release-tool")
KEY_DIR = os.path.join(REPO, "tests", "keys")


def signed_build_is_declared():
    """Whether the tree's CMake files define the keyed downloader at all."""
    for path in glob.glob(os.path.join(REPO, "**", "CMakeLists.txt"), recursive=True) + \
            glob.glob(os.path.join(REPO, "**", "*.cmake"), recursive=True):
        if os.sep + "build" + os.sep in path:
            continue
        with open(path, errors="replace") as f:
            if "downloader-signed" in f.read():
                return True
    return False


def signed_downloader(target):
    path = target.binary("downloader-signed")
    if not os.path.exists(path):
        if signed_build_is_declared():
            pytest.fail("downloader-signed is declared in CMake but not built: " + path)
        pytest.skip("this tree does not build downloader-signed yet (no CMake target)")
    if not os.path.exists(RELEASE_TOOL):
        pytest.fail("release-tool is not built: " + RELEASE_TOOL)
    return path


def run_signed(target, downloader, arguments, temp):
    """Runs downloader-signed inside wizard-host, as the host wizard would."""
    record = os.path.join(target.work, "record-%d.txt" % time.monotonic_ns())
    command = ([target.binary("wizard-host"), "--quiet", "--record", target.windows_path(record),
                "--", target.windows_path(downloader)] + arguments)
    return target._execute(command, temp, RUN_TIMEOUT)


@pytest.mark.parametrize("key, installs", [("test-signing-key.pem", True),
                                           ("other-key.pem", False)])
def test_manifest_signed_by_release_tool(target, servers, unique, key, installs):
    downloader = signed_downloader(target)
    file_name = "setup" + target.exe_suffix
    installer = servers.publish_copy("%s/%s" % (unique, file_name), target.installer_binary())
    address = servers.nginx.http_url("/%s/%s" % (unique, file_name))
    manifest = servers.publish("%s/manifest.txt" % unique,
                               "".join("%s=%s\r\n" % (k, address) for k in KEYS))
    arguments = []
    for k in KEYS:
        arguments += ["--installer", "%s=%s" % (k, installer)]
    signed = subprocess.run([RELEASE_TOOL, "sign", "--key", os.path.join(KEY_DIR, key), manifest]
                            + arguments, capture_output=True, text=True, timeout=60)
    assert signed.returncode == 0, signed.stderr

    directory = os.path.join(target.work, "Program Files", unique)
    os.makedirs(directory, exist_ok=True)
    temp = target.fresh_temp_dir()
    result = run_signed(target, downloader,
                        ["/URL:" + servers.nginx.http_url("/%s/manifest.txt" % unique),
                         "/PATH:" + target.windows_path(directory), "/SILENT"], temp)
    assert result.returncode == 0
    assert (read_record(directory) is not None) == installs
