// The JSON text of a result file, read without the host's decoder: a check
// that the whole text is a document the decoder accepts, an index of its
// top-level members, and the values at the paths a query asks for.
//
// The check accepts only what the decoder (orjson) certainly reads, and
// reads to the same value: strict JSON, valid UTF-8 without surrogates, at
// most 256 levels deep, numbers well inside the range of a double. Anything
// else goes to the decoder, which then accepts or refuses it; so a file
// that does not decode is always reported, and one that does is always
// queried on the value the decoder gives.
#include "query/json_bytes.hpp"

namespace css::query {

using namespace json;

namespace {

constexpr int kMaxDepth = 256;
// Decimal exponents beyond this are left to the decoder (overflow, underflow).
constexpr int kMaxExponent = 300;

// Eight ASCII digits in a row.
inline bool eight_digits(const Byte* p) {
    uint64_t v = load8(p);
    return (v & 0xF0F0F0F0F0F0F0F0ULL) == 0x3030303030303030ULL &&
           ((v + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) == 0x3030303030303030ULL;
}

inline const Byte* skip_digits(const Byte* p, const Byte* e) {
    while (e - p >= 8 && eight_digits(p)) p += 8;
    while (p < e && is_digit(*p)) ++p;
    return p;
}

// One UTF-8 sequence starting at a byte >= 0x80; surrogates and overlong
// forms refused, as the decoder refuses them.
inline const Byte* utf8_char(const Byte* p, const Byte* e) {
    Byte c = *p;
    auto cont = [&](const Byte* q) { return q < e && (*q & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) return cont(p + 1) ? p + 2 : nullptr;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(p + 1) || !cont(p + 2)) return nullptr;
        Byte c1 = p[1];
        if (c == 0xE0 && c1 < 0xA0) return nullptr;   // overlong
        if (c == 0xED && c1 >= 0xA0) return nullptr;  // surrogate
        return p + 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(p + 1) || !cont(p + 2) || !cont(p + 3)) return nullptr;
        Byte c1 = p[1];
        if (c == 0xF0 && c1 < 0x90) return nullptr;
        if (c == 0xF4 && c1 >= 0x90) return nullptr;
        return p + 4;
    }
    return nullptr;
}

}  // namespace

const Byte* json::scan_string(const Byte* p, const Byte* e, bool& escaped) {
    for (;;) {
        while (e - p >= 8) {
            uint64_t v = load8(p);
            if (has_byte(v, '"') | has_byte(v, '\\') | has_less(v, 0x20) | (v & kHighs)) break;
            p += 8;
        }
        if (p >= e) return nullptr;
        Byte c = *p;
        if (c == '"') return p + 1;
        if (c == '\\') {
            escaped = true;
            if (e - p < 2) return nullptr;
            Byte x = p[1];
            if (x == 'u') {
                if (e - p < 6) return nullptr;
                int code = 0;
                for (int k = 2; k < 6; ++k) {
                    int h = hex_value(p[k]);
                    if (h < 0) return nullptr;
                    code = code * 16 + h;
                }
                if (code >= 0xD800 && code <= 0xDFFF) return nullptr;  // the decoder decides
                p += 6;
                continue;
            }
            if (x != '"' && x != '\\' && x != '/' && x != 'b' && x != 'f' && x != 'n' &&
                x != 'r' && x != 't')
                return nullptr;
            p += 2;
            continue;
        }
        if (c < 0x20) return nullptr;
        if (c >= 0x80) {
            p = utf8_char(p, e);
            if (!p) return nullptr;
            continue;
        }
        ++p;
    }
}

