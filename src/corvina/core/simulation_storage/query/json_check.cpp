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
#include "query/query.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace css::query {

namespace {

using Byte = unsigned char;

constexpr int kMaxDepth = 256;
// Decimal exponents beyond this are left to the decoder (overflow, underflow).
constexpr int kMaxExponent = 300;

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

inline int hex_value(Byte c) {
    if (is_digit(c)) return c - '0';
    c |= 0x20;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A string whose opening quote is at p[-1]; returns the byte after the
// closing quote, nullptr if not vouched for. `escaped` tells whether it
// holds escapes.
const Byte* scan_string(const Byte* p, const Byte* e, bool& escaped) {
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

const Byte* scan_number(const Byte* p, const Byte* e) {
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

inline bool literal(const Byte*& p, const Byte* e, const char* word, size_t n) {
    if (static_cast<size_t>(e - p) < n || std::memcmp(p, word, n) != 0) return false;
    p += n;
    return true;
}

const Byte* scan_value(const Byte* p, const Byte* e, int depth);

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

const Byte* scan_value(const Byte* p, const Byte* e, int depth) {
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

void put_utf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// The text of a checked string whose opening quote is at `p`; returns the
// byte after the closing quote.
const Byte* read_string(const Byte* p, const Byte* e, std::string& out) {
    out.clear();
    ++p;
    for (;;) {
        const Byte* s = p;
        while (p < e && *p != '"' && *p != '\\') ++p;
        out.append(reinterpret_cast<const char*>(s), static_cast<size_t>(p - s));
        if (p >= e || *p == '"') return p + 1;
        Byte x = p[1];
        switch (x) {
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'u': {
                unsigned code = 0;
                for (int k = 2; k < 6; ++k) code = code * 16 + static_cast<unsigned>(hex_value(p[k]));
                put_utf8(out, code);
                p += 6;
                continue;
            }
            default: out.push_back(static_cast<char>(x));
        }
        p += 2;
    }
}

// The value of a checked number: an integer where the decoder gives one
// (within 64 bits), else the nearest double, as the decoder gives it.
void read_number(const Byte* p, const Byte* e, Value& out) {
    const Byte* s = p;
    bool negative = *p == '-';
    if (negative) ++p;
    const Byte* d = p;
    while (p < e && is_digit(*p)) ++p;
    bool integral = p >= e || (*p != '.' && *p != 'e' && *p != 'E');
    const Byte* end = integral ? p : scan_number(s, e);
    if (integral && p - d <= 20) {
        unsigned __int128 m = 0;
        for (const Byte* q = d; q < p; ++q) m = m * 10 + static_cast<unsigned>(*q - '0');
        constexpr unsigned __int128 kMaxU64 = ~static_cast<uint64_t>(0);
        constexpr unsigned __int128 kMinI64 = static_cast<unsigned __int128>(1) << 63;
        if (negative ? m <= kMinI64 : m <= kMaxU64) {
            out.kind = Value::Kind::Int;
            out.i = negative ? -static_cast<__int128>(m) : static_cast<__int128>(m);
            return;
        }
    }
    out.kind = Value::Kind::Float;
    double v = 0.0;
    auto r = std::from_chars(reinterpret_cast<const char*>(s), reinterpret_cast<const char*>(end), v);
    if (r.ec != std::errc()) {
        // Subnormal results: the interpreter's own correctly rounded reader.
        std::string copy(reinterpret_cast<const char*>(s), static_cast<size_t>(end - s));
        v = PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            v = 0.0;
        }
    }
    out.d = v;
}

// Keys sorted and unique, the last of equal keys kept (as the decoder does).
void settle_object(Value& obj) {
    std::vector<size_t> order(obj.keys.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return obj.keys[a] < obj.keys[b]; });
    std::vector<std::string> keys;
    std::vector<Value> items;
    keys.reserve(order.size());
    items.reserve(order.size());
    for (size_t k = 0; k < order.size(); ++k) {
        if (k + 1 < order.size() && obj.keys[order[k]] == obj.keys[order[k + 1]]) continue;
        keys.push_back(std::move(obj.keys[order[k]]));
        items.push_back(std::move(obj.items[order[k]]));
    }
    obj.keys = std::move(keys);
    obj.items = std::move(items);
}

const Byte* read_value(const Byte* p, const Byte* e, Value& out) {
    p = skip_ws(p, e);
    switch (*p) {
        case '{': {
            out.kind = Value::Kind::Obj;
            p = skip_ws(p + 1, e);
            if (*p == '}') return p + 1;
            for (;;) {
                out.keys.emplace_back();
                p = read_string(p, e, out.keys.back());
                p = skip_ws(p, e) + 1;  // ':'
                out.items.emplace_back();
                p = skip_ws(read_value(p, e, out.items.back()), e);
                if (*p++ == '}') break;
                p = skip_ws(p, e);
            }
            settle_object(out);
            return p;
        }
        case '[': {
            out.kind = Value::Kind::Arr;
            p = skip_ws(p + 1, e);
            if (*p == ']') return p + 1;
            for (;;) {
                out.items.emplace_back();
                p = skip_ws(read_value(p, e, out.items.back()), e);
                if (*p++ == ']') break;
            }
            return p;
        }
        case '"': out.kind = Value::Kind::Str; return read_string(p, e, out.s);
        case 't': out.kind = Value::Kind::True; return p + 4;
        case 'f': out.kind = Value::Kind::False; return p + 5;
        case 'n': out.kind = Value::Kind::Null; return p + 4;
        default: {
            const Byte* end = scan_number(p, e);
            read_number(p, end, out);
            return end;
        }
    }
}

const Byte* as_bytes(const char* p) { return reinterpret_cast<const Byte*>(p); }

// The span of the member `key` of a checked object (the last of equal
// keys), or of element `index` of a checked array.
bool child(const Byte*& b, const Byte*& e, const std::string& key, long long index) {
    const Byte* p = skip_ws(b, e);
    bool object = *p == '{';
    if (!object && (*p != '[' || index < 0)) return false;
    const Byte close = object ? '}' : ']';
    p = skip_ws(p + 1, e);
    if (*p == close) return false;
    bool found = false;
    const Byte *fb = nullptr, *fe = nullptr;
    std::string name;
    for (long long n = 0;; ++n) {
        bool hit = n == index;
        if (object) {
            bool escaped = false;
            const Byte* after = scan_string(p + 1, e, escaped);
            if (escaped) {
                read_string(p, e, name);
                hit = name == key;
            } else {
                hit = static_cast<size_t>(after - p - 2) == key.size() &&
                      std::memcmp(p + 1, key.data(), key.size()) == 0;
            }
            p = skip_ws(skip_ws(after, e) + 1, e);
        }
        const Byte* vend = scan_value(p, e, 0);
        if (hit) {
            found = true;
            fb = p;
            fe = vend;
            if (!object) break;
        }
        p = skip_ws(vend, e);
        if (*p++ == close) break;
        p = skip_ws(p, e);
    }
    if (!found) return false;
    b = fb;
    e = fe;
    return true;
}


// --- structure alone, for the index -------------------------------------------------

// The byte after the closing quote of a string whose opening quote is at
// p[-1]; nullptr if there is none.
const Byte* skip_string_fast(const Byte* p, const Byte* e, bool& escaped) {
    for (;;) {
#if defined(__SSE2__)
        const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
        while (e - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            int mask = _mm_movemask_epi8(
                _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
            if (mask) {
                p += __builtin_ctz(static_cast<unsigned>(mask));
                break;
            }
            p += 16;
        }
#endif
        while (p < e && *p != '"' && *p != '\\') ++p;
        if (p >= e) return nullptr;
        if (*p == '"') return p + 1;
        escaped = true;
        p += 2;
        if (p > e) return nullptr;
    }
}

// The byte after a value that starts at p, by brackets and quotes alone.
const Byte* skip_value_fast(const Byte* p, const Byte* e) {
    if (p >= e) return nullptr;
    bool escaped = false;
    if (*p == '"') return skip_string_fast(p + 1, e, escaped);
    if (*p != '{' && *p != '[') {
        while (p < e && *p != ',' && *p != '}' && *p != ']' && !is_ws(*p)) ++p;
        return p;
    }
    long depth = 0;
    for (;;) {
#if defined(__SSE2__)
        // "{" and "}" are "[" and "]" with bit 5 set.
        const __m128i quote = _mm_set1_epi8('"'), open = _mm_set1_epi8('['),
                      close = _mm_set1_epi8(']'), fold = _mm_set1_epi8(static_cast<char>(0xDF));
        while (e - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i folded = _mm_and_si128(v, fold);
            int mask = _mm_movemask_epi8(_mm_or_si128(
                _mm_cmpeq_epi8(v, quote),
                _mm_or_si128(_mm_cmpeq_epi8(folded, open), _mm_cmpeq_epi8(folded, close))));
            if (mask) {
                p += __builtin_ctz(static_cast<unsigned>(mask));
                break;
            }
            p += 16;
        }
#endif
        if (p >= e) return nullptr;
        Byte c = *p;
        if (c == '"') {
            p = skip_string_fast(p + 1, e, escaped);
            if (!p) return nullptr;
            continue;
        }
        Byte f = c & 0xDF;
        if (f == '[') ++depth;
        else if (f == ']' && --depth == 0) return p + 1;
        ++p;
    }
}

}  // namespace

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

bool index_document(const char* text, size_t size, Document& out) {
    out.object = false;
    out.members.clear();
    const Byte* e = as_bytes(text) + size;
    const Byte* p = skip_ws(as_bytes(text), e);
    if (p >= e || *p != '{') return false;
    out.object = true;
    p = skip_ws(p + 1, e);
    if (p < e && *p == '}') return true;
    for (;;) {
        if (p >= e || *p != '"') return false;
        const Byte* key = p;
        bool escaped = false;
        p = skip_string_fast(p + 1, e, escaped);
        if (!p) return false;
        Document::Member& m = out.members.emplace_back();
        m.key = std::string_view(reinterpret_cast<const char*>(key + 1), static_cast<size_t>(p - key - 2));
        if (escaped) {
            // Unescaped only once the key is known to be a proper string.
            bool unused = false;
            if (scan_string(key + 1, e, unused) != p) return false;
            read_string(key, p, m.unescaped);
        }
        p = skip_ws(p, e);
        if (p >= e || *p != ':') return false;
        p = skip_ws(p + 1, e);
        m.begin = reinterpret_cast<const char*>(p);
        p = skip_value_fast(p, e);
        if (!p) return false;
        m.end = reinterpret_cast<const char*>(p);
        m.checked = false;
        p = skip_ws(p, e);
        if (p >= e) return false;
        if (*p == ',') {
            p = skip_ws(p + 1, e);
            continue;
        }
        return *p == '}';
    }
}

bool TextSource::resolve(const Path& path, Value& out) {
    if (!doc_.object) return false;
    const std::string& first = path.segments[0];
    Document::Member* m = nullptr;
    for (Document::Member& c : doc_.members)
        if (c.named(first)) m = &c;
    if (!m) return false;
    const Byte* b = as_bytes(m->begin);
    const Byte* e = as_bytes(m->end);
    if (!m->checked) {
        if (scan_value(b, e, 1) != e) {
            broken_ = true;
            return false;
        }
        m->checked = true;
    }
    for (size_t k = 1; k < path.segments.size(); ++k)
        if (!child(b, e, path.segments[k], path.indices[k])) return false;
    out = Value{};
    read_value(b, e, out);
    return true;
}

}  // namespace css::query
