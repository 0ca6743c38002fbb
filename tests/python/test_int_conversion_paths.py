"""A plain int takes a shorter conversion road than an object with
__index__; both must give the same values and raise the same exceptions with
the same texts, at every digit boundary of the interpreter's int."""

import pytest

from conftest import argument_notes
from tolvane_trie import TolvaneMap, TolvaneSet

MAX = 2**64 - 1


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


BOUNDARIES = sorted({0, 1, MAX, 2**64, 2**100, -1, -(2**64), -(2**100)} |
                    {2**s + d for s in (15, 30, 31, 32, 60, 62, 63) for d in (-1, 0, 1)})


def outcome(call):
    try:
        return ("value", call())
    except Exception as exc:  # the exception is what is compared
        return (type(exc), str(exc), getattr(exc, "__notes__", None))


@pytest.mark.parametrize("value", BOUNDARIES)
def test_plain_int_and_index_object_agree(value):
    m = TolvaneMap()
    s = TolvaneSet()
    for k in (0, 1, 2**30, 2**63, MAX):
        m[k] = k ^ 5
        s.add(k)
    plain = [outcome(lambda: m.get(value)), outcome(lambda: value in s),
             outcome(lambda: m.insert(7, value)), outcome(lambda: m.get(7)),
             outcome(lambda: s.count_below(value))]
    for k in (0, 1, 2**30, 2**63, MAX):
        m[k] = k ^ 5
    m.remove(7)
    wrapped = [outcome(lambda: m.get(Index(value))), outcome(lambda: Index(value) in s),
               outcome(lambda: m.insert(7, Index(value))), outcome(lambda: m.get(7)),
               outcome(lambda: s.count_below(Index(value)))]
    assert plain == wrapped
    if 0 <= value <= MAX:
        assert plain[0] == ("value", value ^ 5 if value in (0, 1, 2**30, 2**63, MAX) else None)
        assert plain[3] == ("value", value)
    else:
        assert plain[0][0] is OverflowError and plain[0][2] == argument_notes("key")
