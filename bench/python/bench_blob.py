#!/usr/bin/env python3
"""TolvaneBlobMap side by side with a dict of bytes saved with pickle.

One workload: n random u64 keys with mixed payloads (70% of 0-7 bytes, 25% of
8-200, 5% of 200-4096, random bytes). Timed in --rounds interleaved rounds: building
the container, reading every payload by key in random order, saving it to a
file in one directory and loading it back (pickle protocol 5 for the dict).
Memory is bytes per entry: ours is mem_used() (arena chunks plus trie
nodes); the dict's is what tracemalloc sees while it is built from the
payload objects, so the bytes objects count against it. The table gives
ours / dict, so below 1 means ours is faster or smaller.

    bench_blob.py --size 1000000               # writes docs/benchmarks.md
    bench_blob.py --size 2000 --no-write       # smoke run

No timing is ever asserted: this is a measuring tool.
"""
import argparse
import gc
import os
import pickle
import random
import sys
import tempfile
import time
import tracemalloc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from markdown_table import header, ratio, row, write_section  # noqa: E402
from rounds import (MIN_ROUNDS, cpu_description, median, pin_to_one_core,  # noqa: E402
                    ratio_spread, run_rounds, spread_cell)

from tolvane_trie import TolvaneBlobMap  # noqa: E402

BEGIN = "<!-- python-blob-bench:begin -->"
END = "<!-- python-blob-bench:end -->"
DEFAULT_OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                              "benchmarks.md")


def workload(n, seed):
    rng = random.Random(seed)
    pool = rng.randbytes(8192)
    keys, payloads = [], []
    for _ in range(n):
        shape = rng.random()
        size = (rng.randrange(8) if shape < 0.70 else
                rng.randrange(8, 201) if shape < 0.95 else rng.randrange(200, 4097))
        start = rng.randrange(4096)
        keys.append(rng.getrandbits(64))
        payloads.append(pool[start:start + size])
    return keys, payloads


def seconds(fn):
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def paired(rounds, ours_fn, peer_fn):
    """Seconds of ours and of the peer in each of the interleaved rounds."""
    t = run_rounds([("ours", lambda: seconds(ours_fn)), ("peer", lambda: seconds(peer_fn))], rounds)
    return t["ours"], t["peer"]


def run(n, rounds, directory):
    keys, payloads = workload(n, 20261207)
    order = list(range(n))
    random.Random(1).shuffle(order)
    probe = [keys[i] for i in order]
    payload_bytes = sum(map(len, payloads))

    def build_ours():
        m = TolvaneBlobMap()
        for k, p in zip(keys, payloads):
            m[k] = p
        return m

    # Both are filled one item assignment at a time from Python.
    def build_dict():
        d = {}
        for k, p in zip(keys, payloads):
            d[k] = p
        return d

    ours, peer = {}, {}
    ours["insert"], peer["insert"] = paired(rounds, build_ours, build_dict)
    m = build_ours()
    # Fresh copies of the payloads, so the bytes objects the dict keeps
    # alive are counted with it.
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    d = {k: bytes(memoryview(p)) for k, p in zip(keys, payloads)}
    dict_bytes = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()

    ours["get"], peer["get"] = paired(rounds, lambda: [m.get_bytes(k) for k in probe],
                                      lambda: [d.get(k) for k in probe])

    ours_path = os.path.join(directory, "blob.img")
    peer_path = os.path.join(directory, "dict.pickle")

    def save_pickle():
        with open(peer_path, "wb") as f:
            pickle.dump(d, f, protocol=5)

    def load_pickle():
        with open(peer_path, "rb") as f:
            return pickle.load(f)

    ours["save"], peer["save"] = paired(rounds, lambda: m.save_to_file(ours_path), save_pickle)
    ours["load"], peer["load"] = paired(
        rounds, lambda: TolvaneBlobMap.load_from_file(ours_path), load_pickle)
    assert TolvaneBlobMap.load_from_file(ours_path).get_bytes(keys[0]) == payloads[0]
    sizes = (os.path.getsize(ours_path), os.path.getsize(peer_path))
    return ours, peer, (m.mem_used(), dict_bytes), sizes, payload_bytes


def report(n, ours, peer, memory, sizes, payload_bytes):
    lines = [BEGIN, "",
             f"### TolvaneBlobMap against dict + pickle, {n:,} entries (Python)", "",
             "Mixed payloads: 70% of 0-7 bytes, 25% of 8-200, 5% of 200-4096; "
             f"{payload_bytes / n:.1f} payload bytes per entry. "
             "Seconds for the whole operation over all entries, median of the interleaved "
             "rounds on one pinned core; ratio ours / dict, the median of the per-round ratios "
             f"(lowest–highest). {cpu_description()}.",
             ""]
    lines += header(["operation", "TolvaneBlobMap s", "dict s", "ratio"])
    for op in ("insert", "get", "save", "load"):
        lines.append(row([op, f"{median(ours[op]):.3f}", f"{median(peer[op]):.3f}",
                          spread_cell(ratio_spread(ours[op], peer[op]))]))
    lines.append(row(["bytes / entry in memory", f"{memory[0] / n:.1f}", f"{memory[1] / n:.1f}",
                      ratio(memory[0], memory[1])]))
    lines.append(row(["file bytes / entry", f"{sizes[0] / n:.1f}", f"{sizes[1] / n:.1f}",
                      ratio(sizes[0], sizes[1])]))
    lines += ["", END, ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    parser.add_argument("--dir", default=None, help="where the files go (default: a temp dir)")
    parser.add_argument("--no-write", action="store_true")
    parser.add_argument("--output", default=DEFAULT_OUTPUT)
    args = parser.parse_args()
    pin_to_one_core()
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        text = report(args.size, *run(args.size, args.rounds, directory))
    print(text)
    if not args.no_write:
        write_section(args.output, text, BEGIN, END)


if __name__ == "__main__":
    main()
