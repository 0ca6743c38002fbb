// The Python class TolvaneStrMap: a sorted map from NUL-free byte strings or
// UTF-8 text to unsigned 64-bit integers, in byte-lexicographic key order,
// owning one engine string map by value and bound to the thread that created
// it. Keys come back by the text-or-bytes rule (text_or_bytes.hpp), except
// from collect_entries, which hands back the raw bytes. The ordered
// operations take the exclusive borrow; listings are new lists and
// iteration hands out a key iterator over a snapshot.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/keyed_map.hpp"
#include "frame/method_table.hpp"
#include "frame/snapshot_iter.hpp"
#include "str/classes.hpp"
#include "str/text_or_bytes.hpp"
#include "tolvane/core/fatal.hpp"
#include "tolvane/str/str_map.hpp"
#include "tolvane/str/str_walk.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::TolvaneStrMap;

constexpr IterClassInfo kIterators[] = {
    {TOLVANE_CLASS_NAME("TolvaneStrMapKeyIter"), "_tolvane::strmap::TolvaneStrMapKeyIter",
     "Key iterator for [`TolvaneStrMap`].\n\nKeys are stored as raw bytes and yielded as `str` "
     "(valid UTF-8) or `bytes` (otherwise)."},
    {TOLVANE_CLASS_NAME("TolvaneStrMapValueIter"), "_tolvane::strmap::TolvaneStrMapValueIter",
     "Value iterator for [`TolvaneStrMap`]."},
    {TOLVANE_CLASS_NAME("TolvaneStrMapItemIter"), "_tolvane::strmap::TolvaneStrMapItemIter",
     "Item iterator for [`TolvaneStrMap`]."},
};
using KeyIter = SnapshotIter<kIterators[0], TextOrBytesKey>;
// Registered for programs that name them; no operation makes instances.
using ValueIter = SnapshotIter<kIterators[1], std::uint64_t>;
using ItemIter = SnapshotIter<kIterators[2], std::pair<TextOrBytesKey, std::uint64_t>>;

// Release frees every node, word map and suffix block, then the allocator.
struct StrMapClass : KeyedEngine<Engine> {
    static constexpr const char* name = "TolvaneStrMap";
    static constexpr const char* missing = "Key not found in TolvaneStrMap";
    static constexpr const char* type_path = "_tolvane::strmap::TolvaneStrMap";
    static ClassSpec spec;

    static std::optional<buffer::KeyBytes> key(PyObject* obj) { return buffer::extract_str_key(obj); }
    static std::uint64_t size(const Native& map) { return map.len; }
    static std::optional<std::uint64_t> erase(Native& map, std::string_view k) { return map.remove(k); }
};
using Shared = KeyedMap<StrMapClass>;
using Obj = Shared::Obj;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

// (key by the text-or-bytes rule, value), or None.
PyObject* entry_result(std::string_view key, const std::uint64_t* value) {
    if (value == nullptr) return none_result();
    Ref k(text_or_bytes(key));
    if (!k) return nullptr;
    Ref v(u64_result(*value));
    if (!v) return nullptr;
    return PyTuple_Pack(2, k.get(), v.get());
}

PyObject* entry_result(const std::optional<StrEntry>& found) {
    return found ? entry_result(found->key, found->value) : none_result();
}

// ---- memory -------------------------------------------------------------------

PyObject* clear(Obj& o) {
    o.native.clear();
    return none_result();
}
PyObject* mem_used(Obj& o) { return u64_result(o.native.live_bytes()); }
PyObject* mem_held(Obj& o) { return u64_result(o.native.held_bytes()); }
PyObject* shrink_to_fit(Obj& o) { return u64_result(o.native.alloc.release_free()); }

// ---- neighbours -----------------------------------------------------------------

PyObject* first(Obj& o) { return entry_result(o.native.next_at_or_after({})); }

PyObject* last(Obj& o) {
    if (o.native.root == nullptr) return none_result();
    KeyBuffer key;
    const std::uint64_t* value = StrNode::extreme_entry(o.native.root, key);
    return entry_result(key, value);
}

// Extracts a key into `out`; false with the exception set when it fails.
bool take_key(PyObject* obj, std::optional<buffer::KeyBytes>& out) {
    auto key = buffer::extract_str_key(obj);
    if (!key) return false;
    out.emplace(std::move(*key));
    return true;
}

// `inclusive` (when given) before the key.
bool inclusive_and_key(Args& a, bool& inclusive, std::optional<buffer::KeyBytes>& key) {
    if (a.given(1) && !a.boolean(1, inclusive)) return false;
    return take_key(a[0], key);
}

std::optional<StrEntry> successor(Engine& map, std::string_view key, bool inclusive) {
    return inclusive ? map.next_at_or_after(key) : map.next_after(key);
}

