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

// Hands `read` the bytes of a packed object without copying them (see
// packed_view). No Python code runs while `read` looks at them. Packed when
// `read` succeeds, Error when it or tobytes() fails, NotPacked for other
// objects.
template <class Read>
PackedSource::Kind with_packed_view(PyObject* obj, Read&& read) {
    PackedView view = packed_view(obj);
    if (view.kind != PackedSource::Kind::Packed) return view.kind;
    return read(view.bytes) ? PackedSource::Kind::Packed : PackedSource::Kind::Error;
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

bool is_packed(PyObject* obj) {
    return PyBytes_Check(obj) || PyByteArray_Check(obj) || Py_IS_TYPE(obj, &PyMemoryView_Type);
}

PackedView packed_view(PyObject* obj) {
    using Kind = PackedSource::Kind;
    if (PyBytes_Check(obj))
        return {Kind::Packed, Ref(), view_of(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj))};
    if (PyByteArray_Check(obj))
        return {Kind::Packed, Ref(),
                view_of(PyByteArray_AS_STRING(obj), PyByteArray_GET_SIZE(obj))};
    if (Py_IS_TYPE(obj, &PyMemoryView_Type)) {
        Ref bytes(PyObject_CallMethod(obj, "tobytes", nullptr));
        if (!bytes) return {Kind::Error, Ref(), {}};
        if (!PyBytes_Check(bytes.get())) {
            set_type_cast_error(bytes.get(), "bytes");
            return {Kind::Error, Ref(), {}};
        }
        const std::string_view view =
            view_of(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
        return {Kind::Packed, std::move(bytes), view};
    }
    return {Kind::NotPacked, Ref(), {}};
}

bool whole_words(std::string_view bytes, const char* name) {
    if (bytes.size() % 8 == 0) return true;
    PyErr_Format(PyExc_ValueError,
                 "insert_many: %s byte buffer length (%zu) is not a multiple of 8; a packed "
                 "u64 buffer must contain whole 8-byte elements",
                 name, bytes.size());
    return false;
}

std::optional<WordInput> WordInput::of(PyObject* obj, const char* name) {
    WordInput input;
    input.view_ = packed_view(obj);
    switch (input.view_.kind) {
        case PackedSource::Kind::Error:
            return std::nullopt;
        case PackedSource::Kind::Packed:
            if (!whole_words(input.view_.bytes, name)) return std::nullopt;
            return input;
        case PackedSource::Kind::NotPacked:
            if (!for_each_u64(obj, [&](std::uint64_t word) { input.collected_.push_back(word); }))
                return std::nullopt;
            return input;
    }
    return std::nullopt;
}

const char* WordInput::data() const {
    return view_.kind == PackedSource::Kind::Packed
               ? view_.bytes.data()
               : reinterpret_cast<const char*>(collected_.data());
}

std::size_t WordInput::count() const {
    return view_.kind == PackedSource::Kind::Packed ? view_.bytes.size() / 8 : collected_.size();
}

void WordInput::keep_copy() {
    if (view_.kind != PackedSource::Kind::Packed) return;
    collected_.resize(view_.bytes.size() / 8);
    if (!collected_.empty()) std::memcpy(collected_.data(), view_.bytes.data(), view_.bytes.size());
    view_ = {PackedSource::Kind::NotPacked, Ref(), {}};
}

bool same_count(std::size_t keys, std::size_t values) {
    if (keys == values) return true;
    PyErr_Format(PyExc_ValueError,
                 "insert_many: keys (%zu) and values (%zu) must have the same number of elements",
                 keys, values);
    return false;
}

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
    if (!whole_words(bytes, name)) return std::nullopt;
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
    if (!same_count(keys->size(), values->size())) return std::nullopt;
    return KeysAndValues{std::move(*keys), std::move(*values)};
}

}  // namespace tolvane::py::buffer
