// `query_simulation_results` and `check_query`: the listing's walk over the
// store (store/scan.hpp), with a query tested on each file before its
// record is made.
//
// Each file is read once. When the host's decoder is the standard one and
// the fast paths are on, the file's JSON text is checked and queried here,
// and only a matching file is decoded and validated by the host; else the
// host decodes every file and the query is tested on what it gives. Both
// ways, a file that cannot be read or decoded is reported as the listing
// reports it; a file that decodes but is not a valid record is reported
// only when it matches, since only then is it validated.
#include "frame/host.hpp"
#include "local/gates.hpp"
#include "query/query.hpp"
#include "store/bodies.hpp"
#include "store/layout.hpp"
#include "store/query_index.hpp"
#include "store/records.hpp"
#include "store/scan.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace css {

namespace {

using query::Path;
using query::Query;
using query::SortKey;
using query::Source;
using query::Value;

struct Match {
    Ref record;  // with `fields`, only its date: all the order needs
    SortKey key;
    Ref row;  // with `fields`: what the caller gets instead of the record
};

// One call: the checked query, the filters, and what was found.
struct Run {
    Run(PyObject* globals, const Ask& asked, PyObject* const (&filter_args)[4])
        : g(globals), ask(asked), q(*asked.q), filters(filter_args) {}

    PyObject* g;
    const Ask& ask;
    const Query& q;
    PyObject* const (&filters)[4];  // component_name, factory_name, pdk_name, status
    bool native = false;
    // The four record filters may refuse a file by its text alone when the
    // text holds the field as a text that differs: the record then differs
    // too (its text fields are taken as they are).
    bool prefilter = false;
    const Path* sort_path = nullptr;
    bool everything = false;  // no query and no sort field
    std::vector<Match> found;
    size_t counted = 0;  // with `ask.count`, instead of `found`

    bool filters_allow(Source& src) {
        // With nothing to test, every record is made, as the listing makes
        // it, and the filters are tested on it.
        if (!prefilter || everything) return true;
        for (int k = 0; k < 4; ++k) {
            if (!ask.filter_set[k]) continue;
            Value v;
            if (src.resolve(ask.filter_paths[k], v) && v.kind == Value::Kind::Str &&
                v.s != ask.filter_values[k].s)
                return false;
        }
        return true;
    }

    query::Document doc;  // kept from file to file, for its storage

    // The filters and the query on one record: 1 it matches, 0 not, -1 error.
    int decide(Source& src) {
        if (!filters_allow(src)) return 0;
        return query::matches(q, src);
    }

    // A matching record: its sort key, the record itself, then the
    // listing's own filter test. false: an error is set.
    bool accept(SortKey key, const auto& make_record, Ref row = Ref{}) {
        Ref record = make_record();
        if (!record) return false;
        Ref check = lookup(g, host_names._matches_filters);
        if (!check) return false;
        Ref ok = call(check.get(), {record.get(), filters[0], filters[1], filters[2], filters[3]});
        if (!ok) return false;
        int t = truth(ok.get());
        if (t <= 0) return t == 0;
        if (ask.count) {
            // A count keeps no record: a store's worth of them at once
            // would cost many times its size on disk.
            ++counted;
            return true;
        }
        if (ask.rows && !(record = getattr(record.get(), host_names.simulation_date))) return false;
        found.push_back(Match{.record = std::move(record), .key = std::move(key), .row = std::move(row)});
        return true;
    }

    // The record as the host decodes it, and the query on what it gives.
    bool host(PyObject* bytes, const char* text, size_t size) {
        Ref b = bytes_object(bytes, text, size);
        return b && consider_object(b.get());
    }

    // The file's bytes as an object: `bytes` itself, when at hand.
    static Ref bytes_object(PyObject* bytes, const char* text, size_t size) {
        return bytes ? Ref::borrow(bytes)
                     : Ref::steal(PyBytes_FromStringAndSize(text, static_cast<Py_ssize_t>(size)));
    }

    // The record of a file, as the listing decodes and validates it.
    Ref listed_record(PyObject* bytes, const char* text, size_t size) {
        Ref b = bytes_object(bytes, text, size);
        return b ? decode_record(g, b.get()) : Ref{};
    }

    // One file's bytes (`bytes` may be null when only `text` is at hand).
    // The text is indexed by its structure and queried; a file that does
    // not match is then checked whole, and one that matches is decoded by
    // the host, so that a file the host cannot decode is reported either
    // way. Whatever the check does not vouch for goes to the host.
    bool consider(PyObject* bytes, const char* text, size_t size) {
        if (!native) return host(bytes, text, size);
        if (everything) {
            // Nothing to test before the record is made: the listing's own
            // decoding, as it is (rows from what the host decodes).
            if (ask.rows) return host(bytes, text, size);
            return accept(SortKey{}, [&] { return listed_record(bytes, text, size); });
        }
        bool checked = false;
        if (!query::index_document(text, size, doc)) {
            if (!query::scan_document(text, size, doc)) return host(bytes, text, size);
            checked = true;
        }
        query::TextSource src(doc);
        int d = decide(src);
        if (d < 0) return false;
        if (src.broken()) return host(bytes, text, size);
        if (d == 0) return checked || query::check_document(text, size) || host(bytes, text, size);
        SortKey key;
        if (sort_path && !query::make_sort_key(*sort_path, src, key)) return false;
        Ref row;
        if (ask.rows && !(row = row_from_text(src, ask))) return false;
        if (src.broken()) return host(bytes, text, size);
        return accept(std::move(key), [&] { return listed_record(bytes, text, size); },
                      std::move(row));
    }

