#pragma once
// The method table of a class, filled row by row in table order. Each row
// names the borrow its method takes and the body it runs (method.hpp); its
// documentation is what the interpreter reads the text signature from: the
// method name with its parameter list, a line "--", an empty line, then the
// text. A table is made once per class and lives as long as the process, as
// the class object that points to it does.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "frame/method.hpp"

namespace tolvane::py {

class MethodRows {
  public:
    // The rows with the terminating sentinel, for Py_tp_methods; no row may be
    // added afterwards.
    PyMethodDef* finish();

  protected:
    void add(const char* name, PyCFunction function, int flags, std::string_view parameters,
             const char* text);

  private:
    std::deque<std::string> docs_;  // a deque keeps every string where it is
    std::vector<PyMethodDef> rows_;
};

template <class Class>
class MethodTable : public MethodRows {
  public:
    // A method without parameters; its text signature is "name($self)".
    template <Borrow Kind, auto Body>
    MethodTable& noargs(const char* name, const char* text) {
        add(name, as_method<noargs_entry<Class, Kind, Body>>(), METH_NOARGS, "($self)", text);
        return *this;
    }

    // A method with parameters, by position or keyword, named as its parser
    // signature names it; `parameters` is the text signature's list, defaults
    // included.
    template <Borrow Kind, const Signature& Sig, auto Body>
    MethodTable& keywords(const char* parameters, const char* text) {
        add(Sig.method_name, as_method<method_entry<Class, Kind, Sig, Body>>(),
            METH_FASTCALL | METH_KEYWORDS, parameters, text);
        return *this;
    }

    // The same, with the text signature's list written from the parser
    // signature itself (optional parameters default to None).
    template <Borrow Kind, const Signature& Sig, auto Body>
    MethodTable& keywords(const char* text) {
        add(Sig.method_name, as_method<method_entry<Class, Kind, Sig, Body>>(),
            METH_FASTCALL | METH_KEYWORDS, Sig.text_parameters(), text);
        return *this;
    }

    // A static method (callable on the class or an instance, no self).
    template <const Signature& Sig, auto Body>
    MethodTable& static_keywords(const char* parameters, const char* text) {
        add(Sig.method_name, as_method<static_entry<Sig, Body>>(),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, parameters, text);
        return *this;
    }
};

}  // namespace tolvane::py
