// Queries answered from the result index (see query_index.hpp and
// local/result_index.hpp).
//
// The index is brought up to date first, then every entry is tested on
// columns of the paths the query asks for (made once per path, kept while
// the entries stay as read). A record that matches is built from the bytes
// of its file read now, and only when they are the bytes the index holds;
// otherwise the entry is read again and the query starts over. Whatever the
// index cannot answer exactly as the walk over every file would (a file
// that cannot be read, decoded or validated, which the walk reports; a tie
// in the order whose listing order is not known) is left to that walk.
#include "store/query_index.hpp"

#include "frame/host.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "local/memo.hpp"
#include "local/result_index.hpp"
#include "local/walk.hpp"
#include "query/slim.hpp"
#include "store/records.hpp"
#include "store/scan.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <string>

namespace css {

using query::Document;
using query::Path;
using query::SortKey;
using query::Source;
using query::TextSource;
using query::Value;
using rindex::Cell;
using rindex::Column;
using rindex::Dir;
using rindex::Entry;

PyObject* standard_loads() {
    static PyObject* loads = nullptr;
    static bool tried = false;
    if (!tried) {
        tried = true;
        Ref orjson = Ref::steal(PyImport_ImportModule("orjson"));
        if (orjson) loads = PyObject_GetAttr(orjson.get(), N.loads);  // kept for the process
        if (!loads) PyErr_Clear();
    }
    return loads;
}

bool host_decoder_is_standard(PyObject* g) {
    PyObject* standard = standard_loads();
    if (!standard) return false;
    Ref orjson = lookup_quiet(g, N.orjson);
    if (!orjson) return false;
    Ref loads = Ref::steal(PyObject_GetAttr(orjson.get(), N.loads));
    if (!loads) PyErr_Clear();
    return loads.get() == standard;
}

namespace {

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

// Puts `key: value` into `row`, the value at `path` of the text, if any.
bool put_from_text(PyObject* row, PyObject* key, TextSource& src, const Path& path) {
    const char *b = nullptr, *e = nullptr;
    if (!src.span(path, b, e)) return true;
    Ref v = object_of_span(b, e);
    return v && PyDict_SetItem(row, key, v.get()) == 0;
}

std::string column_key(const Path& p) {
    std::string key;
    for (const std::string& s : p.segments) {
        key += s;
        key.push_back('\x1f');
    }
    return key;
}

// --- columns -------------------------------------------------------------------------

constexpr size_t kMaxColumns = 32;
uint64_t g_query_count = 0;

Column& column_of(Dir& d, const Path& p) {
    Column& c = d.columns[column_key(p)];
    c.used = g_query_count;
    if (c.cells.size() < d.entries.size()) c.cells.resize(d.entries.size());
    // Texts of cells made again pile up: start the column afresh.
    if (c.texts.size() > 2 * d.entries.size() + 1024) {
        c.texts.clear();
        for (Cell& cell : c.cells) cell.state = Cell::State::Stale;
    }
    return c;
}

// Past the bound, the columns least recently used go, but never one this
// query uses (it may need more than the bound).
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

// The values of one entry, from its columns (made on first use) or, for a
// nested value, from its kept text.
class EntrySource final : public Source {
  public:
    struct Bound {
        const Path* path;
        Column* column;
    };

    void bind(Dir& d, std::vector<Bound> bound) {
        d_ = &d;
        bound_ = std::move(bound);
    }
    void at(uint32_t slot) {
        slot_ = slot;
        parsed_ = false;
        on_disk_ = false;
    }
    const Entry& entry() const { return d_->entries[slot_]; }
    // A path asked for reaches a value left on disk: the answers given are
    // not the record's.
    bool on_disk() const { return on_disk_; }

