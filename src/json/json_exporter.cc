#include "json/json_exporter.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "core/marks.h"

namespace vespra {

namespace {

// Per kind: what goes between the template's prefix and the timestamp ("ph" and the "ts" key),
// and what closes the record after the template's suffix (the "kind" value). Kinds outside
// 1..6 never come from the recording path and are written as starts. Both pieces are copied as
// fixed-size blocks (the tail over-copies into room reserved for it), which compile to a few
// stores instead of calls.
constexpr size_t HEAD_LEN = 8;
constexpr size_t TAIL_BLOCK = 16;
struct KindText {
    char head[HEAD_LEN + 1];
    char tail[TAIL_BLOCK];
    size_t tail_len;
};
constexpr KindText KIND_TEXT[7] = {
    {"B\",\"ts\":", "start\"}},", 9},    // 0: not a kind; written as 1
    {"B\",\"ts\":", "start\"}},", 9},    // 1 start
    {"E\",\"ts\":", "return\"}},", 10},  // 2 return
    {"E\",\"ts\":", "yield\"}},", 9},    // 3 yield
    {"B\",\"ts\":", "resume\"}},", 10},  // 4 resume
    {"E\",\"ts\":", "unwind\"}},", 10},  // 5 unwind
    {"B\",\"ts\":", "throw\"}},", 9},    // 6 throw
};
static_assert(std::string_view(KIND_TEXT[2].tail).size() == KIND_TEXT[2].tail_len);
static_assert(std::string_view(KIND_TEXT[3].tail).size() == KIND_TEXT[3].tail_len);

inline const KindText& kind_text(uint32_t word) {
    uint8_t kind = kind_of(word);
    return KIND_TEXT[kind <= 6 ? kind : 0];
}

inline char* put(char* p, std::string_view s) {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

}  // namespace

Template Template::of(const CodeInfo& info) {
    json::Buffer b(128);
    b.append("{\"name\":");
    json::push_string(b, info.name.empty() ? std::string_view("<unknown>") : info.name);
    b.append(",\"cat\":\"py\",\"ph\":\"");
    Template t;
    t.prefix.assign(b.data(), b.size());

    b.clear();
    b.append(",\"args\":{\"file\":");
    json::push_string(b, info.file);
    b.append(",\"line\":");
    json::push_u64(b, info.line);
    b.append(",\"kind\":\"");
    t.suffix.assign(b.data(), b.size());
    return t;
}

namespace {

// The bytes of the whole records "{...}," at the start of `data`: strings are skipped with
// their escapes, so braces and commas inside them do not count.
size_t whole_records(std::span<const uint8_t> data, bool* stop) {
    size_t done = 0;
    int depth = 0;
    bool in_string = false, escape = false;
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t c = data[i];
        if (in_string) {
            if (escape) {
                escape = false;
            } else if (c == '\\') {
                escape = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (depth == 0) {
            if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
            if (c != '{') return *stop = true, done;  // no record starts here
            depth = 1;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if ((c == '}' || c == ']') && --depth == 0) {
            if (i + 1 == data.size()) return done;  // its "," may come with more bytes
            if (data[i + 1] != ',') return *stop = true, done;
            done = ++i + 1;
        }
    }
    return done;  // the end came in the middle of a record, or there is nothing more
}

std::string cut_short_record(uint32_t pid, uint64_t, uint64_t lost) {
    json::Buffer b(160);
    b.append("{\"args\":{\"lost_bytes\":");
    json::push_u64(b, lost);
    b.append("},\"name\":\"");
    b.append(json::CUT_SHORT_RECORD);
    b.append("\",\"ph\":\"M\",\"pid\":");
    json::push_u64(b, pid);
    b.append(",\"tid\":0},");
    return std::string(b.view());
}

Result<uint64_t> complete_part(int fd) { return parts::complete_records(fd, whole_records); }

}  // namespace

const parts::PartFormat JSON_PARTS{"[", true, complete_part, cut_short_record};

JsonExporter::JsonExporter(SharedFile out)
    : JsonExporter(std::move(out), static_cast<uint32_t>(::getpid())) {}

JsonExporter::JsonExporter(SharedFile out, uint32_t pid)
    : out_(std::move(out)), buf_(BUFFER_RESERVE), pid_(pid) {
    char* p = put(pid_part_, ",\"pid\":");
    p = json::put_u64(p, pid);
    p = put(p, ",\"tid\":");
    pid_part_len_ = static_cast<size_t>(p - pid_part_);
}

const Template& JsonExporter::add_template(uint32_t id, const CodeLookup& codes) {
    // An unknown code is not an error: it stays "<unknown>" for the life of this exporter.
    std::optional<CodeInfo> info = codes.code(id);
    templates_.push_back(Template::of(info ? *info : CodeInfo{}));
    index_.insert(id, static_cast<uint32_t>(templates_.size() - 1));
    return templates_.back();
}

void JsonExporter::push_thread_name(json::Buffer& b, uint32_t tid, std::string_view name) {
    b.append("{\"args\":{\"name\":");
    json::push_string(b, name);
    b.append("},\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":");
    json::push_u64(b, pid_);
    b.append(",\"tid\":");
    json::push_u64(b, tid);
    b.append("},");
}

void JsonExporter::name_new_thread(uint32_t tid, const ThreadNames& names) {
    if (named_.contains(tid)) return;
    std::optional<std::string> name = names.name(tid);
    if (!name) return;  // asked again in the next batch
    named_.insert(tid);
    push_thread_name(buf_, tid, *name);
}

Status JsonExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                 const ThreadNames& names) {
    buf_.clear();
    if (events.empty()) return out_.flush();
    push_process_name(buf_);

    // A thread is named before its first event, not only at the end: a trace cut short (the
    // process killed) keeps the names of the threads it holds.
    uint32_t last_tid = events[0].tid;
    name_new_thread(last_tid, names);
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        if (e.tid != last_tid) [[unlikely]] {
            last_tid = e.tid;
            name_new_thread(last_tid, names);
        }
        uint32_t id = code_of(e.packed);
        uint32_t index = index_.find(id);
        // A mark's id is its name's, which no function has and which never gets a template: it
        // is found here, at no cost to function events. A function's event with values (an
        // exception's end, a call's arguments, its return value) has its function's.
        if ((index == TemplateIndex::NONE && is_mark_kind(kind_of(e.packed))) ||
            is_valued_function_kind(kind_of(e.packed))) [[unlikely]] {
            i = write_mark(events, i, codes) - 1;
            continue;
        }
        const Template& t =
            index != TemplateIndex::NONE ? templates_[index] : add_template(id, codes);
        const KindText& k = kind_text(e.packed);
        char* p = buf_.room(t.prefix.size() + HEAD_LEN + json::MAX_MICROS_LEN + sizeof pid_part_ +
                            json::MAX_U64_DIGITS + t.suffix.size() + TAIL_BLOCK);
        p = put(p, t.prefix);
        std::memcpy(p, k.head, HEAD_LEN);
        p = json::put_micros(p + HEAD_LEN, e.ts);
        std::memcpy(p, pid_part_, sizeof pid_part_);
        p = json::put_u64(p + pid_part_len_, e.tid);
        p = put(p, t.suffix);
        std::memcpy(p, k.tail, TAIL_BLOCK);
        buf_.commit(p + k.tail_len);
    }
    out_.write(buf_);  // hands the storage over; buf_ comes back empty
    return out_.flush();
}

void JsonExporter::push_process_name(json::Buffer& b) {
    if (process_version_ && *process_version_ == process_name::version()) return;
    uint64_t version;
    ProcessName named = process_name::get(&version);
    process_version_ = version;
    b.append("{\"args\":{\"name\":");
    json::push_string(b, named.name);
    b.append("},\"name\":\"process_name\",\"ph\":\"M\",\"pid\":");
    json::push_u64(b, pid_);
    b.append(",\"tid\":0},");
}

const std::string& JsonExporter::mark_name(uint32_t id, const CodeLookup& codes) {
    auto it = mark_names_.find(id);
    if (it != mark_names_.end()) return it->second;
    std::optional<CodeInfo> info = codes.code(id);
    json::Buffer b(64);
    json::push_string(b, info && !info->name.empty() ? std::string_view(info->name)
                                                     : std::string_view("<unknown>"));
    return mark_names_.emplace(id, std::string(b.data(), b.size())).first->second;
}

namespace {

void push_value(json::Buffer& b, const marks::Value& v) {
    switch (v.tag) {
        case marks::TAG_NONE:
            b.append("null");
            return;
        case marks::TAG_FALSE:
            b.append("false");
            return;
        case marks::TAG_TRUE:
            b.append("true");
            return;
        case marks::TAG_INT:
            if (v.i < 0) {
                b.append("-");
                json::push_u64(b, 0 - static_cast<uint64_t>(v.i));
            } else {
                json::push_u64(b, static_cast<uint64_t>(v.i));
            }
            return;
        case marks::TAG_UINT:
            json::push_u64(b, v.u);
            return;
        case marks::TAG_DOUBLE: {
            // JSON has no NaN or infinity: those are written as the strings Python prints.
            if (!std::isfinite(v.d)) {
                b.append(std::isnan(v.d) ? "\"nan\"" : v.d > 0 ? "\"inf\"" : "\"-inf\"");
                return;
            }
            char text[32];
            auto [end, ec] = std::to_chars(text, text + sizeof text, v.d);
            std::string_view digits(text, static_cast<size_t>(end - text));
            b.append(digits);
            // A whole number stays a float to a reader that tells them apart.
            if (digits.find_first_of(".eE") == std::string_view::npos) b.append(".0");
            return;
        }
        case marks::TAG_STRING:
            json::push_string(b, v.text);
            return;
    }
    b.append("null");
}

}  // namespace

size_t JsonExporter::write_mark(std::span<const Event> events, size_t at, const CodeLookup& codes) {
    const Event& e = events[at];
    uint8_t kind = kind_of(e.packed);
    marks::Payload payload = marks::gather(events, at);
    if (kind == KIND_PAYLOAD) return payload.next;  // a stray payload: nothing to render
    if (is_valued_function_kind(kind)) {
        // A function's begin or end as its other events are written, its values first among its
        // arguments. An argument named as one of the template's keys is written "arg.NAME", so
        // that no key repeats.
        bool begin = kind == KIND_CALL;
        uint32_t index = index_.find(code_of(e.packed));
        const Template& t = index != TemplateIndex::NONE ? templates_[index]
                                                         : add_template(code_of(e.packed), codes);
        marks::PayloadReader reader(payload.bytes);
        marks::Arg arg;
        buf_.append(t.prefix);
        buf_.append(begin ? "B\",\"ts\":" : "E\",\"ts\":");
        json::push_micros(buf_, e.ts);
        buf_.append(std::string_view(pid_part_, pid_part_len_));
        json::push_u64(buf_, e.tid);
        constexpr std::string_view ARGS = ",\"args\":{";
        buf_.append(ARGS);
        while (reader.next_arg(&arg)) {
            const std::string& name = mark_name(arg.name, codes);
            bool taken = name == "\"file\"" || name == "\"line\"" || name == "\"kind\"";
            buf_.append(taken ? "\"arg." : "\"");
            buf_.append(std::string_view(name).substr(1));
            buf_.append(":");
            push_value(buf_, arg.value);
            buf_.append(",");
        }
        buf_.append(std::string_view(t.suffix).substr(ARGS.size()));
        buf_.append(begin ? "start\"}}," : kind == KIND_RETURN_VALUE ? "return\"}}," : "unwind\"}},");
        return payload.next;
    }
    const char* cat_ph = kind == KIND_SPAN_BEGIN ? ",\"cat\":\"span\",\"ph\":\"B\""
                         : kind == KIND_SPAN_END ? ",\"cat\":\"span\",\"ph\":\"E\""
                         : kind == KIND_INSTANT  ? ",\"cat\":\"mark\",\"ph\":\"i\",\"s\":\"t\""
                                                 : ",\"cat\":\"counter\",\"ph\":\"C\"";
    buf_.append("{\"name\":");
    buf_.append(mark_name(code_of(e.packed), codes));
    buf_.append(cat_ph);
    buf_.append(",\"ts\":");
    json::push_micros(buf_, e.ts);
    buf_.append(std::string_view(pid_part_, pid_part_len_));
    json::push_u64(buf_, e.tid);
    marks::PayloadReader reader(payload.bytes);
    if (kind == KIND_COUNTER) {
        marks::Value v;
        buf_.append(",\"args\":{\"value\":");
        if (reader.next_value(&v)) {
            push_value(buf_, v);
        } else {
            buf_.append("null");
        }
        buf_.append("}");
    } else if (!reader.at_end() || kind != KIND_SPAN_END) {
        buf_.append(",\"args\":{");
        marks::Arg arg;
        bool first = true;
        while (reader.next_arg(&arg)) {
            if (!first) buf_.append(",");
            first = false;
            buf_.append(mark_name(arg.name, codes));
            buf_.append(":");
            push_value(buf_, arg.value);
        }
        buf_.append("}");
    }
    buf_.append("},");
    return payload.next;
}

Status JsonExporter::finish(const CodeLookup&, const ThreadNames& names, const RunTotals& totals) {
    // Keys in ascending byte order, as a key-ordered JSON writer would emit them.
    json::Buffer b(1024);
    // A name given after the last batch; a writer that wrote no batch names nothing.
    if (process_version_) push_process_name(b);
    for (const auto& [tid, name] : names.snapshot()) push_thread_name(b, tid, name);
    if (totals.dropped > 0) {
        b.append("{\"args\":{\"count\":");
        json::push_u64(b, totals.dropped);
        b.append("},\"name\":\"vespra_dropped_events\",\"ph\":\"M\",\"pid\":");
        json::push_u64(b, pid_);
        b.append(",\"tid\":0},");
    }
    for (const LeftOutReason& reason : LEFT_OUT_REASONS) {
        uint64_t count = totals.left_out.*reason.count;
        if (count == 0) continue;
        b.append("{\"args\":{\"count\":");
        json::push_u64(b, count);
        b.append(",\"reason\":");
        json::push_string(b, reason.name);
        b.append("},\"name\":\"");
        b.append(json::LEFT_OUT_RECORD);
        b.append("\",\"ph\":\"M\",\"pid\":");
        json::push_u64(b, pid_);
        b.append(",\"tid\":0},");
    }
    out_.write(b.view());
    return out_.flush();
}

void JsonExporter::TemplateIndex::insert(uint32_t id, uint32_t index) {
    if (id < DENSE_IDS) {
        if (id >= dense_.size()) {
            // Never beyond DENSE_IDS: find() sends every id below the array's size here.
            size_t grown = std::max<size_t>({size_t{id} + 1, dense_.size() * 2, 1024});
            dense_.resize(std::min<size_t>(grown, DENSE_IDS), NONE);
        }
        dense_[id] = index;
        return;
    }
    if ((used_ + 1) * 2 > keys_.size()) rehash(keys_.empty() ? 64 : keys_.size() * 2);
    size_t mask = keys_.size() - 1;
    size_t i = (id * 0x9E3779B1u) >> shift_;
    while (keys_[i] != 0) i = (i + 1) & mask;
    keys_[i] = id + 1;
    values_[i] = index;
    ++used_;
}

uint32_t JsonExporter::TemplateIndex::find_sparse(uint32_t id) const {
    if (used_ == 0) return NONE;
    size_t mask = keys_.size() - 1;
    for (size_t i = (id * 0x9E3779B1u) >> shift_;; i = (i + 1) & mask) {
        uint32_t k = keys_[i];
        if (k == id + 1) return values_[i];
        if (k == 0) return NONE;
    }
}

void JsonExporter::TemplateIndex::rehash(size_t slots) {
    std::vector<uint32_t> old_keys = std::move(keys_);
    std::vector<uint32_t> old_values = std::move(values_);
    keys_.assign(slots, 0);
    values_.assign(slots, 0);
    shift_ = 32 - static_cast<unsigned>(__builtin_ctzll(slots));
    used_ = 0;
    for (size_t i = 0; i < old_keys.size(); ++i) {
        if (old_keys[i] != 0) insert(old_keys[i] - 1, old_values[i]);
    }
}

}  // namespace vespra
