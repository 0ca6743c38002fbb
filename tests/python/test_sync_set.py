"""SyncTolvaneSet against set and sorted-list oracles, single-threaded, and
its error paths."""

import random

import pytest

from conftest import KEY_SETS, MAX, SortedOracle, argument_notes, probes
from tolvane_trie import SyncTolvaneMap, SyncTolvaneSet, TolvaneSet


def check_against(s, model, seed):
    oracle = SortedOracle(model)
    ordered = oracle.keys
    assert len(s) == len(model) and bool(s) is bool(model)
    assert s.is_empty() is (not model) and s.empty is (not model)
    assert repr(s) == f"SyncTolvaneSet(len={len(model)})"
    assert list(s) == list(s.range()) == ordered
    assert s.first() == (ordered[0] if ordered else None)
    assert s.last() == (ordered[-1] if ordered else None)
    qs = probes(ordered, 150, seed)
    for k in qs:
        assert s.contains(k) is (k in model) and (k in s) is (k in model)
        assert s.next(k) == oracle.next_after(k) and s.next(k, True) == oracle.next_at_or_after(k)
        assert s.prev(k) == oracle.prev_before(k) and s.prev(k, True) == oracle.prev_at_or_before(k)
        assert s.count_below(k) == oracle.count_below(k)
    for i in {0, len(ordered) // 2, len(ordered)}:
        assert s.by_count(i) == (ordered[i] if i < len(ordered) else None)
    rng = random.Random(seed)
    for _ in range(50):
        a, b = rng.choice(qs), rng.choice(qs)
        inclusive = rng.random() < 0.5
        assert s.count_range(a, b) == oracle.count_range(a, b)
        assert list(s.range(a, b, inclusive)) == oracle.range(a, b, inclusive)
    assert list(s.range(None, qs[3], False)) == oracle.range(None, qs[3], False)


@pytest.mark.parametrize("key_set", sorted(KEY_SETS))
def test_random_operations_agree_with_set(key_set):
    rng = random.Random(key_set)
    keys = KEY_SETS[key_set](3000, seed=5)
    s, model = SyncTolvaneSet(), set()
    for step in range(6000):
        k, r = rng.choice(keys), rng.random()
        if r < 0.5:
            assert (s.insert(k) if r < 0.25 else s.add(k)) is (k not in model)
            model.add(k)
        elif r < 0.85:
            assert (s.remove(k) if r < 0.7 else s.discard(k)) is (k in model)
            model.discard(k)
        elif r < 0.95:
            batch = rng.sample(keys, 20)
            assert s.insert_many(batch) == 20
            model.update(batch)
        else:
            batch = rng.sample(keys, 10)
            s.update(batch)
            model.update(batch)
        if step % 1500 == 1499:
            check_against(s, model, seed=step)
    s.clear()
    check_against(s, set(), seed=2)


def test_root_leaf_sizes_and_the_ends_of_the_key_space():
    for n in [0, 1, 2, 3, 16, 17, 24, 25, 31, 32]:
        keys = ([0, MAX] + [random.Random(n).getrandbits(64) for _ in range(n)])[:n]
        s = SyncTolvaneSet()
        s.update(keys)
        check_against(s, set(keys), seed=n)
        assert s.next(MAX) is None and s.prev(0) is None
        assert s.next(MAX, True) == (MAX if MAX in keys else None)


def test_updates_errors_and_bulk_input():
    s = SyncTolvaneSet()
    assert s.insert_many(b"") == 0 and s.insert_many([1, 1, 2]) == 3 and len(s) == 2
    with pytest.raises(ValueError, match=r"insert_many: keys byte buffer length \(12\)"):
        s.insert_many(b"x" * 12)
    with pytest.raises(OverflowError):
        s.insert_many([7, -1])
    assert 7 in s  # what went in before the bad item stays
    with pytest.raises(OverflowError):
        s.update([8, -1])
    with pytest.raises(TypeError):
        s.update(5)
    assert 8 not in s
    with pytest.raises(OverflowError) as info:
        -1 in s
    assert getattr(info.value, "__notes__", None) == argument_notes("key")
    with pytest.raises(TypeError) as info:
        s.next(1, inclusive=None)
    assert getattr(info.value, "__notes__", None) == argument_notes("inclusive")
    other = SyncTolvaneSet()
    other.update(range(100, 105))
    s.update(other)
    s.update(s)
    s.update(TolvaneSet([200]))
    m = SyncTolvaneMap()
    m.update({300: 1})
    s.update(m)
    s.update({400: 0})
    assert list(s) == [1, 2, 7, 100, 101, 102, 103, 104, 200, 300, 400]
    assert s.remove(999) is False and s.discard(999) is False
    assert s.count_range(10, 5) == 0 and s.by_count(len(s)) is None
    assert s.by_count(0) == s.first()


def test_iterators_keep_their_snapshot():
    s = SyncTolvaneSet()
    s.update(range(50))
    it, ranged, empty = iter(s), s.range(10, 15), s.range(5, 5, False)
    s.clear()
    del s
    assert len(it) == 50 and list(it) == list(range(50)) and len(it) == 0
    assert list(ranged) == list(range(10, 16)) and list(empty) == []
    assert type(it).__name__ == "SyncTolvaneSetIter"
    assert type(ranged).__name__ == "SyncTolvaneSetRangeIter"
