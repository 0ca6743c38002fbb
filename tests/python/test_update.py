"""Merging updates and the dict walk shared with the map constructor."""

import pytest

from conftest import MAX, DictWithOverrides, raises
from tolvane_trie import TolvaneMap, TolvaneSet


def test_map_update_from_another_map():
    m = TolvaneMap({1: 1, 2: 2})
    m2 = TolvaneMap({2: 20, 3: 30, MAX: 0})
    assert m.update(m2) is None
    assert m.items() == [(1, 1), (2, 20), (3, 30), (MAX, 0)]
    assert m2.items() == [(2, 20), (3, 30), (MAX, 0)]
    m.update(other=TolvaneMap())
    assert len(m) == 4

    small = TolvaneMap((k, k) for k in range(31))
    small.update(TolvaneMap({1000: 1}))
    assert len(small) == 32 and small.validate() and small[1000] == 1
    fresh = TolvaneMap()
    fresh.update(TolvaneMap((k * 977, k) for k in range(40)))
    assert fresh.items() == [(k * 977, k) for k in range(40)] and fresh.validate()


def test_update_of_itself_is_refused_and_changes_nothing():
    m, s = TolvaneMap({1: 2}), TolvaneSet([1])
    raises(RuntimeError, "Already mutably borrowed", lambda: m.update(m))
    raises(RuntimeError, "Already mutably borrowed", lambda: s.update(s))
    assert m.items() == [(1, 2)] and s.to_list() == [1]


def test_map_update_from_dicts_and_iterables():
    m = TolvaneMap()
    m.update({3: 4, 1: 2})
    assert m.items() == [(1, 2), (3, 4)]

    m.update(DictWithOverrides({5: 6}))
    m.update([(1, 2), (1, 3)])
    assert m.items() == [(1, 3), (3, 4), (5, 6)]
    for empty in [{}, [], iter([]), TolvaneSet()]:
        m.update(empty)
    assert len(m) == 3

    raises(TypeError, "'list' object is not an instance of 'tuple'",
           lambda: m.update([(7, 8), [9, 10]]))
    raises(ValueError, "expected tuple of length 2, but got tuple of length 3",
           lambda: m.update([(11, 1, 1)]))
    raises(OverflowError, None, lambda: m.update([(12, -1)]))
    raises(TypeError, "'int' object is not an instance of 'tuple'",
           lambda: m.update(TolvaneSet([13])))
    with pytest.raises(TypeError, match="not iterable"):
        m.update(5)
    assert m.keys() == [1, 3, 5, 7]  # pairs before each failure stay, nothing after


def test_set_update_paths():
    s = TolvaneSet([1])
    s.update(TolvaneSet([2, MAX]))
    s.update({5: 6})
    s.update(TolvaneMap({7: 0}))
    s.update(b"\x08\x09")  # iterated: no packed reading here
    assert s.to_list() == [1, 2, 5, 7, 8, 9, MAX]
    with pytest.raises(OverflowError):
        s.update([10, 2**64, 11])
    assert 10 in s and 11 not in s

    def touching():
        yield 20
        len(s)
        yield 21

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        s.update(touching())
    assert 20 in s and 21 not in s


def test_update_refuses_mutation_from_its_own_input():
    s = TolvaneSet([1, 2])
    t = TolvaneSet()

    def meddle():
        yield 3
        t.update(s)  # t is held by the update that is reading this generator

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        t.update(meddle())
    assert t.to_list() == [3]


class Recorder:
    """Keys and values whose conversions log what happens to them."""

    def __init__(self, log, name, value, action=None):
        self.log, self.name, self.value, self.action = log, name, value, action

    def __index__(self):
        self.log.append(f"convert {self.name}")
        if self.action:
            self.action()
        return self.value

    def __hash__(self):
        return hash(self.name)

    def __del__(self):
        self.log.append(f"free {self.name}")


@pytest.mark.parametrize("via", ["constructor", "update"])
def test_dict_entries_stay_alive_while_converted(via):
    log = []
    d = {}
    key = Recorder(log, "key", 5, action=lambda: d.clear())
    d[key] = Recorder(log, "value", 7)
    del key
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        TolvaneMap(d) if via == "constructor" else TolvaneMap().update(d)
    # The entry was deleted while its key converted; the value lived on until converted.
    assert log.index("convert key") < log.index("convert value") < log.index("free value")

    m = TolvaneMap()
    d = {Recorder(log, "k", 1, action=lambda: d.clear()): 2}
    with pytest.raises(RuntimeError, match="changed size"):
        m.update(d)
    assert m.items() == [(1, 2)]  # the pair read before the change stays


def test_dict_whose_keys_are_replaced_during_the_walk():
    d = {}
    counter = iter(range(100))

    def replace(old):
        def action():
            del d[old]
            new = Recorder([], f"k{next(counter)}", 10)
            new.action = replace(new)
            d[new] = 1
        return action

    first = Recorder([], "first", 1)
    first.action = replace(first)
    d[first] = 1
    del first
    m = TolvaneMap()
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        m.update(d)
    assert m.keys() == [1, 10]
