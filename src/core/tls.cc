#include "core/tls.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "core/evqueue.h"

namespace vespra {

constinit thread_local Hot HOT __attribute__((tls_model("initial-exec"))) = {
    nullptr, nullptr, 0, 0, UINT64_MAX, UINT32_MAX, UINT32_MAX, 0, false, nullptr, 0,
};

namespace {

[[noreturn]] void fatal(const char* message) {
    std::fprintf(stderr, "vespra: fatal: %s\n", message);
    std::fflush(stderr);
    std::abort();
}

// COLD: zero-filled static TLS with no constructor, so a thread that never records pays
// nothing, not even a destructor registration. The Cold inside is constructed on first use,
// which also arms the thread-exit destructor.
//
// The destructor is a pthread key destructor rather than a C++ thread_local object: glibc runs
// key destructors after every C++ thread_local destructor of the thread, so the flush comes
// after anything the thread could still record from its own teardown. (The main thread does not
// run key destructors at exit(); by then the tracer has flushed every thread at its stop, and
// the process is going away.)
struct ColdCell {
    alignas(Cold) unsigned char bytes[sizeof(Cold)];
    Cold* cold;      // null until constructed, and again after the exit destructor
    bool destroyed;  // the exit destructor has run; never constructed again on this thread
    bool borrowed;   // a ColdBorrow is live
};
constinit thread_local ColdCell COLD = {};

// RECORDERS. Never destroyed: threads may exit (and unregister) while the process runs its
// static destructors.
struct Recorders {
    std::mutex mutex;
    std::vector<Recorder> list;
};

void after_fork_in_child();

Recorders& recorders() {
    static Recorders* const r = [] {
        auto* fresh = new Recorders;
        // A thread can hold the mutex while it exits (its destructor unregisters), outside any
        // interpreter lock. Holding the mutex across fork() keeps a forked child from
        // inheriting it locked, which would hang forget_other_threads in the child.
        pthread_atfork([] { recorders().mutex.lock(); }, [] { recorders().mutex.unlock(); },
                       after_fork_in_child);
        return fresh;
    }();
    return *r;
}

// Registered when the library is loaded, so that every fork is covered, also one that comes
// before this process records anything.
[[maybe_unused]] const bool FORK_HANDLERS_REGISTERED = (recorders(), true);

// In every forked child, on its one thread (the one that called fork()), with the mutex held
// since the prepare handler. The thread's OS id changed: read it again at the next event, or
// the child's events would carry the parent's thread id. The other threads' records belong to
// threads that do not exist here: forget them, without touching them.
void after_fork_in_child() {
    HOT.tid = UINT32_MAX;
    Recorders& r = recorders();
    Cold* mine = COLD.cold;
    // Nothing drains the parent's queue here: a lossless flush into its copy of a full ring (at
    // this thread's exit, before it records under a run of its own) must not wait for room.
    if (mine != nullptr && mine->signals) mine->signals->abandoned.store(true);
    std::erase_if(r.list, [mine](const Recorder& e) { return e.cold != mine; });
    r.mutex.unlock();
}

void on_thread_exit(void*) {
    ColdCell& cell = COLD;
    Cold* cold = cell.cold;
    if (cold == nullptr) return;
    cell.destroyed = true;
    cell.cold = nullptr;
    {
        // Waits for a flush_every_thread in progress, which may be using our records.
        Recorders& r = recorders();
        std::lock_guard<std::mutex> lock(r.mutex);
        std::erase_if(r.list, [cold](const Recorder& e) { return e.cold == cold; });
    }
    Hot& hot = HOT;
    // Lost without being counted when the ring is full: nobody is left to report it to.
    (void)Cold::flush_partial(*cold, hot);
    // The ring outlives us while the queue holds its consuming end, so what we pushed is drained.
    cold->producer = BatchRing::Producer();
    cold->empties = BatchRing::Consumer();
    cold->signals.reset();
    cold->spare.clear();
    cold->current.reset();
    cold->~Cold();
    delete[] std::exchange(hot.codes, nullptr);
    // Anything recorded after this point would otherwise write into the freed batch: send it
    // to the slow path, which finds COLD destroyed and drops the event.
    hot.cursor = nullptr;
    hot.end = nullptr;
    hot.queue_id = 0;
}

pthread_key_t exit_key() {
    static const pthread_key_t key = [] {
        pthread_key_t k;
        if (pthread_key_create(&k, on_thread_exit) != 0) fatal("cannot create the thread-exit key");
        return k;
    }();
    return key;
}

// The calling thread's Cold, constructed on first use; null once its exit destructor has run.
Cold* current_cold() {
    ColdCell& cell = COLD;
    if (cell.cold != nullptr) return cell.cold;
    if (cell.destroyed) return nullptr;
    Cold* cold = new (cell.bytes) Cold();
    // Any non-null value arms the destructor.
    if (pthread_setspecific(exit_key(), &cell) != 0) fatal("cannot arm the thread-exit flush");
    cell.cold = cold;
    return cold;
}

}  // namespace

// Also arms the thread-exit flush, which frees the cache: a thread resolves code before its
// first event binds it, and may never record at all (a full interner).
CodeSlot* tls::allocate_codes() {
    (void)current_cold();
    return new CodeSlot[CODE_CACHE_SLOTS]();
}

uint64_t Cold::flush_partial(Cold& cold, Hot& hot) {
    if (!cold.current) return 0;
    // A swap of the batch being filled, as in EventQueue::slow_path (a flight ring's snapshot
    // may be copying it).
    Cold::Swapping swapping(cold);
    std::unique_ptr<EventBatch> batch = std::move(cold.current);
    PackedEvent* begin = batch->begin();
    uint32_t count = hot.cursor >= begin && hot.cursor <= batch->end_of_storage()
                         ? static_cast<uint32_t>(hot.cursor - begin)
                         : 0;
    batch->count = count;
    if (count == 0 || !cold.producer) {
        cold.current = std::move(batch);
        point_hot_at(hot, *cold.current);
        return 0;
    }
    // Without memory for the next batch the thread points at none: its next event takes the slow
    // path, which tries again, and drops and counts what it cannot record. The stop goes on.
    try {
        cold.current = cold.next_batch(batch->base, batch->tid);
        point_hot_at(hot, *cold.current);
    } catch (const std::bad_alloc&) {
        hot.cursor = hot.end = nullptr;
    }
    QueueSignals* signals = cold.signals.get();
    bool pushed = cold.producer.push(batch);
    if (!pushed && signals && signals->lossless.load(std::memory_order_acquire)) {
        // Not attached to the interpreter (a thread's exit, or a stop that detached): the wait
        // needs no hooks.
        pushed = signals->wait_for_room(cold.producer, batch, false);
        signals->room.leave();
    }
    if (signals) signals->work.ring();  // a partial batch is the last for a while: no mark
    return pushed ? 0 : count;
}

namespace tls {

ColdBorrow::ColdBorrow() {
    ColdCell& cell = COLD;
    if (cell.borrowed) fatal("the thread's recorder state was borrowed twice");
    cold_ = current_cold();
    if (cold_ != nullptr) cell.borrowed = true;
}

ColdBorrow::~ColdBorrow() {
    if (cold_ != nullptr) COLD.borrowed = false;
}

void register_current() {
    Cold* cold = current_cold();
    if (cold == nullptr) return;
    Recorders& r = recorders();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const Recorder& e : r.list)
        if (e.cold == cold) return;
    r.list.push_back(Recorder{cold, &HOT});
}

uint64_t flush_every_thread() {
    Recorders& r = recorders();
    std::lock_guard<std::mutex> lock(r.mutex);
    uint64_t dropped = 0;
    for (const Recorder& e : r.list) dropped += Cold::flush_partial(*e.cold, *e.hot);
    return dropped;
}

uint64_t flush_current_thread(uint64_t queue_id) {
    if (HOT.queue_id != queue_id) return 0;
    ColdBorrow cold;
    return cold ? Cold::flush_partial(*cold, HOT) : 0;
}

std::vector<std::unique_ptr<EventBatch>> copy_partials(uint64_t queue_id,
                                                        const std::function<void()>& drain) {
    // Rounds for threads that swapped their batch while theirs was copied: a thread recording
    // flat out swaps every few microseconds, and after the last round its partial batch (the
    // events since its last swap) is left out of the snapshot rather than waited for.
    constexpr int ROUNDS = 4;
    Recorders& r = recorders();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<std::unique_ptr<EventBatch>> copies;
    std::vector<Recorder> left = r.list;
    std::vector<uint32_t> before;
    for (int round = 0; round < ROUNDS && !left.empty(); ++round) {
        before.clear();
        for (const Recorder& e : left) before.push_back(e.cold->swaps.load(std::memory_order_acquire));
        // Everything a thread pushed before its count was read is in the rings now.
        drain();
        std::vector<Recorder> retry;
        for (size_t i = 0; i < left.size(); ++i) {
            Hot& hot = *left[i].hot;
            if (before[i] & 1) {
                retry.push_back(left[i]);
                continue;
            }
            if (std::atomic_ref<uint64_t>(hot.queue_id).load(std::memory_order_relaxed) !=
                queue_id)
                continue;
            PackedEvent* end = std::atomic_ref<PackedEvent*>(hot.end).load(std::memory_order_relaxed);
            PackedEvent* cursor =
                std::atomic_ref<PackedEvent*>(hot.cursor).load(std::memory_order_relaxed);
            uint64_t base = std::atomic_ref<uint64_t>(hot.base).load(std::memory_order_relaxed);
            uint32_t tid = std::atomic_ref<uint32_t>(hot.tid).load(std::memory_order_relaxed);
            if (end == nullptr || cursor == nullptr) continue;
            const PackedEvent* begin = end - EventBatch::CAPACITY;
            if (cursor < begin || cursor > end) continue;
            auto count = static_cast<uint32_t>(cursor - begin);
            std::unique_ptr<EventBatch> copy = EventBatch::create(base, tid);
            std::memcpy(copy->begin(), begin, count * sizeof(PackedEvent));
            std::atomic_thread_fence(std::memory_order_acquire);
            if (left[i].cold->swaps.load(std::memory_order_relaxed) != before[i]) {
                retry.push_back(left[i]);
                continue;
            }
            if (count == 0) continue;
            copy->count = count;
            for (uint32_t k = 0; k < count && !copy->marks; ++k)
                copy->marks = is_mark_kind(kind_of(copy->events[k].packed));
            copies.push_back(std::move(copy));
        }
        left = std::move(retry);
    }
    return copies;
}

void forget_other_threads() {
    Cold* mine = current_cold();
    Recorders& r = recorders();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::erase_if(r.list, [mine](const Recorder& e) { return e.cold != mine; });
}

size_t recorder_count() {
    Recorders& r = recorders();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.list.size();
}

}  // namespace tls
}  // namespace vespra
