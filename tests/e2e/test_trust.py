"""What may run: signed manifests (downloader-signed trusts tests/keys/test-signing-key),
installer digests, the run's private folder, and the log that follows no link."""

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import threading

import pytest

from targets import REPO, read_record
from test_installer_job import (assert_in_private_folder, assert_protocol, publish_installer,
                                split_messages, target_directory)

KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")
KEY_DIR = os.path.join(REPO, "tests", "keys")
HERE = os.path.dirname(os.path.abspath(__file__))
SIGNED = "downloader-signed"
REJECTED_LOG = b"Failed to call getFileSize():-5\n"
UNVERIFIED_LOG = b"Failed to verify the setup manifest." * 5 + b"Failed to get the url of setup."


def signature_line(text, key="test-signing-key"):
    """The signature line over `text`, made with openssl as a vendor would."""
    with tempfile.NamedTemporaryFile() as data:
        data.write(text)
        data.flush()
        signature = subprocess.run(
            ["openssl", "pkeyutl", "-sign", "-rawin", "-inkey",
             os.path.join(KEY_DIR, key + ".pem"), "-in", data.name],
            capture_output=True, check=True).stdout
    return b"SIGNATURE_ED25519=" + base64.b64encode(signature) + b"\r\n"


def manifest_text(address, digest=None):
    lines = ["%s=%s" % (key, address) for key in KEYS]
    if digest is not None:
        lines += ["SHA256_%s=%s" % (key[len("URL_"):], digest) for key in KEYS]
    return ("\r\n".join(lines) + "\r\n").encode()


def signed(text, key="test-signing-key"):
    return text + signature_line(text, key)


