// Queries answered from the result index (see query_index.hpp and
// local/result_index.hpp).
//
// The index is brought up to date first, then every entry is tested on
// columns of the paths the query asks for (made once per path, kept while
// the entries stay as read; index_select.cpp). A record that matches is
// built from the bytes of its file read now (or, on object storage, kept
// since this query's listing vouched for them), and only when they are the
// bytes the index holds; otherwise the entry is read again and the query
// starts over. Whatever the index cannot answer exactly as the walk over
// every file would (a file that cannot be read, decoded or validated, which
// the walk reports; a tie in the order whose listing order is not known) is
// left to that walk.
#include "store/query_index.hpp"

#include "frame/host.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "local/memo.hpp"
#include "local/walk.hpp"
#include "store/index_attempt.hpp"
#include "store/records.hpp"
#include "store/remote_index.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>

namespace css {

using query::Document;
using query::Path;
using query::TextSource;
using rindex::Cell;
using rindex::Dir;

namespace {

// Whether the order of the entries of `d` is the walk's own.
bool order_known(const Dir& d) { return d.order_exact || d.remote; }

// A tie between neighbours decided by the order of a directory's listing,
// where that order is not known to be the file system's own: the directory.
Dir* unsure_tie(const std::vector<Candidate>& found, const Ask& ask) {
    for (size_t i = 0; i + 1 < found.size(); ++i) {
        const Candidate &a = found[i], &b = found[i + 1];
        if (a.d != b.d || order_known(*a.d) || a.date() != b.date()) continue;
        if (ask.sort_path && (query::sort_before(*a.key, *b.key, ask.descending) ||
                              query::sort_before(*b.key, *a.key, ask.descending)))
            continue;
        return a.d;
    }
    return nullptr;
}

// Where a candidate goes in the listing's order, sorted on the first 24
// bytes of its date (big-endian, so that integers compare as the texts do)
// beside it: the texts themselves are read only on a tie there.
struct DateKey {
    uint64_t hi, mid, lo;
    const std::string* date;
    uint32_t rank, pos, at;
};

DateKey date_key(const Candidate& c, uint32_t at) {
    const std::string& s = c.date();
    unsigned char b[24] = {};
    std::memcpy(b, s.data(), std::min<size_t>(sizeof b, s.size()));
    uint64_t hi = 0, mid = 0, lo = 0;
    for (int i = 0; i < 8; ++i) {
        hi = hi << 8 | b[i];
        mid = mid << 8 | b[8 + i];
        lo = lo << 8 | b[16 + i];
    }
    return {.hi = hi, .mid = mid, .lo = lo, .date = &s, .rank = c.rank, .pos = c.d->entries[c.slot].pos, .at = at};
}

// Newest first (the date's text, as the listing sorts it), ties in walk order.
bool newer_first(const DateKey& a, const DateKey& b) {
    if (a.hi != b.hi) return a.hi > b.hi;
    if (a.mid != b.mid) return a.mid > b.mid;
    if (a.lo != b.lo) return a.lo > b.lo;
    int c = a.date->compare(*b.date);
    if (c != 0) return c > 0;
    if (a.rank != b.rank) return a.rank < b.rank;
    return a.pos < b.pos;
}

// Puts each candidate where `keys` (sorted) place it, in place: each moves
// once, cycle by cycle, and no second vector of 100,000 is written.
void into_order(std::vector<Candidate>& found, std::vector<DateKey>& keys) {
    for (uint32_t i = 0; i < keys.size(); ++i) {
        if (keys[i].at == i) continue;
        Candidate held = std::move(found[i]);
        uint32_t j = i;
        for (;;) {
            const uint32_t from = keys[j].at;
            keys[j].at = j;  // placed
            if (from == i) {
                found[j] = std::move(held);
                break;
            }
            found[j] = std::move(found[from]);
            j = from;
        }
    }
}

}  // namespace

// Newest first, ties in walk order; then by the sort field, ties kept in
// that order.
Step Attempt::order() {
    bound_dir = nullptr;
    for (Candidate& c : found) {
        bind_to(c);
        if (!src.text_ref(date_path, c.dates, c.date_at)) return Step::Fallback;
        if (ask.sort_path) {
            c.key = std::make_unique<query::SortKey>();
            if (!query::make_sort_key(*ask.sort_path, src, *c.key)) return Step::Error;
            if (src.on_disk()) return Step::Fallback;
        }
    }
    auto sort_all = [&] {
        std::vector<DateKey> keys;
        keys.reserve(found.size());
        for (uint32_t i = 0; i < found.size(); ++i) keys.push_back(date_key(found[i], i));
        std::sort(keys.begin(), keys.end(), newer_first);
        into_order(found, keys);
        if (ask.sort_path)
            std::stable_sort(found.begin(), found.end(), [&](const Candidate& a, const Candidate& b) {
                return query::sort_before(*a.key, *b.key, ask.descending);
            });
    };
    sort_all();
    for (int round = 0;; ++round) {
        Dir* unsure = unsure_tie(found, ask);
        if (!unsure) return Step::Done;
        if (round > 0 || !rindex::relist(*unsure)) return Step::Fallback;
        // Re-listing may show names the index has not read yet; then the
        // order stays unknown.
        for (Dir* d : dirs)
            if (!order_known(*d) && !rindex::relist(*d)) return Step::Fallback;
        sort_all();
    }
}

// The record of a candidate: made while validating, or from its file now.
Step Attempt::record(Candidate& c, Ref& out) {
    if (c.record) {
        out = std::move(c.record);
        return Step::Done;
    }
    Ref bytes;
    Step s = read_current(c, bytes);
    if (s != Step::Done) return s;
    out = decode_record(g, bytes.get());
    if (out) return Step::Done;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Step::Error;
    PyErr_Clear();
    c.d->entries[c.slot].valid = 0;
    return Step::Fallback;
}

Step Attempt::records(Ref& out) {
    // Many new containers at once, none of them in a cycle: the cyclic
    // collector, which would walk all of them again and again while they
    // are made, waits until they are.
    struct CollectorPaused {
        int was = PyGC_Disable();
        ~CollectorPaused() {
            if (was) PyGC_Enable();
        }
    } paused;
    const size_t from = std::min(found.size(), static_cast<size_t>(ask.offset));
    const size_t to = std::min(found.size(), from + static_cast<size_t>(std::min<Py_ssize_t>(
                                                        ask.limit, PY_SSIZE_T_MAX - 1)));
    // Only what is built from a file is fetched: a row of indexed values
    // needs none (on S3 the bytes kept may have been dropped).
    // Rows are made in the order of their entries (each reads its entry's
    // cells, which lie in that order), each put in its place in the list.
    std::vector<uint32_t> making(to - from);
    std::iota(making.begin(), making.end(), static_cast<uint32_t>(from));
    if (ask.rows) {
        if (!make_row_shape()) return Step::Error;
        std::sort(making.begin(), making.end(), [&](uint32_t a, uint32_t b) {
            const Candidate &x = found[a], &y = found[b];
            return x.rank != y.rank ? x.rank < y.rank : x.slot < y.slot;
        });
    }
    // Whether each row reaches a value left on disk, asked once; the files
    // are fetched, and read ahead, in the order they are made from.
    std::vector<char> reads_file(to - from, 0);
    std::vector<const Candidate*> wanted;
    for (uint32_t i : making) {
        reads_file[i - from] = !found[i].record && (!ask.rows || row_reads_file(found[i]));
        if (reads_file[i - from]) wanted.push_back(&found[i]);
    }
    if (Step s = fetch(wanted); s != Step::Done) return s;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(to - from)));
    if (!list) return Step::Error;
    const AheadEnds ahead_ends = read_ahead(wanted);
    bound_dir = nullptr;
    for (uint32_t i : making) {
        Ref item;
        Step s = ask.rows ? row(found[i], reads_file[i - from], item) : record(found[i], item);
        if (s != Step::Done) return s;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i - from), item.release());
    }
    out = std::move(list);
    return Step::Done;
}

