#include "frame/buffer.hpp"

#include <cstring>
#include <utility>

#include "frame/convert.hpp"
#include "frame/ref.hpp"

namespace tolvane::py::buffer {

namespace {

std::string_view view_of(const char* data, Py_ssize_t size) {
    return {data, static_cast<std::size_t>(size)};
}

// Hands `read` the bytes of a packed object without copying them: a bytes or
// bytearray object's own storage, or the bytes a memoryview's tobytes()
// returns (kept alive across the call). No Python code runs while `read`
// looks at them. Packed when `read` succeeds, Error when it or tobytes()
// fails, NotPacked for other objects.
template <class Read>
PackedSource::Kind with_packed_view(PyObject* obj, Read&& read) {
    using Kind = PackedSource::Kind;
    if (PyBytes_Check(obj))
        return read(view_of(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj))) ? Kind::Packed
                                                                             : Kind::Error;
    if (PyByteArray_Check(obj))
        return read(view_of(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj)))
                   ? Kind::Packed
                   : Kind::Error;
    if (Py_IS_TYPE(obj, &PyMemoryView_Type)) {
        Ref bytes(PyObject_CallMethod(obj, "tobytes", nullptr));
        if (!bytes) return Kind::Error;
        if (!PyBytes_Check(bytes.get())) {
            set_type_cast_error(bytes.get(), "bytes");
            return Kind::Error;
        }
        return read(view_of(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get())))
                   ? Kind::Packed
                   : Kind::Error;
    }
    return Kind::NotPacked;
}

std::optional<KeyBytes> extract_key(PyObject* obj, bool refuse_nul, const char* type_message) {
    std::optional<KeyBytes> key;
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
        if (data == nullptr) return std::nullopt;
        key.emplace(KeyBytes::owned(std::string(data, static_cast<std::size_t>(size))));
    } else if (PyBytes_Check(obj)) {
        key.emplace(KeyBytes::borrowed(PyBytes_AS_STRING(obj),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(obj))));
    } else if (PyByteArray_Check(obj)) {
        key.emplace(KeyBytes::owned(std::string(
            PyByteArray_AS_STRING(obj), static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)))));
    } else {
        PyErr_SetString(PyExc_TypeError, type_message);
        return std::nullopt;
    }
    if (refuse_nul && key->view().find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "NUL bytes are not allowed in TolvaneStrMap keys");
        return std::nullopt;
    }
    return key;
}

}  // namespace

PackedSource packed_byte_source(PyObject* obj) {
    PackedSource source{PackedSource::Kind::NotPacked, {}};
    source.kind = with_packed_view(obj, [&](std::string_view bytes) {
        source.bytes.assign(bytes);
        return true;
    });
    return source;
}

std::optional<std::vector<std::uint64_t>> bytes_as_u64_vec(std::string_view bytes,
                                                           const char* name) {
    if (bytes.size() % 8 != 0) {
        PyErr_Format(PyExc_ValueError,
                     "insert_many: %s byte buffer length (%zu) is not a multiple of 8; a packed "
                     "u64 buffer must contain whole 8-byte elements",
                     name, bytes.size());
        return std::nullopt;
    }
    std::vector<std::uint64_t> values(bytes.size() / 8);
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), bytes.size());
    return values;
}

PackedWords packed_u64(PyObject* obj, const char* name) {
    PackedWords out{PackedSource::Kind::NotPacked, {}};
    out.kind = with_packed_view(obj, [&](std::string_view bytes) {
        auto words = bytes_as_u64_vec(bytes, name);
        if (!words) return false;
        out.words = std::move(*words);
        return true;
    });
    return out;
}

std::optional<std::vector<std::uint64_t>> collect_u64(PyObject* obj, const char* name) {
    PackedWords packed = packed_u64(obj, name);
    if (packed.kind == PackedSource::Kind::Error) return std::nullopt;
    if (packed.kind == PackedSource::Kind::Packed) return std::move(packed.words);

    std::vector<std::uint64_t> values;
    if (!for_each_u64(obj, [&](std::uint64_t value) { values.push_back(value); }))
        return std::nullopt;
    return values;
}

std::optional<KeyBytes> extract_str_key(PyObject* obj) {
    return extract_key(obj, true, "Expected str, bytes, or bytearray for key");
}

std::optional<KeyBytes> extract_bytes_key(PyObject* obj) {
    return extract_key(obj, false, "Expected bytes, bytearray, or str for key");
}


std::optional<KeysAndValues> collect_keys_and_values(PyObject* keys_obj, PyObject* values_obj) {
    auto keys = collect_u64(keys_obj, "keys");
    if (!keys) return std::nullopt;
    auto values = collect_u64(values_obj, "values");
    if (!values) return std::nullopt;
    if (keys->size() != values->size()) {
        PyErr_Format(PyExc_ValueError,
                     "insert_many: keys (%zu) and values (%zu) must have the same number of "
                     "elements",
                     keys->size(), values->size());
        return std::nullopt;
    }
    return KeysAndValues{std::move(*keys), std::move(*values)};
}

}  // namespace tolvane::py::buffer