    const Cell& cell(const Path& path, Column** column = nullptr) {
        Column* c = nullptr;
        for (const Bound& b : bound_)
            if (b.path == &path) c = b.column;
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

    bool resolve(const Path& path, Value& out) override {
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

    // The value at `path` as the decoder gives it, into `row`; false with
    // an error set.
    bool put(PyObject* row, PyObject* key, const Path& path) {
        Column* c = nullptr;
        const Cell& k = cell(path, &c);
        switch (k.state) {
            case Cell::State::Missing: return true;
            case Cell::State::OnDisk:
                PyErr_SetString(PyExc_SystemError, "a field left on disk");
                return false;
            case Cell::State::Nested: {
                TextSource& src = text();
                return put_from_text(row, key, src, path);
            }
            default: break;
        }
        Value v;
        v.kind = k.kind;
        if (k.kind == Value::Kind::Int) v.i = k.i;
        if (k.kind == Value::Kind::Float) v.d = k.d;
        if (k.kind == Value::Kind::Str) v.s = c ? c->texts[k.str] : scratch_text_;
        Ref o = query::scalar_object(v);
        return o && PyDict_SetItem(row, key, o.get()) == 0;
    }

    // The text at a bound path, or nullptr (valid until the column grows).
    const std::string* text_at(const Path& path) {
        const Column* c = nullptr;
        uint32_t at = 0;
        return text_ref(path, c, at) ? &c->texts[at] : nullptr;
    }

    // Where the text at a bound path is kept; false when it holds none.
    bool text_ref(const Path& path, const Column*& column, uint32_t& at) {
        Column* c = nullptr;
        const Cell& k = cell(path, &c);
        if (!c || k.state != Cell::State::Scalar || k.kind != Value::Kind::Str) return false;
        column = c;
        at = k.str;
        return true;
    }

  private:
    TextSource& text() {
        if (!parsed_) {
            const std::string& t = entry().slim.text;
            query::index_document(t.data(), t.size(), doc_);
            source_.emplace(doc_);
            parsed_ = true;
        }
        return *source_;
    }

    void fill(Cell& cell, Column* c, const Path& path) {
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
                    cell.str = static_cast<uint32_t>(c->texts.size());
                    c->texts.push_back(std::move(v.s));
                } else {
                    scratch_text_ = std::move(v.s);
                }
                break;
            default: cell.state = Cell::State::Nested;
        }
    }

    Dir* d_ = nullptr;
    uint32_t slot_ = 0;
    std::vector<Bound> bound_;
    bool parsed_ = false;
    bool on_disk_ = false;
    Document doc_;
    std::optional<TextSource> source_;
    Cell scratch_;
    std::string scratch_text_;
};

// --- one attempt ---------------------------------------------------------------------

struct Candidate {
    Dir* d;
    uint32_t slot;
    uint32_t rank;  // of its directory in the walk
    bool from_file;  // decided on the file's text (a path reached a value left on disk)
    Ref record;      // made while validating, from bytes that matched the index
    const Column* dates = nullptr;  // where its date's text is
    uint32_t date_at = 0;
    SortKey key;

    const std::string& date() const { return dates->texts[date_at]; }
};

enum class Step { Done, Error, Fallback, Again };

struct Attempt {
    PyObject* g;
    const Ask& ask;
    Path date_path;
    std::vector<Dir*> dirs;
    std::vector<Candidate> found;
    query::Scratch scratch;
    EntrySource src;

    bool everything;

    Attempt(PyObject* globals, const Ask& a)
        : g(globals), ask(a), everything(a.q->root.children.empty() && !a.sort_path) {}

    void bind(Dir& d) {
        std::vector<EntrySource::Bound> bound;
        for (const Path& p : ask.q->paths) bound.push_back({&p, &column_of(d, p)});
        for (int k = 0; k < 4; ++k)
            if (ask.filter_set[k]) bound.push_back({&ask.filter_paths[k], &column_of(d, ask.filter_paths[k])});
        bound.push_back({&date_path, &column_of(d, date_path)});
        if (ask.sort_path) bound.push_back({ask.sort_path, &column_of(d, *ask.sort_path)});
        if (ask.rows) {
            bound.push_back({&ask.id_path, &column_of(d, ask.id_path)});
            for (const Path& p : ask.fields) bound.push_back({&p, &column_of(d, p)});
        }
        drop_unused_columns(d);
        src.bind(d, std::move(bound));
    }

    // The file of a candidate as it is now, when it is what the index
    // holds; else the entry is read again and the query starts over.
    Step read_current(const Candidate& c, Ref& bytes) {
        const Entry& x = c.d->entries[c.slot];
        switch (rindex::read_current(*c.d, x, bytes)) {
            case rindex::Current::Error: return Step::Error;
            case rindex::Current::Changed: rindex::suspect(*c.d, c.slot); return Step::Again;
            case rindex::Current::Same: break;
        }
        if (c.from_file) {
            // Decided on parts left on disk: they must still decide alike.
            Document doc;
            if (!query::index_document(PyBytes_AS_STRING(bytes.get()),
                                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), doc))
                return Step::Fallback;
            TextSource t(doc);
            int m = query::matches(*ask.q, t, scratch);
            if (m < 0) return Step::Error;
            if (t.broken()) return Step::Fallback;
            if (!m) {
                rindex::suspect(*c.d, c.slot);
                return Step::Again;
            }
        }
        return Step::Done;
    }

