// What a trace calls the process it comes from: the name of its process track (and of its JSON
// metadata) and, where known, its command line. One per process: the interpreter side sets it
// (from the script or module the process runs, or the name multiprocessing gives a worker) and
// the writers read it on the exporter thread. A forked child inherits its parent's, as it
// inherits everything else in memory, until something names it anew.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vespra {

struct ProcessName {
    std::string name = "python";
    std::vector<std::string> cmdline;  // empty when not known

    bool operator==(const ProcessName&) const = default;
};

namespace process_name {

// Replaces the process's name. Any thread. The lock it takes is held only while two strings are
// copied, never across a call out, and no export thread runs at a fork (they are parked first),
// so a forked child never finds it held.
void set(ProcessName value);
// The current name, and in `version` the version() it belongs to.
ProcessName get(uint64_t* version);
// Changes with every set(). A writer compares it with the version it last wrote: one relaxed
// load per batch tells it whether the name must go out again.
uint64_t version();

}  // namespace process_name
}  // namespace vespra
