"""Fixtures of the release tool's tests: the tool, the test keys, and both test servers."""

import os
import shutil
import subprocess
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "servers"))

from fault_server import FaultServer  # noqa: E402
from nginx_fixture import Nginx  # noqa: E402

TOOL = os.path.join(REPO, "build", "native", "release-tool")
KEYS = os.path.join(REPO, "tests", "keys")


class Tool:
    def __init__(self, temp_dir):
        self.temp_dir = temp_dir

    def run(self, *args, cwd=None):
        """Runs the tool with a temporary directory of the test's own."""
        env = dict(os.environ, TMPDIR=self.temp_dir)
        return subprocess.run([TOOL] + [str(a) for a in args], capture_output=True, text=True,
                              env=env, cwd=cwd, timeout=300)


@pytest.fixture
def tool(tmp_path):
    if not os.path.exists(TOOL):
        pytest.fail("release-tool is not built: " + TOOL)
    temp_dir = tmp_path / "tool-tmp"
    temp_dir.mkdir()
    return Tool(str(temp_dir))


@pytest.fixture(scope="session")
def servers():
    files = tempfile.mkdtemp(prefix="release-files-")
    with FaultServer(root=files) as fault, Nginx(files) as nginx:
        yield files, fault, nginx
    shutil.rmtree(files, ignore_errors=True)
