"""Fetching the setup manifest and choosing the installer address for the machine."""

import os
from urllib.parse import unquote_to_bytes

import pytest

from targets import read_record

KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")
# Optional, read after the four: the native installer of ARM64 Windows.
ARM64_KEY = "URL_ARM64_SETUP_SSL"
LOG_NO_URL = b"Failed to get the url of setup."
# The 16-byte "installers" below are no programs.
LOG_NOT_STARTED = b"Failed to start the setup file.\n"


def expected_key(target):
    if target.is_64bit_windows:
        return "URL_64BIT_SETUP_SSL" if target.is_nt6 else "URL_64BIT_SETUP"
    return "URL_32BIT_SETUP_SSL" if target.is_nt6 else "URL_32BIT_SETUP"


def manifest_for(servers, unique, keys=KEYS, line_end="\r\n", comment=True):
    """A manifest whose addresses are small resources, one per key, so that the server's log
    shows which one was chosen (a 16-byte "installer" is downloaded, cannot start, is deleted)."""
    lines = ["# setup manifest"] if comment else []
    for key in keys:
        lines.append("%s=%s" % (key, servers.fault.url("/res/16/%s/%s.exe" % (unique, key))))
    return line_end.join(lines) + line_end


def chosen_keys(servers, unique):
    chosen = set()
    for request in servers.fault.requests("/res/16/%s/" % unique):
        chosen.add(request["path"].rsplit("/", 1)[1][:-4])
    return chosen


def installer_paths(servers, unique):
    """The paths asked for under the test's installer addresses, as the bytes they name."""
    return {unquote_to_bytes(r["path"].encode("latin-1"))
            for r in servers.fault.requests("/res/16/%s/" % unique)}


def key_path(unique, key):
    return b"/res/16/%s/%s.exe" % (unique.encode(), key.encode())


def run_with_manifest(target, servers, unique, text, query="", program="downloader",
                      path="C:\\App"):
    servers.publish("%s.txt" % unique, text)
    manifest_path = "/file/%s.txt" % unique
    temp = target.fresh_temp_dir()
    address = servers.fault.url(manifest_path + ("?" + query if query else ""))
    result = target.run(["/URL:" + address, "/PATH:" + path, "/SILENT"], temp, program=program)
    return result, servers.fault.requests(manifest_path)


# downloader-arm64 answers its machine probes as Windows 10 on ARM64, where x64 programs do not
# run: the ARM64 installer when the manifest names one, else the 32-bit one.
@pytest.mark.parametrize("arm64_key", [False, True], ids=["four-keys", "arm64-key"])
@pytest.mark.parametrize("program", ["downloader", "downloader-arm64"])
def test_complete_manifest_costs_one_fetch_and_installs(target, servers, unique, program,
                                                         arm64_key):
    """Each key names a real installer of its own; the one that ran tells the choice."""
    keys = KEYS + ((ARM64_KEY,) if arm64_key else ())
    installer = "/%s/%%s/setup%s" % (unique, target.exe_suffix)
    for key in keys:
        servers.publish_copy(installer[1:] % key, target.installer_binary())
    text = "".join("%s=%s\r\n" % (key, servers.fault.url("/file" + installer % key))
                   for key in keys)
    directory = os.path.join(target.work, "Program Files", unique)
    os.makedirs(directory)
    result, fetches = run_with_manifest(target, servers, unique, text, program=program,
                                        path=target.windows_path(directory))
    assert result.returncode == 0
    assert len(fetches) == 1
    assert result.log is None
    assert read_record(directory)[1:3] == ["/SILENT", "/DIR=" + target.windows_path(directory)]
    if program == "downloader":
        expected = expected_key(target)
    else:
        expected = ARM64_KEY if arm64_key else "URL_32BIT_SETUP_SSL"
    asked = {r["path"].split("/")[3] for r in servers.fault.requests("/file/%s/" % unique)}
    assert asked == {expected}


@pytest.mark.parametrize("arm64_key", [False, True], ids=["three-keys", "arm64-key-after"])
def test_manifest_without_the_32bit_tls_key(target, servers, unique, arm64_key):
    """Read only after the four, the ARM64 key changes nothing here: the rounds, the log and
    the choice are those of a manifest without it."""
    keys = KEYS[:3] + ((ARM64_KEY,) if arm64_key else ())
    text = manifest_for(servers, unique, keys=keys, line_end="\n")
    # Where the missing key is this machine's, the rounds are paced: the short schedule's build.
    result, fetches = run_with_manifest(target, servers, unique, text,
                                        program="downloader-short-bounds")
    assert result.returncode == 0
    assert len(fetches) == 5
    expected = b"Failed to get URL_32BIT_SETUP_SSL." * 5
    if expected_key(target) == "URL_32BIT_SETUP_SSL":
        assert result.log == expected + b"Failed to get the url of setup."
        assert chosen_keys(servers, unique) == set()
    else:
        assert result.log == expected + LOG_NOT_STARTED
        assert chosen_keys(servers, unique) == {expected_key(target)}


def test_unreachable_manifest(target):
    temp = target.fresh_temp_dir()
    # The fetches are retried, paced, until the manifest phase's deadline: a tenth of the
    # product's in this build.
    result = target.run(["/URL:http://127.0.0.1:1/manifest.txt", "/PATH:C:\\App", "/VERYSILENT"],
                        temp, program="downloader-short-bounds")
    assert result.returncode == 0
    assert result.log == b"Failed to call getData()." * 5 + b"Failed to get the url of setup."


