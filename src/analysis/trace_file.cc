#include "analysis/trace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <span>
#include <vector>

#include "json/json_exporter.h"
#include "json/json_reader.h"
#include "proto/pb.h"
#include "proto/proto_exporter.h"
#include "proto/proto_reader.h"

namespace vespra::analysis {
namespace {

// Closes the descriptor on every path out.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

const char* format_name(TraceFormat format) {
    return format == TraceFormat::Json ? "json" : "protobuf";
}

namespace {

// The format of `head`, the first bytes of a file: JSON is "[" after optional whitespace, then
// whitespace, a record or the closing "]", or the object form, "{" and then whitespace, a key or
// the closing "}"; protobuf is the key of Trace.packet, 0A, which is
// also a line feed, so a file starting with it is JSON only when the line feeds lead to such a
// "[" or "{". A part (of either format) starts with its first record: "{" or the packet key.
std::optional<TraceFormat> format_of(std::span<const uint8_t> head, bool part) {
    if (head.empty()) return std::nullopt;
    if (part) {
        if (head[0] == '{') return TraceFormat::Json;
        if (head[0] == pb::TRACE_PACKET_KEY) return TraceFormat::Protobuf;
        return std::nullopt;
    }
    auto is_space = [](uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    size_t i = 0, n = head.size();
    while (i < n && is_space(head[i])) ++i;
    auto opens = [&](uint8_t open, uint8_t first, uint8_t close) {
        return i < n && head[i] == open &&
               (i + 1 == n || is_space(head[i + 1]) || head[i + 1] == first ||
                head[i + 1] == close);
    };
    // The object form, {"traceEvents": [...]}, is what browsers and other tracers write.
    if (opens('[', '{', ']') || opens('{', '"', '}')) return TraceFormat::Json;
    if (head[0] == pb::TRACE_PACKET_KEY) return TraceFormat::Protobuf;
    return std::nullopt;
}

// Up to 4096 bytes from the start of `fd`.
Result<std::vector<uint8_t>> head_of(int fd) {
    std::vector<uint8_t> head(4096);
    ssize_t n;
    do {
        n = ::pread(fd, head.data(), head.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return IoError::os(errno);
    head.resize(static_cast<size_t>(n));
    return head;
}

// Streams the file open at `fd` into `visitor`, and each record to `sink` when there is one; a
// JSON part is read as if after the array's "[".
Result<trace::StreamReport> stream(int fd, TraceFormat format, bool part, trace::Visitor& visitor,
                                   trace::RecordSink* sink) {
    if (format == TraceFormat::Protobuf) {
        ProtoReader reader(visitor);
        reader.set_sink(sink);
        return trace::read_stream(fd, reader);
    }
    JsonReader reader(visitor);
    reader.set_sink(sink);
    static constexpr uint8_t OPEN[] = {'['};
    if (part) (void)reader.parse(OPEN, 0);
    return trace::read_stream(fd, reader);
}

// The format of the trace at `path`, open at `fd`, whose parts are `parts`: told by the file's
// first bytes, or, while it holds nothing (the first process was killed before any other
// joined), by those of its first part that holds something.
Result<TraceFormat> trace_format(const std::string& path, int fd,
                                 const std::vector<parts::PartFile>& parts) {
    Result<std::vector<uint8_t>> head = head_of(fd);
    if (!head) return IoError::other(path + ": " + head.error().text());
    if (!head.value().empty()) {
        if (std::optional<TraceFormat> format = format_of(head.value(), false)) return *format;
        return IoError::other(path +
                              ": not a vespra trace (neither Trace Event JSON, an array or an "
                              "object, nor a Perfetto protobuf packet stream)");
    }
    for (const parts::PartFile& part : parts) {
        Fd part_fd{::open(part.path.c_str(), O_RDONLY | O_CLOEXEC)};
        Result<std::vector<uint8_t>> part_head =
            part_fd.fd >= 0 ? head_of(part_fd.fd) : IoError::os(errno);
        if (!part_head || part_head.value().empty()) continue;
        if (std::optional<TraceFormat> format = format_of(part_head.value(), true)) return *format;
        return IoError::other(part.path + ": not a part of a vespra trace");
    }
    return IoError::other(path + ": the file is empty: not a trace");
}

}  // namespace

Result<TraceFormat> trace_format(const std::string& path) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return IoError::other(path + ": " + IoError::os(errno).text());
    return trace_format(path, file.fd, parts::list(path));
}

Result<TraceRead> read_trace(const std::string& path, trace::Visitor& visitor,
                             trace::RecordSink* sink) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return IoError::other(path + ": " + IoError::os(errno).text());
    std::vector<parts::PartFile> parts = parts::list(path);
    Result<TraceFormat> format = trace_format(path, file.fd, parts);
    if (!format) return format.error();

    TraceRead read;
    read.format = format.value();
    // A file that holds nothing yet has only its parts to read.
    if (struct stat st; ::fstat(file.fd, &st) != 0 || st.st_size > 0) {
        Result<trace::StreamReport> report = stream(file.fd, read.format, false, visitor, sink);
        if (!report) return IoError::other(path + ": " + report.error().text());
        read.report = report.value();
    }
    for (const parts::PartFile& part : parts) {
        Fd fd{::open(part.path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (fd.fd < 0) continue;  // joined meanwhile
        Result<trace::StreamReport> part_report = stream(fd.fd, read.format, true, visitor, sink);
        if (!part_report) return IoError::other(part.path + ": " + part_report.error().text());
        if (!part.live) visitor.cut_short(part.pid);
        read.parts.push_back(PartRead{part.pid, part.live, part_report.value()});
    }
    return read;
}

Result<parts::JoinReport> join_trace(const std::string& path) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return IoError::other(path + ": " + IoError::os(errno).text());
    Result<TraceFormat> format = trace_format(path, file.fd, parts::list(path));
    if (!format) return format.error();
    Result<parts::JoinReport> joined = parts::join(
        path, format.value() == TraceFormat::Json ? JSON_PARTS : PROTO_PARTS, nullptr, true);
    if (!joined) return IoError::other(path + ": " + joined.error().text());
    return joined;
}

}  // namespace vespra::analysis
