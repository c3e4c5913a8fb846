"""The whole job under injected faults: the fault rows, one run of a row, and the invariants
that every run must keep.

A run starts `wizard-host --record FILE -- downloader ...` against the fault server, with the
manifest and the installer served from the server's file root. The installer is the real
test-installer binary, padded with deterministic bytes to about 2 MB so that three ranges
and the faults inside them have room. While the job runs a watcher thread

  * checks every time it can read the installer file (in the run's own folder inside the
    temporary directory) that each
    byte is either still 0 (not written yet) or the resource's byte at that offset, so that
    an error page or a misplaced range is seen even though the file is deleted afterwards;
  * hashes the installer file once the test installer has written its record (it then
    sleeps, so the file is still there), which proves that what ran was the resource;
  * counts the open descriptors of the downloader process.

Used by test_fault_matrix.py (one test per row), soak.py and test_soak.py.
"""

import glob
import hashlib
import ntpath
import os
import posixpath
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.dirname(HERE)
for _path in (os.path.join(TESTS, "e2e"), os.path.join(TESTS, "servers")):
    if _path not in sys.path:
        sys.path.insert(0, _path)

from targets import (LOG_NAME, REPO, NativeTarget, WineTarget, read_messages,  # noqa: E402
                     read_record, take_trace)

USER_MESSAGE = 1024          # wizard-host's default, WM_USER
CACHE_NAME = "downloader-cache"  # where a failed download keeps what a later run resumes
COMPLETE_CODE = 100
HEARTBEAT_CODE = 40
KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")
RESOURCE_SIZE = 2 * 1024 * 1024 + 12345   # not a multiple of 3: the last range is longer
INSTALLER_SLEEP_MS = 700     # long enough for the watcher to hash the running installer
FSIZE_LIMIT = 256 * 1024     # above the log and the record, below the installer
WINE_BOUND_FACTOR = 3
MAX_DOWNLOADER_FDS = 24      # stdio, log, file, a few sockets; retries must not add to it
CHOSEN_PREFIX = b"URL_64BIT_SETUP_SSL=http://127.0.0.1:"
ERROR_PAGE = b"<html><body>Error %d</body></html>\n"
MANIFEST_CAP = 1024 * 1024

TIME = "/usr/bin/time"
LOG_GETDATA = b"Failed to call getData()."
LOG_NO_URL = b"Failed to get the url of setup."


def log_size(code):
    return b"Failed to call getFileSize():%d\n" % code


# ---------------------------------------------------------------------------------------------
# Targets


def native_target():
    return NativeTarget(os.path.join(REPO, "build", "native"))


def wine_build_dir():
    return os.path.join(REPO, "build", "windows")


def wine_targets():
    """The Wine targets named in E2E_TARGETS (the e2e tests' convention)."""
    return [name for name in os.environ.get("E2E_TARGETS", "native").split()
            if name.startswith("wine-")]


def wine_build_missing():
    return not os.path.exists(os.path.join(wine_build_dir(), "downloader.exe"))


def installer_bytes(binary):
    """The test installer followed by deterministic padding up to RESOURCE_SIZE."""
    with open(binary, "rb") as f:
        data = f.read()
    if len(data) >= RESOURCE_SIZE:
        return data
    padding = random.Random(20240601).randbytes(RESOURCE_SIZE - len(data))
    return data + padding


# ---------------------------------------------------------------------------------------------
# The rows


@dataclass
class Row:
    """One fault and what the whole job must do under it.

    `log` is the exact log text (None: no log file), or a callable(log bytes) -> bool where
    the number of failed attempts depends on when a timed outage ends. `total` is the wParam every progress
    message must carry: "installer" (the resource's length), or None: no progress at all
    (nothing of the body was ever accepted). `installer_query` may be a callable(ctx).
    `requests` checks the fault server's request log of the installer and the manifest
    (None: no check)."""

    name: str
    log: object
    ran: bool
    total: object = "installer"
    manifest_query: object = ""   # or callable(manifest bytes) -> query
    installer_query: str = ""
    manifest: str = "normal"      # normal | refused | oversize | bad-utf8 | bom | decoys
    installer: str = "served"     # served | refused | silent | raw (address from `address`)
    address: object = None        # callable(base_url) -> installer address, for "raw"
    file_name: object = None      # the name the downloader must use in the temp directory
    short_bounds: bool = False
    fsize_limit: int = None
    bound: float = 60.0           # seconds the whole job may take
    wine: bool = False            # also shown under Wine
    soak: bool = True             # cheap enough for the soak
    requests: object = None       # callable(ctx, manifest_requests, installer_requests)
    # A temporary directory on a volume of its own of this many KiB (native only), which a
    # file of `filler_kib` fills `filler_after` seconds after the start.
    volume_kib: int = None
    filler_kib: int = 0
    filler_after: float = 0.0
    # The installer's cache entry as an earlier deployment left it (another ETag): a partial file
    # of this many KiB and a record of it (or none: a run that could not save one), there when
    # the run starts (on the small volume).
    stale_entry_kib: int = 0
    stale_record: bool = True
    # Alternate sources named for every key (..._MIRROR1, ...): the installer's query at the
    # fault server's path <unique>/mirrorN/, or "LONGER" for a copy one byte longer.
    mirrors: tuple = ()
    # For a row that ends the run: the words (regular expressions) that the support trace must
    # hold, those a support engineer would search for to learn the cause.
    trace: tuple = ()


def ranged(requests):
    return [r for r in requests if r["method"] == "GET" and r["range"]]


def unranged(requests):
    return [r for r in requests if r["method"] == "GET" and not r["range"]]


def heads(requests):
    return [r for r in requests if r["method"] == "HEAD"]


def range_start(request):
    return int(request["range"].split("=", 1)[1].split("-", 1)[0])


def range_end(request):
    return int(request["range"].split("=", 1)[1].split("-", 1)[1])


def segment_bounds(length, count=3):
    size = length // count
    return [(i * size, length - 1 if i == count - 1 else (i + 1) * size - 1) for i in range(count)]


def check_split_ranges(ctx, installer_requests, tries_from_start=1, resumed_within=None):
    """The three ranges, each asked for `tries_from_start` times from its first byte; every
    other GET is a piece of one of them that a finished worker took over, or (with
    `resumed_within`) the retry of a range broken off at most that many bytes in. No two
    of those start at the same byte: nothing is asked for twice after a split."""
    gets = ranged(installer_requests)
    assert unranged(installer_requests) == []
    assert len(heads(installer_requests)) == 1
    bounds = segment_bounds(ctx.length)
    starts = [range_start(r) for r in gets]
    for start, end in bounds:
        mine = [r for r in gets if start <= range_start(r) <= end]
        assert all(range_end(r) <= end for r in mine), mine
        first = [r for r in mine if range_start(r) == start]
        assert len(first) == tries_from_start, (start, len(first))
        assert range_end(first[0]) == end
        if resumed_within is not None:
            retries = [r for r in mine if start < range_start(r) <= start + resumed_within]
            assert len(retries) == 1, (start, retries)
    others = [s for s in starts if s not in [start for start, _ in bounds]]
    assert len(set(others)) == len(others), sorted(others)
    assert all(r["open"] <= 3 for r in gets), [r["open"] for r in gets]
    return gets


