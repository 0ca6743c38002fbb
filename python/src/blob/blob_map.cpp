// The Python class TolvaneBlobMap: u64 keys to byte payloads with an
// optional hot_meta, owning one engine blob map by value and bound to the
// thread that created it. Refused inserts raise or, from insert_status,
// come back as status strings; images are saved to and loaded from files.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blob/classes.hpp"
#include "frame/buffer.hpp"
#include "frame/method_table.hpp"
#include "frame/python_call.hpp"
#include "frame/raised.hpp"
#include "frame/sized_slots.hpp"
#include "tolvane/blob/blob_map.hpp"
#include "tolvane/blob/image.hpp"
#include "tolvane/blob/image_file.hpp"

namespace tolvane::py {
namespace {

using Engine = tolvane::blob::TolvaneBlobMap;
using tolvane::blob::ArenaError;
using tolvane::blob::ArenaErrorKind;
using tolvane::blob::ArenaStatus;

// Images read from files may hold at most this many chunk bytes.
constexpr std::uint64_t kLoadCapacity = std::uint64_t{1} << 30;

struct BlobMapClass {
    using Native = Engine;
    static constexpr bool thread_bound = true;
    static constexpr const char* type_path = "_tolvane::blobmap::TolvaneBlobMap";
    static ClassSpec spec;
    // Frees the trie, then every chunk.
    static void release(Native& map) { std::destroy_at(&map); }
};
using Obj = Instance<BlobMapClass>;

// The `empty` property, is_empty, len() and truth.
struct Sized : SizedSlots<BlobMapClass, Sized> {
    static std::uint64_t count(Obj& o) { return o.native.size(); }
};

constexpr Borrow S = Borrow::Shared;
constexpr Borrow X = Borrow::Exclusive;

void set_key_error(std::uint64_t key) {
    Ref text(PyUnicode_FromFormat("Key %llu not found in TolvaneBlobMap",
                                  static_cast<unsigned long long>(key)));
    if (text) PyErr_SetObject(PyExc_KeyError, text.get());
}

void raise_prefixed(PyObject* type, const char* prefix, const std::string& message) {
    PyErr_Format(type, "%s%s", prefix, message.c_str());
}

PyObject* payload_bytes(std::string_view payload) {
    return PyBytes_FromStringAndSize(payload.data(), static_cast<Py_ssize_t>(payload.size()));
}

// ---- inserts ------------------------------------------------------------------

// `key`, then `hot_meta` when given (None is not "not given"), then `data`;
// the engine insert runs last.
bool run_insert(Obj& o, Args& a, ArenaStatus& outcome) {
    std::uint64_t key;
    std::uint32_t hot_meta = 0;
    if (!a.u64(0, key)) return false;
    if (a.given(2) && !a.u32(2, hot_meta)) return false;
    auto data = buffer::extract_bytes_key(a[1]);
    if (!data) return false;
    outcome = o.native.insert(key, data->view(), hot_meta);
    return true;
}

bool raise_refusal(const ArenaStatus& outcome) {
    if (!outcome) return false;
    raise_prefixed(PyExc_RuntimeError, "Blob allocation error: ", outcome->message());
    return true;
}

PyObject* insert(Obj& o, Args& a) {
    ArenaStatus outcome;
    if (!run_insert(o, a, outcome) || raise_refusal(outcome)) return nullptr;
    return none_result();
}

const char* status_of(const ArenaStatus& outcome) {
    if (!outcome) return "ok";
    switch (outcome->kind) {
        case ArenaErrorKind::AllocFailed:
            return "allocation_failed";
        case ArenaErrorKind::GrowthCeiling:
            return "cap_refused";
        case ArenaErrorKind::ArenaFull:
            return "arena_full";
        case ArenaErrorKind::MetaOverflow:
            return "meta_overflow";
        default:
            return "error";
    }
}

PyObject* insert_status(Obj& o, Args& a) {
    ArenaStatus outcome;
    if (!run_insert(o, a, outcome)) return nullptr;
    return PyUnicode_FromString(status_of(outcome));
}

// ---- reads ----------------------------------------------------------------------

PyObject* get(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    const auto found = o.native.get(key);
    if (!found) return none_result();
    Ref payload(payload_bytes(found->payload()));
    Ref meta(payload ? u64_result(found->hot_meta) : nullptr);
    return meta ? PyTuple_Pack(2, payload.get(), meta.get()) : nullptr;
}

PyObject* get_bytes(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    const auto found = o.native.get(key);
    return found ? payload_bytes(found->payload()) : none_result();
}

PyObject* contains(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    return bool_result(o.native.contains(key));
}

PyObject* len(Obj& o) { return u64_result(o.native.size()); }
PyObject* mem_used(Obj& o) { return u64_result(o.native.mem_used()); }
PyObject* reclaim_at_cap(Obj& o) { return bool_result(o.native.reclaim_at_cap); }

PyObject* arena_stats(Obj& o) {
    const auto& arena = o.native.arena;
    Ref stats(PyDict_New());
    if (!stats) return nullptr;
    const std::pair<const char*, std::uint64_t> counts[] = {
        {"live_bytes", arena.live_bytes},
        {"allocated_bytes", arena.allocated_bytes},
        {"max_capacity", arena.max_capacity},
        {"chunk_size", arena.chunk_size},
    };
    for (const auto& [name, value] : counts) {
        Ref number(u64_result(value));
        if (!number || PyDict_SetItemString(stats.get(), name, number.get()) < 0) return nullptr;
    }
    Ref flag(bool_result(o.native.reclaim_at_cap));
    if (PyDict_SetItemString(stats.get(), "reclaim_at_cap", flag.get()) < 0) return nullptr;
    return stats.release();
}

// ---- changes ----------------------------------------------------------------------

PyObject* set_reclaim_at_cap(Obj& o, Args& a) {
    bool on;
    if (!a.boolean(0, on)) return nullptr;
    o.native.reclaim_at_cap = on;
    return none_result();
}

PyObject* remove(Obj& o, Args& a) {
    std::uint64_t key;
    if (!a.u64(0, key)) return nullptr;
    return bool_result(o.native.remove(key));
}

PyObject* clear(Obj& o) {
    o.native.clear();
    return none_result();
}

PyObject* compact(Obj& o) {
    auto report = o.native.compact();
    if (!report.ok()) {
        raise_prefixed(PyExc_RuntimeError, "Compaction error: ", report.error().message());
        return nullptr;
    }
    const auto& r = report.value();
    Ref figures[] = {Ref(u64_result(r.live_bytes_before)), Ref(u64_result(r.live_bytes_after)),
                     Ref(u64_result(r.total_allocated_before)),
                     Ref(u64_result(r.total_allocated_after))};
    for (const Ref& f : figures)
        if (!f) return nullptr;
    return PyTuple_Pack(4, figures[0].get(), figures[1].get(), figures[2].get(), figures[3].get());
}

// ---- filtered scan --------------------------------------------------------------------

// The callables run under the shared borrow: they may read the map, and a
// change they try meets "Already borrowed". The first exception is kept
// aside; after it neither callable is called again.
PyObject* scan_filtered(Obj& o, Args& a) {
    std::uint64_t start, end;
    if (!a.u64(0, start) || !a.u64(1, end)) return nullptr;
    PyObject* predicate = a.present(2) ? a[2] : nullptr;
    PyObject* callback = a.present(3) ? a[3] : nullptr;
    struct Visited {
        Ref payload;
        std::uint64_t key;
        std::uint32_t meta;
    };
    std::vector<Visited> visited;
    Ref pending;

    // Truth of a call's result; false with `pending` set when either fails.
    auto truth_of = [&](Ref result, bool& truth) {
        const int t = result ? PyObject_IsTrue(result.get()) : -1;
        if (t < 0) {
            pending = take_raised_exception();
            return false;
        }
        truth = t != 0;
        return true;
    };
    auto accepts = [&](std::uint64_t key, std::uint32_t meta) {
        if (pending) return false;
        if (predicate == nullptr) return true;
        Ref k(u64_result(key));
        Ref m(k ? u64_result(meta) : nullptr);
        Ref result(m ? call_python(predicate, k.get(), m.get()) : nullptr);
        bool truth;
        // A failed call passes the entry on; the visitor then stops at once.
        return truth_of(std::move(result), truth) ? truth : true;
    };
    auto visit = [&](std::uint64_t key, std::string_view payload, std::uint32_t meta) {
        if (pending) return false;
        Ref bytes(payload_bytes(payload));
        if (!bytes) {
            pending = take_raised_exception();
            return false;
        }
        if (callback == nullptr) {
            visited.push_back({std::move(bytes), key, meta});
            return true;
        }
        Ref k(u64_result(key));
        Ref m(k ? u64_result(meta) : nullptr);
        Ref result(m ? call_python(callback, k.get(), bytes.get(), m.get()) : nullptr);
        bool truth;
        return truth_of(std::move(result), truth) && truth;
    };
    o.native.scan_filtered(start, end, accepts, visit);
    if (pending) {
        raise_exception(std::move(pending));
        return nullptr;
    }
    return list_of(visited, [](const Visited& v) -> PyObject* {
        Ref k(u64_result(v.key));
        Ref m(k ? u64_result(v.meta) : nullptr);
        return m ? PyTuple_Pack(3, k.get(), v.payload.get(), m.get()) : nullptr;
    });
}

// ---- files -------------------------------------------------------------------------

PyObject* save_to_file(Obj& o, Args& a) {
    std::string_view path;
    if (!a.utf8(0, path)) return nullptr;
    const auto saved = tolvane::blob::save_image_file(o.native, path);
    if (saved.error) {
        raise_prefixed(PyExc_OSError, "Failed to save file: ", saved.error->text());
        return nullptr;
    }
    return u64_result(saved.length);
}

PyObject* raise_load_error(const ArenaError& error) {
    raise_prefixed(PyExc_OSError, "Failed to load file: ", error.message());
    return nullptr;
}

PyObject* load_from_file(Args& a) {
    std::string_view path;
    if (!a.utf8(0, path)) return nullptr;
    // Why a file could not be read is not reported: every such failure reads
    // as a corrupted header. A refused header is reported before the rest of
    // the file is read.
    const auto bytes = tolvane::blob::read_image_file(path, kLoadCapacity);
    if (!bytes.ok()) return raise_load_error(bytes.error());
    Ref self = allocate<BlobMapClass>();
    if (!self) return nullptr;
    const ArenaStatus loaded = tolvane::blob::from_bytes_slice_with_max_capacity(
        bytes.value().view(), kLoadCapacity, instance<BlobMapClass>(self.get())->native);
    if (loaded) return raise_load_error(*loaded);
    return self.release();
}

// ---- slots ------------------------------------------------------------------------------

constexpr Signature kNew =
    signature("TolvaneBlobMap", "__new__", {"chunk_size", "max_capacity"}, 0);

// chunk_size is converted first; max_capacity only once it has converted.
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return raising_memory_error(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        Args parsed(kNew);
        if (!parsed.parse_tuple_dict(args, kwargs)) return nullptr;
        std::optional<std::uint64_t> chunk_size, max_capacity;
        std::uint64_t value;
        if (parsed.present(0)) {
            if (!parsed.u64(0, value)) return nullptr;
            chunk_size = value;
        }
        if (parsed.present(1)) {
            if (!parsed.u64(1, value)) return nullptr;
            max_capacity = value;
        }
        return allocate<BlobMapClass>(chunk_size, max_capacity).release();
    });
}

