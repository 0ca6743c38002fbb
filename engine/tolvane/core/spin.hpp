#pragma once
// Busy waits of the concurrent containers and of their collector. A wait spins with the processor's
// pause hint and never sleeps; after many pauses it also yields, because
// tests and callers may run far more threads than cores and the thread it
// waits for may need this core to make progress.

#include <atomic>
#include <cstdint>
#include <thread>

namespace tolvane {

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// One waiting loop: call pause() once per turn.
class SpinWait {
  public:
    static constexpr std::uint32_t PAUSES_BEFORE_YIELD = 1024;

    void pause() noexcept {
        if (turns_ < PAUSES_BEFORE_YIELD) {
            ++turns_;
            spin_hint();
        } else {
            std::this_thread::yield();
        }
    }

  private:
    std::uint32_t turns_ = 0;
};

// `n` pause hints (the backoff between optimistic attempts).
inline void spin_hints(std::uint32_t n) noexcept {
    for (std::uint32_t i = 0; i < n; ++i) spin_hint();
}

}  // namespace tolvane
