// A plain protobuf wire-format walker for the tests, sharing no code with the encoder or the
// production reader (a fault they shared would hide from a test reading through them), and byte
// strings written as hex.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vespra::pbtest {

struct DecodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Field {
    uint32_t number;
    bool is_varint;          // else length-delimited
    uint64_t value;          // of a varint
    std::string_view bytes;  // of a length-delimited field
};

// The fields of one message, in wire order. Accepts only what the writer may produce: varints
// and length-delimited fields, minimal varints of at most ten bytes, nothing cut short.
class Message {
  public:
    explicit Message(std::string_view bytes) : bytes(bytes) {
        size_t pos = 0;
        auto varint = [&] {
            uint64_t v = 0;
            for (int shift = 0;; shift += 7) {
                if (pos == bytes.size()) throw DecodeError("truncated varint");
                uint8_t b = static_cast<uint8_t>(bytes[pos++]);
                if (shift == 63 && b > 1) throw DecodeError("varint beyond 64 bits");
                v |= uint64_t{b & 0x7Fu} << shift;
                if (b < 0x80) {
                    if (b == 0 && shift > 0) throw DecodeError("non-minimal varint");
                    return v;
                }
            }
        };
        while (pos < bytes.size()) {
            uint64_t key = varint();
            Field f{static_cast<uint32_t>(key >> 3), (key & 7) == 0, 0, {}};
            if (f.number == 0) throw DecodeError("field number 0");
            if (f.is_varint) {
                f.value = varint();
            } else if ((key & 7) == 2) {
                uint64_t n = varint();
                if (n > bytes.size() - pos) throw DecodeError("length runs past the end");
                f.bytes = bytes.substr(pos, n);
                pos += n;
            } else {
                throw DecodeError("wire type " + std::to_string(key & 7));
            }
            fields.push_back(f);
        }
    }

    std::string_view bytes;
    std::vector<Field> fields;

    std::vector<const Field*> all(uint32_t n, bool varint) const {
        std::vector<const Field*> out;
        for (const Field& f : fields) {
            if (f.number != n) continue;
            if (f.is_varint != varint) throw DecodeError("wrong wire type: " + std::to_string(n));
            out.push_back(&f);
        }
        return out;
    }
    const Field* one(uint32_t n, bool varint) const {
        auto found = all(n, varint);
        if (found.size() > 1) throw DecodeError("repeated field " + std::to_string(n));
        return found.empty() ? nullptr : found[0];
    }
    std::optional<uint64_t> u64(uint32_t n) const {
        const Field* f = one(n, true);
        return f ? std::optional(f->value) : std::nullopt;
    }
    // int32 travels as its sign extension to 64 bits: ten bytes when negative.
    std::optional<int32_t> i32(uint32_t n) const {
        std::optional<uint64_t> v = u64(n);
        if (v && *v > 0x7FFFFFFF && *v < 0xFFFFFFFF80000000ull)
            throw DecodeError("int32 not sign-extended");
        return v ? std::optional(static_cast<int32_t>(*v)) : std::nullopt;
    }
    std::optional<Message> sub(uint32_t n) const {
        const Field* f = one(n, false);
        return f ? std::optional(Message(f->bytes)) : std::nullopt;
    }
};

// The packets of a stream: a run of Trace.packet fields (0A, length, packet).
inline std::vector<Message> packets_of(std::string_view stream) {
    Message trace(stream);
    std::vector<Message> out;
    for (const Field* f : trace.all(1, false)) out.emplace_back(f->bytes);
    if (out.size() != trace.fields.size()) throw DecodeError("a field other than a packet");
    return out;
}

inline std::string hex(std::string_view bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

// Bytes from hex pairs and 'quoted text': bytes("12 04 'main'") is 12 04 6D 61 69 6E.
inline std::string bytes(std::string_view spec) {
    std::string out;
    for (size_t i = 0; i < spec.size(); ++i) {
        if (spec[i] == ' ') continue;
        if (spec[i] == '\'') {
            size_t end = spec.find('\'', i + 1);
            out += spec.substr(i + 1, end - i - 1);
            i = end;
        } else {
            out += static_cast<char>(std::stoi(std::string(spec.substr(i, 2)), nullptr, 16));
            ++i;
        }
    }
    return out;
}

}  // namespace vespra::pbtest
