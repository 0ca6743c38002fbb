#include "frame/args.hpp"

#include "frame/convert.hpp"
#include "frame/note.hpp"

namespace tolvane::py {

std::string Signature::display_name() const {
    std::string name(class_name);
    name += '.';
    name += method_name;
    name += "()";
    return name;
}

std::string Signature::text_parameters() const {
    std::string text("($self");
    for (int i = 0; i < count; ++i) {
        text += ", ";
        text += names[i];
        if (i >= required) text += "=None";
    }
    text += ')';
    return text;
}

bool Args::take_positional(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > sig_.count) {
        const std::string name = sig_.display_name();
        const char* verb = nargs == 1 ? "was" : "were";
        if (sig_.required == sig_.count) {
            PyErr_Format(PyExc_TypeError, "%s takes %d positional arguments but %zd %s given",
                         name.c_str(), sig_.count, nargs, verb);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "%s takes from %d to %d positional arguments but %zd %s given",
                         name.c_str(), sig_.required, sig_.count, nargs, verb);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values_[i] = args[i];
    return true;
}

bool Args::take_keyword(PyObject* name, PyObject* value) {
    for (int i = 0; i < sig_.count; ++i) {
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, sig_.names[i]) != 0)
            continue;
        if (values_[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         sig_.display_name().c_str(), sig_.names[i]);
            return false;
        }
        values_[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 sig_.display_name().c_str(), name);
    return false;
}

bool Args::check_required() const {
    // Every call passes through here: look before building anything.
    for (int i = 0; i < sig_.required; ++i)
        if (values_[i] == nullptr) return report_missing();
    return true;
}

bool Args::report_missing() const {
    std::vector<const char*> missing;
    for (int i = 0; i < sig_.required; ++i)
        if (values_[i] == nullptr) missing.push_back(sig_.names[i]);

    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2)
                list += " and ";
            else if (i + 1 == missing.size())
                list += ", and ";
            else
                list += ", ";
        }
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 sig_.display_name().c_str(), missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

bool Args::parse_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!take_positional(args, nargs)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!take_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
    }
    return check_required();
}

bool Args::parse_tuple_dict(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (!take_positional(args ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &name, &value))
            if (!take_keyword(name, value)) return false;
    }
    return check_required();
}

bool Args::u64(int i, std::uint64_t& out) const {
    if (to_u64(values_[i], out)) return true;
    add_argument_note(sig_.names[i]);
    return false;
}

bool Args::boolean(int i, bool& out) const {
    if (to_bool(values_[i], out)) return true;
    add_argument_note(sig_.names[i]);
    return false;
}

bool Args::u64_sequence(int i, std::vector<std::uint64_t>& out) const {
    if (to_u64_sequence(values_[i], out)) return true;
    add_argument_note(sig_.names[i]);
    return false;
}

bool Args::u32(int i, std::uint32_t& out) const {
    if (to_u32(values_[i], out)) return true;
    add_argument_note(sig_.names[i]);
    return false;
}

bool Args::utf8(int i, std::string_view& out) const {
    if (to_utf8(values_[i], out)) return true;
    add_argument_note(sig_.names[i]);
    return false;
}

bool key_and_default(const Args& a, std::uint64_t& key, std::optional<std::uint64_t>& fallback) {
    if (!a.u64(0, key)) return false;
    if (!a.present(1)) return true;
    std::uint64_t value;
    if (!a.u64(1, value)) return false;
    fallback = value;
    return true;
}

}  // namespace tolvane::py