    // Decisions made on whole texts as the index read them (this attempt's
    // reads), by directory and slot: 1 match, 0 not, -1 not made.
    std::unordered_map<const Dir*, std::vector<signed char>> decided;

    // The filters and the query on any source; 1, 0, -1 error.
    int decide(Source& s) {
        if (!everything) {
            for (int k = 0; k < 4; ++k) {
                if (!ask.filter_set[k]) continue;
                Value v;
                if (s.resolve(ask.filter_paths[k], v) && v.kind == Value::Kind::Str &&
                    v.s != ask.filter_values[k].s)
                    return 0;
            }
        }
        return query::matches(*ask.q, s, scratch);
    }

    // Decides on a file the index has just read, whole.
    rindex::ReadHook on_read = [this](Dir& d, const Entry& x, const Document& doc) {
        std::vector<signed char>& v = decided[&d];
        const auto slot = static_cast<size_t>(&x - d.entries.data());
        if (v.size() <= slot) v.resize(d.entries.size(), -1);
        // Every member of a scanned document is checked: the source changes nothing.
        TextSource t(const_cast<Document&>(doc));
        int m = decide(t);
        if (m < 0 || t.broken()) {
            PyErr_Clear();  // asked again on the entry, where it is reported
            m = -1;
        }
        v[slot] = static_cast<signed char>(m);
    };

    // Whether the query asks about a value the entry leaves on disk: then
    // the file it is built from must still match.
    bool reaches_dropped(const Entry& x) const {
        if (x.slim.dropped.empty()) return false;
        for (const Path& p : ask.q->paths)
            if (query::reaches_dropped(x.slim.dropped, p)) return true;
        return false;
    }

    // The query on the whole file, for a path that reaches a value left on
    // disk. 1 match, 0 not, -1 error, 2 the walk must decide.
    int decide_on_file(Dir& d, const Entry& x) {
        Ref bytes;
        if (read_file(join_path(d.path, x.name), bytes) != ReadResult::Ok) return 2;
        Document doc;
        if (!query::index_document(PyBytes_AS_STRING(bytes.get()),
                                   static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), doc))
            return 2;
        TextSource t(doc);
        int m = decide(t);
        if (m >= 0 && t.broken()) return 2;
        return m;
    }

    Step select() {
        for (uint32_t rank = 0; rank < dirs.size(); ++rank) {
            Dir& d = *dirs[rank];
            bind(d);
            auto known = decided.find(&d);
            const std::vector<signed char>* made = known == decided.end() ? nullptr : &known->second;
            for (uint32_t slot = 0; slot < d.entries.size(); ++slot) {
                const Entry& x = d.entries[slot];
                if (x.kind == rindex::Kind::Free) continue;
                if (x.kind != rindex::Kind::Kept) return Step::Fallback;
                if (made && slot < made->size() && (*made)[slot] >= 0) {
                    if ((*made)[slot])
                        found.push_back(Candidate{.d = &d, .slot = slot, .rank = rank,
                                                  .from_file = reaches_dropped(x), .record = {},
                                                  .dates = nullptr, .date_at = 0, .key = {}});
                    continue;
                }
                src.at(slot);
                int m = decide(src);
                if (m < 0) return Step::Error;
                bool from_file = src.on_disk();
                if (from_file) {
                    m = decide_on_file(d, x);
                    if (m < 0) return Step::Error;
                    if (m == 2) return Step::Fallback;
                }
                if (!m) continue;
                found.push_back(Candidate{.d = &d, .slot = slot, .rank = rank, .from_file = from_file,
                                          .record = {}, .dates = nullptr, .date_at = 0, .key = {}});
            }
        }
        return Step::Done;
    }

