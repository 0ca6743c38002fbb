#!/usr/bin/env python3
"""TolvaneStrMap side by side with dict, sortedcontainers' SortedDict and
marisa_trie's static Trie on text keys.

Three key sets at the same size: random words, URLs and decimal strings.
Every operation runs the same Python loop over the same keys and probes for
each container, in interleaved rounds on one pinned core; each table gives
ours / peer as the median of the per-round ratios with their spread (below 1:
ours is faster or smaller). A peer that is not
installed is skipped with a message; dict has no ordered queries and the
Trie no values or neighbour queries, shown as "–". Memory is bytes per key
of a container built from freshly made keys that are dropped afterwards:
the Python-heap containers (dict, SortedDict) traced with tracemalloc, the
C-heap ones (ours, the Trie) by glibc's bytes in use (mallinfo2) before and
after, plus the object itself.

    bench_str_maps.py --size 1000000            # rewrites its section of docs/benchmarks.md
    bench_str_maps.py --size 2000 --no-write    # smoke run

No timing is ever asserted: this is a measuring tool.
"""
import argparse
import gc
import os
import random
import sys
import tracemalloc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_byte_maps import timed  # noqa: E402
from bench_containers import DEFAULT_OUTPUT, _malloc_in_use, fmt_ns, optional  # noqa: E402
from markdown_table import header, ratio, row, write_section  # noqa: E402
from rounds import (MIN_ROUNDS, cpu_description, interleaved, median,  # noqa: E402
                    pin_to_one_core, ratio_spread, spread_cell)

from tolvane_trie import TolvaneStrMap  # noqa: E402

BEGIN = "<!-- str-bench:begin -->"
END = "<!-- str-bench:end -->"
SEED = 20261207
RANGE_WINDOW = 100


# --------------------------------------------------------------------------- keys

SYLLABLES = ["ka", "to", "ri", "men", "sa", "lo", "ve", "nu", "qua", "pel", "dor", "ith", "an",
             "er", "on", "ys", "ch", "str", "ae", "\u00e9", "\u00fc"]


def word(rng):
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 6)))


def url(rng):
    host = f"{word(rng)}.{rng.choice(['com', 'org', 'net', 'io', 'de'])}"
    path = "/".join(word(rng) for _ in range(rng.randint(1, 4)))
    return f"https://www.{host}/{path}?id={rng.randrange(10**6)}"


def decimal(rng):
    return str(rng.getrandbits(rng.choice([20, 40, 64])))


SHAPES = {"words": word, "urls": url, "decimals": decimal}


