#include "core/process_name.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace vespra::process_name {
namespace {

std::mutex LOCK;
ProcessName CURRENT;               // guarded by LOCK
std::atomic<uint64_t> VERSION{0};  // written under LOCK

}  // namespace

void set(ProcessName value) {
    ProcessName old;
    {
        std::lock_guard<std::mutex> lock(LOCK);
        old = std::exchange(CURRENT, std::move(value));
        VERSION.fetch_add(1, std::memory_order_release);
    }
}

ProcessName get(uint64_t* version) {
    std::lock_guard<std::mutex> lock(LOCK);
    *version = VERSION.load(std::memory_order_relaxed);
    return CURRENT;
}

uint64_t version() { return VERSION.load(std::memory_order_acquire); }

}  // namespace vespra::process_name
