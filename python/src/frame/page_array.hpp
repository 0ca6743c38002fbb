#pragma once
// A fixed-length array of trivially copyable elements, read once from front
// to back, whose front is handed back to the system as it is passed. A bulk
// load keeps its sorted copy of the input in one while it inserts it, so the
// copy shrinks as the container grows and the peak stays near the size the
// container ends at. Large arrays are mapped pages of their own, which can
// be given back one by one; small ones sit on the heap and are kept whole.

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace tolvane::py {

// Uninitialised bytes; throws std::bad_alloc when none are to be had.
class PageBuffer {
public:
    explicit PageBuffer(std::size_t bytes);
    ~PageBuffer();
    PageBuffer(PageBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          released_(std::exchange(other.released_, 0)),
          granule_(other.granule_),
          mapped_(other.mapped_) {}
    PageBuffer& operator=(PageBuffer&&) = delete;
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    std::byte* data() const { return data_; }
    // Gives back the whole pages that lie before byte `offset`; the bytes
    // there must not be read again.
    void release_before(std::size_t offset) noexcept;

private:
    std::byte* data_;
    std::size_t size_;
    std::size_t released_ = 0;  // bytes at the front already given back
    std::size_t granule_;       // the front is given back in whole multiples of this
    bool mapped_;
};

template <class T>
class PageArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit PageArray(std::size_t count) : buffer_(count * sizeof(T)), count_(count) {}

    T* data() const { return reinterpret_cast<T*>(buffer_.data()); }
    std::size_t size() const { return count_; }

    // Hands `take(first, count)` the elements in order, a few hundred
    // kilobytes at a time, giving back the pages passed after each; the array
    // is spent afterwards.
    template <class Take>
    void consume(Take&& take) {
        constexpr std::size_t kStep = (256 * 1024) / sizeof(T);
        for (std::size_t at = 0; at < count_; at += kStep) {
            take(data() + at, count_ - at < kStep ? count_ - at : kStep);
            buffer_.release_before((count_ - at < kStep ? count_ : at + kStep) * sizeof(T));
        }
    }

private:
    PageBuffer buffer_;
    std::size_t count_;
};

}  // namespace tolvane::py
