#!/usr/bin/env python3
"""TolvaneBytesMap side by side with dict on byte-string keys.

Random keys of 8 to 40 bytes with random u64 values. Every operation runs the
same Python loop over the same keys for both containers, in interleaved
rounds on one pinned core; the table gives ours / dict as the median of the
per-round ratios with their spread (below 1: ours is faster or smaller). Memory is bytes per key of a container built from freshly made key
and value objects that are dropped afterwards, so what a container keeps
alive counts against it: dict's table, key objects and value ints are traced
with tracemalloc; ours lives in the C allocator, whose bytes in use (glibc's
mallinfo2) are compared before and after, plus the object itself. mem_used()
(the bytes the map charges itself) is shown beside it.

    bench_byte_maps.py --size 1000000            # rewrites its section of docs/benchmarks.md
    bench_byte_maps.py --size 2000 --rounds 1 --no-write    # smoke run

No timing is ever asserted: this is a measuring tool.
"""
import argparse
import gc
import os
import platform
import random
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_containers import DEFAULT_OUTPUT, _malloc_in_use, fmt_ns  # noqa: E402
from markdown_table import header, ratio, row, write_section  # noqa: E402
from rounds import (MIN_ROUNDS, cpu_description, interleaved, median,  # noqa: E402
                    pin_to_one_core, ratio_spread, spread_cell)

from tolvane_trie import TolvaneBytesMap  # noqa: E402

BEGIN = "<!-- bytes-bench:begin -->"
END = "<!-- bytes-bench:end -->"
SEED = 20261207


def random_keys(rng, n):
    keys = set()
    while len(keys) < n:
        keys.add(rng.randbytes(rng.randint(8, 40)))
    return list(keys)


class Data:
    def __init__(self, n):
        rng = random.Random(SEED)
        self.keys = random_keys(rng, n)
        self.values = [rng.getrandbits(64) for _ in range(n)]
        present = set(self.keys)
        self.misses = [k for k in random_keys(rng, n) if k not in present]
        self.n = n

    def fresh_probes(self):
        """New objects equal to the keys, made before each timed run: their
        hash is not cached yet, as for keys just read or built."""
        self.fresh = [bytes(bytearray(k)) for k in self.keys]


# Each operation: fn(container, data) -> number of operations done.
def op_insert(c, d):
    for k, v in zip(d.keys, d.values):
        c[k] = v
    return d.n


def op_get(keys):
    def run(c, d):
        g = c.get
        for k in getattr(d, keys):
            g(k)
        return len(getattr(d, keys))
    return run


def op_contains(keys):
    def run(c, d):
        for k in getattr(d, keys):
            k in c  # noqa: B015
        return len(getattr(d, keys))
    return run


OPS = {
    "insert": (op_insert, "`c[k] = v` of new keys into an empty container"),
    "get_hit": (op_get("keys"), "`c.get(k)`, present keys"),
    "get_miss": (op_get("misses"), "`c.get(k)`, absent keys"),
    "get_fresh": (op_get("fresh"), "`c.get(k)`, present keys as new objects (dict must hash them)"),
    "contains_hit": (op_contains("keys"), "`k in c`, present keys"),
    "contains_miss": (op_contains("misses"), "`k in c`, absent keys"),
}
CONTENDERS = {"TolvaneBytesMap": TolvaneBytesMap, "dict": dict}


def timed(fn, c, d):
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        count = fn(c, d)
        return (time.perf_counter_ns() - t0) / max(1, count)
    finally:
        gc.enable()


def measure(make, d, repeat):
    results = {}
    for _ in range(repeat):
        c = make()
        results["insert"] = min(results.get("insert", float("inf")), timed(op_insert, c, d))
        for op, (fn, _) in OPS.items():
            if op != "insert":
                d.fresh_probes()
                results[op] = min(results.get(op, float("inf")), timed(fn, c, d))
        del c
    return results


def fresh_pairs(d):
    """New key and value objects equal to the data's."""
    return [(bytes(bytearray(k)), int(str(v))) for k, v in zip(d.keys, d.values)]


def memory_ours(d):
    pairs = fresh_pairs(d)
    gc.collect()
    before = _malloc_in_use()
    m = TolvaneBytesMap()
    for k, v in pairs:
        m[k] = v
    gc.collect()
    # Read while the input still lives: freeing its list would return a
    # block the map never took and shrink the figure.
    held = _malloc_in_use() - before + sys.getsizeof(m)
    del pairs
    return held / d.n, m.mem_used() / d.n


def memory_dict(d):
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        pairs = fresh_pairs(d)
        c = {}
        for k, v in pairs:
            c[k] = v
        del pairs
        gc.collect()
        used = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    del c
    return used / d.n


def report(n, results, held, charged, dict_bytes):
    lines = [BEGIN, "", f"#### TolvaneBytesMap against dict, random 8–40-byte keys, n = {n:,}", ""]
    lines += header(["operation", "TolvaneBytesMap ns", "dict ns", "÷ dict"])
    for op, (_, _) in OPS.items():
        mine, peer = results["TolvaneBytesMap"][op], results["dict"][op]
        lines.append(row([op, fmt_ns(median(mine)), fmt_ns(median(peer)),
                          spread_cell(ratio_spread(mine, peer))]))
    lines.append(row(["bytes/key", f"{held:.1f} (mem_used {charged:.1f})", f"{dict_bytes:.1f}",
                      ratio(held, dict_bytes)]))
    lines += ["", "Operations:", ""]
    lines += [f"- {op}: {note}" for op, (_, note) in OPS.items()]
    lines += ["", f"Python {platform.python_version()} on {cpu_description()}; median of the "
              "interleaved rounds, ratio: median of the per-round ratios (lowest–highest); memory of dict includes its "
              "key objects and value ints, ours the C allocator's bytes in use.", "", END, ""]
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=lambda s: int(float(s)), default=1_000_000)
    ap.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    ap.add_argument("--output", default=DEFAULT_OUTPUT)
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()

    pin_to_one_core()
    d = Data(args.size)
    results = interleaved([(name, lambda make=make: measure(make, d, 1))
                           for name, make in CONTENDERS.items()], args.rounds)
    held, charged = memory_ours(d)
    text = report(args.size, results, held, charged, memory_dict(d))
    print(text)
    if not args.no_write:
        write_section(args.output, text, BEGIN, END)


if __name__ == "__main__":
    main()
