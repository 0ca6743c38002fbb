"""TolvaneBytesMap against a dict oracle, and its error paths."""

import random

import pytest

from conftest import MAX, argument_notes, runtime_errors_on_another_thread
from tolvane_trie import TolvaneBytesMap

MISSING = "Key not found in TolvaneBytesMap"
KEY_TYPE = "Expected bytes, bytearray, or str for key"


def random_key(rng):
    """bytes (NULs and the empty key common), str (non-ASCII too) or bytearray
    spelling of a key; returns (argument, the bytes it names)."""
    n = rng.choice([0, 1, 2, 3, 8, 17])
    raw = bytes(rng.choice([0, 0, 1, 0xFF, rng.randrange(256)]) for _ in range(n))
    form = rng.random()
    if form < 0.15:
        text = "".join(rng.choice("aé€\U0001F600") for _ in range(n % 4))
        return text, text.encode()
    if form < 0.25:
        return bytearray(raw), raw
    return raw, raw


def check_against(m, model):
    assert len(m) == len(model) and bool(m) is bool(model)
    assert m.is_empty() is (not model) and m.empty is (not model)
    assert repr(m) == f"TolvaneBytesMap(len={len(model)})"
    items = list(m.items())
    assert dict(items) == model and len(items) == len(model)
    # Every listing walks the same order, and so does for_each.
    walked = []
    assert m.for_each(lambda k, v: walked.append((k, v))) is None
    assert walked == items
    assert list(m) == list(m.keys()) == [k for k, _ in items]
    assert list(m.values()) == [v for _, v in items]
    assert all(type(k) is bytes for k, _ in items)
    assert (m.mem_used() > 0) is bool(model)


def test_random_stream_matches_dict():
    rng = random.Random(2026)
    m, model = TolvaneBytesMap(), {}
    for step in range(20000):
        arg, key = random_key(rng)
        op = rng.randrange(12)
        value = rng.choice([0, MAX, rng.getrandbits(64)])
        if op == 0:
            assert m.insert(arg, value) == model.get(key)
            model[key] = value
        elif op == 1:
            m[arg] = value
            model[key] = value
        elif op == 2:
            assert m.remove(arg) == model.pop(key, None)
        elif op == 3:
            if key in model:
                assert m.pop(arg) == model.pop(key)
            else:
                for call in (lambda: m.pop(arg), lambda: m.pop(arg, None)):
                    with pytest.raises(KeyError, match=f"^'{MISSING}'$"):
                        call()
                assert m.pop(arg, 7) == 7 and m.pop(arg, default=0) == 0
        elif op == 4:
            if key in model:
                del m[arg]
                del model[key]
            else:
                with pytest.raises(KeyError, match=f"^'{MISSING}'$"):
                    del m[arg]
        elif op == 5:
            pairs = [random_key(rng) + (rng.getrandbits(64),) for _ in range(rng.randrange(4))]
            if rng.random() < 0.5:
                m.update({a: v for a, _, v in pairs if not isinstance(a, bytearray)})
                model.update({k: v for a, k, v in pairs if not isinstance(a, bytearray)})
            else:
                m.update((a, v) for a, _, v in pairs)
                model.update((k, v) for _, k, v in pairs)
        elif op == 6 and rng.random() < 0.01:
            m.clear()
            model.clear()
            assert m.mem_used() == 0
        else:
            expected = model.get(key)
            assert m.get(arg) == expected and m.get(key, default=5) == model.get(key, 5)
            assert m.contains(arg) is m.contains_key(key) is (arg in m) is (expected is not None)
            if expected is None:
                with pytest.raises(KeyError, match=f"^'{MISSING}'$"):
                    m[arg]
            else:
                assert m[arg] == expected
        assert len(m) == len(model)
        if step % 2000 == 0:
            check_against(m, model)
    check_against(m, model)


def test_empty_map_and_special_keys():
    m = TolvaneBytesMap()
    check_against(m, {})
    assert len(m.keys()) == 0 and list(m.keys()) == []
    assert m.insert(b"", 1) is None and m.insert(b"\0", 2) is None and m.insert(b"\0\0", 3) is None
    assert m.insert("é", 4) is None and m.insert("é".encode(), 5) == 4
    assert m.insert(bytearray(b"\0"), 6) == 2
    check_against(m, {b"": 1, b"\0": 6, b"\0\0": 3, "é".encode(): 5})


def test_snapshots_ignore_later_changes():
    m = TolvaneBytesMap()
    for i in range(5):
        m[bytes([i])] = i
    keys, values, items = m.keys(), m.values(), m.items()
    m[b"new"] = 9
    del m[b"\0"]
    assert len(keys) == 5
    first = next(keys)
    assert len(keys) == 4 and iter(keys) is keys
    assert sorted([first] + list(keys)) == [bytes([i]) for i in range(5)]
    assert len(keys) == 0
    with pytest.raises(StopIteration):
        next(keys)
    with pytest.raises(StopIteration):
        next(keys)
    assert sorted(values) == list(range(5))
    assert sorted(items) == [(bytes([i]), i) for i in range(5)]


