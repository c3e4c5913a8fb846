"""Fault switches of the fault server, read from a request's query string.

    parse_faults(query) -> Faults     (ValueError on a malformed known value)
    Counters                          thread-safe "first TIMES requests" budgets

Recognised parameters (unknown ones are ignored):
    status=N  ignore_range=1  wrong_range=1  nolength=1  length0=1
    short=K  over=K  stall=S  stall_after=B  hang=S  slow=BPS  slow_start=START  flip=OFFSET
    short_declared=K  range_cap=B  gzip=1  endless=1  etag=1|file  modified=1  version_after=N
    if_range=1
    cut=START:N:TIMES[,...]   drop=START:TIMES[,...]   headfail=TIMES
    trunc=START:N:TIMES[,...]
    outage=S  outage_at=T  outage_answer=503|429|...|reset  retry_after=TEXT
START is a byte offset or `*` (any start); it is stored as None for `*`.
"""

import threading
from dataclasses import dataclass, field
from urllib.parse import parse_qsl


@dataclass
class Faults:
    status: int = None
    ignore_range: bool = False
    wrong_range: bool = False
    nolength: bool = False
    length0: bool = False
    short: int = 0
    over: int = 0
    stall: float = None
    hang: float = None  # nothing answered, to HEAD or GET, for this many seconds
    stall_after: int = 0
    slow: int = None
    slow_start: int = None    # slow applies only to GETs starting there
    short_declared: int = None
    range_cap: int = None
    gzip: bool = False
    endless: bool = False
    etag: bool = False
    file_etag: bool = False  # etag=file: the tag follows the file's version
    modified: bool = False  # Last-Modified of the version served
    if_range: bool = False  # a range whose If-Range names another version gets the whole body
    version_after: int = None
    cut: list = field(default_factory=list)   # [(start or None, n, times)]
    drop: list = field(default_factory=list)  # [(start or None, times)]
    headfail: int = 0
    flip: int = None  # offset of the resource byte served inverted (a corrupted copy)
    trunc: list = field(default_factory=list)  # [(start or None, n, times)]
    outage: float = None      # seconds the outage lasts
    outage_at: float = 0.0    # seconds after the key's first request that it begins
    outage_answer: str = "503"  # a status number, or "reset"
    retry_after: str = None   # Retry-After text of status and outage answers


def _flag(value):
    return value not in ("", "0", "false", "no")


def _nonneg_int(name, value):
    n = int(value)
    if n < 0:
        raise ValueError("%s must not be negative" % name)
    return n


def _start(value):
    return None if value == "*" else _nonneg_int("START", value)


def _entries(name, value, arity):
    out = []
    for item in value.split(","):
        parts = item.split(":")
        if len(parts) != arity:
            raise ValueError("%s entries need %d fields: %r" % (name, arity, item))
        out.append((_start(parts[0]),) + tuple(_nonneg_int(name, p) for p in parts[1:]))
    return out


def parse_faults(query):
    f = Faults()
    for name, value in parse_qsl(query, keep_blank_values=True):
        if name == "etag" and value == "file":
            f.etag = f.file_etag = True
        elif name == "status":
            f.status = int(value)
        elif name in ("ignore_range", "wrong_range", "nolength", "length0", "gzip", "endless",
                      "etag", "modified", "if_range"):
            setattr(f, name, _flag(value))
        elif name in ("short", "over", "stall_after", "headfail", "flip"):
            setattr(f, name, _nonneg_int(name, value))
        elif name in ("stall", "hang"):
            setattr(f, name, float(value))
            if getattr(f, name) < 0:
                raise ValueError("%s must not be negative" % name)
        elif name == "slow":
            f.slow = _nonneg_int(name, value) or None
        elif name in ("slow_start", "short_declared", "version_after"):
            setattr(f, name, _nonneg_int(name, value))
        elif name == "range_cap":
            f.range_cap = _nonneg_int(name, value) or None
        elif name == "cut":
            f.cut = _entries(name, value, 3)
        elif name == "drop":
            f.drop = _entries(name, value, 2)
        elif name == "trunc":
            f.trunc = _entries(name, value, 3)
        elif name in ("outage", "outage_at"):
            setattr(f, name, float(value))
            if getattr(f, name) < 0:
                raise ValueError("%s must not be negative" % name)
        elif name == "outage_answer":
            if value != "reset" and not (value.isdigit() and 100 <= int(value) <= 599):
                raise ValueError("outage_answer is a status or reset")
            f.outage_answer = value
        elif name == "retry_after":
            f.retry_after = value
    return f


class Counters:
    """How many times each (request key, fault entry) has fired."""

    def __init__(self):
        self._lock = threading.Lock()
        self._counts = {}

    def consume(self, key, times):
        """True (and count it) while `key` has fired fewer than `times` times."""
        with self._lock:
            used = self._counts.get(key, 0)
            if used >= times:
                return False
            self._counts[key] = used + 1
            return True

    def reset(self):
        with self._lock:
            self._counts.clear()


def take_cut(faults, counters, key, start):
    """Body byte count after which to reset this GET, or None."""
    for index, (want, n, times) in enumerate(faults.cut):
        if (want is None or want == start) and counters.consume((key, "cut", index), times):
            return n
    return None


def take_drop(faults, counters, key, start):
    """True when this GET must be reset before any response byte."""
    for index, (want, times) in enumerate(faults.drop):
        if (want is None or want == start) and counters.consume((key, "drop", index), times):
            return True
    return False


def second_version(faults, counters, key):
    """True when this GET is served from the resource's second version."""
    return faults.version_after is not None and not counters.consume(
        (key, "version"), faults.version_after)


def take_headfail(faults, counters, key):
    return faults.headfail > 0 and counters.consume((key, "headfail"), faults.headfail)


def take_trunc(faults, counters, key, start):
    """Body byte count after which this GET ends cleanly, its answer looking whole, or None."""
    for index, (want, n, times) in enumerate(faults.trunc):
        if (want is None or want == start) and counters.consume((key, "trunc", index), times):
            return n
    return None


class OutageClock:
    """When each request key was first asked for: its outage is timed from then."""

    def __init__(self):
        self._lock = threading.Lock()
        self._first = {}

    def active(self, faults, key, now):
        """True while `key`'s outage lasts (its first request starts the clock)."""
        if faults.outage is None:
            return False
        with self._lock:
            first = self._first.setdefault(key, now)
        begins = first + faults.outage_at
        return begins <= now < begins + faults.outage

    def reset(self):
        with self._lock:
            self._first.clear()
