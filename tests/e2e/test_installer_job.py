"""The whole job through wizard-host: download with progress, silent run with heartbeat,
clean-up, and what the host is told."""

import os
import re
from urllib.parse import quote

import pytest

from targets import read_record

KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")
LOG_NOT_STARTED = b"Failed to start the setup file.\n"


def publish_job(target, servers, unique, installer_address):
    """A manifest naming the same installer for every machine; returns its address."""
    text = "".join("%s=%s\r\n" % (key, installer_address) for key in KEYS)
    servers.publish("%s/manifest.txt" % unique, text)
    return servers.nginx.http_url("/%s/manifest.txt" % unique)


def publish_installer(target, servers, unique, name="setup"):
    file_name = name + target.exe_suffix
    servers.publish_copy("%s/%s" % (unique, file_name), target.installer_binary())
    return file_name, os.path.getsize(target.installer_binary())


def target_directory(target, unique, sleep_ms=None):
    """The directory given with /PATH:, where the test installer writes its record."""
    directory = os.path.join(target.work, "Program Files", unique)
    os.makedirs(directory, exist_ok=True)
    if sleep_ms is not None:
        with open(os.path.join(directory, "sleep-ms"), "w") as f:
            f.write(str(sleep_ms))
    return directory


def prepare_job(target, servers, unique, sleep_ms=None):
    """The real test installer behind a manifest on nginx: (manifest address, target directory,
    installer length)."""
    file_name, length = publish_installer(target, servers, unique)
    manifest = publish_job(target, servers, unique,
                           servers.nginx.http_url("/%s/%s" % (unique, file_name)))
    return manifest, target_directory(target, unique, sleep_ms), length


def run_job_from(target, servers, unique, address, program="downloader"):
    """Runs the job through wizard-host for an installer at `address`: (result, target
    directory, temporary directory). Failing jobs run `downloader-short-bounds`, whose retries
    wait a tenth of the product's."""
    manifest = publish_job(target, servers, unique, address)
    directory = target_directory(target, unique)
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                         "/SILENT"], temp, host_args=[], program=program)
    return result, directory, temp


def split_messages(messages, user_message):
    progress = [m for m in messages if m[0] == user_message]
    other = [m for m in messages if m[0] != user_message]
    return progress, other


def assert_protocol(messages, user_message, length, min_heartbeats, max_heartbeats=None):
    """Progress up to the length, one download-complete, then numbered heartbeats."""
    progress, _ = split_messages(messages, user_message)
    assert progress, "no progress message"
    assert all(wparam == length for _, wparam, _ in progress)
    done = [lparam for _, _, lparam in progress]
    assert done == sorted(done)
    assert done[-1] == length
    last_progress = max(i for i, m in enumerate(messages) if m[0] == user_message)
    after = messages[last_progress + 1:]
    assert all(m[0] == user_message + 1 for m in after)
    assert after[0] == (user_message + 1, 100, 0)
    heartbeats = after[1:]
    assert [m[1] for m in heartbeats] == [40] * len(heartbeats)
    assert [m[2] for m in heartbeats] == list(range(1, len(heartbeats) + 1))
    assert len(heartbeats) >= min_heartbeats
    if max_heartbeats is not None:
        assert len(heartbeats) <= max_heartbeats


@pytest.mark.parametrize("scheme", ["http", "https"])
def test_successful_job(target, servers, unique, scheme):
    file_name, length = publish_installer(target, servers, unique)
    base = servers.nginx.https_url if scheme == "https" else servers.nginx.http_url
    manifest = publish_job(target, servers, unique, base("/%s/%s" % (unique, file_name)))
    directory = target_directory(target, unique, sleep_ms=1200)
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                         "/LANG:en", "/VERYSILENT"], temp, host_args=[])
    assert result.returncode == 0, result.stderr
    assert result.log is None
    # Natively the installer starts at once: 1.2 s of running gives exactly two heartbeats.
    # Under Wine its start-up adds to the time it runs.
    assert_protocol(result.messages, 1024, length, min_heartbeats=2,
                    max_heartbeats=2 if target.name == "native" else None)
    record = read_record(directory)
    assert record[1:] == ["/VERYSILENT", "/DIR=" + target.windows_path(directory), "/LANG=en"]
    assert_in_private_folder(target, record[0], temp, file_name)
    assert os.listdir(temp) == []
    assert_trace_of_whole_job(result.trace, length)


