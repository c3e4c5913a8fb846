"""The soak (soak.py) at CI size: SOAK_RUNS runs (default 20) under faults drawn with
SOAK_SEED (default: a fresh seed, printed), and a few runs of the downloader under
valgrind's memcheck."""

import os
import random
import shutil

import pytest

import harness
import soak


def test_soak(job_targets, servers):
    runs = int(os.environ.get("SOAK_RUNS", "20"))
    seed = os.environ.get("SOAK_SEED")
    seed = int(seed) if seed else random.SystemRandom().randrange(2 ** 32)
    print("\nsoak seed %d (SOAK_SEED=%d repeats it)" % (seed, seed))
    env = harness.Environment(servers.fault, servers.files, job_targets("native"))
    result = soak.soak(env, runs, seed)
    assert result.runs == runs and sum(result.per_row.values()) == runs


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.parametrize("row_name", soak.VALGRIND_ROWS)
def test_downloader_under_memcheck(job_targets, servers, row_name):
    env = harness.Environment(servers.fault, servers.files, job_targets("native"))
    index = soak.VALGRIND_ROWS.index(row_name)
    soak.valgrind_run(env, row_name, index)
