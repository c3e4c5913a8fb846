"""What the fault server serves: generated pattern resources and files.

    /res/<size>[/<anything...>]   `size` pattern bytes (see pattern.py)
    /file/<relative path>         a file under the server's root directory

resolve(path, root) -> GeneratedResource | FileResource | None, or raises
Forbidden for paths that try to leave the root.
"""

import os
import re
from urllib.parse import unquote

from pattern import iter_pattern

CHUNK = 256 * 1024

_RES_RE = re.compile(r"^/res/(\d+)(?:/.*)?$")


class Forbidden(Exception):
    pass


class GeneratedResource:
    def __init__(self, size):
        self.size = size

    def chunks(self, offset, length, chunk=CHUNK):
        """Bytes [offset, offset+length); past the end the pattern continues."""
        return iter_pattern(offset, length, chunk)


class FileResource:
    def __init__(self, path):
        self.path = path
        status = os.stat(path)
        self.size = status.st_size
        # A strong validator of this version of the file, as nginx makes one.
        self.etag = '"%x-%x"' % (status.st_mtime_ns, status.st_size)

    def chunks(self, offset, length, chunk=CHUNK):
        """Bytes [offset, offset+length); past the end of the file the pattern
        continues, so that oversized bodies stay deterministic."""
        end = offset + length
        file_end = min(end, self.size)
        if offset < file_end:
            with open(self.path, "rb") as f:
                f.seek(offset)
                while offset < file_end:
                    data = f.read(min(chunk, file_end - offset))
                    if not data:
                        raise IOError("file shrank while serving: %s" % self.path)
                    offset += len(data)
                    yield data
        if offset < end:
            yield from iter_pattern(offset, end - offset, chunk)


def _file_resource(rel, root):
    if root is None:
        return None
    rel = unquote(rel)
    parts = rel.replace("\\", "/").split("/")
    if ".." in parts or rel.startswith("/") or "\0" in rel:
        raise Forbidden(rel)
    root_real = os.path.realpath(root)
    full = os.path.realpath(os.path.join(root_real, *[p for p in parts if p]))
    # Symlinks are resolved first so that a link cannot lead out of the root.
    if os.path.commonpath([root_real, full]) != root_real:
        raise Forbidden(rel)
    if not os.path.isfile(full):
        return None
    return FileResource(full)


def resolve(path, root):
    m = _RES_RE.match(path)
    if m:
        return GeneratedResource(int(m.group(1)))
    if path.startswith("/file/"):
        return _file_resource(path[len("/file/"):], root)
    return None
