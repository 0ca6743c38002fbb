#include "frame/method_table.hpp"

namespace tolvane::py {

void MethodRows::add(const char* name, PyCFunction function, int flags,
                     std::string_view parameters, const char* text) {
    std::string& doc = docs_.emplace_back(name);
    doc.append(parameters).append("\n--\n\n").append(text);
    rows_.push_back({name, function, flags, doc.c_str()});
}

PyMethodDef* MethodRows::finish() {
    rows_.push_back({nullptr, nullptr, 0, nullptr});
    return rows_.data();
}

}  // namespace tolvane::py
