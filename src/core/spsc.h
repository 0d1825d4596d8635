// A bounded single-producer single-consumer FIFO ring of owned values, split into a producing
// end and a consuming end that share ownership of the storage. Push and pop never block: a push
// on a full ring fails and leaves the value with the caller; a pop on an empty ring fails.
//
// Each end caches the other end's position and re-reads the shared one only when the ring looks
// full (producer) or empty (consumer). Positions are published with release and read with
// acquire ordering, so everything written into a value before its push is visible after its pop.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

namespace vespra {

template <class T, size_t N>
class SpscRing {
    static_assert(N > 0);

  public:
    class Producer;
    class Consumer;

    static std::pair<Producer, Consumer> make() {
        auto ring = std::make_shared<SpscRing>();
        return {Producer(ring), Consumer(ring)};
    }

    class Producer {
      public:
        Producer() = default;
        // Moves `value` into the ring and returns true, or returns false with `value` untouched.
        bool push(T& value) {
            size_t tail = ring_->tail_.load(std::memory_order_relaxed);
            if (tail - head_cache_ == N) {
                head_cache_ = ring_->head_.load(std::memory_order_acquire);
                if (tail - head_cache_ == N) return false;
            }
            ring_->slots_[tail % N] = std::move(value);
            ring_->tail_.store(tail + 1, std::memory_order_release);
            return true;
        }
        // Values pushed and not yet popped (exact when read by the producer: only the consumer
        // can lower it meanwhile).
        size_t backlog() const {
            return ring_->tail_.load(std::memory_order_relaxed) -
                   ring_->head_.load(std::memory_order_acquire);
        }
        explicit operator bool() const { return ring_ != nullptr; }
        // The other end is gone, and everything it did to the ring before letting go is visible.
        bool orphaned() const { return SpscRing::sole_owner(ring_); }

      private:
        friend class SpscRing;
        explicit Producer(std::shared_ptr<SpscRing> ring) : ring_(std::move(ring)) {}
        std::shared_ptr<SpscRing> ring_;
        size_t head_cache_ = 0;
    };

    class Consumer {
      public:
        Consumer() = default;
        std::optional<T> pop() {
            size_t head = ring_->head_.load(std::memory_order_relaxed);
            if (head == tail_cache_) {
                tail_cache_ = ring_->tail_.load(std::memory_order_acquire);
                if (head == tail_cache_) return std::nullopt;
            }
            std::optional<T> out(std::move(ring_->slots_[head % N]));
            ring_->slots_[head % N] = T();
            ring_->head_.store(head + 1, std::memory_order_release);
            return out;
        }
        bool empty() const {
            return ring_->head_.load(std::memory_order_relaxed) ==
                   ring_->tail_.load(std::memory_order_acquire);
        }
        explicit operator bool() const { return ring_ != nullptr; }
        // The other end is gone, and everything it did to the ring before letting go is visible.
        bool orphaned() const { return SpscRing::sole_owner(ring_); }

      private:
        friend class SpscRing;
        explicit Consumer(std::shared_ptr<SpscRing> ring) : ring_(std::move(ring)) {}
        std::shared_ptr<SpscRing> ring_;
        size_t tail_cache_ = 0;
    };

  private:
    // Whether `ring` is the last reference; the acquire fence pairs with the release in the
    // other end's reference drop, so what that end did before letting go is visible.
    static bool sole_owner(const std::shared_ptr<SpscRing>& ring) {
        if (ring.use_count() != 1) return false;
        std::atomic_thread_fence(std::memory_order_acquire);
        return true;
    }

    alignas(64) std::atomic<size_t> head_{0};  // next slot to pop; written by the consumer
    alignas(64) std::atomic<size_t> tail_{0};  // next slot to fill; written by the producer
    alignas(64) std::array<T, N> slots_{};
};

}  // namespace vespra
