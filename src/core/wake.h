// Sleeping until there is work, without polling. On Linux a thread sleeps on a futex word and
// the thread that makes work wakes it with one system call, and only when it is asleep; the
// common case for the waker is one locked instruction. Elsewhere the sleep is a short bounded one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace vespra {

namespace futex {
// Sleeps while `*word == expected`, at most `timeout` (spurious returns are allowed).
void wait(std::atomic<uint32_t>& word, uint32_t expected, std::chrono::microseconds timeout);
// Wakes every thread sleeping on `word`.
void wake_all(std::atomic<uint32_t>& word);
}  // namespace futex

// One sleeper (a consumer thread), any number of wakers. The sleeper announces that it is
// going to sleep, checks for work once more, and sleeps; a waker publishes its work, then rings.
// Both touch the flag with a read-modify-write, so the two are ordered: either the waker's comes
// later and sees the sleeper, or the sleeper's comes later and, having read the waker's, sees
// its work. (A read-modify-write rather than a fence, which ThreadSanitizer cannot follow; on
// x86 both are one locked instruction, paid once per batch.)
class Doorbell {
  public:
    // Sleeps unless `has_work()` holds after the announcement; returns on a ring, on the
    // timeout, or spuriously. Callers loop.
    template <class HasWork>
    void sleep_unless(HasWork has_work, std::chrono::microseconds timeout) {
        asleep_.exchange(1, std::memory_order_seq_cst);
        if (!has_work()) futex::wait(asleep_, 1, timeout);
        asleep_.store(0, std::memory_order_relaxed);
    }

    // After publishing work. A system call only when the sleeper is asleep.
    void ring() {
        if (asleep_.fetch_or(0, std::memory_order_seq_cst) != 0 && asleep_.exchange(0) != 0) {
            futex::wake_all(asleep_);
            rings_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // Wake-ups that took a system call (for tests and diagnostics).
    uint64_t rings() const { return rings_.load(std::memory_order_relaxed); }
    // Whether the sleeper has announced its sleep (for tests).
    bool asleep() const { return asleep_.load(std::memory_order_acquire) != 0; }

  private:
    std::atomic<uint32_t> asleep_{0};
    std::atomic<uint64_t> rings_{0};
};

// Any number of sleepers waiting for a condition that another thread makes true (a ring with
// room again). Sleepers read the sequence, check their condition, and sleep on the sequence;
// the thread that changes the condition bumps it and wakes them all, only when some sleeper
// counted itself in.
class Gate {
  public:
    uint32_t sequence() const { return seq_.load(std::memory_order_acquire); }
    void sleep(uint32_t seen, std::chrono::microseconds timeout) {
        futex::wait(seq_, seen, timeout);
    }

    // A sleeper counts itself in before its last check of the condition.
    void enter() { waiting_.fetch_add(1, std::memory_order_seq_cst); }
    void leave() { waiting_.fetch_sub(1, std::memory_order_release); }
    uint32_t waiting() const { return waiting_.load(std::memory_order_acquire); }

    // After making the condition true. Ordered against enter() as Doorbell::ring is against
    // the sleeper.
    void open() {
        if (waiting_.fetch_add(0, std::memory_order_seq_cst) != 0) {
            seq_.fetch_add(1, std::memory_order_release);
            futex::wake_all(seq_);
        }
    }

  private:
    std::atomic<uint32_t> seq_{0};
    std::atomic<uint32_t> waiting_{0};
};

}  // namespace vespra
