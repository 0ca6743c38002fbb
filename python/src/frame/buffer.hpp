#pragma once
// Input shared by several classes: bulk lists of unsigned 64-bit integers,
// read either from a packed byte buffer or from any iterable, and the byte
// string that a text or byte key stands for. These run inside method bodies,
// so their exceptions carry no argument note.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane::py::buffer {

struct PackedSource {
    enum class Kind { Packed, NotPacked, Error };
    Kind kind;
    std::string bytes;  // a copy of the object's contents when packed
};

// bytes, bytearray (or subclasses) and exact memoryview are packed; anything
// else is not, and no buffer interface is consulted for it.
PackedSource packed_byte_source(PyObject* obj);

// Native-order u64 elements of a packed buffer; ValueError unless the length
// is a multiple of 8. `name` is the parameter named in the message.
std::optional<std::vector<std::uint64_t>> bytes_as_u64_vec(std::string_view bytes,
                                                           const char* name);

// The elements of a packed object read straight from its own storage (a
// memoryview through its tobytes() result), so the input is copied once;
// NotPacked for any other object, Error with the exception set.
struct PackedWords {
    PackedSource::Kind kind;
    std::vector<std::uint64_t> words;
};
PackedWords packed_u64(PyObject* obj, const char* name);

// Packed when packed_byte_source says so, else iterated item by item.
std::optional<std::vector<std::uint64_t>> collect_u64(PyObject* obj, const char* name);

// The keys and values of a map's insert_many, both collected whole; ValueError
// when their lengths differ.
struct KeysAndValues {
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> values;
};
std::optional<KeysAndValues> collect_keys_and_values(PyObject* keys, PyObject* values);

// The bytes of a key: a view of a bytes object (valid while the caller keeps
// that object) or an owned copy.
class KeyBytes {
public:
    static KeyBytes borrowed(const char* data, std::size_t size) { return KeyBytes(data, size); }
    static KeyBytes owned(std::string bytes) { return KeyBytes(std::move(bytes)); }

    std::string_view view() const { return owned_ ? std::string_view(copy_) : borrowed_; }
    bool is_owned() const { return owned_; }

    KeyBytes(KeyBytes&&) noexcept = default;
    KeyBytes& operator=(KeyBytes&&) = delete;
    KeyBytes(const KeyBytes&) = delete;
    KeyBytes& operator=(const KeyBytes&) = delete;

private:
    KeyBytes(const char* data, std::size_t size) : borrowed_(data, size) {}
    explicit KeyBytes(std::string bytes) : copy_(std::move(bytes)), owned_(true) {}

    std::string_view borrowed_;
    std::string copy_;
    bool owned_ = false;
};

// str (UTF-8), bytes or bytearray without NUL bytes.
std::optional<KeyBytes> extract_str_key(PyObject* obj);
// str (UTF-8), bytes or bytearray; any byte allowed.
std::optional<KeyBytes> extract_bytes_key(PyObject* obj);

}  // namespace tolvane::py::buffer
