"""scripts/setup's package steps: the versions it pins when the architectures' lists are out of
step, the update failures it goes on after, and a failed install that must end it."""

import os
import stat
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "scripts"))
import apt_choices  # noqa: E402


def policy(name, installed, candidate, versions):
    """`apt-cache policy` output for one package: versions is [(version, [(priority, source)])],
    where a source is an architecture's list ("bookworm/main amd64") or "status"."""
    lines = [name + ":", "  Installed: " + (installed or "(none)"),
             "  Candidate: " + (candidate or "(none)"), "  Version table:"]
    for version, sources in versions:
        marker = " *** " if version == installed else "     "
        lines.append("%s%s %d" % (marker, version, max(p for p, _ in sources)))
        for priority, source in sources:
            if source == "status":
                lines.append("        %d /var/lib/dpkg/status" % priority)
            else:
                lines.append("        %d http://deb.example/debian %s Packages" % (priority, source))
    return "\n".join(lines) + "\n"


MAIN, SECURITY, UPDATES, BACKPORTS = (
    "bookworm/main", "bookworm-security/main", "bookworm-updates/main", "bookworm-backports/main")


def both(name, native, foreign):
    return policy(name, *native) + policy(name + ":i386", *foreign)


@pytest.mark.parametrize(
    "text, pins, problem",
    [
        # Installed amd64 version kept: the i386 list offers it, the newer amd64 one it lacks.
        (both("zlib1g",
              ("1:1.2.13.dfsg-1", "1:1.2.13.dfsg-1+deb12u1",
               [("1:1.2.13.dfsg-1+deb12u1", [(500, SECURITY + " amd64")]),
                ("1:1.2.13.dfsg-1", [(500, MAIN + " amd64"), (100, "status")])]),
              (None, "1:1.2.13.dfsg-1", [("1:1.2.13.dfsg-1", [(500, MAIN + " i386")])])),
         ["zlib1g:amd64=1:1.2.13.dfsg-1", "zlib1g:i386=1:1.2.13.dfsg-1"], None),
        # Installed amd64 version in no list any more: upgraded to the newest common one, not to
        # the newer amd64 candidate that i386 lacks.
        (both("libssl3",
              ("3.0.19-1~deb12u2", "3.0.22-1~deb12u2",
               [("3.0.22-1~deb12u2", [(500, SECURITY + " amd64")]),
                ("3.0.20-1~deb12u2", [(500, MAIN + " amd64")]),
                ("3.0.19-1~deb12u2", [(100, "status")]),
                ("3.0.17-1~deb12u2", [(500, UPDATES + " amd64")])]),
              (None, "3.0.20-1~deb12u2",
               [("3.0.20-1~deb12u2", [(500, MAIN + " i386")]),
                ("3.0.17-1~deb12u2", [(500, UPDATES + " i386")])])),
         ["libssl3:amd64=3.0.20-1~deb12u2", "libssl3:i386=3.0.20-1~deb12u2"], None),
        # Installed amd64 newer than anything i386 offers: downgraded; backports' common version
        # is newer but apt would not take it by itself either.
        (both("libcurl4",
              ("7.88.1-10+deb12u16", "7.88.1-10+deb12u16",
               [("8.14.1-2~bpo12+1", [(100, BACKPORTS + " amd64")]),
                ("7.88.1-10+deb12u16", [(500, SECURITY + " amd64"), (100, "status")]),
                ("7.88.1-10+deb12u15", [(500, MAIN + " amd64")])]),
              (None, "7.88.1-10+deb12u15",
               [("8.14.1-2~bpo12+1", [(100, BACKPORTS + " i386")]),
                ("7.88.1-10+deb12u15", [(500, MAIN + " i386")])])),
         ["libcurl4:amd64=7.88.1-10+deb12u15", "libcurl4:i386=7.88.1-10+deb12u15"], None),
        # Already in step: left to apt.
        (both("libc6",
              ("2.36-9+deb12u14", "2.36-9+deb12u14",
               [("2.36-9+deb12u14", [(500, MAIN + " amd64"), (100, "status")])]),
              (None, "2.36-9+deb12u14", [("2.36-9+deb12u14", [(500, MAIN + " i386")])])),
         [], None),
        # Version ordering: ~ sorts before the end, a digit run compares numerically.
        (both("libx",
              (None, "1.10~rc1",
               [("1.10~rc1", [(500, SECURITY + " amd64")]), ("1.9", [(500, MAIN + " amd64")]),
                ("1.10", [(500, UPDATES + " amd64")])]),
              (None, "1.10", [("1.9", [(500, MAIN + " i386")]), ("1.10", [(500, UPDATES + " i386")]),
                              ("1.10~rc1", [(500, MAIN + " i386")])])),
         ["libx:amd64=1.10", "libx:i386=1.10"], None),
        # Nothing in common.
        (both("libgone",
              ("2.0-1", "2.0-1", [("2.0-1", [(500, SECURITY + " amd64"), (100, "status")])]),
              (None, "1.0-1", [("1.0-1", [(500, MAIN + " i386")])])),
         [], "no version of libgone is offered for both amd64 (2.0-1) and i386 (1.0-1)"),
    ],
)
def test_pins_are_versions_both_lists_offer(text, pins, problem):
    chosen, problems = apt_choices.choose_pins(text, "amd64", "i386")
    assert chosen == pins
    assert problems == ([problem] if problem else [])


SYNC = ("E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/"
        "binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?")
BASE = "E: Failed to fetch http://deb.debian.org/debian/dists/bookworm/main/binary-amd64/Packages.xz  Hash Sum mismatch"
IGNORED = "E: Some index files failed to download. They have been ignored, or old ones used instead."


@pytest.mark.parametrize(
    "output, needed, optional, other",
    [
        # A mirror mid-sync: only the security suite's i386 list failed; the install goes on.
        ("\n".join([SYNC, "   Hashes of expected file:", IGNORED]), 0, 1, 0),
        # The base suite's list failed too: fatal.
        ("\n".join([SYNC, BASE, IGNORED]), 1, 1, 0),
        ("E: The repository 'http://x bookworm Release' is not signed.", 0, 0, 1),
        ("W: some warning", 0, 0, 0),
    ],
)
def test_update_failures_split_by_need(output, needed, optional, other):
    got = apt_choices.failed_lists(output, "bookworm")
    assert [len(part) for part in got] == [needed, optional, other]
    assert all("/dists/bookworm/" in address for address in got[0])


def stand_in(folder, name, body):
    path = folder / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(path.stat().st_mode | stat.S_IEXEC)


def test_failed_install_ends_setup(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    # Nothing is installed, i386 is known, the lists update, and every install fails.
    stand_in(bin_dir, "dpkg-query", "exit 1\n")
    stand_in(bin_dir, "dpkg", 'case "$1" in --print-foreign-architectures) echo i386 ;; '
             '--print-architecture) echo amd64 ;; esac\n')
    stand_in(bin_dir, "apt-get", 'case "$*" in *update*) exit 0 ;; esac\n'
             'echo "E: Package \'wine32:i386\' has no installation candidate" >&2\nexit 100\n')
    env = dict(os.environ, PATH="%s:%s" % (bin_dir, os.environ["PATH"]),
               DOWNLOADER_DEPS=str(tmp_path / "deps"))
    result = subprocess.run([str(REPO / "scripts" / "setup")], env=env, capture_output=True,
                            text=True, timeout=120)
    output = result.stdout + result.stderr
    assert result.returncode != 0, output
    assert "all packages present" not in output
    assert "could not install" in output and "wine32:i386" in output
    assert "has no installation candidate" in output
