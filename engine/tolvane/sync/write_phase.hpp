#pragma once
// The optimistic phase of one concurrent write: enter a writer slot, pin an
// epoch, run up to OPTIMISTIC_ATTEMPTS attempts, then count the write and
// leave. An attempt that answers Exclusive, the fallback flag, or running
// out of attempts ends the phase without a result; the caller then runs the
// write in the exclusive section. Retry and Exclusive attempts leave the
// tree unchanged.

#include <optional>

#include "tolvane/sync/shared.hpp"

namespace tolvane::sync {

enum class AttemptKind : u8 { Done, Retry, Exclusive };

// Outcome of one optimistic attempt. A Done attempt carries its result and
// the change of the key count it made (+1 added, -1 removed, 0 none); the
// attempt itself marks the key's top digit dirty when it changed the count.
template <class R>
struct Attempt {
    AttemptKind kind = AttemptKind::Retry;
    R result{};
    i64 count_delta = 0;

    static Attempt done(R r, i64 delta) { return {AttemptKind::Done, r, delta}; }
    static Attempt retry() { return {AttemptKind::Retry, R{}, 0}; }
    static Attempt exclusive() { return {AttemptKind::Exclusive, R{}, 0}; }
};

// Pause between attempts: inserts double from 1 to BACKOFF_SPIN_MAX hints,
// removals wait one hint.
enum class Backoff : u8 { Doubling, OneHint };

// Runs `attempt()` (returning Attempt<R>) as described above; none means
// "finish in the exclusive section".
template <class R, class T, class F>
std::optional<R> optimistic_phase(Shared<T>& s, Backoff backoff, F&& attempt) {
    const u64 slot = s.enter_writer();
    WriterPin pin(s.collector);
    u32 spins = 1;
    for (unsigned tries = 0; tries < OPTIMISTIC_ATTEMPTS && !s.fallback_set();) {
        const Attempt<R> a = attempt();
        if (a.kind == AttemptKind::Done) {
            if (a.count_delta != 0) s.pop.add_shard(slot, a.count_delta);
            s.note_optimistic_write(slot);
            pin.release();
            s.leave_writer(slot);
            return a.result;
        }
        if (a.kind == AttemptKind::Exclusive) break;
        spin_hints(spins);
        if (backoff == Backoff::Doubling && spins < BACKOFF_SPIN_MAX) spins *= 2;
        ++tries;
    }
    pin.release();
    s.leave_writer(slot);
    return std::nullopt;
}

}  // namespace tolvane::sync