def check_plain_download(ctx, manifest_requests, installer_requests):
    assert len(manifest_requests) == 1
    check_split_ranges(ctx, installer_requests)


def check_dropped_ranges(ctx, manifest_requests, installer_requests):
    """The first GET of each range gets no answer at all; each range is asked for again."""
    check_split_ranges(ctx, installer_requests, tries_from_start=2)


def check_cut_each_range(ctx, manifest_requests, installer_requests):
    # The first answer of each range is cut after 1000 bytes; the retry asks for what is
    # missing, and nothing more.
    check_split_ranges(ctx, installer_requests, resumed_within=1000)


def check_slow_range_split(ctx, manifest_requests, installer_requests):
    """The slow third range was shared out: more GETs than ranges, never more than three
    connections at once (check_split_ranges)."""
    assert len(check_split_ranges(ctx, installer_requests)) > 3


def check_if_range(ctx, manifest_requests, installer_requests):
    gets = ranged(installer_requests)
    assert gets and all(r["if_range"] == '"v1"' for r in gets), gets[:3]


def check_no_surplus_read(ctx, manifest_requests, installer_requests):
    check_split_ranges(ctx, installer_requests)
    assert all(r["sent"] < 64 * 1024 * 1024 for r in ranged(installer_requests))


def check_ranges_retried(per_range, fewest=None):
    """Every range asked for `per_range` times from its first byte (nothing ever accepted);
    with `fewest`, from that many up to `per_range` times (the download's deadline may end the
    paced retries sooner)."""

    def check(ctx, manifest_requests, installer_requests):
        gets = ranged(installer_requests)
        assert unranged(installer_requests) == []
        assert len(heads(installer_requests)) == 1
        for start, end in segment_bounds(ctx.length):
            mine = [r for r in gets if range_start(r) == start]
            if fewest is None:
                assert len(mine) == per_range, (start, len(mine))
            else:
                assert fewest <= len(mine) <= per_range, (start, len(mine))
            assert all(range_end(r) == end for r in mine)
        assert len(gets) <= 3 * per_range

    return check


def check_drip(ctx, manifest_requests, installer_requests):
    """One byte per answer is no progress: at most ten requests per range."""
    gets = ranged(installer_requests)
    for start, end in segment_bounds(ctx.length):
        mine = [r for r in gets if start <= range_start(r) <= end]
        assert 1 <= len(mine) <= 10, (start, len(mine))


def check_short_bodies(short):
    """Every answer stops `short` bytes early: the first attempt of a range gets all but the
    last `short` bytes (which uses up no attempt), every later one asks for exactly those and
    gets nothing: up to ten failed attempts, paced, until the download's deadline."""

    def check(ctx, manifest_requests, installer_requests):
        gets = ranged(installer_requests)
        assert unranged(installer_requests) == []
        for start, end in segment_bounds(ctx.length):
            mine = [r for r in gets if start <= range_start(r) <= end]
            assert 7 <= len(mine) <= 11, (start, len(mine))
            assert range_start(mine[0]) == start
            assert all(range_start(r) == end - short + 1 for r in mine[1:])
            assert all(range_end(r) == end for r in mine)

    return check


# The product's first retry step: no wait before a retry is shorter than half of it.
FIRST_RANGE_STEP = 2.0


def check_whole_fallback(ctx, manifest_requests, installer_requests):
    """A 200 to a ranged request is an answer, not a failure: the whole-resource request
    follows the first ranged one without any retry wait."""
    gets = ranged(installer_requests)
    assert 1 <= len(gets) <= 3
    whole = unranged(installer_requests)
    assert len(whole) == 1
    assert len(heads(installer_requests)) == 1
    waited = whole[0]["time"] - min(r["time"] for r in gets)
    assert waited < FIRST_RANGE_STEP / 2, waited


def check_length_failures(count):
    def check(ctx, manifest_requests, installer_requests):
        assert len(heads(installer_requests)) == count
        assert [r for r in installer_requests if r["method"] == "GET"] == []

    return check


def check_no_length(ctx, manifest_requests, installer_requests):
    assert len(heads(installer_requests)) == 1
    assert [r for r in installer_requests if r["method"] == "GET"] == []


def check_untouched(ctx, manifest_requests, installer_requests):
    assert installer_requests == []


def check_manifest_fetches(count, fewest=None):
    """`count` manifest fetches; with `fewest`, from that many up to `count` (the phase's
    deadline may end the paced fetches sooner)."""
    def check(ctx, manifest_requests, installer_requests):
        if fewest is None:
            assert len(manifest_requests) == count
        else:
            assert fewest <= len(manifest_requests) <= count, len(manifest_requests)
        assert installer_requests == []

    return check


def check_paced(requests, first_wait, factor, cap):
    """Each wait between two requests at least half its step (the steps of `first_wait`
    seconds, growing by `factor` up to `cap`), less a little for the clocks' grain."""
    times = [r["time"] for r in requests]
    for retry, (before, after) in enumerate(zip(times, times[1:]), start=1):
        step = min(cap, first_wait * factor ** (retry - 1))
        assert after - before >= step / 2 - 0.02, (retry, after - before, step)


def check_manifest_outage(ctx, manifest_requests, installer_requests):
    """Short bounds' manifest steps (0.2 s, doubling up to 1.6 s); the installer as usual."""
    check_paced(manifest_requests, 0.2, 2, 1.6)
    check_plain_download(ctx, manifest_requests[-1:], installer_requests)


def check_retry_after(seconds):
    def check(ctx, manifest_requests, installer_requests):
        assert len(manifest_requests) == 2
        waited = manifest_requests[1]["time"] - manifest_requests[0]["time"]
        assert seconds - 1 <= waited <= seconds + 1, waited
        check_plain_download(ctx, manifest_requests[1:], installer_requests)

    return check


def check_length_outage(ctx, manifest_requests, installer_requests):
    """Short bounds' length steps (0.2 s, times 4 up to 2.6 s) between the HEADs."""
    check_paced(heads(installer_requests), 0.2, 4, 2.6)
    assert len(ranged(installer_requests)) >= 3


def check_bytes_sent_at_most(share):
    def check(ctx, manifest_requests, installer_requests):
        assert unranged(installer_requests) == []
        sent = sum(r["sent"] for r in ranged(installer_requests))
        assert sent <= share * ctx.length, (sent, ctx.length)

    return check


def failed_lines(line, fewest, most, then=b""):
    """A log of `line` from `fewest` to `most` times, followed by `then`."""
    def check(log):
        return log is not None and any(log == line * n + then for n in range(fewest, most + 1))

    return check


def check_stopped_after_failed_write(ctx, manifest_requests, installer_requests):
    assert len(heads(installer_requests)) == 1
    assert 1 <= len(ranged(installer_requests)) <= 3
    assert unranged(installer_requests) == []


def check_stopped_on_full_disk(ctx, manifest_requests, installer_requests):
    """No request after the write that found the disk full: the three ranges at most (none when
    the filler came before the free space was asked)."""
    assert len(heads(installer_requests)) == 1
    assert len(ranged(installer_requests)) <= 3
    assert unranged(installer_requests) == []


