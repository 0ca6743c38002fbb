"""TolvaneBlobMap: a dict oracle for the methods and slots, status strings,
exceptions and notes, arena accounting, compaction, the filtered scan, and
images saved to and loaded from real files."""

import os
import random
import resource
import signal
import struct

import pytest

from conftest import MAX, argument_notes, runtime_errors_on_another_thread
from tolvane_trie import TolvaneBlobMap


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", None)


def random_payload(rng):
    shape = rng.random()
    if shape < 0.3:
        n = rng.randrange(8)
    elif shape < 0.6:
        n = rng.randrange(8, 16)
        if rng.random() < 0.5:
            return bytes(rng.choice(b"0123456789abcXYZ-_") for _ in range(n))
    elif shape < 0.95:
        n = rng.randrange(16, 300)
    else:
        n = rng.randrange(300, 4000)
    return rng.randbytes(n)


def test_random_stream_against_a_dict():
    rng = random.Random(5)
    m = TolvaneBlobMap(chunk_size=4096, max_capacity=1 << 22)
    oracle = {}
    for step in range(6000):
        key = rng.randrange(300)
        op = rng.random()
        if op < 0.55:
            payload = random_payload(rng)
            meta = rng.randrange(1 << 24) if rng.random() < 0.3 else 0
            if rng.random() < 0.5:
                m.insert(key, payload, meta)
            else:
                m[key] = payload
                meta = 0
            oracle[key] = (payload, meta if len(payload) >= 8 else 0)
        elif op < 0.8:
            assert m.remove(key) == (key in oracle)
            oracle.pop(key, None)
        elif op < 0.85:
            if key in oracle:
                del m[key]
                del oracle[key]
            else:
                with pytest.raises(KeyError, match=f"Key {key} not found in TolvaneBlobMap"):
                    del m[key]
        elif op < 0.87:
            stats = m.arena_stats()
            before = m.compact()
            assert before[0] == stats["live_bytes"] and before[2] == stats["allocated_bytes"]
            assert before[1] == before[0]
        elif op < 0.88:
            m.clear()
            oracle.clear()
        assert len(m) == len(oracle)
        assert m.get(key) == oracle.get(key)
        assert m.get_bytes(key) == (oracle[key][0] if key in oracle else None)
        assert (key in m) == (key in oracle) == m.contains(key) == m.contains_key(key)
    assert m.scan_filtered(0, MAX) == [(k, p, meta) for k, (p, meta) in sorted(oracle.items())]
    assert m.arena_stats()["live_bytes"] == sum(
        len(p) + 8 for p, meta in oracle.values() if needs_record(p, meta))


ALPHABET = b"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-_"


def needs_record(payload, meta):
    """Whether a payload is kept in the arena rather than in its slot."""
    n = len(payload)
    if n < 8:
        return False
    if meta:
        return True
    inline = ((n == 8 and payload[7] == 0) or (n <= 14 and payload.isdigit())
              or (n <= 9 and all(c in ALPHABET for c in payload)))
    return not inline


def test_new_map_defaults_and_clamps():
    m = TolvaneBlobMap()
    assert m.arena_stats() == {"live_bytes": 0, "allocated_bytes": 0, "max_capacity": 1 << 30,
                               "chunk_size": 2097152, "reclaim_at_cap": True}
    assert list(m.arena_stats()) == ["live_bytes", "allocated_bytes", "max_capacity",
                                     "chunk_size", "reclaim_at_cap"]
    assert (len(m), bool(m), m.empty, m.is_empty(), m.len(), m.mem_used()) == (0, False, True, True, 0, 0)
    assert repr(m) == "TolvaneBlobMap(len=0, mem_used=0)"
    assert TolvaneBlobMap(1).arena_stats()["chunk_size"] == 4096
    assert TolvaneBlobMap(5000).arena_stats()["chunk_size"] == 5008
    assert TolvaneBlobMap(2**40).arena_stats()["chunk_size"] == 1 << 30
    assert TolvaneBlobMap(max_capacity=10).arena_stats()["max_capacity"] == 2097152
    assert TolvaneBlobMap(max_capacity=2**40).arena_stats()["max_capacity"] == 1 << 36
    assert TolvaneBlobMap(4096).arena_stats()["max_capacity"] == 1 << 30
    assert TolvaneBlobMap(None, None).arena_stats()["chunk_size"] == 2097152


