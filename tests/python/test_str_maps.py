"""TolvaneStrMap and TolvaneOrderedBytesMap against a dict plus a sorted list
of byte keys, their error paths, and a hypothesis state machine per class."""

import bisect
import random

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from conftest import MAX, argument_notes
from tolvane_trie import TolvaneOrderedBytesMap, TolvaneStrMap

# Not UTF-8: a lone continuation, an overlong NUL-free form, a surrogate, a
# code point above U+10FFFF, a truncated sequence.
INVALID_UTF8 = [b"\xff", b"\xc1\xbf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82"]
PREFIXES = [b"", b"common/prefix/of/many/keys/", b"x" * 23, "\u00e9t\u00e9/".encode()]


def text_or_bytes(raw):
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw


def argument(rng, raw):
    """One of the ways a caller can name the key bytes `raw`."""
    form = rng.random()
    if form < 0.2:
        return bytearray(raw)
    if form < 0.5 and isinstance(text_or_bytes(raw), str):
        return raw.decode()
    return raw


class StrFlavour:
    cls = TolvaneStrMap
    missing = "Key not found in TolvaneStrMap"

    @staticmethod
    def raw_key(rng):
        """Key bytes without NUL: text (non-ASCII too), words under long
        shared prefixes, and byte strings that are not UTF-8."""
        tail = rng.choice(["", "a", "ab", "abcdefgh", "abcdefghi", "\u00e9", "\u20ac\U0001F600",
                           str(rng.randrange(10**6))])
        raw = rng.choice(PREFIXES) + tail.encode()
        if rng.random() < 0.15:
            raw += rng.choice(INVALID_UTF8)
        return raw

    argument = staticmethod(argument)
    out = staticmethod(text_or_bytes)

    @staticmethod
    def listing(x):
        return x


class OrderedBytesFlavour:
    cls = TolvaneOrderedBytesMap
    missing = "Key not found in TolvaneOrderedBytesMap"

    @staticmethod
    def raw_key(rng):
        """Any bytes, biased to the ones the escape codec treats specially."""
        n = rng.choice([0, 1, 2, 3, 7, 8, 9, 17, 40])
        body = bytes(rng.choice([0, 0, 1, 1, 2, 0xFF, rng.randrange(256)]) for _ in range(n))
        return rng.choice(PREFIXES) + body

    argument = staticmethod(argument)

    @staticmethod
    def out(raw):
        return raw

    @staticmethod
    def listing(iterator):
        assert len(iterator) >= 0
        return list(iterator)


FLAVOURS = [StrFlavour, OrderedBytesFlavour]


def check_against(f, m, model, rng):
    """Every reading method agrees with the dict `model` (bytes -> value)."""
    ordered = sorted(model)
    entries = [(f.out(k), model[k]) for k in ordered]
    assert len(m) == len(model) and bool(m) is bool(model)
    assert m.is_empty() is (not model) and m.empty is (not model)
    assert repr(m) == f"{f.cls.__name__}(len={len(model)})"
    assert f.listing(m.items()) == entries
    assert f.listing(m.keys()) == [k for k, _ in entries] == list(m)
    assert f.listing(m.values()) == [v for _, v in entries]
    assert m.first() == (entries[0] if entries else None)
    assert m.last() == (entries[-1] if entries else None)
    assert m.mem_held() >= m.mem_used() and (m.mem_used() > 0) is bool(model)
    if f is StrFlavour:
        assert m.collect_entries() == [(k, model[k]) for k in ordered]

    def entry(i):
        return entries[i] if 0 <= i < len(entries) else None

    probes = [b""] + [rng.choice(ordered) for _ in range(40) if ordered]
    probes += [f.raw_key(rng) for _ in range(40)]
    probes += [p + b"\x02" for p in probes[:20]] + [p[:-1] for p in probes[:20]]
    if f is StrFlavour:
        probes = [p.replace(b"\0", b"") for p in probes]
    for raw in probes:
        arg = f.argument(rng, raw)
        lo, hi = bisect.bisect_left(ordered, raw), bisect.bisect_right(ordered, raw)
        assert m.next_at_or_after(arg) == entry(lo) and m.next_after(arg) == entry(hi)
        assert m.prev_at_or_before(arg) == entry(hi - 1) and m.prev_before(arg) == entry(lo - 1)
        assert (raw in model) is (arg in m) is m.contains(arg)
        assert m.get(arg) == model.get(raw) and m.get(arg, 7) == model.get(raw, 7)
        if f is StrFlavour:
            assert m.next(arg) == entry(hi) and m.next(arg, inclusive=True) == entry(lo)
            assert m.prev(arg) == entry(lo - 1) and m.prev(arg, True) == entry(hi - 1)
        else:
            assert m.slot(arg) == model.get(raw)
    if f is StrFlavour:
        for _ in range(20):
            a, b = sorted(rng.sample(probes, 2))
            inclusive = rng.random() < 0.5
            stop = (bisect.bisect_right if inclusive else bisect.bisect_left)(ordered, b)
            want = entries[bisect.bisect_left(ordered, a):max(stop, bisect.bisect_left(ordered, a))]
            assert m.range(a, b, inclusive) == want
            assert m.range(end=b, inclusive=inclusive) == entries[:stop]
            assert m.range(a) == entries[bisect.bisect_left(ordered, a):]


