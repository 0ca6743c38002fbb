#include "tolvane/sync/olc_map_writes.hpp"

#include "tolvane/sync/olc_insert_map.hpp"
#include "tolvane/sync/olc_remove_map.hpp"
#include "tolvane/sync/write_phase.hpp"

namespace tolvane::sync {
namespace {

using Result = std::optional<u64>;

// A finished attempt that added (+1) or removed (-1) a key marks the key's
// top byte dirty: the branch counts above it are stale until a refold.
Attempt<Result> attempt_of(Shared<TolvaneMap>& s, u64 key, const OlcOutcome& o, i64 added) {
    switch (o.status) {
        case OlcStatus::New:  // also Absent
            if (added > 0) {
                s.mark_dirty(key);
                return Attempt<Result>::done(std::nullopt, 1);
            }
            return Attempt<Result>::done(std::nullopt, 0);
        case OlcStatus::Replaced:  // also Removed
            if (added < 0) {
                s.mark_dirty(key);
                return Attempt<Result>::done(o.value, -1);
            }
            return Attempt<Result>::done(o.value, 0);
        case OlcStatus::Retry:
            return Attempt<Result>::retry();
        default:
            return Attempt<Result>::exclusive();
    }
}

bool trie_published(const Shared<TolvaneMap>& s) {
    return load_relaxed(s.root_kind) == ROOT_TREE;
}

}  // namespace

std::optional<Result> olc_insert_phase(Shared<TolvaneMap>& s, u64 key, u64 value) {
    if (!trie_published(s)) return std::nullopt;
    return optimistic_phase<Result>(s, Backoff::Doubling, [&] {
        return attempt_of(s, key, olc_insert_map(s.tree.alloc, olc::read_root(s), key, value), 1);
    });
}

std::optional<Result> olc_remove_phase(Shared<TolvaneMap>& s, u64 key) {
    if (!trie_published(s)) return std::nullopt;
    return optimistic_phase<Result>(s, Backoff::OneHint, [&] {
        return attempt_of(s, key, olc_remove_map(s.tree.alloc, olc::read_root(s), key), -1);
    });
}

}  // namespace tolvane::sync
