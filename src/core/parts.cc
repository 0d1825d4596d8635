#include "core/parts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

namespace vespra::parts {
namespace {

constexpr mode_t FILE_MODE = 0666;    // less the umask, applied by open(2)
constexpr mode_t FOLDER_MODE = 0777;  // likewise
// One copy_file_range call at most this large, so that the sizes stay far below SSIZE_MAX.
constexpr size_t MAX_COPY = size_t{1} << 30;

int open_retrying(const char* path, int flags) {
    for (;;) {
        int fd = ::open(path, flags, FILE_MODE);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

// flock, waiting through signals (a blocking lock is interrupted by any handled signal).
int lock(int fd, int operation) {
    for (;;) {
        if (::flock(fd, operation) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

Result<uint64_t> size_of(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return IoError::os(errno);
    return static_cast<uint64_t>(st.st_size);
}

Status write_at(int fd, std::string_view bytes, uint64_t offset) {
    while (!bytes.empty()) {
        ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return IoError::os(errno);
        if (n == 0) return IoError::write_zero();
        bytes.remove_prefix(static_cast<size_t>(n));
        offset += static_cast<uint64_t>(n);
    }
    return Status::success();
}

// The byte at `offset`, or -1.
int byte_at(int fd, uint64_t offset) {
    unsigned char c;
    return ::pread(fd, &c, 1, static_cast<off_t>(offset)) == 1 ? c : -1;
}

// Copies `len` bytes of `in` from offset 0 to `out` at `*at`, in the kernel: copy_file_range,
// or, where the file systems do not offer it, read and write through a buffer.
Status copy(int in, int out, uint64_t len, uint64_t* at) {
    off_t from = 0;
    off_t to = static_cast<off_t>(*at);
    bool kernel = true;
    std::string buffer;
    while (len > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(len, MAX_COPY));
        ssize_t n;
        if (kernel) {
            n = ::copy_file_range(in, &from, out, &to, want, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                          errno == ENOSYS)) {
                kernel = false;
                continue;
            }
        } else {
            buffer.resize(std::min<size_t>(want, size_t{1} << 20));
            n = ::pread(in, buffer.data(), buffer.size(), from);
            if (n > 0) {
                if (Status st = write_at(out, std::string_view(buffer.data(), n), to); !st.ok()) {
                    return st;
                }
                from += n;
                to += n;
            }
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return IoError::os(errno);
        if (n == 0) return IoError::other("a trace part ended before its length");
        len -= static_cast<uint64_t>(n);
    }
    *at = static_cast<uint64_t>(to);
    return Status::success();
}

// "PID-N" -> PID; 0 for a name of no part.
uint32_t pid_of(std::string_view name) {
    size_t dash = name.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == name.size()) return 0;
    uint32_t pid = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + dash, pid);
    if (ec != std::errc() || end != name.data() + dash) return 0;
    for (char c : name.substr(dash + 1))
        if (c < '0' || c > '9') return 0;
    return pid;
}

// The names of the parts in `dir`, sorted.
std::vector<std::string> part_names(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* entry = ::readdir(d)) {
        if (pid_of(entry->d_name) != 0) names.emplace_back(entry->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// "process PID (its command line)", as far as /proc tells it.
std::string describe(uint32_t pid) {
    std::string text = "process " + std::to_string(pid);
    int fd = open_retrying(("/proc/" + std::to_string(pid) + "/cmdline").c_str(),
                           O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n <= 0) return text;
    std::string command(buf, static_cast<size_t>(n));
    while (!command.empty() && command.back() == '\0') command.pop_back();
    std::replace(command.begin(), command.end(), '\0', ' ');
    if (static_cast<size_t>(n) == sizeof buf) command += " ...";
    return text + " (" + command + ")";
}

// The descriptors of this process's own part, by file identity, for forget_inherited: a number
// may be reused for another file once the part is closed, so a slot only counts while the
// descriptor still names the same file. Slots are taken under the tracer's start lock, never
// while a fork is under way.
struct Inherited {
    std::atomic<int> fd{-1};
    std::atomic<dev_t> dev{0};
    std::atomic<ino_t> ino{0};
};
Inherited INHERITED[4];

void remember(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return;
    for (Inherited& slot : INHERITED) {
        int held = slot.fd.load();
        struct stat now;
        bool stale = held < 0 || ::fstat(held, &now) != 0 || now.st_dev != slot.dev.load() ||
                     now.st_ino != slot.ino.load();
        if (!stale) continue;
        slot.dev.store(st.st_dev);
        slot.ino.store(st.st_ino);
        slot.fd.store(fd);
        return;
    }
}

// The output's lock, held while the object lives.
class OutputLock {
  public:
    static Result<OutputLock> take(const std::string& output) {
        int fd = open_retrying(output.c_str(), O_RDWR | O_CREAT | O_CLOEXEC);
        if (fd < 0) return IoError::os(errno);
        if (lock(fd, LOCK_EX) != 0) {
            IoError error = IoError::os(errno);
            ::close(fd);
            return error;
        }
        return OutputLock(fd);
    }
    OutputLock(OutputLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OutputLock& operator=(OutputLock&&) = delete;
    ~OutputLock() {
        if (fd_ < 0) return;
        ::flock(fd_, LOCK_UN);  // explicitly: a forked copy of the descriptor must not keep it
        ::close(fd_);
    }
    int fd() const { return fd_; }

  private:
    explicit OutputLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace

Result<uint64_t> complete_records(int fd, size_t (*scan)(std::span<const uint8_t>, bool* stop)) {
    constexpr size_t CHUNK = size_t{4} << 20;
    constexpr size_t MAX_RECORD = size_t{64} << 20;  // more is no record of ours: stop there
    std::vector<uint8_t> buf(CHUNK);
    size_t have = 0;
    uint64_t done = 0;  // file offset of buf[0]
    for (;;) {
        if (buf.size() - have < CHUNK) buf.resize(have + CHUNK);
        ssize_t n = ::pread(fd, buf.data() + have, CHUNK, static_cast<off_t>(done + have));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return IoError::os(errno);
        if (n == 0) return done;
        have += static_cast<size_t>(n);
        bool stop = false;
        size_t used = scan(std::span<const uint8_t>(buf.data(), have), &stop);
        done += used;
        have -= used;
        if (stop || have > MAX_RECORD) return done;
        if (used > 0 && have > 0) std::memmove(buf.data(), buf.data() + used, have);
    }
}

// ---- OwnPart ---------------------------------------------------------------------------------

OwnPart::OwnPart(OwnPart&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      output_(std::move(other.output_)) {}

OwnPart& OwnPart::operator=(OwnPart&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        output_ = std::move(other.output_);
    }
    return *this;
}

OwnPart::~OwnPart() { close(); }

void OwnPart::close() {
    if (fd_ < 0) return;
    ::close(std::exchange(fd_, -1));
}

Result<int> OwnPart::writer_fd() const {
    int fd = open_retrying(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return IoError::os(errno);
    remember(fd);
    return fd;
}

std::string folder(const std::string& output) { return output + ".parts"; }

Result<OwnPart> open_part(const std::string& path, const PartFormat& format, bool root) {
    std::string output = path;
    if (!output.empty() && output[0] != '/') {
        char cwd[4096];
        // Without a current directory (removed) the path stays as given.
        if (::getcwd(cwd, sizeof cwd) != nullptr) output = std::string(cwd) + "/" + output;
    }
    Result<OutputLock> held = OutputLock::take(output);
    if (!held) return held.error();
    const int out = held.value().fd();
    std::string dir = folder(output);

    if (root) {
        for (const PartFile& part : list(output)) {
            if (part.live) {
                return IoError::in_use("the trace is being written by " + describe(part.pid) +
                                       " of another run; choose another output, or wait until "
                                       "that run ends");
            }
            ::unlink(part.path.c_str());  // of an earlier trace that this one replaces
        }
        if (::ftruncate(out, 0) != 0) return IoError::os(errno);
        if (Status st = write_at(out, format.head, 0); !st.ok()) return st.error();
    }

    if (::mkdir(dir.c_str(), FOLDER_MODE) != 0 && errno != EEXIST) return IoError::os(errno);
    std::string prefix = dir + "/" + std::to_string(::getpid()) + "-";
    for (unsigned n = 0;; ++n) {
        std::string part = prefix + std::to_string(n);
        int fd = open_retrying(part.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC);
        if (fd < 0 && errno == EEXIST) continue;  // a process of this pid before an exec
        if (fd < 0) return IoError::os(errno);
        // Nobody else has the new file open: the lock is immediate.
        if (lock(fd, LOCK_EX | LOCK_NB) != 0) {
            IoError error = IoError::os(errno);
            ::close(fd);
            return error;
        }
        remember(fd);
        return OwnPart(fd, std::move(part), std::move(output));
    }
}

struct Joiner {
    int out;
    uint64_t end;  // the output's size
    const PartFormat& format;

    // Appends `len` bytes of the part at `fd`.
    Status append(int fd, uint64_t len) { return copy(fd, out, len, &end); }

    Status append_text(std::string_view text) {
        if (Status st = write_at(out, text, end); !st.ok()) return st;
        end += text.size();
        return Status::success();
    }

    // A part half appended would be appended again by the next joiner: a failed append is
    // taken back.
    Status undo_on_failure(Status st, uint64_t before) {
        if (!st.ok() && ::ftruncate(out, static_cast<off_t>(before)) == 0) end = before;
        return st;
    }

    // Appends the complete records of a dead process's part, and says that it was cut short.
    Status append_dead(int fd, uint32_t pid) {
        Result<uint64_t> size = size_of(fd);
        if (!size) return size.error();
        Result<uint64_t> complete = format.complete(fd);
        if (!complete) return complete.error();
        if (Status st = append(fd, complete.value()); !st.ok()) return st;
        return append_text(
            format.cut_short(pid, complete.value(), size.value() - complete.value()));
    }
};

Result<JoinReport> join(const std::string& output, const PartFormat& format, OwnPart* own,
                        bool own_clean) {
    // Closes the own part on every way out: its lock goes only after it has been joined.
    struct CloseOwn {
        OwnPart* own;
        ~CloseOwn() {
            if (own) own->close();
        }
    } close_own{own};

    Result<OutputLock> held = OutputLock::take(output);
    if (!held) return held.error();
    Result<uint64_t> size = size_of(held.value().fd());
    if (!size) return size.error();
    Joiner joiner{held.value().fd(), size.value(), format};
    // Emptied or removed by hand while a process of the trace ran: it starts anew.
    if (joiner.end == 0) {
        if (Status st = joiner.append_text(format.head); !st.ok()) return st.error();
    }

    // A finished JSON array is open again while records are appended: "]" becomes ",", or
    // goes, after "[".
    if (format.array && joiner.end > 0 && byte_at(joiner.out, joiner.end - 1) == ']') {
        if (joiner.end >= 2 && byte_at(joiner.out, joiner.end - 2) == '[') {
            if (::ftruncate(joiner.out, static_cast<off_t>(--joiner.end)) != 0) {
                return IoError::os(errno);
            }
        } else if (Status st = write_at(joiner.out, ",", joiner.end - 1); !st.ok()) {
            return st.error();
        }
    }

    JoinReport report;
    std::string dir = folder(output);
    for (const std::string& name : part_names(dir)) {
        std::string path = dir + "/" + name;
        if (own && *own && path == own->path()) continue;
        int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;  // removed by hand meanwhile
        uint32_t pid = pid_of(name);
        if (lock(fd, LOCK_EX | LOCK_NB) != 0) {
            report.running.push_back(pid);
            ::close(fd);
            continue;
        }
        uint64_t before = joiner.end;
        Status st = joiner.undo_on_failure(joiner.append_dead(fd, pid), before);
        ::close(fd);
        if (!st.ok()) return st.error();
        ::unlink(path.c_str());
        report.cut_short.push_back(pid);
    }

    if (own && *own) {
        Status st;
        uint64_t before = joiner.end;
        if (own_clean) {
            Result<uint64_t> own_size = size_of(own->fd());
            st = own_size ? joiner.append(own->fd(), own_size.value()) : Status(own_size.error());
        } else {
            Result<uint64_t> complete = format.complete(own->fd());
            st = complete ? joiner.append(own->fd(), complete.value()) : Status(complete.error());
        }
        if (!joiner.undo_on_failure(st, before).ok()) return st.error();
        ::unlink(own->path().c_str());
    }

    if (report.finished()) {
        ::rmdir(dir.c_str());  // fails, harmlessly, when something else was put there
        if (format.array) {
            int last = joiner.end > 0 ? byte_at(joiner.out, joiner.end - 1) : -1;
            Status st = last == ',' ? write_at(joiner.out, "]", joiner.end - 1)
                                    : joiner.append_text("]");
            if (!st.ok()) return st.error();
        }
    }
    return report;
}

std::vector<PartFile> list(const std::string& output) {
    std::vector<PartFile> parts;
    std::string dir = folder(output);
    for (const std::string& name : part_names(dir)) {
        PartFile part{dir + "/" + name, pid_of(name), false};
        int fd = open_retrying(part.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        part.live = lock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);  // drops a shared lock taken here
        parts.push_back(std::move(part));
    }
    return parts;
}

void forget_inherited() {
    for (Inherited& slot : INHERITED) {
        int fd = slot.fd.exchange(-1);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_dev == slot.dev.load() &&
            st.st_ino == slot.ino.load()) {
            ::close(fd);
        }
    }
}

}  // namespace vespra::parts
