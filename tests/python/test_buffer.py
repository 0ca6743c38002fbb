"""Packed and iterated bulk input of insert_many."""

import array

import pytest

from conftest import raises
from tolvane_trie import TolvaneMap, TolvaneSet


def packed(*values):
    return array.array("Q", values).tobytes()


def length_message(name, n):
    return (f"insert_many: {name} byte buffer length ({n}) is not a multiple of 8; a packed u64 "
            "buffer must contain whole 8-byte elements")


class Bytes2(bytearray):
    pass


@pytest.mark.parametrize("wrap", [bytes, bytearray, Bytes2, memoryview,
                                  lambda b: memoryview(array.array("Q", b))])
def test_packed_kinds(wrap):
    m, s = TolvaneMap(), TolvaneSet()
    assert m.insert_many(wrap(packed(1, 2, 2**64 - 1)), wrap(packed(10, 20, 30))) == 3
    assert m.items() == [(1, 10), (2, 20), (2**64 - 1, 30)]
    assert s.insert_many(wrap(packed(5, 5, 6))) == 3 and s.to_list() == [5, 6]


def test_packed_input_is_copied_and_read_in_view_order():
    keys = bytearray(packed(1, 2))
    m = TolvaneMap()

    class Grow:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            keys[:] = packed(7, 8, 9)  # too late: keys were copied already
            return self.v

    assert m.insert_many(keys, [Grow(1), 2]) == 2 and m.keys() == [1, 2]
    strided = memoryview(packed(1, 0, 2, 0, 3, 0)).cast("Q")[::2]
    assert TolvaneSet().insert_many(strided) == 3
    s = TolvaneSet()
    s.insert_many(strided)
    assert s.to_list() == [1, 2, 3]


def test_length_errors_insert_nothing():
    m, s = TolvaneMap({1: 1}), TolvaneSet([1])
    for call, message in [(lambda: m.insert_many(bytes(12), bytes(16)), length_message("keys", 12)),
                          (lambda: m.insert_many(bytes(16), bytearray(9)),
                           length_message("values", 9)),
                          (lambda: m.insert_many([1, 2], [3]),
                           "insert_many: keys (2) and values (1) must have the same number of "
                           "elements"),
                          (lambda: m.insert_many(bytes(8), []),
                           "insert_many: keys (1) and values (0) must have the same number of "
                           "elements"),
                          (lambda: s.insert_many(memoryview(b"\x01" * 7)),
                           length_message("keys", 7))]:
        raises(ValueError, message, call)
    assert m.items() == [(1, 1)] and s.to_list() == [1]


def test_iterated_input_failures():
    m, s = TolvaneMap(), TolvaneSet()

    def raising():
        yield 1
        yield 2
        raise KeyError("from the generator")

    with pytest.raises(KeyError, match="from the generator"):
        m.insert_many(raising(), [0, 0])
    assert len(m) == 0  # the map converts everything first
    with pytest.raises(KeyError, match="from the generator"):
        s.insert_many(raising())
    assert s.to_list() == [1, 2]  # the set inserts as it reads
    with pytest.raises(OverflowError) as info:
        s.insert_many([3, 4, -3, 5])
    assert not hasattr(info.value, "__notes__") and s.to_list() == [1, 2, 3, 4]
    with pytest.raises(TypeError, match="'str' object cannot be interpreted as an integer"):
        m.insert_many("12", [1, 2])
    with pytest.raises(TypeError, match="not iterable"):
        s.insert_many(5)
    assert s.insert_many(array.array("Q", [9, 10])) == 2 and 10 in s


@pytest.mark.parametrize("seed", range(6))
def test_bulk_loads_in_key_order_end_as_inserts_one_by_one(seed):
    # Keys spread over every byte, over the low bytes only, and repeated,
    # with ascending and descending runs: the bulk methods sort their copy,
    # and must end with the entries (last value of a repeated key) and the
    # counts that inserting one by one gives, in no more node allocations.
    import random
    rng = random.Random(seed)
    n = rng.choice([1, 2, 33, 700, 5000])
    spread = rng.choice([2**64 - 1, 2**16, 300, 2**40])
    keys = [rng.randrange(spread + 1) for _ in range(n)]
    if seed % 3 == 1:
        keys.sort(reverse=bool(seed & 4))
    values = [rng.randrange(2**64) for _ in range(n)]

    one_by_one_set, bulk_set = TolvaneSet(), TolvaneSet()
    for k in keys:
        one_by_one_set.add(k)
    assert bulk_set.insert_many(packed(*keys)) == n
    assert bulk_set.to_list() == one_by_one_set.to_list() == sorted(set(keys))
    assert bulk_set.validate()
    assert bulk_set.total_node_allocs() <= one_by_one_set.total_node_allocs()

    expected = {}
    for k, v in zip(keys, values):
        expected[k] = v
    one_by_one_map, bulk_map = TolvaneMap(), TolvaneMap()
    for k, v in zip(keys, values):
        one_by_one_map[k] = v
    assert bulk_map.insert_many(packed(*keys), packed(*values)) == n
    assert bulk_map.items() == one_by_one_map.items() == sorted(expected.items())
    assert bulk_map.validate()
    assert bulk_map.total_node_allocs() <= one_by_one_map.total_node_allocs()