def sources_of(installer_requests):
    """The requests to the primary and to the mirrors."""
    mirror = [r for r in installer_requests if "/mirror" in r["path"]]
    return [r for r in installer_requests if r not in mirror], mirror


def check_mirror_took_over(ctx, manifest_requests, installer_requests):
    """The primary's length query failed: no range was asked of it; the mirror served them."""
    primary, mirror = sources_of(installer_requests)
    assert ranged(primary) == [] and unranged(primary) == [], primary
    check_split_ranges(ctx, mirror)


def check_mirror_unused(ctx, manifest_requests, installer_requests):
    """The mirror's length differs: its length query is all it was asked."""
    primary, mirror = sources_of(installer_requests)
    assert [r["method"] for r in mirror] == ["HEAD"], mirror
    check_split_ranges(ctx, primary)


def check_version_change_ends(ctx, manifest_requests, installer_requests):
    """Every range was asked for the first version; once an answer came from another one,
    no range is asked for again."""
    check_if_range(ctx, manifest_requests, installer_requests)
    assert len(ranged(installer_requests)) <= 5, len(ranged(installer_requests))
    assert unranged(installer_requests) == []


def check_both_sources_served(ctx, manifest_requests, installer_requests):
    primary, mirror = sources_of(installer_requests)
    assert ranged(primary) and ranged(mirror), (primary, mirror)
    assert unranged(installer_requests) == []
    assert len(ranged(primary)) + len(ranged(mirror)) >= 3


def _cut_query(length):
    return "cut=" + ",".join("%d:1000:1" % start for start, _ in segment_bounds(length))


