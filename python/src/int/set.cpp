// The Python class TolvaneSet: a sparse, ordered set of unsigned 64-bit
// integers, owning one engine set by value and bound to the thread that
// created it. Every method is the frame's call sequence around one engine
// operation; what it shares with TolvaneMap lives in int_container.hpp, what
// is the set's own lives here.

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "frame/buffer.hpp"
#include "frame/key_order.hpp"
#include "int/classes.hpp"
#include "int/int_container.hpp"
#include "tolvane/int/ascending.hpp"
#include "tolvane/int/set.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::TolvaneSet;

// Inserts every item of an iterable as it arrives; `count` tells how many
// items were consumed, and what went in before a failure stays in.
bool insert_from_iterable(Engine& set, PyObject* items, std::uint64_t& count) {
    return for_each_u64(items, [&](std::uint64_t key) {
        set.insert_deferred(key);
        ++count;
    });
}

struct SetClass {
    using Native = Engine;
    static constexpr bool thread_bound = true;
    static constexpr const char* name = "TolvaneSet";
    static constexpr const char* type_path = "_tolvane::set::TolvaneSet";
    static constexpr const char* constructor_parameter = "iterable";
    static ClassSpec spec;
    // The engine's destructor gives back every node, then drops its allocator.
    static void release(Native& set) { std::destroy_at(&set); }

    static bool has_key(const Native& set, std::uint64_t key) { return set.contains(key); }
    static void insert_item(Native& set, std::uint64_t key) { set.insert_deferred(key); }
    // Any iterable of integers; a dict gives its keys.
    static bool insert_from(Native& set, PyObject* source) {
        std::uint64_t count = 0;
        return insert_from_iterable(set, source, count);
    }
    static PyObject* key_iterator(const Native& set) {
        return new_set_iter(set.keys());
    }
};
using Shared = IntContainer<SetClass>;
using Obj = Shared::Obj;

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

// ---- method bodies ------------------------------------------------------------

PyObject* contains_batch(Obj& o, Args& a) {
    std::vector<std::uint64_t> keys;
    if (!a.u64_sequence(0, keys)) return nullptr;
    std::vector<std::uint8_t> answers(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) answers[i] = o.native.contains(keys[i]);
    return list_of(answers, [](std::uint8_t answer) { return bool_result(answer != 0); });
}

// One key in, a flag out: insert/add and remove/discard.
template <bool (Engine::*Operation)(std::uint64_t)>
PyObject* mutate(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    return bool_result((o.native.*Operation)(key));
}

PyObject* pop(Obj& o) {
    if (auto key = o.native.pop()) return u64_result(*key);
    PyErr_SetString(PyExc_KeyError, "pop from an empty TolvaneSet");
    return nullptr;
}

PyObject* insert_many(Obj& o, Args& a) {
    buffer::PackedView packed = buffer::packed_view(a[0]);
    if (packed.kind == buffer::PackedSource::Kind::Error) return nullptr;
    if (packed.kind == buffer::PackedSource::Kind::Packed) {
        // A whole buffer goes in key order; an iterable goes in as it is
        // read, so that a failing item keeps what came before it.
        if (!buffer::whole_words(packed.bytes, "keys")) return nullptr;
        auto keys = key_order::sorted_keys(packed.bytes.data(), packed.bytes.size() / 8);
        packed.owner = Ref();  // a memoryview's copy is no longer needed
        keys.consume([&](const std::uint64_t* run, std::size_t count) {
            tolvane::insert_ascending(o.native, run, count);
        });
        return u64_result(keys.size());
    }
    std::uint64_t count = 0;
    if (!insert_from_iterable(o.native, a[0], count)) return nullptr;
    return u64_result(count);
}

// ---- class definition -------------------------------------------------------

