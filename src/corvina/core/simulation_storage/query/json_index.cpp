// The index of a result file's top-level members by the text's structure
// alone (brackets and quotes), which the query reads first: quick, and
// right for every text the check accepts; for any other, what is read from
// it is only a guess, which the caller confirms by decoding.
#include "query/json_bytes.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace css::query {

using namespace json;

namespace {

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

}  // namespace

const Byte* json::skip_value_fast(const Byte* p, const Byte* e) {
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


}  // namespace css::query
