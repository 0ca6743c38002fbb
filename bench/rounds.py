"""Interleaved rounds: the measuring discipline every benchmark report shares.

One timing of ours and one of a peer, taken minutes apart on a loaded
machine, give a ratio that does not reproduce. So every contender is timed
once per round, in turn (ours, peer, ours, peer, ...), for at least
MIN_ROUNDS rounds, on one pinned core; the ratio of a round compares two
timings taken seconds apart, and the report gives the median of those
per-round ratios with the lowest and highest. A spread that reaches across 1
has no winner and says "within noise".
"""
import os
import statistics

MIN_ROUNDS = 7


def pin_to_one_core(cpu=None):
    """Pins this process (and what it starts later) to one core, the last one
    it may use unless told; returns the core, or None where the platform
    cannot pin."""
    try:
        cores = sorted(os.sched_getaffinity(0))
        core = cpu if cpu is not None else cores[-1]
        os.sched_setaffinity(0, {core})
        return core
    except (AttributeError, OSError):
        return None


def pin_to_cores(cores):
    """Pins this process (and what it starts later) to a fixed set of cores,
    for benchmarks whose threads need more than one; returns the set, or None
    where the platform cannot pin."""
    try:
        os.sched_setaffinity(0, set(cores))
        return sorted(cores)
    except (AttributeError, OSError):
        return None


def parse_cores(text):
    """'0-3,6' as [0, 1, 2, 3, 6]."""
    cores = []
    for part in text.split(","):
        low, _, high = part.partition("-")
        cores += range(int(low), int(high or low) + 1)
    return cores


def cpu_description():
    """CPU model and data / unified cache sizes of core 0, as Linux reports them."""
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
    return model + (" (caches: " + ", ".join(caches) + ")" if caches else "")


def load_description():
    try:
        one, five, _ = os.getloadavg()
    except (AttributeError, OSError):
        return "load average unknown"
    return f"load average {one:.0f} (5 min: {five:.0f}) on {os.cpu_count()} CPUs"


def run_rounds(contenders, rounds):
    """contenders: [(name, time_once)], where time_once() takes one timing and
    returns it. Times them in turn, rounds times over; returns
    {name: [timing of round 0, round 1, ...]}."""
    times = {name: [] for name, _ in contenders}
    for _ in range(rounds):
        for name, time_once in contenders:
            times[name].append(time_once())
    return times


def ratio_spread(ours, peer):
    """Per-round ratios ours / peer of two equally long timing lists (None
    where a round is missing on either side) as (median, low, high), or None
    when no round has both."""
    ratios = [a / b for a, b in zip(ours, peer) if a is not None and b]
    if not ratios:
        return None
    return statistics.median(ratios), min(ratios), max(ratios)


def within_noise(spread):
    return spread is not None and spread[1] <= 1 <= spread[2]


def spread_cell(spread):
    """'0.62 (0.58–0.70)', 'within noise' added when the spread reaches across 1."""
    if spread is None:
        return "–"
    mid, low, high = spread
    text = f"{mid:.2f} ({low:.2f}–{high:.2f})"
    return text + " within noise" if within_noise(spread) else text


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def interleaved(measures, rounds):
    """measures: [(name, measure_once)], where measure_once() makes one pass
    over a contender's operations and returns {op: ns}. Runs them in turn,
    round after round; returns {name: {op: [ns in each round]}}."""
    out = {name: {} for name, _ in measures}
    for _ in range(rounds):
        for name, measure_once in measures:
            for op, ns in measure_once().items():
                out[name].setdefault(op, []).append(ns)
    return out
