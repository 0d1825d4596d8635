#include "json/json_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <tuple>

#include "json/json_text.h"

namespace vespra {

struct JsonReader::Record {
    std::optional<std::string> name, ph, arg_name, file, cat, value, reason;
    std::optional<uint64_t> ts;   // nanoseconds
    std::optional<uint64_t> dur;  // nanoseconds, of a complete record
    uint64_t pid = 0, tid = 0, count = 0;
    std::string line = "0";  // decimal text, as the fast path keys it
};

namespace {

inline bool is_space(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

// Matches `lit` at p. Done moves p past it; NeedMore when the bytes left are a prefix of it.
enum class Match { Yes, No, Short };
inline Match match(const uint8_t*& p, const uint8_t* end, std::string_view lit) {
    size_t avail = static_cast<size_t>(end - p);
    size_t n = std::min(avail, lit.size());
    if (std::memcmp(p, lit.data(), n) != 0) return Match::No;
    if (n < lit.size()) return Match::Short;
    p += lit.size();
    return Match::Yes;
}

// Unsigned decimal without sign or leading garbage; at most 19 digits so it cannot overflow.
inline Match digits(const uint8_t*& p, const uint8_t* end, uint64_t& value) {
    const uint8_t* q = p;
    uint64_t v = 0;
    while (q < end && is_digit(*q)) {
        if (q - p >= 19) return Match::No;
        v = v * 10 + (*q++ - '0');
    }
    if (q == end) return Match::Short;
    if (q == p) return Match::No;
    value = v;
    p = q;
    return Match::Yes;
}

// A string without escapes or control bytes, after its opening quote; p ends past the closing
// quote.
inline Match plain_string(const uint8_t*& p, const uint8_t* end, std::string_view& out) {
    const uint8_t* q =
        static_cast<const uint8_t*>(std::memchr(p, '"', static_cast<size_t>(end - p)));
    if (q == nullptr) return Match::Short;
    if (std::memchr(p, '\\', static_cast<size_t>(q - p)) != nullptr) return Match::No;
    out = std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(q - p));
    p = q + 1;
    return Match::Yes;
}

// ---- The general parser ------------------------------------------------------------------

enum class Got { Ok, NeedMore, Bad };

struct ValueParser {
    const uint8_t* p;
    const uint8_t* end;
    std::string error;
    const uint8_t* error_at = nullptr;

    Got bad(const char* what) {
        error = what;
        error_at = p;
        return Got::Bad;
    }

    void space() {
        while (p < end && is_space(*p)) ++p;
    }

    static void put_utf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }

    Got hex4(uint32_t& cp) {
        if (end - p < 4) return Got::NeedMore;
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            uint8_t c = *p++;
            uint32_t d;
            if (is_digit(c))
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return bad("a bad \\u escape");
            cp = cp * 16 + d;
        }
        return Got::Ok;
    }

    // A string at p (its opening quote); decoded into *out unless out is null.
    Got string(std::string* out) {
        ++p;
        for (;;) {
            if (p >= end) return Got::NeedMore;
            uint8_t c = *p;
            if (c == '"') {
                ++p;
                return Got::Ok;
            }
            if (c < 0x20) return bad("a control byte inside a string");
            if (c != '\\') {
                const uint8_t* run = p;
                while (p < end && *p != '"' && *p != '\\' && *p >= 0x20) ++p;
                if (out)
                    out->append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
                continue;
            }
            if (end - p < 2) return Got::NeedMore;
            char e = static_cast<char>(p[1]);
            p += 2;
            char plain = 0;
            switch (e) {
                case '"':
                    plain = '"';
                    break;
                case '\\':
                    plain = '\\';
                    break;
                case '/':
                    plain = '/';
                    break;
                case 'b':
                    plain = '\b';
                    break;
                case 'f':
                    plain = '\f';
                    break;
                case 'n':
                    plain = '\n';
                    break;
                case 'r':
                    plain = '\r';
                    break;
                case 't':
                    plain = '\t';
                    break;
                case 'u': {
                    uint32_t cp;
                    if (Got g = hex4(cp); g != Got::Ok) return g;
                    if (cp >= 0xD800 && cp < 0xDC00) {
                        // A high surrogate: a low one should follow; alone it becomes U+FFFD.
                        if (end - p < 6) return Got::NeedMore;
                        if (p[0] == '\\' && p[1] == 'u') {
                            const uint8_t* save = p;
                            p += 2;
                            uint32_t lo;
                            if (Got g = hex4(lo); g != Got::Ok) return g;
                            if (lo >= 0xDC00 && lo < 0xE000) {
                                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                            } else {
                                p = save;
                                cp = 0xFFFD;
                            }
                        } else {
                            cp = 0xFFFD;
                        }
                    } else if (cp >= 0xDC00 && cp < 0xE000) {
                        cp = 0xFFFD;
                    }
                    if (out) put_utf8(*out, cp);
                    continue;
                }
                default:
                    p -= 2;
                    return bad("a bad escape in a string");
            }
            if (out) out->push_back(plain);
        }
    }