PyObject* predecessor(Engine& map, std::string_view query, bool inclusive) {
    if (map.root == nullptr) return none_result();
    KeyBuffer key;
    key.reserve(query.size() + 8);
    const std::uint64_t* value = StrNode::prev_at_or_before(map.root, query, !inclusive, key);
    return entry_result(key, value);
}

// next / prev: `inclusive` picks the at-or form.
template <bool Forward>
PyObject* step(Obj& o, Args& a) {
    bool inclusive = false;
    std::optional<buffer::KeyBytes> key;
    if (!inclusive_and_key(a, inclusive, key)) return nullptr;
    if constexpr (Forward)
        return entry_result(successor(o.native, key->view(), inclusive));
    else
        return predecessor(o.native, key->view(), inclusive);
}

// The at-or and strict forms with `inclusive` fixed.
template <bool Forward, bool Inclusive>
PyObject* fixed_step(Obj& o, Args& a) {
    auto key = buffer::extract_str_key(a[0]);
    if (!key) return nullptr;
    if constexpr (Forward)
        return entry_result(successor(o.native, key->view(), Inclusive));
    else
        return predecessor(o.native, key->view(), Inclusive);
}

// ---- listings -------------------------------------------------------------------

// A new list of `result(key, value)` for every entry in ascending key
// order, made during one forward walk (the order a chain of successor
// searches gives, without a search per entry). The map is under the
// exclusive borrow, so nothing that runs meanwhile can change it.
template <class Result>
PyObject* listing(Engine& map, Result&& result) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(map.len)));
    if (!list) return nullptr;
    Walk walk(map);
    Py_ssize_t i = 0;
    while (auto e = walk.next()) {
        if (i == static_cast<Py_ssize_t>(map.len)) fatal("a walk yields len entries");
        PyObject* element = result(e->key, *e->value);
        if (element == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i++, element);
    }
    if (i != static_cast<Py_ssize_t>(map.len)) fatal("a walk yields len entries");
    return list.release();
}

PyObject* bytes_result(std::string_view key) {
    return PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
}

PyObject* collect_entries(Obj& o) {
    return listing(o.native, [](std::string_view k, std::uint64_t v) -> PyObject* {
        Ref key(bytes_result(k));
        if (!key) return nullptr;
        Ref value(u64_result(v));
        if (!value) return nullptr;
        return PyTuple_Pack(2, key.get(), value.get());
    });
}

PyObject* keys(Obj& o) {
    return listing(o.native, [](std::string_view k, std::uint64_t) { return text_or_bytes(k); });
}

PyObject* values(Obj& o) {
    return listing(o.native, [](std::string_view, std::uint64_t v) { return u64_result(v); });
}

PyObject* items(Obj& o) {
    return listing(o.native, [](std::string_view k, std::uint64_t v) { return entry_result(k, &v); });
}

// Entries from `start` (or the smallest) on, up to `end` when given:
// inclusive stops past it, exclusive at it.
PyObject* range(Obj& o, Args& a) {
    bool inclusive = true;
    if (a.given(2) && !a.boolean(2, inclusive)) return nullptr;
    std::optional<buffer::KeyBytes> start, end;
    if (a.present(0) && !take_key(a[0], start)) return nullptr;
    if (a.present(1) && !take_key(a[1], end)) return nullptr;

    Ref list(PyList_New(0));
    if (!list) return nullptr;
    auto found = o.native.next_at_or_after(start ? start->view() : std::string_view{});
    while (found) {
        if (end) {
            const int order = std::string_view(found->key).compare(end->view());  // unsigned bytes
            if (inclusive ? order > 0 : order >= 0) break;
        }
        Ref entry(entry_result(found->key, found->value));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0) return nullptr;
        found = o.native.next_after(found->key);
    }
    return list.release();
}

// ---- iteration slot ---------------------------------------------------------------

PyObject* iterate(PyObject* self) {
    return call_plain<StrMapClass, X>(self, [](Obj& o) {
        std::vector<TextOrBytesKey> snapshot;
        snapshot.reserve(o.native.len);
        Walk walk(o.native);
        while (auto e = walk.next()) snapshot.push_back({std::string(e->key)});
        return KeyIter::create(std::move(snapshot));
    });
}

// ---- class definition -------------------------------------------------------------

