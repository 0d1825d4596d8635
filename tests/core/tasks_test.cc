// TaskTracks on synthetic streams: a step's frames move to the task's track inside its life
// slice, and the thread keeps one span per step.
#include "core/tasks.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"

namespace vespra {
namespace {

using testing::ev;

constexpr uint32_t TID = 7;
constexpr uint32_t TASK = 40;  // the task's id (its description's code id)
constexpr uint32_t TRACK = TASK_TRACK_BIT | TASK;
constexpr uint32_t LOOP = 1, CORO = 2, INNER = 3;

std::vector<Event> split(TaskTracks& tasks, const std::vector<Event>& in) {
    std::vector<Event> out;
    std::span<const Event> got = tasks.split(in, out);
    return {got.begin(), got.end()};
}

// Batches in, what TaskTracks hands on for each.
struct Case {
    const char* name;
    std::vector<std::vector<Event>> in;
    std::vector<std::vector<Event>> want;
};

TEST(TaskTracks, MovesEachStepToItsTask) {
    const std::vector<Case> cases = {
        // Step 1 in one batch: the loop's frame, the fact, the coroutine awaiting another, both
        // suspended. Step 2 in the next: resumed, the inner returns, the coroutine raises.
        {"steps inside one life slice",
         {{ev(1, TID, KIND_START, LOOP), ev(2, TID, KIND_TASK, TASK), ev(2, TID, KIND_START, CORO),
           ev(3, TID, KIND_START, INNER), ev(4, TID, KIND_YIELD, INNER),
           ev(5, TID, KIND_YIELD, CORO), ev(6, TID, KIND_RETURN, LOOP)},
          {ev(10, TID, KIND_TASK, TASK), ev(10, TID, KIND_RESUME, CORO),
           ev(11, TID, KIND_RESUME, INNER), ev(12, TID, KIND_RETURN, INNER),
           ev(13, TID, KIND_UNWIND, CORO)}},
         {{ev(1, TID, KIND_START, LOOP), ev(2, TRACK, KIND_START, CORO),
           ev(2, TID, KIND_SPAN_BEGIN, TASK), ev(2, TRACK, KIND_START, CORO),
           ev(3, TRACK, KIND_START, INNER), ev(4, TRACK, KIND_YIELD, INNER),
           ev(5, TRACK, KIND_YIELD, CORO), ev(5, TID, KIND_SPAN_END, TASK),
           ev(6, TID, KIND_RETURN, LOOP)},
          {ev(10, TID, KIND_SPAN_BEGIN, TASK), ev(10, TRACK, KIND_RESUME, CORO),
           ev(11, TRACK, KIND_RESUME, INNER), ev(12, TRACK, KIND_RETURN, INNER),
           ev(13, TRACK, KIND_UNWIND, CORO), ev(13, TRACK, KIND_UNWIND, CORO),
           ev(13, TID, KIND_SPAN_END, TASK)}}},
        // Marks inside a step go with it; another thread's events stay where they are.
        {"other threads pass while a step is open",
         {{ev(1, TID, KIND_TASK, TASK), ev(1, TID, KIND_START, CORO),
           ev(2, TID + 1, KIND_START, LOOP), ev(3, TID, KIND_SPAN_BEGIN, 9),
           ev(4, TID, KIND_SPAN_END, 9), ev(5, TID + 1, KIND_RETURN, LOOP)}},
         {{ev(1, TRACK, KIND_START, CORO), ev(1, TID, KIND_SPAN_BEGIN, TASK),
           ev(1, TRACK, KIND_START, CORO), ev(2, TID + 1, KIND_START, LOOP),
           ev(3, TRACK, KIND_SPAN_BEGIN, 9), ev(4, TRACK, KIND_SPAN_END, 9),
           ev(5, TID + 1, KIND_RETURN, LOOP)}}},
        // A task that raises, in a run that records exceptions: the end's payload slots (here
        // in the next batch) follow it onto the track before the step ends on the thread.
        {"an exception's payload stays with its end",
         {{ev(1, TID, KIND_TASK, TASK), ev(1, TID, KIND_START, CORO),
           ev(2, TID, KIND_EXCEPTION_END, CORO)},
          {ev(77, TID, KIND_PAYLOAD, 0), ev(3, TID, KIND_RETURN, LOOP)}},
         {{ev(1, TRACK, KIND_START, CORO), ev(1, TID, KIND_SPAN_BEGIN, TASK),
           ev(1, TRACK, KIND_START, CORO), ev(2, TRACK, KIND_EXCEPTION_END, CORO)},
          {ev(77, TRACK, KIND_PAYLOAD, 0), ev(2, TRACK, KIND_UNWIND, CORO),
           ev(2, TID, KIND_SPAN_END, TASK), ev(3, TID, KIND_RETURN, LOOP)}}},
        // A fact whose begin was lost (a full ring dropped it) opens no step.
        {"a fact without its begin",
         {{ev(1, TID, KIND_TASK, TASK), ev(2, TID, KIND_RETURN, LOOP),
           ev(3, TID, KIND_START, CORO)}},
         {{ev(2, TID, KIND_RETURN, LOOP), ev(3, TID, KIND_START, CORO)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TaskTracks tasks;
        for (size_t i = 0; i < c.in.size(); ++i) EXPECT_EQ(split(tasks, c.in[i]), c.want[i]);
    }
}

}  // namespace
}  // namespace vespra