    // A number at p: its text (validated against the JSON grammar).
    Got number(std::string_view& text) {
        const uint8_t* s = p;
        const uint8_t* q = p;
        if (q < end && *q == '-') ++q;
        const uint8_t* int_start = q;
        while (q < end && is_digit(*q)) ++q;
        if (q == end) return Got::NeedMore;
        if (q == int_start) return bad("a malformed number");
        if (*int_start == '0' && q - int_start > 1) return bad("a number with a leading zero");
        if (*q == '.') {
            const uint8_t* frac = ++q;
            while (q < end && is_digit(*q)) ++q;
            if (q == end) return Got::NeedMore;
            if (q == frac) return bad("a malformed number");
        }
        if (*q == 'e' || *q == 'E') {
            ++q;
            if (q < end && (*q == '+' || *q == '-')) ++q;
            const uint8_t* exp = q;
            while (q < end && is_digit(*q)) ++q;
            if (q == end) return Got::NeedMore;
            if (q == exp) return bad("a malformed number");
        }
        text = std::string_view(reinterpret_cast<const char*>(s), static_cast<size_t>(q - s));
        p = q;
        return Got::Ok;
    }

    Got literal(std::string_view word) {
        Match m = match(p, end, word);
        if (m == Match::Short) return Got::NeedMore;
        if (m == Match::No) return bad("an unexpected byte");
        return Got::Ok;
    }

    // Any value, passed over.
    Got skip(int depth) {
        space();
        if (p >= end) return Got::NeedMore;
        switch (*p) {
            case '"':
                return string(nullptr);
            case '{':
            case '[': {
                if (depth >= JsonReader::MAX_DEPTH) return bad("values nested too deeply");
                uint8_t close = *p == '{' ? '}' : ']';
                bool object = close == '}';
                ++p;
                space();
                if (p >= end) return Got::NeedMore;
                if (*p == close) {
                    ++p;
                    return Got::Ok;
                }
                for (;;) {
                    if (object) {
                        space();
                        if (p >= end) return Got::NeedMore;
                        if (*p != '"') return bad("an object key that is not a string");
                        if (Got g = string(nullptr); g != Got::Ok) return g;
                        space();
                        if (p >= end) return Got::NeedMore;
                        if (*p != ':') return bad("a missing ':'");
                        ++p;
                    }
                    if (Got g = skip(depth + 1); g != Got::Ok) return g;
                    space();
                    if (p >= end) return Got::NeedMore;
                    if (*p == ',') {
                        ++p;
                        continue;
                    }
                    if (*p == close) {
                        ++p;
                        return Got::Ok;
                    }
                    return bad("a missing ',' between values");
                }
            }
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default: {
                std::string_view text;
                return number(text);
            }
        }
    }

    // Iterates the members of the object at p, calling member(key) with p at the value; the
    // callback consumes the value.
    template <class Member>
    Got object(int depth, Member member) {
        if (depth >= JsonReader::MAX_DEPTH) return bad("values nested too deeply");
        ++p;
        space();
        if (p >= end) return Got::NeedMore;
        if (*p == '}') {
            ++p;
            return Got::Ok;
        }
        std::string key;
        for (;;) {
            space();
            if (p >= end) return Got::NeedMore;
            if (*p != '"') return bad("an object key that is not a string");
            key.clear();
            if (Got g = string(&key); g != Got::Ok) return g;
            space();
            if (p >= end) return Got::NeedMore;
            if (*p != ':') return bad("a missing ':'");
            ++p;
            space();
            if (p >= end) return Got::NeedMore;
            if (Got g = member(key); g != Got::Ok) return g;
            space();
            if (p >= end) return Got::NeedMore;
            if (*p == ',') {
                ++p;
                continue;
            }
            if (*p == '}') {
                ++p;
                return Got::Ok;
            }
            return bad("a missing ',' between members");
        }
    }