    bool consider_bytes(PyObject* bytes) {
        char* p = nullptr;
        Py_ssize_t n = 0;
        if (!PyBytes_Check(bytes)) return consider_object(bytes);
        if (PyBytes_AsStringAndSize(bytes, &p, &n) < 0) return false;
        return consider(bytes, p, static_cast<size_t>(n));
    }

    // Decoded by the host (what a path's read_bytes gave, bytes or not).
    bool consider_object(PyObject* data_in) {
        Ref orjson = lookup(g, host_names.orjson);
        if (!orjson) return false;
        Ref loads = getattr(orjson.get(), host_names.loads);
        if (!loads) return false;
        Ref data = call(loads.get(), {data_in});
        if (!data) return false;
        query::ObjectSource src(data.get());
        int d = decide(src);
        if (d <= 0) return d == 0;
        SortKey key;
        if (sort_path && !query::make_sort_key(*sort_path, src, key)) return false;
        Ref row;
        if (ask.rows && !(row = row_from_object(data.get(), ask))) return false;
        return accept(
            std::move(key),
            [&]() -> Ref {
                Ref cls = lookup(g, host_names.StoredSimulationResult);
                return cls ? call_method(cls.get(), host_names.model_validate, {data.get()}) : Ref{};
            },
            std::move(row));
    }

    // Newest first, as the listing orders (by the record's date text, ties
    // in the order of the walk), then by the sort field if one was given.
    // The first sort is the interpreter's own, so that dates that do not
    // compare fail as they fail in the listing.
    bool order(bool descending) {
        const auto n = static_cast<Py_ssize_t>(found.size());
        Ref dates = Ref::steal(PyList_New(n));
        Ref positions = Ref::steal(PyList_New(n));
        if (!dates || !positions) return false;
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* kept = found[static_cast<size_t>(k)].record.get();
            PyObject* date = ask.rows ? Py_NewRef(kept) : PyObject_GetAttr(kept, host_names.simulation_date);
            if (!date) return false;
            PyList_SET_ITEM(dates.get(), k, date);
            PyObject* position = PyLong_FromSsize_t(k);
            if (!position) return false;
            PyList_SET_ITEM(positions.get(), k, position);
        }
        Ref key = Ref::steal(PyObject_GetAttrString(dates.get(), "__getitem__"));
        if (!key || !call_method(positions.get(), host_names.sort, {key.get(), Py_True}, host_names.kw_sort))
            return false;
        std::vector<Match> sorted;
        sorted.reserve(found.size());
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(positions.get()); ++k) {
            Py_ssize_t at = PyLong_AsSsize_t(PyList_GET_ITEM(positions.get(), k));
            if (at < 0 || at >= n) {
                if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "sort lost a record");
                return false;
            }
            sorted.push_back(std::move(found[static_cast<size_t>(at)]));
        }
        found = std::move(sorted);
        if (sort_path)
            std::stable_sort(found.begin(), found.end(), [&](const Match& x, const Match& y) {
                return query::sort_before(x.key, y.key, descending);
            });
        return true;
    }
};

// A limit or an offset: None for its default, else an int >= 0.
bool read_count(PyObject* v, const char* what, Py_ssize_t none, Py_ssize_t& out) {
    out = none;
    if (v == Py_None) return true;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (n == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && n < 0)) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative, got %R", what, v);
        return false;
    }
    out = !overflow && n < PY_SSIZE_T_MAX ? static_cast<Py_ssize_t>(n) : PY_SSIZE_T_MAX;
    return true;
}

bool is_module_matches_filters(PyObject* f, PyObject* module) {
    if (!f || Py_TYPE(f) != &FunctionType) return false;
    auto* fo = reinterpret_cast<FunctionObject*>(f);
    return fo->module == module && fo->sig->body == matches_filters;
}

