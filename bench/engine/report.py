#!/usr/bin/env python3
"""Turns Google Benchmark JSON output of tolvane_bench into Markdown tables.

Each timing is nanoseconds per key (per probe for point queries). Each file
is one round (run_rounds.py writes them: every round times ours and its
peers one after the other on one pinned core); a ratio ours / peer is the
median of the per-round ratios, with the lowest and highest, so below 1
means the trie is faster or smaller. Repetitions within one file count as
one sample, their median.

    run_rounds.py --rounds 7 --out runs/e5 -- tolvane_bench --sizes=1e5
    report.py runs/e5/round-*.json [--write docs/benchmarks.md]

With --write the tables replace the engine section of that file (between
its markers, appended when absent); otherwise they go to stdout.

The other engine programs (string map, blob map, concurrent containers) name
their benchmarks `family/.../container/operation`, some with a thread count;
--pairs lists which of them to set side by side, and --section names the
marked section their table replaces:

    report.py runs/str/round-*.json --section str-engine-bench \
        --pairs 'TolvaneStrMap:std::map,TolvaneStrMap:absl::btree_map'

A pair is OURS:PEER, each side a container, optionally with /operation and
@threads when the peer's row differs (`SyncTolvaneMap/get@1:TolvaneMap/get`);
a row is one benchmark of ours matched with the peer's benchmark of the same
prefix (the name before the container).
"""
import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
from collections import defaultdict

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from markdown_table import header, row, write_section  # noqa: E402
from rounds import cpu_description, ratio_spread, spread_cell  # noqa: E402

BEGIN = "<!-- engine-bench:begin -->"
END = "<!-- engine-bench:end -->"
OURS = {"set": "TolvaneSet", "map": "TolvaneMap"}
PEERS = {
    "set": ["absl::btree_set", "std::set", "pb_ds::tree_set"],
    "map": ["absl::btree_map", "std::map", "std::unordered_map", "pb_ds::tree_map"],
}
# Peers timed on rank and select only: no build, so no memory row.
RANKED_ONLY = {"pb_ds::tree_set", "pb_ds::tree_map"}
OPS = ["insert", "insert_sorted", "lookup_hit", "lookup_miss", "next", "prev", "iterate",
       "rank", "select", "erase"]
SHAPES = ["random", "dense", "clustered"]


def load_rounds(paths, key_of, keep_counters):
    """Per-round timings of every benchmark that `key_of` names (None skips
    it), with the counters `keep_counters(runs, key, b)` copies (touching a
    key's entry only for a counter it has, which keeps the tables' row order), and the first file's
    context. 'ns' holds one entry per file (None where the file lacks the
    benchmark), so ours and a peer line up by round."""
    runs = defaultdict(lambda: defaultdict(list))
    context = None
    for index, path in enumerate(paths):
        with open(path) as f:
            doc = json.load(f)
        context = context or doc.get("context", {})
        round_ns = defaultdict(list)
        for b in doc.get("benchmarks", []):
            if b.get("run_type") == "aggregate" or "items_per_second" not in b:
                continue
            key = key_of(b.get("run_name", b["name"]))
            if key is None:
                continue
            round_ns[key].append(1e9 / b["items_per_second"])
            keep_counters(runs, key, b)
        for key, ns in round_ns.items():
            runs[key]["ns"] += [None] * (index - len(runs[key]["ns"])) + [statistics.median(ns)]
    for r in runs.values():
        r["ns"] += [None] * (len(paths) - len(r["ns"]))
    return runs, context or {}


def load(paths):
    """{(family, shape, n, container, op): {'ns': [per round], 'bkey': [...], 'bsys': [...]}},
    and the first file's context."""
    def key_of(name):
        parts = name.split("/")
        if len(parts) != 5:
            return None
        family, shape, n, container, op = parts
        return (family, shape, int(n), container, op)

    def keep_counters(runs, key, b):
        if "B/key" in b:
            runs[key]["bkey"].append(b["B/key"])
            runs[key]["bsys"].append(b["B/key_sys"])
            runs[key]["blive"].append(b.get("B/key_live", b["B/key"]))

    return load_rounds(paths, key_of, keep_counters)


# Name parts that only say how a benchmark was timed, not what it measures.
TIMING_PARTS = re.compile(r"^(iterations:\d+|real_time|manual_time|repeats:\d+|min_time:.*)$")


