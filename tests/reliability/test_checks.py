"""The checks of the fault matrix reject what they are there to catch: a protocol checker or
a byte checker that accepted everything would let every row pass."""

import pytest

import harness

U = harness.USER_MESSAGE
DONE = (U + 1, 100, 0)


def beat(n):
    return (U + 1, 40, n)


GOOD = [(U, 300, 100), (U, 300, 200), (U, 300, 300), DONE, beat(1), beat(2)]


def test_a_good_sequence_passes():
    harness.check_protocol(GOOD, 300, succeeded=True, ran=True)
    # Lost progress or a lost download-complete is no breach: posts may be dropped.
    harness.check_protocol(GOOD[1:3] + GOOD[4:], 300, succeeded=True, ran=True)
    harness.check_protocol([(U, 300, 100)], 300, succeeded=False, ran=False)
    harness.check_protocol([], None, succeeded=False, ran=False)


@pytest.mark.parametrize("messages,total,succeeded,ran", [
    ([(U, 300, 200), (U, 300, 100)], 300, False, False),            # progress fell back
    ([(U, 300, 100), (U, 301, 200)], 300, False, False),            # total changed
    ([(U, 299, 100)], 300, False, False),                           # not the resource's length
    ([(U, 300, 301)], 300, False, False),                           # more done than the total
    ([(U, 300, 100)], None, False, False),                          # progress without a length
    ([(U, 300, 300), DONE], 300, False, False),                     # complete after a failure
    ([(U, 300, 300), DONE, DONE, beat(1)], 300, True, True),        # two completes
    ([DONE, (U, 300, 300), beat(1)], 300, True, True),              # complete before progress
    ([(U, 300, 300), beat(1), DONE], 300, True, True),              # heartbeat before complete
    ([(U, 300, 300), DONE, beat(2)], 300, True, True),              # heartbeats not from 1
    ([(U, 300, 300), DONE, beat(1), beat(3)], 300, True, True),     # a heartbeat skipped
    ([(U, 300, 300), DONE], 300, True, True),                       # ran without heartbeat
    ([(U, 300, 300), DONE, (U + 2, 0, 0), beat(1)], 300, True, True),  # a foreign message
    ([(U, 300, 300), DONE, (U + 1, 41, 1)], 300, True, True),       # an unknown code
])
def test_a_broken_sequence_fails(messages, total, succeeded, ran):
    with pytest.raises(AssertionError):
        harness.check_protocol(messages, total, succeeded=succeeded, ran=ran)


def test_wrong_bytes_sees_only_bytes_that_are_neither_zero_nor_the_resource():
    resource = bytes(range(1, 256)) * 1000
    partial = bytearray(len(resource))
    partial[70000:140000] = resource[70000:140000]
    assert harness.wrong_bytes(bytes(partial), resource) == []
    assert harness.wrong_bytes(resource, resource) == []
    shifted = bytearray(partial)
    shifted[140000:140010] = resource[140001:140011]   # a range written one byte off
    assert harness.wrong_bytes(bytes(shifted), resource)[0] == 140000
    error_page = harness.ERROR_PAGE % 404
    page = bytearray(len(resource))
    page[:len(error_page)] = error_page
    assert harness.wrong_bytes(bytes(page), resource) != []


def test_the_cut_and_drop_queries_name_each_range_start():
    bounds = harness.segment_bounds(harness.RESOURCE_SIZE)
    assert len(bounds) == 3 and bounds[0][0] == 0 and bounds[-1][1] == harness.RESOURCE_SIZE - 1
    assert all(a[1] + 1 == b[0] for a, b in zip(bounds, bounds[1:]))
