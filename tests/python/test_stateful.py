"""Random operation sequences against a dict model, validating the trie along
the way. Keys are drawn from a few narrow bands so that sequences keep
crossing the root-leaf/tree boundary and hitting shared leaves."""

import bisect

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from conftest import MAX
from tolvane_trie import TolvaneMap, TolvaneSet

BANDS = [0, 1 << 8, 1 << 16, 1 << 40, MAX - 600]
keys = st.one_of(st.sampled_from([0, MAX, MAX - 255]),
                 st.builds(lambda b, o: min(b + o, MAX), st.sampled_from(BANDS),
                           st.integers(0, 600)))
values = st.integers(0, MAX)


class MapMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.m = TolvaneMap()
        self.model = {}

    @rule(k=keys, v=values)
    def insert(self, k, v):
        assert self.m.insert(k, v) == self.model.get(k)
        self.model[k] = v

    @rule(base=keys, n=st.integers(1, 300), v=values)
    def insert_run(self, base, n, v):
        ks = [min(base + i, MAX) for i in range(n)]
        assert self.m.insert_many(ks, [v] * n) == n
        self.model.update(dict.fromkeys(ks, v))

    @rule(k=keys)
    def remove(self, k):
        assert self.m.remove(k) == self.model.pop(k, None)

    @rule(k=keys, lo=keys)
    def remove_span(self, k, lo):
        for key in self.m.range(min(k, lo), max(k, lo))[:200]:
            del self.m[key[0]]
            del self.model[key[0]]

    @precondition(lambda self: len(self.model) > 0)
    @rule(data=st.data())
    def pop_present(self, data):
        k = data.draw(st.sampled_from(sorted(self.model)))
        assert self.m.pop(k) == self.model.pop(k)

    @rule(k=keys)
    def queries(self, k):
        ordered = sorted(self.model)
        i = bisect.bisect_left(ordered, k)
        assert self.m.count_below(k) == i
        at = (ordered[i], self.model[ordered[i]]) if i < len(ordered) else None
        assert self.m.next_at_or_after(k) == at and self.m.by_count(i) == at
        assert self.m.get(k) == self.model.get(k)

    @rule()
    def clear_sometimes(self):
        if len(self.model) > 2000:
            self.m.clear()
            self.model.clear()

    @invariant()
    def agrees(self):
        assert self.m.validate_explain() is None
        assert len(self.m) == len(self.model)
        assert self.m.items() == sorted(self.model.items())


class SetMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.s = TolvaneSet()
        self.model = set()

    @rule(k=keys)
    def add(self, k):
        assert self.s.add(k) is (k not in self.model)
        self.model.add(k)

    @rule(base=keys, n=st.integers(1, 300), step=st.sampled_from([1, 1, 3]))
    def add_run(self, base, n, step):
        ks = [min(base + i * step, MAX) for i in range(n)]
        self.s.insert_many(ks)
        self.model.update(ks)

    @rule(k=keys)
    def discard(self, k):
        assert self.s.discard(k) is (k in self.model)
        self.model.discard(k)

    @rule(n=st.integers(1, 50))
    def pop_smallest(self, n):
        for _ in range(min(n, len(self.model))):
            assert self.s.pop() == min(self.model)
            self.model.remove(min(self.model))

    @rule(a=keys, b=keys)
    def counts(self, a, b):
        assert self.s.count_range(a, b) == sum(1 for k in self.model if a <= k <= b)
        assert self.s.count_below(a) == sum(1 for k in self.model if k < a)

    @invariant()
    def agrees(self):
        assert self.s.validate()
        assert len(self.s) == len(self.model)
        assert self.s.to_list() == sorted(self.model)


TestMap = MapMachine.TestCase
TestMap.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
TestSet = SetMachine.TestCase
TestSet.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)