def split_name(name):
    """(prefix, container, op, threads) of a benchmark name, or None: the
    container is the part before the operation, the prefix what precedes it."""
    parts = [p for p in name.split("/") if not TIMING_PARTS.match(p)]
    threads = 1
    if parts and parts[-1].startswith("threads:"):
        threads = int(parts.pop().split(":", 1)[1])
    if len(parts) < 3:
        return None
    return "/".join(parts[:-2]), parts[-2], parts[-1], threads


def load_named(paths):
    """{(prefix, container, op, threads): {'ns': [per round], counter: [...]}},
    one 'ns' entry per file as load() keeps them."""
    def keep_counters(runs, key, b):
        for counter in ("B/key", "B/key_sys", "B/entry"):
            if counter in b:
                runs[key][counter].append(b[counter])

    return load_rounds(paths, split_name, keep_counters)


def parse_side(text):
    """'Container[/op][@threads]' as (container, op or None, threads or None)."""
    threads = None
    if "@" in text:
        text, t = text.rsplit("@", 1)
        threads = int(t)
    container, _, op = text.partition("/")
    return container, op or None, threads


def pair_table(runs, pairs):
    """One row per benchmark of ours that has its peer: ns of both, the ratio
    ours / peer as the median of the per-round ratios with their spread, and
    bytes per key where both report them."""
    out = ["| benchmark | threads | ours | ns | peer | ns | ours / peer | B/key ours, peer |",
           "|---|---|---|---|---|---|---|---|"]
    sides = [tuple(parse_side(t) for t in spec.split(":", 1)) for spec in pairs]
    for (prefix, c, op, th), r in runs.items():
        for (oc, oop, oth), (pc, pop, pth) in sides:
            if c != oc or (oop and op != oop) or (oth and th != oth):
                continue
            peer_key = (prefix, pc, pop or op, pth or th)
            if peer_key not in runs:
                continue
            p = runs[peer_key]
            mem = "–"
            mine_b, theirs_b = med(r.get("B/key", r.get("B/entry", []))), \
                med(p.get("B/key", p.get("B/entry", [])))
            if mine_b is not None and theirs_b is not None:
                mem = f"{mine_b:.1f}, {theirs_b:.1f}"
                mine_s, theirs_s = med(r.get("B/key_sys", [])), med(p.get("B/key_sys", []))
                if mine_s is not None and theirs_s is not None:
                    mem += f" (from the system: {mine_s:.1f}, {theirs_s:.1f})"
            peer_name = pc + (f"/{pop}" if pop else "") + \
                (f" ({pth} thread{'s' if pth != 1 else ''})" if pth else "")
            words = [f"{int(w):,}" if w.isdigit() else w for w in prefix.split("/")]
            out.append(row([" ".join(words + [op]), str(th), oc, fmt_ns(med(r["ns"])),
                            peer_name, fmt_ns(med(p["ns"])),
                            spread_cell(ratio_spread(r["ns"], p["ns"])), mem]))
    out.append("")
    return out


def render_pairs(runs, pairs, context, build, rounds, section, title, pinned):
    begin, end = f"<!-- {section}:begin -->", f"<!-- {section}:end -->"
    lines = [begin, ""]
    if title:
        lines += [title, ""]
    lines += machine(context, build, rounds, pinned)
    lines += pair_table(runs, pairs)
    lines.append(end)
    return begin, end, "\n".join(lines) + "\n"


