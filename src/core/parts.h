// Trace parts: every process of a trace writes a file of its own while it runs, and the parts
// are joined into the output when their processes stop.
//
// Why: when all processes appended to one file, a process killed in the middle of a write left
// half a record that every later append followed, and nothing after it could be read. A part
// has one writer, so a torn record can only be the last one of a dead process's part, where the
// joiner cuts it off.
//
// Layout: the parts of OUT are OUT.parts/PID-N (N tells apart the processes of one pid: an exec
// keeps it). The owner holds an exclusive flock on its part for its life; the kernel drops it
// when the process dies or execs, so a part whose lock can be taken belongs to a process that is
// gone, whatever became of its pid. Every change of the set of parts and every append to the
// output happen under an exclusive flock on the output file itself, so that joiners, starts and
// the check of a new root run exclude each other.
//
// Joining (at each process's stop): under the output's lock, every part whose owner is gone is
// cut at its last complete record and appended to the output (copy_file_range: the bytes never
// pass through this process), followed by a record that names the process as cut short; then
// the caller's own part, whole. When no live part is left the trace is finished: the parts'
// folder goes, and a JSON array is closed with "]" (a later process reopens it by the same
// lock). If the first process is killed, the parts stay: readers read the output and the parts
// (see list()), and `vespra join` joins them.
//
// Knows nothing of either format: PartFormat says what the joiner needs of one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/io_error.h"

namespace vespra::parts {

// What the joiner needs of a trace format.
struct PartFormat {
    // What a trace with no records holds: "[" for JSON, nothing for protobuf.
    std::string_view head;
    // A finished trace ends with "]" and a record ends with "," (JSON): the joiner closes the
    // array by turning the last "," into "]", and reopens it the other way.
    bool array;
    // Bytes of complete records at the start of the part open at `fd`: a walk over the records'
    // framing, only for the parts of processes that died.
    Result<uint64_t> (*complete)(int fd);
    // The record that says process `pid` ended without stopping its run: `kept` bytes of its
    // part were joined (0: nothing describes the process yet), `lost` bytes of a torn last
    // record left out.
    std::string (*cut_short)(uint32_t pid, uint64_t kept, uint64_t lost);
};

// For PartFormat::complete: walks the file open at `fd` from its start with `scan`, which gets
// the bytes from a record boundary on and returns how many of them are complete records (a
// record cut by the end of what it is given comes again with more bytes after it), setting
// `*stop` where the bytes cannot go on as a record. Returns the bytes of complete records.
Result<uint64_t> complete_records(int fd, size_t (*scan)(std::span<const uint8_t>, bool* stop));

// The part of the calling process, locked while the object lives. Move-only.
class OwnPart {
  public:
    OwnPart() = default;
    OwnPart(OwnPart&& other) noexcept;
    OwnPart& operator=(OwnPart&& other) noexcept;
    OwnPart(const OwnPart&) = delete;
    OwnPart& operator=(const OwnPart&) = delete;
    // Closes without joining: the part is left for another process, or `vespra join`.
    ~OwnPart();

    explicit operator bool() const { return fd_ >= 0; }
    // The descriptor that holds the lock, for reading the part back.
    int fd() const { return fd_; }
    // The same as the destructor.
    void close();
    // A descriptor of its own for the writer (append-only): closing it keeps the lock.
    Result<int> writer_fd() const;
    const std::string& path() const { return path_; }
    // The output it belongs to, made absolute when it was opened: the stop joins into the same
    // file wherever the program's current directory has gone meanwhile.
    const std::string& output() const { return output_; }

  private:
    friend Result<OwnPart> open_part(const std::string&, const PartFormat&, bool);
    OwnPart(int fd, std::string path, std::string output)
        : fd_(fd), path_(std::move(path)), output_(std::move(output)) {}

    int fd_ = -1;  // holds the flock
    std::string path_;
    std::string output_;
};

// "OUT.parts", the folder of OUT's parts.
std::string folder(const std::string& output);

// Opens the calling process's part of the trace at `output`. A `root` run (the first process
// of a trace) first refuses, with an error naming the process, when a live process writes a
// part of the output (another trace's run), and otherwise empties the output to `head` and
// removes the parts of processes that are gone (an earlier trace nobody joined): both under
// the output's lock, so that of two roots started at once one refuses. A child run joins what
// is there, creating the output and the folder if a finished trace removed them.
Result<OwnPart> open_part(const std::string& output, const PartFormat& format, bool root);

struct JoinReport {
    std::vector<uint32_t> cut_short;  // processes whose parts were joined without their stop
    std::vector<uint32_t> running;    // processes that still write parts
    bool finished() const { return running.empty(); }
};

// Joins the parts of processes that are gone into `output`, then `own` if given (whole, unless
// `own_clean` is false: a writer that failed may have left a torn record), and finishes the
// trace when no live part is left. `own` is closed either way.
Result<JoinReport> join(const std::string& output, const PartFormat& format, OwnPart* own,
                        bool own_clean);

// The parts of `output` in the order a reader takes them (by name), and whether their owners
// still run. Empty when there are none.
struct PartFile {
    std::string path;
    uint32_t pid = 0;
    bool live = false;
};
std::vector<PartFile> list(const std::string& output);

// In a forked child, closes the descriptors of the parent's part that the fork copied (the
// writer's too): the child must not keep its parent's part locked, or a parent that dies
// would look alive. The objects that held them are abandoned by the fork hook, never used.
void forget_inherited();

}  // namespace vespra::parts
