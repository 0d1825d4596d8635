#include "core/wake.h"

#include <climits>
#include <thread>
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace vespra::futex {

#if defined(__linux__)
namespace {
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

uint32_t* address(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }
}  // namespace

void wait(std::atomic<uint32_t>& word, uint32_t expected, std::chrono::microseconds timeout) {
    auto us = timeout.count();
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    // A relative timeout; EAGAIN (the word changed), EINTR and ETIMEDOUT all just return.
    (void)syscall(SYS_futex, address(word), FUTEX_WAIT_PRIVATE, expected, &ts, nullptr, 0);
}

void wake_all(std::atomic<uint32_t>& word) {
    (void)syscall(SYS_futex, address(word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}
#else
void wait(std::atomic<uint32_t>& word, uint32_t expected, std::chrono::microseconds timeout) {
    if (word.load(std::memory_order_acquire) == expected)
        std::this_thread::sleep_for(std::min(timeout, std::chrono::microseconds(200)));
}
void wake_all(std::atomic<uint32_t>&) {}
#endif

}  // namespace vespra::futex
