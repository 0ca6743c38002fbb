"""Thread identities are handed out lazily, on a thread's first call: every
thread gets its own, the first thread to ask is served like any later one, and
an identity is never given again after its thread has ended."""

import sys
import threading

from tolvane_trie import TolvaneMap, TolvaneSet

SENT = "_tolvane::set::TolvaneSet is unsendable, but sent to another thread"


def in_new_thread(fn):
    box = []
    t = threading.Thread(target=lambda: box.append(fn()))
    t.start()
    t.join()
    return box.pop()


def outcome(call):
    try:
        return ("ok", call())
    except RuntimeError as e:
        return ("refused", str(e))


def drop_quietly(objects):
    # Objects made on other threads report their drop here; that report has
    # its own tests.
    seen = []
    old, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        objects.clear()
    finally:
        sys.unraisablehook = old
    return len(seen)


def test_each_thread_keeps_its_own_objects_and_no_later_thread_inherits_them():
    made = []

    def make_and_use():
        # The object is created by the thread's very first call into the module.
        s = TolvaneSet([len(made)])
        s.add(100)
        return s, outcome(lambda: s.to_list())

    for _ in range(12):
        s, own = in_new_thread(make_and_use)
        assert own == ("ok", [len(made), 100])
        # Every earlier thread has ended; its objects stay refused here, and
        # this thread's object is refused on the main thread.
        for earlier in made:
            assert in_new_thread(lambda: outcome(lambda: 0 in earlier)) == ("refused", SENT)
        assert outcome(lambda: len(s)) == ("refused", SENT)
        made.append(s)
    s = earlier = None
    assert drop_quietly(made) == 12


def test_objects_of_a_long_lived_thread_work_across_many_other_threads():
    m = TolvaneMap({1: 2})
    for _ in range(8):
        assert in_new_thread(lambda: outcome(lambda: m.get(1)))[0] == "refused"
        assert m.get(1) == 2
    done = threading.Event()
    results = []

    def worker():
        local = TolvaneMap()
        for k in range(200):
            local[k] = k
            results.append(local.get(k) == k)
        done.set()

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert done.is_set() and len(results) == 800 and all(results)