int contains_slot(PyObject* self, PyObject* operand) {
    return with_object<BlobMapClass, S>(self, -1, [&](Obj& o) {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return -1;
        return o.native.contains(key) ? 1 : 0;
    });
}

PyObject* item(PyObject* self, PyObject* operand) {
    return call_plain<BlobMapClass, S>(self, [&](Obj& o) -> PyObject* {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return nullptr;
        if (const auto found = o.native.get(key)) return payload_bytes(found->payload());
        set_key_error(key);
        return nullptr;
    });
}

int assign_item(PyObject* self, PyObject* operand, PyObject* assigned) {
    return with_object<BlobMapClass, X>(self, -1, [&](Obj& o) {
        std::uint64_t key;
        if (!slot_u64(operand, "key", key)) return -1;
        if (assigned == nullptr) {
            if (o.native.remove(key)) return 0;
            set_key_error(key);
            return -1;
        }
        auto data = buffer::extract_bytes_key(assigned);
        if (!data) return -1;
        return raise_refusal(o.native.insert(key, data->view(), 0)) ? -1 : 0;
    });
}

PyObject* representation(PyObject* self) {
    return call_plain<BlobMapClass, S>(self, [](Obj& o) {
        return PyUnicode_FromFormat("TolvaneBlobMap(len=%llu, mem_used=%llu)",
                                    static_cast<unsigned long long>(o.native.size()),
                                    static_cast<unsigned long long>(o.native.mem_used()));
    });
}

