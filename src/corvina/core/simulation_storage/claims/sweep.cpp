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

#include "claims/bodies.hpp"
#include "frame/file_names.hpp"
#include "frame/host.hpp"
#include "frame/text.hpp"
#include "remote/batch.hpp"
#include "remote/fsspec.hpp"
#include "remote/listing.hpp"
#include "store/bodies.hpp"
#include "store/records.hpp"

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace css {

namespace {

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
        if (!utf8_view(PyTuple_GET_ITEM(t, 0), p.type) ||
            !utf8_view(PyTuple_GET_ITEM(t, 1), p.component) ||
            !utf8_view(p.simulation_id, p.id) ||
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

}  // namespace

// _lookup_sweep(points): for each (simulation_type, component_name,
// simulation_id), its stored record, True where only a claim announces it,
// or None; None for the whole sweep where one listing cannot answer (the
// caller then goes point by point).
PyObject* lookup_sweep(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    std::vector<Point> points;
    if (!read_points(a[arg::lookup_sweep::points], points) ||
        !is_own_function(lookup_quiet(g, host_names._find_simulation_file).get(), self->module,
                         find_simulation_file) ||
        !is_own_function(lookup_quiet(g, host_names.load_simulation_result).get(), self->module,
                         load_simulation_result)) {
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
    // The hits, read whole as a listing's files are; any the batch read does
    // not give whole (a directory, an empty or a changed file) is loaded.
    std::vector<ListedFile> files;
    files.reserve(hits.size());
    for (const Found& f : hits)
        files.push_back(ListedFile{.key = remote::key_of(s, *f.dir, *f.entry),
                                   .size = f.entry->file && !f.entry->dir ? f.entry->size : -1});
    std::vector<Ref> data(hits.size());
    bool read = read_listed(s, files, [&](size_t first, size_t end, std::vector<Ref>& got) {
        for (size_t k = first; k < end; ++k) data[k] = std::move(got[k - first]);
        return true;
    });
    if (!read) return nullptr;

    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(points.size())));
    if (!out) return nullptr;
    std::string stem;
    for (size_t i = 0; i < points.size(); ++i) {
        const Point& p = points[i];
        Ref state;
        if (hit_of[i] >= 0) {
            PyObject* bytes = data[static_cast<size_t>(hit_of[i])].get();
            state = bytes ? decode_record(g, bytes)
                          : call_global(g, host_names.load_simulation_result, {p.simulation_id});
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
