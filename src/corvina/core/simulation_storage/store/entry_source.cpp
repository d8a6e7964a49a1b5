// The values of the result index's entries (see entry_source.hpp), and the
// rows of `fields` made from a JSON text or from what the host decoded.
#include "store/entry_source.hpp"

#include "frame/host.hpp"
#include "query/slim.hpp"
#include "store/query_index.hpp"

#include <cstring>

namespace css {

using query::Document;
using query::Path;
using query::TextSource;
using query::Value;
using rindex::Cell;
using rindex::Column;
using rindex::Dir;
using rindex::Entry;

namespace {

constexpr size_t kMaxColumns = 32;
uint64_t g_query_count = 0;

std::string column_key(const Path& p) {
    std::string key;
    for (const std::string& s : p.segments) {
        key += s;
        key.push_back('\x1f');
    }
    return key;
}

// A kept text's object, straight from its bytes (as scalar_object decodes
// it), not a copy.
Ref text_object(const std::string& t) {
    return Ref::steal(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "surrogatepass"));
}

// The object of a checked JSON text: scalars natively, arrays and objects
// by the decoder (for its order of keys).
Ref object_of_span(const char* b, const char* e) {
    const char c = *b;
    if (c == '{' || c == '[') {
        Ref text = Ref::steal(PyBytes_FromStringAndSize(b, e - b));
        return text ? call(standard_loads(), {text.get()}) : Ref{};
    }
    Document doc;
    std::string wrapped = "{\"v\":";
    wrapped.append(b, static_cast<size_t>(e - b));
    wrapped.push_back('}');
    if (!query::index_document(wrapped.data(), wrapped.size(), doc)) {
        PyErr_SetString(PyExc_SystemError, "a kept value does not read back");
        return {};
    }
    Path v;
    v.segments.emplace_back("v");
    v.indices.push_back(-1);
    Value value;
    TextSource(doc).resolve(v, value);
    return query::scalar_object(value);
}

}  // namespace

void columns_next_query() { ++g_query_count; }

namespace {

// 1 put, 0 the text holds no value there, -1 error.
int put_span(PyObject* row, PyObject* key, TextSource& src, const Path& path) {
    const char *b = nullptr, *e = nullptr;
    if (!src.span(path, b, e)) return 0;
    Ref v = object_of_span(b, e);
    return v && PyDict_SetItem(row, key, v.get()) == 0 ? 1 : -1;
}

}  // namespace

bool put_from_text(PyObject* row, PyObject* key, TextSource& src, const Path& path) {
    return put_span(row, key, src, path) >= 0;
}

Column& column_of(Dir& d, const Path& p) {
    Column& c = d.columns[column_key(p)];
    c.used = g_query_count;
    if (c.cells.size() < d.entries.size()) c.cells.resize(d.entries.size());
    // Texts of cells made again pile up: start the column afresh.
    if (c.texts.size() > 2 * d.entries.size() + 1024) {
        c.texts.clear();
        c.recent.fill(0);
        for (Cell& cell : c.cells) cell.state = Cell::State::Stale;
    }
    return c;
}

void drop_unused_columns(Dir& d) {
    while (d.columns.size() > kMaxColumns) {
        auto oldest = d.columns.end();
        for (auto it = d.columns.begin(); it != d.columns.end(); ++it)
            if (it->second.used < g_query_count &&
                (oldest == d.columns.end() || it->second.used < oldest->second.used))
                oldest = it;
        if (oldest == d.columns.end()) return;
        d.columns.erase(oldest);
    }
}

// --- EntrySource -------------------------------------------------------------------

const Cell& EntrySource::cell(const Path& path, Column** column, size_t* at) {
    // Rows ask for their paths in the same order every time: the place
    // after the last one found is tried first.
    const size_t n = bound_.size();
    Column* c = nullptr;
    size_t i = hint_ < n ? hint_ : 0;
    for (size_t k = 0; k < n; ++k, i = i + 1 == n ? 0 : i + 1) {
        if (bound_[i].path != &path) continue;
        c = bound_[i].column;
        hint_ = i + 1;
        break;
    }
    if (at) *at = c ? i : n;
    if (!c) {
        scratch_ = Cell{};
        fill(scratch_, nullptr, path);
        return scratch_;
    }
    if (column) *column = c;
    Cell& cell = c->cells[slot_];
    if (cell.state == Cell::State::Stale || cell.stamp != entry().stamp) fill(cell, c, path);
    return cell;
}

