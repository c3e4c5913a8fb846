"""Deterministic content of the generated test resources.

Byte i of every generated resource is BLOCK[i % 65521], where
BLOCK[j] = ((j * 2654435761) mod 2**32) >> 24.

65521 is prime, so the pattern never lines up with power-of-two buffer or
segment sizes: a byte written at the wrong offset shows up as a mismatch.
The C++ tests compute the same formula independently.

    pattern_bytes(offset, length) -> bytes
    pattern_view(offset, length)  -> memoryview (no copy; length <= MAX_VIEW)
"""

BLOCK_LEN = 65521
BLOCK = bytes(((j * 2654435761) & 0xFFFFFFFF) >> 24 for j in range(BLOCK_LEN))

# A few repetitions so that any window up to MAX_VIEW bytes is one contiguous
# slice, which lets the server send without copying.
_TILE_REPEAT = 6
_TILE = BLOCK * _TILE_REPEAT
MAX_VIEW = BLOCK_LEN * (_TILE_REPEAT - 1)


def pattern_view(offset, length):
    """Zero-copy view of the pattern at [offset, offset+length)."""
    if length < 0 or length > MAX_VIEW:
        raise ValueError("length out of range for a view: %d" % length)
    start = offset % BLOCK_LEN
    return memoryview(_TILE)[start:start + length]


def pattern_bytes(offset, length):
    """The pattern bytes at [offset, offset+length) as a bytes object."""
    if length <= 0:
        return b""
    if length <= MAX_VIEW:
        return bytes(pattern_view(offset, length))
    start = offset % BLOCK_LEN
    reps = (start + length + BLOCK_LEN - 1) // BLOCK_LEN
    return (BLOCK * reps)[start:start + length]


def iter_pattern(offset, length, chunk=256 * 1024):
    """Yield the pattern at [offset, offset+length) in views of <= chunk bytes."""
    chunk = max(1, min(chunk, MAX_VIEW))
    end = offset + length
    while offset < end:
        n = min(chunk, end - offset)
        yield pattern_view(offset, n)
        offset += n
