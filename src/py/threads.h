// ThreadRegistry: the Python names of the threads that recorded events in one run, keyed by the
// 32-bit thread id every batch carries. Filled on the recording threads themselves (the name is
// asked of `threading` on the thread it belongs to), read by the trace writer on the exporter
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vespra {

class ThreadRegistry {
  public:
    // On the thread whose id is `tid`, attached to the interpreter. True when, on return, a name
    // is stored for `tid`. Runs Python code (threading.current_thread().name) with no lock held;
    // every Python error is cleared and reported as false so the caller may retry later. Names
    // that say nothing ("" and the "Dummy-N" of threads `threading` did not start) are refused.
    bool ensure(uint32_t tid);

    // Any thread, no interpreter needed.
    std::optional<std::string> name(uint32_t tid) const;
    // Every stored (tid, name), ascending by tid. Copies under the read lock, sorts after.
    std::vector<std::pair<uint32_t, std::string>> snapshot() const;

    // The first name stored for a tid stays; returns false when one was already there.
    bool insert(uint32_t tid, std::string name);

  private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<uint32_t, std::string> names_;
};

// The name `threading` gives a thread it did not start itself ("Dummy-1", ...), or none at all:
// such names are not worth keeping.
bool is_placeholder_thread_name(const std::string& name);

}  // namespace vespra