    // A string member, or anything else passed over (a name that is not a string is no name).
    Got string_or_skip(std::optional<std::string>& out, int depth) {
        if (*p != '"') return skip(depth);
        out.emplace();
        return string(&*out);
    }

    // A non-negative integer member; other numbers and other values are malformed for it.
    Got integer(uint64_t& out, const char* what) {
        std::string_view text;
        if (*p < '0' || *p > '9') return bad(what);
        if (Got g = number(text); g != Got::Ok) return g;
        auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
        if (ec != std::errc() || ptr != text.data() + text.size()) return bad(what);
        return Got::Ok;
    }
};

// Microseconds in JSON number text -> nanoseconds. Plain decimals are converted exactly
// (digits past the third decimal are dropped); exponents go through double.
std::optional<uint64_t> micros_to_ns(std::string_view text) {
    if (text.empty() || text[0] == '-') return std::nullopt;
    if (text.find_first_of("eE") == std::string_view::npos) {
        size_t dot = text.find('.');
        std::string_view whole = text.substr(0, dot);
        uint64_t us = 0;
        auto [ptr, ec] = std::from_chars(whole.data(), whole.data() + whole.size(), us);
        if (ec != std::errc() || us >= UINT64_MAX / 1000) return std::nullopt;  // + ns fits
        uint64_t ns = 0;
        if (dot != std::string_view::npos) {
            for (size_t i = 0; i < 3; ++i) {
                ns = ns * 10 + (dot + 1 + i < text.size() ? text[dot + 1 + i] - '0' : 0);
            }
        }
        return us * 1000 + ns;
    }
    double us = std::strtod(std::string(text).c_str(), nullptr);
    if (!(us >= 0) || us * 1000 >= 1.8e19) return std::nullopt;
    return static_cast<uint64_t>(std::llround(us * 1000));
}

IoError corrupt(std::string_view what, uint64_t at) {
    return IoError::other("corrupt JSON trace: " + std::string(what) + " at byte " +
                          std::to_string(at));
}

}  // namespace

uint32_t JsonReader::thread(uint32_t pid, uint32_t tid) {
    uint64_t key = (uint64_t{pid} << 32) | tid;
    if (key == last_thread_key_ && last_thread_ != UINT32_MAX) return last_thread_;
    auto it = threads_.find(key);
    if (it == threads_.end()) {
        if (pids_.insert(pid).second) visitor_.process(pid, {});
        it = threads_.emplace(key, visitor_.thread(pid, tid)).first;
    }
    last_thread_key_ = key;
    last_thread_ = it->second;
    return it->second;
}

uint32_t JsonReader::function(std::string_view name, std::string_view file, std::string_view line) {
    key_.assign(name);
    key_.push_back('\0');
    key_.append(file);
    key_.push_back('\0');
    key_.append(line);
    auto it = functions_.find(key_);
    if (it != functions_.end()) return it->second;
    uint32_t line_no = 0;
    std::from_chars(line.data(), line.data() + line.size(), line_no);
    uint32_t handle = visitor_.function(name, file, line_no);
    functions_.emplace(key_, handle);
    return handle;
}

uint32_t JsonReader::span(const std::string& name) {
    auto it = spans_.find(name);
    if (it != spans_.end()) return it->second;
    uint32_t handle = visitor_.span(name);
    spans_.emplace(name, handle);
    return handle;
}

