// SharedFile: what reaches the file, when, in which runs, and what a failure costs.
#include "core/output.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vespra {
namespace {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/vespra-output-XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

SharedFile open_ok(const std::string& path, bool truncate) {
    Result<SharedFile> r = SharedFile::open(path, truncate);
    if (!r.ok()) ADD_FAILURE() << r.error().text();
    return r.take();
}

// Holds LOCK_EX on the file through a descriptor of its own, as another process would.
class ForeignLock {
  public:
    explicit ForeignLock(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {
        EXPECT_EQ(::flock(fd_, LOCK_EX), 0);
    }
    ~ForeignLock() { ::close(fd_); }
    void release() { ::flock(fd_, LOCK_UN); }

  private:
    int fd_;
};

TEST(IoErrorText, OsErrorsCarryDescriptionAndNumber) {
    EXPECT_EQ(IoError::os(ENOENT).text(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::os(ENOSPC).text(), "No space left on device (os error 28)");
    EXPECT_EQ(IoError::os(ENOSPC).os_errno(), ENOSPC);
    EXPECT_EQ(IoError::os(ENOSPC).kind(), IoError::Kind::Os);
    EXPECT_EQ(IoError::write_zero().text(), "failed to write whole buffer");
    EXPECT_EQ(IoError::write_zero().kind(), IoError::Kind::WriteZero);
    EXPECT_EQ(IoError::other("serializer panicked").text(), "serializer panicked");
    EXPECT_EQ(IoError::other("x").kind(), IoError::Kind::Other);
}

TEST(SharedFileOpen, TruncateEmptiesAndAppendKeeps) {
    TempDir dir;
    std::string path = dir.file("trace.json");
    spit(path, "old content");
    {
        SharedFile f = open_ok(path, /*truncate=*/false);
        EXPECT_EQ(slurp(path), "old content");  // opening writes nothing
        f.write("+new");
        ASSERT_TRUE(f.flush().ok());
    }
    EXPECT_EQ(slurp(path), "old content+new");
    {
        SharedFile f = open_ok(path, /*truncate=*/true);
        EXPECT_EQ(slurp(path), "");
        f.write("fresh");
    }
    EXPECT_EQ(slurp(path), "fresh");
}

TEST(SharedFileOpen, AppendsBehindBytesOthersWroteMeanwhile) {
    TempDir dir;
    std::string path = dir.file("t");
    SharedFile f = open_ok(path, true);
    f.write("a");
    ASSERT_TRUE(f.flush().ok());
    {
        std::ofstream other(path, std::ios::binary | std::ios::app);
        other << "b";
    }
    f.write("c");
    ASSERT_TRUE(f.flush().ok());
    EXPECT_EQ(slurp(path), "abc");
}

TEST(SharedFileOpen, FailuresCreateNothingAndCarryTheOsError) {
    TempDir dir;
    std::string path = dir.file("missing/trace.json");
    Result<SharedFile> r = SharedFile::open(path, true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "No such file or directory (os error 2)");
    EXPECT_NE(::access(dir.file("missing").c_str(), F_OK), 0);

    Result<SharedFile> r2 = SharedFile::open(dir.path(), false);  // a directory
    ASSERT_FALSE(r2.ok());
    EXPECT_EQ(r2.error().os_errno(), EISDIR);
}

TEST(SharedFileOpen, ModeFollowsUmaskAndDescriptorIsCloseOnExec) {
    TempDir dir;
    std::string path = dir.file("t");
    mode_t old = ::umask(027);
    {
        SharedFile f = open_ok(path, true);
        ::umask(old);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u);

        // Find our descriptor among the process's open files and check its flags.
        int found = 0;
        DIR* d = ::opendir("/proc/self/fd");
        ASSERT_NE(d, nullptr);
        while (dirent* ent = ::readdir(d)) {
            int fd = std::atoi(ent->d_name);
            char target[4096];
            ssize_t n = ::readlink(("/proc/self/fd/" + std::string(ent->d_name)).c_str(), target,
                                   sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (path != target) continue;
            ++found;
            EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
            EXPECT_TRUE(::fcntl(fd, F_GETFL) & O_APPEND);
        }
        ::closedir(d);
        EXPECT_EQ(found, 1);  // the truncating descriptor is not left open
    }
    ::umask(old);
}

TEST(SharedFileBuffering, BytesReachTheFileOnlyAtFlushOrDestruction) {
    TempDir dir;
    std::string path = dir.file("t");
    {
        SharedFile f = open_ok(path, true);
        EXPECT_EQ(f.write(""), 0u);
        EXPECT_EQ(f.pending_size(), 0u);
        EXPECT_EQ(f.write("hello "), 6u);
        EXPECT_EQ(slurp(path), "");
        ASSERT_TRUE(f.flush().ok());
        EXPECT_EQ(f.pending_size(), 0u);
        EXPECT_EQ(slurp(path), "hello ");
        f.write("world");

        SharedFile moved = std::move(f);  // the moved-from file neither flushes nor closes
    }
    EXPECT_EQ(slurp(path), "hello world");
}

TEST(SharedFileBuffering, HandedOverBuffersComeBackEmptyWhetherSwappedOrCopied) {
    TempDir dir;
    std::string path = dir.file("t");
    {
        SharedFile f = open_ok(path, true);
        ByteBuffer batch;
        batch.append("first;");
        EXPECT_EQ(f.write(batch), 6u);  // nothing pending: taken over whole
        EXPECT_TRUE(batch.empty());
        batch.append("second;");
        EXPECT_EQ(f.write(batch), 7u);  // behind pending bytes: copied
        EXPECT_TRUE(batch.empty());
        EXPECT_EQ(f.pending_size(), 13u);
        ASSERT_TRUE(f.flush().ok());
        batch.append("third;");  // the buffer that came back is fully usable
        f.write(batch);
        f.write("fourth");
    }
    EXPECT_EQ(slurp(path), "first;second;third;fourth");
}

TEST(SharedFileBuffering, LargeRunGrowsTheBufferAndLandsWhole) {
    TempDir dir;
    std::string path = dir.file("t");
    SharedFile f = open_ok(path, true);
    std::string big;
    for (int i = 0; big.size() < 3 * SharedFile::INITIAL_CAPACITY; ++i)
        big += std::to_string(i) + ";";
    f.write(big.substr(0, 1000));
    f.write(big.substr(1000));
    EXPECT_EQ(f.pending_size(), big.size());
    ASSERT_TRUE(f.flush().ok());
    EXPECT_EQ(slurp(path), big);
}

TEST(SharedFileLocking, EmptyFlushTakesNoLock) {
    TempDir dir;
    std::string path = dir.file("t");
    SharedFile f = open_ok(path, true);
    ForeignLock lock(path);
    auto done = std::async(std::launch::async, [&] { return f.flush().ok(); });
    bool finished = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    lock.release();  // unblock a flush that waited, so the test ends either way
    EXPECT_TRUE(finished) << "flush of nothing waited for the file lock";
    EXPECT_TRUE(done.get());
}

TEST(SharedFileLocking, FlushWaitsForTheLockThenWritesEverything) {
    TempDir dir;
    std::string path = dir.file("t");
    SharedFile f = open_ok(path, true);
    f.write("run");
    ForeignLock lock(path);
    auto done = std::async(std::launch::async, [&] { return f.flush().ok(); });
    EXPECT_EQ(done.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(slurp(path), "");
    lock.release();
    EXPECT_TRUE(done.get());
    EXPECT_EQ(slurp(path), "run");
}

TEST(SharedFileFailure, FullDeviceReportsTheOsErrorAndDiscardsTheRun) {
    Result<SharedFile> r = SharedFile::open("/dev/full", false);
    ASSERT_TRUE(r.ok()) << r.error().text();
    SharedFile f = r.take();
    f.write("doomed");
    Status s = f.flush();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text(), "No space left on device (os error 28)");
    EXPECT_EQ(f.pending_size(), 0u);
    // The next run is not polluted with the discarded bytes, and the lock was released: a
    // second flush gets the device's error again rather than hanging.
    f.write("x");
    EXPECT_EQ(f.flush().error().os_errno(), ENOSPC);
}

// Two processes append 10,000 records each, flushing after every 100: the lock must keep every
// flushed run of 100 in one piece, and nothing may be lost or duplicated.
TEST(SharedFileProcesses, RunsOfTwoProcessesNeverInterleave) {
    TempDir dir;
    std::string path = dir.file("t");
    { SharedFile create = open_ok(path, true); }
    constexpr int RECORDS = 10000, RUN = 100;

    auto writer = [&](char who) {
        Result<SharedFile> r = SharedFile::open(path, false);
        if (!r.ok()) return false;
        SharedFile f = r.take();
        for (int i = 0; i < RECORDS; ++i) {
            f.write(std::string(1, who) + std::to_string(i) + "\n");
            if ((i + 1) % RUN == 0 && !f.flush().ok()) return false;
        }
        return true;
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(writer('c') ? 0 : 1);
    EXPECT_TRUE(writer('p'));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::istringstream lines(slurp(path));
    std::map<char, int> next;  // each writer's next expected record
    std::string line;
    int in_run = 0;
    char run_owner = 0;
    while (std::getline(lines, line)) {
        ASSERT_GE(line.size(), 2u);
        char who = line[0];
        int i = std::stoi(line.substr(1));
        ASSERT_EQ(i, next[who]) << "record of " << who << " lost, repeated or reordered";
        ++next[who];
        if (in_run == 0) run_owner = who;
        ASSERT_EQ(who, run_owner) << "a run of " << run_owner << " was split before record " << i;
        in_run = (in_run + 1) % RUN;
    }
    EXPECT_EQ(next['p'], RECORDS);
    EXPECT_EQ(next['c'], RECORDS);
}

}  // namespace
}  // namespace vespra