def assert_trace_of_whole_job(trace, length):
    """The support trace of a job that installed: the build and system first, then the
    manifest's and the length's requests, every range from the workers, the installer's start
    and exit, and the run's result last, each line with its time and thread."""
    assert trace is not None, "no support trace"
    text = trace.decode("ascii")
    lines = text.splitlines()
    assert re.match(r" *\d+ ms t0 run start: commit=[0-9a-f]+ build=\"plain ", lines[0]), lines[0]
    assert re.match(r" *\d+ ms t0 system: version=\"(Windows|Linux) ", lines[1]), lines[1]
    for expected in (r"t0 request: kind=manifest .* status=200 .*ended=complete",
                     r"t0 request: kind=length .* status=200 .*ended=complete",
                     r"t0 download: length=%d " % length,
                     r"t0 free space: free_bytes=\d+ needed_bytes=%d verdict=enough" % length,
                     r"t0 installer: verdict=started",
                     r"t0 installer: verdict=ended exit_code=0 ran_ms=\d+"):
        assert re.search(expected, text), (expected, text)
    ranges = re.findall(r" t([1-9]\d*) request: kind=range .* status=206 bytes=(\d+) ", text)
    assert ranges and sum(int(done) for _, done in ranges) >= length, text
    assert re.match(r" *\d+ ms t0 run end: result=0 ", lines[-1]), lines[-1]


def assert_in_private_folder(target, installer_path, temp, file_name):
    """The installer ran under its own name from a folder of the run's own in `temp`."""
    folder, name = target.path.split(installer_path)
    parent, folder_name = target.path.split(folder)
    assert name == file_name
    assert parent == target.windows_path(temp)
    assert re.fullmatch(r"downloader-[0-9a-f]{32}", folder_name), folder_name


# A number beyond the signed 32-bit range is clamped to its largest value.
@pytest.mark.parametrize("given,user_message", [("2000", 2000), ("4294967295", 2147483647)])
def test_window_found_by_class_and_title(target, servers, unique, given, user_message):
    manifest, directory, length = prepare_job(target, servers, unique)
    result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                         "/SILENT", "/USERMSG:" + given], target.fresh_temp_dir(),
                        host_args=["--no-hwnd", "--usermsg", str(user_message)])
    assert result.returncode == 0
    if user_message > 0x7FFF and target.name != "native":
        # wizard-host on Windows records only its private range, WM_USER to 0x7FFF.
        assert result.messages == []
    else:
        assert_protocol(result.messages, user_message, length, min_heartbeats=0)
    assert read_record(directory)[1] == "/SILENT"


def test_given_window_is_used_without_a_search(target, servers, unique):
    manifest, directory, length = prepare_job(target, servers, unique)
    # A window the search would never find: only the handle on the command line reaches it.
    result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                         "/SILENT"], target.fresh_temp_dir(),
                        host_args=["--class", "OtherClass", "--title", "Other title"])
    assert result.returncode == 0
    assert_protocol(result.messages, 1024, length, min_heartbeats=0)


def test_no_window_found_no_messages(target, servers, unique):
    manifest, directory, _ = prepare_job(target, servers, unique)
    result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                         "/SILENT"], target.fresh_temp_dir(),
                        host_args=["--no-hwnd", "--class", "OtherClass"])
    assert result.returncode == 0
    assert result.messages == []
    assert read_record(directory) is not None


@pytest.mark.parametrize("failure", ["dead-port", "length-0"])
def test_failed_download(target, servers, unique, failure):
    if failure == "dead-port":
        address = "http://127.0.0.1:1/%s/setup.exe" % unique
        expected_log = b"Failed to call getFileSize():7\n" * 5 + b"Failed to call getFileSize():-2\n"
    else:
        address = servers.fault.url("/res/5000/%s/setup.exe?length0=1" % unique)
        expected_log = b"Failed to call getFileSize():-2\n"
    result, directory, temp = run_job_from(target, servers, unique, address,
                                           "downloader-short-bounds")
    assert result.returncode == 0
    assert result.messages == []
    assert result.log == expected_log
    assert sorted(os.listdir(temp)) == ["downloader_log.txt"]
    assert read_record(directory) is None


