#pragma once
// What the classes keyed by byte strings or text (TolvaneBytesMap,
// TolvaneStrMap, TolvaneOrderedBytesMap) have in common: the point
// operations, item access, update and the constructor, each the same call
// sequence around one engine call, and the size slots of sized_slots.hpp.
// The order inside a body is fixed: value arguments (`val`, `default`) are
// converted before the key is extracted, so a bad value is reported first.
// A class derives its traits from KeyedEngine<Engine> below (or states
// them itself) and adds:
//
//   static constexpr const char* name;     // its Python name
//   static constexpr const char* missing;  // the KeyError message
//   static constexpr const char* type_path;
//   static ClassSpec spec;
//   static std::optional<buffer::KeyBytes> key(PyObject*);  // key extraction
//   static std::uint64_t size(const Native&);
//   static std::optional<std::uint64_t> erase(Native&, std::string_view);

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "frame/buffer.hpp"
#include "frame/dict_items.hpp"
#include "frame/method.hpp"
#include "frame/python_call.hpp"
#include "frame/sized_slots.hpp"

namespace tolvane::py {

// The traits of object.hpp for an engine map held by value, bound to the
// thread that created it, and released with it; lookups and stores go
// through the engine's get and insert.
template <class Engine>
struct KeyedEngine {
    using Native = Engine;
    static constexpr bool thread_bound = true;
    static void release(Native& map) { std::destroy_at(&map); }
    static std::optional<std::uint64_t> find(const Native& map, std::string_view k) { return map.get(k); }
    static std::optional<std::uint64_t> store(Native& map, std::string_view k, std::uint64_t v) {
        return map.insert(k, v);
    }
};

template <class C>
struct KeyedMap : SizedSlots<C, KeyedMap<C>> {
    using Obj = Instance<C>;
    using Sized = SizedSlots<C, KeyedMap<C>>;
    static constexpr Borrow S = Borrow::Shared;
    static constexpr Borrow X = Borrow::Exclusive;

    static constexpr Signature kNew{C::name, "__new__", {}, 0, 0};
    static constexpr Signature kKey(const char* method) { return signature(C::name, method, {"key"}, 1); }
    static constexpr Signature kContains = kKey("contains");
    static constexpr Signature kContainsKey = kKey("contains_key");
    static constexpr Signature kRemove = kKey("remove");
    static constexpr Signature kGet = signature(C::name, "get", {"key", "default"}, 1);
    static constexpr Signature kPop = signature(C::name, "pop", {"key", "default"}, 1);
    static constexpr Signature kInsert = signature(C::name, "insert", {"key", "val"}, 2);
    static constexpr Signature kUpdate = signature(C::name, "update", {"other"}, 1);

    static bool set_key_error() {
        PyErr_SetString(PyExc_KeyError, C::missing);
        return false;
    }

    // The optional u64 parameter `i`: absent when left out or None.
    static bool optional_u64(Args& a, int i, std::optional<std::uint64_t>& out) {
        if (!a.present(i)) return true;
        std::uint64_t value;
        if (!a.u64(i, value)) return false;
        out = value;
        return true;
    }

    static std::uint64_t count(Obj& o) { return C::size(o.native); }

    // ---- method bodies ----

    static PyObject* contains(Obj& o, Args& a) {
        auto key = C::key(a[0]);
        if (!key) return nullptr;
        return bool_result(C::find(o.native, key->view()).has_value());
    }

    static PyObject* get(Obj& o, Args& a) {
        std::optional<std::uint64_t> fallback;
        if (!optional_u64(a, 1, fallback)) return nullptr;
        auto key = C::key(a[0]);
        if (!key) return nullptr;
        if (auto value = C::find(o.native, key->view())) return u64_result(*value);
        return optional_u64_result(fallback);
    }

    static PyObject* insert(Obj& o, Args& a) {
        std::uint64_t value;
        if (!a.u64(1, value)) return nullptr;
        auto key = C::key(a[0]);
        if (!key) return nullptr;
        return optional_u64_result(C::store(o.native, key->view(), value));
    }

