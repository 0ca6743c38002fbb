"""The call frame every method runs in: argument parsing, conversions and
their notes, the borrow flag and the thread binding."""

import sys
import threading
import weakref

import pytest

from conftest import MAX, raises
from tolvane_trie import TolvaneMap, TolvaneSet


def test_parser_messages():
    m = TolvaneMap()
    raises(TypeError, "TolvaneMap.get() missing 1 required positional argument: 'key'", m.get)
    raises(TypeError, "TolvaneMap.insert() missing 2 required positional arguments: 'key' and "
           "'val'", m.insert)
    raises(TypeError, "TolvaneMap.range() takes from 0 to 3 positional arguments but 4 were given",
           lambda: m.range(1, 2, True, 4))
    raises(TypeError, "TolvaneMap.get() takes from 1 to 2 positional arguments but 3 were given",
           lambda: m.get(1, 2, 3))
    raises(TypeError, "TolvaneMap.insert() takes 2 positional arguments but 3 were given",
           lambda: m.insert(1, 2, 3))
    raises(TypeError, "TolvaneSet.contains() takes 1 positional arguments but 2 were given",
           lambda: TolvaneSet().contains(1, 2))
    raises(TypeError, "TolvaneMap.get() got an unexpected keyword argument 'nokey'",
           lambda: m.get(key=1, nokey=2))
    raises(TypeError, "TolvaneMap.get() got multiple values for argument 'key'",
           lambda: m.get(1, key=1))
    raises(TypeError, "TolvaneMap.__new__() takes from 0 to 1 positional arguments but 2 were "
           "given", lambda: TolvaneMap(1, 2))
    raises(TypeError, "TolvaneSet.__new__() got an unexpected keyword argument 'foo'",
           lambda: TolvaneSet(foo=1))
    raises(TypeError, "TolvaneMap.insert_many() missing 1 required positional argument: 'values'",
           lambda: m.insert_many([1]))
    with pytest.raises(TypeError):
        m.clear(1)  # no-argument methods: the interpreter refuses by itself
    assert m.get(default=4, key=1) == 4 and m.insert(val=2, key=1) is None
    assert m.range(inclusive=False, end=None) == [(1, 2)]


@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2**64, OverflowError),
                                      ("1", TypeError), (1.0, TypeError), (b"1", TypeError)])
def test_integer_conversion_failures_carry_the_parameter_name(bad, exc):
    m = TolvaneMap({1: 2})
    s = TolvaneSet([1])
    for call, name in [(lambda: m.get(bad), "key"), (lambda: m.get(1, bad), "default"),
                       (lambda: m.pop(1, bad), "default"), (lambda: m.by_count(bad), "index"),
                       (lambda: m.count_range(0, bad), "end"), (lambda: m[bad], "key"),
                       (lambda: bad in m, "key"), (lambda: m.__setitem__(bad, 1), "key"),
                       (lambda: m.__setitem__(1, bad), "val"), (lambda: m.__delitem__(bad), "key"),
                       (lambda: s.add(bad), "key"), (lambda: bad in s, "key"),
                       (lambda: s.range(bad), "start"), (lambda: s.next(bad), "key")]:
        raises(exc, None, call, note=name)
    # A failed conversion changes nothing, even in a mutation.
    assert m.items() == [(1, 2)] and s.to_list() == [1]


def test_integer_conversion_accepts_index_and_bool():
    class Index:
        def __init__(self, v):
            self.v = v

        def __index__(self):
            return self.v

    m = TolvaneMap()
    m[True] = MAX
    m[Index(MAX)] = Index(3)
    assert m.items() == [(1, MAX), (MAX, 3)] and m.get(True) == MAX
    raises(OverflowError, None, lambda: m.get(Index(-1)), note="key")
    raises(ZeroDivisionError, None, lambda: m.get(type("X", (), {"__index__": lambda s: 1 / 0})()),
           note="key")


