// Filtering, listing, deleting and clearing stored results.
#include "frame/function.hpp"
#include "frame/host.hpp"
#include "frame/outcome.hpp"
#include "local/gates.hpp"
#include "remote/batch.hpp"
#include "store/bodies.hpp"
#include "store/clearing.hpp"
#include "store/layout.hpp"
#include "store/records.hpp"
#include "store/scan.hpp"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace css {

PyObject* matches_filters(FunctionObject*, const Args& a) {
    namespace at = arg::matches;
    PyObject* result = a[at::result];
    // In filter_field's order.
    const int filters[4] = {at::component_name, at::factory_name, at::pdk_name, at::status};
    for (int i = 0; i < 4; ++i) {
        PyObject* filter = a[filters[i]];
        if (filter == Py_None) continue;
        Ref value = getattr(result, filter_field(i));
        if (!value) return nullptr;
        Ref differs = Ref::steal(PyObject_RichCompare(value.get(), filter, Py_NE));
        if (!differs) return nullptr;
        int t = truth(differs.get());
        if (t < 0) return nullptr;
        if (t) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

namespace {

// `lambda r: r.simulation_date`, the listing's sort key.
PyObject* sort_key(FunctionObject*, const Args& a) {
    return PyObject_GetAttr(a[0], host_names.simulation_date);  // its one parameter, r
}

constexpr Param sort_key_params[] = {
    {"r", Check::Any, Default::Required, "", nullptr},
};

// No docstring and no annotations: a lambda's.
const Signature kSortKey{
    .name = "lambda",
    .qualname = "list_simulation_results.<locals>.<lambda>",
    .kwonly = false,
    .params = sort_key_params,
    .nparams = 1,
    .return_annotation = nullptr,
    .summary = nullptr,
    .description = nullptr,
    .args_section = false,
    .returns = nullptr,
    .body = sort_key,
    .lineno = 345,
};

// `results.sort(key=key, reverse=True)`, then the list itself for the caller.
PyObject* newest_first(Ref& results, PyObject* key) {
    if (!call_method(results.get(), host_names.sort, {key, Py_True}, host_names.kw_sort)) return nullptr;
    return results.release();
}

}  // namespace

PyObject* list_simulation_results(FunctionObject* self, const Args& a) {
    namespace at = arg::list;
    PyObject* simulation_type = a[at::simulation_type];
    if (simulation_type != Py_None &&
        !check_path_name(simulation_type, "simulation_type", NameUse::TypeToRead))
        return nullptr;
    PyObject* g = globals_of(self);
    Ref root = simulations_dir(g);
    if (!root) return nullptr;
    Ref key = make_function(kSortKey, self->module);
    if (!key) return nullptr;
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return nullptr;
    // Each file's record, kept when it passes the filters.
    auto take = [&](PyObject* bytes) -> bool {
        Ref record = decode_record(g, bytes);
        if (!record) return false;
        Ref ok = call_global(g, host_names._matches_filters,
                             {record.get(), a[at::component_name], a[at::factory_name],
                              a[at::pdk_name], a[at::status]});
        if (!ok) return false;
        int t = truth(ok.get());
        if (t < 0) return false;
        return !t || PyList_Append(results.get(), record.get()) == 0;
    };
    if (!scan_results(g, root.get(), simulation_type, take)) return nullptr;
    return newest_first(results, key.get());
}

// `path.unlink()`, or the fsspec store's own removal of that one file where
// unlink would read its name as a pattern.
static bool unlink_path(PyObject* path) {
    switch (remote_unlink(path)) {
        case Outcome::Done: return true;
        case Outcome::Error: return false;
        case Outcome::Fallback: break;
    }
    return bool(call_method(path, host_names.unlink));
}

PyObject* delete_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref path = call_global(g, host_names._find_simulation_file, {a[arg::by_id::simulation_id]});
    if (!path) return nullptr;
    if (path.is_none()) Py_RETURN_FALSE;
    std::string local_text;
    int local = local_path(path.get(), local_text);
    if (local < 0) return nullptr;
    // Removing at once answers the existence test too: a missing file is
    // "not there"; any other failure replays the test and the removal
    // through the path's own methods, which report it as the host does.
    bool removed = false;
    if (local) {
        if (unlink(local_text.c_str()) == 0) removed = true;
        else if (errno == ENOENT) Py_RETURN_FALSE;
    }
    if (!removed) {
        int t = call_truth(path.get(), host_names.exists);
        if (t < 0) return nullptr;
        if (!t) Py_RETURN_FALSE;
    }
    if (!removed && !unlink_path(path.get())) {
        // Removed by someone else since the test: not ours to count.
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            Py_RETURN_FALSE;
        }
        return nullptr;
    }
    Ref line = concat_str(host_names.msg_deleted, path.get());
    if (!line || !log_message(g, host_names.debug, line.get())) return nullptr;
    Py_RETURN_TRUE;
}

static PyObject* cleared(PyObject* g, long long count) {
    Ref line = Ref::steal(PyUnicode_FromFormat("Cleared %lld simulation result(s)", count));
    if (!line || !log_message(g, host_names.debug, line.get())) return nullptr;
    return PyLong_FromLongLong(count);
}

PyObject* clear_simulation_results(FunctionObject* self, const Args& a) {
    namespace at = arg::clear;
    PyObject* simulation_type = a[at::simulation_type];
    if (simulation_type != Py_None &&
        !check_path_name(simulation_type, "simulation_type", NameUse::TypeToRead))
        return nullptr;
    PyObject* g = globals_of(self);
    Ref results = call_global(g, host_names.list_simulation_results,
                              {a[at::component_name], a[at::factory_name], a[at::simulation_type],
                               a[at::pdk_name]},
                              host_names.kw_filters4);
    if (!results) return nullptr;
    int any = truth(results.get());
    if (any < 0) return nullptr;
    if (!any) return PyLong_FromLong(0);
    long long count = 0;
    switch (clear_listed(g, self->module, results.get(), count)) {
        case Outcome::Error: return nullptr;
        case Outcome::Done: return cleared(g, count);
        case Outcome::Fallback: break;
    }
    Ref it = Ref::steal(PyObject_GetIter(results.get()));
    if (!it) return nullptr;
    while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
        Ref id = getattr(record.get(), host_names.simulation_id);
        if (!id) return nullptr;
        Ref ok = call_global(g, host_names.delete_simulation_result, {id.get()});
        if (!ok) return nullptr;
        int t = truth(ok.get());
        if (t < 0) return nullptr;
        count += t;
    }
    if (PyErr_Occurred()) return nullptr;
    return cleared(g, count);
}

}  // namespace css
