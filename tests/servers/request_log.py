"""Thread-safe record of the requests a test server received.

Each entry is a dict {"method", "path", "query", "range", "if_range", "time",
"open", "sent"}; `range` and `if_range` are the raw Range and If-Range headers
or None, `time` is seconds since the epoch at arrival, `open` the number of
connections for the same path that were open at arrival (this one included),
and `sent` the body bytes the server wrote (final once the answer is over).
"""

import threading


class RequestLog:
    def __init__(self):
        self._lock = threading.Lock()
        self._entries = []

    def add(self, method, path, query, range_header, when, if_range=None, open_count=1):
        """Logs a request; returns its entry, whose "sent" the server updates."""
        entry = {"method": method, "path": path, "query": query,
                 "range": range_header, "if_range": if_range, "time": when,
                 "open": open_count, "sent": 0}
        with self._lock:
            self._entries.append(entry)
        return entry

    def entries(self, prefix=None):
        with self._lock:
            items = list(self._entries)
        if prefix:
            items = [e for e in items if e["path"].startswith(prefix)]
        return items

    def clear(self):
        with self._lock:
            self._entries.clear()
