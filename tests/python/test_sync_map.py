"""SyncTolvaneMap against dict and sorted-list oracles, single-threaded, and
its error paths."""

import random

import pytest

from conftest import KEY_SETS, MAX, SortedOracle, argument_notes, probes
from tolvane_trie import SyncTolvaneMap, TolvaneMap, _tolvane


def value_of(k, salt=0):
    return (k * 0x9E3779B97F4A7C15 + salt) & MAX


def check_against(m, model, seed):
    """Every reading method of `m` agrees with the dict `model`."""
    oracle = SortedOracle(model)
    ordered = oracle.keys
    entry = lambda k: None if k is None else (k, model[k])
    assert len(m) == len(model) and bool(m) is bool(model)
    assert m.is_empty() is (not model) and m.empty is (not model)
    assert repr(m) == f"SyncTolvaneMap(len={len(model)})"
    assert list(m) == list(m.keys()) == ordered
    assert list(m.values()) == [model[k] for k in ordered]
    assert list(m.items()) == [(k, model[k]) for k in ordered]
    assert m.first() == entry(ordered[0] if ordered else None)
    assert m.last() == entry(ordered[-1] if ordered else None)
    qs = probes(ordered, 150, seed)
    assert m.get_many(qs) == [model.get(k) for k in qs]
    for k in qs:
        assert (k in m) is (k in model) and m.get(k) == model.get(k)
        assert m.get(k, 7) == model.get(k, 7)
        assert m.next(k) == entry(oracle.next_after(k))
        assert m.next(k, True) == entry(oracle.next_at_or_after(k))
        assert m.prev(k) == entry(oracle.prev_before(k))
        assert m.prev(k, inclusive=True) == entry(oracle.prev_at_or_before(k))
        assert m.count_below(k) == oracle.count_below(k)
    for i in {0, len(ordered) // 2, max(len(ordered) - 1, 0), len(ordered)}:
        assert m.by_count(i) == (entry(ordered[i]) if 0 <= i < len(ordered) else None)
    rng = random.Random(seed)
    for _ in range(50):
        a, b = rng.choice(qs), rng.choice(qs)
        inclusive = rng.random() < 0.5
        assert m.count_range(a, b) == oracle.count_range(a, b)
        assert list(m.range(a, b, inclusive)) == [
            entry(k) for k in oracle.range(a, b, inclusive)]
    assert list(m.range(end=qs[5])) == [entry(k) for k in oracle.range(None, qs[5])]


@pytest.mark.parametrize("key_set", sorted(KEY_SETS))
def test_random_operations_agree_with_dict(key_set):
    rng = random.Random(key_set)
    keys = KEY_SETS[key_set](3000, seed=11)
    m, model = SyncTolvaneMap(), {}
    for step in range(6000):
        k, r = rng.choice(keys), rng.random()
        v = value_of(k, step)
        if r < 0.45:
            assert m.insert(k, v) == model.get(k)
            model[k] = v
        elif r < 0.55:
            m[k] = v
            model[k] = v
        elif r < 0.75:
            assert m.remove(k) == model.pop(k, None)
        elif r < 0.85:
            if k in model:
                assert m.pop(k) == model.pop(k)
            else:
                assert m.pop(k, 3) == 3
                with pytest.raises(KeyError, match=f"Key {k} not found in SyncTolvaneMap"):
                    m.pop(k)
        elif r < 0.9:
            if k in model:
                del m[k]
                del model[k]
            else:
                with pytest.raises(KeyError):
                    del m[k]
        elif r < 0.95:
            batch = rng.sample(keys, 20)
            assert m.insert_many(batch, [value_of(x, step) for x in batch]) == 20
            model.update((x, value_of(x, step)) for x in batch)
        else:
            batch = {x: value_of(x, -step) for x in rng.sample(keys, 10)}
            m.update(batch if rng.random() < 0.5 else list(batch.items()))
            model.update(batch)
        if step % 1500 == 1499:
            check_against(m, model, seed=step)
    m.clear()
    check_against(m, {}, seed=1)


def test_root_leaf_sizes_and_the_ends_of_the_key_space():
    for n in [0, 1, 2, 3, 16, 17, 24, 25, 31, 32, 33]:
        keys = [0, MAX] + [random.Random(n).getrandbits(64) for _ in range(n)]
        keys = keys[:n]
        m = SyncTolvaneMap()
        m.insert_many(keys, [value_of(k) for k in keys])
        check_against(m, {k: value_of(k) for k in keys}, seed=n)
        assert m.next(MAX) is None and m.prev(0) is None


def test_updates_from_every_kind_of_source():
    m = SyncTolvaneMap()
    m.update({1: 10, 2: 20})
    other = SyncTolvaneMap()
    other.update([(2, 21), (3, 30)])
    m.update(other)
    plain = TolvaneMap({4: 40})
    m.update(plain)
    m.update(m)
    assert list(m.items()) == [(1, 10), (2, 21), (3, 30), (4, 40)]
    with pytest.raises(TypeError):
        m.update(other.keys())  # a mapping's iterator yields keys, not pairs
    assert len(m) == 4


def test_conversion_errors_carry_notes_and_change_nothing():
    m = SyncTolvaneMap()
    m[5] = 50

    def notes_of(excinfo):
        return getattr(excinfo.value, "__notes__", None)

    for call, name, exc in [
        (lambda: m.get(5, -1), "default", OverflowError),
        (lambda: m.insert(1, "x"), "val", TypeError),
        (lambda: m.next(1, None), "inclusive", TypeError),
        (lambda: m.range(0, 5, None), "inclusive", TypeError),
        (lambda: m.pop(5, -2), "default", OverflowError),
        (lambda: m[-1], "key", OverflowError),
        (lambda: "a" in m, "key", TypeError),
        (lambda: m.__setitem__(1, -1), "val", OverflowError),
        (lambda: m.count_range(0, MAX + 1), "end", OverflowError),
    ]:
        with pytest.raises(exc) as info:
            call()
        assert notes_of(info) == argument_notes(name)
    assert list(m.items()) == [(5, 50)]

    with pytest.raises(ValueError, match=r"keys \(2\) and values \(1\)"):
        m.insert_many([1, 2], [3])
    with pytest.raises(ValueError, match="insert_many: keys byte buffer length \\(12\\)"):
        m.insert_many(b"x" * 12, [])
    with pytest.raises(ValueError, match="keys byte buffer length \\(12\\)"):
        m.get_many(b"x" * 12)
    with pytest.raises(OverflowError):
        m.update({1: 2, 3: -4})
    with pytest.raises(ValueError, match="length 2"):
        m.update([(1, 2), (3, 4, 5)])
    with pytest.raises(TypeError):
        m.update(5)
    with pytest.raises(TypeError):
        SyncTolvaneMap(1)
    assert list(m.items()) == [(5, 50)]
    assert m.insert_many(b"", []) == 0 and m.get_many([]) == []
    assert m.insert_many([1, 1], [2, 3]) == 2 and m[1] == 3


def test_update_from_a_dict_that_changes_size_while_converting():
    victim = {1: 2, 3: 4}

    class Shrinking:
        def __index__(self):
            victim.clear()
            return 9

    victim[5] = Shrinking()
    m = SyncTolvaneMap()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        m.update(victim)
    assert len(m) == 0


def test_snapshot_iterators():
    m = SyncTolvaneMap()
    m.update({k: k + 1 for k in range(100)})
    keys, values, items = m.keys(), m.values(), m.items()
    ranged = m.range(10, 20, False)
    it = iter(m)
    m.clear()
    del m
    assert iter(keys) is keys and len(keys) == 100
    assert next(keys) == 0 and len(keys) == 99
    assert list(keys) == list(range(1, 100)) and len(keys) == 0
    with pytest.raises(StopIteration):
        next(keys)
    with pytest.raises(StopIteration):
        next(keys)
    assert list(values) == list(range(1, 101))
    assert list(items) == [(k, k + 1) for k in range(100)]
    assert list(ranged) == [(k, k + 1) for k in range(10, 20)]
    assert type(it).__name__ == "SyncTolvaneMapKeyIter" and len(it) == 100
    for name in ["SyncTolvaneMapKeyIter", "SyncTolvaneMapValueIter", "SyncTolvaneMapItemIter",
                 "SyncTolvaneMapRangeIter", "SyncTolvaneSetIter", "SyncTolvaneSetRangeIter"]:
        with pytest.raises(TypeError, match=f"cannot create 'tolvane_trie._tolvane.{name}' instances"):
            getattr(_tolvane, name)()
