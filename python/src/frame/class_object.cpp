#include "frame/object.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "tolvane/core/fatal.hpp"

namespace tolvane::py {

namespace {

// "<module>.<qualname>" of the class at the time of the call; a part that
// cannot be read or turned into text reads "<unknown>".
Ref class_name_part(PyObject* type, const char* attribute) {
    Ref value(PyObject_GetAttrString(type, attribute));
    Ref text(value ? PyObject_Str(value.get()) : nullptr);
    if (!text) {
        PyErr_Clear();
        text = Ref(PyUnicode_FromString("<unknown>"));
    }
    return text;
}

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = reinterpret_cast<PyObject*>(type);
    Ref module = class_name_part(self, "__module__");
    Ref qualname = class_name_part(self, "__qualname__");
    if (!module || !qualname) return nullptr;
    PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(),
                 qualname.get());
    return nullptr;
}

bool has_slot(const PyType_Slot* slots, int id) {
    for (const PyType_Slot* s = slots; s->slot != 0; ++s)
        if (s->slot == id) return true;
    return false;
}

}  // namespace

const char* ClassSpec::python_name() const {
    const char* dot = std::strrchr(qualified_name, '.');
    return dot ? dot + 1 : qualified_name;
}

PyTypeObject* class_object(ClassSpec& spec) {
    if (spec.cached != nullptr) return spec.cached;

    std::vector<PyType_Slot> slots;
    for (const PyType_Slot* s = spec.slots; s->slot != 0; ++s) slots.push_back(*s);
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
    if (!has_slot(spec.slots, Py_tp_new))
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(refuse_new)});
    slots.push_back({0, nullptr});

    // Not a base type, not collected by the cycle collector, no __dict__ and
    // no weak references: the default flags give exactly that.
    PyType_Spec type_spec{spec.qualified_name, spec.basicsize, 0, Py_TPFLAGS_DEFAULT,
                          slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) return nullptr;
    spec.cached = reinterpret_cast<PyTypeObject*>(type);
    return spec.cached;
}

PyTypeObject* class_object_or_die(ClassSpec& spec) {
    PyTypeObject* type = class_object(spec);
    if (type == nullptr) {
        const std::string message =
            std::string("failed to create type object for `") + spec.python_name() + "`";
        fatal(message.c_str());
    }
    return type;
}

}  // namespace tolvane::py
