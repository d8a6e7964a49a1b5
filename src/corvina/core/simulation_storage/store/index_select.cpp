// Which entries of the result index match a query (see index_attempt.hpp).
#include "store/index_attempt.hpp"

#include "local/files.hpp"
#include "query/slim.hpp"
#include "store/records.hpp"
#include "store/remote_index.hpp"

namespace css {

using query::Document;
using query::Path;
using query::Source;
using query::TextSource;
using query::Value;
using rindex::Cell;
using rindex::Dir;
using rindex::Entry;

Attempt::Attempt(PyObject* globals, const Ask& a)
    : g(globals), ask(a), everything(a.q->root.children.empty() && !a.sort_path) {
    on_read = [this](Dir& d, const Entry& x, const Document& doc) { decide_on_read(d, x, doc); };
}

void Attempt::bind(Dir& d) {
    std::vector<EntrySource::Bound> bound;
    for (const Path& p : ask.q->paths) bound.push_back({&p, &column_of(d, p)});
    for (int k = 0; k < 4; ++k)
        if (ask.filter_set[k])
            bound.push_back({&ask.filter_paths[k], &column_of(d, ask.filter_paths[k])});
    bound.push_back({&date_path, &column_of(d, date_path)});
    if (ask.sort_path) bound.push_back({ask.sort_path, &column_of(d, *ask.sort_path)});
    if (ask.rows) {
        bound.push_back({&ask.id_path, &column_of(d, ask.id_path)});
        for (const Path& p : ask.fields) bound.push_back({&p, &column_of(d, p)});
    }
    drop_unused_columns(d);
    src.bind(d, std::move(bound));
}

void Attempt::bind_to(const Candidate& c) {
    if (bound_dir != c.d) {
        bind(*c.d);
        bound_dir = c.d;
    }
    src.at(c.slot);
}

// The filters and the query on any source; 1, 0, -1 error.
int Attempt::decide(Source& s) {
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
void Attempt::decide_on_read(Dir& d, const Entry& x, const Document& doc) {
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
}

// Whether the query asks about a value the entry leaves on disk: then the
// file it is built from must still match.
bool Attempt::reaches_dropped(const Entry& x) const {
    if (x.slim.dropped.empty()) return false;
    for (const Path& p : ask.q->paths)
        if (query::reaches_dropped(x.slim.dropped, p)) return true;
    return false;
}

// The file of an entry as it is now, and whether it is what the entry holds.
rindex::Current Attempt::current(Dir& d, uint32_t slot, Ref& bytes) {
    if (d.remote) return rindex::listed_current(listed, d, slot, bytes);
    if (ahead) {
        const char* text = nullptr;
        const FileRead& r = ahead->next(text);
        return rindex::judge_read(d.entries[slot], r, text, bytes);
    }
    return rindex::read_current(d, d.entries[slot], bytes);
}

// The query on the whole file, for a path that reaches a value left on
// disk. 1 match, 0 not, -1 error, 2 the walk must decide.
int Attempt::decide_on_file(Dir& d, uint32_t slot) {
    Ref bytes;
    if (d.remote) {
        switch (rindex::listed_current(listed, d, slot, bytes)) {
            case rindex::Current::Error: return -1;
            case rindex::Current::Changed: return 2;
            case rindex::Current::Same: break;
        }
    } else if (read_file(join_path(d.path, d.entries[slot].name), bytes) != ReadResult::Ok) {
        return 2;
    }
    Document doc;
    if (!query::index_document(PyBytes_AS_STRING(bytes.get()),
                               static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())), doc))
        return 2;
    TextSource t(doc);
    int m = decide(t);
    if (m >= 0 && t.broken()) return 2;
    return m;
}

// The entries of one directory that match on what the index keeps; those
// whose answer needs their file go to `on_file`.
Step Attempt::select_dir(uint32_t rank, std::vector<Candidate>& on_file) {
    Dir& d = *dirs[rank];
    bind(d);
    auto known = decided.find(&d);
    const std::vector<signed char>* made = known == decided.end() ? nullptr : &known->second;
    for (uint32_t slot = 0; slot < d.entries.size(); ++slot) {
        const Entry& x = d.entries[slot];
        if (x.kind == rindex::Kind::Free) continue;
        if (x.kind != rindex::Kind::Kept) return Step::Fallback;
        Candidate c{.d = &d, .slot = slot, .rank = rank, .from_file = false, .record = {},
                    .dates = nullptr, .date_at = 0, .key = nullptr};
        if (made && slot < made->size() && (*made)[slot] >= 0) {
            c.from_file = reaches_dropped(x);
            if ((*made)[slot]) found.push_back(std::move(c));
            continue;
        }
        src.at(slot);
        int m = decide(src);
        if (m < 0) return Step::Error;
        c.from_file = src.on_disk();
        if (c.from_file) on_file.push_back(std::move(c));
        else if (m) found.push_back(std::move(c));
    }
    return Step::Done;
}

