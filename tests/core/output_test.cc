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

namespace vespra {
namespace {

using namespace std::chrono_literals;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/vespra-output-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { (void)std::system(("rm -rf " + path).c_str()); }
};

std::string slurp(const std::string& path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

SharedFile open_ok(const std::string& path, bool truncate) {
    Result<SharedFile> r = SharedFile::open(path, truncate);
    if (!r.ok()) ADD_FAILURE() << r.error().text();
    return r.take();
}

TEST(IoErrorText, OsErrorsCarryDescriptionAndNumber) {
    EXPECT_EQ(IoError::os(ENOENT).text(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::os(ENOSPC).os_errno(), ENOSPC);
    EXPECT_EQ(IoError::write_zero().text(), "failed to write whole buffer");
    EXPECT_EQ(IoError::write_zero().kind(), IoError::Kind::WriteZero);
    EXPECT_EQ(IoError::other("serializer panicked").text(), "serializer panicked");
}

TEST(SharedFileOpen, TruncateEmptiesAppendKeepsAndFailuresCreateNothing) {
    TempDir dir;
    std::string path = dir.path + "/trace";
    std::ofstream(path) << "old";
    {
        SharedFile f = open_ok(path, false);
        EXPECT_EQ(slurp(path), "old");  // opening writes nothing
        f.write("+new");
    }
    EXPECT_EQ(slurp(path), "old+new");
    {
        SharedFile f = open_ok(path, true);
        EXPECT_EQ(slurp(path), "");
    }
    Result<SharedFile> r = SharedFile::open(dir.path + "/missing/trace", true);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().text(), "No such file or directory (os error 2)");
    EXPECT_NE(::access((dir.path + "/missing").c_str(), F_OK), 0);
}

size_t open_descriptors() {
    auto fds = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

TEST(SharedFileOpen, ModeFollowsUmaskAndOnlyOneCloseOnExecDescriptorStays) {
    TempDir dir;
    std::string path = dir.path + "/trace";
    int lowest = ::open("/dev/null", O_RDONLY);  // the number the next open will take
    ::close(lowest);
    size_t before = open_descriptors();
    mode_t old = ::umask(027);
    SharedFile f = open_ok(path, true);
    ::umask(old);
    EXPECT_EQ(open_descriptors(), before + 1);  // the truncating descriptor was closed
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(::fcntl(lowest, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(lowest, F_GETFL) & O_APPEND);
}

TEST(SharedFileBuffering, BytesReachTheFileOnlyAtFlushOrDestruction) {
    TempDir dir;
    std::string path = dir.path + "/trace";
    {
        SharedFile f = open_ok(path, true);
        EXPECT_EQ(f.write(""), 0u);
        EXPECT_EQ(f.write("a;"), 2u);
        EXPECT_EQ(slurp(path), "");
        ASSERT_TRUE(f.flush().ok());
        EXPECT_EQ(slurp(path), "a;");

        // A handed-over buffer is taken whole when nothing is pending, copied otherwise, and
        // comes back empty and usable either way.
        ByteBuffer batch;
        batch.append("b;");
        EXPECT_EQ(f.write(batch), 2u);
        batch.append("c;");
        EXPECT_EQ(f.write(batch), 2u);
        EXPECT_TRUE(batch.empty());
        ASSERT_TRUE(f.flush().ok());
        batch.append("d;");
        f.write(batch);
        SharedFile moved = std::move(f);  // the moved-from file neither flushes nor closes
    }
    EXPECT_EQ(slurp(path), "a;b;c;d;");
}

TEST(SharedFileLocking, FlushWaitsForTheLockButAnEmptyFlushTakesNone) {
    TempDir dir;
    std::string path = dir.path + "/trace";
    SharedFile f = open_ok(path, true);
    int other = ::open(path.c_str(), O_RDONLY);  // another process's view of the file
    ASSERT_EQ(::flock(other, LOCK_EX), 0);

    auto empty = std::async(std::launch::async, [&] { return f.flush().ok(); });
    bool empty_returned = empty.wait_for(5s) == std::future_status::ready;
    if (!empty_returned) ::flock(other, LOCK_UN);  // let the test end either way
    ASSERT_TRUE(empty_returned) << "a flush of nothing waited for the lock";
    EXPECT_TRUE(empty.get());

    f.write("run");
    auto full = std::async(std::launch::async, [&] { return f.flush().ok(); });
    EXPECT_EQ(full.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(slurp(path), "");
    ::flock(other, LOCK_UN);
    EXPECT_TRUE(full.get());
    EXPECT_EQ(slurp(path), "run");
    ::close(other);
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
    // The lock was released: the next flush reports the device again instead of hanging.
    f.write("x");
    EXPECT_EQ(f.flush().error().os_errno(), ENOSPC);
}

// Two processes append 10,000 records each, flushing after every 100: every run of 100 stays
// in one piece, and nothing is lost, repeated or reordered.
TEST(SharedFileProcesses, RunsOfTwoProcessesNeverInterleave) {
    TempDir dir;
    std::string path = dir.path + "/trace";
    { SharedFile create = open_ok(path, true); }
    constexpr int RECORDS = 10000, RUN = 100;
    auto writer = [&](char who) {
        Result<SharedFile> r = SharedFile::open(path, false);
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

    std::istringstream lines(slurp(path));
    std::map<char, int> next;
    std::string line;
    for (int n = 0; std::getline(lines, line); ++n) {
        static char owner;
        if (n % RUN == 0) owner = line[0];
        ASSERT_EQ(line[0], owner) << "a run was split at line " << n;
        ASSERT_EQ(std::stoi(line.substr(1)), next[line[0]]++) << "at line " << n;
    }
    EXPECT_EQ(next['p'], RECORDS);
    EXPECT_EQ(next['c'], RECORDS);
}

}  // namespace
}  // namespace vespra
