// The _tolvane module: multi-phase initialisation with one exec step that sets
// __version__ and registers the classes in their fixed order.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

constexpr const char* kVersion = "0.13.0";

int exec_module(PyObject* module) {
    if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0)
        return -1;
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
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tolvane(void) { return PyModuleDef_Init(&module_def); }