// {"name":"N","cat":"py","ph":"B","ts":1.000,"pid":1,"tid":2,"args":{"file":"F","line":3,"kind":"start"}}
JsonReader::Step JsonReader::fast_record(const uint8_t*& pos, const uint8_t* end) {
    const uint8_t* p = pos;
    auto lit = [&](std::string_view s) { return match(p, end, s); };
#define VESPRA_STEP(expr)                              \
    do {                                               \
        Match m_ = (expr);                             \
        if (m_ == Match::Short) return Step::NeedMore; \
        if (m_ == Match::No) return Step::Slow;        \
    } while (0)
    std::string_view name, file, kind;
    uint64_t us, frac, pid, tid, line;
    VESPRA_STEP(lit("{\"name\":\""));
    VESPRA_STEP(plain_string(p, end, name));
    VESPRA_STEP(lit(",\"cat\":\"py\",\"ph\":\""));
    if (end - p < 2) return Step::NeedMore;
    uint8_t ph = *p++;
    if (ph != 'B' && ph != 'E') return Step::Slow;
    VESPRA_STEP(lit("\",\"ts\":"));
    VESPRA_STEP(digits(p, end, us));
    VESPRA_STEP(lit("."));
    const uint8_t* frac_at = p;
    VESPRA_STEP(digits(p, end, frac));
    if (p - frac_at != 3 || us > UINT64_MAX / 1000 - 1) return Step::Slow;
    VESPRA_STEP(lit(",\"pid\":"));
    VESPRA_STEP(digits(p, end, pid));
    VESPRA_STEP(lit(",\"tid\":"));
    VESPRA_STEP(digits(p, end, tid));
    VESPRA_STEP(lit(",\"args\":{\"file\":\""));
    VESPRA_STEP(plain_string(p, end, file));
    VESPRA_STEP(lit(",\"line\":"));
    const uint8_t* line_at = p;
    VESPRA_STEP(digits(p, end, line));
    std::string_view line_text(reinterpret_cast<const char*>(line_at),
                               static_cast<size_t>(p - line_at));
    VESPRA_STEP(lit(",\"kind\":\""));
    VESPRA_STEP(plain_string(p, end, kind));
    VESPRA_STEP(lit("}}"));
#undef VESPRA_STEP
    if (pid > UINT32_MAX || tid > UINT32_MAX || line > UINT32_MAX) return Step::Slow;
    uint64_t ts = us * 1000 + frac;
    uint32_t t = thread(static_cast<uint32_t>(pid), static_cast<uint32_t>(tid));
    ++events_;
    if (ph == 'B') {
        visitor_.begin(t, function(name, file, line_text), ts);
    } else {
        visitor_.end(t, ts);
    }
    if (sink_) {
        info_ = {ph == 'B' ? trace::RecordInfo::Kind::Begin : trace::RecordInfo::Kind::End, t,
                 static_cast<uint32_t>(pid), ts};
    }
    pos = p;
    return Step::Done;
}

// Returns true when a record was read, false when it is cut by the end of the data.
Result<bool> JsonReader::slow_record(const uint8_t*& pos, const uint8_t* end, uint64_t at) {
    ValueParser ps{pos, end, {}, nullptr};
    Record r;
    std::optional<std::string> ts_text, dur_text;
    Got g = ps.object(0, [&](const std::string& key) -> Got {
        if (key == "name") return ps.string_or_skip(r.name, 1);
        if (key == "ph") return ps.string_or_skip(r.ph, 1);
        if (key == "cat") return ps.string_or_skip(r.cat, 1);
        if (key == "pid") return ps.integer(r.pid, "a \"pid\" that is not a whole number");
        if (key == "tid") return ps.integer(r.tid, "a \"tid\" that is not a whole number");
        if (key == "ts" || key == "dur") {
            if (*ps.p == '"') return ps.bad("a \"ts\" or \"dur\" that is not a number");
            if (*ps.p != '-' && !is_digit(*ps.p)) return ps.skip(1);
            std::string_view text;
            if (Got n = ps.number(text); n != Got::Ok) return n;
            (key == "ts" ? ts_text : dur_text).emplace(text);
            return Got::Ok;
        }
        if (key == "args" && *ps.p == '{') {
            return ps.object(1, [&](const std::string& arg) -> Got {
                if (arg == "file") return ps.string_or_skip(r.file, 2);
                if (arg == "value" && (*ps.p == '-' || is_digit(*ps.p))) {
                    std::string_view text;
                    if (Got n = ps.number(text); n != Got::Ok) return n;
                    r.value.emplace(text);
                    return Got::Ok;
                }
                if (arg == "name") return ps.string_or_skip(r.arg_name, 2);
                if (arg == "reason") return ps.string_or_skip(r.reason, 2);
                if (arg == "count")
                    return ps.integer(r.count, "a \"count\" that is not a whole number");
                if (arg == "line" && is_digit(*ps.p)) {
                    uint64_t line;
                    const uint8_t* s = ps.p;
                    if (Got n = ps.integer(line, "a \"line\" that is not a whole number");
                        n != Got::Ok) {
                        return n;
                    }
                    if (line > UINT32_MAX) return ps.bad("a \"line\" above 2^32");
                    r.line.assign(reinterpret_cast<const char*>(s), static_cast<size_t>(ps.p - s));
                    return Got::Ok;
                }
                return ps.skip(2);
            });
        }
        return ps.skip(1);
    });
    if (g == Got::NeedMore) return false;
    if (g == Got::Bad) return corrupt(ps.error, at + static_cast<uint64_t>(ps.error_at - pos));
    for (auto [text, ns, what] : {std::tuple{&ts_text, &r.ts, "a \"ts\" out of range"},
                                  std::tuple{&dur_text, &r.dur, "a \"dur\" out of range"}}) {
        if (!*text) continue;
        *ns = micros_to_ns(**text);
        if (!*ns) return corrupt(what, at);
    }
    if (r.pid > UINT32_MAX || r.tid > UINT32_MAX) return corrupt("a pid or tid above 2^32", at);
    if (Status st = apply(r, at); !st.ok()) return st.error();
    pos = ps.p;
    return true;
}

