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
#include "frame/bodies.hpp"
#include "frame/host.hpp"
#include "local/gates.hpp"
#include "query/query.hpp"
#include "store/layout.hpp"
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

// orjson's own `loads`, captured at the first query; nullptr if orjson
// cannot be imported (then every file goes to the host).
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

// Whether the host decoder that the module would call now is orjson's own.
bool host_decoder_is_standard(PyObject* g) {
    PyObject* standard = standard_loads();
    if (!standard) return false;
    Ref orjson = lookup_quiet(g, N.orjson);
    if (!orjson) return false;
    Ref loads = Ref::steal(PyObject_GetAttr(orjson.get(), N.loads));
    if (!loads) PyErr_Clear();
    return loads.get() == standard;
}

struct Match {
    Ref record;
    SortKey key;
};

// One call: the checked query, the filters, and what was found.
struct Run {
    Run(PyObject* globals, const Query& query, const Args& args) : g(globals), q(query), a(args) {}

    PyObject* g;
    const Query& q;
    const Args& a;  // where, sort, limit, then the five filters
    bool native = false;
    // The four record filters may refuse a file by its text alone when the
    // text holds the field as a text that differs: the record then differs
    // too (its text fields are taken as they are).
    bool prefilter = false;
    Path filter_paths[4];
    Value filter_values[4];
    bool filter_set[4] = {false, false, false, false};
    const Path* sort_path = nullptr;
    bool everything = false;  // no query and no sort field
    std::vector<Match> found;

    bool filters_allow(Source& src) {
        if (!prefilter) return true;
        for (int k = 0; k < 4; ++k) {
            if (!filter_set[k]) continue;
            Value v;
            if (src.resolve(filter_paths[k], v) && v.kind == Value::Kind::Str &&
                v.s != filter_values[k].s)
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
    bool accept(SortKey key, const auto& make_record) {
        Ref record = make_record();
        if (!record) return false;
        Ref check = lookup(g, N._matches_filters);
        if (!check) return false;
        Ref ok = call(check.get(), {record.get(), a[3], a[4], a[6], a[7]});
        if (!ok) return false;
        int t = truth(ok.get());
        if (t <= 0) return t == 0;
        found.push_back(Match{.record = std::move(record), .key = std::move(key)});
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
            // decoding, as it is.
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
        if (src.broken()) return host(bytes, text, size);
        return accept(std::move(key), [&] { return listed_record(bytes, text, size); });
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
        Ref orjson = lookup(g, N.orjson);
        if (!orjson) return false;
        Ref loads = getattr(orjson.get(), N.loads);
        if (!loads) return false;
        Ref data = call(loads.get(), {data_in});
        if (!data) return false;
        query::ObjectSource src(data.get());
        int d = decide(src);
        if (d <= 0) return d == 0;
        SortKey key;
        if (sort_path && !query::make_sort_key(*sort_path, src, key)) return false;
        return accept(std::move(key), [&]() -> Ref {
            Ref cls = lookup(g, N.StoredSimulationResult);
            return cls ? call_method(cls.get(), N.model_validate, {data.get()}) : Ref{};
        });
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
            PyObject* date = PyObject_GetAttr(found[static_cast<size_t>(k)].record.get(), N.simulation_date);
            if (!date) return false;
            PyList_SET_ITEM(dates.get(), k, date);
            PyObject* position = PyLong_FromSsize_t(k);
            if (!position) return false;
            PyList_SET_ITEM(positions.get(), k, position);
        }
        Ref key = Ref::steal(PyObject_GetAttrString(dates.get(), "__getitem__"));
        if (!key || !call_method(positions.get(), N.sort, {key.get(), Py_True}, N.kw_sort))
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

// The limit: None for all, else an int >= 0.
bool read_limit(PyObject* limit, Py_ssize_t& out) {
    out = PY_SSIZE_T_MAX;
    if (limit == Py_None) return true;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && v < 0)) {
        PyErr_Format(PyExc_ValueError, "limit must not be negative, got %R", limit);
        return false;
    }
    if (!overflow && v < PY_SSIZE_T_MAX) out = static_cast<Py_ssize_t>(v);
    return true;
}

bool is_module_matches_filters(PyObject* f, PyObject* module) {
    if (!f || Py_TYPE(f) != &FunctionType) return false;
    auto* fo = reinterpret_cast<FunctionObject*>(f);
    return fo->module == module && fo->sig->body == matches_filters;
}

}  // namespace

PyObject* query_simulation_results(FunctionObject* self, const Args& a) {
    PyObject *where = a[0], *sort = a[1], *limit = a[2], *simulation_type = a[5];
    Query q;
    if (!query::compile(where, q)) return nullptr;
    Path sort_path;
    bool descending = false;
    if (sort != Py_None && !query::compile_path(sort, "sort", sort_path, &descending)) return nullptr;
    Py_ssize_t most = 0;
    if (!read_limit(limit, most)) return nullptr;
    if (simulation_type != Py_None &&
        !check_path_name(simulation_type, "simulation_type", NameUse::TypeToRead))
        return nullptr;

    PyObject* g = globals_of(self);
    Ref root = simulations_dir(g);
    if (!root) return nullptr;

    Run run(g, q, a);
    run.native = !g_fast_disabled && host_decoder_is_standard(g);
    Ref check = lookup_quiet(g, N._matches_filters);
    run.prefilter = is_module_matches_filters(check.get(), self->module);
    const int filter_args[4] = {3, 4, 6, 7};
    for (int k = 0; k < 4; ++k) {
        PyObject* f = a[filter_args[k]];
        if (f == Py_None) continue;
        if (!query::compile_path(filter_field(k), "filter", run.filter_paths[k], nullptr) ||
            !query::from_object(f, run.filter_values[k], false, std::string()))
            return nullptr;
        run.filter_set[k] = true;
    }
    if (sort != Py_None) run.sort_path = &sort_path;
    run.everything = q.root.children.empty() && !run.sort_path;

    if (!scan_results(g, root.get(), simulation_type,
                      [&](PyObject* bytes) { return run.consider_bytes(bytes); }))
        return nullptr;
    if (!run.order(descending)) return nullptr;

    Py_ssize_t n = std::min(most, static_cast<Py_ssize_t>(run.found.size()));
    Ref out = Ref::steal(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t k = 0; k < n; ++k)
        PyList_SET_ITEM(out.get(), k, run.found[static_cast<size_t>(k)].record.release());
    return out.release();
}

PyObject* check_query(FunctionObject*, const Args& a) {
    Query q;
    if (!query::compile(a[0], q)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace css
