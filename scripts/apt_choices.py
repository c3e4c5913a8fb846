#!/usr/bin/env python3
"""The decisions scripts/setup takes from apt's own output, kept apart so that they can be tested.

  apt_choices.py pins NATIVE FOREIGN     reads `apt-cache policy P P:FOREIGN ...`; prints one
                                         `P:ARCH=VERSION` a line, a version that both
                                         architectures' lists offer; exits 1 naming the packages
                                         that have none
  apt_choices.py update-failures SUITE   reads `apt-get update` output; prints the lists that
                                         failed; exits 1 when one of them is needed (the base
                                         suite's) or when apt failed otherwise
"""

import re
import sys

# Debian's version ordering (deb-version(7)): epoch, then upstream and revision compared as runs
# of non-digits (letters before other characters, '~' before everything, even the end) and runs
# of digits (numerically).


def _char_order(c):
    if c == "~":
        return -1
    if c.isalpha():
        return ord(c)
    return ord(c) + 256


def _compare_part(a, b):
    i = j = 0
    while i < len(a) or j < len(b):
        while (i < len(a) and not a[i].isdigit()) or (j < len(b) and not b[j].isdigit()):
            ca = _char_order(a[i]) if i < len(a) and not a[i].isdigit() else 0
            cb = _char_order(b[j]) if j < len(b) and not b[j].isdigit() else 0
            if ca != cb:
                return -1 if ca < cb else 1
            if i < len(a) and not a[i].isdigit():
                i += 1
            if j < len(b) and not b[j].isdigit():
                j += 1
        si, sj = i, j
        while i < len(a) and a[i].isdigit():
            i += 1
        while j < len(b) and b[j].isdigit():
            j += 1
        na, nb = int(a[si:i] or 0), int(b[sj:j] or 0)
        if na != nb:
            return -1 if na < nb else 1
    return 0


class _VersionKey:
    def __init__(self, version):
        self.version = version

    def __lt__(self, other):
        return compare_versions(self.version, other.version) < 0

    def __eq__(self, other):
        return compare_versions(self.version, other.version) == 0


def _split_version(version):
    epoch, _, rest = version.rpartition(":") if ":" in version else ("0", "", version)
    upstream, _, revision = rest.rpartition("-") if "-" in rest else (rest, "", "0")
    return int(epoch or 0), upstream, revision


def compare_versions(a, b):
    ea, ua, ra = _split_version(a)
    eb, ub, rb = _split_version(b)
    if ea != eb:
        return -1 if ea < eb else 1
    return _compare_part(ua, ub) or _compare_part(ra, rb)


def offered_versions(policy_text, native_arch):
    """({(package, arch): {version: priority}}, {(package, arch): {"installed": version,
    "candidate": version}}): what each architecture's package lists offer, with the highest pin
    priority of the lists that offer it, and what apt says is installed and would be installed.

    A version that only the dpkg status file names (installed, no longer in any list) is not
    offered: it could not be installed for the other architecture."""
    offered, state = {}, {}
    current = None
    version = None
    for line in policy_text.splitlines():
        if line and not line[0].isspace() and line.endswith(":"):
            name = line[:-1]
            package, _, arch = name.partition(":")
            current = (package, arch or native_arch)
            offered.setdefault(current, {})
            state.setdefault(current, {})
            version = None
            continue
        if current is None:
            continue
        fields = line.split()
        if len(fields) == 2 and fields[0] in ("Installed:", "Candidate:"):
            if fields[1] != "(none)":
                state[current][fields[0][:-1].lower()] = fields[1]
        elif len(fields) == 2 and re.fullmatch(r"-?\d+", fields[1]):
            version = fields[0]
        elif len(fields) == 3 and fields[0] == "***" and re.fullmatch(r"-?\d+", fields[2]):
            version = fields[1]
        elif version and len(fields) >= 4 and fields[-1] == "Packages" and fields[-2] == current[1]:
            priority = int(fields[0]) if re.fullmatch(r"-?\d+", fields[0]) else 0
            offered[current][version] = max(priority, offered[current].get(version, priority))
    return offered, state


def choose_pins(policy_text, native_arch, foreign_arch):
    """Returns (pins, problems): for every package that policy_text shows for both
    architectures and whose two architectures apt would put at different versions (the
    installed or candidate native one is not the foreign candidate), a version that both
    architectures' lists offer, as `package:arch=version` for each; and a sentence for each
    package that has no such version. Packages already in step are left to apt. The installed native
    version is kept when it is common; otherwise the common version that apt prefers wins (the
    higher pin priority, so that backports stay out as apt keeps them out, then the newer)."""
    offered, state = offered_versions(policy_text, native_arch)
    packages = sorted({package for package, _ in offered})
    pins, problems = [], []
    for package in packages:
        native = offered.get((package, native_arch))
        foreign = offered.get((package, foreign_arch))
        if native is None or foreign is None:
            continue
        native_state = state[(package, native_arch)]
        foreign_candidate = state[(package, foreign_arch)].get("candidate")
        in_step = native_state.get("candidate") == foreign_candidate and native_state.get(
            "installed", foreign_candidate
        ) == foreign_candidate
        if in_step:
            continue
        common = set(native) & set(foreign)
        if not common:
            problems.append(
                "no version of %s is offered for both %s (%s) and %s (%s)"
                % (
                    package,
                    native_arch,
                    ", ".join(sorted(native)) or "none",
                    foreign_arch,
                    ", ".join(sorted(foreign)) or "none",
                )
            )
            continue
        chosen = native_state.get("installed")
        if chosen not in common:
            chosen = max(common, key=lambda v: (min(native[v], foreign[v]), _VersionKey(v)))
        pins.append("%s:%s=%s" % (package, native_arch, chosen))
        pins.append("%s:%s=%s" % (package, foreign_arch, chosen))
    return pins, problems


def failed_lists(update_output, base_suite):
    """Returns (needed, optional, other_errors) from `apt-get update` output: the addresses of
    the lists that could not be fetched, split by whether they belong to the base suite (which
    every install needs) or to an additional one (security, updates, backports), and the error
    lines that are not about one list."""
    needed, optional, other = [], [], []
    for line in update_output.splitlines():
        line = line.strip()
        if not line.startswith("E:"):
            continue
        fetch = re.match(r"E: Failed to fetch (\S+)", line)
        if fetch:
            address = fetch.group(1)
            suite = re.search(r"/dists/([^/]+)/", address)
            (needed if suite is None or suite.group(1) == base_suite else optional).append(address)
        elif "Some index files failed to download" in line:
            continue
        else:
            other.append(line)
    return needed, optional, other


def main(argv):
    if len(argv) == 4 and argv[1] == "pins":
        pins, problems = choose_pins(sys.stdin.read(), argv[2], argv[3])
        for problem in problems:
            print(problem, file=sys.stderr)
        if problems:
            return 1
        print("\n".join(pins))
        return 0
    if len(argv) == 3 and argv[1] == "update-failures":
        needed, optional, other = failed_lists(sys.stdin.read(), argv[2])
        for address in needed + optional:
            print(address)
        return 1 if needed or other else 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