def test_conversion_errors_carry_notes_in_parameter_order():
    with pytest.raises(OverflowError) as e:
        TolvaneBlobMap(-1, "not even converted")
    assert notes(e) == argument_notes("chunk_size")
    with pytest.raises(TypeError) as e:
        TolvaneBlobMap(4096, "x")
    assert notes(e) == argument_notes("max_capacity")
    m = TolvaneBlobMap(4096)
    with pytest.raises(OverflowError) as e:
        m.insert(-1, 5, 2**40)  # key first
    assert notes(e) == argument_notes("key")
    with pytest.raises(OverflowError, match="number too large to fit in target type") as e:
        m.insert(1, 5, 2**32)  # then hot_meta, before data
    assert notes(e) == argument_notes("hot_meta")
    with pytest.raises(OverflowError, match="number too small to fit in target type"):
        m.insert(1, b"x", -1)
    with pytest.raises(TypeError) as e:
        m.insert(1, b"abcdefgh", None)
    assert notes(e) == argument_notes("hot_meta")
    with pytest.raises(TypeError, match="Expected bytes, bytearray, or str for key") as e:
        m.insert(1, 5)
    assert notes(e) is None
    with pytest.raises(OverflowError) as e:
        m[-1] = b"x"
    assert notes(e) == argument_notes("key")
    with pytest.raises(OverflowError) as e:
        _ = m[-1]
    assert notes(e) == argument_notes("key")
    with pytest.raises(TypeError) as e:
        m.set_reclaim_at_cap(1)
    assert notes(e) == argument_notes("on")
    with pytest.raises(TypeError) as e:
        m.save_to_file(b"/tmp/x")
    assert notes(e) == argument_notes("path")
    with pytest.raises(TypeError):
        m.insert(1)
    assert len(m) == 0


def test_payload_forms_and_hot_meta():
    m = TolvaneBlobMap(4096)
    m.insert(1, b"abc", 5)
    m.insert(2, b"abcdefgh", 5)
    m.insert(3, "héllo wörld")
    m.insert(4, bytearray(b"\x00" * 20), 7)
    m.insert(5, b"")
    assert m.get(1) == (b"abc", 0)
    assert m.get(2) == (b"abcdefgh", 5)
    assert m.get(3) == ("héllo wörld".encode(), 0)
    assert m.get(4) == (b"\x00" * 20, 7)
    assert m.get(5) == (b"", 0)
    assert m[2] == b"abcdefgh"
    with pytest.raises(KeyError, match="Key 9 not found in TolvaneBlobMap"):
        _ = m[9]
    assert (m.get(9), m.get_bytes(9), m.remove(9)) == (None, None, False)


def test_refusals_raise_or_report_status_and_keep_the_old_value():
    m = TolvaneBlobMap(4096, 4096)
    m.insert(1, b"old")
    with pytest.raises(RuntimeError, match="^Blob allocation error: hot_meta exceeds the 24-bit ArenaMeta field$"):
        m.insert(1, b"abcdefgh", 1 << 24)
    assert m.insert_status(1, b"abcdefgh", 1 << 24) == "meta_overflow"
    assert m.insert_status(2, b"x" * 4089) == "allocation_failed"
    with pytest.raises(RuntimeError, match="Arena memory allocation failed"):
        m[2] = b"x" * 4089
    assert m.insert_status(2, b"x" * 4088) == "ok"
    m.set_reclaim_at_cap(False)
    assert m.reclaim_at_cap() is False
    assert m.insert_status(3, b"y" * 100) == "cap_refused"
    m.remove(2)
    assert m.insert_status(3, b"y" * 100) == "cap_refused"  # dead bytes, but reclaim is off
    m.set_reclaim_at_cap(True)
    assert m.insert_status(3, b"y" * 100) == "ok"  # compacted first
    m.insert(4, b"z" * 3000)
    assert m.insert_status(5, b"w" * 2000, 1) == "cap_refused"
    m.remove(4)
    assert m.insert_status(5, b"w" * 4000, 1) == "arena_full"
    assert (m.get(1), m.get_bytes(3), 5 in m) == ((b"old", 0), b"y" * 100, False)


