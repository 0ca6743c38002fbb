"""Bulk loads: insert_many of packed random keys (and pairs) beside set(list) and dict(zip).

Ours and the peer are timed in interleaved rounds on one pinned core
(bench/rounds.py); each ratio is the median of the per-round ratios with the
lowest and highest. Bytes per key are the containers' own held and used
counts after the call, with their node allocations.

The peak table runs each insert_many alone in a fresh child process, whose
packed input is made before the peak resident size is reset: the peak above
the size the process ends at is what the call needed beyond what it keeps,
beside the input's own size (median of the children, with the lowest and
highest).

    python3 bench/python/bench_bulk.py --sizes 1e6,1e7 --rounds 7
"""

import argparse
import array
import ctypes
import json
import os
import random
import statistics
import subprocess
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


def resident_kib():
    """(current, peak) resident size of this process in KiB."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                fields[name] = int(rest.split()[0])
    return fields["VmRSS"], fields["VmHWM"]


def peak_child(kind, n, seed):
    """One insert_many into a fresh container; prints the input's size and the
    call's peak and final resident sizes in bytes."""
    rng = random.Random(seed)
    keys = rng.randbytes(8 * n)
    values = rng.randbytes(8 * n) if kind == "map" else b""
    container = TolvaneSet() if kind == "set" else TolvaneMap()
    try:
        # Free heap left by making the input would otherwise be reused by the
        # container and hide part of its growth.
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from the current size
    before, _ = resident_kib()
    if kind == "set":
        container.insert_many(keys)
    else:
        container.insert_many(keys, values)
    after, peak = resident_kib()
    print(json.dumps({"input": len(keys) + len(values), "before": before * 1024,
                      "after": after * 1024, "peak": peak * 1024,
                      "held": container.mem_held()}))


def peak_rows(n, children, seed):
    rows = []
    for kind in ("set", "map"):
        runs = []
        for child in range(children):
            out = subprocess.run([sys.executable, os.path.abspath(__file__), "--peak-child", kind,
                                  "--sizes", str(n), "--seed", str(seed + child)],
                                 capture_output=True, text=True, check=True).stdout
            runs.append(json.loads(out))
        above = [(r["peak"] - r["after"]) / r["input"] for r in runs]
        grown = [(r["after"] - r["before"]) / n for r in runs]
        rows.append(f"| {n:,} | {kind} insert_many(packed) | {runs[0]['input'] / n:.0f} "
                    f"| {statistics.median(grown):.1f} | {runs[0]['held'] / n:.1f} "
                    f"| {statistics.median(above):.2f} ({min(above):.2f}–{max(above):.2f}) |")
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1e6")
    parser.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--peak-children", type=int, default=3,
                        help="child processes per peak measurement (0 skips the table)")
    parser.add_argument("--peak-child", choices=("set", "map"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_child:
        return peak_child(args.peak_child, int(float(args.sizes)), args.seed)
    core = pin_to_one_core()
    print(f"{cpu_description()}; core {core}; {load_description()}")
    sizes = [int(float(size)) for size in args.sizes.split(",")]
    print_table(["keys", "operation", "peer", "ours / peer (median, low–high)", "held B/key",
                 "used B/key", "node allocations"],
                (row for n in sizes for row in run(n, args.rounds, args.seed)))
    if args.peak_children > 0 and os.path.exists("/proc/self/clear_refs"):
        print_table(["keys", "operation", "input B/key", "resident growth B/key", "held B/key",
                     "peak above final / input size (median, low–high)"],
                    (row for n in sizes for row in peak_rows(n, args.peak_children, args.seed)))


def print_table(header, rows):
    print("\n| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for row in rows:
        print(row)

if __name__ == "__main__":
    main()
