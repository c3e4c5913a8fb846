"""Thread-safe record of the requests a test server received.

Each entry is a dict {"method", "path", "query", "range", "time"}; `range` is
the raw Range header or None, `time` is seconds since the epoch at arrival.
"""

import threading


class RequestLog:
    def __init__(self):
        self._lock = threading.Lock()
        self._entries = []

    def add(self, method, path, query, range_header, when):
        entry = {"method": method, "path": path, "query": query,
                 "range": range_header, "time": when}
        with self._lock:
            self._entries.append(entry)

    def entries(self, prefix=None):
        with self._lock:
            items = list(self._entries)
        if prefix:
            items = [e for e in items if e["path"].startswith(prefix)]
        return items

    def clear(self):
        with self._lock:
            self._entries.clear()