def rows():
    """The fault matrix. Row order is the order of the report."""
    key_failures = b"Failed to get URL_64BIT_SETUP." * 5 + LOG_NO_URL
    getdata_failures = LOG_GETDATA * 5 + LOG_NO_URL
    out = [
        Row("no-fault", log=None, ran=True, wine=True, requests=check_plain_download),
        # Refused connections are retried, paced, until the phase's deadline (a tenth of the
        # product's with short bounds): the manifest's remaining fetches then fail at once.
        Row("manifest-refused", log=getdata_failures, ran=False, total=None, manifest="refused",
            short_bounds=True, wine=True, soak=False,
            trace=(r'kind=manifest .*ended="connection refused',
                   r'run end: result=0 cause="no installer address')),
        Row("installer-refused", log=log_size(7) * 5 + log_size(-2), ran=False, total=None,
            installer="refused", short_bounds=True, wine=True, soak=False,
            trace=(r'kind=length .*ended="connection refused', r'run end: result=-2 ')),
        Row("reset-in-each-range", log=None, ran=True, installer_query="CUT", wine=True,
            requests=check_cut_each_range),
        Row("stall-installer", log=log_size(-4), ran=False, total=None,
            installer_query="stall=8", short_bounds=True, bound=150.0, soak=False,
            requests=check_ranges_retried(10, fewest=3),
            trace=(r'kind=range .*ended="timed out',
                   r'given up: no real progress',
                   r'run end: result=-4 ')),
        Row("stall-manifest", log=getdata_failures, ran=False, total=None,
            manifest_query="stall=8", short_bounds=True, bound=150.0, soak=False,
            requests=check_manifest_fetches(25, fewest=4),
            trace=(r'kind=manifest .*ended="timed out',
                   r'phase=manifest verdict="phase deadline passed')),
        Row("200-for-ranges", log=None, ran=True, installer_query="ignore_range=1", wine=True,
            requests=check_whole_fallback),
        Row("wrong-content-range", log=log_size(-4), ran=False, total=None,
            installer_query="wrong_range=1", short_bounds=True, soak=False,
            requests=check_ranges_retried(10, fewest=6),
            trace=(r'Content-Range missing or not starting where asked',)),
        Row("no-length", log=log_size(-2), ran=False, total=None, installer_query="nolength=1",
            wine=True, requests=check_no_length,
            trace=(r'no usable length: the answer has no Content-Length', r'run end: result=-2 ')),
        Row("length-0", log=log_size(-2), ran=False, total=None, installer_query="length0=1",
            requests=check_no_length,
            trace=(r'no usable length: Content-Length is 0',)),
        # An error answer is a failed attempt: five fetches of five attempts each.
        Row("manifest-404", log=getdata_failures, ran=False, total=None,
            manifest_query="status=404", short_bounds=True, soak=False,
            requests=check_manifest_fetches(25, fewest=10),
            trace=(r'kind=manifest .*status=404 .*error status', r'retry wait: phase=manifest ')),
        Row("manifest-500", log=getdata_failures, ran=False, total=None,
            manifest_query="status=500", short_bounds=True, soak=False,
            requests=check_manifest_fetches(25, fewest=10),
            trace=(r'kind=manifest .*status=500 .*error status',)),
        # The length of an error page is no length: no ranged request follows.
        Row("installer-404", log=log_size(-2), ran=False, total=None,
            installer_query="status=404", wine=True, requests=check_no_length,
            trace=(r'kind=length .*status=404 .*error status',)),
        # A server in trouble is asked again, paced; a resource that is gone is not.
        Row("installer-500", log=log_size(22) * 5 + log_size(-2), ran=False, total=None,
            installer_query="status=500", short_bounds=True, soak=False,
            requests=check_length_failures(5),
            trace=(r'kind=length .*status=500 .*error status',
                   r'retry wait: phase="length query"')),
        Row("installer-410", log=log_size(-2), ran=False, total=None,
            installer_query="status=410", requests=check_no_length,
            trace=(r'kind=length .*status=410 ',)),
        # Redirections are not followed: a 302 gives no length, as a 404 does.
        Row("installer-302", log=log_size(-2), ran=False, total=None,
            installer_query="status=302", requests=check_no_length,
            trace=(r'kind=length .*status=302 ',)),
        Row("short-body", log=log_size(-4), ran=False, installer_query="short=100",
            short_bounds=True, soak=False, requests=check_short_bodies(100),
            trace=(r'answer ended before its declared length',)),
        Row("slow-server", log=None, ran=True, installer_query="slow=2000000",
            requests=check_plain_download),
        Row("manifest-over-1MiB", log=getdata_failures, ran=False, total=None,
            manifest="oversize", short_bounds=True, soak=False,
            requests=check_manifest_fetches(25, fewest=10),
            trace=(r'answer over 1 MiB',)),
        Row("manifest-invalid-utf8", log=LOG_NO_URL, ran=False, total=None, manifest="bad-utf8",
            requests=check_untouched,
            trace=(r'not UTF-8',)),
        Row("name-dot-dot", log=log_size(-1), ran=False, total=None, installer="raw",
            address=lambda base: base + "/..", requests=check_untouched,
            trace=(r'no usable file name',)),
        Row("name-backslashes", log=log_size(-1), ran=False, total=None, installer="raw",
            address=lambda base: base + "/..\\..\\setup", wine=True, requests=check_untouched,
            trace=(r'no usable file name',)),
        # Escapes are decoded before the name is checked: %2F is a slash, refused.
        Row("name-percent-2F", log=log_size(-1), ran=False, total=None, installer="raw",
            address=lambda base: base + "/x%2Fsetup", requests=check_untouched,
            trace=(r'no usable file name',)),
        Row("name-escaped-utf8", log=None, ran=True, installer="raw",
            address=lambda base: base + "/%E6%97%A5%20setup.exe", file_name="\u65e5 setup.exe",
            wine=True, requests=check_plain_download),
        Row("name-device-superscript", log=log_size(-1), ran=False, total=None,
            installer="raw", address=lambda base: base + "/COM\u00b9.exe", wine=True,
            requests=check_untouched,
            trace=(r'no usable file name',)),
        Row("address-control-character", log=LOG_NO_URL, ran=False, total=None,
            installer="raw", address=lambda base: base + "/evil.bin\t/setup",
            requests=check_untouched,
            trace=(r'control character',)),
        Row("manifest-byte-order-mark", log=None, ran=True, manifest="bom",
            requests=check_plain_download),
        Row("manifest-keys-inside-words", log=None, ran=True, manifest="decoys",
            requests=check_plain_download),
        # The first answer ends cleanly inside the chosen value; the retry is read on its own.
        Row("manifest-ends-early-in-chosen-value", log=b"Failed to get URL_32BIT_SETUP_SSL.",
            ran=True, manifest_query=lambda text: "trunc=0:%d:1" % (
                text.index(CHOSEN_PREFIX) + len(CHOSEN_PREFIX) + 2),
            requests=lambda c, m, i: check_plain_download(c, m[1:], i)),
        Row("manifest-reset-at-line-end", log=None, ran=True,
            manifest_query=lambda text: "cut=0:%d:1" % (text.index(b"\n") + 1),
            requests=lambda c, m, i: check_plain_download(c, m[1:], i)),
        # What a reset answer delivered is dropped before the fetch's own retry, whose text is
        # read on its own: inside a key or inside the chosen value, the job goes on as usual.
        Row("manifest-reset-in-first-key", log=None, ran=True,
            manifest_query="cut=0:10:1",
            requests=lambda c, m, i: check_plain_download(c, m[1:], i)),
        Row("manifest-reset-in-chosen-value", log=None, ran=True,
            manifest_query=lambda text: "cut=0:%d:1" % (
                text.index(CHOSEN_PREFIX) + len(CHOSEN_PREFIX) + 2),
            requests=lambda c, m, i: check_plain_download(c, m[1:], i)),
        Row("manifest-dropped-twice", log=None, ran=True, manifest_query="drop=0:2",
            short_bounds=True,
            requests=lambda c, m, i: check_plain_download(c, m[2:], i)),
        Row("installer-head-reset-twice", log=log_size(56) * 2, ran=True,
            installer_query="headfail=2", short_bounds=True,
            requests=lambda c, m, i: check_plain_download(c, m, i[2:])),
        Row("range-requests-dropped", log=None, ran=True, installer_query="DROP",
            requests=check_dropped_ranges),
        Row("200-for-ranges-longer-body", log=log_size(-4), ran=False,
            installer_query="ignore_range=1&over=100", requests=check_whole_fallback,
            trace=(r'200 with the whole file', r"answer longer than the file's length")),
        Row("full-disk", log=log_size(-4), ran=False, fsize_limit=FSIZE_LIMIT,
            requests=check_stopped_after_failed_write,
            trace=(r'write to the file failed',)),
        # The third range at 256 KiB/s, the others as fast as the server goes.
        Row("slow-third-range", log=None, ran=True, wine=True,
            installer_query=lambda ctx: "slow=262144&slow_start=%d" % segment_bounds(
                ctx.length)[2][0], requests=check_slow_range_split,
            # Shared out by a split, or (as Wine's timing may have it) asked for again.
            trace=(r"(split: from=\d+ owner_keeps_to=\d+ taker_gets_to=|renew: from=\d+ )",)),
        # Content-Range declares 64 KiB, the body is the whole range with filler after it.
        Row("declared-end-shorter-than-body", log=None, ran=True, wine=True,
            installer_query="short_declared=65536"),
        Row("ranges-capped-at-64KiB", log=None, ran=True, installer_query="range_cap=65536"),
        Row("unasked-gzip", log=log_size(-4), ran=False, total=None, installer_query="gzip=1",
            short_bounds=True, soak=False, requests=check_ranges_retried(10, fewest=6),
            trace=(r'compressed \(Content-Encoding\)',)),
        # The file is replaced during the download (ETag and Last-Modified change, the length
        # stays): an answer, not an outage, so the download ends without paced retries.
        Row("version-change-between-ranges", log=log_size(-4), ran=False,
            installer_query="etag=1&modified=1&version_after=2", short_bounds=True, soak=False,
            bound=5.0, requests=check_version_change_ends,
            trace=(r'another version of the file',)),
        # ... and from a server that answers such a range with the new version's whole body.
        Row("version-change-whole-answer", log=log_size(-4), ran=False,
            installer_query="etag=1&modified=1&version_after=2&if_range=1", short_bounds=True,
            soak=False, bound=5.0, requests=check_version_change_ends,
            trace=(r'another version of the file',)),
        Row("endless-surplus", log=None, ran=True, installer_query="endless=1",
            requests=check_no_surplus_read),
        # Alternate sources: the primary refuses, answers 503, or accepts and never answers;
        # the mirror serves everything within the transfer's time plus 10 s.
        Row("mirror-for-a-refused-primary", log=log_size(7), ran=True, installer="refused",
            mirrors=("",), bound=10.0, wine=True, requests=check_mirror_took_over),
        # A 503 to the length query is a failed attempt, logged with libcurl's code for an
        # error status; the mirror's answer follows at once.
        Row("mirror-for-a-503-primary", log=log_size(22), ran=True, installer_query="status=503",
            mirrors=("",), bound=10.0, requests=check_mirror_took_over,
            trace=(r"kind=length .*status=503 ", r"download: length=\d+ length_from_source=1 ")),
        Row("mirror-for-a-silent-primary", log=log_size(28), ran=True, installer="silent",
            mirrors=("",), bound=15.0, soak=False, requests=check_mirror_took_over),
        Row("mirror-of-another-length", log=None, ran=True, mirrors=("LONGER",),
            requests=check_mirror_unused),
        Row("two-healthy-sources", log=None, ran=True, mirrors=("slow=4000000",),
            installer_query="slow=4000000", requests=check_both_sources_served),
        # One source trickles at 1 KiB/s, the other is fast: the fast one takes the trickling
        # ranges over, so the run takes about what the fast source alone does.
        Row("trickling-mirror", log=None, ran=True, mirrors=("slow=1024",), bound=8.0,
            requests=check_both_sources_served),
        Row("trickling-primary", log=None, ran=True, installer_query="slow=1024",
            mirrors=("",), bound=8.0, requests=check_both_sources_served),
        Row("installer-gopher", log=log_size(1) * 5 + log_size(-2), ran=False, total=None,
            installer="raw", address=lambda base: base.replace("http:", "gopher:") + "/setup",
            requests=check_untouched,
            trace=(r'scheme not allowed \(only http and https\)',)),
        # Outages (short bounds: every wait and deadline a tenth of the product's). 4 s of 503
        # outlast the first fetch's five attempts (at most 3 s of waits), not the second's.
        Row("outage-503-manifest", log=LOG_GETDATA, ran=True, manifest_query="outage=4",
            short_bounds=True, soak=False, requests=check_manifest_outage),
        Row("outage-resets-manifest", log=LOG_GETDATA, ran=True,
            manifest_query="outage=4&outage_answer=reset", short_bounds=True, soak=False,
            requests=check_manifest_outage),
        Row("outage-resets-length-query", log=failed_lines(log_size(56), 3, 4), ran=True,
            installer_query="outage=2.5&outage_answer=reset", short_bounds=True, soak=False,
            requests=check_length_outage),
        # One second of resets 0.3 s into the ranges (each at 1 MB/s): what arrived is kept.
        Row("outage-resets-mid-download", log=None, ran=True,
            installer_query="slow=1000000&outage_at=0.3&outage=1&outage_answer=reset",
            short_bounds=True, soak=False, requests=check_bytes_sent_at_most(1.1)),
        # A server that sends one byte per ranged request and then resets: no attempt of it
        # counts as progress.
        Row("drip", log=log_size(-4), ran=False, installer_query="cut=*:1:100000",
            short_bounds=True, soak=False, requests=check_drip,
            trace=(r'connection reset', r'given up: no real progress')),
        # Not enough free space is said as such (-6), before any body is asked for; a disk that
        # fills during the download ends it at once, with the same code.
        Row("no-space", log=log_size(-6), ran=False, total=None, volume_kib=1024, soak=False,
            requests=check_no_length,
            trace=(r'not enough free space', r'run end: result=-6 ')),
        Row("disk-fills-during-download", log=log_size(-6), ran=False, volume_kib=3072,
            filler_kib=2048, filler_after=0.3, installer_query="slow=500000", soak=False,
            requests=check_stopped_on_full_disk,
            trace=(r'write: .*disk full', r'run end: result=-6 ')),
        # Too little room beside the earlier version's partial file, enough in its place: the
        # file is overwritten, as the stale entry is dropped.
        Row("stale-entry-on-small-volume", log=None, ran=True, installer_query="etag=file",
            volume_kib=3072, stale_entry_kib=2048, soak=False, requests=check_plain_download),
        Row("stale-entry-and-too-little-room", log=log_size(-6), ran=False, total=None,
            installer_query="etag=file", volume_kib=1536, stale_entry_kib=1024, soak=False,
            requests=check_no_length, trace=(r'not enough free space', r'run end: result=-6 ')),
        Row("partial-file-without-record-on-small-volume", log=None, ran=True,
            installer_query="etag=file", volume_kib=3072, stale_entry_kib=2048,
            stale_record=False, soak=False, requests=check_plain_download),
        # Retry-After is the server's and is not scaled: the second fetch comes 5 s later.
        Row("outage-retry-after-5", log=None, ran=True,
            manifest_query="outage=1&retry_after=5", short_bounds=True, soak=False,
            requests=check_retry_after(5),
            trace=(r"retry wait: phase=manifest .*retry_after_ms=5000 .*"
                   r"the server's Retry-After",)),
        # The product's own schedule, end to end, here and under Wine: 8 s of 503 with
        # Retry-After: 2 are outlasted within the first fetch.
        Row("outage-503-8s-product-schedule", log=None, ran=True,
            manifest_query="outage=8&retry_after=2", wine=True, soak=False,
            requests=lambda c, m, i: check_plain_download(c, m[-1:], i)),
    ]
    return out