    // Every candidate's record class verdict, asked of the class where not
    // known; a refused one is the walk's to report.
    Step validate() {
        for (Candidate& c : found) {
            Entry& x = c.d->entries[c.slot];
            if (x.valid == 0) return Step::Fallback;
            if (x.valid == 1) continue;
            Ref bytes;
            Step s = read_current(c, bytes);
            if (s != Step::Done) return s;
            c.record = decode_record(g, bytes.get());
            if (!c.record) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) return Step::Error;
                PyErr_Clear();
                x.valid = 0;
                return Step::Fallback;
            }
            x.valid = 1;
        }
        return Step::Done;
    }

    // The filters as the host's own test gives them on a valid record:
    // its texts, and a status left out, which the record reads as success.
    // 1 passes, 0 not, -1 the walk must decide (a text left on disk).
    int passes_filters(Candidate& c) {
        bind_to(c);
        for (int k = 0; k < 4; ++k) {
            if (!ask.filter_set[k]) continue;
            const Cell& cell = src.cell(ask.filter_paths[k]);
            if (cell.state == Cell::State::OnDisk) return -1;
            const std::string* s = src.text_at(ask.filter_paths[k]);
            if (s) {
                if (*s != ask.filter_values[k].s) return 0;
            } else if (!(k == 3 && cell.state == Cell::State::Missing &&
                         ask.filter_values[k].s == "success")) {
                return 0;
            }
        }
        return 1;
    }

    Dir* bound_dir = nullptr;
    void bind_to(const Candidate& c) {
        if (bound_dir != c.d) {
            bind(*c.d);
            bound_dir = c.d;
        }
        src.at(c.slot);
    }

    // Newest first (the date's text, as the listing sorts it), ties in walk
    // order; then by the sort field, ties kept in that order.
    Step order() {
        bound_dir = nullptr;
        for (Candidate& c : found) {
            bind_to(c);
            if (!src.text_ref(date_path, c.dates, c.date_at)) return Step::Fallback;
            if (ask.sort_path) {
                if (!query::make_sort_key(*ask.sort_path, src, c.key)) return Step::Error;
                if (src.on_disk()) return Step::Fallback;
            }
        }
        auto sort_all = [&] {
            std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
                int c = a.date().compare(b.date());
                if (c != 0) return c > 0;
                if (a.rank != b.rank) return a.rank < b.rank;
                return a.d->entries[a.slot].pos < b.d->entries[b.slot].pos;
            });
            if (ask.sort_path)
                std::stable_sort(found.begin(), found.end(), [&](const Candidate& a, const Candidate& b) {
                    return query::sort_before(a.key, b.key, ask.descending);
                });
        };
        sort_all();
        // A tie decided by the order of a directory's listing: that order
        // must be the file system's own.
        for (int round = 0;; ++round) {
            Dir* unsure = nullptr;
            for (size_t i = 0; i + 1 < found.size() && !unsure; ++i) {
                const Candidate &a = found[i], &b = found[i + 1];
                if (a.d != b.d || a.d->order_exact || a.date() != b.date()) continue;
                if (ask.sort_path && (query::sort_before(a.key, b.key, ask.descending) ||
                                      query::sort_before(b.key, a.key, ask.descending)))
                    continue;
                unsure = a.d;
            }
            if (!unsure) return Step::Done;
            if (round > 0 || !rindex::relist(*unsure)) return Step::Fallback;
            // Re-listing may show names the index has not read yet; then
            // the order stays unknown.
            for (Dir* d : dirs)
                if (!d->order_exact && !rindex::relist(*d)) return Step::Fallback;
            sort_all();
        }
    }

    Step records(Ref& out) {
        // Many new containers at once, none of them in a cycle: the cyclic
        // collector, which would walk all of them again and again while
        // they are made, waits until they are.
        struct CollectorPaused {
            int was = PyGC_Disable();
            ~CollectorPaused() {
                if (was) PyGC_Enable();
            }
        } paused;
        const size_t from = std::min(found.size(), static_cast<size_t>(ask.offset));
        const size_t to = std::min(found.size(), from + static_cast<size_t>(std::min<Py_ssize_t>(
                                                            ask.limit, PY_SSIZE_T_MAX - 1)));
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(to - from)));
        if (!list) return Step::Error;
        bound_dir = nullptr;
        for (size_t i = from; i < to; ++i) {
            Candidate& c = found[i];
            Ref item;
            if (ask.rows) {
                Step s = row(c, item);
                if (s != Step::Done) return s;
            } else if (c.record) {
                item = std::move(c.record);
            } else {
                Ref bytes;
                Step s = read_current(c, bytes);
                if (s != Step::Done) return s;
                item = decode_record(g, bytes.get());
                if (!item) {
                    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Step::Error;
                    PyErr_Clear();
                    c.d->entries[c.slot].valid = 0;
                    return Step::Fallback;
                }
            }
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - from), item.release());
        }
        out = std::move(list);
        return Step::Done;
    }

    Step row(Candidate& c, Ref& out) {
        out = Ref::steal(PyDict_New());
        if (!out) return Step::Error;
        bind_to(c);
        bool on_disk = src.cell(ask.id_path).state == Cell::State::OnDisk;
        for (const Path& p : ask.fields) on_disk = on_disk || src.cell(p).state == Cell::State::OnDisk;
        if (on_disk) {
            // A path into a value left on disk: the row from the file as it
            // is now, when it is what the index holds.
            Ref bytes;
            Step s = read_current(c, bytes);
            if (s != Step::Done) return s;
            Document doc;
            if (!query::index_document(PyBytes_AS_STRING(bytes.get()),
                                       static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), doc))
                return Step::Fallback;
            TextSource t(doc);
            out = row_from_text(t, ask);
            return out ? (t.broken() ? Step::Fallback : Step::Done) : Step::Error;
        }
        if (!src.put(out.get(), N.simulation_id, ask.id_path)) return Step::Error;
        for (size_t k = 0; k < ask.fields.size(); ++k)
            if (!src.put(out.get(), ask.field_keys[k].get(), ask.fields[k])) return Step::Error;
        return Step::Done;
    }

    Step run(PyObject* root, PyObject* simulation_type, Ref& out) {
        std::string root_text;
        int local = local_path(root, root_text);
        if (local <= 0) return local < 0 ? Step::Error : Step::Fallback;
        if (!path_exists(root_text)) return Step::Fallback;
        std::vector<std::string> paths;
        if (simulation_type != Py_None) {
            Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(simulation_type));
            if (!bytes) {
                PyErr_Clear();
                return Step::Fallback;
            }
            catch_up();
            paths.push_back(join_path(root_text, PyBytes_AS_STRING(bytes.get())));
        } else if (!list_type_dirs(root_text, paths)) {
            return Step::Fallback;
        }
        for (const std::string& p : paths) {
            Dir* d = nullptr;
            switch (rindex::refresh(p, d, &on_read)) {
                case rindex::Fresh::Ready: dirs.push_back(d); break;
                case rindex::Fresh::Nothing: break;
                case rindex::Fresh::Declined: return Step::Fallback;
            }
        }
        // A directory reached twice (a link to another): as the walk, twice.
        Step s = select();
        if (s != Step::Done) return s;
        if ((s = validate()) != Step::Done) return s;
        bound_dir = nullptr;
        bool unsure = false;
        std::erase_if(found, [&](Candidate& c) {
            int p = passes_filters(c);
            unsure = unsure || p < 0;
            return p == 0;
        });
        if (unsure) return Step::Fallback;
        if (ask.count) {
            out = Ref::steal(PyLong_FromSize_t(found.size()));
            return out ? Step::Done : Step::Error;
        }
        if ((s = order()) != Step::Done) return s;
        return records(out);
    }
};

