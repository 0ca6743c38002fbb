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
here. Multi-threaded programs cannot run on one core: --cpus pins every
round to the same fixed set of cores instead (`--cpus 0-7`).

With --baseline, each round runs that other build of the same program first
and then this one, into baseline/ and current/ under --out, so that two
builds are compared round by round (compare_builds.py reports them).
Nothing is asserted: this is a measuring tool.
"""
import argparse
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from rounds import MIN_ROUNDS, load_description, parse_cores, pin_to_cores, pin_to_one_core  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=MIN_ROUNDS)
    ap.add_argument("--out", required=True, help="folder for round-NN.json")
    ap.add_argument("--cpu", type=int, default=None, help="core to pin to (default: the last allowed)")
    ap.add_argument("--cpus", help="pin to this fixed set of cores instead, e.g. 0-7")
    ap.add_argument("--baseline", help="another build of the binary, run before it in every round")
    ap.add_argument("command", nargs=argparse.REMAINDER, help="-- binary [its arguments]")
    args = ap.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        ap.error("no benchmark binary given after --")
    # The pinning is inherited by every round's process.
    where = pin_to_cores(parse_cores(args.cpus)) if args.cpus else pin_to_one_core(args.cpu)
    builds = [(args.out, command)]
    if args.baseline:
        builds = [(os.path.join(args.out, "baseline"), [args.baseline] + command[1:]),
                  (os.path.join(args.out, "current"), command)]
    for folder, _ in builds:
        os.makedirs(folder, exist_ok=True)
    for i in range(args.rounds):
        for folder, argv in builds:
            path = os.path.join(folder, f"round-{i:02d}.json")
            print(f"round {i + 1} of {args.rounds} on cores {where}, {argv[0]}, "
                  f"{load_description()}", file=sys.stderr, flush=True)
            subprocess.run(argv + [f"--benchmark_out={path}", "--benchmark_out_format=json"],
                           check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