// A row's keys in their order, each with None: a row made as a copy of it
// has its keys' table at its final size, and no key is hashed again. Left
// empty when two keys are one (a path asked twice, or as the ID).
bool Attempt::make_row_shape() {
    Ref shape = Ref::steal(PyDict_New());
    if (!shape || PyDict_SetItem(shape.get(), host_names.simulation_id, Py_None) < 0) return false;
    for (const Ref& key : ask.field_keys)
        if (PyDict_SetItem(shape.get(), key.get(), Py_None) < 0) return false;
    if (PyDict_GET_SIZE(shape.get()) == static_cast<Py_ssize_t>(ask.field_keys.size() + 1))
        row_shape = std::move(shape);
    return true;
}

// Whether a path of the row reaches a value left on disk (binds `c`).
bool Attempt::row_reads_file(const Candidate& c) {
    bind_to(c);
    bool on_disk = src.cell(ask.id_path).state == Cell::State::OnDisk;
    for (const Path& p : ask.fields) on_disk = on_disk || src.cell(p).state == Cell::State::OnDisk;
    return on_disk;
}

Step Attempt::row(Candidate& c, bool reads_file, Ref& out) {
    out = Ref::steal(row_shape ? PyDict_Copy(row_shape.get()) : PyDict_New());
    if (!out) return Step::Error;
    bind_to(c);
    if (reads_file) {
        // A path into a value left on disk: the row from the file as it is
        // now, when it is what the index holds.
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
    // Into a copy of the shape, a value the entry lacks takes its key out.
    auto place = [&](PyObject* key, const Path& p) {
        int put = src.put(out.get(), key, p);
        if (put == 0 && row_shape) put = PyDict_DelItem(out.get(), key) < 0 ? -1 : 0;
        return put >= 0;
    };
    if (!place(host_names.simulation_id, ask.id_path)) return Step::Error;
    for (size_t k = 0; k < ask.fields.size(); ++k)
        if (!place(ask.field_keys[k].get(), ask.fields[k])) return Step::Error;
    return Step::Done;
}

// The index of the type directories the walk would read, brought up to
// date: local ones through the feed or their listing, a store named by URL
// through its flat listing.
Step Attempt::refresh(PyObject* root, PyObject* simulation_type) {
    std::string root_text;
    int local = local_path(root, root_text);
    if (local < 0) return Step::Error;
    if (!local) {
        switch (rindex::refresh_listed(listed, root, simulation_type, dirs, &on_read)) {
            case Outcome::Done: return Step::Done;
            case Outcome::Error: return Step::Error;
            case Outcome::Fallback: return Step::Fallback;
        }
    }
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
    return Step::Done;
}

Step Attempt::run(PyObject* root, PyObject* simulation_type, Ref& out) {
    Step s = refresh(root, simulation_type);
    if (s != Step::Done) return s;
    // A directory reached twice (a link to another): as the walk, twice.
    if ((s = select()) != Step::Done) return s;
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

namespace {

// The host's record class, as the index's verdicts are kept for it: the
// class object and its version tag, which changes whenever the class or
// a base is changed. false: no verdicts can be kept.
bool record_class_known(PyObject* g) {
    Ref cls = lookup_quiet(g, host_names.StoredSimulationResult);
    if (!cls || !PyType_Check(cls.get())) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    if (!PyUnstable_Type_AssignVersionTag(type)) return false;
    rindex::verdicts_for(reinterpret_cast<uintptr_t>(type), type->tp_version_tag);
    return true;
}

}  // namespace

Outcome query_from_index(PyObject* g, PyObject* root, PyObject* simulation_type, const Ask& ask,
                         Ref& out) {
    if (g_fast_disabled) return Outcome::Fallback;
    rindex::Use use;
    if (!use || !host_decoder_is_standard(g) || !record_class_known(g)) return Outcome::Fallback;
    columns_next_query();
    // A file that changed between its check and its read: the index reads
    // it again and the query starts over, a few times at most.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Attempt a(g, ask);
        if (!query::compile_path(host_names.simulation_date, "sort", a.date_path, nullptr)) return Outcome::Error;
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