Status JsonReader::apply(const Record& r, uint64_t at) {
    uint32_t pid = static_cast<uint32_t>(r.pid), tid = static_cast<uint32_t>(r.tid);
    std::string_view ph = r.ph ? std::string_view(*r.ph) : std::string_view();
    using Kind = trace::RecordInfo::Kind;
    info_ = {Kind::State, trace::RecordInfo::NONE, pid, r.ts.value_or(0)};
    if (r.ph) ++events_;
    if (ph == "X") {
        if (!r.ts || !r.dur) return corrupt("a complete record without numeric \"ts\" and \"dur\"", at);
        if (*r.ts > UINT64_MAX - *r.dur) return corrupt("a \"dur\" out of range", at);
        uint32_t f = r.cat == "span" ? span(r.name ? *r.name : "")
                                     : function(r.name ? *r.name : "", r.file ? *r.file : "", r.line);
        uint32_t t = thread(pid, tid);
        complete_[t].push_back(Complete{*r.ts, *r.ts + *r.dur, f});
        // Its slice reaches the visitor only at the end of the stream: to a sink, it is an event
        // of its thread at its start.
        info_.kind = Kind::Mark, info_.thread = t;
    } else if (ph == "B" || ph == "E") {
        if (!r.ts) return corrupt("a duration record without a numeric \"ts\"", at);
        uint32_t t = thread(pid, tid);
        info_.kind = ph == "B" ? Kind::Begin : Kind::End, info_.thread = t;
        if (ph == "B" && r.cat == "span") {
            visitor_.begin(t, span(r.name ? *r.name : ""), *r.ts);
        } else if (ph == "B") {
            visitor_.begin(t, function(r.name ? *r.name : "", r.file ? *r.file : "", r.line),
                           *r.ts);
        } else {
            visitor_.end(t, *r.ts);
        }
    } else if (r.ts && ph != "M") {
        // An instant, a counter sample, or another event of a time: kept with its time.
        info_.kind = Kind::Mark;
        if (ph != "C" && sink_) info_.thread = thread(pid, tid);
    }
    if (ph == "C" && r.name && r.value && r.ts) {
        // Counters are the writer's "value" series; a value that is no number is passed over.
        double value = 0;
        const char* text = r.value->data();
        auto [end, ec] = std::from_chars(text, text + r.value->size(), value);
        if (ec == std::errc() && end == text + r.value->size()) {
            visitor_.counter(pid, *r.name, value, *r.ts);
        }
    } else if (ph == "M" && r.name) {
        if (*r.name == "thread_name" && r.arg_name) {
            info_.thread = thread(pid, tid);
            visitor_.thread_name(info_.thread, *r.arg_name);
        } else if (*r.name == "process_name" && r.arg_name) {
            pids_.insert(pid);  // named already: its first thread need not announce it
            visitor_.process(pid, *r.arg_name);
        } else if (*r.name == "vespra_dropped_events") {
            info_.kind = Kind::Totals;
            visitor_.dropped(pid, r.count);
        } else if (*r.name == json::LEFT_OUT_RECORD && r.reason) {
            info_.kind = Kind::Totals;
            visitor_.left_out(pid, *r.reason, r.count);
        } else if (*r.name == json::CUT_SHORT_RECORD) {
            info_.kind = Kind::Totals;
            visitor_.cut_short(pid);
        }
    }
    return Status::success();
}

Result<bool> JsonReader::member(const uint8_t*& pos, const uint8_t* end, uint64_t at) {
    ValueParser ps{pos, end, {}, nullptr};
    if (*ps.p != '"') return corrupt("an object key that is not a string", at);
    std::string key;
    Got g = ps.string(&key);
    if (g == Got::Ok) {
        ps.space();
        if (ps.p >= end) return false;
        if (*ps.p != ':') return corrupt("a missing ':'", at + static_cast<uint64_t>(ps.p - pos));
        ++ps.p;
        ps.space();
        if (ps.p >= end) return false;
        if (key == "traceEvents" && *ps.p == '[') {
            ++ps.p;
            place_ = Place::Records;
            had_records_ = true;
            expect_record_ = true;
            pos = ps.p;
            return true;
        }
        g = ps.skip(1);
    }
    if (g == Got::NeedMore) return false;
    if (g == Got::Bad) return corrupt(ps.error, at + static_cast<uint64_t>(ps.error_at - pos));
    place_ = Place::AfterValue;
    pos = ps.p;
    return true;
}