def med(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt_ns(v):
    if v is None:
        return "–"
    return f"{v:.1f}" if v < 100 else f"{v:.0f}"


def sizes_of(runs):
    return sorted({k[2] for k in runs})


def time_tables(runs):
    out = []
    for family in ("set", "map"):
        ours, peers = OURS[family], PEERS[family]
        head = ["shape", "n", "operation", f"{ours} ns"]
        for p in peers:
            head += [f"{p} ns", f"÷ {p}"]
        out.append(f"#### {family}: ns per key (median of the rounds), ratio ours / peer "
                   "(median of the per-round ratios, lowest–highest)\n")
        out += header(head)
        for shape in SHAPES:
            for n in sizes_of(runs):
                for op in OPS:
                    mine = runs.get((family, shape, n, ours, op), {}).get("ns", [])
                    if med(mine) is None:
                        continue
                    cells = [shape, f"{n:,}", op, fmt_ns(med(mine))]
                    for p in peers:
                        theirs = runs.get((family, shape, n, p, op), {}).get("ns", [])
                        cells += [fmt_ns(med(theirs)), spread_cell(ratio_spread(mine, theirs))]
                    out.append(row(cells))
        out.append("")
    return out


def memory_table(runs):
    out = ["#### Bytes per key after inserting the keys in random order\n",
           "Peers: requested bytes / bytes spent at the system allocator (chunk "
           "headers and rounding included). Trie: the allocator's bytes_held plus "
           "the container object (slab pages taken whole, free blocks included) / "
           "the bytes of the blocks in use.\n"]
    containers = [c for c in [OURS["set"]] + PEERS["set"] + [OURS["map"]] + PEERS["map"]
                  if c not in RANKED_ONLY]
    head = ["shape", "n"] + containers
    out += header(head)
    for shape in SHAPES:
        for n in sizes_of(runs):
            cells = [shape, f"{n:,}"]
            seen = False
            for c in containers:
                family = "set" if c in (OURS["set"], *PEERS["set"]) else "map"
                r = runs.get((family, shape, n, c, "insert"), {})
                bk, bs = med(r.get("bkey", [])), med(r.get("bsys", []))
                bl = med(r.get("blive", []))
                if bk is None:
                    cells.append("–")
                elif c in OURS.values():
                    cells.append(f"{bk:.2f} / {bl:.2f}")
                    seen = True
                else:
                    cells.append(f"{bk:.1f} / {bs:.1f}")
                    seen = True
            if seen:
                out.append(row(cells))
    out.append("")
    return out


def machine(context, build, rounds, pinned="one pinned core"):
    try:
        cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True,
                             check=False).stdout.splitlines()[0]
    except (OSError, IndexError):
        cxx = "unknown"
    caches = ", ".join(f"L{c['level']} {c['type']} {c['size'] // 1024} KiB"
                       for c in context.get("caches", []))
    load = context.get("load_avg") or []
    return [
        f"- Run: {context.get('date', '?')} on {context.get('host_name', '?')}, "
        f"{cpu_description().split(' (caches')[0]}, "
        f"{context.get('num_cpus', '?')} CPUs at {context.get('mhz_per_cpu', '?')} MHz "
        f"({platform.machine()}); caches: {caches}",
        f"- {rounds} interleaved rounds on {pinned}; load average at the first round "
        + (f"{load[0]:.0f} (5 min: {load[1]:.0f})" if len(load) >= 2 else "unknown")
        + "; a spread that reaches across 1 says \"within noise\"",
        f"- Compiler: {cxx}; build: {build}",
        "",
    ]


def render(runs, context, build, rounds):
    lines = [BEGIN, "## Engine (C++)", ""]
    lines += machine(context, build, rounds)
    lines += time_tables(runs)
    lines += memory_table(runs)
    lines.append(END)
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("json", nargs="+")
    ap.add_argument("--write", metavar="MARKDOWN")
    ap.add_argument("--build", default="Release (-O3)")
    ap.add_argument("--pairs", help="comma list OURS:PEER for the other engine programs")
    ap.add_argument("--section", help="marker name of the section the --pairs table replaces")
    ap.add_argument("--title", default="", help="a line above the --pairs table")
    ap.add_argument("--pinned", default="one pinned core",
                    help="how the rounds were pinned, as the page says it")
    args = ap.parse_args()
    if args.pairs:
        if not args.section:
            ap.error("--pairs needs --section")
        runs, context = load_named(args.json)
        if not runs:
            sys.exit("no benchmark results in " + ", ".join(args.json))
        rounds = max(sum(v is not None for v in r["ns"]) for r in runs.values())
        begin, end, text = render_pairs(runs, args.pairs.split(","), context, args.build,
                                        rounds, args.section, args.title, args.pinned)
        if args.write:
            write_section(args.write, text, begin, end)
        else:
            sys.stdout.write(text)
        return
    runs, context = load(args.json)
    if not runs:
        sys.exit("no benchmark results in " + ", ".join(args.json))
    # Files of runs at different sizes may be given together: each benchmark
    # counts the rounds it appears in.
    rounds = max(sum(v is not None for v in r["ns"]) for r in runs.values())
    text = render(runs, context, args.build, rounds)
    if args.write:
        write_section(args.write, text, BEGIN, END)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
