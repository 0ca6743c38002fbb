// The _tolvane module: multi-phase initialisation with one exec step that sets
// __version__ and registers the classes in their fixed order. The module keeps
// no state of its own; class objects are cached once per process, so executing
// the module again publishes the same objects.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "blob/classes.hpp"
#include "bytes/classes.hpp"
#include "int/classes.hpp"
#include "str/classes.hpp"
#include "sync/classes.hpp"
#include "frame/convert.hpp"
#include "frame/ref.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kVersion = "0.13.0";

// Registration order is part of the interface (it is the order of __all__).
// A row without a class object accessor is a class not built yet; it is
// skipped until its accessor is filled in.
struct Registration {
    const char* name;
    ClassSpec& (*spec)();
};

const Registration kRegistrations[] = {
    {"TolvaneMap", map_class},
    {"TolvaneSet", set_class},
    {"SyncTolvaneMap", sync_map_class},
    {"SyncTolvaneSet", sync_set_class},
    {"TolvaneStrMap", str_map_class},
    {"TolvaneBytesMap", bytes_map_class},
    {"TolvaneBlobMap", blob_map_class},
    {"TolvaneOrderedBytesMap", ordered_bytes_map_class},
    {"TolvaneMapKeyIter", map_key_iter_class},
    {"TolvaneMapValueIter", map_value_iter_class},
    {"TolvaneMapItemIter", map_item_iter_class},
    {"TolvaneMapRangeIter", map_range_iter_class},
    {"TolvaneSetIter", set_iter_class},
    {"TolvaneSetRangeIter", set_range_iter_class},
    {"SyncTolvaneMapKeyIter", sync_map_key_iter_class},
    {"SyncTolvaneMapValueIter", sync_map_value_iter_class},
    {"SyncTolvaneMapItemIter", sync_map_item_iter_class},
    {"SyncTolvaneMapRangeIter", sync_map_range_iter_class},
    {"SyncTolvaneSetIter", sync_set_iter_class},
    {"SyncTolvaneSetRangeIter", sync_set_range_iter_class},
    {"TolvaneStrMapKeyIter", str_map_key_iter_class},
    {"TolvaneStrMapValueIter", str_map_value_iter_class},
    {"TolvaneStrMapItemIter", str_map_item_iter_class},
    {"TolvaneBytesMapKeyIter", bytes_map_key_iter_class},
    {"TolvaneBytesMapValueIter", bytes_map_value_iter_class},
    {"TolvaneBytesMapItemIter", bytes_map_item_iter_class},
    {"TolvaneOrderedBytesMapKeyIter", ordered_bytes_map_key_iter_class},
    {"TolvaneOrderedBytesMapValueIter", ordered_bytes_map_value_iter_class},
    {"TolvaneOrderedBytesMapItemIter", ordered_bytes_map_item_iter_class},
};

// Appends `name` to the module's __all__ (made when missing) and sets the
// attribute. Takes a reference to `value` of its own.
bool add(PyObject* module, const char* name, PyObject* value) {
    Ref all(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    } else if (!PyList_Check(all.get())) {
        set_type_cast_error(all.get(), "list");
        return false;
    }
    Ref text(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        set_type_cast_error(module, "module");
        return -1;
    }
    Ref version(PyUnicode_FromString(kVersion));
    if (!version || !add(module, "__version__", version.get())) return -1;
    for (const Registration& row : kRegistrations) {
        if (row.spec == nullptr) continue;
        PyTypeObject* type = class_object(row.spec());
        if (type == nullptr || !add(module, row.name, reinterpret_cast<PyObject*>(type)))
            return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // One class object per process cannot be shared between interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tolvane",
    "The _tolvane extension: compact radix-trie containers keyed by integers, text and bytes.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tolvane::py

PyMODINIT_FUNC PyInit__tolvane(void) { return PyModuleDef_Init(&tolvane::py::module_def); }
