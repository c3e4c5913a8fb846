"""Downloads that go on where an earlier run stopped, and the temporary directory that earlier
runs leave clean: a run is cancelled by the host halfway through (the wizard ends its process),
the next one fetches only what is missing, and afterwards nothing of either is left."""

import hashlib
import os
import random
import shutil
import stat
import threading
import time

import pytest

from targets import read_record

KEYS = ("URL_64BIT_SETUP", "URL_32BIT_SETUP", "URL_64BIT_SETUP_SSL", "URL_32BIT_SETUP_SSL")
MIB = 1024 * 1024
LENGTH = 32 * MIB
# Per connection: the whole file takes about seven seconds over three, so that a run cancelled
# at half has fetched about 16 MiB and the last quarter second of it (what a kill may lose)
# stays well under the 15% the next run may fetch beyond what is missing.
RATE = 1536 * 1024
# What a kill may cost at most: the last second of download.
KILL_LOSES = 3 * RATE
CANCELLED = 125  # wizard-host's exit code after --cancel-at
WEEK = 7 * 24 * 3600
# What a native run may be started inside: every flush of the disk fails, so that no checkpoint
# is ever saved; or the download cache is a volume of its own, out of which no file can be moved.
FAILING_FLUSHES = ["strace", "-f", "-qq", "-o", "/dev/null", "--seccomp-bpf",
                   "-e", "trace=fdatasync", "-e", "inject=fdatasync:error=EIO"]
CACHE_ON_ITS_OWN_VOLUME = [
    "unshare", "-m", "sh", "-c",
    'mkdir -m 700 "$TMPDIR/downloader-cache" && mount -t tmpfs -o mode=700 tmpfs '
    '"$TMPDIR/downloader-cache" && exec "$@"', "cache-volume"]


def installer_bytes(target, seed, length=LENGTH):
    """The test installer padded to `length` with bytes of its own per seed: it still runs,
    and two seeds give two versions of the same length."""
    with open(target.installer_binary(), "rb") as f:
        program = f.read()
    return program + random.Random(seed).randbytes(length - len(program))


def publish_manifest(servers, unique, address, digest=None):
    lines = ["%s=%s" % (key, address) for key in KEYS]
    if digest is not None:
        lines += ["SHA256_%s=%s" % (key[len("URL_"):], digest) for key in KEYS]
    servers.publish("%s/manifest.txt" % unique, "\r\n".join(lines) + "\r\n")
    return servers.nginx.http_url("/%s/manifest.txt" % unique)


def publish_installer(servers, unique, data):
    """Puts the installer where the fault server serves it, as a new file (a new version)."""
    path = os.path.join(servers.files, unique, "setup.bin")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".new", "wb") as f:
        f.write(data)
    os.replace(path + ".new", path)
    return "/file/%s/setup.bin" % unique


class Job:
    """One installer behind one manifest, run through wizard-host in one temporary directory."""

    def __init__(self, target, servers, unique, temp, query, with_digest=False):
        self.target, self.servers, self.unique, self.temp = target, servers, unique, temp
        self.query = query
        self.with_digest = with_digest
        self.directory = os.path.join(target.work, "Program Files", unique)
        os.makedirs(self.directory, exist_ok=True)
        with open(os.path.join(self.directory, "copy-self"), "w") as f:
            f.write("1")

    def publish(self, data, digest_of=None):
        """Serves `data`; with a digest in the manifest, that of `digest_of` (else `data`)."""
        self.path = publish_installer(self.servers, self.unique, data)
        digest = hashlib.sha256(digest_of or data).hexdigest() if self.with_digest else None
        self.manifest = publish_manifest(self.servers, self.unique,
                                         self.servers.fault.url(self.path + "?" + self.query),
                                         digest)

    def requests(self):
        return [r for r in self.servers.fault.requests(self.path) if r["method"] == "GET"]

    def sent(self, since=0):
        """Body bytes the fault server has sent of the installer so far, in the requests from
        the one numbered `since` on."""
        return sum(r["sent"] for r in self.requests()[since:])

    def run(self, cancel_at=None, outer=()):
        host = ["--cancel-at", str(cancel_at)] if cancel_at else []
        return self.target.run(["/URL:" + self.manifest,
                                "/PATH:" + self.target.windows_path(self.directory), "/SILENT"],
                               self.temp, host_args=host, outer=outer)

    def installed_copy(self):
        path = os.path.join(self.directory, "installer-copy")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()


