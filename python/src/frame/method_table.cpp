#include "frame/method_table.hpp"

namespace tolvane::py {

void MethodRows::add(const char* name, PyCFunction function, int flags, const char* parameters,
                     const char* text) {
    const std::string& doc = docs_.emplace_back(std::string(name) + parameters + "\n--\n\n" + text);
    rows_.push_back({name, function, flags, doc.c_str()});
}

PyMethodDef* MethodRows::finish() {
    rows_.push_back({nullptr, nullptr, 0, nullptr});
    return rows_.data();
}

}  // namespace tolvane::py
