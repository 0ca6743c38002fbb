"""What help() and inspect show for the integer classes: the class and method
documentation, the text signatures and the order of the method tables."""

import inspect
import sys

import pytest

import tolvane_trie._tolvane as _tolvane
from tolvane_trie import TolvaneMap, TolvaneSet

# name: (parameters of the text signature, documentation), in method-table order.
MAP_METHODS = {
    "is_empty": ("($self)", "True when no entries are in the map.\nTrue when empty."),
    "contains": ("($self, key)", "Returns True if key is present in the map."),
    "contains_key": ("($self, key)", "Returns True if key is present in the map."),
    "get": ("($self, key, default=None)", "Look up `key`, returning `default` (or None) if absent."),
    "get_batch": ("($self, keys)", "Looks up a batch of keys, returning a list of values (or None "
                                   "for absent keys)."),
    "insert": ("($self, key, val)", "Inserts `key -> val`; returns the previous value, if any."),
    "remove": ("($self, key)", "Removes `key`; returns its value or None if missing."),
    "pop": ("($self, key, default=None)", "Removes `key` and returns its value. If `key` is absent, "
                                          "returns `default`\nif given, otherwise raises "
                                          "`KeyError`."),
    "clear": ("($self)", "Removes all entries from the map."),
    "mem_used": ("($self)", "Heap bytes used by the map allocations."),
    "mem_held": ("($self)", "Heap bytes the map holds from the system allocator: `mem_used()`\n"
                            "plus freed blocks kept for reuse and unused slab space."),
    "shrink_to_fit": ("($self)", "Returns the freed blocks the map retains to the system "
                                 "allocator\nand returns the bytes released. Nothing moves and "
                                 "`mem_used()` is\nunchanged; `clear()` also returns them."),
    "total_node_allocs": ("($self)", "Total node allocations performed by the trie engine."),
    "first": ("($self)", "Smallest entry `(key, value)` in the map."),
    "last": ("($self)", "Largest entry `(key, value)` in the map."),
    "next": ("($self, key, inclusive=False)", "Smallest entry with key `> key` (or `>= key` if "
                                              "`inclusive=True`)."),
    "next_at_or_after": ("($self, key)", "Smallest entry with key `>= key`."),
    "next_after": ("($self, key)", "Smallest entry with key `> key`."),
    "prev": ("($self, key, inclusive=False)", "Largest entry with key `< key` (or `<= key` if "
                                              "`inclusive=True`)."),
    "prev_at_or_before": ("($self, key)", "Largest entry with key `<= key`."),
    "prev_before": ("($self, key)", "Largest entry with key `< key`."),
    "count_below": ("($self, key)", "Number of keys strictly below `key` (rank)."),
    "by_count": ("($self, index)", "The entry `(key, value)` with `index` keys below it (0-based "
                                   "select)."),
    "count_range": ("($self, start, end)", "Number of keys in the range `[start, end]`."),
    "validate": ("($self)", "Validates internal structural invariants."),
    "validate_explain": ("($self)", "Validates internal structural invariants, returning None if "
                                    "valid or an error explanation string."),
    "range": ("($self, start=None, end=None, inclusive=True)",
              "Returns a list of `(key, value)` pairs in the range `[start, end]` (inclusive)."),
    "to_list": ("($self)", "Returns a list of all `(key, value)` pairs in ascending order."),
    "keys": ("($self)", "Returns a list of all keys in ascending order."),
    "values": ("($self)", "Returns a list of all values in key-ascending order."),
    "items": ("($self)", "Returns a list of `(key, value)` pairs in ascending order."),
    "update": ("($self, other)", "Updates the map from another mapping or iterable of `(key, "
                                 "value)` pairs."),
    "insert_many": ("($self, keys, values)", "Bulk insertion from two buffers (keys and values). "
                                             "Zero-copy if C-contiguous buffers."),
}