Result<size_t> JsonReader::parse(std::span<const uint8_t> data, uint64_t offset) {
    const uint8_t* const start = data.data();
    const uint8_t* const end = start + data.size();
    const uint8_t* p = start;
    auto at = [&] { return offset + static_cast<uint64_t>(p - start); };
    while (p < end) {
        uint8_t c = *p;
        if (is_space(c)) {
            ++p;
            continue;
        }
        switch (place_) {
            case Place::Start:
                if (c != '[' && c != '{') {
                    return IoError::other("not a JSON trace: it does not start with '[' or '{'");
                }
                object_form_ = c == '{';
                place_ = object_form_ ? Place::Key : Place::Records;
                ++p;
                continue;
            case Place::End:
                return corrupt("data after the end of the trace", at());
            case Place::Key:
            case Place::AfterValue:
                if (c == '}') {
                    place_ = Place::End;
                    ++p;
                    continue;
                }
                if (place_ == Place::AfterValue) {
                    if (c != ',') return corrupt("a missing ',' between members", at());
                    place_ = Place::Key;
                    ++p;
                    continue;
                }
                if (Result<bool> got = member(p, end, at()); !got) {
                    return got.error();
                } else if (!got.value()) {
                    return static_cast<size_t>(p - start);
                }
                continue;
            case Place::Records:
                break;
        }
        if (c == ']') {
            place_ = object_form_ ? Place::AfterValue : Place::End;
            ++p;
            continue;
        }
        if (c == ',') {
            if (expect_record_) return corrupt("a ',' where a record belongs", at());
            expect_record_ = true;
            ++p;
            continue;
        }
        if (c != '{') return corrupt("a value that is not a record (object)", at());
        if (!expect_record_) return corrupt("a missing ',' between records", at());
        const uint8_t* record = p;
        Step step = fast_record(p, end);
        if (step == Step::NeedMore) break;
        if (step == Step::Slow) {
            Result<bool> got = slow_record(p, end, at());
            if (!got) return got.error();
            if (!got.value()) break;
        }
        ++records_;
        if (sink_) {
            if (Status st = sink_->record({record, p}, info_); !st.ok()) return st.error();
        }
        expect_record_ = false;
    }
    return static_cast<size_t>(p - start);
}

void JsonReader::replay_complete() {
    // Longer first among those that begin together: the outer one. A record that would end
    // after the slice around it ends with it, so that the slices stay nested.
    for (auto& [thread, slices] : complete_) {
        std::sort(slices.begin(), slices.end(), [](const Complete& a, const Complete& b) {
            return a.begin != b.begin ? a.begin < b.begin : a.end > b.end;
        });
        std::vector<uint64_t> open;  // the ends of the slices open, innermost last
        for (const Complete& c : slices) {
            while (!open.empty() && open.back() <= c.begin) {
                visitor_.end(thread, open.back());
                open.pop_back();
            }
            visitor_.begin(thread, c.function, c.begin);
            open.push_back(open.empty() ? c.end : std::min(c.end, open.back()));
        }
        for (; !open.empty(); open.pop_back()) visitor_.end(thread, open.back());
    }
    complete_.clear();
}

Status JsonReader::finish(std::span<const uint8_t> rest) {
    if (place_ == Place::Start) return IoError::other("not a JSON trace: it holds no '[' or '{'");
    replay_complete();
    // A JSON document of other records, an object without "traceEvents", or one cut inside a
    // first record longer than a trace's records come (a trace begins with a process's name), is
    // not a trace that lost its events: said so, rather than summed up as an empty trace.
    constexpr size_t FIRST_RECORD_MOST = 64 * 1024;
    bool other = records_ > 0 || rest.size() > FIRST_RECORD_MOST ||
                 (object_form_ && !had_records_ && rest.empty());
    if (events_ == 0 && other) {
        return IoError::other(
            "not a trace: a JSON document without Trace Event records (objects with a \"ph\")");
    }
    return Status::success();
}

}  // namespace vespra