ROWS = {row.name: row for row in rows()}


# ---------------------------------------------------------------------------------------------
# The environment: the fault server and its file root


class Environment:
    """What the runs share: the fault server (and its file root) and the target."""

    def __init__(self, fault, files, target):
        self.fault = fault
        self.files = files
        self.target = target
        self._installer = None

    @property
    def installer(self):
        if self._installer is None:
            self._installer = installer_bytes(self.target.installer_binary())
        return self._installer

    def publish(self, relative, data):
        path = os.path.join(self.files, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path


class SilentPort:
    """A socket that listens and never accepts: connections are made, nothing is answered."""

    def __enter__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        return self

    def __exit__(self, *exc):
        self.sock.close()


class RefusedPort:
    """A bound socket that never listens: connections to its port are refused."""

    def __enter__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        return self

    def __exit__(self, *exc):
        self.sock.close()


# ---------------------------------------------------------------------------------------------
# Watching a run


def process_children(pid):
    children = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                children.extend(int(p) for p in f.read().split())
    except OSError:
        pass
    return children


def count_fds(pid="self"):
    try:
        return len(os.listdir("/proc/%s/fd" % pid))
    except OSError:
        return None


def peak_rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        pass
    return 0


def process_name(pid):
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return ""


def wrong_bytes(data, expected):
    """Offsets where the file holds neither 0 (not yet written) nor the resource's byte."""
    block = 65536
    bad = []
    for offset in range(0, len(data), block):
        got = data[offset:offset + block]
        want = expected[offset:offset + block]
        if got == want[:len(got)] or not any(got):
            continue
        for i, byte in enumerate(got):
            if byte != 0 and (i >= len(want) or byte != want[i]):
                bad.append(offset + i)
                if len(bad) >= 8:
                    return bad
    return bad


class Watcher(threading.Thread):
    """`installer_pattern` is a glob: the installer lies in a folder the run names at random."""

    def __init__(self, installer_pattern, expected, record_path, host_pid=None):
        super().__init__(daemon=True)
        self.installer_pattern = installer_pattern
        self.expected = expected
        self.record_path = record_path
        self.host_pid = host_pid
        self.stop = threading.Event()
        self.violations = []         # (offset list) bytes that were neither 0 nor the resource
        self.longer_than_resource = False
        self.ran_digest = None        # sha256 of the installer file while it ran
        self.ran_seen = False
        self.samples = 0
        self.downloader_fds = 0      # the most descriptors the downloader held at once
        self.downloader_hwm_kib = 0  # its VmHWM as last seen (a lower bound of its peak)
        self.host_fds = 0

    def run(self):
        last_check = 0.0
        while not self.stop.is_set():
            self._count_descriptors()
            if not self.ran_seen and os.path.exists(self.record_path):
                self.ran_seen = True
                data = self._read()
                if data is not None:
                    self.ran_digest = hashlib.sha256(data).hexdigest()
            now = time.monotonic()
            if now - last_check >= 0.03:
                last_check = now
                data = self._read()
                if data is not None:
                    self.samples += 1
                    if len(data) > len(self.expected):
                        self.longer_than_resource = True
                    bad = wrong_bytes(data, self.expected)
                    if bad:
                        self.violations.append(bad)
            self.stop.wait(0.004)

    def _read(self):
        # The working folder's installer, or, while a download that may be resumed goes on,
        # its partial file in the download cache.
        cached = os.path.join(os.path.dirname(os.path.dirname(self.installer_pattern)),
                              CACHE_NAME, "*.part")
        for path in glob.glob(self.installer_pattern) + glob.glob(cached):
            try:
                with open(path, "rb") as f:
                    return f.read()
            except OSError:
                pass
        return None

    def _count_descriptors(self):
        if self.host_pid is None:
            return
        self.host_fds = max(self.host_fds, count_fds(self.host_pid) or 0)
        # The downloader is wizard-host's child, or its grandchild under a wrapper.
        level = process_children(self.host_pid)
        for _ in range(3):
            below = []
            for child in level:
                if process_name(child).startswith("downloader"):
                    self.downloader_fds = max(self.downloader_fds, count_fds(child) or 0)
                    self.downloader_hwm_kib = max(self.downloader_hwm_kib, peak_rss_kib(child))
                else:
                    below.extend(process_children(child))
            level = below


# ---------------------------------------------------------------------------------------------
# One run


@dataclass
class Outcome:
    row: str
    target: str
    returncode: int
    elapsed: float
    log: bytes
    messages: list
    temp_entries: list
    cache_entries: list
    root_entries: list
    target_entries: list
    record: list          # the installer's arguments, None when it did not run
    ran_digest: str
    violations: list
    longer_than_resource: bool
    downloader_fds: int
    host_fds: int
    downloader_hwm_kib: int
    downloader_maxrss_kib: int   # from /usr/bin/time when measured, else None
    trace: bytes = None          # the support trace the run wrote (taken out of its directory)
    manifest_requests: list = field(default_factory=list)
    installer_requests: list = field(default_factory=list)
    stderr: bytes = b""


class Context:
    """A row's addresses and files for one run."""

    def __init__(self, env, row, unique):
        self.env = env
        self.row = row
        self.unique = unique
        self.length = len(env.installer)
        self.file_name = row.file_name or ("setup" + env.target.exe_suffix)


def _kill_group(pid):
    try:
        os.killpg(pid, signal.SIGKILL)
    except OSError:
        pass


def _set_fsize(limit):
    def apply():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


# Runs the command with a tmpfs of $VOLUME_KIB KiB mounted on $TMPDIR in a mount namespace of
# its own, holding a copy of what $SEED holds (when named); a file of $FILLER_KIB KiB is written
# there $FILLER_AFTER seconds after the start.
# What the run leaves in the directory is copied to $KEEP, which outlives the namespace.
SMALL_VOLUME_SCRIPT = r"""
mount -t tmpfs -o size="${VOLUME_KIB}k" tmpfs "$TMPDIR" || exit 97
if [ -n "$SEED" ]; then
    cp -a "$SEED/." "$TMPDIR/" || exit 97
fi
if [ "$FILLER_KIB" -gt 0 ]; then
    (sleep "$FILLER_AFTER"; head -c "$((FILLER_KIB * 1024))" /dev/zero > "$TMPDIR/.filler") \
        2>/dev/null &
fi
"$@"
rc=$?
wait
rm -f "$TMPDIR/.filler"
cp -a "$TMPDIR/." "$KEEP/"
exit $rc
"""


def small_volume(row, keep, seed=""):
    """The command prefix and environment that give the run its small volume."""
    env = {"VOLUME_KIB": str(row.volume_kib), "FILLER_KIB": str(row.filler_kib),
           "FILLER_AFTER": str(row.filler_after), "KEEP": keep, "SEED": seed}
    return ["unshare", "-m", "sh", "-c", SMALL_VOLUME_SCRIPT, "small-volume"], env


def plant_stale_entry(ctx, temp):
    """The cache entry of the installer's address in `temp` as an earlier version left it:
    the same bytes, deployed again (another ETag)."""
    cache = os.path.join(temp, CACHE_NAME)
    os.makedirs(cache, 0o700)
    name = os.path.join(cache, hashlib.sha256(
        ("address " + ctx.installer_address).encode()).hexdigest()[:32])
    present = ctx.row.stale_entry_kib * 1024
    with open(name + ".part", "wb") as f:
        f.write(ctx.env.installer[:present])
    if not ctx.row.stale_record:
        return
    with open(name + ".rec", "w") as f:
        f.write("downloader-resume 1\nlength %d\nsource %s\netag \"earlier\"\nhave 0 %d\nend\n"
                % (ctx.length, ctx.installer_address, present - 1))


def run_native(target, program, args, temp, record, timeout, fsize_limit=None, wrapper=(),
               outer=(), outer_env=None):
    """Starts [outer...] wizard-host -- [wrapper...] program args in a session of its own
    (reap() waits for it); RLIMIT_FSIZE is set on wizard-host, whose children inherit it."""
    command = (list(outer) + [target.binary("wizard-host"), "--quiet", "--record", record, "--"]
               + list(wrapper) + [target.binary(program)] + list(args))
    env = dict(os.environ, TMPDIR=temp, **(outer_env or {}))
    stderr_file = tempfile.TemporaryFile()
    start = time.monotonic()
    process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=stderr_file,
                               start_new_session=True,
                               preexec_fn=_set_fsize(fsize_limit) if fsize_limit else None)
    return process, start, stderr_file


