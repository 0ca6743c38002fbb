#pragma once
// The borrow flag every object carries: 0 free, 1 to 2^64-2 that many shared
// borrows, all ones one exclusive borrow. A borrow lasts one call, so the only
// way to meet a conflict is re-entry from Python code that runs inside a call
// (an __index__, an iterator's __next__) and uses the same object.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace tolvane::py {

enum class Borrow { Shared, Exclusive };

class BorrowFlag {
public:
    static constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

    // Take a borrow; on conflict raise RuntimeError and return false.
    bool acquire(Borrow kind) {
        if (kind == Borrow::Exclusive) {
            std::uint64_t expected = 0;
            if (flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acq_rel)) {
                return true;
            }
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        return try_shared() || (PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed"),
                                false);
    }

    // Shared borrow without raising: false while a mutation holds the object.
    bool try_shared() {
        std::uint64_t current = flag_.load(std::memory_order_relaxed);
        while (current != kExclusive) {
            if (flag_.compare_exchange_weak(current, current + 1, std::memory_order_acq_rel))
                return true;
        }
        return false;
    }

    void release(Borrow kind) {
        if (kind == Borrow::Exclusive)
            flag_.store(0, std::memory_order_release);
        else
            flag_.fetch_sub(1, std::memory_order_release);
    }

private:
    std::atomic<std::uint64_t> flag_{0};
};

// Holds a borrow for the rest of the scope when it could be taken.
class BorrowGuard {
public:
    BorrowGuard(BorrowFlag& flag, Borrow kind) : flag_(flag), kind_(kind), held_(flag.acquire(kind)) {}
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard() {
        if (held_) flag_.release(kind_);
    }
    bool held() const { return held_; }

private:
    BorrowFlag& flag_;
    Borrow kind_;
    bool held_;
};

// Gives back a shared borrow taken with try_shared when the scope ends.
class BorrowRelease {
public:
    explicit BorrowRelease(BorrowFlag& flag) : flag_(flag) {}
    BorrowRelease(const BorrowRelease&) = delete;
    BorrowRelease& operator=(const BorrowRelease&) = delete;
    ~BorrowRelease() { flag_.release(Borrow::Shared); }

private:
    BorrowFlag& flag_;
};

}  // namespace tolvane::py
