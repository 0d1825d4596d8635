#include "analysis/trace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include "json/json_reader.h"
#include "proto/pb.h"
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

Result<TraceRead> read_trace(const std::string& path, trace::Visitor& visitor) {
    Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return IoError::other(path + ": " + IoError::os(errno).text());

    // JSON: "[" after optional whitespace, then whitespace, a record or the closing "]"; or the
    // object form, "{" and then whitespace, a key or the closing "}". Protobuf: the key of
    // Trace.packet, 0A, which is also a line feed; so a file starting with it is JSON only when
    // the line feeds lead to such a "[" or "{".
    uint8_t head[4096];
    ssize_t n;
    for (;;) {
        n = ::pread(file.fd, head, sizeof head, 0);
        if (n >= 0 || errno != EINTR) break;
    }
    if (n < 0) return IoError::other(path + ": " + IoError::os(errno).text());
    if (n == 0) return IoError::other(path + ": the file is empty: not a trace");
    auto is_space = [](uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    ssize_t i = 0;
    while (i < n && is_space(head[i])) ++i;
    auto opens = [&](uint8_t open, uint8_t first, uint8_t close) {
        return i < n && head[i] == open &&
               (i + 1 == n || is_space(head[i + 1]) || head[i + 1] == first ||
                head[i + 1] == close);
    };
    bool json = opens('[', '{', ']') || opens('{', '"', '}');
    bool proto = !json && head[0] == pb::TRACE_PACKET_KEY;

    TraceRead read;
    Result<trace::StreamReport> report = IoError::other("");
    if (json) {
        read.format = TraceFormat::Json;
        JsonReader reader(visitor);
        report = trace::read_stream(file.fd, reader);
    } else if (proto) {
        read.format = TraceFormat::Protobuf;
        ProtoReader reader(visitor);
        report = trace::read_stream(file.fd, reader);
    } else {
        return IoError::other(path +
                              ": not a vespra trace (neither Trace Event JSON, an array or an "
                              "object, nor a Perfetto protobuf packet stream)");
    }
    if (!report) return IoError::other(path + ": " + report.error().text());
    read.report = report.value();
    return read;
}

}  // namespace vespra::analysis
