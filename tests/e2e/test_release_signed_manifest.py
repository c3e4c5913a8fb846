"""A manifest signed by release-tool runs its installer through the downloader built with the
matching public key (downloader-signed, which trusts tests/keys/test-signing-key.pub.pem); one
signed with another key does not."""

import os
import subprocess

import pytest

from targets import REPO, read_record

KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")
RELEASE_TOOL = os.path.join(REPO, "build", "native", "release-tool")
KEY_DIR = os.path.join(REPO, "tests", "keys")


def require_programs(target):
    for path in (target.binary("downloader-signed"), RELEASE_TOOL):
        if not os.path.exists(path):
            pytest.fail("not built: " + path)


@pytest.mark.parametrize("key, installs", [("test-signing-key.pem", True),
                                           ("test-other-key.pem", False)])
def test_manifest_signed_by_release_tool(target, servers, unique, key, installs):
    require_programs(target)
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
    result = target.run(["/URL:" + servers.nginx.http_url("/%s/manifest.txt" % unique),
                         "/PATH:" + target.windows_path(directory), "/SILENT"], temp,
                        host_args=[], program="downloader-signed")
    assert result.returncode == 0
    assert (read_record(directory) is not None) == installs
    if installs:
        assert result.log is None
    else:
        assert result.log == (b"Failed to verify the setup manifest." * 5
                              + b"Failed to get the url of setup.")
