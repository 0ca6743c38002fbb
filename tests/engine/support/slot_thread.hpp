#pragma once
// A thread that claims an allocation slot when it starts, keeps it while the
// object lives, and runs tasks on request; lets a test place work on a thread
// with a known slot and choose when that slot is given back (at destruction).

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "tolvane/mem/occ.hpp"

namespace tolvane::test {

class SlotThread {
public:
    SlotThread() {
        thread_ = std::thread([this] {
            const std::uint64_t slot = occ::current_slot();
            std::unique_lock lock(mutex_);
            slot_ = slot;
            started_ = true;
            cv_.notify_all();
            for (;;) {
                cv_.wait(lock, [this] { return task_ || stop_; });
                if (stop_) return;
                lock.unlock();
                task_();
                lock.lock();
                task_ = nullptr;
                cv_.notify_all();
            }
        });
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [this] { return started_; });
    }
    ~SlotThread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    SlotThread(const SlotThread&) = delete;
    SlotThread& operator=(const SlotThread&) = delete;

    std::uint64_t slot() const { return slot_; }

    // Runs f on this thread and waits for it to finish.
    void run(std::function<void()> f) {
        std::unique_lock lock(mutex_);
        task_ = std::move(f);
        cv_.notify_all();
        cv_.wait(lock, [this] { return !task_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::function<void()> task_;
    bool started_ = false;
    bool stop_ = false;
    std::uint64_t slot_ = occ::NO_SLOT;
    std::thread thread_;
};

}  // namespace tolvane::test
