"""Snapshot iterators of TolvaneMap and TolvaneSet."""

import pytest

from conftest import MAX
from tolvane_trie import TolvaneMap, TolvaneSet
import tolvane_trie._tolvane as _tolvane


@pytest.mark.parametrize("make", [lambda keys: TolvaneMap((k, 0) for k in keys), TolvaneSet])
def test_iteration_is_a_snapshot(make):
    keys = [5, 1, 3, MAX] + list(range(1000, 1100))
    c = make(keys)
    it = iter(c)
    expected_type = _tolvane.TolvaneMapKeyIter if isinstance(c, TolvaneMap) else \
        _tolvane.TolvaneSetIter
    assert type(it) is expected_type and iter(it) is it
    assert len(it) == len(keys) and next(it) == 1 and len(it) == len(keys) - 1
    if isinstance(c, TolvaneMap):
        c[2] = 0
        c[0] = 0
        del c[MAX]
    else:
        c.add(2), c.add(0), c.remove(MAX)
    rest = list(it)
    assert rest == sorted(keys)[1:] and rest[-1] == MAX
    assert len(it) == 0
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    assert len(it) == 0

    it = iter(c)
    c.clear()  # refused if the iterator still borrowed its container
    assert list(it) == sorted(set(keys) - {MAX} | {0, 2}) and len(c) == 0
    assert len(iter(c)) == 0 and list(iter(c)) == []
