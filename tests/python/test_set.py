"""TolvaneSet against a set and a sorted-list oracle."""

import array
import random

import pytest

from conftest import KEY_SETS, LARGE, MAX, check_ordered
from tolvane_trie import TolvaneSet


def check_against(s, model, seed):
    """Every reading method of `s` agrees with the set `model`."""
    qs = check_ordered(s, model, seed)
    assert s.contains_batch(qs) == [k in model for k in qs]


def build(how, keys):
    if how == "constructor":
        return TolvaneSet(keys)
    s = TolvaneSet()
    if how == "packed":
        assert s.insert_many(array.array("Q", keys).tobytes()) == len(keys)
    elif how == "iterable":
        assert s.insert_many(iter(keys)) == len(keys)
    else:
        for k in keys:
            s.add(k)
    return s


@pytest.mark.parametrize("key_set", sorted(KEY_SETS))
@pytest.mark.parametrize("n", [5, 31, 32, 40, 3000])
def test_small_sets_every_method(key_set, n):
    keys = KEY_SETS[key_set](n, seed=n)[:n]
    for how in ["constructor", "packed", "iterable", "add"]:
        check_against(build(how, keys), set(keys), seed=n)


@pytest.mark.parametrize("key_set", sorted(KEY_SETS))
def test_large_set_through_growth_and_shrinkage(key_set):
    keys = KEY_SETS[key_set](LARGE, seed=21)
    s, model = build("packed", keys), set(keys)
    check_against(s, model, seed=1)

    rng = random.Random(2)
    doomed = rng.sample(sorted(model), len(model) // 2)
    for k in doomed:
        assert (s.remove(k) if k & 1 else s.discard(k)) is True
        model.discard(k)
    for k in doomed[:100]:
        assert s.remove(k) is False
    for k in rng.sample(sorted(model), 100):
        assert s.insert(k) is False
    check_against(s, model, seed=3)

    ordered = sorted(model)
    for k in ordered[:-20]:
        assert s.pop() == k
    model = set(ordered[-20:])
    check_against(s, model, seed=4)
    s.clear()
    check_against(s, set(), seed=5)


def test_point_operations():
    s = TolvaneSet()
    with pytest.raises(KeyError) as info:
        s.pop()
    assert info.value.args == ("pop from an empty TolvaneSet",)
    assert s.insert(4) is True and s.insert(4) is False and s.add(4) is False and len(s) == 1
    assert s.remove(5) is False and s.discard(4) is True and s.discard(4) is False
    s.add(MAX)
    assert s.next_after(MAX) is None and s.next(MAX) is None and s.next(MAX, True) == MAX
    assert s.prev_before(0) is None and s.prev(0) is None and s.pop() == MAX and not s


def test_worked_example():
    s = TolvaneSet([1, 5, 9])
    assert s.next_at_or_after(5) == 5 and s.next_after(5) == 9
    assert s.prev_at_or_before(4) == 1 and s.prev_before(1) is None
    assert s.count_below(5) == 1 and s.by_count(2) == 9 and s.by_count(3) is None
    assert s.count_range(2, 9) == 2 and s.count_range(9, 2) == 0
    assert s.range(5, 9) == [5, 9] and s.range(5, 9, inclusive=False) == [5]
    assert s.range(None, 5) == [1, 5] and s.range(6) == [9] and s.range(10, 2) == []


def test_construction_and_bulk_inputs():
    assert len(TolvaneSet()) == len(TolvaneSet(None)) == len(TolvaneSet(iterable=[])) == 0
    assert TolvaneSet([3, 1, 3]).to_list() == [1, 3] and len(TolvaneSet([3, 1, 3])) == 2
    assert TolvaneSet(b"\x01\x02\x03").to_list() == [1, 2, 3]  # iterated, never packed
    assert TolvaneSet({5: 6}).to_list() == [5]
    other = TolvaneSet([1, 2])
    copy = TolvaneSet(other)
    other.add(3)
    copy.add(4)
    assert other.to_list() == [1, 2, 3] and copy.to_list() == [1, 2, 4]

    s = TolvaneSet()
    with pytest.raises(ValueError, match=r"keys byte buffer length \(3\)"):
        s.insert_many(b"\x01\x02\x03")
    assert len(s) == 0
    assert s.insert_many((7).to_bytes(8, "little") * 2) == 2 and s.to_list() == [7]
    assert s.insert_many([]) == 0 and s.insert_many(b"") == 0
    assert s.insert_many(array.array("Q", [9])) == 1  # array.array is iterated
    assert s.insert_many(range(40)) == 40 and s.validate() and len(s) == 40


def test_memory_statistics_after_removals():
    s = TolvaneSet(range(0, 400_000, 97))
    used = s.mem_used()
    assert used > 0 and s.mem_held() >= used and s.total_node_allocs() > 0
    for k in s.to_list():
        s.remove(k)
    used = s.mem_used()
    assert s.shrink_to_fit() > 0
    assert s.mem_used() == used and s.shrink_to_fit() == 0