// ---- class definition ----------------------------------------------------------------

constexpr Signature kSetReclaim = signature("TolvaneBlobMap", "set_reclaim_at_cap", {"on"}, 1);
constexpr Signature kInsertStatus =
    signature("TolvaneBlobMap", "insert_status", {"key", "data", "hot_meta"}, 2);
constexpr Signature kContains = signature("TolvaneBlobMap", "contains", {"key"}, 1);
constexpr Signature kContainsKey = signature("TolvaneBlobMap", "contains_key", {"key"}, 1);
constexpr Signature kInsert = signature("TolvaneBlobMap", "insert", {"key", "data", "hot_meta"}, 2);
constexpr Signature kGet = signature("TolvaneBlobMap", "get", {"key"}, 1);
constexpr Signature kGetBytes = signature("TolvaneBlobMap", "get_bytes", {"key"}, 1);
constexpr Signature kRemove = signature("TolvaneBlobMap", "remove", {"key"}, 1);
constexpr Signature kScan = signature("TolvaneBlobMap", "scan_filtered",
                                      {"start_key", "end_key", "predicate", "callback"}, 2);
constexpr Signature kSave = signature("TolvaneBlobMap", "save_to_file", {"path"}, 1);
constexpr Signature kLoad = signature("TolvaneBlobMap", "load_from_file", {"path"}, 1);