def recorded_bytes(temp):
    """How many bytes the download cache's records in `temp` say are on disk."""
    cache = os.path.join(temp, "downloader-cache")
    recorded = 0
    for name in os.listdir(cache) if os.path.isdir(cache) else []:
        if name.endswith(".rec"):
            with open(os.path.join(cache, name), encoding="utf-8") as f:
                for line in f.read().splitlines():
                    if line.startswith("have "):
                        first, last = map(int, line.split()[1:3])
                        recorded += last - first + 1
    return recorded


def progress(result):
    """The bytes done of every progress message the host received, in order."""
    return [m[2] for m in result.messages if m[0] == 1024]


def first_progress(result):
    done = progress(result)
    return done[0] if done else None


# How the second run must go, after the first was cancelled at half:
#   resumes  it fetches only what the first had not (plus 15%), its progress starting there;
#   fresh    it starts from zero (the resource changed: another validator);
#   twice    it resumes, the digest fails, and it fetches the whole file once more.
# Whichever it is, the progress the host sees never falls.
CASES = [
    # name, query, digest in the manifest, version served second (None: the same), the second
    # run's flushes fail, outcome
    ("same-etag", "etag=file&slow=%d" % RATE, False, None, False, "resumes"),
    ("same-digest", "slow=%d" % RATE, True, None, False, "resumes"),
    ("changed-etag", "etag=file&slow=%d" % RATE, False, 2, False, "fresh"),
    # The first run fetched half of another file of the same length and digest entry.
    ("digest-fails-after-resume", "slow=%d" % RATE, True, 2, False, "twice"),
    # The same, and the second run never saves a checkpoint: it still knows that it resumed.
    ("digest-fails-after-unsaved-resume", "slow=%d" % RATE, True, 2, True, "twice"),
]


@pytest.mark.parametrize("name,query,with_digest,second_seed,flushes_fail,outcome", CASES,
                         ids=[c[0] for c in CASES])
def test_cancelled_run_then_next_run(target, servers, unique, name, query, with_digest,
                                     second_seed, flushes_fail, outcome):
    if flushes_fail and target.name != "native":
        pytest.skip("flushes are made to fail natively")
    temp = target.fresh_temp_dir()
    first = installer_bytes(target, 1)
    final = installer_bytes(target, second_seed) if second_seed else first
    job = Job(target, servers, unique, temp, query, with_digest=with_digest)
    # The digest always names the file the second run must install.
    job.publish(first, digest_of=final)

    cancelled = job.run(cancel_at=50)
    assert cancelled.returncode == CANCELLED, cancelled.stderr
    assert read_record(job.directory) is None
    sent_first = job.sent()
    requests_first = len(job.requests())
    assert LENGTH * 0.3 < sent_first < LENGTH * 0.8
    recorded = recorded_bytes(temp)
    assert recorded >= sent_first - KILL_LOSES, (recorded, sent_first)
    assert sorted(n.startswith("downloader-") for n in os.listdir(temp)) == [True, True]

    if final is not first:
        job.publish(final)
    result = job.run(outer=FAILING_FLUSHES if flushes_fail else ())
    assert result.returncode == 0, result.stderr
    assert result.log is None
    assert job.installed_copy() == final
    done = progress(result)
    assert done == sorted(done) and done[-1] == LENGTH, done
    sent_second = job.sent(since=requests_first)
    missing = LENGTH - sent_first
    if outcome == "resumes":
        # Under Wine a killed process's last thread may go on reading for a moment after
        # TerminateProcess has returned, beyond the last record: there the fetch is measured
        # against what the record says is missing.
        if target.name == "native":
            assert sent_second <= missing * 1.15, (sent_first, sent_second)
        assert sent_second <= (LENGTH - recorded) * 1.15, (recorded, sent_second)
        # The host's progress starts at the bytes the record says are there.
        assert first_progress(result) >= recorded - (LENGTH - recorded) * 0.15, recorded
    elif outcome == "fresh":
        assert sent_second >= LENGTH
        assert first_progress(result) < LENGTH * 0.2
    else:
        assert sent_second >= missing + LENGTH * 0.95
    assert os.listdir(temp) == []


