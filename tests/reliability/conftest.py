"""Fixtures of the reliability tests: the e2e servers and `unique`, and the targets the fault
rows run on.

The native target always runs. A row that Wine can show also runs on every Wine target named
in E2E_TARGETS (e.g. "native wine-win32"), but only when the Windows build exists; without
it those cases are skipped, so the native CI job decides whether they run.
"""

import os
import sys
import types

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# Loaded under a name of its own, so that it never clashes with pytest's own conftest modules.
_E2E_CONFTEST = os.path.join(os.path.dirname(HERE), "e2e", "conftest.py")
e2e_conftest = types.ModuleType("e2e_conftest_for_reliability")
e2e_conftest.__file__ = _E2E_CONFTEST
with open(_E2E_CONFTEST) as _source:
    exec(compile(_source.read(), _E2E_CONFTEST, "exec"), e2e_conftest.__dict__)

# The e2e fixtures, shared as they are (pytest finds fixtures by their names in a conftest).
servers = e2e_conftest.servers
unique = e2e_conftest.unique

import harness  # noqa: E402


@pytest.fixture(scope="session")
def job_targets():
    """Targets made on first use, cleaned up at the end of the session."""
    made = {}

    def get(name):
        if name not in made:
            if name == "native":
                target = harness.native_target()
                for program in ("downloader", "downloader-short-bounds", "wizard-host",
                                "test-installer"):
                    if not os.path.exists(target.binary(program)):
                        pytest.fail("native is not built: %s" % target.binary(program))
                made[name] = target
            else:
                target = e2e_conftest.make_target(name)
                target.configure()
                made[name] = target
        return made[name]

    yield get
    for target in made.values():
        target.cleanup()
