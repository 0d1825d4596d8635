#include "analysis/cut.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "analysis/text.h"
#include "analysis/selection.h"
#include "analysis/trace_file.h"
#include "core/event.h"
#include "core/parts.h"
#include "core/slice_filter.h"
#include "json/json_reader.h"
#include "json/json_text.h"
#include "proto/proto_reader.h"

namespace vespra::analysis {
namespace {

using trace::RecordInfo;
using Kind = RecordInfo::Kind;

constexpr std::string_view CLIPPED_START = "clipped_start";
constexpr std::string_view CLIPPED_END = "clipped_end";
// Output bytes gathered before a write.
constexpr size_t WRITE_AT = 1u << 20;

// Appends nanoseconds as the JSON writer writes them: microseconds with three decimals.
void put_micros(std::string& out, uint64_t ts) {
    char text[json::MAX_MICROS_LEN];
    out.append(text, static_cast<size_t>(json::put_micros(text, ts) - text));
}

// What an end written anew needs of its thread.
struct ThreadRef {
    uint32_t pid, tid;
    uint32_t sequence;
    bool sequence_clock;
};

// The kept records' way into the output file: the format's framing and edits, and the writes.
class CutWriter {
  public:
    explicit CutWriter(int fd) : fd_(fd) {}
    virtual ~CutWriter() = default;
    // A record as it stands (restamped where its format needs it).
    virtual void copy(std::span<const uint8_t> record, const RecordInfo& info) = 0;
    // A slice's begin, stamped at `ts` and marked clipped.
    virtual void clipped_begin(std::span<const uint8_t> record, const RecordInfo& info,
                               uint64_t ts) = 0;
    // An end of the innermost open slice of `thread` at `ts`, marked clipped.
    virtual void clipped_end(const ThreadRef& thread, uint64_t ts) = 0;
    virtual void close_stream() {}