Step Attempt::select() {
    // Room for every entry at once: a table takes them all, and a vector
    // grown by doubling would copy them and touch twice the memory. Pages
    // a selective query leaves unused are never touched.
    size_t most = 0;
    for (const Dir* d : dirs) most += d->entries.size();
    found.reserve(most);
    std::vector<Candidate> on_file;
    for (uint32_t rank = 0; rank < dirs.size(); ++rank) {
        Step s = select_dir(rank, on_file);
        if (s != Step::Done) return s;
    }
    if (on_file.empty()) return Step::Done;
    std::vector<const Candidate*> wanted;
    for (const Candidate& c : on_file) wanted.push_back(&c);
    if (Step s = fetch(wanted); s != Step::Done) return s;
    for (Candidate& c : on_file) {
        int m = decide_on_file(*c.d, c.slot);
        if (m < 0) return Step::Error;
        if (m == 2) return Step::Fallback;
        if (m) found.push_back(std::move(c));
    }
    return Step::Done;
}

// The file of a candidate as it is now, when it is what the index holds;
// else the entry is read again and the query starts over.
Step Attempt::read_current(const Candidate& c, Ref& bytes) {
    switch (current(*c.d, c.slot, bytes)) {
        case rindex::Current::Error: return Step::Error;
        case rindex::Current::Changed: rindex::suspect(*c.d, c.slot); return Step::Again;
        case rindex::Current::Same: break;
    }
    if (!c.from_file) return Step::Done;
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
    return Step::Done;
}

// The files of listed entries among `wanted`, read in batches before they
// are needed one by one (local files are read when needed).
Step Attempt::fetch(const std::vector<const Candidate*>& wanted) {
    std::vector<std::pair<Dir*, uint32_t>> slots;
    for (const Candidate* c : wanted)
        if (c->d->remote) slots.emplace_back(c->d, c->slot);
    if (slots.empty()) return Step::Done;
    return rindex::fetch_listed(listed, slots) ? Step::Done : Step::Error;
}

// The local files among `wanted` (each to be read once, in this order, by
// `current`) read ahead of their decoding; none stays read ahead after
// the loop that asked for it.
Attempt::AheadEnds Attempt::read_ahead(const std::vector<const Candidate*>& wanted) {
    std::vector<std::string> paths;
    for (const Candidate* c : wanted)
        if (!c->d->remote) paths.push_back(join_path(c->d->path, c->d->entries[c->slot].name));
    ahead = paths.empty() ? nullptr : std::make_unique<ReadAhead>(std::move(paths), true);
    return AheadEnds{*this};
}

// Every candidate's record class verdict, asked of the class where not
// known; a refused one is the walk's to report.
Step Attempt::validate() {
    std::vector<const Candidate*> unknown;
    for (const Candidate& c : found)
        if (c.d->entries[c.slot].valid < 0) unknown.push_back(&c);
    if (Step s = fetch(unknown); s != Step::Done) return s;
    const AheadEnds ahead_ends = read_ahead(unknown);
    const bool keeps_records =
        !ask.count && !ask.rows &&
        found.size() <= static_cast<size_t>(ask.offset) +
                            static_cast<size_t>(std::min<Py_ssize_t>(ask.limit, PY_SSIZE_T_MAX - 1));
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
        // Kept for the answer only when it may be in it: a count, a table,
        // or a page of a large match would otherwise hold every record of
        // a cold store at once.
        if (!keeps_records) c.record = Ref{};
    }
    return Step::Done;
}

// The filters as the host's own test gives them on a valid record: its
// texts, and a status left out, which the record reads as success. 1
// passes, 0 not, -1 the walk must decide (a text left on disk).
int Attempt::passes_filters(Candidate& c) {
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

}  // namespace css
