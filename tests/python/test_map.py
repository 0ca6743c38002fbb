"""TolvaneMap against a dict and a sorted-list oracle."""

import array
import random

import pytest

from conftest import KEY_SETS, LARGE, MAX, DictWithOverrides, check_ordered
from tolvane_trie import TolvaneMap


def value_of(k):
    return (k * 0x9E3779B97F4A7C15 + 7) & MAX


def check_against(m, model, seed):
    """Every reading method of `m` agrees with the dict `model`."""
    entries = sorted(model.items())
    qs = check_ordered(m, model, seed, answer=lambda k: (k, model[k]))
    assert m.validate_explain() is None and m.items() == entries
    assert m.keys() == [k for k, _ in entries] and m.values() == [v for _, v in entries]
    assert m.get_batch(qs) == [model.get(k) for k in qs]
    for k in qs:
        assert m.contains_key(k) is (k in model)
        assert m.get(k) == model.get(k) and m.get(k, 5) == model.get(k, 5)


def build(kind, keys):
    model = {k: value_of(k) for k in keys}
    if kind == "constructor":
        return TolvaneMap(model), model
    m = TolvaneMap()
    if kind == "insert_many":
        assert m.insert_many(memoryview(array.array("Q", keys)),
                             [value_of(k) for k in keys]) == len(keys)
    else:
        for k in keys:
            m[k] = value_of(k)
    return m, model


@pytest.mark.parametrize("key_set", sorted(KEY_SETS))
@pytest.mark.parametrize("n", [5, 31, 32, 40, 3000])
def test_small_maps_every_method(key_set, n):
    keys = KEY_SETS[key_set](n, seed=n)[:n]
    for how in ["constructor", "insert_many", "assign"]:
        m, model = build(how, keys)
        check_against(m, model, seed=n)


@pytest.mark.parametrize("key_set", sorted(KEY_SETS))
def test_large_map_through_growth_and_shrinkage(key_set):
    keys = KEY_SETS[key_set](LARGE, seed=11)
    m, model = build("insert_many", keys)
    check_against(m, model, seed=1)

    rng = random.Random(2)
    doomed = rng.sample(sorted(model), len(model) // 2)
    for k in doomed[: len(doomed) // 2]:
        assert m.remove(k) == model.pop(k)
    for k in doomed[len(doomed) // 2:]:
        assert m.pop(k, 1) == model.pop(k)
    for k in rng.sample(sorted(model), 1000):  # overwrite
        assert m.insert(k, 3) == model[k]
        model[k] = 3
    check_against(m, model, seed=3)

    # Down to a handful: the tree condenses back into a root leaf.
    for k in sorted(model)[: len(model) - 20]:
        del m[k]
        del model[k]
    check_against(m, model, seed=4)
    m.clear()
    check_against(m, {}, seed=5)


def test_point_operations():
    m = TolvaneMap()
    assert m.insert(7, 1) is None and m.insert(7, 2) == 1 and len(m) == 1 and m.get(7) == 2
    assert m.remove(8) is None and m.remove(7) == 2 and m.remove(7) is None
    with pytest.raises(KeyError) as info:
        m.pop(9)
    assert info.value.args == ("Key 9 not found in TolvaneMap",)
    with pytest.raises(KeyError):
        m.pop(9, None)
    assert m.pop(9, 7) == 7
    m[9] = 90
    assert m.pop(9, 7) == 90 and 9 not in m
    with pytest.raises(KeyError) as info:
        m[5]
    assert info.value.args == ("Key 5 not found in TolvaneMap",)
    with pytest.raises(KeyError) as info:
        del m[7]
    assert info.value.args == ("Key 7 not found in TolvaneMap",)
    m[MAX] = MAX
    assert m[MAX] == MAX and m.next_after(MAX) is None and m.prev_before(0) is None
    assert m.next(MAX) is None and m.prev(0) is None and m.next(MAX, True) == (MAX, MAX)


def test_worked_example():
    m = TolvaneMap({1: 10, 5: 50, 9: 90})
    assert m.first() == (1, 10) and m.last() == (9, 90)
    assert m.next_at_or_after(5) == (5, 50) and m.next_after(5) == (9, 90)
    assert m.prev_at_or_before(4) == (1, 10) and m.prev_before(1) is None
    assert m.count_below(5) == 1 and m.by_count(2) == (9, 90) and m.by_count(3) is None
    assert m.count_range(2, 9) == 2 and m.count_range(9, 2) == 0
    assert m.range(5, 9) == [(5, 50), (9, 90)] and m.range(5, 9, inclusive=False) == [(5, 50)]
    assert m.range(None, 5) == [(1, 10), (5, 50)] and m.range(6) == [(9, 90)]
    assert m.range(10, 2) == [] and m.range(end=None, inclusive=False) == m.items()


def test_constructor_inputs():
    assert len(TolvaneMap()) == len(TolvaneMap(None)) == len(TolvaneMap(items=None)) == 0
    assert len(TolvaneMap({})) == len(TolvaneMap([])) == 0
    assert TolvaneMap([(1, 2), (1, 5)]).items() == [(1, 5)]
    assert TolvaneMap(iter([(2, 3)])).items() == [(2, 3)]

    assert TolvaneMap(DictWithOverrides({3: 30, 1: 10})).items() == [(1, 10), (3, 30)]
    assert len(TolvaneMap(TolvaneMap())) == 0
    with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'tuple'$"):
        TolvaneMap(TolvaneMap({1: 2}))


def test_insert_many_semantics():
    m = TolvaneMap()
    assert m.insert_many([], []) == 0 and m.insert_many(b"", bytearray()) == 0
    assert m.insert_many([1, 1], [2, 3]) == 2 and m.items() == [(1, 3)]
    assert m.insert_many(bytes(16), [7, 8]) == 2 and m[0] == 8
    assert m.insert_many(keys=range(5), values=iter(range(5))) == 5
    one = iter([(1)])
    with pytest.raises(ValueError):
        m.insert_many(one, one)  # `keys` used the iterator up
    assert m.insert_many(iter([]), iter([])) == 0


def test_shrink_and_memory_statistics():
    m = TolvaneMap((k, k) for k in range(5000))
    used = m.mem_used()
    assert used > 0 and m.mem_held() >= used and m.total_node_allocs() > 0
    for k in range(0, 5000, 2):
        del m[k]
    used = m.mem_used()
    m.shrink_to_fit()
    assert m.mem_used() == used and len(m) == 2500 and m.shrink_to_fit() == 0
    m.clear()
    assert len(m) == 0 and m.mem_used() == 0 and m.shrink_to_fit() == 0
