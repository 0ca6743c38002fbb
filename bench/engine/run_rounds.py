#!/usr/bin/env python3
"""Runs an engine benchmark binary in interleaved rounds on one pinned core.

Each round is one whole run of the binary, which times ours and its peers
once each, one after the other; round after round, every ratio gets one
sample per round, taken under the conditions of that round. report.py pairs
the rounds by file and gives each ratio as the median of the per-round ratios
with their spread (see bench/rounds.py).

    run_rounds.py --rounds 7 --out runs/e5 -- build/bench/bench/engine/tolvane_bench --sizes=1e5
    report.py runs/e5/round-*.json --write docs/benchmarks.md

Extra arguments after -- go to the binary; the JSON output flags are added
here. Nothing is asserted: this is a measuring tool.
"""
import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from rounds import MIN_ROUNDS, load_description, pin_to_one_core  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    ap.add_argument("--out", required=True, help="folder for round-NN.json")
    ap.add_argument("--cpu", type=int, default=None, help="core to pin to (default: the last allowed)")
    ap.add_argument("command", nargs=argparse.REMAINDER, help="-- binary [its arguments]")
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        ap.error("no benchmark binary given after --")
    os.makedirs(args.out, exist_ok=True)
    core = pin_to_one_core(args.cpu)  # inherited by every round's process
    for i in range(args.rounds):
        path = os.path.join(args.out, f"round-{i:02d}.json")
        print(f"round {i + 1} of {args.rounds} on core {core}, {load_description()}",
              file=sys.stderr, flush=True)
        subprocess.run(command + [f"--benchmark_out={path}", "--benchmark_out_format=json"],
                       check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
