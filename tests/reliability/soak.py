#!/usr/bin/python3
"""Soak: the whole job run N times back to back, each time under a fault row drawn at random
(seeded) from the fault matrix, with the matrix's invariants checked on every run, and checks
that nothing accumulates over the runs:

  * the open descriptors and threads of this process (which also runs the fault server), so
    that a leak in the harness or the server shows;
  * per row, the downloader's open descriptors (its peak during the run) and the peak
    resident size of the run's processes (wait4 of wizard-host: the largest of wizard-host,
    the downloader and the installer, in practice the downloader).

Optionally a few runs with the downloader under valgrind's memcheck (errors and definite or
indirect leaks fail the run).

    soak.py [--runs 200] [--seed S] [--valgrind 0]

As a test (test_soak.py) it runs SOAK_RUNS runs (default 20) and SOAK_SEED if given.
"""

import argparse
import dataclasses
import os
import random
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402

FD_SLACK = 3             # descriptors that may be open for a moment at the end of a run
THREAD_SLACK = 3
RSS_GROWTH = 1.25        # a row's last run may peak at most this much above its first...
RSS_ALLOWANCE_KIB = 4096  # ...plus this
HOST_FD_GROWTH = 1
VALGRIND_ROWS = ("no-fault", "reset-in-each-range", "200-for-ranges", "wrong-content-range",
                 "manifest-over-1MiB")
VALGRIND_ARGS = ["--error-exitcode=99", "--leak-check=full",
                 "--errors-for-leak-kinds=definite,indirect", "--show-leak-kinds=definite,indirect",
                 "--track-fds=no"]
VALGRIND_BOUND = 240.0


def soak_rows():
    return [row for row in harness.rows() if row.soak]


def settled_count(count, baseline, limit, wait=5.0):
    """The count once it has come back to baseline + limit, or its value after `wait` s."""
    deadline = time.monotonic() + wait
    value = count()
    while value > baseline + limit and time.monotonic() < deadline:
        time.sleep(0.05)
        value = count()
    return value


@dataclasses.dataclass
class SoakResult:
    runs: int
    seed: int
    elapsed: float
    fds_before: int
    fds_after: int
    threads_before: int
    threads_after: int
    rss_first_kib: dict
    rss_last_kib: dict
    host_fds_first: dict
    host_fds_last: dict
    downloader_fds_max: int
    per_row: dict
    slowest: tuple

    def summary(self):
        lines = [
            "soak: %d runs, seed %d, %.1f s" % (self.runs, self.seed, self.elapsed),
            "  test process descriptors: %d after the first run, %d after the last"
            % (self.fds_before, self.fds_after),
            "  test process threads: %d after the first run, %d after the last"
            % (self.threads_before, self.threads_after),
            "  per row, first -> last run: the downloader's peak RSS (KiB), wizard-host's peak"
            " descriptors",
        ]
        for name in sorted(self.per_row):
            lines.append("    %-32s x%-3d rss %6d -> %6d   host fds %2d -> %2d" % (
                name, self.per_row[name], self.rss_first_kib[name], self.rss_last_kib[name],
                self.host_fds_first[name], self.host_fds_last[name]))
        lines.append("  the downloader's peak descriptors over all runs: %d (bound %d)"
                     % (self.downloader_fds_max, harness.MAX_DOWNLOADER_FDS))
        lines.append("  slowest run: %s %.2f s" % self.slowest)
        return "\n".join(lines)