// `fields`: None, or a list or tuple of field paths.
bool read_fields(PyObject* fields, Ask& ask) {
    if (fields == Py_None) return true;
    if (!PyList_Check(fields) && !PyTuple_Check(fields)) {
        PyErr_Format(PyExc_TypeError, "fields must be a list of field paths, got %.80s",
                     Py_TYPE(fields)->tp_name);
        return false;
    }
    Ref items = Ref::steal(PySequence_Fast(fields, "fields"));
    if (!items) return false;
    ask.rows = true;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* f = PySequence_Fast_GET_ITEM(items.get(), k);
        if (!PyUnicode_Check(f)) {
            PyErr_Format(PyExc_TypeError, "fields must be field paths (str), got %.80s",
                         Py_TYPE(f)->tp_name);
            return false;
        }
        Path p;
        if (!query::compile_path(f, "fields", p, nullptr)) return false;
        ask.fields.push_back(std::move(p));
        ask.field_keys.push_back(Ref::borrow(f));
    }
    return query::compile_path(host_names.simulation_id, "fields", ask.id_path, nullptr);
}

// The arguments a query and a count share: the five filters (in the
// listing's order: component_name, factory_name, simulation_type,
// pdk_name, status).
struct Filters {
    PyObject* record[4];  // the four the records are tested on
    PyObject* simulation_type;
};

// A query or a count, checked, then answered from the result index or by
// the walk over every file. `out` is the list of records or rows, or the
// count.
struct Window {
    PyObject* fields;
    PyObject* limit;
    PyObject* offset;
};

PyObject* run_query(FunctionObject* self, Ask& ask, PyObject* where, PyObject* sort,
                    const Window& w, const Filters& f) {
    Query q;
    if (!query::compile(where, q)) return nullptr;
    ask.q = &q;
    Path sort_path;
    if (sort != Py_None) {
        if (!query::compile_path(sort, "sort", sort_path, &ask.descending)) return nullptr;
        ask.sort_path = &sort_path;
    }
    if (!read_count(w.limit, "limit", PY_SSIZE_T_MAX, ask.limit) ||
        !read_count(w.offset, "offset", 0, ask.offset) || !read_fields(w.fields, ask))
        return nullptr;
    if (f.simulation_type != Py_None &&
        !check_path_name(f.simulation_type, "simulation_type", NameUse::TypeToRead))
        return nullptr;
    for (int k = 0; k < 4; ++k) {
        PyObject* v = f.record[k];
        if (v == Py_None) continue;
        if (!query::compile_path(filter_field(k), "filter", ask.filter_paths[k], nullptr) ||
            !query::from_object(v, ask.filter_values[k], false, std::string()))
            return nullptr;
        ask.filter_set[k] = true;
    }

    PyObject* g = globals_of(self);
    Ref root = simulations_dir(g);
    if (!root) return nullptr;
    Ref check = lookup_quiet(g, host_names._matches_filters);
    const bool prefilter = is_module_matches_filters(check.get(), self->module);

    if (prefilter) {
        Ref answer;
        switch (query_from_index(g, root.get(), f.simulation_type, ask, answer)) {
            case Outcome::Done: return answer.release();
            case Outcome::Error: return nullptr;
            case Outcome::Fallback: break;
        }
    }

    Run run(g, ask, f.record);
    run.native = !g_fast_disabled && host_decoder_is_standard(g);
    run.prefilter = prefilter;
    run.sort_path = ask.sort_path;
    run.everything = q.root.children.empty() && !run.sort_path;
    if (!scan_results(g, root.get(), f.simulation_type,
                      [&](PyObject* bytes) { return run.consider_bytes(bytes); }))
        return nullptr;
    if (ask.count) return PyLong_FromSize_t(run.counted);
    if (!run.order(ask.descending)) return nullptr;

    const auto total = static_cast<Py_ssize_t>(run.found.size());
    const Py_ssize_t from = std::min(ask.offset, total);
    const Py_ssize_t n = std::min(ask.limit, total - from);
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k) {
        Match& m = run.found[static_cast<size_t>(from + k)];
        PyList_SET_ITEM(out.get(), k, (ask.rows ? m.row : m.record).release());
    }
    return out.release();
}

}  // namespace

PyObject* query_simulation_results(FunctionObject* self, const Args& a) {
    // where, fields, sort, limit, offset, then the five filters
    Ask ask;
    namespace at = arg::query;
    return run_query(self, ask, a[at::where], a[at::sort],
                     Window{.fields = a[at::fields], .limit = a[at::limit], .offset = a[at::offset]},
                     Filters{.record = {a[at::component_name], a[at::factory_name],
                                        a[at::pdk_name], a[at::status]},
                             .simulation_type = a[at::simulation_type]});
}

PyObject* count_simulation_results(FunctionObject* self, const Args& a) {
    namespace at = arg::count;
    Ask ask;
    ask.count = true;
    return run_query(self, ask, a[at::where], Py_None,
                     Window{.fields = Py_None, .limit = Py_None, .offset = Py_None},
                     Filters{.record = {a[at::component_name], a[at::factory_name],
                                        a[at::pdk_name], a[at::status]},
                             .simulation_type = a[at::simulation_type]});
}

PyObject* check_query(FunctionObject*, const Args& a) {
    Query q;
    if (!query::compile(a[arg::check_query::where], q)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace css
