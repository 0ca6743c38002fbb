#!/usr/bin/env python3
"""Compares two builds of tolvane_bench timed in alternating rounds.

run_rounds.py --baseline runs the older build and then the newer one in every
round, on the same pinned core, into baseline/ and current/:

    run_rounds.py --rounds 7 --out runs/cmp --baseline old/tolvane_bench -- \\
        build/bench/bench/engine/tolvane_bench --sizes=1e6 --benchmark_filter='^(set|map)/'
    compare_builds.py runs/cmp [--peers absl::btree_set,absl::btree_map]

Round i of one build sits next to round i of the other, so every figure is
the median of per-round quotients with the lowest and highest: ours new / old,
and for each peer the ratio ours / peer before and after with the change
after / before. A change above 1.05 means that ratio got more than 5% worse;
those rows are listed at the end ("within noise" where the rounds' change
reaches across 1). Nothing is asserted: a measuring tool.
"""
import argparse
import glob
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from markdown_table import header, row  # noqa: E402
from report import OPS, OURS, PEERS, SHAPES, load  # noqa: E402
from rounds import spread_cell  # noqa: E402

WORSE = 1.05


def quotients(a, b):
    """Per-round a / b where both are present."""
    return [x / y for x, y in zip(a, b) if x is not None and y]


def spread(values):
    return (statistics.median(values), min(values), max(values)) if values else None


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("folder", help="the --out folder of run_rounds.py --baseline")
    ap.add_argument("--peers", help="comma list of peers for the table (default: all)")
    args = ap.parse_args()
    old, _ = load(sorted(glob.glob(os.path.join(args.folder, "baseline", "round-*.json"))))
    new, _ = load(sorted(glob.glob(os.path.join(args.folder, "current", "round-*.json"))))
    chosen = args.peers.split(",") if args.peers else None
    worse = []
    for family in ("set", "map"):
        ours = OURS[family]
        peers = [p for p in PEERS[family] if chosen is None or p in chosen]
        head = ["shape", "n", "operation", f"{ours} new / old"]
        for p in peers:
            head += [f"÷ {p} before", "after", "after / before"]
        lines = header(head)
        for (fam, shape, n, container, op) in sorted(
                new, key=lambda k: (SHAPES.index(k[1]) if k[1] in SHAPES else 9, k[2],
                                    OPS.index(k[4]) if k[4] in OPS else 99)):
            if fam != family or container != ours or (fam, shape, n, ours, op) not in old:
                continue
            mine_old, mine_new = old[(fam, shape, n, ours, op)]["ns"], new[(fam, shape, n, ours, op)]["ns"]
            cells = [shape, f"{n:,}", op, spread_cell(spread(quotients(mine_new, mine_old)))]
            for p in peers:
                key = (fam, shape, n, p, op)
                if key not in old or key not in new:
                    cells += ["–", "–", "–"]
                    continue
                before = quotients(mine_old, old[key]["ns"])
                after = quotients(mine_new, new[key]["ns"])
                change = spread([a / b for a, b in zip(after, before)])
                cells += [spread_cell(spread(before)), spread_cell(spread(after)), spread_cell(change)]
                if change and change[0] > WORSE:
                    worse.append(f"- {family} {shape} {n:,} {op} ÷ {p}: "
                                 f"{statistics.median(before):.2f} → {statistics.median(after):.2f}, "
                                 f"after / before {spread_cell(change)}")
            lines.append(row(cells))
        print("\n".join(lines) + "\n")
    print(f"Ratios against a peer more than {round((WORSE - 1) * 100)}% worse after than before:")
    print("\n".join(worse) if worse else "- none")


if __name__ == "__main__":
    main()