const Byte* json::scan_number(const Byte* p, const Byte* e) {
    if (*p == '-') ++p;
    if (p >= e) return nullptr;
    int digits = 0;
    if (*p == '0') {
        ++p;
    } else if (is_digit(*p)) {
        const Byte* s = p;
        p = skip_digits(p, e);
        digits = static_cast<int>(p - s);
    } else {
        return nullptr;
    }
    if (p < e && *p == '.') {
        ++p;
        const Byte* s = p;
        p = skip_digits(p, e);
        if (p == s) return nullptr;
    }
    int exponent = 0;
    if (p < e && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p < e && (*p == '+' || *p == '-')) negative = *p++ == '-';
        const Byte* s = p;
        while (p < e && is_digit(*p)) {
            if (p - s >= 5) return nullptr;
            exponent = exponent * 10 + (*p - '0');
            ++p;
        }
        if (p == s) return nullptr;
        if (negative) exponent = -exponent;
    }
    if (digits + exponent > kMaxExponent || exponent < -kMaxExponent) return nullptr;
    return p;
}

namespace {

inline bool literal(const Byte*& p, const Byte* e, const char* word, size_t n) {
    if (static_cast<size_t>(e - p) < n || std::memcmp(p, word, n) != 0) return false;
    p += n;
    return true;
}

const Byte* scan_container(const Byte* p, const Byte* e, int depth, bool object) {
    if (depth >= kMaxDepth) return nullptr;
    const Byte close = object ? '}' : ']';
    p = skip_ws(p + 1, e);
    if (p < e && *p == close) return p + 1;
    for (;;) {
        if (object) {
            if (p >= e || *p != '"') return nullptr;
            bool escaped = false;
            p = scan_string(p + 1, e, escaped);
            if (!p) return nullptr;
            p = skip_ws(p, e);
            if (p >= e || *p != ':') return nullptr;
            p = skip_ws(p + 1, e);
        }
        p = scan_value(p, e, depth + 1);
        if (!p) return nullptr;
        p = skip_ws(p, e);
        if (p >= e) return nullptr;
        if (*p == ',') {
            p = skip_ws(p + 1, e);
            continue;
        }
        if (*p == close) return p + 1;
        return nullptr;
    }
}

}  // namespace

const Byte* json::scan_value(const Byte* p, const Byte* e, int depth) {
    if (p >= e) return nullptr;
    switch (*p) {
        case '{': return scan_container(p, e, depth, true);
        case '[': return scan_container(p, e, depth, false);
        case '"': {
            bool escaped = false;
            return scan_string(p + 1, e, escaped);
        }
        case 't': return literal(p, e, "true", 4) ? p : nullptr;
        case 'f': return literal(p, e, "false", 5) ? p : nullptr;
        case 'n': return literal(p, e, "null", 4) ? p : nullptr;
        default: return scan_number(p, e);
    }
}

bool check_document(const char* text, size_t size) {
    const Byte* e = as_bytes(text) + size;
    const Byte* p = scan_value(skip_ws(as_bytes(text), e), e, 0);
    return p && skip_ws(p, e) == e;
}

bool scan_document(const char* text, size_t size, Document& out) {
    out.object = false;
    out.members.clear();
    const Byte* e = as_bytes(text) + size;
    const Byte* p = skip_ws(as_bytes(text), e);
    if (p >= e) return false;
    if (*p != '{') {
        p = scan_value(p, e, 0);
        return p && skip_ws(p, e) == e;
    }
    out.object = true;
    p = skip_ws(p + 1, e);
    if (p < e && *p == '}') return skip_ws(p + 1, e) == e;
    for (;;) {
        if (p >= e || *p != '"') return false;
        bool escaped = false;
        const Byte* key = p;
        p = scan_string(p + 1, e, escaped);
        if (!p) return false;
        Document::Member& m = out.members.emplace_back();
        m.key = std::string_view(reinterpret_cast<const char*>(key + 1), static_cast<size_t>(p - key - 2));
        if (escaped) read_string(key, p, m.unescaped);
        p = skip_ws(p, e);
        if (p >= e || *p != ':') return false;
        p = skip_ws(p + 1, e);
        m.begin = reinterpret_cast<const char*>(p);
        p = scan_value(p, e, 1);
        if (!p) return false;
        m.end = reinterpret_cast<const char*>(p);
        m.checked = true;
        p = skip_ws(p, e);
        if (p >= e) return false;
        if (*p == ',') {
            p = skip_ws(p + 1, e);
            continue;
        }
        if (*p != '}') return false;
        return skip_ws(p + 1, e) == e;
    }
}

}  // namespace css::query
