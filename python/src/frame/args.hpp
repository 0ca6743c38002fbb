#pragma once
// Argument parsing for methods that take parameters. Every parameter is
// positional-or-keyword; the leading `required` ones must be given, the rest
// default to "not given". Refusals are TypeErrors worded the way every method
// of the module words them, naming the method as "Class.method()".

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::py {

inline constexpr int kMaxParams = 6;

struct Signature {
    const char* class_name;
    const char* method_name;  // "__new__" for constructors
    const char* names[kMaxParams];
    int count;
    int required;

    std::string display_name() const;
    // The text signature's parameter list: "($self, a, b=None)", every
    // parameter after the required ones defaulting to None.
    std::string text_parameters() const;
};

template <std::size_t N>
constexpr Signature signature(const char* class_name, const char* method_name,
                              const char* const (&names)[N], int required) {
    static_assert(N <= kMaxParams, "too many parameters");
    Signature sig{class_name, method_name, {}, static_cast<int>(N), required};
    for (std::size_t i = 0; i < N; ++i) sig.names[i] = names[i];
    return sig;
}

// The parsed values of one call: borrowed references, null where a parameter
// was left out. The conversions below run in the method body, after the thread
// check and the borrow, and name the parameter in a note when they fail.
class Args {
public:
    explicit Args(const Signature& sig) : sig_(sig) {}

    PyObject* operator[](int i) const { return values_[i]; }
    bool given(int i) const { return values_[i] != nullptr; }
    // Given and not None: what "optional" parameters treat as present.
    bool present(int i) const { return values_[i] != nullptr && values_[i] != Py_None; }

    bool u64(int i, std::uint64_t& out) const;
    bool boolean(int i, bool& out) const;
    bool u64_sequence(int i, std::vector<std::uint64_t>& out) const;
    bool u32(int i, std::uint32_t& out) const;
    // A str as UTF-8, valid while the argument lives.
    bool utf8(int i, std::string_view& out) const;

    bool parse_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
    bool parse_tuple_dict(PyObject* args, PyObject* kwargs);

private:
    bool take_positional(PyObject* const* args, Py_ssize_t nargs);
    bool take_keyword(PyObject* name, PyObject* value);
    bool check_required() const;
    // Raises the "missing" TypeError for the required parameters left out.
    [[gnu::cold]] bool report_missing() const;

    const Signature& sig_;
    PyObject* values_[kMaxParams] = {};
};

// Parameter 0 as `key`, then parameter 1 as `fallback` when it is given and
// not None (the `default` of get and pop): both are converted before the
// container is looked at, so a bad default fails even for a present key.
bool key_and_default(const Args& a, std::uint64_t& key, std::optional<std::uint64_t>& fallback);

}  // namespace tolvane::py