def installer_digest(target):
    with open(target.installer_binary(), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def run_job(target, servers, unique, manifest, program, temp=None, query=""):
    """Publishes the test installer (served by the fault server, with `query` faults) behind
    the manifest that `manifest(address)` makes, and runs the job through wizard-host."""
    file_name, length = publish_installer(target, servers, unique)
    address = servers.fault.url("/file/%s/%s%s" % (unique, file_name, query))
    servers.publish("%s/manifest.txt" % unique, manifest(address))
    directory = target_directory(target, unique)
    temp = temp or target.fresh_temp_dir()
    result = target.run(["/URL:" + servers.fault.url("/file/%s/manifest.txt" % unique),
                         "/PATH:" + target.windows_path(directory), "/SILENT"], temp,
                        host_args=[], program=program)
    return result, directory, temp, file_name, length


@pytest.fixture
def signed_build(target):
    if not os.path.exists(target.binary(SIGNED)):
        pytest.fail("%s is not built" % target.binary(SIGNED))


@pytest.mark.parametrize("case", ["signed-lower-case-digest", "signed-upper-case-digest",
                                  "unsigned-build-with-digest"])
def test_verified_installer_runs(target, servers, unique, signed_build, case):
    digest = installer_digest(target)
    if case == "signed-upper-case-digest":
        digest = digest.upper()
    program = "downloader" if case.startswith("unsigned") else SIGNED
    make = (lambda a: manifest_text(a, digest)) if program == "downloader" else (
        lambda a: signed(manifest_text(a, digest)))
    result, directory, temp, file_name, length = run_job(target, servers, unique, make, program)
    assert result.returncode == 0, result.stderr
    assert result.log is None
    assert_protocol(result.messages, 1024, length, min_heartbeats=0)
    record = read_record(directory)
    assert record is not None and record[1] == "/SILENT"
    assert_in_private_folder(target, record[0], temp, file_name)
    assert os.listdir(temp) == []


def flip_byte(text, index):
    return text[:index] + bytes([text[index] ^ 0x01]) + text[index + 1:]


# What a keyed build is served, and what it must log. Each row fails every one of the five
# attempts; nothing is downloaded.
UNVERIFIED_MANIFESTS = {
    "flipped-byte": (lambda t: flip_byte(signed(t), 20), UNVERIFIED_LOG),
    "other-key": (lambda t: signed(t, "test-other-key"), UNVERIFIED_LOG),
    "unsigned": (lambda t: t, UNVERIFIED_LOG),
    "broken-signature": (lambda t: t + b"SIGNATURE_ED25519=AAAA\r\n", UNVERIFIED_LOG),
    # Only what comes before the signature line is read.
    "entries-after-the-signature": (
        lambda t: signed(b"# velmora\r\n") + t,
        b"Failed to get URL_64BIT_SETUP." * 5 + b"Failed to get the url of setup."),
}


@pytest.mark.parametrize("case", sorted(UNVERIFIED_MANIFESTS))
def test_unverified_manifest_fails_every_attempt(target, servers, unique, signed_build, case):
    make, expected_log = UNVERIFIED_MANIFESTS[case]
    digest = installer_digest(target)
    result, directory, temp, file_name, _ = run_job(
        target, servers, unique, lambda a: make(manifest_text(a, digest)), SIGNED)
    assert result.returncode == 0
    assert result.log == expected_log
    assert len(servers.fault.requests("/file/%s/manifest.txt" % unique)) == 5
    assert servers.fault.requests("/file/%s/%s" % (unique, file_name)) == []
    assert result.messages == []
    assert read_record(directory) is None


# (program, digest entry: "right", "wrong", "malformed" or None, fault query, downloaded)
REJECTED_INSTALLERS = {
    "flipped-installer-byte": (SIGNED, "right", "?flip=1000", True),
    "wrong-digest": ("downloader", "wrong", "", True),
    "wrong-digest-signed": (SIGNED, "wrong", "", True),
    "malformed-digest": ("downloader", "malformed", "", False),
    "missing-digest-with-keys": (SIGNED, None, "", False),
}


@pytest.mark.parametrize("case", sorted(REJECTED_INSTALLERS))
def test_rejected_installer_never_runs(target, servers, unique, signed_build, case):
    program, entry, query, downloaded = REJECTED_INSTALLERS[case]
    digest = {"right": installer_digest(target), "wrong": hashlib.sha256(b"other").hexdigest(),
              "malformed": installer_digest(target)[:63] + "g", None: None}[entry]

    def make(address):
        text = manifest_text(address, digest)
        return signed(text) if program == SIGNED else text

    result, directory, temp, file_name, length = run_job(target, servers, unique, make, program,
                                                         query=query)
    assert result.returncode == 0
    assert result.log == REJECTED_LOG
    progress, other = split_messages(result.messages, 1024)
    assert other == []  # no download-complete, no heartbeat
    assert bool(progress) == downloaded
    assert read_record(directory) is None
    assert sorted(os.listdir(temp)) == ["downloader_log.txt"]


def plant(kind, path, outside):
    """Puts a file, a symbolic link to `outside` or a FIFO at `path`; returns how to see it."""
    if kind == "file":
        with open(path, "wb") as f:
            f.write(b"the user's own setup\n")
    elif kind == "symlink":
        os.symlink(outside, path)
    else:
        os.mkfifo(path)


def planted_state(path, outside):
    status = os.lstat(path)
    content = None
    if os.path.islink(path):
        content = os.readlink(path)
    elif os.path.isfile(path):
        with open(path, "rb") as f:
            content = f.read()
    with open(outside, "rb") as f:
        outside_content = f.read()
    return (status.st_mode, status.st_mtime_ns, content, outside_content,
            os.stat(outside).st_mode)


@pytest.mark.parametrize("kind", ["file", "symlink", "fifo"])
def test_names_already_in_the_temporary_directory_are_untouched(target, servers, unique, kind):
    temp = target.fresh_temp_dir()
    file_name = "setup" + target.exe_suffix
    outside = os.path.join(target.work, unique + "-outside")
    with open(outside, "wb") as f:
        f.write(b"another file\n")
    os.chmod(outside, 0o644)
    planted = os.path.join(temp, file_name)
    plant(kind, planted, outside)
    before = planted_state(planted, outside)
    result, directory, _, _, _ = run_job(target, servers, unique, manifest_text, "downloader",
                                         temp=temp)
    assert result.returncode == 0
    assert result.log is None
    record = read_record(directory)
    assert record is not None
    assert_in_private_folder(target, record[0], temp, file_name)
    assert planted_state(planted, outside) == before
    assert os.listdir(temp) == [file_name]


def test_two_downloaders_at_once_in_one_temporary_directory(target, servers, unique):
    file_name, length = publish_installer(target, servers, unique)
    manifest = "%s/manifest.txt" % unique
    servers.publish(manifest, manifest_text(servers.nginx.http_url("/%s/%s" % (unique, file_name))))
    temp = target.fresh_temp_dir()
    runs = []
    for index in range(2):
        # Each installer runs long enough for the other download to finish meanwhile.
        directory = target_directory(target, "%s-%d" % (unique, index), sleep_ms=1500)
        runs.append((directory, ["/URL:" + servers.nginx.http_url("/" + manifest),
                                 "/PATH:" + target.windows_path(directory), "/SILENT"]))
    results = [None, None]

    def run(index):
        results[index] = target.run(runs[index][1], temp, host_args=[])

    threads = [threading.Thread(target=run, args=(index,)) for index in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    folders = set()
    for result, (directory, _) in zip(results, runs):
        assert result.returncode == 0
        assert_protocol(result.messages, 1024, length, min_heartbeats=1)
        record = read_record(directory)
        assert record is not None
        assert_in_private_folder(target, record[0], temp, file_name)
        folders.add(record[0])
    assert len(folders) == 2
    assert os.listdir(temp) == []


@pytest.mark.parametrize("kind", ["symlink", "hardlink", "fifo"])
def test_log_is_never_written_through_a_link(target, kind):
    if target.name != "native":
        pytest.skip("Linux links and FIFOs: the Windows side is checked on the handle")
    temp = target.fresh_temp_dir()
    log = os.path.join(temp, "downloader_log.txt")
    outside = os.path.join(target.work, "log-outside-%s" % kind)
    with open(outside, "wb") as f:
        f.write(b"not a log\n")
    if kind == "symlink":
        os.symlink(outside, log)
    elif kind == "hardlink":
        os.link(outside, log)
    else:
        os.mkfifo(log)
    result = target.run(["/PATH:C:\\x"], temp, timeout=60)  # rejected: logs one line
    assert result.returncode == 0
    with open(outside, "rb") as f:
        assert f.read() == b"not a log\n"
    assert os.path.lexists(log)
    os.unlink(log)


# Alternate sources with digests: (program, the primary's fault query or "REFUSED", the
# mirrors' fault queries, the source that must download the file again alone: None, 0 for the
# primary, n for mirror n). Other bytes are one flipped byte at the start of the middle range,
# which the second source dealt ranges serves from the start.
MIRRORED_INSTALLERS = {
    "keyed-build-primary-refused": (SIGNED, "REFUSED", [""], None),
    "keyed-build-mirror-serving-other-bytes": (SIGNED, "", ["flip=MIDDLE"], 0),
    "plain-build-mirror-serving-other-bytes": ("downloader", "", ["flip=MIDDLE"], 0),
    # The refused primary is not asked again: the good mirror downloads it alone.
    "primary-refused-mirror-serving-other-bytes": (SIGNED, "REFUSED", ["", "flip=MIDDLE"], 1),
}


@pytest.mark.parametrize("case", sorted(MIRRORED_INSTALLERS))
def test_mirrored_installer_runs_only_when_it_matches(target, servers, unique, signed_build,
                                                      case):
    program, primary_query, mirror_queries, again = MIRRORED_INSTALLERS[case]
    digest = installer_digest(target)
    file_name, length = publish_installer(target, servers, unique)
    if primary_query == "REFUSED":
        primary = "http://127.0.0.1:1/%s/%s" % (unique, file_name)
    else:
        primary = servers.fault.url("/file/%s/%s?%s" % (unique, file_name, primary_query))
    text = manifest_text(primary, digest)
    paths = ["/file/%s/%s" % (unique, file_name)]
    for number, query in enumerate(mirror_queries, 1):
        servers.publish_copy("%s/mirror%d/%s" % (unique, number, file_name),
                             target.installer_binary())
        paths.append("/file/%s/mirror%d/%s" % (unique, number, file_name))
        mirror = servers.fault.url(
            "%s?%s" % (paths[-1], query.replace("MIDDLE", str(length // 3 + 10))))
        text += "".join("%s_MIRROR%d=%s\r\n" % (key, number, mirror) for key in KEYS).encode()
    servers.publish("%s/manifest.txt" % unique, signed(text) if program == SIGNED else text)
    directory = target_directory(target, unique)
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + servers.fault.url("/file/%s/manifest.txt" % unique),
                         "/PATH:" + target.windows_path(directory), "/SILENT"], temp,
                        host_args=[], program=program)
    assert result.returncode == 0, result.stderr
    assert result.log == (b"Failed to call getFileSize():7\n" if primary_query else None)
    assert_protocol(result.messages, 1024, length, min_heartbeats=0)
    record = read_record(directory)
    assert record is not None and record[1] == "/SILENT"
    assert_in_private_folder(target, record[0], temp, file_name)
    assert os.listdir(temp) == (["downloader_log.txt"] if result.log else [])
    requests = [servers.fault.requests(path) for path in paths]
    assert all(any(r["method"] == "GET" for r in mine) for mine in requests[1:])
    if again is not None:
        # Downloaded again from that source alone: its second length query, then nothing
        # from any other source.
        heads = [r for r in requests[again] if r["method"] == "HEAD"]
        assert len(heads) == 2, requests[again]
        assert all(r["time"] < heads[1]["time"] for i, mine in enumerate(requests)
                   if i != again for r in mine)


def test_keyed_build_reads_mirrors_only_from_the_signed_part(target, servers, unique,
                                                             signed_build):
    """An alternate appended after the signature line is never read: with the address answering
    404, nothing is downloaded from it."""
    file_name, _ = publish_installer(target, servers, unique)
    servers.publish_copy("%s/mirror/%s" % (unique, file_name), target.installer_binary())
    mirror = servers.fault.url("/file/%s/mirror/%s" % (unique, file_name))
    gone = servers.fault.url("/file/%s/%s?status=404" % (unique, file_name))
    text = signed(manifest_text(gone, installer_digest(target)))
    text += "".join("%s_MIRROR1=%s\r\n" % (key, mirror) for key in KEYS).encode()
    servers.publish("%s/manifest.txt" % unique, text)
    directory = target_directory(target, unique)
    result = target.run(["/URL:" + servers.fault.url("/file/%s/manifest.txt" % unique),
                         "/PATH:" + target.windows_path(directory), "/SILENT"],
                        target.fresh_temp_dir(), host_args=[], program=SIGNED)
    assert result.returncode == 0
    assert result.log == b"Failed to call getFileSize():-2\n"
    assert servers.fault.requests("/file/%s/mirror/" % unique) == []
    assert read_record(directory) is None


def read_probe(directory):
    """What the test installer's probe recorded: {NAME: result}."""
    with open(os.path.join(directory, "probe-record.txt"), encoding="utf-8") as f:
        return dict(line.split(" ", 1) for line in f.read().splitlines())


@pytest.mark.parametrize("program", ["downloader", SIGNED])
def test_folder_and_installer_cannot_be_changed_while_the_run_goes_on(target, servers, unique,
                                                                      signed_build, program):
    if target.name == "native":
        pytest.skip("share modes and access lists of Windows; natively another user's swap of "
                    "the folder is tried below")
    digest = installer_digest(target)
    directory = target_directory(target, unique)
    with open(os.path.join(directory, "probe"), "w") as f:
        f.write("1")

    def make(address):
        text = manifest_text(address, digest if program == SIGNED else None)
        return signed(text) if program == SIGNED else text

    result, directory, temp, file_name, _ = run_job(target, servers, unique, make, program)
    assert result.returncode == 0
    assert result.log is None
    record = read_record(directory)
    assert record is not None
    assert_in_private_folder(target, record[0], temp, file_name)
    probe = read_probe(directory)
    assert probe["RENAME-FOLDER"] != "0"
    assert probe["WRITE-INSTALLER"] != "0"
    assert probe["REPLACE-INSTALLER"] != "0"
    assert probe["DELETE-INSTALLER"] != "0"
    assert probe["USER"].startswith("S-1-5-")
    assert probe["USER"] not in probe["ACL"], probe["ACL"]
    assert os.listdir(temp) == []


OTHER_USER = 65534  # nobody: any account but root's serves
SWAPS = 10


@pytest.mark.parametrize("program", ["downloader", SIGNED])
@pytest.mark.parametrize("kind", ["program", "fifo"])
def test_another_user_swapping_the_working_folder_gets_nothing_run(target, servers, unique,
                                                                   signed_build, program, kind):
    """A temporary directory that every user may write to, without the sticky bit: another user
    renames the run's folder aside as soon as it appears and puts its own there."""
    if target.name != "native":
        pytest.skip("Linux accounts and directory permissions")
    if os.geteuid() != 0:
        pytest.skip("starting the other user's process needs root")
    digest = installer_digest(target)
    file_name, _ = publish_installer(target, servers, unique)
    # Paced so that the swap always comes while the download is still going on.
    address = servers.fault.url("/file/%s/%s?slow=1000000" % (unique, file_name))
    text = manifest_text(address, digest if program == SIGNED else None)
    servers.publish("%s/manifest.txt" % unique, signed(text) if program == SIGNED else text)
    manifest = servers.fault.url("/file/%s/manifest.txt" % unique)
    with open(os.path.join(HERE, "folder_swapper.py")) as f:
        swapper_source = f.read()
    python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
    shared = tempfile.mkdtemp(prefix="e2e-shared-temp-")
    try:
        os.chmod(shared, 0o777)
        genuine = os.path.join(shared, "genuine")
        shutil.copyfile(target.installer_binary(), genuine)
        os.chmod(genuine, 0o644)
        for attempt in range(SWAPS):
            marker = os.path.join(shared, "ran-%d" % attempt)
            directory = target_directory(target, "%s-%d" % (unique, attempt))
            swapper = subprocess.Popen(
                [python, "-c", swapper_source, shared, file_name, kind, genuine, marker, "120"],
                user=OTHER_USER, group=OTHER_USER, extra_groups=[], cwd=shared,
                stdout=subprocess.PIPE, text=True)
            try:
                assert swapper.stdout.readline() == "ready\n"
                result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                                     "/SILENT"], shared, host_args=[], program=program)
            finally:
                swapper.kill()
                said = swapper.communicate()[0].split()
            assert result.returncode == 0
            assert "swapped" in said, attempt
            assert "fed" not in said, attempt
            assert not os.path.exists(marker), attempt
            # The genuine installer ran from the folder it was downloaded to; or, when the swap
            # came between the folder's creation and its opening, nothing ran at all.
            record = read_record(directory)
            if record is None:
                assert result.log == b"Failed to call getFileSize():-1\n"
            else:
                assert result.log is None
            for entry in os.listdir(shared):
                if entry != "genuine":
                    path = os.path.join(shared, entry)
                    shutil.rmtree(path) if os.path.isdir(path) else os.unlink(path)
    finally:
        shutil.rmtree(shared, ignore_errors=True)
