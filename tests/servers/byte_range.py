"""Parsing of a single-range `Range: bytes=...` request header.

    parse_range(header, size) -> ByteRange

Accepted forms: `bytes=A-B`, `bytes=A-`, `bytes=-N` (suffix).  Anything else
(missing header, other units, several ranges, A > B, garbage) is reported as
`kind == "none"`, which a server may answer with the whole body, as HTTP allows
servers to ignore a Range header they do not understand.
"""

import re
from collections import namedtuple

# kind: "none" | "ok" | "unsatisfiable".  first/last are inclusive offsets
# (only meaningful for "ok"); start is the offset the client asked to begin at
# (0 when there is no usable range), used to match start-keyed faults.
ByteRange = namedtuple("ByteRange", "kind first last start")

_RANGE_RE = re.compile(r"^\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*$", re.IGNORECASE)


def parse_range(header, size):
    if header is None:
        return ByteRange("none", 0, size - 1, 0)
    m = _RANGE_RE.match(header)
    if not m or (m.group(1) == "" and m.group(2) == ""):
        return ByteRange("none", 0, size - 1, 0)
    first_s, last_s = m.group(1), m.group(2)
    if first_s == "":
        suffix = int(last_s)
        first = max(0, size - suffix)
        if suffix == 0 or size == 0:
            return ByteRange("unsatisfiable", 0, 0, first)
        return ByteRange("ok", first, size - 1, first)
    first = int(first_s)
    if last_s != "" and int(last_s) < first:
        return ByteRange("none", 0, size - 1, 0)
    if first >= size:
        return ByteRange("unsatisfiable", 0, 0, first)
    last = size - 1 if last_s == "" else min(int(last_s), size - 1)
    return ByteRange("ok", first, last, first)
