"""Shared key sets, oracles and checks for the integer container tests."""

import bisect
import random
import sys
import threading

import pytest

MAX = 2**64 - 1
LARGE = 300_000


def argument_notes(name):
    """The `__notes__` a conversion failure of parameter `name` carries:
    interpreters without `add_note` (before 3.11) raise it without one. The
    suite runs on 3.9 and later, so every note check goes through here."""
    return [f"while processing '{name}'"] if sys.version_info >= (3, 11) else None


def runtime_errors_on_another_thread(*calls):
    """Makes each of `calls` in turn on a new thread and returns the messages
    of the RuntimeErrors they raise, in order."""
    errors = []

    def run():
        for call in calls:
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    return errors


def random_keys(n, seed):
    rng = random.Random(seed)
    return [rng.getrandbits(64) for _ in range(n)] + [0, MAX]


def dense_keys(n, seed):
    rng = random.Random(seed)
    base = rng.getrandbits(40) << 16
    return list(range(base, base + n)) + [0, MAX, MAX - 1]


def clustered_keys(n, seed):
    """Runs of nearby keys under a few random prefixes: full 256-key blocks,
    sparse blocks and lone keys at every level of the trie."""
    rng = random.Random(seed)
    keys = [0, 1, 255, 256, MAX - 255, MAX]
    keys += range(MAX - 255, MAX + 1)  # a whole level-1 block that ends at MAX
    while len(keys) < n:
        prefix = rng.getrandbits(64) & ~((1 << rng.choice([8, 16, 24, 40])) - 1)
        span = rng.choice([3, 30, 256, 1000])
        step = rng.choice([1, 1, 2, 7])
        keys += [(prefix + i * step) & MAX for i in range(span)]
    return keys


KEY_SETS = {"random": random_keys, "dense": dense_keys, "clustered": clustered_keys}


class SortedOracle:
    """The answers an ordered container must give, from a sorted list."""

    def __init__(self, keys):
        self.keys = sorted(set(keys))

    def next_at_or_after(self, k):
        i = bisect.bisect_left(self.keys, k)
        return self.keys[i] if i < len(self.keys) else None

    def next_after(self, k):
        i = bisect.bisect_right(self.keys, k)
        return self.keys[i] if i < len(self.keys) else None

    def prev_at_or_before(self, k):
        i = bisect.bisect_right(self.keys, k)
        return self.keys[i - 1] if i else None

    def prev_before(self, k):
        i = bisect.bisect_left(self.keys, k)
        return self.keys[i - 1] if i else None

    def count_below(self, k):
        return bisect.bisect_left(self.keys, k)

    def count_range(self, a, b):
        return max(0, bisect.bisect_right(self.keys, b) - bisect.bisect_left(self.keys, a))

    def range(self, start=None, end=None, inclusive=True):
        lo = 0 if start is None else bisect.bisect_left(self.keys, start)
        if end is None:
            hi = len(self.keys)
        else:
            hi = (bisect.bisect_right if inclusive else bisect.bisect_left)(self.keys, end)
        return self.keys[lo:max(lo, hi)]


def probes(keys, count, seed):
    """Query keys: present keys, their neighbours and random ones, with the ends."""
    rng = random.Random(seed)
    present = sorted(set(keys))
    out = [0, 1, MAX, MAX - 1]
    for _ in range(count):
        k = rng.choice(present) if present else 0
        out += [k, min(k + 1, MAX), max(k - 1, 0), rng.getrandbits(64)]
    return out


def check_ordered(c, keys, seed, answer=lambda k: k):
    """Every reading method that TolvaneMap and TolvaneSet share agrees with
    the sorted list of `keys`; `answer` turns a key into what `c` returns for
    it (its entry, for a map). Returns the probe keys for further checks."""
    oracle = SortedOracle(keys)
    ordered = oracle.keys
    keyset = set(ordered)
    expect = lambda k: None if k is None else answer(k)

    assert len(c) == len(ordered) and bool(c) is bool(ordered)
    assert c.is_empty() is (not ordered) and c.empty is (not ordered)
    assert repr(c) == f"{type(c).__name__}(len={len(ordered)})"
    assert c.validate() is True
    assert c.to_list() == [answer(k) for k in ordered] and list(c) == ordered
    assert c.first() == expect(ordered[0] if ordered else None)
    assert c.last() == expect(ordered[-1] if ordered else None)

    qs = probes(ordered, 300, seed)
    for k in qs:
        assert c.contains(k) is (k in keyset) and (k in c) is (k in keyset)
        assert (c.next_at_or_after(k) == expect(oracle.next_at_or_after(k)) == c.next(k, True)
                == c.next(k, inclusive=True))
        assert c.next_after(k) == expect(oracle.next_after(k)) == c.next(k) == c.next(k, False)
        assert (c.prev_at_or_before(k) == expect(oracle.prev_at_or_before(k)) == c.prev(k, True)
                == c.prev(key=k, inclusive=True))
        assert c.prev_before(k) == expect(oracle.prev_before(k)) == c.prev(k) == c.prev(k, False)
        assert c.count_below(k) == oracle.count_below(k)
    rng = random.Random(seed)
    for _ in range(200):
        a, b = rng.choice(qs), rng.choice(qs)
        assert c.count_range(a, b) == oracle.count_range(a, b)
        if rng.random() < 0.1:
            inclusive = rng.random() < 0.5
            assert c.range(a, b, inclusive) == [answer(k) for k in oracle.range(a, b, inclusive)]
    for start, end, inclusive in [(None, None, True), (qs[5], None, False), (None, qs[6], False),
                                  (qs[7], qs[8], True), (qs[8], qs[7], True)]:
        got = c.range(start, end, inclusive)
        assert got == [answer(k) for k in oracle.range(start, end, inclusive)]
    for i in list(range(min(40, len(ordered)))) + [rng.randrange(len(ordered) + 1)
                                                    for _ in range(100)]:
        assert c.by_count(i) == (answer(ordered[i]) if i < len(ordered) else None)
    assert c.by_count(len(ordered)) is None and c.by_count(MAX) is None
    return qs


def raises(exc_type, message, call, note=None):
    """`call()` raises `exc_type` with exactly `message` (unless None) and
    with the argument note naming `note`, or with no note at all."""
    with pytest.raises(exc_type) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == (argument_notes(note) if note else None)
    return info.value


class DictWithOverrides(dict):
    """A dict whose reading methods must never be called: the containers read
    a dict's stored entries directly."""

    def items(self):
        raise AssertionError("overrides are not consulted")

    __iter__ = keys = __getitem__ = items
