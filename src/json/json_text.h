// The JSON writer's own text routines: a growable byte buffer and the three ways a value enters a
// trace record (string literal, unsigned decimal, microseconds with three decimals).
//
// Each routine has two forms. put_* writes at a raw cursor the caller has made room for and
// returns the new cursor: the per-event path reserves once per record and then only copies.
// push_* makes room in a Buffer itself and is what everything off the hot path uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/bytes.h"

namespace vespra::json {

// The metadata record that counts the events an option of the tracer left out, by reason.
inline constexpr std::string_view LEFT_OUT_RECORD = "vespra_left_out_events";
// The metadata record "vespra_cut_short" names a process that ended without stopping its run
// (killed): its "args" give the bytes of a torn last record that were left out.
inline constexpr std::string_view CUT_SHORT_RECORD = "vespra_cut_short";

// Bytes that put_u64 may write.
inline constexpr size_t MAX_U64_DIGITS = 20;
// Bytes that put_micros may write: the integral microseconds, "." and three digits.
inline constexpr size_t MAX_MICROS_LEN = MAX_U64_DIGITS + 4;

// The writer's buffers are the same kind as SharedFile's, so that a rendered batch can be
// handed to the file without copying it.
using Buffer = ByteBuffer;

namespace detail {

// "00" "01" ... "99": two digits per table read halves the divisions.
inline constexpr char DIGIT_PAIRS[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// 10^0 .. 10^19.
inline constexpr std::array<uint64_t, 20> POW10 = [] {
    std::array<uint64_t, 20> a{};
    uint64_t x = 1;
    for (uint64_t& e : a) {
        e = x;
        x *= 10;
    }
    return a;
}();

// Number of decimal digits of v: log10 estimated from the bit length, corrected by one table
// compare.
inline unsigned decimal_length(uint64_t v) {
    v |= 1;  // 0 has one digit, like 1
    unsigned t = (64 - static_cast<unsigned>(__builtin_clzll(v))) * 1233 >> 12;
    return t + (v >= POW10[t] ? 1 : 0);
}

// Writes the digits of v backwards, ending at `end`, two at a time. UInt is 32 bits when the
// value allows: its divisions by 100 are cheaper multiplications.
template <class UInt>
inline void put_digits_backwards(char* end, UInt v) {
    while (v >= 100) {
        unsigned pair = static_cast<unsigned>(v % 100) * 2;
        v /= 100;
        end -= 2;
        std::memcpy(end, DIGIT_PAIRS + pair, 2);
    }
    if (v >= 10) {
        std::memcpy(end - 2, DIGIT_PAIRS + v * 2, 2);
    } else {
        end[-1] = static_cast<char>('0' + v);
    }
}

}  // namespace detail

// Decimal digits of v, no leading zeros ("0" for 0). At most MAX_U64_DIGITS bytes.
inline char* put_u64(char* p, uint64_t v) {
    char* end = p + detail::decimal_length(v);
    if (v <= UINT32_MAX) {
        detail::put_digits_backwards(end, static_cast<uint32_t>(v));
    } else {
        detail::put_digits_backwards(end, v);
    }
    return end;
}

// Nanoseconds as microseconds with exactly three decimals: 0 -> "0.000", 1234567 -> "1234.567".
inline char* put_micros(char* p, uint64_t nanos) {
    uint64_t micros = nanos / 1000;
    unsigned frac = static_cast<unsigned>(nanos - micros * 1000);
    p = put_u64(p, micros);
    p[0] = '.';
    p[1] = static_cast<char>('0' + frac / 100);
    std::memcpy(p + 2, detail::DIGIT_PAIRS + (frac % 100) * 2, 2);
    return p + 4;
}

// Worst case of put_string: every byte becomes "\u00XX", plus the two quotes.
inline constexpr size_t max_string_len(size_t n) { return 6 * n + 2; }

// A JSON string literal of `bytes`. Control bytes, '"' and '\' are escaped; every other byte,
// including 0x7F and all of 0x80..0xFF, is copied as is: the input is not validated as UTF-8.
inline char* put_string(char* p, std::string_view bytes) {
    static constexpr char HEX[] = "0123456789abcdef";
    // The control bytes JSON has a one-letter escape for; 0 for the rest.
    static constexpr char SHORT_ESCAPE[0x20] = {0, 0,   0,   0, 0, 0, 0, 0, 'b', 't', 'n',
                                                0, 'f', 'r', 0, 0, 0, 0, 0, 0,   0,   0,
                                                0, 0,   0,   0, 0, 0, 0, 0, 0,   0};
    *p++ = '"';
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c != '"' && c != '\\') {
            *p++ = static_cast<char>(c);
            continue;
        }
        *p++ = '\\';
        if (c == '"' || c == '\\') {
            *p++ = static_cast<char>(c);
        } else if (SHORT_ESCAPE[c] != 0) {
            *p++ = SHORT_ESCAPE[c];
        } else {
            std::memcpy(p, "u00", 3);
            p[3] = HEX[c >> 4];
            p[4] = HEX[c & 0xF];
            p += 5;
        }
    }
    *p++ = '"';
    return p;
}

inline void push_u64(Buffer& buf, uint64_t v) { buf.commit(put_u64(buf.room(MAX_U64_DIGITS), v)); }

inline void push_micros(Buffer& buf, uint64_t nanos) {
    buf.commit(put_micros(buf.room(MAX_MICROS_LEN), nanos));
}

inline void push_string(Buffer& buf, std::string_view bytes) {
    buf.commit(put_string(buf.room(max_string_len(bytes.size())), bytes));
}

}  // namespace vespra::json
