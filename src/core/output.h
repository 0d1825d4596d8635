// SharedFile: the byte sink of every trace writer. It writes either a process's own part of a
// trace (core/parts.h), which no other process writes, or an output that is no regular file (a
// pipe, a device) and takes no parts, which several processes (a parent and its forked
// children) may append to, each through its own SharedFile: there every flush writes all pending
// bytes at the end of the file in one run, under an exclusive flock, so runs of different
// processes never interleave inside each other.
//
// A SharedFile belongs to one writer on one thread and has no internal lock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/io_error.h"

namespace vespra {

class SharedFile {
  public:
    static constexpr size_t INITIAL_CAPACITY = 128 * 1024;

    // Opens the file for appending, creating it if missing; with truncate, a regular file is then
    // emptied through that descriptor (a FIFO is opened once, so its reader sees one writer).
    // Mode 0666 less the umask; the descriptor is close-on-exec. Writes nothing.
    static Result<SharedFile> open(const std::string& path, bool truncate);
    // Over a descriptor opened for appending to a file of this writer alone (a part), which
    // it closes: flushes take no lock.
    static SharedFile adopt(int fd);

    SharedFile(SharedFile&& other) noexcept;
    SharedFile& operator=(SharedFile&& other) noexcept;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;
    // Flushes (errors discarded) and closes.
    ~SharedFile();

    // Appends to the buffer; never touches the file, never fails.
    size_t write(std::string_view bytes);
    // The same as write(bytes.view()) followed by bytes.clear(), but when nothing is pending the
    // storage of the two buffers is exchanged instead of copied: a writer that renders a whole
    // batch hands it over for free and gets an empty buffer of the same kind back.
    size_t write(ByteBuffer& bytes);
    // Space for `n` more bytes at the end of the buffer, to be written in place and handed back
    // with commit(): a writer renders into the buffer with no copy. Any write() in between
    // invalidates the space.
    char* room(size_t n) { return pending_.room(n); }
    void commit(char* end) { pending_.commit(end); }
    // Writes all pending bytes under LOCK_EX. Pending bytes are discarded whatever the write
    // gave; a failed lock keeps them for the next flush.
    Status flush();

    size_t pending_size() const { return pending_.size(); }

  private:
    SharedFile(int fd, bool shared);

    ByteBuffer pending_;
    int fd_ = -1;
    bool shared_ = true;  // other processes append too: each flush takes the lock
};

}  // namespace vespra