def soak(env, runs, seed, log=print):
    """Runs the soak on `env` (harness.Environment, native target); raises AssertionError."""
    rng = random.Random(seed)
    candidates = soak_rows()
    per_row, rss_first, rss_last, fds_first, fds_last = {}, {}, {}, {}, {}
    fds_before = threads_before = None
    slowest = ("", 0.0)
    downloader_fds_max = 0
    started = time.monotonic()
    tag = "%x" % (seed & 0xFFFFFFFF)
    for index in range(runs):
        row = rng.choice(candidates)
        outcome = harness.run_row(env, row, "soak-%s-%d-%s" % (tag, index, row.name),
                                  measure_memory=True)
        try:
            harness.check_outcome(outcome, row, env)
        except AssertionError as error:
            raise AssertionError("run %d (row %s, seed %d): %s" % (index, row.name, seed,
                                                                   error)) from error
        per_row[row.name] = per_row.get(row.name, 0) + 1
        rss = outcome.downloader_maxrss_kib
        if rss is None:  # no /usr/bin/time: the last VmHWM seen
            rss = outcome.downloader_hwm_kib
        rss_first.setdefault(row.name, rss)
        rss_last[row.name] = rss
        fds_first.setdefault(row.name, outcome.host_fds)
        fds_last[row.name] = outcome.host_fds
        downloader_fds_max = max(downloader_fds_max, outcome.downloader_fds)
        if outcome.elapsed > slowest[1]:
            slowest = (row.name, outcome.elapsed)
        if index == 0:
            # The first run opens what stays open for the whole session (server, caches).
            fds_before = settled_count(lambda: harness.count_fds(), 0, 10 ** 6)
            threads_before = threading.active_count()
        if log and (index + 1) % 25 == 0:
            log("  %d/%d runs, %.1f s" % (index + 1, runs, time.monotonic() - started))
    fds_after = settled_count(lambda: harness.count_fds(), fds_before, 0)
    threads_after = settled_count(threading.active_count, threads_before, 0)
    result = SoakResult(runs, seed, time.monotonic() - started, fds_before, fds_after,
                        threads_before, threads_after, rss_first, rss_last, fds_first, fds_last,
                        downloader_fds_max, per_row, slowest)
    if log:
        log(result.summary())
    assert fds_after <= fds_before + FD_SLACK, "descriptors grew: %d -> %d" % (fds_before,
                                                                              fds_after)
    assert threads_after <= threads_before + THREAD_SLACK, "threads grew: %d -> %d" % (
        threads_before, threads_after)
    for name in per_row:
        assert rss_last[name] <= rss_first[name] * RSS_GROWTH + RSS_ALLOWANCE_KIB, \
            "peak memory of %s grew: %d -> %d KiB" % (name, rss_first[name], rss_last[name])
        assert fds_last[name] <= fds_first[name] + HOST_FD_GROWTH, \
            "wizard-host's descriptors under %s grew: %d -> %d" % (name, fds_first[name],
                                                                  fds_last[name])
    return result


def valgrind_run(env, row_name, index, log=print):
    """One run with the downloader under memcheck; returns (elapsed, valgrind's report)."""
    row = dataclasses.replace(harness.ROWS[row_name], bound=VALGRIND_BOUND)
    reports = tempfile.mkdtemp(prefix="valgrind-")  # outside the work area the run checks
    report = os.path.join(reports, "memcheck.txt")
    arguments = VALGRIND_ARGS + ["--log-file=" + report]
    try:
        outcome = harness.run_row(env, row, "valgrind-%d-%s" % (index, row_name),
                                  valgrind=arguments)
        text = open(report).read() if os.path.exists(report) else ""
    finally:
        shutil.rmtree(reports, ignore_errors=True)
    # valgrind's --error-exitcode reaches us through wizard-host: 99 means memcheck errors.
    assert outcome.returncode != 99, "memcheck errors under %s:\n%s" % (row_name, text[-6000:])
    harness.check_outcome(outcome, row, env)
    # The report proves that memcheck ran, and what it found.
    assert "ERROR SUMMARY: 0 errors from 0 contexts" in text, text[-6000:]
    if log:
        log("valgrind %-24s %.1f s, exit %d, report %d bytes" % (row_name, outcome.elapsed,
                                                                 outcome.returncode, len(text)))
    return outcome.elapsed, text


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--valgrind", type=int, default=0,
                        help="runs under valgrind after the soak (at most %d)" % len(VALGRIND_ROWS))
    args = parser.parse_args(argv)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2 ** 32)
    print("seed %d" % seed, flush=True)

    from fault_server import FaultServer  # on sys.path through harness

    files = tempfile.mkdtemp(prefix="soak-files-")
    target = harness.native_target()
    status = 0
    try:
        with FaultServer(root=files) as fault:
            env = harness.Environment(fault, files, target)
            try:
                soak(env, args.runs, seed, log=lambda text: print(text, flush=True))
                for index, name in enumerate(VALGRIND_ROWS[:args.valgrind]):
                    valgrind_run(env, name, index, log=lambda text: print(text, flush=True))
            except AssertionError as error:
                print("FAILED: %s" % error, flush=True)
                status = 1
    finally:
        target.cleanup()
        shutil.rmtree(files, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
