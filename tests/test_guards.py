"""The debug build (scripts/sanitize): a poisoned guard record follows every
array the host backend allocates, and every launch checks the guards of its
arguments afterwards."""
import os

import numpy as np
import pytest

import tarnex.zel.zel as zel

GUARDED = hasattr(zel, "_guard_intact")
if not GUARDED and os.environ.get("ZEL_SANITIZE"):
    pytest.fail("the sanitizer build is the debug build and must carry guard records", pytrace=False)
pytestmark = pytest.mark.skipif(not GUARDED or zel.device != "host",
                                reason="built without guard records (scripts/sanitize builds them)")


def test_module_arrays_keep_their_guards_through_launches():
    a = zel.tensor([[1.0, 2.0], [3.0, 4.0]])
    b = zel.reshape(a, (1, 2, 2))
    for t in (zel.add(a, a), zel.exp(a), zel.sum(a), zel.mm(a, a), zel.bmm(b, b), zel.cumsum(a), zel.zeros(0)):
        data = t._data
        assert zel._guard_intact(data)
    # The guard is not part of the array.
    assert len(zel.add(a, a)._data) == 4 and zel.add(a, a).to_list() == [[2.0, 4.0], [6.0, 8.0]]


def test_a_write_past_the_end_is_caught_by_the_next_launch():
    t = zel.zeros(3)
    # Four records into a three-record array: the fourth lands on the guard.
    zel._get_kernel("fp_ones_kernel")((1,), (256,), (t._data, np.int32(4)))
    assert not zel._guard_intact(t._data)
    with pytest.raises(SystemError, match="guard record after argument 0 of fp_neg_kernel"):
        zel.neg(t)