def test_note_is_skipped_when_add_note_fails():
    class Stubborn(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Bad:
        def __index__(self):
            raise Stubborn("mine")

    e = raises(Stubborn, "mine", lambda: TolvaneMap().get(Bad()))
    assert not hasattr(e, "__notes__")


def test_boolean_conversion():
    m = TolvaneMap({1: 1, 2: 2})
    raises(TypeError, "'int' object is not an instance of 'bool'", lambda: m.next(1, 1),
           note="inclusive")
    raises(TypeError, "'None' is not an instance of 'bool'", lambda: m.prev(2, None),
           note="inclusive")
    raises(TypeError, "'None' is not an instance of 'bool'",
           lambda: TolvaneSet().range(inclusive=None), note="inclusive")

    def numpy_like(name, **body):
        return type(name, (), {"__module__": "numpy", **body})()

    assert m.next(1, numpy_like("bool_", __bool__=lambda s: True)) == (1, 1)
    assert m.next(1, numpy_like("bool", __bool__=lambda s: False)) == (2, 2)
    raises(TypeError, "object of type 'bool_' does not define a '__bool__' conversion",
           lambda: m.next(1, numpy_like("bool_")), note="inclusive")
    raises(TypeError, "'int' object is not an instance of 'bool'",
           lambda: m.next(1, numpy_like("bool_", __bool__=lambda s: 1)), note="inclusive")
    raises(TypeError, "'bool_' object is not an instance of 'bool'",
           lambda: m.next(1, type("bool_", (), {"__bool__": lambda s: True})()),
           note="inclusive")


def test_sequence_conversion():
    m = TolvaneMap({1: 10, 2: 20})
    s = TolvaneSet([1])
    for bad, message in [({1}, "'set' object is not an instance of 'Sequence'"),
                         ((k for k in [1]), "'generator' object is not an instance of 'Sequence'"),
                         ({1: 2}, "'dict' object is not an instance of 'Sequence'"),
                         ("ab", "Can't extract `str` to `Vec`")]:
        raises(TypeError, message, lambda: m.get_batch(bad), note="keys")
        raises(TypeError, message, lambda: s.contains_batch(bad), note="keys")
    raises(OverflowError, None, lambda: m.get_batch([1, -1]), note="keys")
    assert m.get_batch(b"\x01\x02") == [10, 20] and m.get_batch(range(3)) == [None, 10, 20]
    assert s.contains_batch((1, 2)) == [True, False] and s.contains_batch([]) == []

    class Liar:
        """A sequence whose length is absurd (or fails); only iteration counts."""

        def __init__(self, length):
            self.length = length

        def __len__(self):
            if isinstance(self.length, Exception):
                raise self.length
            return self.length

        def __getitem__(self, i):
            if i < 3:
                return i
            raise IndexError

    for length in [2**62, sys.maxsize, 0, ValueError("no length")]:
        assert m.get_batch(Liar(length)) == [None, 10, 20]


def test_reentry_meets_the_borrow():
    m = TolvaneMap({1: 1})

    class Meddler:
        def __init__(self, action):
            self.action = action

        def __index__(self):
            self.action()
            return 5

    raises(RuntimeError, "Already borrowed", lambda: m.get(Meddler(lambda: m.insert(9, 9))),
           note="key")
    raises(RuntimeError, "Already mutably borrowed",
           lambda: m.insert(Meddler(lambda: m.get(1)), 1), note="key")
    raises(RuntimeError, "Already mutably borrowed",
           lambda: m.__setitem__(1, Meddler(lambda: len(m))), note="val")
    assert m.items() == [(1, 1)]
    # A shared borrow admits other readers.
    assert m.get(Meddler(lambda: m.get(1))) is None

    def keys_touching_length():
        yield 2
        len(m)
        yield 3

    raises(RuntimeError, "Already mutably borrowed", lambda: m.insert_many(keys_touching_length(),
                                                                             [1, 1]))
    assert m.items() == [(1, 1)]  # insert_many converts everything before inserting

    s = TolvaneSet()

    def touching_set():
        yield 1
        yield 2
        s.contains(1)
        yield 3

    raises(RuntimeError, "Already mutably borrowed", lambda: s.insert_many(touching_set()))
    assert s.to_list() == [1, 2]  # the keys before the failure stay
    raises(RuntimeError, "Already borrowed",
           lambda: s.contains(Meddler(lambda: s.clear())), note="key")
    assert s.to_list() == [1, 2]


def run_in_thread(fn):
    box = []
    t = threading.Thread(target=lambda: box.append(fn()))
    t.start()
    t.join()
    return box.pop()


def test_objects_refuse_foreign_threads():
    m, s = TolvaneMap({1: 2}), TolvaneSet([1])
    it_m, it_s = iter(m), iter(s)

    def attempt(call):
        try:
            call()
        except Exception as e:
            return str(e)
        return None

    for obj, call, path in [(m, lambda: m.get(1), "map::TolvaneMap"),
                            (m, lambda: len(m), "map::TolvaneMap"),
                            (m, lambda: m.__setitem__(3, 4), "map::TolvaneMap"),
                            (s, lambda: s.add(3), "set::TolvaneSet"),
                            (s, lambda: s.empty, "set::TolvaneSet"),
                            (it_m, lambda: next(it_m), "map::TolvaneMapKeyIter"),
                            (it_s, lambda: len(it_s), "set::TolvaneSetIter")]:
        assert run_in_thread(lambda: attempt(call)) == (
            f"_tolvane::{path} is unsendable, but sent to another thread")
    # Parsing comes before the thread check, conversion after it.
    assert run_in_thread(lambda: attempt(lambda: m.get())).startswith("TolvaneMap.get() missing")
    assert run_in_thread(lambda: attempt(lambda: m.get(-1))).endswith("sent to another thread")
    assert m.items() == [(1, 2)] and s.to_list() == [1] and list(it_m) == [1]

    # update() checks the thread of the object it reads.
    foreign = [run_in_thread(lambda: TolvaneMap({5: 6}))]
    with pytest.raises(RuntimeError) as info:
        m.update(foreign[0])
    assert str(info.value) == "_tolvane::map::TolvaneMap is unsendable, but sent to another thread"
    assert m.items() == [(1, 2)]
    assert capture_unraisable(foreign.clear) == [(RuntimeError, "_tolvane::map::TolvaneMap is "
                                                  "unsendable, but is being dropped on another "
                                                  "thread")]


def capture_unraisable(action):
    seen = []
    old, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        action()
    finally:
        sys.unraisablehook = old
    return [(type(u.exc_value), str(u.exc_value)) for u in seen]


def test_foreign_drop_is_reported_and_the_program_goes_on():
    box = [run_in_thread(lambda: TolvaneMap({1: 2})), run_in_thread(lambda: iter(TolvaneSet([1])))]
    assert sorted(capture_unraisable(box.clear)) == [
        (RuntimeError, "_tolvane::map::TolvaneMap is unsendable, but is being dropped on another "
                       "thread"),
        (RuntimeError, "_tolvane::set::TolvaneSetIter is unsendable, but is being dropped on "
                       "another thread")]


def test_foreign_drop_keeps_an_exception_in_flight():
    box = [run_in_thread(lambda: TolvaneSet([1]))]

    def items():
        yield 1
        yield box.pop()  # fails to convert; its last reference goes while the error is pending

    s = TolvaneSet()
    reports = capture_unraisable(lambda: pytest.raises(TypeError, s.update, items()))
    assert reports == [(RuntimeError, "_tolvane::set::TolvaneSet is unsendable, but is being "
                                      "dropped on another thread")]
    assert s.to_list() == [1]


def test_class_properties_of_instances():
    for obj in [TolvaneMap(), TolvaneSet(), iter(TolvaneMap()), iter(TolvaneSet())]:
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.foo = 1
    with pytest.raises(TypeError):
        class Derived(TolvaneSet):
            pass
