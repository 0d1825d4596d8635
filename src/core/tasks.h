// TaskTracks: gives each asyncio task a track of its own, built on the export side from the
// facts the recording threads leave in their event streams, the same for every format.
//
// What is recorded: a KIND_TASK event (the task's id) right before the begin of the outermost
// coroutine frame of each of the task's steps (src/py/monitoring.cc tells which frames those
// are). Nothing else: the coroutines' own events are the function events they always were.
//
// What is written, for a step of task T on thread `tid`:
// - on the thread, in place of the step's frames, one span named after the task (T's
//   description, "Task-3 (handler)"), from the step's first begin to its end: the thread's
//   timeline keeps the loop's own frames and shows which task held the loop, and for how long;
// - on the task's track (thread id TASK_TRACK_BIT | T), the step's frames as they ran (the
//   outermost coroutine frame and everything inside it, marks included), inside one slice of the
//   task's coroutine for its whole life: it begins with the first step this run sees and ends
//   with the end of the step whose outermost frame returns or raises. The gaps between the steps
//   inside it are the task's waits.
// Every event keeps its time, and each track's events stay in recording order, so the slice
// filter behind this (depth limit, minimum duration, the ends at the stop) applies to a task's
// track as to a thread: a life slice still open at the stop ends there.
//
// Events of a thread outside any step pass unchanged, and a batch with no fact in it and no
// thread inside a step is handed on as it is (one compare an event). Used by the exporter
// thread only. Memory: one entry per thread and per task alive.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/event.h"
#include "core/sink.h"

namespace vespra {

class TaskTracks {
  public:
    // The events of `events` as the tracks show them: `events` itself when nothing changes, else
    // `out`, refilled here. Consecutive calls continue each thread's stream.
    std::span<const Event> split(std::span<const Event> events, std::vector<Event>& out);

    // The tasks' track ids seen so far, ascending.
    const std::vector<uint32_t>& tracks() const { return tracks_; }

  private:
    struct ThreadState {
        bool pending = false;   // a fact came: the thread's next begin starts a step
        uint32_t task = 0;      // the task of the pending or current step
        uint32_t depth = 0;     // frames open in the current step; 0 outside any step
        bool trailing = false;  // the step's last end was an exception's: its payload follows
        uint64_t end_ts = 0;    // the time and word of the step's last end
        uint32_t end_word = 0;
    };

    ThreadState& thread(uint32_t tid) {
        if (tid != last_tid_ || last_ == nullptr) {
            last_ = &threads_[tid];  // unordered_map nodes stay where they are
            last_tid_ = tid;
        }
        return *last_;
    }
    void begin_step(ThreadState& t, const Event& e, std::vector<Event>& out);
    // Moves the events of `t`'s thread from `at` on to the task's track, up to the end of the
    // step or of the thread's run; returns the first event not taken.
    const Event* step_run(ThreadState& t, const Event* at, const Event* last,
                          std::vector<Event>& out);
    void close_step(ThreadState& t, const Event& e, std::vector<Event>& out);
    void end_step(ThreadState& t, uint32_t tid, std::vector<Event>& out);

    std::unordered_map<uint32_t, ThreadState> threads_;
    std::unordered_map<uint32_t, bool> alive_;  // tasks whose life slice is open
    std::vector<uint32_t> tracks_;
    uint32_t in_steps_ = 0;  // threads inside a step or with a fact pending
    uint32_t last_tid_ = 0;
    ThreadState* last_ = nullptr;
};

// The thread names a writer sees behind TaskTracks: a task's track is named by its task's
// description, every thread as `threads` names it.
class TaskTrackNames final : public ThreadNames {
  public:
    TaskTrackNames(const ThreadNames& threads, const CodeLookup& codes,
                   const std::vector<uint32_t>& tracks)
        : threads_(threads), codes_(codes), tracks_(tracks) {}

    std::optional<std::string> name(uint32_t tid) const override;
    std::vector<std::pair<uint32_t, std::string>> snapshot() const override;

  private:
    const ThreadNames& threads_;
    const CodeLookup& codes_;
    const std::vector<uint32_t>& tracks_;
};

}  // namespace vespra
