// The values at the paths a query asks for, read from the checked JSON text
// of a result file as the decoder would give them.
#include "query/json_bytes.hpp"

#include <algorithm>
#include <charconv>
#include <numeric>
#include <vector>

namespace css::query {

using namespace json;

namespace {

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

}  // namespace

const Byte* json::read_string(const Byte* p, const Byte* e, std::string& out) {
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

namespace {

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

}  // namespace

bool TextSource::resolve(const Path& path, Value& out) {
    const char *b = nullptr, *e = nullptr;
    if (!span(path, b, e)) return false;
    out = Value{};
    read_value(as_bytes(b), as_bytes(e), out);
    return true;
}

bool TextSource::span(const Path& path, const char*& begin, const char*& end) {
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
    begin = reinterpret_cast<const char*>(b);
    end = reinterpret_cast<const char*>(e);
    return true;
}

}  // namespace css::query