@pytest.mark.parametrize("f", FLAVOURS, ids=lambda f: f.cls.__name__)
def test_random_stream_matches_dict(f):
    rng = random.Random(f.cls.__name__)
    m, model = f.cls(), {}
    for step in range(12000):
        raw = f.raw_key(rng)
        arg = f.argument(rng, raw)
        value = rng.choice([0, MAX, rng.getrandbits(64)])
        op = rng.randrange(10)
        if op < 3:
            assert m.insert(arg, value) == model.get(raw)
            model[raw] = value
        elif op == 3:
            m[arg] = value
            model[raw] = value
        elif op == 4:
            assert m.remove(arg) == model.pop(raw, None)
        elif op == 5:
            if raw in model:
                del m[arg]
                del model[raw]
            else:
                with pytest.raises(KeyError) as info:
                    del m[arg]
                assert info.value.args == (f.missing,)
        elif op == 6 and f is StrFlavour:
            if raw in model:
                assert m.pop(arg) == model.pop(raw)
            else:
                assert m.pop(arg, 3) == 3
                with pytest.raises(KeyError) as info:
                    m.pop(arg, None)
                assert info.value.args == (f.missing,)
        elif op == 6:
            assert m.ins_slot(arg) == model.setdefault(raw, 0)
        elif op == 7 and f is StrFlavour:
            pairs = [(f.raw_key(rng), rng.getrandbits(64)) for _ in range(rng.randrange(4))]
            m.update(dict(pairs) if rng.random() < 0.5 else pairs)
            model.update(pairs)
        elif op == 8 and rng.random() < 0.005:
            m.clear()
            model.clear()
            assert m.mem_used() == 0
        else:
            assert m.get(arg) == model.get(raw)
            if raw in model:
                assert m[arg] == model[raw]
        if step % 1500 == 0:
            check_against(f, m, model, rng)
    check_against(f, m, model, rng)
    released = m.shrink_to_fit()
    assert released >= 0 and m.shrink_to_fit() == 0
    check_against(f, m, model, rng)


def test_text_or_bytes_rule_and_shared_spellings():
    m = TolvaneStrMap()
    m[b"abc"] = 1
    m[b"\xff"] = 2
    m[""] = 0
    assert m["abc"] == 1 and len(m) == 3
    assert m.keys() == ["", "abc", b"\xff"] and list(m) == ["", "abc", b"\xff"]
    assert m.first() == ("", 0) and m.last() == (b"\xff", 2)
    assert m.collect_entries() == [(b"", 0), (b"abc", 1), (b"\xff", 2)]
    for raw in INVALID_UTF8:
        m[raw] = 9
        assert raw in m.keys()
    o = TolvaneOrderedBytesMap()
    o["abc"] = 1
    o[bytearray(b"\x00")] = 2
    assert list(o.keys()) == [b"\x00", b"abc"] and o[b"abc"] == 1


@pytest.mark.parametrize("f", FLAVOURS, ids=lambda f: f.cls.__name__)
def test_snapshots_ignore_later_changes(f):
    m = f.cls()
    for i in range(6):
        m[b"k%d" % i] = i
    it = iter(m)
    listed = m.keys()
    assert len(it) == 6 and iter(it) is it
    assert next(it) == f.out(b"k0") and len(it) == 5
    m[b"k9"] = 9
    m.clear()
    assert [next(it) for _ in range(5)] == [f.out(b"k%d" % i) for i in range(1, 6)]
    assert len(it) == 0
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    assert len(f.listing(listed)) == 6
    assert len(iter(f.cls())) == 0


@pytest.mark.parametrize("f", FLAVOURS, ids=lambda f: f.cls.__name__)
def test_argument_errors_and_notes(f):
    m = f.cls()
    m[b"k"] = 1
    key_type = ("Expected str, bytes, or bytearray for key" if f is StrFlavour
                else "Expected bytes, bytearray, or str for key")
    for bad in [5, None, memoryview(b"k"), 1.5]:
        for call in [lambda: m.get(bad), lambda: bad in m, lambda: m[bad],
                     lambda: m.insert(bad, 1), lambda: m.remove(bad),
                     lambda: m.next_after(bad), lambda: m.prev_before(bad)]:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == key_type and not getattr(info.value, "__notes__", None)
    for call, kind, name in [(lambda: m.insert(5, -1), OverflowError, "val"),
                             (lambda: m.__setitem__(b"k", "x"), TypeError, "val"),
                             (lambda: m.get(b"k", -1), OverflowError, "default"),
                             (lambda: m.get(b"k", "x"), TypeError, "default")]:
        with pytest.raises(kind) as info:
            call()
        assert getattr(info.value, "__notes__", None) == argument_notes(name)
    with pytest.raises(UnicodeEncodeError):
        m["\ud800"] = 1
    with pytest.raises(TypeError):
        f.cls(1)
    with pytest.raises(TypeError):
        f.cls(items=1)
    assert m.get(b"absent", None) is None and m.get(b"absent", 7) == 7

    class ReadsMap:
        def __index__(self):
            return len(m)

    with pytest.raises(RuntimeError) as info:
        m.insert(b"k", ReadsMap())
    assert str(info.value) == "Already mutably borrowed"
    assert getattr(info.value, "__notes__", None) == argument_notes("val")
    assert dict(zip(f.listing(m.keys()), f.listing(m.values()))) == {f.out(b"k"): 1}