def test_arena_accounting_and_compaction():
    m = TolvaneBlobMap(4096)
    for k in range(40):
        m.insert(k, bytes([k]) * 100, k)
    stats = m.arena_stats()
    assert stats["live_bytes"] == 40 * 108
    for k in range(40):
        m.insert(k, bytes([k + 1]) * 100, k)
    assert m.arena_stats()["live_bytes"] == 40 * 108
    assert m.mem_used() >= m.arena_stats()["allocated_bytes"] > stats["allocated_bytes"]
    live, live_after, allocated, allocated_after = m.compact()
    assert live == live_after == 40 * 108 and allocated_after < allocated
    assert all(m.get(k) == (bytes([k + 1]) * 100, k) for k in range(40))
    m.clear()
    assert (len(m), m.arena_stats()["live_bytes"], m.arena_stats()["allocated_bytes"]) == (0, 0, 0)
    assert m.arena_stats()["chunk_size"] == 4096
    assert TolvaneBlobMap().compact() == (0, 0, 0, 0)


def test_scan_filtered_calls_and_stops():
    m = TolvaneBlobMap(4096)
    for k in range(1, 11):
        m.insert(k * 10, b"payload-%02d!" % k, k)
    m.insert(15, b"tiny", 9)
    assert m.scan_filtered(11, 30) == [(15, b"tiny", 0), (20, b"payload-02!", 2),
                                        (30, b"payload-03!", 3)]
    assert m.scan_filtered(30, 30) == [(30, b"payload-03!", 3)]
    assert m.scan_filtered(31, 30, 1, 2) == []  # neither is called
    assert m.scan_filtered(101, MAX, 1, 2) == []
    assert TolvaneBlobMap().scan_filtered(0, MAX) == []

    offered = []
    def predicate(key, meta):
        offered.append((key, meta))
        return [0, "", [], 1, "yes"][len(offered) % 5]
    got = m.scan_filtered(0, MAX, predicate)
    assert len(offered) == 11 and [k for k, _, _ in got] == [k for i, (k, _) in enumerate(offered)
                                                                if (i + 1) % 5 in (3, 4)]
    seen = []
    assert m.scan_filtered(0, MAX, None, lambda k, p, meta: seen.append(k)) == []
    assert seen == [10]
    seen.clear()
    assert m.scan_filtered(0, MAX, callback=lambda k, p, meta: seen.append(k) or True) == []
    assert seen == [10, 15] + [k * 10 for k in range(2, 11)]

    calls = []
    def bad_predicate(key, meta):
        calls.append(key)
        raise ValueError("predicate")
    with pytest.raises(ValueError, match="predicate"):
        m.scan_filtered(0, MAX, bad_predicate, lambda *a: calls.append("callback"))
    assert calls == [10]

    calls.clear()
    def third_fails(key, payload, meta):
        calls.append(key)
        if len(calls) == 3:
            raise KeyError("third")
        return True
    with pytest.raises(KeyError, match="third"):
        m.scan_filtered(0, MAX, callback=third_fails)
    assert len(calls) == 3

    class Falsy:
        def __bool__(self):
            raise ZeroDivisionError
    with pytest.raises(ZeroDivisionError):
        m.scan_filtered(0, MAX, lambda k, meta: Falsy())
    with pytest.raises(TypeError):
        m.scan_filtered(0, MAX, "not callable")

    # Inside the callables the map reads, but refuses changes.
    def reads_and_writes(key, payload, meta):
        assert m.get(key)[0] == payload and len(m) == 11
        m.insert(key, b"changed")
    with pytest.raises(RuntimeError, match="Already borrowed"):
        m.scan_filtered(0, MAX, callback=reads_and_writes)
    assert m[10] == b"payload-01!"


def test_index_running_python_code_meets_the_borrow():
    m = TolvaneBlobMap(4096)

    class Key:
        def __index__(self):
            len(m)
            return 1
    with pytest.raises(RuntimeError, match="Already mutably borrowed") as e:
        m.insert(Key(), b"x")
    assert notes(e) == argument_notes("key")
    assert m.get(Key()) is None  # a shared borrow lets reads in


# ---- files ----------------------------------------------------------------------

def example_map():
    m = TolvaneBlobMap(4096)
    m.insert(1, b"abc")
    m.insert(2, b"abcdefghi!")
    return m


