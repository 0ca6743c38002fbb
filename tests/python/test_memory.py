"""Repeated create/fill/clear/drop cycles must not grow the process."""

import array
import os
import random

import pytest

from tolvane_trie import TolvaneMap, TolvaneSet

N = 200_000


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def one_cycle(keys, packed):
    m = TolvaneMap()
    m.insert_many(packed, packed)
    assert len(iter(m)) == len(m)
    m.clear()
    assert m.mem_used() == 0
    m.update(TolvaneMap(zip(keys[:5000], keys[:5000])))
    del m

    s = TolvaneSet(keys[:50_000])
    s.insert_many(packed)
    for k in keys[:50_000]:
        s.remove(k)
    s.shrink_to_fit()
    del s

    def failing():
        yield from keys[:20_000]
        raise ValueError
    with pytest.raises(ValueError):
        TolvaneSet(failing())  # the partly built set is released
    with pytest.raises(ValueError):
        TolvaneMap(zip(failing(), failing()))


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's quarantine holds freed memory; it checks leaks itself")
def test_no_growth_over_cycles():
    rng = random.Random(7)
    keys = [rng.getrandbits(64) for _ in range(N)]
    packed = array.array("Q", keys).tobytes()
    for _ in range(3):
        one_cycle(keys, packed)
    before = resident_bytes()
    for _ in range(15):
        one_cycle(keys, packed)
    # One cycle holds several megabytes of nodes; a leak of them would show
    # many times over.
    assert resident_bytes() - before < 8 * 2**20
