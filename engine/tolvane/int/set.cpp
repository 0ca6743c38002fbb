// The engine TolvaneSet: root leaf, tree dispatch by allocator mode, the
// hot-leaf fast path, ordered queries and listings.

#include "tolvane/int/set.hpp"

#include <bit>

#include "tolvane/write/mode.hpp"
#include "tolvane/core/node.hpp"
#include "tolvane/int/hot_window.hpp"
#include "tolvane/int/root_leaf.hpp"
#include "tolvane/int/root_leaf_query.hpp"
#include "tolvane/write/version.hpp"

namespace tolvane {

namespace {

root_leaf::SetRootRecord<TolvaneSet> record(TolvaneSet& s) noexcept { return {s}; }

}  // namespace

TolvaneSet::~TolvaneSet() { clear_entries(); }

void TolvaneSet::clear_path() { path.flush_and_reset(); }

// ---------------------------------------------------------------------------
// Insert.

// `private_word` non-null: the tree behind `edge` is still private (being
// built from a root leaf), so the versioned insert bumps that word instead
// of the tree word.
bool TolvaneSet::tree_insert(Edge& edge, u64 key, InsertPath& p, u32* private_word) {
    return mutate::set_insert(alloc, edge, key, p,
                              private_word ? mutate::SlotHolder::branch(*private_word)
                                           : mutate::SlotHolder::root());
}

// A key with the hot bitmap leaf's prefix: set its bit. Inlined into the
// insert so that the common case makes no call and saves no register.
[[gnu::always_inline]] inline PutPlace TolvaneSet::insert_hot(u64 key) noexcept {
    auto* words = static_cast<u64*>(path.hot_bitmap);
    u64& word = words[(key >> 6) & 3];
    const u64 bit = u64{1} << (key & 63);
    if (word & bit) return {PutPlace::Present};
    word |= bit;
    ++path.pending;
    ++path.hot_count;
    path.edges[0]->set_byte(8, static_cast<u8>(path.hot_count - 1));
    ++len;
    if (path.hot_count == 256) [[unlikely]]
        fill_hot_leaf();
    return {PutPlace::Added};
}

// The 256th key of the hot bitmap leaf turns the leaf into a full edge.
void TolvaneSet::fill_hot_leaf() noexcept {
    settle();
    alloc.release(path.hot_bitmap, LEAF_B1_BYTES, NODE_ALIGN);
    Edge full;
    full.set_tag(TAG_FULL);
    full.set_byte(8, 0xFF);
    *path.edges[0] = full;
    path.reset();
}

// The tree state and its hot window come first and the rest are calls, so
// that a key the window takes costs no frame.
bool TolvaneSet::insert_deferred(u64 key) noexcept {
    if (root_state == ROOT_TREE) [[likely]] {
        const PutPlace hot =
            hot_window::put<false>(path, len, key, 0, [&] { return insert_hot(key); });
        if (hot.outcome != PutPlace::Declined) return hot.outcome == PutPlace::Added;
        return insert_by_walk(key);
    }
    return insert_into_root_leaf(key);
}

bool TolvaneSet::insert_by_walk(u64 key) noexcept {
    clear_path();
    if (!tree_insert(root, key, path, nullptr)) return false;
    ++len;
    return true;
}

bool TolvaneSet::insert_into_root_leaf(u64 key) noexcept {
    const PutPlace at = root_leaf::put(record(*this), alloc, key, 0);
    if (at.outcome != PutPlace::Declined) return at.outcome == PutPlace::Added;
    convert_to_tree(key);
    return true;
}

void TolvaneSet::convert_to_tree(u64 key) {
    u32 private_word = 0;
    root_leaf::convert_to_tree(record(*this), alloc, key, 0, path,
                               [&](Edge& edge, u64 k, u64, InsertPath& p) {
                                   tree_insert(edge, k, p, &private_word);
                               });
    // The path names the private edge the tree was built under, whose words
    // now sit in the root: forget it, or a later flush would write into a
    // dead frame. Nothing is pending on a path that was just filled.
    path.reset();
}

// ---------------------------------------------------------------------------
// Remove.

bool TolvaneSet::remove_deferred(u64 key) noexcept {
    clear_path();
    if (root_state == ROOT_EMPTY) return false;
    if (root_state == ROOT_LEAF) return root_leaf::take(record(*this), alloc, key).found;
    return remove_from_tree(key);
}

// Apart from remove_deferred, so that the root-leaf removal does not pay for
// the registers the tree removal needs.
bool TolvaneSet::remove_from_tree(u64 key) {
    if (!mutate::set_remove(alloc, root, key)) return false;
    root_leaf::shrink_after_tree_remove(record(*this), alloc);
    return true;
}

void TolvaneSet::condense_to_root_leaf() noexcept {
    clear_path();
    root_leaf::condense(record(*this), alloc);
}

std::optional<u64> TolvaneSet::pop() noexcept {
    const std::optional<u64> smallest = next_at_or_after(0);
    if (smallest) remove_deferred(*smallest);
    return smallest;
}

void TolvaneSet::clear_entries() noexcept {
    clear_path();
    root_leaf::clear(record(*this), alloc);
}

DetachedRoot TolvaneSet::detach_entries() noexcept {
    clear_path();
    return root_leaf::detach(record(*this));
}

void TolvaneSet::free_detached(DetachedRoot& d) noexcept {
    tolvane::free_detached<false>(alloc, d);
}

bool TolvaneSet::contains(u64 key) const { return root_leaf::contains<false>(*this, key); }

// ---------------------------------------------------------------------------
// Ordered queries. The bodies are inlined here on purpose: g++ assembles an
// optional<u64> answer on the stack, storing its flag byte and reading the
// pair back as words, and each call layer between the body and the caller
// adds one such store-forwarding stall (a separately compiled body made the
// set's next and prev on dense keys about 20% slower).

std::optional<u64> TolvaneSet::next_at_or_after(u64 k) const {
    return root_leaf::next_at_or_after<false>(*this, k);
}

std::optional<u64> TolvaneSet::next_after(u64 k) const {
    return root_leaf::next_after<false>(*this, k);
}

std::optional<u64> TolvaneSet::prev_at_or_before(u64 k) const {
    return root_leaf::prev_at_or_before<false>(*this, k);
}

std::optional<u64> TolvaneSet::prev_before(u64 k) const {
    return root_leaf::prev_before<false>(*this, k);
}

std::optional<u64> TolvaneSet::last() const { return root_leaf::last<false>(*this); }

u64 TolvaneSet::count_below(u64 k) {
    settle();
    return root_leaf::count_below<false>(*this, k);
}

u64 TolvaneSet::count_range(u64 start, u64 end) {
    settle();
    return root_leaf::count_range<false>(*this, start, end);
}

std::optional<u64> TolvaneSet::by_count(u64 r) {
    settle();
    return root_leaf::by_count<false>(*this, r);
}

std::optional<std::string> TolvaneSet::validate_defensive() {
    settle();
    return root_leaf::check(record(*this));
}

// ---------------------------------------------------------------------------
// Iteration and listings.

SetIter TolvaneSet::iter_fwd_raw() const { return root_leaf::iter_fwd<false>(*this); }

SetIter TolvaneSet::range_fwd_raw(u64 start) const {
    return root_leaf::range_fwd<false>(*this, start);
}

std::vector<u64> TolvaneSet::keys() const {
    SetIter it = iter_fwd_raw();
    return collect_keys(it);
}

std::vector<u64> TolvaneSet::range(u64 start, std::optional<u64> end, bool inclusive) const {
    SetIter it = range_fwd_raw(start);
    return collect_keys_until(it, end, inclusive);
}

// ---------------------------------------------------------------------------
// Consumers of the set flavour.

void extend_keys(std::vector<u64>& out, SetIter& it) {
    while (const std::optional<u64> k = it.next()) {
        if (out.size() == out.capacity()) out.reserve(out.capacity() < 4 ? 4 : out.capacity() * 2);
        out.push_back(*k);
    }
}

std::vector<u64> collect_keys(SetIter& it) {
    std::vector<u64> out;
    const std::optional<u64> first = it.next();
    if (!first) return out;
    out.reserve(4);
    out.push_back(*first);
    extend_keys(out, it);
    return out;
}

std::optional<u64> find_at_or_after(SetIter& it, bool& started, u64 start) {
    while (const std::optional<u64> k = it.next()) {
        if (started || *k >= start) {
            started = true;
            return k;
        }
    }
    it.leaf.kind = LeafCursor::NONE;
    return std::nullopt;
}

std::vector<u64> collect_keys_until(SetIter& it, std::optional<u64> end, bool inclusive) {
    std::vector<u64> out;
    while (const std::optional<u64> k = it.next()) {
        if (end && (inclusive ? *k > *end : *k >= *end)) break;
        if (out.size() == out.capacity()) out.reserve(out.capacity() < 4 ? 4 : out.capacity() * 2);
        out.push_back(*k);
    }
    return out;
}

}  // namespace tolvane
