#include "json/json_exporter.h"

#include <unistd.h>

#include <cstring>
#include <optional>

namespace vespra {

namespace {

// Per kind: what goes between the template's prefix and the timestamp ("ph" and the "ts" key),
// and what closes the record after the template's suffix (the "kind" value). Kinds outside
// 1..6 never come from the recording path and are written as starts.
struct KindText {
    std::string_view head;
    std::string_view tail;
};
constexpr KindText KIND_TEXT[7] = {
    {"B\",\"ts\":", "start\"}},"},   // 0: not a kind; written as 1
    {"B\",\"ts\":", "start\"}},"},   // 1 start
    {"E\",\"ts\":", "return\"}},"},  // 2 return
    {"E\",\"ts\":", "yield\"}},"},   // 3 yield
    {"B\",\"ts\":", "resume\"}},"},  // 4 resume
    {"E\",\"ts\":", "unwind\"}},"},  // 5 unwind
    {"B\",\"ts\":", "throw\"}},"},   // 6 throw
};
constexpr size_t HEAD_LEN = 8;
constexpr size_t MAX_TAIL_LEN = 10;
static_assert(KIND_TEXT[0].head.size() == HEAD_LEN);

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

JsonExporter::JsonExporter(SharedFile out)
    : JsonExporter(std::move(out), static_cast<uint32_t>(::getpid())) {}

JsonExporter::JsonExporter(SharedFile out, uint32_t pid)
    : out_(std::move(out)), buf_(BUFFER_RESERVE), pid_(pid) {
    json::Buffer b(64);
    b.append(",\"pid\":");
    json::push_u64(b, pid);
    b.append(",\"tid\":");
    pid_part_.assign(b.data(), b.size());
}

const Template& JsonExporter::template_for(uint32_t id, const CodeLookup& codes) {
    uint32_t index = index_.find(id);
    if (index != TemplateIndex::NONE) return templates_[index];
    // An unknown code is not an error: it stays "<unknown>" for the life of this exporter.
    std::optional<CodeInfo> info = codes.code(id);
    templates_.push_back(Template::of(info ? *info : CodeInfo{}));
    index_.insert(id, static_cast<uint32_t>(templates_.size() - 1));
    return templates_.back();
}

Status JsonExporter::write_batch(std::span<const Event> events, const CodeLookup& codes,
                                 const ThreadNames&) {
    buf_.clear();
    if (events.empty()) return out_.flush();

    const std::string_view pid_part = pid_part_;
    for (const Event& e : events) {
        const Template& t = template_for(code_of(e.packed), codes);
        const KindText& k = kind_text(e.packed);
        char* p = buf_.room(t.prefix.size() + HEAD_LEN + json::MAX_MICROS_LEN + pid_part.size() +
                            json::MAX_U64_DIGITS + t.suffix.size() + MAX_TAIL_LEN);
        p = put(p, t.prefix);
        p = put(p, k.head);
        p = json::put_micros(p, e.ts);
        p = put(p, pid_part);
        p = json::put_u64(p, e.tid);
        p = put(p, t.suffix);
        p = put(p, k.tail);
        buf_.commit(p);
    }
    out_.write(buf_.view());
    return out_.flush();
}

Status JsonExporter::finish(const CodeLookup&, const ThreadNames& names, uint64_t dropped) {
    // Keys in ascending byte order, as a key-ordered JSON writer would emit them.
    json::Buffer b(1024);
    for (const auto& [tid, name] : names.snapshot()) {
        b.append("{\"args\":{\"name\":");
        json::push_string(b, name);
        b.append("},\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":");
        json::push_u64(b, pid_);
        b.append(",\"tid\":");
        json::push_u64(b, tid);
        b.append("},");
    }
    if (dropped > 0) {
        b.append("{\"args\":{\"count\":");
        json::push_u64(b, dropped);
        b.append("},\"name\":\"vespra_dropped_events\",\"ph\":\"M\",\"pid\":");
        json::push_u64(b, pid_);
        b.append(",\"tid\":0},");
    }
    out_.write(b.view());
    return out_.flush();
}

uint32_t JsonExporter::TemplateIndex::find(uint32_t id) const {
    if (used_ == 0) return NONE;
    size_t mask = keys_.size() - 1;
    for (size_t i = (id * 0x9E3779B1u) >> shift_;; i = (i + 1) & mask) {
        uint32_t k = keys_[i];
        if (k == id + 1) return values_[i];
        if (k == 0) return NONE;
    }
}

void JsonExporter::TemplateIndex::insert(uint32_t id, uint32_t index) {
    if ((used_ + 1) * 2 > keys_.size()) rehash(keys_.empty() ? 1024 : keys_.size() * 2);
    size_t mask = keys_.size() - 1;
    size_t i = (id * 0x9E3779B1u) >> shift_;
    while (keys_[i] != 0) i = (i + 1) & mask;
    keys_[i] = id + 1;
    values_[i] = index;
    ++used_;
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