PyMethodDef* methods() {
    // Made once and never freed: the class object points into it for good.
    static auto& t = *new MethodTable<BlobMapClass>;
    t.keywords<X, kSetReclaim, set_reclaim_at_cap>(
         "Turns the reclaim at the capacity cap on (the default) or off. Off, an\ninsert the cap "
         "refuses compacts nothing.")
        .noargs<S, reclaim_at_cap>(
            "reclaim_at_cap", "True if an insert the capacity cap refuses may compact the arena.")
        .noargs<S, arena_stats>(
            "arena_stats",
            "Arena accounting as a dict: `live_bytes` (payloads plus 8-byte headers),\n"
            "`allocated_bytes` (chunk bytes, what the cap counts), `max_capacity`,\n"
            "`chunk_size` and `reclaim_at_cap`.")
        .keywords<X, kInsertStatus, insert_status>(
            "($self, key, data, hot_meta=0)",
            "Inserts like `insert`, but returns a status instead of raising on a\nrefusal: "
            "`\"ok\"`, `\"meta_overflow\"`, `\"allocation_failed\"`,\n`\"cap_refused\"` (the "
            "capacity cap refused a chunk and nothing was\ncompacted, so `compact()` may free "
            "dead bytes) or `\"arena_full\"` (this\ninsert compacted and the record still does "
            "not fit).")
        .noargs<S, len>("len", "Number of entries stored in the map.")
        .noargs<S, Sized::is_empty>("is_empty", "True when no entries are in the map.")
        .keywords<S, kContains, contains>("Returns True if key exists in the map.")
        .keywords<S, kContainsKey, contains>("Returns True if key exists in the map.")
        .keywords<X, kInsert, insert>("($self, key, data, hot_meta=0)",
                                      "Inserts a key-blob pair with optional 32-bit hot metadata.")
        .keywords<S, kGet, get>(
            "Retrieves `(bytes_payload, hot_meta)` for a key, or None if absent.")
        .keywords<S, kGetBytes, get_bytes>(
            "Retrieves only the byte payload for a key, or None if absent.")
        .keywords<X, kRemove, remove>(
            "Removes a key from the map; returns True if key was present.")
        .noargs<X, clear>("clear", "Clears all entries and resets the slab arena.")
        .noargs<S, mem_used>("mem_used", "Returns total heap memory used by index and slab arena.")
        .noargs<X, compact>("compact",
                            "Runs in-place garbage collection and compaction, returning\n"
                            "`(live_bytes_before, live_bytes_after, total_allocated_before, "
                            "total_allocated_after)`.")
        .keywords<S, kScan, scan_filtered>(
            "Executes a range scan over keys in `[start_key, end_key]` with optional predicate "
            "filtering\non 32-bit hot metadata.")
        .keywords<S, kSave, save_to_file>("Saves the map to a relocatable binary image file.")
        .static_keywords<kLoad, load_from_file>(
            "(path)", "Loads a map from a relocatable binary image file.");
    return t.finish();
}

}  // namespace

ClassSpec BlobMapClass::spec{
    TOLVANE_CLASS_NAME("TolvaneBlobMap"),
    "TolvaneBlobMap(chunk_size=None, max_capacity=None)\n--\n\nA high-performance map from 64-bit "
    "integer keys to arbitrary-length byte payloads\nbacked by inline polymorphic 64-bit value "
    "slots and chunked slab arenas.",
    sizeof(Obj),
    Sized::slots(construct, methods(),
                 {{Py_sq_contains, reinterpret_cast<void*>(&contains_slot)},
                  {Py_mp_subscript, reinterpret_cast<void*>(&item)},
                  {Py_mp_ass_subscript, reinterpret_cast<void*>(&assign_item)},
                  {Py_tp_repr, reinterpret_cast<void*>(&representation)}})};

ClassSpec& blob_map_class() { return BlobMapClass::spec; }

}  // namespace tolvane::py
