"""A container whose call raised MemoryError because the address space ran
out still answers, and clearing and dropping it need no memory: they must
neither raise nor end the process. Each case runs in a child interpreter
under an address-space limit, so an abort fails its test instead of the run.
"""

import os
import textwrap

import pytest

from child_process import run_child

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer reserves more address space than any limit allows")

ENDINGS = {
    # what the child does with the container after the MemoryError, and
    # what it prints then
    "clear": ("""
        c.clear()
        print(len(c), c.get(PRESENT))
        c[PRESENT] = 5
        print(c[PRESENT], len(c))
        del c
        print("dropped")
    """, ["0 None", "5 1", "dropped"]),
    "drop": ("""
        del c
        print("dropped")
    """, ["dropped"]),
}


def indented(code, spaces):
    """`code` re-indented by `spaces`, to be spliced into a child's code."""
    return textwrap.indent(textwrap.dedent(code).strip("\n"), " " * spaces)


@pytest.mark.parametrize("ending", ENDINGS)
def test_sync_map_filled_by_update_until_memory_error(ending):
    # Batches of a million pairs under a 260 MiB limit: the pairs' buffer is
    # what the last update cannot get, and the map holds most of the rest.
    code, printed = ENDINGS[ending]
    out = run_child(f"""
        import resource
        import time
        from tolvane_trie import SyncTolvaneMap

        B = 10**6
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (260 * 2**20, hard))
        c = SyncTolvaneMap()
        n, start = 0, time.monotonic()
        try:
            while n < 100 * B and time.monotonic() - start < 60:
                c.update(zip(range(n, n + B), range(n, n + B)))
                n += B
            print("no MemoryError")
        except MemoryError:
            print("MemoryError")
        PRESENT = n - 1
        print(len(c) == n > 0, c.get(PRESENT) == PRESENT, c.get(n), PRESENT in c)
{indented(code, 8)}
    """, timeout=150)
    assert out.splitlines() == ["MemoryError", "True True None True"] + printed


# Keys whose maps need, to be cleared or dropped the way they once were, a
# list of millions of pointers: a byte map's buckets, or a string map's
# nodes under a root of many words.
OTHER_MAPS = {
    "TolvaneBytesMap": "c.update((b'%d' % i, i) for i in range(10**6))",
    "TolvaneStrMap": "c.update((b'%08da' % i, i) for i in range(600_000))\n"
                     "c.update((b'%08db' % i, i) for i in range(600_000))",
}


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("cls", OTHER_MAPS)
def test_map_whose_listing_ran_out_of_memory(cls, ending):
    # The map is filled first; then a limit a little above what the process
    # maps, and ballast up to it, leave about 2 MiB free, so that listing the
    # keys raises MemoryError and little more than that is left afterwards.
    code, printed = ENDINGS[ending]
    out = run_child(f"""
        import resource
        from tolvane_trie import {cls}

        c = {cls}()
{indented(OTHER_MAPS[cls], 8)}
        PRESENT = b"00000007a" if "{cls}" == "TolvaneStrMap" else b"7"
        count = len(c)

        def mapped_bytes():
            with open("/proc/self/status") as f:
                line = next(l for l in f if l.startswith("VmSize:"))
            return int(line.split()[1]) * 1024

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + 64 * 2**20, hard))
        ballast = []
        try:
            for _ in range(64):
                ballast.append(bytearray(2**20))
        except MemoryError:
            pass
        del ballast[-2:]
        try:
            c.keys()
            print("no MemoryError")
        except MemoryError:
            print("MemoryError")
        print(len(c) == count > 0, c.get(PRESENT) == 7, c.get(b"absent"), PRESENT in c)
{indented(code, 8)}
    """, timeout=120)
    assert out.splitlines() == ["MemoryError", "True True None True"] + printed
