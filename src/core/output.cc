#include "core/output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace vespra {

namespace {

constexpr mode_t FILE_MODE = 0666;  // less the umask, applied by open(2)

// One write(2) call at most this large: Linux caps a single write near 2 GiB anyway, and a
// bounded size keeps the arithmetic below SSIZE_MAX everywhere.
constexpr size_t MAX_WRITE_CHUNK = size_t{1} << 30;

int open_retrying(const char* path, int flags) {
    for (;;) {
        int fd = ::open(path, flags, FILE_MODE);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

}  // namespace

SharedFile::SharedFile(int fd, bool shared) : fd_(fd), shared_(shared) {
    pending_.reserve(INITIAL_CAPACITY);
}

SharedFile SharedFile::adopt(int fd) { return SharedFile(fd, false); }

Result<SharedFile> SharedFile::open(const std::string& path, bool truncate) {
    // One open, then the truncation on that descriptor: a FIFO's reader that saw a first
    // descriptor close would take it for the end of the trace, and the writes that follow would
    // meet a closed pipe. Only a regular file is truncated (a FIFO or a device has nothing to
    // empty).
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC);
    if (fd < 0) return IoError::os(errno);
    if (truncate) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0)) {
            IoError error = IoError::os(errno);
            ::close(fd);
            return error;
        }
    }
    return SharedFile(fd, true);
}

SharedFile::SharedFile(SharedFile&& other) noexcept
    : pending_(std::move(other.pending_)),
      fd_(std::exchange(other.fd_, -1)),
      shared_(other.shared_) {}

SharedFile& SharedFile::operator=(SharedFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            (void)flush();
            ::close(fd_);
        }
        pending_ = std::move(other.pending_);
        fd_ = std::exchange(other.fd_, -1);
        shared_ = other.shared_;
    }
    return *this;
}

SharedFile::~SharedFile() {
    if (fd_ < 0) return;  // moved from
    (void)flush();        // nobody is left to hear about a failure here
    ::close(fd_);
}

size_t SharedFile::write(std::string_view bytes) {
    pending_.append(bytes);
    return bytes.size();
}

size_t SharedFile::write(ByteBuffer& bytes) {
    size_t n = bytes.size();
    if (pending_.empty()) {
        pending_.swap(bytes);
    } else {
        pending_.append(bytes.view());
    }
    bytes.clear();
    return n;
}

Status SharedFile::flush() {
    if (pending_.empty()) return Status::success();

    while (shared_ && ::flock(fd_, LOCK_EX) != 0) {
        // Nothing was written: keep the bytes for the next flush.
        if (errno != EINTR) return IoError::os(errno);
    }

    // O_APPEND puts every write at the current end of the file, behind whatever other processes
    // appended while we waited for the lock.
    Status result;
    const char* data = pending_.data();
    size_t left = pending_.size();
    while (left > 0) {
        ssize_t n = ::write(fd_, data, std::min(left, MAX_WRITE_CHUNK));
        if (n < 0) {
            if (errno == EINTR) continue;
            result = IoError::os(errno);
            break;
        }
        if (n == 0) {
            result = IoError::write_zero();
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }

    // Whatever happened, the run is over: retrying later could only duplicate its first part.
    pending_.clear();
    if (shared_) (void)::flock(fd_, LOCK_UN);
    return result;
}

}  // namespace vespra