def test_file_that_cannot_leave_the_cache_is_fetched_again(target, servers, unique):
    """The download cache is a volume of its own: the finished file cannot be moved out of it
    into the run's folder, so it is fetched again there, and the host's progress never falls."""
    if target.name != "native":
        pytest.skip("the cache's volume is mounted natively")
    temp = target.fresh_temp_dir()
    length = 4 * MIB
    job = Job(target, servers, unique, temp, "etag=file&slow=%d" % length)
    data = installer_bytes(target, 9, length=length)
    job.publish(data)
    result = job.run(outer=CACHE_ON_ITS_OWN_VOLUME)
    assert result.returncode == 0, result.stderr
    assert result.log is None
    assert job.installed_copy() == data
    assert job.sent() >= 2 * length
    done = progress(result)
    assert done == sorted(done) and done[-1] == length, done
    # What stays is where the volume was mounted.
    assert os.listdir(temp) == ["downloader-cache"]
    assert os.listdir(os.path.join(temp, "downloader-cache")) == []


def age(path, seconds):
    then = time.time() - seconds
    os.utime(path, (then, then), follow_symlinks=False)


def test_stale_cache_entries_go_and_fresh_ones_stay(target, servers, unique):
    """An entry untouched for 8 days is removed; one of 6 days is kept; nothing else in the
    cache or the temporary directory is touched."""
    temp = target.fresh_temp_dir()
    old = Job(target, servers, unique + "-old", temp, "etag=file&slow=%d" % RATE)
    old.publish(installer_bytes(target, 3))
    assert old.run(cancel_at=30).returncode == CANCELLED
    young = Job(target, servers, unique + "-young", temp, "etag=file&slow=%d" % RATE)
    young.publish(installer_bytes(target, 4))
    assert young.run(cancel_at=30).returncode == CANCELLED
    cache = os.path.join(temp, "downloader-cache")
    entries = sorted(os.listdir(cache))
    # A partial file and a record each, and a new record where the kill came while one was
    # being saved.
    whole = sorted(entry_name(job) + suffix for job in (old, young) for suffix in (".part", ".rec"))
    assert sorted(n for n in entries if not n.endswith(".rec.new")) == whole, entries
    assert all(n[:-len(".new")] in whole for n in entries if n.endswith(".rec.new")), entries
    young_names = [n for n in entries if n.startswith(entry_name(young))]
    for name in entries:
        age(os.path.join(cache, name), 6 * 24 * 3600 if name in young_names else 8 * 24 * 3600)
    other = os.path.join(temp, "downloader-keep")
    os.mkdir(other)

    quick = Job(target, servers, unique + "-quick", temp, "etag=file")
    quick.publish(installer_bytes(target, 5, length=MIB))
    result = quick.run()
    assert result.returncode == 0, result.stderr
    assert sorted(os.listdir(cache)) == sorted(young_names)
    assert sorted(os.listdir(temp)) == ["downloader-cache", "downloader-keep"]


