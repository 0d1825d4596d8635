#include "core/trace_reader.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vespra::trace {
namespace {

// The loop shared by files and memory: `fill(dst, n)` stores up to n bytes at dst and returns
// how many (0 at the end), or -1 with errno set.
template <class Fill>
Result<StreamReport> drive(Parser& parser, size_t chunk, Fill fill) {
    std::vector<uint8_t> buf(chunk);
    size_t have = 0;      // unconsumed bytes at the front of buf
    uint64_t offset = 0;  // file offset of buf[0]
    StreamReport report;
    for (;;) {
        if (buf.size() - have < chunk) buf.resize(have + chunk);
        ssize_t n = fill(buf.data() + have, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoError::os(errno);
        }
        if (n == 0) break;
        report.size += static_cast<uint64_t>(n);
        have += static_cast<size_t>(n);
        Result<size_t> used = parser.parse(std::span<const uint8_t>(buf.data(), have), offset);
        if (!used) return used.error();
        size_t consumed = used.value();
        offset += consumed;
        have -= consumed;
        if (have > MAX_RECORD) {
            return IoError::other("record at byte " + std::to_string(offset) + " is larger than " +
                                  std::to_string(MAX_RECORD >> 20) + " MiB: not a vespra trace");
        }
        if (consumed > 0 && have > 0) std::memmove(buf.data(), buf.data() + consumed, have);
        // A buffer grown for one large record goes back to its normal size afterwards.
        if (have < chunk && buf.size() > 2 * chunk) buf.resize(2 * chunk), buf.shrink_to_fit();
    }
    report.complete = offset;
    if (Status st = parser.finish(std::span<const uint8_t>(buf.data(), have)); !st.ok()) {
        return st.error();
    }
    return report;
}

}  // namespace

Result<StreamReport> read_stream(int fd, Parser& parser) {
    return drive(parser, READ_CHUNK, [fd](uint8_t* dst, size_t n) { return ::read(fd, dst, n); });
}

Result<StreamReport> read_bytes(std::span<const uint8_t> bytes, Parser& parser, size_t piece) {
    size_t pos = 0;
    return drive(parser, std::max<size_t>(piece, 1), [&](uint8_t* dst, size_t n) {
        size_t k = std::min(n, bytes.size() - pos);
        std::memcpy(dst, bytes.data() + pos, k);
        pos += k;
        return static_cast<ssize_t>(k);
    });
}

}  // namespace vespra::trace
