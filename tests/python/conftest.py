"""Shared key sets and oracles for the integer container tests."""

import bisect
import random

MAX = 2**64 - 1
LARGE = 300_000


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
