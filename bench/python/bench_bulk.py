"""Bulk loads: insert_many of packed random keys (and pairs) beside set(list) and dict(zip).

Ours and the peer are timed in interleaved rounds on one pinned core
(bench/rounds.py); each ratio is the median of the per-round ratios with the
lowest and highest. Bytes per key are the containers' own held and used
counts after the call, with their node allocations.

    python3 bench/python/bench_bulk.py --sizes 1e6,1e7 --rounds 7
"""

import argparse
import array
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from rounds import (MIN_ROUNDS, cpu_description, load_description, pin_to_one_core,  # noqa: E402
                    ratio_spread, run_rounds, spread_cell)
from tolvane_trie import TolvaneMap, TolvaneSet  # noqa: E402


def run(n, rounds, seed):
    rng = random.Random(seed)
    keys = [rng.getrandbits(64) for _ in range(n)]
    values = [rng.getrandbits(64) for _ in range(n)]
    packed_keys = array.array("Q", keys).tobytes()
    packed_values = array.array("Q", values).tobytes()
    built = {}

    def timing(name, build):
        def once():
            start = time.perf_counter()
            result = build()
            elapsed = time.perf_counter() - start
            built[name] = result
            return elapsed
        return once

    def set_bulk():
        s = TolvaneSet()
        s.insert_many(packed_keys)
        return s

    def map_bulk():
        m = TolvaneMap()
        m.insert_many(packed_keys, packed_values)
        return m

    times = run_rounds([("set", timing("set", set_bulk)),
                        ("set(list)", timing("peer", lambda: set(keys))),
                        ("map", timing("map", map_bulk)),
                        ("dict(zip)", timing("peer", lambda: dict(zip(keys, values))))], rounds)
    rows = []
    for ours, peer, label in [("set", "set(list)", "set insert_many(packed)"),
                              ("map", "dict(zip)", "map insert_many(packed, packed)")]:
        c = built[ours]
        rows.append(f"| {n:,} | {label} | {peer} | {spread_cell(ratio_spread(times[ours], times[peer]))}"
                    f" | {c.mem_held() / n:.1f} | {c.mem_used() / n:.1f} | {c.total_node_allocs():,} |")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1e6")
    parser.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    core = pin_to_one_core()
    print(f"{cpu_description()}; core {core}; {load_description()}\n")
    print("| keys | operation | peer | ours / peer (median, low–high) | held B/key | used B/key "
          "| node allocations |")
    print("|---|---|---|---|---|---|---|")
    for size in args.sizes.split(","):
        for row in run(int(float(size)), args.rounds, args.seed):
            print(row)


if __name__ == "__main__":
    main()