// The host's record class, as the index's verdicts are kept for it: the
// class object and its version tag, which changes whenever the class or
// a base is changed. false: no verdicts can be kept.
bool record_class_known(PyObject* g) {
    Ref cls = lookup_quiet(g, N.StoredSimulationResult);
    if (!cls || !PyType_Check(cls.get())) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    if (!PyUnstable_Type_AssignVersionTag(type)) return false;
    rindex::verdicts_for(reinterpret_cast<uintptr_t>(type), type->tp_version_tag);
    return true;
}

}  // namespace

Ref row_from_text(TextSource& src, const Ask& ask) {
    Ref row = Ref::steal(PyDict_New());
    if (!row || !put_from_text(row.get(), N.simulation_id, src, ask.id_path)) return {};
    for (size_t k = 0; k < ask.fields.size(); ++k)
        if (!put_from_text(row.get(), ask.field_keys[k].get(), src, ask.fields[k])) return {};
    return row;
}

Ref row_from_object(PyObject* data, const Ask& ask) {
    Ref row = Ref::steal(PyDict_New());
    if (!row) return {};
    query::ObjectSource src(data);
    PyObject* id = src.at(ask.id_path);
    if (id && PyDict_SetItem(row.get(), N.simulation_id, id) < 0) return {};
    for (size_t k = 0; k < ask.fields.size(); ++k) {
        PyObject* v = src.at(ask.fields[k]);
        if (v && PyDict_SetItem(row.get(), ask.field_keys[k].get(), v) < 0) return {};
    }
    return row;
}

Outcome query_from_index(PyObject* g, PyObject* root, PyObject* simulation_type, const Ask& ask,
                         Ref& out) {
    if (g_fast_disabled) return Outcome::Fallback;
    rindex::Use use;
    if (!use || !host_decoder_is_standard(g) || !record_class_known(g)) return Outcome::Fallback;
    ++g_query_count;
    // A file that changed between its check and its read: the index reads
    // it again and the query starts over, a few times at most.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Attempt a(g, ask);
        if (!query::compile_path(N.simulation_date, "sort", a.date_path, nullptr)) return Outcome::Error;
        switch (a.run(root, simulation_type, out)) {
            case Step::Done: return Outcome::Done;
            case Step::Error: return Outcome::Error;
            case Step::Fallback: out = Ref{}; return Outcome::Fallback;
            case Step::Again: out = Ref{}; break;
        }
    }
    return Outcome::Fallback;
}

}  // namespace css
