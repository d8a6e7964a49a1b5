// The kept form of a result file for the result index (see slim.hpp).
#include "query/slim.hpp"

#include "query/json_bytes.hpp"

#include <string_view>
#include <vector>

namespace css::query {

using namespace json;

namespace {

// Left on disk: entries of `result` and lists longer than kLongEntry (as
// written), a spectrum rather than a figure; other members (the settings,
// which queries ask about most) longer than kLongMember.
constexpr size_t kLongMember = 4096;
constexpr size_t kLongEntry = 512;

// Appends a checked JSON text without the blanks between its tokens, a run
// of bytes at a time.
void append_minified(std::string& out, const Byte* p, const Byte* e) {
    const Byte* run = p;
    while (p < e) {
        const Byte c = *p;
        if (c == '"') {
            ++p;
            while (p < e && *p != '"') p += *p == '\\' ? 2 : 1;
            ++p;
        } else if (is_ws(c)) {
            out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
            while (p < e && is_ws(*p)) ++p;
            run = p;
        } else {
            ++p;
        }
    }
    if (p > e) p = e;
    out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
}

void append_key(std::string& out, const Document::Member& m) {
    out.push_back('"');
    out.append(m.key);
    out += "\":";
}

void name_dropped(std::string& out, std::string_view member, std::string_view entry) {
    out.append(member);
    out.push_back('\x1f');
    out.append(entry);
    out.push_back('\x1e');
}

struct Entry {
    const Byte* key;  // the opening quote
    const Byte* key_end;  // after the closing quote
    const Byte* begin;
    const Byte* end;
    std::string name;  // unescaped
};

// The entries of a checked object.
void entries_of(const Byte* p, const Byte* e, std::vector<Entry>& out) {
    p = skip_ws(p, e) + 1;
    p = skip_ws(p, e);
    if (*p == '}') return;
    for (;;) {
        Entry& x = out.emplace_back();
        x.key = p;
        x.key_end = read_string(p, e, x.name);
        p = skip_ws(skip_ws(x.key_end, e) + 1, e);
        x.begin = p;
        x.end = skip_value_fast(p, e);
        p = skip_ws(x.end, e);
        if (*p++ == '}') return;
        p = skip_ws(p, e);
    }
}

// `result`, when it is an object whose entries have distinct keys: its
// short entries kept, its long ones named. false: keep or drop it whole.
bool slim_result(const Document::Member& m, std::string& text, std::string& dropped) {
    const Byte* b = as_bytes(m.begin);
    const Byte* e = as_bytes(m.end);
    if (*skip_ws(b, e) != '{') return false;
    std::vector<Entry> entries;
    entries_of(b, e, entries);
    for (size_t i = 0; i < entries.size(); ++i)
        for (size_t j = i + 1; j < entries.size(); ++j)
            if (entries[i].name == entries[j].name) return false;
    append_key(text, m);
    text.push_back('{');
    bool first = true;
    for (const Entry& x : entries) {
        if (static_cast<size_t>(x.end - x.begin) > kLongEntry) {
            name_dropped(dropped, "result", x.name);
            continue;
        }
        if (!first) text.push_back(',');
        first = false;
        text.append(reinterpret_cast<const char*>(x.key), static_cast<size_t>(x.key_end - x.key));
        text.push_back(':');
        append_minified(text, x.begin, x.end);
    }
    text.push_back('}');
    return true;
}

std::string_view name_of(const Document::Member& m) {
    return m.unescaped.empty() ? m.key : std::string_view(m.unescaped);
}

}  // namespace

void make_slim(const Document& doc, Slim& result) {
    // Made in a buffer kept from file to file, then copied to its exact size.
    static Slim out;
    out.text.clear();
    out.dropped.clear();
    out.text.push_back('{');
    for (const Document::Member& m : doc.members) {
        const size_t mark = out.text.size();
        if (mark > 1) out.text.push_back(',');
        if (name_of(m) == "result" && static_cast<size_t>(m.end - m.begin) > kLongEntry &&
            slim_result(m, out.text, out.dropped))
            continue;
        const size_t length = static_cast<size_t>(m.end - m.begin);
        if (length > (*skip_ws(as_bytes(m.begin), as_bytes(m.end)) == '[' ? kLongEntry : kLongMember)) {
            out.text.resize(mark);
            name_dropped(out.dropped, name_of(m), {});
            continue;
        }
        append_key(out.text, m);
        append_minified(out.text, as_bytes(m.begin), as_bytes(m.end));
    }
    out.text.push_back('}');
    result.text.assign(out.text);
    result.dropped.assign(out.dropped);
}

bool reaches_dropped(const std::string& dropped, const Path& path) {
    std::string_view rest = dropped;
    while (!rest.empty()) {
        size_t sep = rest.find('\x1f');
        size_t end = rest.find('\x1e', sep);
        std::string_view member = rest.substr(0, sep);
        std::string_view entry = rest.substr(sep + 1, end - sep - 1);
        rest.remove_prefix(end + 1);
        if (path.segments[0] != member) continue;
        if (entry.empty() || path.segments.size() == 1 || path.segments[1] == entry) return true;
    }
    return false;
}

Ref scalar_object(const Value& v) {
    switch (v.kind) {
        case Value::Kind::Null: return Ref::borrow(Py_None);
        case Value::Kind::False: return Ref::borrow(Py_False);
        case Value::Kind::True: return Ref::borrow(Py_True);
        case Value::Kind::Int:
            if (v.i >= INT64_MIN && v.i <= INT64_MAX)
                return Ref::steal(PyLong_FromLongLong(static_cast<long long>(v.i)));
            return Ref::steal(PyLong_FromNativeBytes(&v.i, sizeof v.i, Py_ASNATIVEBYTES_NATIVE_ENDIAN));
        case Value::Kind::Float: return Ref::steal(PyFloat_FromDouble(v.d));
        case Value::Kind::Big: return v.big;
        case Value::Kind::Str:
            return Ref::steal(PyUnicode_DecodeUTF8(v.s.data(), static_cast<Py_ssize_t>(v.s.size()),
                                                   "surrogatepass"));
        default:
            PyErr_SetString(PyExc_SystemError, "not a scalar value");
            return {};
    }
}

}  // namespace css::query
