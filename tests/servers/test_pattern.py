"""The pattern helper must agree with the formula the C++ tests implement."""

from pattern import BLOCK_LEN, MAX_VIEW, iter_pattern, pattern_bytes


def naive(offset, length):
    return bytes((((i % 65521) * 2654435761) & 0xFFFFFFFF) >> 24
                 for i in range(offset, offset + length))


def test_first_bytes_follow_the_formula():
    assert pattern_bytes(0, 5) == bytes([0, 158, 60, 218, 120])


def test_matches_formula_at_assorted_offsets():
    for offset in (0, 1, 4095, BLOCK_LEN - 3, BLOCK_LEN, 2 * BLOCK_LEN + 7,
                   (1 << 32) - 2, 5 * (1 << 30) + 12345):
        assert pattern_bytes(offset, 300) == naive(offset, 300), offset


def test_period_is_65521():
    assert pattern_bytes(7 * BLOCK_LEN + 11, 1000) == pattern_bytes(11, 1000)
    assert pattern_bytes(1, 1000) != pattern_bytes(0, 1000)


def test_long_ranges_beyond_one_view():
    length = MAX_VIEW + BLOCK_LEN + 17
    data = pattern_bytes(123, length)
    assert len(data) == length
    assert data[-50:] == naive(123 + length - 50, 50)


def test_iter_pattern_concatenates_to_pattern_bytes():
    pieces = list(iter_pattern(999, 200_000, chunk=7_777))
    assert max(len(p) for p in pieces) == 7_777
    assert b"".join(pieces) == pattern_bytes(999, 200_000)


def test_empty_and_negative_lengths():
    assert pattern_bytes(5, 0) == b""
    assert pattern_bytes(5, -3) == b""