bool EntrySource::resolve(const Path& path, Value& out) {
    Column* c = nullptr;
    const Cell& k = cell(path, &c);
    switch (k.state) {
        case Cell::State::Missing: return false;
        case Cell::State::OnDisk: on_disk_ = true; return false;
        case Cell::State::Nested: return text().resolve(path, out);
        default: break;
    }
    out.kind = k.kind;
    if (!out.items.empty()) out.items.clear();
    if (!out.keys.empty()) out.keys.clear();
    switch (k.kind) {
        case Value::Kind::Int: out.i = k.i; break;
        case Value::Kind::Float: out.d = k.d; break;
        case Value::Kind::Str: out.s = c ? c->texts[k.str] : scratch_text_; break;
        default: break;
    }
    return true;
}

int EntrySource::put(PyObject* row, PyObject* key, const Path& path) {
    Column* c = nullptr;
    size_t at = 0;
    const Cell& k = cell(path, &c, &at);
    switch (k.state) {
        case Cell::State::Missing: return 0;
        case Cell::State::OnDisk:
            PyErr_SetString(PyExc_SystemError, "a field left on disk");
            return -1;
        case Cell::State::Nested: return put_span(row, key, text(), path);
        default: break;
    }
    Ref o;
    if (c && k.kind == Value::Kind::Str) {
        o = shared_text(at, *c, k.str);
    } else if (c && (k.kind == Value::Kind::Float || k.kind == Value::Kind::Int)) {
        o = shared_number(at, k);
    } else if (k.kind == Value::Kind::Str) {
        o = text_object(scratch_text_);
    } else {
        Value v;
        v.kind = k.kind;
        if (k.kind == Value::Kind::Int) v.i = k.i;
        if (k.kind == Value::Kind::Float) v.d = k.d;
        o = query::scalar_object(v);
    }
    return o && PyDict_SetItem(row, key, o.get()) == 0 ? 1 : -1;
}

// A text of a column, one object for every row of this query that holds
// it, where the column's texts repeat (a column of IDs or dates gains
// nothing: past the first texts, each is made anew).
Ref EntrySource::shared_text(size_t at, const Column& c, uint32_t text) {
    constexpr uint32_t kSharedTexts = 1 << 14;
    if (shared_.size() < bound_.size()) shared_.resize(bound_.size());
    std::vector<Ref>& made = shared_[at].texts;
    if (text >= kSharedTexts) return text_object(c.texts[text]);
    if (text >= made.size()) made.resize(text + 1);
    if (!made[text]) made[text] = text_object(c.texts[text]);
    return made[text];
}

// A number of a column, shared by the rows of this query that hold the
// same one lately (a sweep's settings repeat from row to row).
Ref EntrySource::shared_number(size_t at, const Cell& k) {
    if (shared_.size() < bound_.size()) shared_.resize(bound_.size());
    Shared& s = shared_[at];
    const bool is_float = k.kind == Value::Kind::Float;
    uint64_t bits = 0;
    if (is_float) std::memcpy(&bits, &k.d, sizeof bits);
    else bits = static_cast<uint64_t>(k.i);
    const size_t h = static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 58);
    Ref& kept = s.numbers[h];
    // The kind too: 0 and 0.0 have the same bits.
    if (kept && s.bits[h] == bits && (is_float ? PyFloat_CheckExact(kept.get()) : PyLong_CheckExact(kept.get())))
        return kept;
    Ref o;
    if (is_float) {
        o = Ref::steal(PyFloat_FromDouble(k.d));
    } else {
        Value v;
        v.kind = Value::Kind::Int;
        v.i = k.i;
        o = query::scalar_object(v);
    }
    if (o) {
        kept = o;
        s.bits[h] = bits;
    }
    return o;
}

