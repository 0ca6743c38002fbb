#!/usr/bin/env python3
"""Rank (count_below) and select (by_count) of TolvaneSet / TolvaneMap side by
side with sortedcontainers' SortedSet (bisect_left, index) and SortedDict
(bisect_left, peekitem), on random 64-bit keys.

Rounds are interleaved (ours, peer, ours, peer, ...) on one pinned core; each
round times every probe once. Probes are fresh int objects, as a program's
computed keys would be. Printed per size and operation: our time per call
(median over rounds), and ours / peer as the median of the per-round ratios
with their lowest and highest; a spread that straddles 1 reads "within
noise". No timing is ever asserted: this is a measuring tool.

    bench_rank.py --sizes 1e5,1e6,1e7 --rounds 7
"""
import argparse
import array
import os
import random
import statistics
import time

from sortedcontainers import SortedDict, SortedSet

from tolvane_trie import TolvaneMap, TolvaneSet


def timed(fn, args):
    start = time.perf_counter_ns()
    for a in args:
        fn(a)
    return (time.perf_counter_ns() - start) / len(args)


def cpu_description():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            model = next(l.split(":", 1)[1].strip() for l in f if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    caches = []
    base = "/sys/devices/system/cpu/cpu0/cache"
    for index in sorted(os.listdir(base)) if os.path.isdir(base) else []:
        try:
            with open(f"{base}/{index}/level") as f:
                level = f.read().strip()
            with open(f"{base}/{index}/type") as f:
                kind = f.read().strip()
            with open(f"{base}/{index}/size") as f:
                size = f.read().strip()
        except OSError:
            continue
        if kind != "Instruction":
            caches.append(f"L{level} {size}")
    return model + (" (" + ", ".join(caches) + " per core or shared)" if caches else "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1e5,1e6,1e7")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--probes", type=int, default=20000)
    parser.add_argument("--cpu", type=int, default=None, help="core to pin to (default: last)")
    opts = parser.parse_args()

    cores = sorted(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {opts.cpu if opts.cpu is not None else cores[-1]})
    print(f"CPU: {cpu_description()}; {opts.rounds} interleaved rounds, "
          f"{opts.probes} fresh probes per round")
    print("| keys | operation | ours (ns/call) | peer | ours / peer (median, low–high) |")
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
            ours_ns, ratios = [], []
            for probes in rounds:
                a = timed(ours, probes[which])
                b = timed(peer, probes[which])
                ours_ns.append(a)
                ratios.append(a / b)
            low, mid, high = min(ratios), statistics.median(ratios), max(ratios)
            verdict = " (within noise)" if low <= 1 <= high else ""
            print(f"| {size:,} | {label} | {statistics.median(ours_ns):.0f} | {peer_label} | "
                  f"{mid:.2f} ({low:.2f}–{high:.2f}){verdict} |")
        del ours_set, ours_map, peer_set, peer_map


if __name__ == "__main__":
    main()