class Data:
    def __init__(self, shape, n, probes):
        rng = random.Random(f"{SEED}/{shape}/{n}")
        make = SHAPES[shape]
        keys = set()
        while len(keys) < n:
            keys.add(make(rng))
        self.keys = list(keys)
        self.values = [rng.getrandbits(64) for _ in range(n)]
        self.probes = [make(rng) for _ in range(probes)]
        ordered = sorted(self.keys, key=lambda k: k.encode())
        starts = [rng.randrange(max(1, n - RANGE_WINDOW)) for _ in range(max(1, probes // 100))]
        self.windows = [(ordered[i], ordered[min(i + RANGE_WINDOW - 1, n - 1)]) for i in starts]
        self.n = n


# --------------------------------------------------------------------------- operations
# Each: fn(container, data) -> number of operations done; None where the
# container has no such operation.


def insert_loop(c, d):
    for k, v in zip(d.keys, d.values):
        c[k] = v
    return d.n


def get_loop(c, d):
    g = c.get
    for k in d.keys:
        g(k)
    return d.n


def probe_loop(method):
    def run(c, d):
        f = getattr(c, method)
        for k in d.probes:
            f(k)
        return len(d.probes)
    return run


def ours_ops():
    def iterate(c, d):
        return len(c.items())

    def ranges(c, d):
        for a, b in d.windows:
            c.range(a, b)
        return len(d.windows)

    return {"insert": insert_loop, "get_hit": get_loop, "iterate": iterate,
            "next": probe_loop("next_after"), "prev": probe_loop("prev_before"), "range": ranges}


def dict_ops():
    def iterate(c, d):
        return len(sorted(c.items(), key=lambda e: e[0].encode()))

    return {"insert": insert_loop, "get_hit": get_loop, "iterate": iterate}


def sorted_dict_ops():
    # SortedDict orders str keys by code point, which for these keys is
    # the byte order of their UTF-8 encoding too.
    def iterate(c, d):
        return len(list(c.items()))

    def after(c, d):
        bisect_right, peek, size = c.bisect_right, c.peekitem, len(c)
        for k in d.probes:
            i = bisect_right(k)
            if i < size:
                peek(i)
        return len(d.probes)

    def before(c, d):
        bisect_left, peek = c.bisect_left, c.peekitem
        for k in d.probes:
            i = bisect_left(k)
            if i:
                peek(i - 1)
        return len(d.probes)

    def ranges(c, d):
        for a, b in d.windows:
            [(k, c[k]) for k in c.irange(a, b)]
        return len(d.windows)

    return {"insert": insert_loop, "get_hit": get_loop, "iterate": iterate, "next": after,
            "prev": before, "range": ranges}


def trie_ops(marisa_trie):
    def build(c, d):  # static: built once from all keys
        marisa_trie.Trie(d.keys)
        return d.n

    def iterate(c, d):
        return len(c.items())

    return {"insert": build, "get_hit": get_loop, "iterate": iterate}


OPS = ["insert", "get_hit", "iterate", "next", "prev", "range"]
NOTES = {
    "insert": "ns per key, `c[k] = v` of new keys (Trie: one build from the key list)",
    "get_hit": "`c.get(k)`, present keys",
    "iterate": "ns per key of all entries in key order (ours: `items()`; dict: sorted; Trie: its "
               "own order)",
    "next": "successor of a random probe, strictly after (SortedDict: bisect + peekitem)",
    "prev": "predecessor of a random probe, strictly before",
    "range": f"ns per call of a closed range holding {RANGE_WINDOW} keys, as a list of pairs",
}


def contenders(mods):
    out = {"TolvaneStrMap": (TolvaneStrMap, ours_ops(), "c"), "dict": (dict, dict_ops(), "py")}
    if mods["sortedcontainers"]:
        out["SortedDict"] = (mods["sortedcontainers"].SortedDict, sorted_dict_ops(), "py")
    if mods["marisa_trie"]:
        mt = mods["marisa_trie"]
        out["marisa Trie"] = (None, trie_ops(mt), "c")
    return out


def build(name, make, d, mods):
    if make is None:  # the static Trie
        return mods["marisa_trie"].Trie(d.keys)
    c = make()
    insert_loop(c, d)
    return c


def measure(name, make, ops, d, repeat, mods):
    results = {}
    for _ in range(repeat):
        fresh = make() if make is not None else None
        results["insert"] = min(results.get("insert", float("inf")), timed(ops["insert"], fresh, d))
        del fresh
    c = build(name, make, d, mods)
    for op in OPS[1:]:
        if op in ops:
            results[op] = min(timed(ops[op], c, d) for _ in range(repeat))
    return results


def fresh_keys(d):
    return [k.encode().decode() for k in d.keys]


def memory(name, make, kind, d, mods):
    gc.collect()
    if kind == "c":
        keys = fresh_keys(d)
        before = _malloc_in_use()
        c = mods["marisa_trie"].Trie(keys) if make is None else make()
        if make is not None:
            for k, v in zip(keys, d.values):
                c[k] = v
        gc.collect()
        # Read while the keys still live: freeing their list would return a
        # block the container never took and shrink the figure.
        held = _malloc_in_use() - before + sys.getsizeof(c)
        del keys
        return held / d.n
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        keys = fresh_keys(d)
        values = [int(str(v)) for v in d.values]
        c = make()
        for k, v in zip(keys, values):
            c[k] = v
        del keys, values
        gc.collect()
        used = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    return used / d.n


def table(shape, n, results, mem):
    names = list(results)
    lines = [f"#### TolvaneStrMap, {shape}, n = {n:,}", ""]
    lines += header(["operation", "TolvaneStrMap ns"] + [f"÷ {p}" for p in names[1:]])
    for op in OPS:
        mine = results[names[0]].get(op)
        lines.append(row([op, "–" if mine is None else fmt_ns(median(mine))] +
                         [spread_cell(ratio_spread(mine or [], results[p].get(op) or []))
                          for p in names[1:]]))
    lines.append(row(["bytes/key", f"{mem[names[0]]:.1f}"] +
                     [ratio(mem[names[0]], mem[p]) for p in names[1:]]))
    lines += ["", "Peers, ns per operation and bytes per key:", ""]
    lines += header(["operation"] + names[1:])
    for op in OPS:
        lines.append(row([op] + ["–" if results[p].get(op) is None else fmt_ns(median(results[p][op]))
                                 for p in names[1:]]))
    lines.append(row(["bytes/key"] + [f"{mem[p]:.1f}" for p in names[1:]]))
    lines.append("")
    return lines


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", type=lambda s: int(float(s)), default=1_000_000)
    ap.add_argument("--shapes", default="words,urls,decimals")
    ap.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    ap.add_argument("--probes", type=int, default=200_000)
    ap.add_argument("--output", default=DEFAULT_OUTPUT)
    ap.add_argument("--no-write", action="store_true")
    args = ap.parse_args()

    mods = {m: optional(m) for m in ("sortedcontainers", "marisa_trie")}
    pin_to_one_core()
    lines = [BEGIN, "", f"{cpu_description()}; {args.rounds} interleaved rounds on one pinned "
             "core: our time is the median of the rounds, a ratio the median of the per-round "
             "ratios (lowest–highest).", ""]
    for shape in args.shapes.split(","):
        d = Data(shape, args.size, min(args.probes, args.size))
        named = contenders(mods).items()
        results = interleaved([(name, lambda name=name, make=make, ops=ops: measure(
            name, make, ops, d, 1, mods)) for name, (make, ops, _) in named], args.rounds)
        mem = {name: memory(name, make, kind, d, mods) for name, (make, _, kind) in named}
        lines += table(shape, args.size, results, mem)
    lines += ["Operations:", ""] + [f"- {op}: {note}" for op, note in NOTES.items()]
    lines += ["", END, ""]
    text = "\n".join(lines)
    print(text)
    if not args.no_write:
        write_section(args.output, text, BEGIN, END)


if __name__ == "__main__":
    main()