SET_METHODS = {
    "is_empty": ("($self)", "True when no elements are in the set.\nTrue when empty."),
    "contains": ("($self, key)", "Returns True if key is present in the set."),
    "contains_batch": ("($self, keys)", "Checks membership for a batch of keys, returning a list "
                                        "of bools."),
    "insert": ("($self, key)", "Inserts `key` into the set; returns `True` if it was not present."),
    "add": ("($self, key)", "Adds `key` to the set (standard Python set method). Returns `True` if "
                            "newly inserted."),
    "remove": ("($self, key)", "Removes `key` from the set; returns `True` if it was present, "
                               "`False` otherwise."),
    "discard": ("($self, key)", "Removes `key` if present; returns `True` if it was present, "
                                "`False` otherwise."),
    "pop": ("($self)", "Removes and returns the smallest element in the set; raises `KeyError` if "
                       "empty."),
    "clear": ("($self)", "Removes all elements from the set."),
    "mem_used": ("($self)", "Heap bytes used by the set allocations."),
    "mem_held": ("($self)", "Heap bytes the set holds from the system allocator: `mem_used()`\n"
                            "plus freed blocks kept for reuse and unused slab space."),
    "shrink_to_fit": ("($self)", "Returns the freed blocks the set retains to the system "
                                 "allocator\nand returns the bytes released. Nothing moves and "
                                 "`mem_used()` is\nunchanged; `clear()` also returns them."),
    "total_node_allocs": ("($self)", "Total node allocations performed by the trie engine."),
    "first": ("($self)", "Smallest element in the set."),
    "last": ("($self)", "Largest element in the set."),
    "next": ("($self, key, inclusive=False)", "Smallest element with key `> key` (or `>= key` if "
                                              "`inclusive=True`)."),
    "next_at_or_after": ("($self, key)", "Smallest element with key `>= key`."),
    "next_after": ("($self, key)", "Smallest element with key `> key`."),
    "prev": ("($self, key, inclusive=False)", "Largest element with key `< key` (or `<= key` if "
                                              "`inclusive=True`)."),
    "prev_at_or_before": ("($self, key)", "Largest element with key `<= key`."),
    "prev_before": ("($self, key)", "Largest element with key `< key`."),
    "count_below": ("($self, key)", "Number of keys strictly below `key` (rank)."),
    "by_count": ("($self, index)", "The element with `index` keys below it (0-based select)."),
    "count_range": ("($self, start, end)", "Number of keys in the range `[start, end]`."),
    "validate": ("($self)", "Validates internal structural invariants."),
    "range": ("($self, start=None, end=None, inclusive=True)",
              "Returns a list of elements in the range `[start, end]` (inclusive)."),
    "to_list": ("($self)", "Returns all keys as a Python list in ascending order."),
    "update": ("($self, other)", "Updates the set from another set or iterable."),
    "insert_many": ("($self, keys)", "Bulk insertion from a buffer or iterable of integers. "
                                     "Zero-copy if C-contiguous."),
}

ITERATOR_DOCS = {
    "TolvaneMapKeyIter": "Iterator yielding keys of [`TolvaneMap`].",
    "TolvaneMapValueIter": "Iterator yielding values of [`TolvaneMap`].",
    "TolvaneMapItemIter": "Iterator yielding `(key, value)` pairs of [`TolvaneMap`].",
    "TolvaneMapRangeIter": "Range iterator yielding `(key, value)` pairs of [`TolvaneMap`].",
    "TolvaneSetIter": "Key iterator for [`TolvaneSet`].",
    "TolvaneSetRangeIter": "Range iterator for [`TolvaneSet`].",
}


@pytest.mark.parametrize("cls, signature, doc, methods", [
    (TolvaneMap, "(items=None)", "A sparse, dynamic 64-bit unsigned integer map", MAP_METHODS),
    (TolvaneSet, "(iterable=None)", "A sparse, dynamic 64-bit unsigned integer set", SET_METHODS),
])
def test_container_documentation(cls, signature, doc, methods):
    assert cls.__doc__ == doc
    # Before 3.10 the interpreter drops a heap class's text signature.
    assert cls.__text_signature__ == (signature if sys.version_info >= (3, 10) else None)
    table = [name for name, member in cls.__dict__.items()
             if inspect.ismethoddescriptor(member) and not name.startswith("__")]
    assert table == list(methods)
    for name, (parameters, text) in methods.items():
        method = getattr(cls, name)
        assert (method.__text_signature__, method.__doc__) == (parameters, text), name
    assert isinstance(cls.__dict__["empty"], type(TolvaneMap.__dict__["empty"]))
    assert cls.empty.__doc__ == "Property returning True if empty."
    with pytest.raises(AttributeError):
        cls().empty = True  # read-only


@pytest.mark.parametrize("name", sorted(ITERATOR_DOCS))
def test_iterator_documentation(name):
    cls = getattr(_tolvane, name)
    assert cls.__doc__ == ITERATOR_DOCS[name] and cls.__text_signature__ is None
    assert [n for n in cls.__dict__ if not n.startswith("__")] == []