def test_save_and_load_round_trip(tmp_path):
    path = str(tmp_path / "map.img")
    assert TolvaneBlobMap().save_to_file(path) == 64
    assert example_map().save_to_file(path) == 152
    data = open(path, "rb").read()
    assert data[:8] == b"TOLVANE\0" and struct.unpack_from("<IIQQQQQQ", data, 8) == (
        2, 0, 2, 64, 96, 152, 4096, 1)

    rng = random.Random(3)
    m = TolvaneBlobMap(8192, 1 << 24)
    m.set_reclaim_at_cap(False)
    for k in range(2000):
        m.insert(rng.getrandbits(64), random_payload(rng), rng.randrange(1 << 24))
    assert m.save_to_file(path) == os.path.getsize(path)
    back = TolvaneBlobMap.load_from_file(path)
    assert m.load_from_file is not None and type(back) is TolvaneBlobMap
    assert back.scan_filtered(0, MAX) == m.scan_filtered(0, MAX)
    assert back.arena_stats() == dict(m.arena_stats(), max_capacity=1 << 30, reclaim_at_cap=True)
    second = str(tmp_path / "again.img")
    back.save_to_file(second)
    assert open(second, "rb").read() == open(path, "rb").read()


def test_load_failures(tmp_path):
    def load_error(path):
        with pytest.raises(OSError) as e:
            TolvaneBlobMap.load_from_file(str(path))
        return str(e.value)

    corrupted = "Failed to load file: Corrupted blob record header"
    assert load_error(tmp_path / "missing") == corrupted
    assert load_error(tmp_path) == corrupted
    assert load_error("a\0b") == corrupted
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    assert load_error(fifo) == corrupted
    path = tmp_path / "map.img"
    example_map().save_to_file(str(path))
    good = path.read_bytes()
    for cut in (0, 63, 100, 151):
        path.write_bytes(good[:cut])
        assert load_error(path) == corrupted
    path.write_bytes(good[:8] + struct.pack("<I", 3) + good[12:])
    assert load_error(path) == ("Failed to load file: Unsupported image format version 3 "
                                "(this build reads and writes version 2)")
    # More chunk bytes than a loaded map may hold.
    path.write_bytes(good[:48] + struct.pack("<QQ", 1 << 30, 2) + good[64:])
    assert load_error(path) == "Failed to load file: Arena growth exceeded the addressable/allowed ceiling"
    path.write_bytes(good + b"trailing")
    assert TolvaneBlobMap.load_from_file(str(path)).get(2) == (b"abcdefghi!", 0)


def test_unresolvable_reference_reads_absent_and_never_aliases(tmp_path):
    path = tmp_path / "map.img"
    example_map().save_to_file(str(path))
    data = bytearray(path.read_bytes())
    struct.pack_into("<QQ", data, 64, 7, 16 | (4096 // 16) << 8 | 5 << 40)  # no chunk 1
    path.write_bytes(bytes(data))
    m = TolvaneBlobMap.load_from_file(str(path))
    assert (len(m), 7 in m, m.get(7)) == (2, True, None)
    for k in range(100, 400):
        m.insert(k, b"n" * 60, 1)
    m.compact()
    assert m.get(7) is None


def test_failed_save_keeps_the_previous_file(tmp_path):
    path = str(tmp_path / "map.img")
    example_map().save_to_file(path)
    before = open(path, "rb").read()
    big = TolvaneBlobMap(4096)
    for k in range(100):
        big.insert(k, b"x" * 100, 1)
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1000, hard))
    try:
        with pytest.raises(OSError, match=r"^Failed to save file: File too large \(os error 27\)$"):
            big.save_to_file(path)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, old_handler)
    assert open(path, "rb").read() == before
    assert os.listdir(tmp_path) == ["map.img"]
    with pytest.raises(OSError, match="^Failed to save file: file name contained an unexpected NUL byte$"):
        big.save_to_file("bad\0name")
    with pytest.raises(OSError, match=r"^Failed to save file: No such file or directory \(os error 2\)$"):
        big.save_to_file(str(tmp_path / "no" / "dir"))


def test_bound_to_the_creating_thread():
    m = TolvaneBlobMap(4096)
    m[1] = b"payload of key one"
    errors = runtime_errors_on_another_thread(
        lambda: m.get(1), lambda: m.insert(2, b"x"), lambda: len(m),
        lambda: m.save_to_file("/nonexistent/never"))
    assert len(errors) == 4
    assert all(e.endswith(" is unsendable, but sent to another thread") for e in errors)
    assert (len(m), m.get(1)) == (1, (b"payload of key one", 0))
