// The bytes of a JSON text as the query's reader sees them: what the check,
// the index and the reading of values share (the units json_check.cpp,
// json_index.cpp and json_read.cpp).
#pragma once

#include "query/query.hpp"

#include <cstdint>
#include <cstring>
#include <string>

namespace css::query::json {

using Byte = unsigned char;

inline uint64_t load8(const Byte* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

inline uint64_t has_zero(uint64_t v) { return (v - kOnes) & ~v & kHighs; }
inline uint64_t has_byte(uint64_t v, Byte b) { return has_zero(v ^ (kOnes * b)); }
inline uint64_t has_less(uint64_t v, Byte n) { return (v - kOnes * n) & ~v & kHighs; }

inline bool is_ws(Byte c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool is_digit(Byte c) { return static_cast<unsigned>(c - '0') < 10; }

inline const Byte* skip_ws(const Byte* p, const Byte* e) {
    while (p < e && is_ws(*p)) {
        ++p;
        while (e - p >= 8 && load8(p) == 0x2020202020202020ULL) p += 8;
    }
    return p;
}

inline int hex_value(Byte c) {
    if (is_digit(c)) return c - '0';
    c |= 0x20;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline const Byte* as_bytes(const char* p) { return reinterpret_cast<const Byte*>(p); }

// A string whose opening quote is at p[-1]; returns the byte after the
// closing quote, nullptr if not vouched for. `escaped` tells whether it
// holds escapes.
const Byte* scan_string(const Byte* p, const Byte* e, bool& escaped);
// A number that starts at p; the byte after it, nullptr if not vouched for.
const Byte* scan_number(const Byte* p, const Byte* e);
// A value that starts at p, `depth` levels down; the byte after it, nullptr
// if not vouched for.
const Byte* scan_value(const Byte* p, const Byte* e, int depth);
// The byte after a value that starts at p, by brackets and quotes alone
// (right for a checked text); nullptr if there is none.
const Byte* skip_value_fast(const Byte* p, const Byte* e);
// The text of a checked string whose opening quote is at `p`; returns the
// byte after the closing quote.
const Byte* read_string(const Byte* p, const Byte* e, std::string& out);

}  // namespace css::query::json
