// SharedFile: what reaches the file, when, in which runs, and what a failure costs.
#include "core/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>

#include "test_util.h"

namespace vespra {
namespace {

using namespace std::chrono_literals;
using testing::TempTrace;

size_t open_descriptors() {
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

TEST(SharedFileOpen, TruncateEmptiesAndAppendKeeps) {
    TempTrace t;
    std::ofstream(t.path) << "old";
    {
        SharedFile f = t.open(false);
        EXPECT_EQ(t.contents(), "old");  // opening writes nothing
        f.write("+new");
    }
    EXPECT_EQ(t.contents(), "old+new");
    {
        SharedFile f = t.open(true);
        EXPECT_EQ(t.contents(), "");
    }
}

// A child exec'd by the traced program must not inherit the trace file.
TEST(SharedFileOpen, ModeFollowsUmaskAndOnlyOneCloseOnExecDescriptorStays) {
    TempTrace t;
    int lowest = ::open("/dev/null", O_RDONLY);  // the number the next open will take
    ::close(lowest);
    size_t before = open_descriptors();
    mode_t old = ::umask(027);
    SharedFile f = t.open(true);
    ::umask(old);
    EXPECT_EQ(open_descriptors(), before + 1);  // the truncating descriptor was closed
    struct stat st;
    ASSERT_EQ(::stat(t.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(::fcntl(lowest, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(lowest, F_GETFL) & O_APPEND);
}

TEST(SharedFileBuffering, BytesReachTheFileOnlyAtFlushOrDestruction) {
    TempTrace t;
    {
        SharedFile f = t.open(true);
        EXPECT_EQ(f.write("a;"), 2u);
        EXPECT_EQ(t.contents(), "");
        ASSERT_TRUE(f.flush().ok());
        EXPECT_EQ(t.contents(), "a;");
        // A handed-over buffer comes back empty and usable, whether or not bytes were pending.
        ByteBuffer batch;
        for (const char* text : {"b;", "c;"}) {
            batch.append(text);
            EXPECT_EQ(f.write(batch), 2u);
            EXPECT_TRUE(batch.empty());
        }
        SharedFile moved = std::move(f);  // the moved-from file neither flushes nor closes
    }
    EXPECT_EQ(t.contents(), "a;b;c;");
}

// The lock keeps other processes' runs out of ours; a periodic flush with nothing to write must
// not wait for a process that holds it.
TEST(SharedFileLocking, FlushWaitsForTheLockButAnEmptyFlushTakesNone) {
    TempTrace t;
    SharedFile f = t.open(true);
    int other = ::open(t.path.c_str(), O_RDONLY);  // another process's view of the file
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    auto empty = std::async(std::launch::async, [&] { return f.flush().ok(); });
    bool empty_returned = empty.wait_for(5s) == std::future_status::ready;
    if (!empty_returned) ::flock(other, LOCK_UN);  // let the test end either way
    ASSERT_TRUE(empty_returned) << "a flush of nothing waited for the lock";

    f.write("run");
    auto full = std::async(std::launch::async, [&] { return f.flush().ok(); });
    EXPECT_EQ(full.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(t.contents(), "");
    ::flock(other, LOCK_UN);
    EXPECT_TRUE(full.get());
    EXPECT_EQ(t.contents(), "run");
    ::close(other);
}

TEST(SharedFileFailure, FullDeviceReportsTheOsErrorAndDiscardsTheRun) {
    Result<SharedFile> r = SharedFile::open("/dev/full", false);
    ASSERT_TRUE(r.ok()) << r.error().text();
    SharedFile f = r.take();
    f.write("doomed");
    Status s = f.flush();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().text(), "No space left on device");
    EXPECT_EQ(f.pending_size(), 0u);
    // The lock was released: the next flush reports the device again instead of hanging.
    f.write("x");
    EXPECT_EQ(f.flush().error().os_errno(), ENOSPC);
}

// Two processes append 10,000 records each, flushing after every 100: every run of 100 stays
// in one piece, and nothing is lost, repeated or reordered.
TEST(SharedFileProcesses, RunsOfTwoProcessesNeverInterleave) {
    TempTrace t;
    { SharedFile create = t.open(true); }
    constexpr int RECORDS = 10000, RUN = 100;
    auto writer = [&](char who) {
        Result<SharedFile> r = SharedFile::open(t.path, false);
        for (int i = 0; r.ok() && i < RECORDS; ++i) {
            r.value().write(who + std::to_string(i) + "\n");
            if ((i + 1) % RUN == 0 && !r.value().flush().ok()) return false;
        }
        return r.ok();
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(writer('c') ? 0 : 1);
    EXPECT_TRUE(writer('p'));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    std::istringstream lines(t.contents());
    std::map<char, int> next;
    char owner = 0;
    std::string line;
    for (int n = 0; std::getline(lines, line); ++n) {
        if (n % RUN == 0) owner = line[0];
        ASSERT_EQ(line[0], owner) << "a run was split at line " << n;
        ASSERT_EQ(std::stoi(line.substr(1)), next[line[0]]++) << "at line " << n;
    }
    EXPECT_EQ(next['p'], RECORDS);
    EXPECT_EQ(next['c'], RECORDS);
}

}  // namespace
}  // namespace vespra
