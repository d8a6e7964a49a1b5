// The sweep helper's look at a whole sweep: on an object store served by the
// batch path, one listing of the store answers for every point at once
// whether its result is there (the same first match a lookup by ID takes)
// and whether a claim announces it, where a lookup per point would cost a
// listing each. Hits are then read and decoded as load_simulation_result
// reads them.
//
// Points found neither stored nor claimed go to _claim_unless_held, which
// claims without looking first: the look once more after winning the claim
// catches a result saved since the listing, so a listing that is a little
// old costs requests, never a second computation.
#include "claims/compute.hpp"

#include "frame/bodies.hpp"
#include "frame/host.hpp"
#include "remote/fsspec.hpp"
#include "remote/listing.hpp"
#include "store/file_names.hpp"
#include "store/records.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace css {

namespace {

bool own_function(PyObject* g, PyObject* name, Body body) {
    Ref fn = lookup_quiet(g, name);
    return fn && Py_TYPE(fn.get()) == &FunctionType &&
           reinterpret_cast<FunctionObject*>(fn.get())->sig->body == body;
}

bool text_of(PyObject* s, std::string_view& out) {
    if (!PyUnicode_CheckExact(s)) return false;
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(p, static_cast<size_t>(n));
    return true;
}

struct Point {
    PyObject* simulation_id = nullptr;
    std::string_view type, component, id;
};

// The points as (simulation_type, component_name, simulation_id) texts;
// false (no error set) for anything else, which goes point by point.
bool read_points(PyObject* list, std::vector<Point>& out) {
    if (!PyList_CheckExact(list)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* t = PyList_GET_ITEM(list, i);
        if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != 3) return false;
        Point p;
        p.simulation_id = PyTuple_GET_ITEM(t, 2);
        if (!text_of(PyTuple_GET_ITEM(t, 0), p.type) ||
            !text_of(PyTuple_GET_ITEM(t, 1), p.component) || !text_of(p.simulation_id, p.id) ||
            !fits_in_file_name(p.simulation_id) || has_pattern_char(p.id) ||
            has_pattern_char(p.type) || p.type.find('/') != std::string_view::npos)
            return false;
        out.push_back(p);
    }
    return true;
}

struct Found {
    const remote::TypeDir* dir;
    const remote::Entry* entry;
};

constexpr size_t kBatchReads = 64;  // hits read concurrently, per request batch

// The whole bytes of listed files, read concurrently (one batch read of the
// file system per `kBatchReads`). A file read differently from its listed
// size (it changed since) stays empty in `data`, for the literal load.
bool read_hits(const remote::Store& s, const std::vector<Found>& hits, std::vector<Ref>& data) {
    data.assign(hits.size(), Ref{});
    for (size_t i = 0; i < hits.size(); i += kBatchReads) {
        const size_t n = std::min(kBatchReads, hits.size() - i);
        Ref keys = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        Ref starts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        Ref ends = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!keys || !starts || !ends) return false;
        bool readable = true;
        for (size_t k = 0; k < n; ++k) {
            const Found& f = hits[i + k];
            readable = readable && f.entry->file && f.entry->size > 0;
            Ref key = remote::text(remote::key_of(s, *f.dir, *f.entry));
            // One byte more than listed: a file that grew since shows it.
            Ref end = Ref::steal(PyLong_FromLongLong(f.entry->size + 1));
            if (!key || !end) return false;
            PyList_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(k), key.release());
            PyList_SET_ITEM(starts.get(), static_cast<Py_ssize_t>(k), Py_NewRef(N.int0));
            PyList_SET_ITEM(ends.get(), static_cast<Py_ssize_t>(k), end.release());
        }
        if (!readable) continue;  // a directory or an empty file: each its own way
        Ref out = call_method(s.fs.get(), remote::R.cat_ranges,
                              {keys.get(), starts.get(), ends.get()});
        if (!out) {
            if (remote::soft_failure() == Outcome::Error) return false;
            continue;
        }
        if (!PyList_CheckExact(out.get()) || PyList_GET_SIZE(out.get()) != static_cast<Py_ssize_t>(n))
            continue;
        for (size_t k = 0; k < n; ++k) {
            PyObject* got = PyList_GET_ITEM(out.get(), static_cast<Py_ssize_t>(k));
            if (PyBytes_CheckExact(got) && PyBytes_GET_SIZE(got) == hits[i + k].entry->size)
                data[i + k] = Ref::borrow(got);
        }
    }
    return true;
}

}  // namespace

// _lookup_sweep(points): for each (simulation_type, component_name,
// simulation_id), its stored record, True where only a claim announces it,
// or None; None for the whole sweep where one listing cannot answer (the
// caller then goes point by point).
PyObject* lookup_sweep(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    std::vector<Point> points;
    if (!read_points(a[0], points) ||
        !own_function(g, N._find_simulation_file, find_simulation_file) ||
        !own_function(g, N.load_simulation_result, load_simulation_result)) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    Ref root = simulations_dir(g);
    if (!root) return nullptr;
    remote::Store s;
    Outcome o = remote::open_store(root.get(), s);
    if (o == Outcome::Done) o = remote::list_store(s);
    if (o == Outcome::Error) return nullptr;
    if (o == Outcome::Fallback) Py_RETURN_NONE;
    // On a store that cannot hold claims, a claim file announces nothing.
    const Outcome holds_claims = claims::remote_supported(root.get(), s.fs.get());
    if (holds_claims == Outcome::Error) return nullptr;

    // The first entry in listing order that carries each ID, as the lookup
    // takes it; the names in each type directory, for the claims.
    std::unordered_map<std::string_view, Found> first;
    std::unordered_map<std::string_view, std::unordered_set<std::string_view>> names;
    for (const remote::TypeDir& d : s.dirs) {
        auto& here = names[d.name];
        for (const remote::Entry& e : d.entries) {
            here.insert(e.name);
            ids_of(e.name, [&](std::string_view id) { first.try_emplace(id, Found{&d, &e}); });
        }
    }
    std::vector<Found> hits;
    std::vector<long> hit_of(points.size(), -1);
    for (size_t i = 0; i < points.size(); ++i) {
        auto hit = first.find(points[i].id);
        if (hit == first.end()) continue;
        hit_of[i] = static_cast<long>(hits.size());
        hits.push_back(hit->second);
    }
    std::vector<Ref> data;
    if (!read_hits(s, hits, data)) return nullptr;

    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(points.size())));
    if (!out) return nullptr;
    std::string stem;
    for (size_t i = 0; i < points.size(); ++i) {
        const Point& p = points[i];
        Ref state;
        if (hit_of[i] >= 0) {
            PyObject* bytes = data[static_cast<size_t>(hit_of[i])].get();
            state = bytes ? decode_record(g, bytes)
                          : call_global(g, N.load_simulation_result, {p.simulation_id});
            if (!state) return nullptr;
        } else {
            stem.assign(p.component);
            stem += '_';
            stem.append(p.id);
            auto dir = names.find(p.type);
            bool claimed = holds_claims == Outcome::Done && dir != names.end() &&
                           dir->second.count(claims::claim_name(stem, 0)) > 0;
            state = Ref::borrow(claimed ? Py_True : Py_None);
        }
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), state.release());
    }
    return out.release();
}

}  // namespace css
