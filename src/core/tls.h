// Per-thread recording state. HOT is what the recording path touches on every event; COLD holds
// the producing end of the thread's batch ring and the batch being filled; CODES is a small
// code-object -> code-id cache for code resolution. RECORDERS lists every bound thread so the
// stopping thread can push out partial batches and a forked child can forget dead threads.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "core/event.h"

namespace vespra {

struct CodeSlot;
struct EventBatch;

struct Hot {
    PackedEvent* cursor;  // next free slot of the current batch
    PackedEvent* end;     // one past its last slot
    uint64_t base;        // raw counter value the current batch's deltas are relative to
    uint64_t queue_id;    // queue this thread is bound to; 0 = none (ids start at 1)
    uint64_t last_code;   // code object address of the one-entry cache; all ones = none
    uint32_t last_id;     // its code id
    uint32_t tid;         // OS thread id, low 32 bits; all ones = not read yet
    uint32_t name_tries;  // remaining attempts to learn the thread's name
    bool named;           // the thread registry knows this thread's name
    CodeSlot* codes;      // the thread's CODES, allocated on first use; null before
    // Queue of the run that has resolved this thread's events (its CODES hold that run's ids,
    // its open frames were considered). Differs from queue_id only while every event of the
    // thread in that run was left out by the run's filter, so it never bound. 0 = none.
    uint64_t resolved_queue;
};

// Statically initialised, no constructor or destructor, and initial-exec so that inside the
// extension module an access is one %fs-relative load, not a call to __tls_get_addr.
extern constinit thread_local Hot HOT __attribute__((tls_model("initial-exec")));

struct CodeSlot {
    uint64_t addr;  // code object address; 0 = empty
    uint32_t id;
    uint32_t zero;  // always 0
};
inline constexpr size_t CODE_CACHE_SLOTS = 256;
// CODES lives on the heap, reached through HOT.codes (tls::codes()). Because HOT is
// initial-exec, the whole TLS block of the module that links this file is allocated from the
// static TLS surplus that glibc keeps for dlopen'ed modules (about 1.5 KiB in all); a 4 KiB
// thread_local array in the same block makes the extension fail to load ("cannot allocate memory
// in static TLS block"). The pointer in HOT keeps a lookup as cheap as HOT itself: code
// resolution consults it on every miss of the one-entry cache, which in call-heavy code is most
// events that are not a leaf function's return.

inline size_t code_slot_index(uint64_t addr) {
    return static_cast<size_t>((addr * 0x9E3779B97F4A7C15ull) >> 56);
}

// Asks for the cache line holding `p` in a state that can be written at once. A batch comes back
// to its thread from the serializer, which read it last on its own core; without the prefetch
// the first store into each line waits for the line to be fetched and the reader's copy
// invalidated. Never faults, whatever `p` points at. PREFETCHW is a no-op hint on x86-64
// processors that do not implement it.
inline void prefetch_for_write(const void* p) {
#if defined(__x86_64__)
    asm("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
#else
    __builtin_prefetch(p, 1, 3);
#endif
}

// How far ahead of the cursor the fast append prefetches: two cache lines.
inline constexpr size_t PREFETCH_AHEAD_EVENTS = 16;

// The fast append: three compares, one 8-byte store, a cursor bump and a prefetch two lines
// ahead, all %fs-relative (see bench/core_bench.cc for the measured cost). Nothing that locks,
// allocates, calls or does an atomic read-modify-write may be added here; such work belongs in
// EventQueue::slow_path.
// Returns false when the slow path must record the event instead (no room, a delta that does
// not fit 32 bits or went backwards, or bound to another queue).
inline bool fast_append(Hot& hot, uint64_t queue_id, uint64_t now, uint32_t word) {
    uint64_t delta = now - hot.base;
    if (hot.cursor < hot.end && delta < (uint64_t{1} << 32) && hot.queue_id == queue_id) {
        // Both fields in one store (GCC otherwise emits two 4-byte stores).
        uint64_t slot = std::endian::native == std::endian::little ? delta | (uint64_t{word} << 32)
                                                                   : (delta << 32) | word;
        // The cursor is held in a register: the store could alias `hot`, so reading it again
        // after the store would be a second load.
        PackedEvent* at = hot.cursor;
        std::memcpy(at, &slot, sizeof slot);
        prefetch_for_write(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(at) +
                                                         PREFETCH_AHEAD_EVENTS * sizeof slot));
        hot.cursor = at + 1;
        return true;
    }
    return false;
}

struct Cold;

// The registration of one bound thread in RECORDERS: where its records live. Both addresses
// stay valid until the thread's exit destructor, which removes the entry first.
struct Recorder {
    Cold* cold;
    Hot* hot;
};

namespace tls {

CodeSlot* allocate_codes();

// The calling thread's CODES: CODE_CACHE_SLOTS entries, zeroed when first allocated on this
// thread (on first use), freed by the thread-exit flush.
inline CodeSlot* codes() {
    Hot& hot = HOT;
    if (hot.codes == nullptr) [[unlikely]]
        hot.codes = allocate_codes();
    return hot.codes;
}

// Adds the calling thread to RECORDERS (once per thread; a second call changes nothing).
void register_current();
// flush_partial on every registered thread; returns the events discarded because a ring was
// full. Callers guarantee no registered thread is recording meanwhile (callbacks disabled and
// finished); a thread exiting meanwhile waits for the flush before freeing its records.
uint64_t flush_every_thread();
// flush_partial on the calling thread's own batch, if it is bound to `queue_id`; returns the
// events discarded because its ring was full. The thread then has a whole empty batch.
uint64_t flush_current_thread(uint64_t queue_id);
// A flight ring's snapshot of the batches being filled by the threads bound to `queue_id`, taken
// while they go on recording: a copy of each one's events so far. `drain` moves what the threads
// have pushed out of their rings; it is called before each round of copies, so that a copy
// continues exactly where the thread's pushed batches end. A thread that swaps its batch during
// every one of a few rounds is left out (its events since its last swap).
std::vector<std::unique_ptr<EventBatch>> copy_partials(uint64_t queue_id,
                                                        const std::function<void()>& drain);
// In a forked child: keep only the caller's registration. The other threads' records are
// neither flushed nor freed (their threads do not exist here).
void forget_other_threads();
// Number of registered threads (for tests and diagnostics).
size_t recorder_count();

}  // namespace tls
}  // namespace vespra