    static PyObject* remove(Obj& o, Args& a) {
        auto key = C::key(a[0]);
        if (!key) return nullptr;
        return optional_u64_result(C::erase(o.native, key->view()));
    }

    static PyObject* pop(Obj& o, Args& a) {
        std::optional<std::uint64_t> fallback;
        if (!optional_u64(a, 1, fallback)) return nullptr;
        auto key = C::key(a[0]);
        if (!key) return nullptr;
        if (auto value = C::erase(o.native, key->view())) return u64_result(*value);
        if (fallback) return u64_result(*fallback);
        set_key_error();
        return nullptr;
    }

    // A dict is read entry by entry (key, then value); anything else must
    // yield (key, value) tuples (value, then key). Errors carry no note; the
    // pairs stored before one stay stored.
    static bool update_from(typename C::Native& map, PyObject* other) {
        std::uint64_t value = 0;
        if (PyDict_Check(other)) {
            std::optional<buffer::KeyBytes> key;
            return for_each_dict_item(
                other,
                [&](PyObject* k, PyObject* v) {
                    key.reset();
                    auto extracted = C::key(k);
                    if (!extracted) return false;
                    key.emplace(std::move(*extracted));
                    return to_u64(v, value);
                },
                [&] { C::store(map, key->view(), value); });
        }
        Ref iterator(PyObject_GetIter(other));
        if (!iterator) return false;
        while (Ref item{next_item(iterator.get())}) {
            PyObject* key_object;
            if (!to_object_u64_pair(item.get(), key_object, value)) return false;
            auto key = C::key(key_object);
            if (!key) return false;
            C::store(map, key->view(), value);
        }
        return !PyErr_Occurred();
    }

    static PyObject* update(Obj& o, Args& a) {
        return update_from(o.native, a[0]) ? none_result() : nullptr;
    }

    // ---- slots ----

    static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return raising_memory_error(static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
            Args parsed(kNew);
            if (!parsed.parse_tuple_dict(args, kwargs)) return nullptr;
            return allocate<C>().release();
        });
    }

    static int contains_slot(PyObject* self, PyObject* operand) {
        return with_object<C, S>(self, -1, [&](Obj& o) {
            auto key = C::key(operand);
            if (!key) return -1;
            return C::find(o.native, key->view()) ? 1 : 0;
        });
    }

    static PyObject* item(PyObject* self, PyObject* operand) {
        return call_plain<C, S>(self, [&](Obj& o) -> PyObject* {
            auto key = C::key(operand);
            if (!key) return nullptr;
            if (auto value = C::find(o.native, key->view())) return u64_result(*value);
            set_key_error();
            return nullptr;
        });
    }

    // Assignment converts `val` before the key; deletion has no value.
    static int assign_item(PyObject* self, PyObject* operand, PyObject* assigned) {
        return with_object<C, X>(self, -1, [&](Obj& o) {
            std::uint64_t value = 0;
            if (assigned != nullptr && !slot_u64(assigned, "val", value)) return -1;
            auto key = C::key(operand);
            if (!key) return -1;
            if (assigned != nullptr) {
                C::store(o.native, key->view(), value);
                return 0;
            }
            if (C::erase(o.native, key->view())) return 0;
            set_key_error();
            return -1;
        });
    }

    // Every slot of the class: the shared ones and the iteration slot, whose
    // borrow differs between the classes.
    static PyType_Slot* slots(PyMethodDef* methods, getiterfunc iterate) {
        return Sized::slots(&construct, methods,
                            {{Py_sq_contains, reinterpret_cast<void*>(&contains_slot)},
                             {Py_mp_subscript, reinterpret_cast<void*>(&item)},
                             {Py_mp_ass_subscript, reinterpret_cast<void*>(&assign_item)},
                             {Py_tp_iter, reinterpret_cast<void*>(iterate)},
                             {Py_tp_repr, reinterpret_cast<void*>(&Sized::representation)}});
    }
};

}  // namespace tolvane::py