def reap(process, start, stderr_file, timeout):
    """Waits for the run; returns (returncode, elapsed, stderr). A run outliving `timeout` is
    killed with its whole process group and reported with returncode None."""
    try:
        process.wait(timeout=max(0.0, start + timeout - time.monotonic()))
        returncode = process.returncode
    except subprocess.TimeoutExpired:
        _kill_group(process.pid)
        process.wait()
        returncode = None
    elapsed = time.monotonic() - start
    _kill_group(process.pid)  # nothing of the run may outlive it
    stderr_file.seek(0)
    stderr = stderr_file.read()
    stderr_file.close()
    return returncode, elapsed, stderr


def read_time_report(path):
    """The peak RSS in KiB that /usr/bin/time -f %M wrote, or None."""
    try:
        with open(path) as f:
            return int(f.read().split()[-1])
    except (OSError, ValueError, IndexError):
        return None


def manifest_text(keys_address):
    return "".join("%s=%s\r\n" % (key, keys_address) for key in KEYS).encode()


def publish_mirrors(ctx, base):
    """The row's mirror copies of the installer; returns the manifest lines naming them."""
    lines = b""
    for number, query in enumerate(ctx.row.mirrors, 1):
        data = ctx.env.installer + (b"\0" if query == "LONGER" else b"")
        ctx.env.publish("%s/mirror%d/%s" % (ctx.unique, number, ctx.file_name), data)
        address = "%s/mirror%d/%s" % (base, number, ctx.file_name)
        if query and query != "LONGER":
            address += "?" + query
        lines += b"".join(b"%s_MIRROR%d=%s\r\n" % (key.encode(), number, address.encode())
                          for key in KEYS)
    return lines


