#include "py/described.h"

#include <string_view>

#include "core/event.h"
#include "core/evqueue.h"

namespace vespra::monitoring {

namespace {
thread_local bool DESCRIBING = false;
}  // namespace

Describing::Describing() { DESCRIBING = true; }
Describing::~Describing() { DESCRIBING = false; }

bool describing() { return DESCRIBING; }

std::optional<uint32_t> resolve_described(State& state, PyObject* code, Hot& hot, uint8_t kind,
                                          ColdInFlight& in_flight) {
    if (state.abandoned()) return std::nullopt;
    in_flight.arm();
    if (hot.resolved_queue != state.queue_id)
        record_open_frames(state, code, hot, kind, in_flight);
    auto key = reinterpret_cast<uint64_t>(code);
    std::optional<uint32_t> id = resolve_cold(state, code, key, hot, in_flight, describe_code);
    if (id && *id != LEFT_OUT) settle_thread(state, hot, in_flight);
    return id;
}

void record_with_values(State& state, Hot& hot, uint64_t now, uint8_t kind, uint32_t id,
                        std::span<const marks_api::MarkArg> described) {
    std::string_view bytes;
    if (!described.empty()) bytes = marks_api::payload_of(state, hot, described, nullptr);
    PyErr_Clear();
    const PackedEvent* batch_end = hot.end;
    if (bytes.empty()) {
        record(*state.queue_raw, now, pack_word(kind, id));
    } else {
        uint8_t valued = kind == KIND_START    ? KIND_CALL
                         : kind == KIND_RETURN ? KIND_RETURN_VALUE
                                               : KIND_EXCEPTION_END;
        vespra::record_mark(*state.queue_raw, now, pack_word(valued, id), bytes,
                            state.cold_in_flight);
    }
    if (hot.end != batch_end) state.resume_parked_export();  // a new batch
}

}  // namespace vespra::monitoring
