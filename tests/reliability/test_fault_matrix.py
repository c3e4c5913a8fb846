"""The fault matrix: the whole job (wizard-host, downloader, test installer) against the
fault server, one case per fault row.

Every case checks, besides what the row itself expects (harness.rows()): exit code 0, the
job ended within the row's bound, the exact log text, no installer left in the temporary
directory and nothing written outside it, the installer ran exactly when the row expects it
and then from the resource's bytes, the host messages kept their protocol, the downloader's
descriptors stayed few, and the support trace was written, and names in a row's words the
cause of a run that the row ends. See harness.check_outcome.

With RELIABILITY_REPORT=FILE each case appends one JSON line (row, target, seconds, log, ran,
passed) to FILE, from which docs/reliability.md's table is made.
"""

import json
import os

import pytest

import harness


def cases():
    out = []
    for row in harness.rows():
        out.append(pytest.param(row, "native", id="native-" + row.name))
        if row.wine:
            for name in harness.wine_targets():
                marks = [pytest.mark.skipif(harness.wine_build_missing(),
                                            reason="the Windows build does not exist")]
                out.append(pytest.param(row, name, id="%s-%s" % (name, row.name), marks=marks))
    return out


@pytest.mark.parametrize("row,target_name", cases())
def test_fault_row(row, target_name, job_targets, servers, unique):
    env = harness.Environment(servers.fault, servers.files, job_targets(target_name))
    outcome = harness.run_row(env, row, unique)
    print("\n%s %s: %.2f s, log %r, ran %s, downloader fds %d" % (
        target_name, row.name, outcome.elapsed, outcome.log, outcome.record is not None,
        outcome.downloader_fds))
    passed = False
    try:
        harness.check_outcome(outcome, row, env)
        passed = True
    finally:
        report = os.environ.get("RELIABILITY_REPORT")
        if report:
            with open(report, "a") as f:
                f.write(json.dumps({
                    "row": row.name, "target": target_name, "seconds": round(outcome.elapsed, 2),
                    "log": None if outcome.log is None else outcome.log.decode("latin-1"),
                    "ran": outcome.record is not None, "passed": passed,
                    "downloader_fds": outcome.downloader_fds}) + "\n")
