#pragma once
// The object frame shared by every class of the module, and the class objects.
//
// An instance is: the interpreter's header, the class's native part, the
// borrow flag and, for thread-bound classes, the identity of the creating
// thread. A class is described by a traits struct:
//
//   struct SomeClass {
//       using Native = ...;                       // held by value
//       static constexpr bool thread_bound = ...;
//       static constexpr const char* type_path = "_tolvane::module::Name";
//       static ClassSpec spec;                    // name, doc, slots
//       static void release(Native&);             // ends the native part's life
//   };
//
// Class objects are heap types made once per process and cached: a second
// execution of the module publishes the same objects.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

#include "frame/borrow.hpp"
#include "frame/ref.hpp"
#include "frame/thread.hpp"

#define TOLVANE_CLASS_NAME(name) "tolvane_trie._tolvane." name

namespace tolvane::py {

struct ClassSpec {
    const char* qualified_name;  // TOLVANE_CLASS_NAME("Python name"); must outlive the type
    const char* doc;
    int basicsize;
    PyType_Slot* slots;  // ends with {0, nullptr}; no Py_tp_new: instances cannot be created
    PyTypeObject* cached = nullptr;

    const char* python_name() const;
};

// The class object, created on first need; null with an exception set when
// creating it failed.
PyTypeObject* class_object(ClassSpec& spec);
// The same for operations that create instances: after a successful import the
// class object exists, so failing here is a broken invariant.
PyTypeObject* class_object_or_die(ClassSpec& spec);

template <bool ThreadBound>
struct OwnerThread {
    std::uint64_t id = current_thread_id();
};
template <>
struct OwnerThread<false> {};

template <class Class>
struct Instance {
    PyObject_HEAD
    typename Class::Native native;
    BorrowFlag borrow;
    [[no_unique_address]] OwnerThread<Class::thread_bound> owner;
};

template <class Class>
Instance<Class>* instance(PyObject* self) {
    return reinterpret_cast<Instance<Class>*>(self);
}

template <class Class>
bool on_owner_thread(Instance<Class>& obj) {
    if constexpr (Class::thread_bound)
        return check_owner_thread(obj.owner.id, Class::type_path);
    else
        return true;
}

// A new instance whose native part is built from `args`, borrow free, owned by
// the calling thread. Null with the allocation's exception when it fails (the
// arguments are left with the caller then).
template <class Class, class... A>
Ref allocate(A&&... args) {
    static_assert(alignof(typename Class::Native) <= alignof(std::max_align_t),
                  "interpreter memory is not aligned for this native part");
    PyTypeObject* type = class_object_or_die(Class::spec);
    Ref self(type->tp_alloc(type, 0));
    if (!self) return self;
    auto* obj = instance<Class>(self.get());
    new (&obj->native) typename Class::Native(std::forward<A>(args)...);
    new (&obj->borrow) BorrowFlag();
    new (&obj->owner) OwnerThread<Class::thread_bound>();
    return self;
}

// Deallocation slot. On a foreign thread the native part is left alone: its
// memory may be tied to the owner thread's use, so it is never returned.
template <class Class>
void deallocate(PyObject* self) {
    auto* obj = instance<Class>(self);
    bool owner = true;
    if constexpr (Class::thread_bound) owner = obj->owner.id == current_thread_id();
    if (owner) {
        Class::release(obj->native);
    } else {
        report_foreign_drop(Class::type_path);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace tolvane::py
