#include "tolvane/sync/sync_set.hpp"

#include "tolvane/sync/set_attempts.hpp"
#include "tolvane/sync/write_phase.hpp"

namespace tolvane::sync {

namespace {

// A finished attempt that added (+1) or removed (-1) a key marks the key's
// top digit dirty: the branch counts above it are stale until a refold.
Attempt<bool> attempt_of(Shared<TolvaneSet>& s, u64 key, const OlcOutcome& o, i64 change) {
    switch (o.status) {
        case OlcStatus::New:  // insert: added; removal: absent (the same value)
            if (change > 0) {
                s.mark_dirty(key);
                return Attempt<bool>::done(true, 1);
            }
            return Attempt<bool>::done(false, 0);
        case OlcStatus::Replaced:  // insert: already present; removal: removed
            if (change < 0) {
                s.mark_dirty(key);
                return Attempt<bool>::done(true, -1);
            }
            return Attempt<bool>::done(false, 0);
        case OlcStatus::Retry:
            return Attempt<bool>::retry();
        default:
            return Attempt<bool>::exclusive();
    }
}

bool trie_published(const Shared<TolvaneSet>& s) { return load_relaxed(s.root_kind) == ROOT_TREE; }

}  // namespace

std::optional<bool> olc_insert_set_phase(Shared<TolvaneSet>& s, u64 key) {
    if (!trie_published(s)) return std::nullopt;
    return optimistic_phase<bool>(s, Backoff::Doubling, [&] {
        return attempt_of(s, key, olc_insert_set(s.tree.alloc, olc::read_root(s), key), 1);
    });
}

std::optional<bool> olc_remove_set_phase(Shared<TolvaneSet>& s, u64 key) {
    if (!trie_published(s)) return std::nullopt;
    return optimistic_phase<bool>(s, Backoff::OneHint, [&] {
        return attempt_of(s, key, olc_remove_set(s.tree.alloc, olc::read_root(s), key), -1);
    });
}

bool SyncTolvaneSet::insert(u64 key) noexcept {
    if (const std::optional<bool> done = olc_insert_set_phase(*shared_, key)) return *done;
    return insert_exclusive(key);
}

bool SyncTolvaneSet::remove(u64 key) noexcept {
    if (const std::optional<bool> done = olc_remove_set_phase(*shared_, key)) return *done;
    return remove_exclusive(key);
}

bool SyncTolvaneSet::insert_exclusive(u64 key) noexcept {
    Shared<TolvaneSet>& s = *shared_;
    typename Shared<TolvaneSet>::ExclusiveSection section(s);
    return s.exclusive_mutation([&](TolvaneSet& t) { return t.insert_deferred(key); });
}

bool SyncTolvaneSet::remove_exclusive(u64 key) noexcept {
    Shared<TolvaneSet>& s = *shared_;
    typename Shared<TolvaneSet>::ExclusiveSection section(s);
    // The condensing threshold must see the true count, not a stale length.
    s.refresh_engine_length();
    return s.exclusive_mutation([&](TolvaneSet& t) { return t.remove_deferred(key); });
}

std::optional<std::string> SyncTolvaneSet::validate() noexcept { return shared_->validate(); }

}  // namespace tolvane::sync