def prepare(ctx, refused_port, silent_port=None):
    """Publishes the row's manifest and installer; returns the manifest address."""
    env, row, unique = ctx.env, ctx.row, ctx.unique
    base = env.fault.url("/file/%s" % unique)
    if row.installer in ("refused", "silent"):
        port = silent_port if row.installer == "silent" else refused_port
        address = "http://127.0.0.1:%d/%s/setup%s" % (port, unique, env.target.exe_suffix)
    elif row.installer == "raw":
        address = row.address(base)
    else:
        query = row.installer_query
        if callable(query):
            query = query(ctx)
        if query == "CUT":
            query = _cut_query(ctx.length)
        elif query == "DROP":
            query = "drop=" + ",".join("%d:1" % start for start, _ in segment_bounds(ctx.length))
        address = "%s/%s%s" % (base, ctx.file_name, "?" + query if query else "")
    ctx.installer_address = address
    env.publish("%s/%s" % (unique, ctx.file_name), env.installer)

    if row.manifest == "bad-utf8":
        bad = (address + "\xe9").encode("latin-1")
        text = b"".join(b"%s=%s\n" % (key.encode(), bad) for key in KEYS)
    else:
        text = manifest_text(address) + publish_mirrors(ctx, base)
    if row.manifest == "bom":
        text = b"\xef\xbb\xbf" + text
    elif row.manifest == "decoys":
        decoy = "http://127.0.0.1:%d/decoy.exe" % refused_port
        text = b"".join(b"X%s=%s\r\n" % (key.encode(), decoy.encode()) for key in KEYS) + text
    if row.manifest == "oversize":
        filler = b"# " + b"x" * 1021 + b"\r\n"      # 1 KiB comment lines
        text += filler * (MANIFEST_CAP // len(filler) + 64)
        assert len(text) > MANIFEST_CAP
    env.publish("%s/manifest.txt" % unique, text)
    if row.manifest == "refused":
        return "http://127.0.0.1:%d/%s/manifest.txt" % (refused_port, unique)
    query = row.manifest_query
    if callable(query):
        query = query(text)
    return env.fault.url("/file/%s/manifest.txt%s" % (unique, "?" + query if query else ""))


def run_row(env, row, unique, timeout_slack=60.0, valgrind=None, measure_memory=False):
    """Runs the whole job once under the row's fault and returns what it did.

    valgrind: a list of valgrind arguments to run the downloader under (native only).
    measure_memory: run the downloader under /usr/bin/time for its exact peak RSS."""
    target = env.target
    ctx = Context(env, row, unique)
    work_before = set(os.listdir(target.work))
    run_root = tempfile.mkdtemp(prefix="run-%s-" % unique[:40], dir=target.work)
    if isinstance(target, WineTarget):
        temp = target.fresh_temp_dir()  # the one the prefix's registry names
    else:
        temp = os.path.join(run_root, "tmp dir")  # a blank, as in "Jane Doe"
        os.makedirs(temp)
    directory = os.path.join(run_root, "Program Files", "App")
    os.makedirs(directory)
    with open(os.path.join(directory, "sleep-ms"), "w") as f:
        f.write(str(INSTALLER_SLEEP_MS))
    record = os.path.join(run_root, "messages.txt")
    installer_pattern = os.path.join(glob.escape(temp), "downloader-*", glob.escape(ctx.file_name))

    with RefusedPort() as refused, SilentPort() as silent:
        manifest = prepare(ctx, refused.port, silent.port)
        args = ["/URL:" + manifest, "/PATH:" + target.windows_path(directory), "/LANG:en",
                "/VERYSILENT"]
        timeout = bound_for(row, target) + timeout_slack
        watcher = None
        if isinstance(target, WineTarget):
            watcher = Watcher(installer_pattern, env.installer,
                              os.path.join(directory, "install-record.txt"))
            watcher.start()
            start = time.monotonic()
            try:
                result = target.run(args, temp, host_args=[], record=record, timeout=timeout,
                                    program="downloader-short-bounds" if row.short_bounds
                                    else "downloader")
                returncode, stderr, trace = result.returncode, result.stderr, result.trace
            except subprocess.TimeoutExpired:
                returncode, stderr, trace = None, b"", take_trace(temp)
            elapsed = time.monotonic() - start
            maxrss = None
        else:
            program = "downloader-short-bounds" if row.short_bounds else "downloader"
            wrapper = ()
            time_report = os.path.join(run_root, "time.txt")
            if valgrind is not None:
                wrapper = ["valgrind"] + list(valgrind)
            elif measure_memory and os.path.exists(TIME):
                wrapper = [TIME, "-f", "%M", "-o", time_report]
            outer, outer_env, keep, seed = (), None, None, ""
            if row.stale_entry_kib:
                seed = os.path.join(run_root, "seed")
                plant_stale_entry(ctx, seed)
            if row.volume_kib:
                keep = os.path.join(run_root, "kept")
                os.makedirs(keep)
                outer, outer_env = small_volume(row, keep, seed)
            process, start, stderr_file = run_native(target, program, args, temp, record,
                                                     timeout, row.fsize_limit, wrapper,
                                                     outer, outer_env)
            if row.volume_kib:
                # The small volume is seen through the mount namespace of the run.
                installer_pattern = "/proc/%d/root%s" % (process.pid, installer_pattern)
            watcher = Watcher(installer_pattern, env.installer,
                              os.path.join(directory, "install-record.txt"), process.pid)
            watcher.start()
            returncode, elapsed, stderr = reap(process, start, stderr_file, timeout)
            maxrss = read_time_report(time_report)
            if keep is not None:
                # What the run left on its volume takes the volume's place.
                for entry in os.listdir(keep):
                    shutil.move(os.path.join(keep, entry), temp)
                os.rmdir(keep)
            if seed:
                shutil.rmtree(seed)
            trace = take_trace(temp)
        watcher.stop.set()
        watcher.join()

    log_path = os.path.join(temp, LOG_NAME)
    log = open(log_path, "rb").read() if os.path.exists(log_path) else None
    fault = env.fault
    outcome = Outcome(
        row=row.name, target=target.name, returncode=returncode, elapsed=elapsed, log=log,
        messages=read_messages(record), temp_entries=sorted(os.listdir(temp)),
        cache_entries=sorted(os.listdir(os.path.join(temp, CACHE_NAME)))
        if os.path.isdir(os.path.join(temp, CACHE_NAME)) else [],
        root_entries=sorted(e for e in os.listdir(run_root) if e != "time.txt"),
        target_entries=sorted(os.listdir(directory)),
        record=read_record(directory), ran_digest=watcher.ran_digest,
        violations=watcher.violations, longer_than_resource=watcher.longer_than_resource,
        downloader_fds=watcher.downloader_fds, host_fds=watcher.host_fds,
        downloader_hwm_kib=watcher.downloader_hwm_kib, downloader_maxrss_kib=maxrss,
        trace=trace,
        manifest_requests=fault.requests("/file/%s/manifest.txt" % unique),
        installer_requests=[r for r in fault.requests("/file/%s/" % unique)
                            if not r["path"].endswith("/manifest.txt")],
        stderr=stderr)
    outcome.new_work_entries = sorted(set(os.listdir(target.work)) - work_before)
    outcome.run_root = os.path.basename(run_root)
    outcome.temp_windows_path = target.windows_path(temp)
    outcome.directory_windows_path = target.windows_path(directory)
    outcome.context = ctx
    shutil.rmtree(run_root, ignore_errors=True)
    shutil.rmtree(os.path.join(env.files, unique), ignore_errors=True)
    return outcome


# ---------------------------------------------------------------------------------------------
# The invariants


def bound_for(row, target):
    """The row's bound; Wine's start-up (and its emulation, on some machines) costs more."""
    return row.bound * (WINE_BOUND_FACTOR if isinstance(target, WineTarget) else 1)


def check_protocol(messages, total, succeeded, ran):
    """Progress (U, total, done) with one total and done never falling; at most one
    download-complete, only after a successful download and after the last progress;
    heartbeats (U+1, 40, n) numbered from 1 after it, only while the installer ran."""
    for number, _, _ in messages:
        assert number in (USER_MESSAGE, USER_MESSAGE + 1), messages
    progress_at = [i for i, m in enumerate(messages) if m[0] == USER_MESSAGE]
    progress = [messages[i] for i in progress_at]
    if total is None:
        assert progress == [], "progress without a length: %r" % progress[:5]
    else:
        assert len({m[1] for m in progress}) <= 1, "wParam changed: %r" % progress[:5]
        if progress:
            assert progress[0][1] == total, (progress[0], total)
        done = [m[2] for m in progress]
        assert done == sorted(done), "progress fell back"
        assert all(d <= total for d in done), "more done than the total"
    others = [(i, m) for i, m in enumerate(messages) if m[0] == USER_MESSAGE + 1]
    complete = [(i, m) for i, m in others if m[1] == COMPLETE_CODE]
    heartbeats = [(i, m) for i, m in others if m[1] == HEARTBEAT_CODE]
    assert len(complete) + len(heartbeats) == len(others), "unknown host message: %r" % others
    assert len(complete) <= 1, complete
    last_progress = progress_at[-1] if progress_at else -1
    if not succeeded:
        assert complete == [] and heartbeats == [], others
        return
    for i, m in complete:
        assert m == (USER_MESSAGE + 1, COMPLETE_CODE, 0)
        assert i > last_progress, "download-complete before the last progress"
    first_after = complete[0][0] if complete else last_progress
    assert all(i > first_after for i, _ in heartbeats), "heartbeat before download-complete"
    assert [m[2] for _, m in heartbeats] == list(range(1, len(heartbeats) + 1)), heartbeats
    if ran:
        # The installer sleeps INSTALLER_SLEEP_MS (> 500 ms): at least one heartbeat.
        assert heartbeats, "no heartbeat while the installer ran"


TRACE_LINE = re.compile(rb"^ *\d+ ms t\d+ [a-z ]+:( [a-z0-9_]+=(\"[^\"]*\"|\S+))*$")


def check_trace(trace, row):
    """Every run writes its support trace, one well-formed line per event, and ends it with the
    run's result; a row that ends the run names its cause in the row's words. Nothing of the
    addresses' queries (which carry the faults' settings here) reaches it."""
    assert trace is not None, "no support trace"
    lines = trace.splitlines()
    assert all(TRACE_LINE.match(line) for line in lines), [
        line for line in lines if not TRACE_LINE.match(line)][:3]
    assert lines and lines[0].split(b" t0 ")[-1].startswith(b"run start:"), lines[:1]
    assert re.search(rb" t0 run end: result=-?\d+ ", lines[-1]), lines[-3:]
    assert b"?" not in b"".join(re.findall(rb"(?:address|host)=\S+", trace)).replace(
        b"?[query", b""), "a query string reached the trace"
    if not row.ran:
        assert row.trace, "a row that ends the run names the words of its cause"
    text = trace.decode("latin-1")
    for words in row.trace:
        assert re.search(words, text), "the trace does not say %r:\n%s" % (words, text[-3000:])


def check_outcome(outcome, row, env):
    """Every invariant of one run; raises AssertionError with the outcome in the message."""
    ctx = outcome.context
    assert outcome.returncode is not None, "still running after %.0f s" % outcome.elapsed
    assert outcome.returncode == 0, (outcome.returncode, outcome.stderr[-2000:])
    bound = bound_for(row, env.target)
    assert outcome.elapsed <= bound, "took %.1f s, bound %.0f s" % (outcome.elapsed, bound)
    if callable(row.log):
        assert row.log(outcome.log), "log %r" % outcome.log
    else:
        assert outcome.log == row.log, "log %r, expected %r" % (outcome.log, row.log)
    check_trace(outcome.trace, row)
    # The temporary directory keeps the log, if any, and never the installer (the support trace
    # was taken out of it: check_trace).
    # A failed download keeps what a later run can go on from: one entry of the download cache.
    entries = [e for e in outcome.temp_entries if e != CACHE_NAME]
    assert entries == ([LOG_NAME] if row.log is not None else []), outcome.temp_entries
    if row.stale_entry_kib:
        # An earlier version's entry never outlives the run, whatever its end.
        assert CACHE_NAME not in outcome.temp_entries, outcome.cache_entries
    if CACHE_NAME in outcome.temp_entries:
        assert not row.ran, outcome.temp_entries
        assert [name.split(".", 1)[1] for name in outcome.cache_entries] == ["part", "rec"], \
            outcome.cache_entries
    # Nothing was written next to the temporary directory or anywhere else in the work area.
    # (Under Wine the temporary directory is the one the prefix names, outside the run's root.)
    expected_root = ["Program Files", "messages.txt"]
    if not isinstance(env.target, WineTarget):
        expected_root.append("tmp dir")
    assert outcome.root_entries == expected_root, outcome.root_entries
    assert outcome.new_work_entries == [outcome.run_root], outcome.new_work_entries
    expected_dir = ["install-record.txt", "sleep-ms"] if row.ran else ["sleep-ms"]
    assert outcome.target_entries == expected_dir, outcome.target_entries
    # The file never held a byte that is not the resource's (an error page, a shifted range).
    assert outcome.violations == [], "wrong bytes at %r" % outcome.violations[:3]
    assert not outcome.longer_than_resource
    expected_digest = hashlib.sha256(env.installer).hexdigest()
    if row.ran:
        assert outcome.record is not None, "the installer did not run"
        assert outcome.ran_digest == expected_digest, "the installer that ran was not the resource"
        assert outcome.record[1:] == ["/VERYSILENT", "/DIR=" + outcome.directory_windows_path,
                                      "/LANG=en"]
        # Run from a folder of its own, under the name its address gives.
        path = ntpath if isinstance(env.target, WineTarget) else posixpath
        folder, name = path.split(outcome.record[0])
        assert name == ctx.file_name and path.dirname(folder) == outcome.temp_windows_path
        assert re.fullmatch(r"downloader-[0-9a-f]{32}", path.basename(folder)), folder
    else:
        assert outcome.record is None, "an installer ran: %r" % outcome.record
        assert outcome.ran_digest is None
    total = row.total
    if total == "installer":
        total = ctx.length
    check_protocol(outcome.messages, total, succeeded=row.ran, ran=row.ran)
    if outcome.target == "native":
        assert outcome.downloader_fds <= MAX_DOWNLOADER_FDS, outcome.downloader_fds
    # The server sees the same requests from every build.
    if row.requests is not None:
        row.requests(ctx, outcome.manifest_requests, outcome.installer_requests)