def test_str_map_specific_errors():
    m = TolvaneStrMap()
    with pytest.raises(ValueError, match="^NUL bytes are not allowed in TolvaneStrMap keys$"):
        "a\0b" in m
    with pytest.raises(ValueError, match="^NUL bytes are not allowed in TolvaneStrMap keys$"):
        m.update([(b"\0", 1)])
    with pytest.raises(TypeError, match="^Expected str, bytes, or bytearray for key$"):
        m.prev(5)
    assert m.last() is None and m.first() is None and m.prev("a") is None
    m["k"] = 1
    with pytest.raises(TypeError) as info:
        m.pop("k", "d")
    assert getattr(info.value, "__notes__", None) == argument_notes("default") and m["k"] == 1
    for call in [lambda: m.range(inclusive=None), lambda: m.next("k", 1)]:
        with pytest.raises(TypeError) as info:
            call()
        assert getattr(info.value, "__notes__", None) == argument_notes("inclusive")
    assert m.range("z", "a") == []
    with pytest.raises(ValueError, match=r"^expected tuple of length 2, but got tuple of length 1$"):
        m.update([("a", 1), ("b",)])
    assert m["a"] == 1
    with pytest.raises(OverflowError) as info:
        m.update({"c": 3, "d": -1})
    assert m["c"] == 3 and not getattr(info.value, "__notes__", None)
    with pytest.raises(TypeError, match="^'list' object is not an instance of 'tuple'$"):
        m.update([["e", 1]])
    other = TolvaneStrMap()
    other["x"] = 1
    with pytest.raises(TypeError, match="^'str' object is not an instance of 'tuple'$"):
        m.update(other)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        m.update(m)
    empty = TolvaneStrMap()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        empty.update(empty)


# ---- state machines --------------------------------------------------------

str_keys = st.one_of(st.text(alphabet=st.characters(blacklist_characters="\0",
                                                    blacklist_categories=("Cs",)), max_size=12),
                     st.sampled_from(PREFIXES).flatmap(
                         lambda p: st.binary(max_size=10).map(lambda b: p + b.replace(b"\0", b"")))
                     ).map(lambda k: k.encode() if isinstance(k, str) else k)
byte_keys = st.sampled_from(PREFIXES).flatmap(
    lambda p: st.lists(st.sampled_from([0, 1, 2, 0x61, 0xFF]), max_size=10).map(lambda b: p + bytes(b)))


class OrderedMachine(RuleBasedStateMachine):
    flavour = StrFlavour
    keys = str_keys

    def __init__(self):
        super().__init__()
        self.m = self.flavour.cls()
        self.model = {}

    @rule(data=st.data(), v=st.integers(0, MAX))
    def insert(self, data, v):
        k = data.draw(self.keys)
        assert self.m.insert(k, v) == self.model.get(k)
        self.model[k] = v

    @rule(data=st.data())
    def remove(self, data):
        k = data.draw(st.one_of(self.keys, st.sampled_from(sorted(self.model) or [b""])))
        assert self.m.remove(k) == self.model.pop(k, None)

    @rule(data=st.data())
    def neighbours(self, data):
        k = data.draw(self.keys)
        ordered = sorted(self.model)
        lo, hi = bisect.bisect_left(ordered, k), bisect.bisect_right(ordered, k)
        out = self.flavour.out

        def entry(i):
            return (out(ordered[i]), self.model[ordered[i]]) if 0 <= i < len(ordered) else None

        assert self.m.next_at_or_after(k) == entry(lo) and self.m.next_after(k) == entry(hi)
        assert self.m.prev_at_or_before(k) == entry(hi - 1) and self.m.prev_before(k) == entry(lo - 1)

    @invariant()
    def same_entries(self):
        ordered = sorted(self.model)
        assert len(self.m) == len(ordered)
        assert self.flavour.listing(self.m.keys()) == [self.flavour.out(k) for k in ordered]


class OrderedBytesMachine(OrderedMachine):
    flavour = OrderedBytesFlavour
    keys = byte_keys


TestStrMapMachine = OrderedMachine.TestCase
TestStrMapMachine.settings = settings(max_examples=40, stateful_step_count=30, deadline=None)
TestOrderedBytesMachine = OrderedBytesMachine.TestCase
TestOrderedBytesMachine.settings = settings(max_examples=40, stateful_step_count=30, deadline=None)