def test_argument_errors_and_notes():
    m = TolvaneBytesMap()
    m[b"k"] = 1
    with pytest.raises(TypeError, match="takes 0 positional arguments"):
        TolvaneBytesMap({})
    with pytest.raises(TypeError):
        TolvaneBytesMap(items={})
    for call in [lambda: m.get(5), lambda: m.insert(memoryview(b"k"), 1), lambda: m[None],
                 lambda: m.contains(1.5), lambda: 3 in m, lambda: m.remove(7),
                 lambda: m.__setitem__(5, 1), lambda: m.__delitem__(5)]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == KEY_TYPE and not getattr(info.value, "__notes__", None)
    # A bad value is reported before a bad key, and a bad default even for a
    # present key.
    cases = [(lambda: m.insert(5, -1), OverflowError, "val"),
             (lambda: m.__setitem__(b"k", "x"), TypeError, "val"),
             (lambda: m.get(b"k", -1), OverflowError, "default"),
             (lambda: m.pop(b"k", 2**64), OverflowError, "default")]
    for call, kind, name in cases:
        with pytest.raises(kind) as info:
            call()
        assert getattr(info.value, "__notes__", None) == argument_notes(name)
    assert dict(m.items()) == {b"k": 1}
    with pytest.raises(UnicodeEncodeError):
        m["\ud800"] = 1
    assert len(m) == 1


def test_for_each_stops_calling_after_first_error():
    m = TolvaneBytesMap()
    for i in range(10):
        m[b"k%d" % i] = i
    calls = []

    def fail_third(k, v):
        calls.append(k)
        assert m.get(k) == v and len(m) == 10  # reads work inside
        if len(calls) == 3:
            raise ValueError("third")

    with pytest.raises(ValueError, match="third"):
        m.for_each(fail_third)
    assert len(calls) == 3
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m.for_each(lambda k, v: m.insert(b"x", 1))
    with pytest.raises(TypeError):
        m.for_each(5)
    TolvaneBytesMap().for_each(5)  # nothing to call on an empty map
    m[b"after"] = 1  # every borrow was released
    assert len(m) == 11


def test_update_inputs_and_errors():
    m = TolvaneBytesMap()
    m.update({b"a": 1, "b": 2})
    m.update([(b"c", 3), (bytearray(b"d"), 4)])
    assert dict(m.items()) == {b"a": 1, b"b": 2, b"c": 3, b"d": 4}
    with pytest.raises(ValueError, match=r"^expected tuple of length 2, but got tuple of length 3$"):
        m.update([(b"x", 1, 2)])
    with pytest.raises(TypeError, match="^'bytes' object is not an instance of 'tuple'$"):
        m.update([b"xy"])
    with pytest.raises(TypeError, match=f"^{KEY_TYPE}$"):
        m.update([(b"e", 5), (6, 6)])
    assert m[b"e"] == 5
    with pytest.raises(TypeError, match=f"^{KEY_TYPE}$"):
        m.update({b"f": 1, 7: 7})
    with pytest.raises(TypeError):
        m.update(5)
    other = TolvaneBytesMap()
    other[b"z"] = 26
    with pytest.raises(TypeError, match="^'bytes' object is not an instance of 'tuple'$"):
        m.update(other)
    m.update(other.items())
    assert m[b"z"] == 26
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        m.update(m)

    class Items(dict):  # the dict's own entries are read, not its overrides
        def items(self):
            return [(b"wrong", 0)]

        def __iter__(self):
            return iter([b"wrong"])

    m.update(Items({b"right": 1}))
    assert m[b"right"] == 1 and b"wrong" not in m


def test_update_stops_when_a_value_changes_the_dict():
    victim = {}

    class Grows:
        def __index__(self):
            victim[b"late" + bytes(len(victim))] = 0
            return 9

    class DropsItself:  # frees its own entry's key and value while converting
        def __index__(self):
            del victim[b"dropper" * 3]
            return 4

    victim.update({b"first": 1, b"grower": Grows(), b"third": 3})
    m = TolvaneBytesMap()
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        m.update(victim)
    assert dict(m.items()) == {b"first": 1}
    victim.clear()
    victim.update({b"second": 2, b"dropper" * 3: DropsItself()})
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        m.update(victim)
    assert dict(m.items()) == {b"first": 1, b"second": 2}
    m[b"usable"] = 1  # the borrow was released

    class ReadsMap:
        def __index__(self):
            return len(m)

    with pytest.raises(RuntimeError) as info:
        m.insert(b"k", ReadsMap())
    assert str(info.value) == "Already mutably borrowed"
    assert getattr(info.value, "__notes__", None) == argument_notes("val")


@pytest.mark.parametrize("name,path", [
    ("TolvaneBytesMap", "bytesmap"), ("TolvaneStrMap", "strmap"),
    ("TolvaneOrderedBytesMap", "ordered_bytesmap")])
def test_other_threads_are_refused(name, path):
    import tolvane_trie

    m = getattr(tolvane_trie, name)()
    m[b"k"] = 1
    keys = iter(m)
    seen = runtime_errors_on_another_thread(
        lambda: m.get(b"k", -1), lambda: m.__setitem__(5, 1), lambda: next(keys))
    iter_name = f"{name}KeyIter"
    assert seen == [f"_tolvane::{path}::{name} is unsendable, but sent to another thread"] * 2 + [
        f"_tolvane::{path}::{iter_name} is unsendable, but sent to another thread"]
    assert m[b"k"] == 1 and next(keys) in (b"k", "k")