def test_a_run_beside_is_not_disturbed(target, servers, unique):
    """A second run in the same temporary directory, with its clean-up, leaves the first one's
    working folder and cache entry alone: both install intact."""
    temp = target.fresh_temp_dir()
    slow = Job(target, servers, unique + "-slow", temp, "etag=file&slow=%d" % (MIB // 2))
    slow.publish(installer_bytes(target, 6, length=8 * MIB))
    quick = Job(target, servers, unique + "-quick", temp, "etag=file")
    quick.publish(installer_bytes(target, 7, length=4 * MIB))
    results = {}
    beside = threading.Thread(target=lambda: results.setdefault("slow", slow.run()))
    beside.start()
    # The quick run starts once the slow one is well into its download.
    deadline = time.monotonic() + 60
    while slow.sent() < 2 * MIB and time.monotonic() < deadline:
        time.sleep(0.05)
    assert slow.sent() >= 2 * MIB
    results["quick"] = quick.run()
    beside.join()
    for job, key in ((slow, "slow"), (quick, "quick")):
        assert results[key].returncode == 0, results[key].stderr
        with open(os.path.join(job.servers.files, job.path[len("/file/"):]), "rb") as f:
            assert job.installed_copy() == f.read()
    # The slow run fetched its file once: nothing of it was taken away while it ran.
    assert slow.sent() <= 8 * MIB * 1.15
    assert os.listdir(temp) == []


def entry_name(job):
    return hashlib.sha256(("address " + job.servers.fault.url(job.path + "?" + job.query))
                          .encode()).hexdigest()[:32]


def plant_link_as_cache(temp, elsewhere, job):
    os.symlink(elsewhere, os.path.join(temp, "downloader-cache"))


def plant_foreign_cache(temp, elsewhere, job):
    cache = os.path.join(temp, "downloader-cache")
    os.mkdir(cache, 0o700)
    os.chown(cache, 65534, 65534)


def plant_open_cache(temp, elsewhere, job):
    os.mkdir(os.path.join(temp, "downloader-cache"), 0o755)


def plant_entry(kind):
    """A cache of the run's own whose entry for the installer claims half of it: the partial
    file a link to a file elsewhere, or both files another user's."""

    def plant(temp, elsewhere, job):
        cache = os.path.join(temp, "downloader-cache")
        os.mkdir(cache, 0o700)
        name = os.path.join(cache, entry_name(job))
        with open(name + ".rec", "w") as f:
            f.write("downloader-resume 1\nlength %d\nsource %s\netag %s\nhave 0 %d\nend\n" % (
                LENGTH, job.servers.fault.url(job.path + "?" + job.query), current_etag(job),
                LENGTH // 2))
        target_file = os.path.join(elsewhere, "victim")
        with open(target_file, "wb") as f:
            f.write(b"\0" * LENGTH)
        if kind == "link":
            os.symlink(target_file, name + ".part")
        else:
            shutil.copyfile(target_file, name + ".part")
            for path in (name + ".part", name + ".rec"):
                os.chown(path, 65534, 65534)

    return plant


def current_etag(job):
    return '"%x-%x"' % (os.stat(os.path.join(job.servers.files, job.path[len("/file/"):]))
                        .st_mtime_ns, LENGTH)


def snapshot(directory):
    """Every name under `directory` with its owner and contents (links not followed)."""
    seen = {}
    for root, folders, files in os.walk(directory):
        for name in folders + files:
            path = os.path.join(root, name)
            status = os.lstat(path)
            content = None
            if stat.S_ISREG(status.st_mode):
                with open(path, "rb") as f:
                    content = hashlib.sha256(f.read()).hexdigest()
            seen[os.path.relpath(path, directory)] = (status.st_uid, status.st_mode, content)
    return seen


@pytest.mark.parametrize("plant", [plant_link_as_cache, plant_foreign_cache, plant_open_cache,
                                   plant_entry("link"), plant_entry("foreign")],
                         ids=["link-as-cache", "foreign-cache", "cache-open-to-others",
                              "entry-link", "foreign-entry"])
def test_planted_cache_is_refused(target, servers, unique, plant):
    """Nothing in the cache that is not the run's own is read, written or removed: the run
    downloads everything and installs."""
    if target.name != "native":
        pytest.skip("owners and links are planted natively")
    temp = target.fresh_temp_dir()
    elsewhere = os.path.join(target.work, unique + "-elsewhere")
    os.makedirs(elsewhere)
    job = Job(target, servers, unique, temp, "etag=file")
    data = installer_bytes(target, 8)
    job.publish(data)
    plant(temp, elsewhere, job)
    before = (snapshot(temp), snapshot(elsewhere))
    result = job.run()
    assert result.returncode == 0, result.stderr
    assert job.installed_copy() == data
    assert job.sent() >= LENGTH
    assert (snapshot(temp), snapshot(elsewhere)) == before