    // Writes what is gathered when it is WRITE_AT or more (or all of it, with `all`).
    Status write(bool all) {
        if (out_.size() < WRITE_AT && !all) return Status::success();
        size_t done = 0;
        while (done < out_.size()) {
            ssize_t n = ::write(fd_, out_.data() + done, out_.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n < 0 ? IoError::os(errno) : IoError::write_zero();
            done += static_cast<size_t>(n);
        }
        written_ += out_.size();
        out_.clear();
        return Status::success();
    }
    uint64_t written() const { return written_; }

  protected:
    void append(std::span<const uint8_t> bytes) {
        out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    std::string out_;

  private:
    int fd_;
    uint64_t written_ = 0;
};

class ProtoCutWriter final : public CutWriter {
  public:
    using CutWriter::CutWriter;
    void copy(std::span<const uint8_t> record, const RecordInfo& info) override {
        // A delta counts from the sequence's previous packet, which may be left out.
        if (info.sequence_clock && info.kind != Kind::State &&
            restamp_packet(record, info.ts, true, {}, out_)) {
            return;
        }
        append(record);
    }
    void clipped_begin(std::span<const uint8_t> record, const RecordInfo& info,
                       uint64_t ts) override {
        restamp_packet(record, ts, info.sequence_clock, CLIPPED_START, out_);
    }
    void clipped_end(const ThreadRef& thread, uint64_t ts) override {
        append_end_packet(thread.sequence, ts, thread.sequence_clock, CLIPPED_END, out_);
    }
};

// Writes one array, closed, of the records with ",\n" between them.
class JsonCutWriter final : public CutWriter {
  public:
    explicit JsonCutWriter(int fd) : CutWriter(fd) { out_ = "["; }
    void copy(std::span<const uint8_t> record, const RecordInfo&) override {
        separate();
        append(record);
    }
    void clipped_begin(std::span<const uint8_t> record, const RecordInfo&, uint64_t ts) override {
        separate();
        std::string_view text(reinterpret_cast<const char*>(record.data()), record.size());
        // The writer's records, and the ones our reader takes, have one "ts" key, before "args".
        size_t key = text.find("\"ts\":");
        size_t value_end = key == std::string_view::npos ? key : text.find_first_of(",}", key + 5);
        if (value_end == std::string_view::npos) {
            append(record);
            return;
        }
        out_.append(text.substr(0, key + 5));
        put_micros(out_, ts);
        std::string_view rest = text.substr(value_end);
        size_t args = rest.find("\"args\":{");
        if (args != std::string_view::npos) {
            size_t inside = args + 8;
            out_.append(rest.substr(0, inside))
                .append("\"")
                .append(CLIPPED_START)
                .append("\":true");
            if (rest[inside] != '}') out_ += ',';
            out_.append(rest.substr(inside));
        } else {
            out_.append(rest.substr(0, rest.size() - 1))
                .append(",\"args\":{\"")
                .append(CLIPPED_START)
                .append("\":true}}");
        }
    }
    void clipped_end(const ThreadRef& thread, uint64_t ts) override {
        separate();
        out_.append("{\"ph\":\"E\",\"pid\":").append(std::to_string(thread.pid));
        out_.append(",\"tid\":").append(std::to_string(thread.tid)).append(",\"ts\":");
        put_micros(out_, ts);
        out_.append(",\"args\":{\"").append(CLIPPED_END).append("\":true}}");
    }
    void close_stream() override { out_.append("\n]\n"); }

  private:
    void separate() { out_.append(first_ ? "\n" : ",\n"), first_ = false; }
    bool first_ = true;
};

// The reader's visitor (for the threads' ids) and its record sink.
class Cutter final : public trace::Visitor, public trace::RecordSink {
  public:
    Cutter(const Selector& selector, SliceLimits limits, CutWriter& writer)
        : selector_(selector),
          filter_(limits),
          limited_(limits.max_depth != 0 || limits.min_duration != 0),
          writer_(writer) {}

    void process(uint32_t, std::string_view) override {}
    uint32_t thread(uint32_t pid, uint32_t tid) override {
        Thread& t = threads_.emplace_back();
        t.pid = pid, t.tid = tid, t.in = selector_.thread_in(pid, tid),
        t.window = selector_.window();
        return static_cast<uint32_t>(threads_.size() - 1);
    }
    void thread_name(uint32_t, std::string_view) override {}
    uint32_t function(std::string_view, std::string_view, uint32_t) override { return 0; }
    void begin(uint32_t, uint32_t, uint64_t) override {}
    void end(uint32_t, uint64_t) override {}
    void dropped(uint32_t, uint64_t) override {}
    void left_out(uint32_t, std::string_view, uint64_t) override {}

    Status record(std::span<const uint8_t> bytes, const RecordInfo& info) override;

    uint64_t events_kept() const { return events_kept_; }
    // The first failed write of the output, which stopped the reading.
    const Status& write_error() const { return write_error_; }

  private:
    struct Thread {
        uint32_t pid = 0, tid = 0;
        bool in = false;
        Selector::Window window;
        // The bytes of the open slices' begins, outermost first: frame i is
        // arena[starts[i], starts[i + 1]).
        std::string arena;
        std::vector<uint32_t> starts;
        uint32_t clipped_below = 0;  // frames below it began before the window
        uint32_t sequence = 0;
        bool sequence_clock = false;

        uint32_t depth() const { return static_cast<uint32_t>(starts.size()); }
        std::span<const uint8_t> frame(uint32_t i) const {
            size_t from = starts[i], to = i + 1 < starts.size() ? starts[i + 1] : arena.size();
            return {reinterpret_cast<const uint8_t*>(arena.data()) + from, to - from};
        }
    };
    // The record in hand: an event the filter may keep, or an end written anew.
    struct Current {
        std::span<const uint8_t> bytes;
        const RecordInfo* info;  // null for an end written anew
    };

    bool admit(uint32_t handle, Thread& t, uint64_t ts);
    void feed(uint32_t handle, Thread& t, uint8_t kind, uint64_t ts, Current current);
    void emit(Thread& t, const Event& e, Current current);
    // Writes what the output gathered, once there is enough; an error stops the reader.
    Status write();

    const Selector& selector_;
    SliceFilter filter_;
    bool limited_;
    CutWriter& writer_;
    std::vector<Thread> threads_;
    std::vector<Event> kept_;
    uint64_t events_kept_ = 0;
    Status write_error_;
};

bool Cutter::admit(uint32_t handle, Thread& t, uint64_t ts) {
    return selector_.admit(
        t.window, ts, t.depth(),
        [&](uint32_t i, uint64_t from) {
            t.clipped_below = i + 1;
            feed(handle, t, KIND_START, from, Current{t.frame(i), nullptr});
        },
        [&](uint32_t, uint64_t to) {
            feed(handle, t, KIND_RETURN, to, Current{{}, nullptr});
        });
}

void Cutter::feed(uint32_t handle, Thread& t, uint8_t kind, uint64_t ts, Current current) {
    // A begin is the frame it opens (already in the arena); the filter hands back its index.
    uint32_t code = OPENS_SLICE[kind] ? t.depth() - 1 : 0;
    if (kind == KIND_START && current.info == nullptr) {
        code = t.clipped_below - 1;  // a clipped begin, fed in order from the outermost
    }
    Event e(ts, handle, pack_word(kind, code));
    if (!limited_) {
        emit(t, e, current);
        return;
    }
    for (const Event& out : filter_.filter({&e, 1}, kept_)) emit(t, out, current);
}

void Cutter::emit(Thread& t, const Event& e, Current current) {
    ++events_kept_;
    uint8_t kind = kind_of(e.packed);
    if (OPENS_SLICE[kind]) {
        uint32_t frame = code_of(e.packed);
        RecordInfo info{Kind::Begin, RecordInfo::NONE, t.pid, e.ts, t.sequence, t.sequence_clock};
        if (frame < t.clipped_below) {
            writer_.clipped_begin(t.frame(frame), info, e.ts);
        } else {
            writer_.copy(t.frame(frame), info);
        }
    } else if (current.info != nullptr) {
        writer_.copy(current.bytes, *current.info);
    } else {
        writer_.clipped_end(ThreadRef{t.pid, t.tid, t.sequence, t.sequence_clock}, e.ts);
    }
}

Status Cutter::write() {
    if (Status st = writer_.write(false); !st.ok()) {
        write_error_ = st;
        return IoError::other("the cut could not be written");
    }
    return Status::success();
}

Status Cutter::record(std::span<const uint8_t> bytes, const RecordInfo& info) {
    const bool event =
        info.kind == Kind::Begin || info.kind == Kind::End || info.kind == Kind::Mark;
    if (info.thread != RecordInfo::NONE && info.thread < threads_.size()) {
        const uint32_t handle = info.thread;
        Thread& t = threads_[handle];
        if (!t.in) return Status::success();
        if (!event) {
            writer_.copy(bytes, info);
            return write();
        }
        // The clipped begins and ends written later follow the sequence's default clock, which a
        // packet naming a clock of its own says nothing of.
        t.sequence = info.sequence, t.sequence_clock = info.sequence_default_clock;
        const bool in = admit(handle, t, info.ts);
        if (info.kind == Kind::Begin) {
            if (t.window.state != Selector::Window::State::After) {
                t.starts.push_back(static_cast<uint32_t>(t.arena.size()));
                t.arena.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            }
            if (in) feed(handle, t, KIND_START, info.ts, Current{bytes, &info});
        } else if (info.kind == Kind::End) {
            if (in) feed(handle, t, KIND_RETURN, info.ts, Current{bytes, &info});
            if (!t.starts.empty()) {
                t.arena.resize(t.starts.back());
                t.starts.pop_back();
                t.clipped_below = std::min(t.clipped_below, t.depth());
            }
        } else if (in) {
            feed(handle, t, KIND_INSTANT, info.ts, Current{bytes, &info});
        }
        if (t.window.state == Selector::Window::State::After) {
            t.arena.clear(), t.starts.clear();
        }
        return write();
    }
    // A record of a process, or of no thread or process the reader knows.
    if (info.pid != RecordInfo::NONE && !selector_.process_in(info.pid)) return Status::success();
    if (event && !selector_.time_in(info.ts)) return Status::success();
    writer_.copy(bytes, info);
    return write();
}

// Closes the descriptor on every path out, and removes the file unless told it is complete.
struct Output {
    std::string path;
    int fd = -1;
    bool complete = false;
    ~Output() {
        if (fd >= 0) ::close(fd);
        if (fd >= 0 && !complete) ::unlink(path.c_str());
    }
};

}  // namespace

CommandResult cut(const CutOptions& options) {
    CommandResult result;
    auto fail = [&](const std::string& text) {
        result.status = 1;
        result.err = "vespra: " + text + "\n";
        return result;
    };
    // The records of parts not joined yet come from several writers, each with its own
    // sequences and threads: copying them into one cut is not done. Joined, they are one trace.
    if (std::vector<parts::PartFile> parts = parts::list(options.trace); !parts.empty()) {
        size_t live = 0;
        for (const parts::PartFile& part : parts) live += part.live;
        std::string text = options.trace + ": has " + std::to_string(parts.size()) +
                           (parts.size() == 1 ? " part" : " parts") + " beside it (" +
                           options.trace + ".parts/) not joined yet, which cut does not read";
        text += live > 0 ? "; wait until its processes stop, which joins them"
                         : "; join them first with `vespra join " + options.trace + "`";
        return fail(text);
    }
    Selector selector(options.select);
    if (Status st = selector.resolve(options.trace); !st.ok()) return fail(st.error().text());

    struct stat in {
    }, out{};
    if (::stat(options.trace.c_str(), &in) < 0) {
        return fail(options.trace + ": " + IoError::os(errno).text());
    }
    if (::stat(options.output.c_str(), &out) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino) {
        return fail(options.output + ": is the trace being cut; write the cut to another file");
    }
    Output output{options.output,
                  ::open(options.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)};
    if (output.fd < 0) return fail(options.output + ": " + IoError::os(errno).text());

    Result<TraceFormat> format = trace_format(options.trace);
    if (!format) return fail(format.error().text());
    std::unique_ptr<CutWriter> writer;
    if (format.value() == TraceFormat::Json) {
        writer = std::make_unique<JsonCutWriter>(output.fd);
    } else {
        writer = std::make_unique<ProtoCutWriter>(output.fd);
    }
    Cutter cutter(selector, SliceLimits{options.max_depth, options.min_duration}, *writer);
    Result<TraceRead> read = read_trace(options.trace, cutter, &cutter);
    if (!cutter.write_error().ok()) {
        return fail(options.output + ": " + cutter.write_error().error().text());
    }
    if (!read) return fail(read.error().text());
    writer->close_stream();
    if (Status st = writer->write(true); !st.ok()) {
        return fail(options.output + ": " + st.error().text());
    }
    if (::close(output.fd) < 0) {
        output.fd = -1;
        ::unlink(options.output.c_str());
        return fail(options.output + ": " + IoError::os(errno).text());
    }
    output.fd = -1;
    output.complete = true;
    result.err = "vespra: wrote " + options.output + " (" + format_bytes(writer->written()) + ", " +
                 with_commas(cutter.events_kept()) + " events) from " + options.trace + " (" +
                 format_bytes(read.value().report.size) + ")\n";
    if (cutter.events_kept() == 0) {
        result.err += "vespra: warning: nothing of the trace is in the selection\n";
    }
    if (read.value().report.cut()) {
        result.err += "vespra: warning: " + options.trace +
                      " ends in a record cut short, which the cut leaves out\n";
    }
    return result;
}

}  // namespace vespra::analysis
