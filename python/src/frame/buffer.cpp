#include "frame/buffer.hpp"

#include <cstring>

#include "frame/convert.hpp"
#include "frame/ref.hpp"

namespace tolvane::py::buffer {

namespace {

PackedSource packed(const char* data, Py_ssize_t size) {
    return {PackedSource::Kind::Packed, std::string(data, static_cast<std::size_t>(size))};
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
    if (PyBytes_Check(obj)) return packed(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    if (PyByteArray_Check(obj))
        return packed(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj));
    if (Py_IS_TYPE(obj, &PyMemoryView_Type)) {
        Ref bytes(PyObject_CallMethod(obj, "tobytes", nullptr));
        if (!bytes) return {PackedSource::Kind::Error, {}};
        if (!PyBytes_Check(bytes.get())) {
            set_type_cast_error(bytes.get(), "bytes");
            return {PackedSource::Kind::Error, {}};
        }
        return packed(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
    }
    return {PackedSource::Kind::NotPacked, {}};
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

std::optional<std::vector<std::uint64_t>> collect_u64(PyObject* obj, const char* name) {
    PackedSource source = packed_byte_source(obj);
    if (source.kind == PackedSource::Kind::Error) return std::nullopt;
    if (source.kind == PackedSource::Kind::Packed) return bytes_as_u64_vec(source.bytes, name);

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

}  // namespace tolvane::py::buffer
