#!/usr/bin/env python3
"""Rank (count_below) and select (by_count) of TolvaneSet / TolvaneMap side by
side with sortedcontainers' SortedSet (bisect_left, index) and SortedDict
(bisect_left, peekitem), on random 64-bit keys.

Rounds are interleaved (ours, peer, ours, peer, ...) on one pinned core; each
round times every probe once. Probes are fresh int objects, as a program's
computed keys would be. Printed per size and operation: our time per call
(median over rounds, with the fastest and slowest round), and ours / peer as
the median of the per-round ratios with their lowest and highest; a spread
that straddles 1 reads "within noise". No timing is ever asserted: this is a
measuring tool.

    bench_rank.py --sizes 1e5,1e6,1e7 --rounds 7
"""
import argparse
import array
import os
import random
import statistics
import sys
import time

from sortedcontainers import SortedDict, SortedSet

from tolvane_trie import TolvaneMap, TolvaneSet

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from rounds import (MIN_ROUNDS, cpu_description, pin_to_one_core, ratio_spread,  # noqa: E402
                    spread_cell)


def timed(fn, args):
    start = time.perf_counter_ns()
    for a in args:
        fn(a)
    return (time.perf_counter_ns() - start) / len(args)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1e5,1e6,1e7")
    parser.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    parser.add_argument("--probes", type=int, default=20000)
    parser.add_argument("--cpu", type=int, default=None, help="core to pin to (default: last)")
    opts = parser.parse_args()

    pin_to_one_core(opts.cpu)
    print(f"CPU: {cpu_description()}; {opts.rounds} interleaved rounds, "
          f"{opts.probes} fresh probes per round")
    print("| keys | operation | ours (ns/call, median, low–high) | peer | "
          "ours / peer (median, low–high) |")
    print("|---|---|---|---|---|")
    for size in [int(float(s)) for s in opts.sizes.split(",")]:
        rng = random.Random(size)
        keys = [rng.getrandbits(64) for _ in range(size)]
        packed = array.array("Q", keys).tobytes()
        ours_set = TolvaneSet()
        ours_set.insert_many(packed)
        ours_map = TolvaneMap()
        ours_map.insert_many(packed, packed)
        n = len(ours_set)
        print(f"<!-- {size:,} keys: TolvaneSet {ours_set.mem_held() / n:.1f} B/key, "
              f"TolvaneMap {ours_map.mem_held() / n:.1f} B/key held -->")
        peer_set = SortedSet(keys)
        peer_map = SortedDict(zip(keys, keys))
        del keys, packed

        rounds = []
        for _ in range(opts.rounds):
            points = [rng.getrandbits(64) for _ in range(opts.probes)]
            ranks = [rng.randrange(n) for _ in range(opts.probes)]
            rounds.append((points, ranks))
        cases = [
            ("set count_below", "SortedSet.bisect_left", ours_set.count_below,
             peer_set.bisect_left, 0),
            ("set by_count", "SortedSet[i]", ours_set.by_count, peer_set.__getitem__, 1),
            ("map count_below", "SortedDict.bisect_left", ours_map.count_below,
             peer_map.bisect_left, 0),
            ("map by_count", "SortedDict.peekitem", ours_map.by_count, peer_map.peekitem, 1),
        ]
        for label, peer_label, ours, peer, which in cases:
            ours_ns, peer_ns = [], []
            for probes in rounds:
                ours_ns.append(timed(ours, probes[which]))
                peer_ns.append(timed(peer, probes[which]))
            print(f"| {size:,} | {label} | {statistics.median(ours_ns):.0f} "
                  f"({min(ours_ns):.0f}–{max(ours_ns):.0f}) | {peer_label} | "
                  f"{spread_cell(ratio_spread(ours_ns, peer_ns))} |")
        del ours_set, ours_map, peer_set, peer_map


if __name__ == "__main__":
    main()
