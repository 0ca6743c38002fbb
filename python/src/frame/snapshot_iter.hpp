#pragma once
// Iterators over a snapshot: a container copies what it will yield, in yield
// order, into a vector that the iterator object owns. The container can then
// change freely; the iterator keeps yielding the snapshot and never refers
// back to it. Invariant: position <= items.size() (the length slot tolerates a
// larger position all the same).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "frame/convert.hpp"
#include "frame/method.hpp"
#include "frame/object.hpp"
#include "tolvane/core/key_value.hpp"

namespace tolvane::py {

template <class Element>
struct Snapshot {
    explicit Snapshot(std::vector<Element> snapshot) : items(std::move(snapshot)) {}
    std::vector<Element> items;
    std::uint64_t position = 0;
};

inline PyObject* element_result(std::uint64_t value) { return u64_result(value); }
inline PyObject* element_result(const std::pair<std::uint64_t, std::uint64_t>& entry) {
    return pair_result(entry.first, entry.second);
}
inline PyObject* element_result(const KeyValue& entry) { return pair_result(entry.key, entry.value); }

// A key copied out of a byte-keyed container, handed back as bytes.
struct BytesKeyCopy {
    std::string bytes;
};
inline PyObject* element_result(const BytesKeyCopy& key) {
    return PyBytes_FromStringAndSize(key.bytes.data(), static_cast<Py_ssize_t>(key.bytes.size()));
}
// An entry of a byte- or text-keyed container: (key object, value).
template <class Key>
PyObject* element_result(const std::pair<Key, std::uint64_t>& entry) {
    Ref key(element_result(entry.first));
    if (!key) return nullptr;
    Ref value(u64_result(entry.second));
    if (!value) return nullptr;
    return PyTuple_Pack(2, key.get(), value.get());
}

// Base of the iterator traits: `Derived` adds `type_path` and `spec`.
template <class Derived, class Element>
struct SnapshotIterClass {
    using Native = Snapshot<Element>;
    static constexpr bool thread_bound = true;

    static void release(Native& native) { std::destroy_at(&native); }

    static PyObject* iter(PyObject* self) {
        return call_plain<Derived, Borrow::Shared>(self, [&](Instance<Derived>&) {
            Py_INCREF(self);
            return self;
        });
    }

    static PyObject* next(PyObject* self) {
        return call_plain<Derived, Borrow::Exclusive>(self, [](Instance<Derived>& obj) {
            Native& snap = obj.native;
            if (snap.position >= snap.items.size()) return static_cast<PyObject*>(nullptr);
            return element_result(snap.items[snap.position++]);
        });
    }

    static Py_ssize_t length(PyObject* self) {
        return with_object<Derived, Borrow::Shared>(self, Py_ssize_t{-1}, [](Instance<Derived>& obj) {
            const Native& snap = obj.native;
            const std::uint64_t size = snap.items.size();
            return static_cast<Py_ssize_t>(snap.position < size ? size - snap.position : 0);
        });
    }

    static inline PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<Derived>)},
        {Py_tp_iter, reinterpret_cast<void*>(&iter)},
        {Py_tp_iternext, reinterpret_cast<void*>(&next)},
        {Py_mp_length, reinterpret_cast<void*>(&length)},
        {0, nullptr},
    };

    // A new iterator over `snapshot`, owned by the calling thread.
    static PyObject* create(std::vector<Element> snapshot) {
        return allocate<Derived>(std::move(snapshot)).release();
    }
};

// What sets one snapshot iterator class apart from another besides its
// element type: everything else is the behaviour above.
struct IterClassInfo {
    const char* qualified_name;  // TOLVANE_CLASS_NAME("Python name")
    const char* type_path;       // printed by the thread-binding messages
    const char* doc;
};

// An iterator class given by one row of identity and its element type.
template <const IterClassInfo& Info, class Element>
struct SnapshotIter : SnapshotIterClass<SnapshotIter<Info, Element>, Element> {
    static constexpr const char* type_path = Info.type_path;
    static inline ClassSpec spec{Info.qualified_name, Info.doc, sizeof(Instance<SnapshotIter>),
                                 SnapshotIter::slots};
};

}  // namespace tolvane::py
