#pragma once
// The slots a container class fills the same way from its entry count: the
// `empty` property (and the is_empty method behind it), len(), truth and the
// "Name(len=N)" representation, all under the shared borrow. A class body
// derives from SizedSlots<C, Self> and gives
//
//   static std::uint64_t count(Instance<C>&);  // entries, read under the shared borrow
//
// the representation also wants `C::name`.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "frame/method.hpp"

namespace tolvane::py {

template <class C, class Self>
struct SizedSlots {
    static PyObject* is_empty(Instance<C>& o) { return bool_result(Self::count(o) == 0); }

    static PyObject* empty_property(PyObject* self, void*) {
        return noargs_entry<C, Borrow::Shared, is_empty>(self, nullptr);
    }

    static Py_ssize_t length(PyObject* self) {
        return with_object<C, Borrow::Shared>(
            self, Py_ssize_t{-1}, [](Instance<C>& o) { return length_result(Self::count(o)); });
    }

    static int truth(PyObject* self) {
        return with_object<C, Borrow::Shared>(
            self, -1, [](Instance<C>& o) { return Self::count(o) != 0 ? 1 : 0; });
    }

    static PyObject* representation(PyObject* self) {
        return call_plain<C, Borrow::Shared>(self, [](Instance<C>& o) {
            return PyUnicode_FromFormat("%s(len=%llu)", C::name,
                                        static_cast<unsigned long long>(Self::count(o)));
        });
    }

    static inline PyGetSetDef properties[] = {
        {"empty", empty_property, nullptr, "Property returning True if empty.", nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };

    // Every slot of the class: construction, deallocation, the methods, the
    // `empty` property, len() and truth, then those its family shares and
    // its `own`. Made once and never freed: the class object is made from
    // them.
    static PyType_Slot* slots(newfunc construct, PyMethodDef* methods,
                              std::initializer_list<PyType_Slot> family,
                              std::initializer_list<PyType_Slot> own = {}) {
        static auto& all = *new std::vector<PyType_Slot>{
            {Py_tp_new, reinterpret_cast<void*>(construct)},
            {Py_tp_dealloc, reinterpret_cast<void*>(&deallocate<C>)},
            {Py_tp_methods, methods},
            {Py_tp_getset, properties},
            {Py_mp_length, reinterpret_cast<void*>(&length)},
            {Py_nb_bool, reinterpret_cast<void*>(&truth)},
        };
        all.insert(all.end(), family);
        all.insert(all.end(), own);
        all.push_back({0, nullptr});
        return all.data();
    }
};

}  // namespace tolvane::py