def ordered_inputs():
    import random
    rng = random.Random(17)
    wide = [rng.getrandbits(64) for _ in range(3000)]
    # Keys crowded into one narrow band with a far outlier all fall into one
    # run of the first digit, longer than the sorts take through scratch.
    crowded = [2**40 + rng.randrange(1 << 24) for _ in range(70000)] + [2**64 - 1, 3]
    rng.shuffle(crowded)
    return {
        "empty": [],
        "one": [5],
        "ascending": sorted(wide),
        "descending": sorted(wide, reverse=True),
        "all equal": [2**63 + 9] * 500,
        "two alternating": [7, 2**64 - 1] * 300,
        # Runs of one key each longer than a sort's scratch.
        "two alternating, long": [7, 2**64 - 1] * 70000,
        "low byte only": [rng.randrange(256) for _ in range(2000)],
        "wide": wide,
        "crowded": crowded,
        "repeated runs": [k for k in wide[:200] for _ in range(3)],
    }


@pytest.mark.parametrize("name", sorted(ordered_inputs()))
def test_bulk_loads_of_shaped_inputs_end_as_inserts_one_by_one(name):
    keys = ordered_inputs()[name]
    values = [(k * 7 + i) % 2**64 for i, k in enumerate(keys)]
    single_set, bulk_set = TolvaneSet(), TolvaneSet()
    for k in keys:
        single_set.add(k)
    assert bulk_set.insert_many(packed(*keys)) == len(keys)
    assert bulk_set.to_list() == single_set.to_list() == sorted(set(keys))
    assert len(bulk_set) == len(single_set) and bulk_set.validate()
    expected = dict(zip(keys, values))  # the last value of a repeated key
    bulk_map = TolvaneMap()
    assert bulk_map.insert_many(packed(*keys), packed(*values)) == len(keys)
    assert bulk_map.items() == sorted(expected.items())
    assert len(bulk_map) == len(expected) and bulk_map.validate()
    ranks = sorted(expected)
    for i in range(0, len(ranks), max(1, len(ranks) // 50)):
        assert bulk_set.by_count(i) == ranks[i] and bulk_map.count_below(ranks[i]) == i


def test_bulk_loads_read_unaligned_and_mixed_inputs():
    # A bytearray whose front was cut off starts off its allocation's
    # alignment; packed keys beside iterated values and the reverse.
    keys = [9, 3, 2**64 - 2, 3, 0]
    cut = bytearray(b"\x00" + packed(*keys))
    del cut[:1]
    s = TolvaneSet()
    assert s.insert_many(cut) == 5 and s.to_list() == [0, 3, 9, 2**64 - 2]
    for k_arg, v_arg in [(cut, [1, 2, 3, 4, 5]), (keys, bytearray(packed(1, 2, 3, 4, 5))),
                         (iter(keys), iter([1, 2, 3, 4, 5]))]:
        m = TolvaneMap({3: 100, 7: 70})
        assert m.insert_many(k_arg, v_arg) == 5
        assert m.items() == [(0, 5), (3, 4), (7, 70), (9, 1), (2**64 - 2, 3)]


def test_bulk_load_into_a_filled_tree_keeps_what_was_there():
    import random
    rng = random.Random(3)
    before = [rng.getrandbits(64) for _ in range(5000)]
    more = [rng.getrandbits(64) for _ in range(5000)] + before[:100]
    s = TolvaneSet(before)
    assert s.insert_many(packed(*more)) == len(more)
    assert s.to_list() == sorted(set(before) | set(more)) and s.validate()
    m = TolvaneMap((k, 1) for k in before)
    assert m.insert_many(packed(*more), packed(*range(len(more)))) == len(more)
    expected = {k: 1 for k in before}
    expected.update(zip(more, range(len(more))))
    assert m.items() == sorted(expected.items()) and m.validate()