const std::string* EntrySource::text_at(const Path& path) {
    const Column* c = nullptr;
    uint32_t at = 0;
    return text_ref(path, c, at) ? &c->texts[at] : nullptr;
}

bool EntrySource::text_ref(const Path& path, const Column*& column, uint32_t& at) {
    Column* c = nullptr;
    const Cell& k = cell(path, &c);
    if (!c || k.state != Cell::State::Scalar || k.kind != Value::Kind::Str) return false;
    column = c;
    at = k.str;
    return true;
}

TextSource& EntrySource::text() {
    if (!parsed_) {
        const std::string_view t = entry().slim.plain(plain_);
        query::index_document(t.data(), t.size(), doc_);
        source_.emplace(doc_);
        parsed_ = true;
    }
    return *source_;
}

void EntrySource::fill(Cell& cell, Column* c, const Path& path) {
    const Entry& x = entry();
    cell.stamp = x.stamp;
    if (query::reaches_dropped(x.slim.dropped, path)) {
        cell.state = Cell::State::OnDisk;
        return;
    }
    Value v;
    if (!text().resolve(path, v)) {
        cell.state = Cell::State::Missing;
        return;
    }
    cell.kind = v.kind;
    cell.state = Cell::State::Scalar;
    switch (v.kind) {
        case Value::Kind::Null:
        case Value::Kind::False:
        case Value::Kind::True: break;
        case Value::Kind::Int:
            if (v.i < INT64_MIN || v.i > INT64_MAX) cell.state = Cell::State::Nested;
            else cell.i = static_cast<int64_t>(v.i);
            break;
        case Value::Kind::Float: cell.d = v.d; break;
        case Value::Kind::Str:
            if (c) {
                uint32_t& recent = c->recent[std::hash<std::string>{}(v.s) % c->recent.size()];
                if (!recent || c->texts[recent - 1] != v.s) {
                    c->texts.push_back(std::move(v.s));
                    recent = static_cast<uint32_t>(c->texts.size());
                }
                cell.str = recent - 1;
            } else {
                scratch_text_ = std::move(v.s);
            }
            break;
        default: cell.state = Cell::State::Nested;
    }
}

// --- rows ------------------------------------------------------------------------------

PyObject* standard_loads() {
    static PyObject* loads = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        Ref orjson = Ref::steal(PyImport_ImportModule("orjson"));
        if (orjson) loads = PyObject_GetAttr(orjson.get(), host_names.loads);  // kept for the process
        if (!loads) PyErr_Clear();
    }
    return loads;
}

bool host_decoder_is_standard(PyObject* g) {
    PyObject* standard = standard_loads();
    if (!standard) return false;
    Ref orjson = lookup_quiet(g, host_names.orjson);
    if (!orjson) return false;
    Ref loads = Ref::steal(PyObject_GetAttr(orjson.get(), host_names.loads));
    if (!loads) PyErr_Clear();
    return loads.get() == standard;
}

Ref row_from_text(TextSource& src, const Ask& ask) {
    Ref row = Ref::steal(PyDict_New());
    if (!row || !put_from_text(row.get(), host_names.simulation_id, src, ask.id_path)) return {};
    for (size_t k = 0; k < ask.fields.size(); ++k)
        if (!put_from_text(row.get(), ask.field_keys[k].get(), src, ask.fields[k])) return {};
    return row;
}

Ref row_from_object(PyObject* data, const Ask& ask) {
    Ref row = Ref::steal(PyDict_New());
    if (!row) return {};
    query::ObjectSource src(data);
    PyObject* id = src.at(ask.id_path);
    if (id && PyDict_SetItem(row.get(), host_names.simulation_id, id) < 0) return {};
    for (size_t k = 0; k < ask.fields.size(); ++k) {
        PyObject* v = src.at(ask.fields[k]);
        if (v && PyDict_SetItem(row.get(), ask.field_keys[k].get(), v) < 0) return {};
    }
    return row;
}

}  // namespace css
