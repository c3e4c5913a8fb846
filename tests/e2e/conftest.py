"""Fixtures of the end-to-end tests: the servers, the targets, and a fresh run directory.

E2E_TARGETS names the targets to run ("native", "wine-win32", "wine-win64",
"wine-win32-winxp", "wine-win64-winxp"; default "native"). A target that is named
but not built fails the run instead of being skipped.
"""

import os
import shutil
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "servers"))

from fault_server import FaultServer  # noqa: E402
from nginx_fixture import Nginx  # noqa: E402
from targets import REPO, NativeTarget, WineTarget  # noqa: E402


def requested_targets():
    return os.environ.get("E2E_TARGETS", "native").split()


def make_target(name):
    if name == "native":
        target = NativeTarget(os.path.join(REPO, "build", "native"))
    else:
        parts = name.split("-")  # wine-<arch>[-<version>]
        target = WineTarget(os.path.join(REPO, "build", "windows"), arch=parts[1],
                            version=parts[2] if len(parts) > 2 else None)
    for program in ("downloader", "wizard-host", "test-installer"):
        if not os.path.exists(target.binary(program)):
            pytest.fail("%s is not built: %s" % (name, target.binary(program)))
    return target


def pytest_generate_tests(metafunc):
    if "target" in metafunc.fixturenames:
        metafunc.parametrize("target", requested_targets(), indirect=True, scope="session")


@pytest.fixture(scope="session")
def target(request):
    made = make_target(request.param)
    if isinstance(made, WineTarget):
        made.configure()
    yield made
    made.cleanup()


class Servers:
    def __init__(self, files, fault, nginx):
        self.files = files
        self.fault = fault
        self.nginx = nginx

    def publish(self, name, data):
        """Puts a file where both servers serve it (fault: /file/NAME, nginx: /NAME)."""
        path = os.path.join(self.files, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def publish_copy(self, name, source):
        path = os.path.join(self.files, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        shutil.copyfile(source, path)
        return path


@pytest.fixture(scope="session")
def servers():
    files = tempfile.mkdtemp(prefix="e2e-files-")
    with FaultServer(root=files) as fault, Nginx(files) as nginx:
        yield Servers(files, fault, nginx)
    shutil.rmtree(files, ignore_errors=True)


@pytest.fixture
def unique(request):
    """A name unique to the test and target, for server paths and files."""
    return request.node.name.replace("[", "-").replace("]", "").replace("/", "_")
