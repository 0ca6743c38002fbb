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

#include "frame/ref.hpp"

namespace tolvane::py::buffer {

struct PackedSource {
    enum class Kind { Packed, NotPacked, Error };
    Kind kind;
    std::string bytes;  // a copy of the object's contents when packed
};

// bytes, bytearray (or subclasses) and exact memoryview are packed; anything
// else is not, and no buffer interface is consulted for it.
PackedSource packed_byte_source(PyObject* obj);

// The bytes of a packed object without a copy: a bytes or bytearray object's
// own storage, or the bytes a memoryview's tobytes() returns, which `owner`
// keeps alive. Valid until Python code runs that could resize a bytearray.
// Error with the exception set when tobytes() fails.
struct PackedView {
    PackedSource::Kind kind;
    Ref owner;
    std::string_view bytes;
};
PackedView packed_view(PyObject* obj);
// True for the objects packed_view reads.
bool is_packed(PyObject* obj);

// ValueError unless `bytes` holds whole 8-byte elements. `name` is the
// parameter named in the message.
bool whole_words(std::string_view bytes, const char* name);

// The native-order words of one bulk argument: read where they lie when it
// is packed, collected by iterating it otherwise.
class WordInput {
public:
    static std::optional<WordInput> of(PyObject* obj, const char* name);

    const char* data() const;
    std::size_t count() const;
    // Copies words read where they lie, so that Python code run afterwards
    // cannot change them.
    void keep_copy();

private:
    WordInput() = default;
    PackedView view_{PackedSource::Kind::NotPacked, Ref(), {}};
    std::vector<std::uint64_t> collected_;
};

// ValueError unless a map's keys and values are equally many.
bool same_count(std::size_t keys, std::size_t values);

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