def test_incomplete_download_is_deleted_and_never_run(target, servers, unique):
    file_name, length = publish_installer(target, servers, unique)
    # Every answer stops 100 bytes short: each range gets all but its last 100 bytes.
    address = servers.fault.url("/file/%s/%s?short=100" % (unique, file_name))
    result, directory, temp = run_job_from(target, servers, unique, address,
                                           "downloader-short-bounds")
    assert result.returncode == 0
    assert result.log == b"Failed to call getFileSize():-4\n"
    assert all(m[0] == 1024 for m in result.messages)
    assert sorted(os.listdir(temp)) == ["downloader_log.txt"]
    assert read_record(directory) is None


def test_installer_that_cannot_start(target, servers, unique):
    servers.publish("%s/setup%s" % (unique, target.exe_suffix), b"this is not a program\n" * 100)
    manifest = publish_job(target, servers, unique,
                           servers.nginx.http_url("/%s/setup%s" % (unique, target.exe_suffix)))
    directory = target_directory(target, unique)
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + manifest, "/PATH:" + target.windows_path(directory),
                         "/SILENT"], temp, host_args=[])
    assert result.returncode == 0
    assert result.log == LOG_NOT_STARTED
    length = 22 * 100
    progress, other = split_messages(result.messages, 1024)
    assert progress and progress[-1] == (1024, length, length)
    assert other == [(1025, 100, 0)]
    assert os.listdir(temp) == ["downloader_log.txt"]


def test_directory_ending_in_a_backslash_and_language_with_a_blank(target, servers, unique):
    manifest, directory, _ = prepare_job(target, servers, unique)
    given = target.windows_path(directory) + "\\"
    temp = target.fresh_temp_dir()
    result = target.run(["/URL:" + manifest, "/PATH:" + given, "/LANG:pt BR", "/SILENT"], temp,
                        host_args=[])
    assert result.returncode == 0
    assert result.log is None
    # On Linux the backslash is part of a name: the record lands beside the directory.
    if target.name == "native":
        record = read_record(os.path.dirname(directory),
                             os.path.basename(directory) + "\\install-record.txt")
    else:
        record = read_record(directory)
    assert record[1:] == ["/SILENT", "/DIR=" + given, "/LANG=pt BR"]
    assert_in_private_folder(target, record[0], temp, "setup" + target.exe_suffix)


def test_escaped_installer_name_is_saved_decoded(target, servers, unique):
    name = "\u65e5 Setup" + target.exe_suffix
    servers.publish_copy("%s/%s" % (unique, name), target.installer_binary())
    address = servers.nginx.http_url("/%s/%s" % (unique, quote(name)))
    result, directory, temp = run_job_from(target, servers, unique, address)
    assert result.returncode == 0
    assert result.log is None
    assert_in_private_folder(target, read_record(directory)[0], temp, name)
    assert os.listdir(temp) == []


def test_progress_of_a_large_download_is_thinned(target, servers, unique):
    length = 64 * 1024 * 1024
    path = servers.publish("%s/setup%s" % (unique, target.exe_suffix), b"\xA5" * length)
    try:
        result, _, temp = run_job_from(
            target, servers, unique,
            servers.nginx.http_url("/%s/setup%s" % (unique, target.exe_suffix)))
    finally:
        os.remove(path)
    assert result.returncode == 0
    assert result.log == LOG_NOT_STARTED
    progress, other = split_messages(result.messages, 1024)
    # One block of about 16 KiB each would be 4,096 messages.
    assert 1 <= len(progress) <= 2100, len(progress)
    done = [lparam for _, _, lparam in progress]
    assert done == sorted(done) and all(m[1] == length for m in progress)
    assert progress[-1] == (1024, length, length)
    assert other == [(1025, 100, 0)] and result.messages[-1] == (1025, 100, 0)
    assert os.listdir(temp) == ["downloader_log.txt"]