const SharedDocs kSharedDocs{
    .clear = "Removes all elements from the set.",
    .mem_used = "Heap bytes used by the set allocations.",
    .mem_held =
        "Heap bytes the set holds from the system allocator: `mem_used()`\n"
        "plus freed blocks kept for reuse and unused slab space.",
    .shrink_to_fit =
        "Returns the freed blocks the set retains to the system allocator\n"
        "and returns the bytes released. Nothing moves and `mem_used()` is\n"
        "unchanged; `clear()` also returns them.",
    .first = "Smallest element in the set.",
    .last = "Largest element in the set.",
    .next = "Smallest element with key `> key` (or `>= key` if `inclusive=True`).",
    .next_at_or_after = "Smallest element with key `>= key`.",
    .next_after = "Smallest element with key `> key`.",
    .prev = "Largest element with key `< key` (or `<= key` if `inclusive=True`).",
    .prev_at_or_before = "Largest element with key `<= key`.",
    .prev_before = "Largest element with key `< key`.",
    .by_count = "The element with `index` keys below it (0-based select).",
    .range = "Returns a list of elements in the range `[start, end]` (inclusive).",
    .to_list = "Returns all keys as a Python list in ascending order.",
};

constexpr Signature kContainsBatch = signature("TolvaneSet", "contains_batch", {"keys"}, 1);
constexpr Signature kInsert = signature("TolvaneSet", "insert", {"key"}, 1);
constexpr Signature kAdd = signature("TolvaneSet", "add", {"key"}, 1);
constexpr Signature kRemove = signature("TolvaneSet", "remove", {"key"}, 1);
constexpr Signature kDiscard = signature("TolvaneSet", "discard", {"key"}, 1);
constexpr Signature kInsertMany = signature("TolvaneSet", "insert_many", {"keys"}, 1);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<SetClass>;
    t.noargs<S, Shared::is_empty>("is_empty",
                                  "True when no elements are in the set.\nTrue when empty.")
        .keywords<S, Shared::kContains, Shared::contains>(
            "Returns True if key is present in the set.")
        .keywords<S, kContainsBatch, contains_batch>(
            "Checks membership for a batch of keys, returning a list of bools.")
        .keywords<X, kInsert, mutate<&Engine::insert_deferred>>(
            "Inserts `key` into the set; returns `True` if it was not present.")
        .keywords<X, kAdd, mutate<&Engine::insert_deferred>>(
            "Adds `key` to the set (standard Python set method). Returns `True` if newly "
            "inserted.")
        .keywords<X, kRemove, mutate<&Engine::remove_deferred>>(
            "Removes `key` from the set; returns `True` if it was present, `False` otherwise.")
        .keywords<X, kDiscard, mutate<&Engine::remove_deferred>>(
            "Removes `key` if present; returns `True` if it was present, `False` otherwise.")
        .noargs<X, pop>(
            "pop",
            "Removes and returns the smallest element in the set; raises `KeyError` if empty.");
    Shared::add_query_rows(t, kSharedDocs);
    Shared::add_listing_rows(t, kSharedDocs);
    t.keywords<X, Shared::kUpdate, Shared::update>("Updates the set from another set or iterable.")
        .keywords<X, kInsertMany, insert_many>(
            "Bulk insertion from a buffer or iterable of integers. Zero-copy if C-contiguous.");
    return t.finish();
}

ClassSpec SetClass::spec{
    TOLVANE_CLASS_NAME("TolvaneSet"),
    "TolvaneSet(iterable=None)\n--\n\nA sparse, dynamic 64-bit unsigned integer set", sizeof(Obj),
    Shared::slots(methods())};

}  // namespace

ClassSpec& set_class() { return SetClass::spec; }

std::optional<std::vector<std::uint64_t>> borrowed_set_keys(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, class_object_or_die(SetClass::spec))) return std::nullopt;
    Obj& source = *instance<SetClass>(obj);
    if (!on_owner_thread(source)) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!source.borrow.try_shared()) return std::nullopt;
    BorrowRelease hold(source.borrow);
    return source.native.keys();
}

}  // namespace tolvane::py