constexpr Signature kNext = signature("TolvaneStrMap", "next", {"key", "inclusive"}, 1);
constexpr Signature kNextAtOrAfter = signature("TolvaneStrMap", "next_at_or_after", {"key"}, 1);
constexpr Signature kNextAfter = signature("TolvaneStrMap", "next_after", {"key"}, 1);
constexpr Signature kPrev = signature("TolvaneStrMap", "prev", {"key", "inclusive"}, 1);
constexpr Signature kPrevAtOrBefore = signature("TolvaneStrMap", "prev_at_or_before", {"key"}, 1);
constexpr Signature kPrevBefore = signature("TolvaneStrMap", "prev_before", {"key"}, 1);
constexpr Signature kRange =
    signature("TolvaneStrMap", "range", {"start", "end", "inclusive"}, 0);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<StrMapClass>;
    t.keywords<S, Shared::kContains, Shared::contains>("Returns True if key is present in the map.")
        .keywords<S, Shared::kContainsKey, Shared::contains>(
            "Returns True if key is present in the map.")
        .keywords<S, Shared::kGet, Shared::get>(
            "Look up `key`, returning `default` (or None) if absent.")
        .keywords<X, Shared::kInsert, Shared::insert>(
            "Inserts `key -> val`; returns previous value, if any.")
        .keywords<X, Shared::kRemove, Shared::remove>(
            "Removes `key`; returns its value or None if missing.")
        .keywords<X, Shared::kPop, Shared::pop>(
            "Removes `key` and returns its value. If `key` is absent, returns `default`\nif given, "
            "otherwise raises `KeyError`.")
        .noargs<X, clear>("clear", "Removes all strings and frees allocated trie nodes.")
        .noargs<S, mem_used>("mem_used", "Heap bytes used by the prefix trie.")
        .noargs<S, mem_held>(
            "mem_held",
            "Heap bytes the string map holds from the system allocator: "
            "`mem_used()`\nplus freed blocks kept for reuse and unused slab space.")
        .noargs<X, shrink_to_fit>(
            "shrink_to_fit",
            "Returns the freed blocks the string map retains to the system allocator\nand returns "
            "the bytes released. Nothing moves and `mem_used()` is\nunchanged; `clear()` also "
            "returns them.")
        .noargs<X, first>("first",
                          "Smallest entry `(key, value)` in byte-lexicographical order."
                          "\n\nThe key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys.")
        .noargs<X, last>("last",
                         "Largest entry `(key, value)` in byte-lexicographical order."
                         "\n\nThe key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys.")
        .keywords<X, kNext, step<true>>(
            "($self, key, inclusive=False)",
            "Smallest entry with key `> key` (or `>= key` if `inclusive=True`)."
            "\n\nThe key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys.")
        .keywords<X, kNextAtOrAfter, fixed_step<true, true>>("Smallest entry with key `>= key`.")
        .keywords<X, kNextAfter, fixed_step<true, false>>("Smallest entry with key `> key`.")
        .keywords<X, kPrev, step<false>>(
            "($self, key, inclusive=False)",
            "Largest entry with key `< key` (or `<= key` if `inclusive=True`)."
            "\n\nThe key is a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys.")
        .keywords<X, kPrevAtOrBefore, fixed_step<false, true>>("Largest entry with key `<= key`.")
        .keywords<X, kPrevBefore, fixed_step<false, false>>("Largest entry with key `< key`.")
        .noargs<X, collect_entries>(
            "collect_entries",
            "Collects every entry as `(raw_key_bytes, value)` in lexicographical order.")
        .noargs<X, keys>("keys",
                         "Returns all keys in lexicographical order (`str` for UTF-8, `bytes` "
                         "otherwise).")
        .noargs<X, values>("values", "")
        .noargs<X, items>(
            "items",
            "Returns all `(key, value)` pairs in lexicographical order (key `str` for "
            "UTF-8, `bytes` otherwise).")
        .keywords<X, kRange, range>(
            "($self, start=None, end=None, inclusive=True)",
            "Range scan over string keys returning a list of `(key, value)` pairs.\n\nEach key is "
            "a `str` for UTF-8 keys, or `bytes` for non-UTF-8 keys.")
        .keywords<X, Shared::kUpdate, Shared::update>(
            "Updates the map from another mapping or iterable of `(key, value)` pairs.")
        .noargs<S, Shared::is_empty>("is_empty",
                                     "True when no strings are stored.\nTrue when empty.");
    return t.finish();
}

ClassSpec StrMapClass::spec{
    TOLVANE_CLASS_NAME("TolvaneStrMap"),
    "TolvaneStrMap()\n--\n\nA sorted map from NUL-free byte strings / UTF-8 strings to 64-bit "
    "unsigned integers.\n\nIteration order is byte-lexicographical. Keys are prefix-compressed "
    "across 8-byte word boundaries.",
    sizeof(Obj), Shared::slots(methods(), iterate)};

}  // namespace

ClassSpec& str_map_class() { return StrMapClass::spec; }
ClassSpec& str_map_key_iter_class() { return KeyIter::spec; }
ClassSpec& str_map_value_iter_class() { return ValueIter::spec; }
ClassSpec& str_map_item_iter_class() { return ItemIter::spec; }

}  // namespace tolvane::py
