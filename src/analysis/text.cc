#include "analysis/text.h"

#include <cstdio>

namespace vespra::analysis {

std::string with_commas(uint64_t v) {
    std::string digits = std::to_string(v), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string format_bytes(uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    const char* units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    while (value >= 1000 && unit + 1 < std::size(units)) value /= 1000, ++unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t utf8_len(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t min;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0)
        n = 2, min = 0x80;
    else if ((c & 0xF0) == 0xE0)
        n = 3, min = 0x800;
    else if ((c & 0xF8) == 0xF0)
        n = 4, min = 0x10000;
    else
        return 0;
    if (i + n > s.size()) return 0;
    uint32_t cp = c & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        unsigned char d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return 0;
    return n;
}

}  // namespace

std::string format_ns(uint64_t ns) {
    char buf[48];
    double v = static_cast<double>(ns);
    if (ns < 1000) {
        std::snprintf(buf, sizeof buf, "%llu ns", static_cast<unsigned long long>(ns));
    } else if (ns < 1000000) {
        std::snprintf(buf, sizeof buf, "%.2f us", v / 1e3);
    } else if (ns < 1000000000) {
        std::snprintf(buf, sizeof buf, "%.2f ms", v / 1e6);
    } else {
        std::snprintf(buf, sizeof buf, "%.3f s", v / 1e9);
    }
    return buf;
}

std::string format_share(uint64_t part, uint64_t whole) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f%%",
                  whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return buf;
}

std::string where(const Function& f) {
    if (f.span) return "(span)";
    if (f.file.empty() && f.line == 0) return {};
    return f.file + ":" + std::to_string(f.line);
}

std::string thread_label(const Thread& t, std::string_view process) {
    std::string ids = std::to_string(t.pid) + "/" + std::to_string(t.tid);
    if (!process.empty()) ids = std::string(process) + " " + ids;
    return t.name.empty() ? "thread " + ids : t.name + " (" + ids + ")";
}

std::string xml_escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            // Invalid UTF-8 would make the document unreadable: it becomes U+FFFD.
            size_t n = utf8_len(s, i);
            out.append(n ? s.substr(i, n) : std::string_view("\xEF\xBF\xBD"));
            if (n) i += n - 1;
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                // XML 1.0 admits no control characters but tab, line feed and carriage return.
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                    out += '?';
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out;
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            size_t n = utf8_len(s, i);
            if (n == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
    return out;
}

}  // namespace vespra::analysis