def test_manifest_over_https_from_nginx(target, servers, unique):
    servers.publish("%s.txt" % unique, manifest_for(servers, unique))
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + servers.nginx.https_url("/%s.txt" % unique), "/PATH:C:\\App",
                         "/SILENT"], temp)
    assert result.returncode == 0
    assert result.log == LOG_NOT_STARTED
    assert chosen_keys(servers, unique) == {expected_key(target)}


def test_malformed_utf8_address_is_not_downloaded(target, servers, unique):
    bad = servers.fault.url("/res/16/%s/bad\xe9.exe" % unique).encode("latin-1")
    lines = [b"%s=%s" % (key.encode(), bad) for key in KEYS]
    result, _ = run_with_manifest(target, servers, unique, b"\n".join(lines) + b"\n")
    assert result.returncode == 0
    assert result.log == b"Failed to get the url of setup."
    assert servers.fault.requests("/res/16/%s/" % unique) == []


def test_address_naming_no_file_writes_nothing(target, servers, unique):
    address = servers.fault.url("/res/16/%s/.." % unique)
    text = "".join("%s=%s\n" % (key, address) for key in KEYS)
    result, _ = run_with_manifest(target, servers, unique, text)
    assert result.returncode == 0
    assert result.log == b"Failed to call getFileSize():-1\n"
    assert servers.fault.requests("/res/16/%s/" % unique) == []


@pytest.mark.parametrize("ending", ["trunc", "cut"])
@pytest.mark.parametrize("broken_in", ["chosen-value", "first-key-name"])
def test_manifest_answer_that_ends_early_then_whole(target, servers, unique, broken_in, ending):
    """The first answer ends early, looking whole (trunc) or broken off by a reset (cut, which
    the fetch itself retries); either way the retry's text is read on its own."""
    chosen = expected_key(target)
    keys = (chosen,) + tuple(key for key in KEYS if key != chosen)
    text = manifest_for(servers, unique, keys=keys, comment=False)
    if broken_in == "chosen-value":
        cut = text.index("/%s.exe" % chosen) + 1
    else:
        cut = len("URL_6")
    first_missing = next(key for key in KEYS if key + "=" not in text[:cut])
    result, fetches = run_with_manifest(target, servers, unique, text,
                                        query="%s=0:%d:1" % (ending, cut))
    assert result.returncode == 0
    assert len(fetches) == 2
    missing = b"Failed to get %s." % first_missing.encode() if ending == "trunc" else b""
    assert result.log == missing + LOG_NOT_STARTED
    assert installer_paths(servers, unique) == {key_path(unique, chosen)}


@pytest.mark.parametrize("layout", ["byte-order-mark", "keys-inside-other-words"])
def test_manifest_layouts_that_are_read(target, servers, unique, layout):
    text = manifest_for(servers, unique, comment=False)
    if layout == "byte-order-mark":
        text = "\ufeff" + text
    else:
        decoy = servers.fault.url("/res/16/%s/decoy.exe" % unique)
        text = ("XURL_64BIT_SETUP=%s\n#URL_32BIT_SETUP=%s\n\tURL_64BIT_SETUP_SSL=%s\n"
                "OLD_URL_32BIT_SETUP_SSL=%s\n" % ((decoy,) * 4)) + text
    result, fetches = run_with_manifest(target, servers, unique, text.encode("utf-8"))
    assert result.returncode == 0
    assert len(fetches) == 1
    assert result.log == LOG_NOT_STARTED
    assert installer_paths(servers, unique) == {key_path(unique, expected_key(target))}


@pytest.mark.parametrize("control", ["\x00", "\t", "\u0085"], ids=["nul", "tab", "c1-nel"])
def test_address_with_a_control_character_is_refused(target, servers, unique, control):
    address = servers.fault.url("/res/16/%s/evil.bin%s/setup.exe" % (unique, control))
    # A NUL ends the search for keys: the chosen entry comes last.
    chosen = expected_key(target)
    text = "".join("%s=http://127.0.0.1:1/x.exe\n" % key for key in KEYS if key != chosen)
    text += "%s=%s\n" % (chosen, address)
    result, _ = run_with_manifest(target, servers, unique, text.encode("utf-8"))
    assert result.returncode == 0
    assert result.log == LOG_NO_URL
    assert servers.fault.requests("/res/16/%s/" % unique) == []


def test_address_beyond_the_basic_plane_is_sent_as_written(target, servers, unique):
    path = "/res/16/%s/\U0001F600.exe" % unique
    text = "".join("%s=%s\n" % (key, servers.fault.url(path)) for key in KEYS)
    result, _ = run_with_manifest(target, servers, unique, text.encode("utf-8"))
    assert result.returncode == 0
    assert result.log == LOG_NOT_STARTED
    assert installer_paths(servers, unique) == {path.encode("utf-8")}


@pytest.mark.parametrize("name", ["COM\u00b9.exe", "lpt%C2%B3", "CONOUT$.log", "NUL .txt",
                                  "x%5C..%5Csetup.exe", "%2E%2E"],
                         ids=["com-superscript", "lpt-escaped-superscript", "conout", "nul-blank",
                              "escaped-backslashes", "escaped-dots"])
def test_installer_names_that_are_refused(target, servers, unique, name):
    address = servers.fault.url("/res/16/%s/%s" % (unique, name))
    text = "".join("%s=%s\n" % (key, address) for key in KEYS)
    result, _ = run_with_manifest(target, servers, unique, text.encode("utf-8"))
    assert result.returncode == 0
    assert result.log == b"Failed to call getFileSize():-1\n"
    assert servers.fault.requests("/res/16/%s/" % unique) == []
