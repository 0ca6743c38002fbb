"""Inputs and settings that once ended the interpreter. Each case runs in a
child interpreter, so a crash or an abort fails its test instead of the run."""

import os
import sys

import pytest

from child_process import run_child


def test_bool_conversion_survives_a_type_name_that_changes_between_reads():
    # The type passes the numpy test on its first name read and has a name
    # that cannot be encoded on any later one.
    out = run_child("""
        from tolvane_trie import TolvaneSet

        class Meta(type):
            reads = 0

            @property
            def __name__(cls):
                Meta.reads += 1
                return "bool_" if Meta.reads == 1 else "\\udc80"

        class Flag(metaclass=Meta):
            __module__ = "numpy"

        s = TolvaneSet([5, 6])
        try:
            s.next(5, inclusive=Flag())
        except TypeError as e:
            print(type(e).__name__, str(e).encode("utf-8", "replace").decode())
        print(s.to_list())
    """)
    assert out.splitlines() == [
        "TypeError object of type 'bool_' does not define a '__bool__' conversion", "[5, 6]"]


MEMORY_CASES = {
    # name: (container made before the limit, the call made under it)
    "set iteration": ("TolvaneSet(range(0, 3 * N, 3))", "iter(c)"),
    "set listing": ("TolvaneSet(range(0, 3 * N, 3))", "c.to_list()"),
    "set packed insert_many": ("TolvaneSet([1, 2])", "c.insert_many(big)"),
    "map keys": ("TolvaneMap(zip(range(N), range(N)))", "c.keys()"),
    "map packed insert_many": ("TolvaneMap({1: 2})", "c.insert_many(big, big)"),
    "map get_batch": ("TolvaneMap({1: 2})", "c.get_batch(big_list)"),
}


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer reserves more address space than any limit allows")
@pytest.mark.parametrize("case", MEMORY_CASES)
def test_memory_exhaustion_raises_memory_error_and_keeps_the_container(case):
    make, call = MEMORY_CASES[case]
    # The call needs tens of megabytes at once; the limit leaves a few beyond
    # what the process already maps, enough for the interpreter to go on.
    out = run_child(f"""
        import resource
        from tolvane_trie import TolvaneMap, TolvaneSet

        N = 3_000_000
        c = {make}
        big = bytes(8 * N)
        big_list = [7] * N
        before = (len(c), c.to_list() if len(c) < 10 else (c.first(), c.last()))

        def mapped_bytes():
            with open("/proc/self/status") as f:
                line = next(l for l in f if l.startswith("VmSize:"))
            return int(line.split()[1]) * 1024

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + 8 * 2**20, hard))
        try:
            {call}
            print("no error")
        except MemoryError:
            print("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        after = (len(c), c.to_list() if len(c) < 10 else (c.first(), c.last()))
        print(after == before, c.validate())
    """)
    assert out.splitlines() == ["MemoryError", "True True"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="interpreters declare isolation from 3.12")
def test_subinterpreters_refuse_the_module_and_leave_the_main_one_working():
    # Class objects are made once per process, so another interpreter must
    # not get them: the import fails there and nowhere else.
    out = run_child("""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        from tolvane_trie import TolvaneSet

        sub = interpreters.create()
        try:
            interpreters.run_string(sub, '''
        try:
            import tolvane_trie
            print("imported")
        except ImportError as e:
            print("ImportError", e)
        ''')
        finally:
            interpreters.destroy(sub)
        print(TolvaneSet([3, 1]).to_list())
    """)
    assert out.splitlines() == [
        "ImportError module tolvane_trie._tolvane does not support loading in subinterpreters",
        "[1, 3]"]
