// Filtering, listing, deleting and clearing stored results.
#include "bodies.hpp"
#include "host.hpp"

namespace css {

Ref read_record(PyObject* g, PyObject* path);  // records.cpp

PyObject* matches_filters(FunctionObject*, const Args& a) {
    PyObject* result = a[0];
    PyObject* const attrs[4] = {N.component_name, N.factory_name, N.pdk_name, N.status};
    for (int i = 0; i < 4; ++i) {
        PyObject* filter = a[i + 1];
        if (filter == Py_None) continue;
        Ref value = getattr(result, attrs[i]);
        if (!value) return nullptr;
        Ref differs = Ref::steal(PyObject_RichCompare(value.get(), filter, Py_NE));
        if (!differs) return nullptr;
        int t = truth(differs.get());
        if (t < 0) return nullptr;
        if (t) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

PyObject* sort_key(FunctionObject*, const Args& a) {
    return PyObject_GetAttr(a[0], N.simulation_date);
}

namespace {

// Adds the record of one file to `results` when it passes the filters. Any
// ordinary error drops the file with one warning naming it.
bool scan_file(PyObject* g, PyObject* path, const Args& filters, PyObject* results) {
    auto unit = [&]() -> bool {
        Ref record = read_record(g, path);
        if (!record) return false;
        Ref matches = lookup(g, N._matches_filters);
        if (!matches) return false;
        Ref ok = call(matches.get(),
                      {record.get(), filters[0], filters[1], filters[3], filters[4]});
        if (!ok) return false;
        int t = truth(ok.get());
        if (t < 0) return false;
        return !t || PyList_Append(results, record.get()) == 0;
    };
    if (unit()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    Ref line = concat_str(N.msg_parse_failed, path);
    return line && log_message(g, N.warning, line.get());
}

}  // namespace

PyObject* list_simulation_results(FunctionObject* self, const Args& a) {
    PyObject* simulation_type = a[2];
    if (simulation_type != Py_None && !check_path_name(simulation_type, "simulation_type", true))
        return nullptr;
    PyObject* g = globals_of(self);
    Ref get_dir = lookup(g, N.get_simulations_dir);
    if (!get_dir) return nullptr;
    Ref root = call(get_dir.get(), {});
    if (!root) return nullptr;
    Ref exists = call_method(root.get(), N.exists);
    if (!exists) return nullptr;
    int t = truth(exists.get());
    if (t < 0) return nullptr;
    if (!t) return PyList_New(0);
    Ref results = Ref::steal(PyList_New(0));
    if (!results) return nullptr;

    Ref type_dirs = Ref::steal(PyList_New(0));
    if (!type_dirs) return nullptr;
    if (simulation_type != Py_None) {
        Ref d = Ref::steal(PyNumber_TrueDivide(root.get(), simulation_type));
        if (!d || PyList_Append(type_dirs.get(), d.get()) < 0) return nullptr;
    } else {
        Ref entries = call_method(root.get(), N.iterdir);
        if (!entries) return nullptr;
        Ref it = Ref::steal(PyObject_GetIter(entries.get()));
        if (!it) return nullptr;
        while (Ref d = Ref::steal(PyIter_Next(it.get()))) {
            Ref is_dir = call_method(d.get(), N.is_dir);
            if (!is_dir) return nullptr;
            int isd = truth(is_dir.get());
            if (isd < 0) return nullptr;
            if (isd && PyList_Append(type_dirs.get(), d.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(type_dirs.get()); ++i) {
        PyObject* type_dir = PyList_GET_ITEM(type_dirs.get(), i);
        Ref dir_exists = call_method(type_dir, N.exists);
        if (!dir_exists) return nullptr;
        int e = truth(dir_exists.get());
        if (e < 0) return nullptr;
        if (!e) continue;
        Ref files = call_method(type_dir, N.glob, {N.star_json});
        if (!files) return nullptr;
        Ref it = Ref::steal(PyObject_GetIter(files.get()));
        if (!it) return nullptr;
        while (Ref path = Ref::steal(PyIter_Next(it.get())))
            if (!scan_file(g, path.get(), a, results.get())) return nullptr;
        if (PyErr_Occurred()) return nullptr;
    }

    Ref key = make_function(kSortKey, self->module);
    if (!key) return nullptr;
    if (!call_method(results.get(), N.sort, {key.get(), Py_True}, N.kw_sort)) return nullptr;
    return results.release();
}

PyObject* delete_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref find = lookup(g, N._find_simulation_file);
    if (!find) return nullptr;
    Ref path = call(find.get(), {a[0]});
    if (!path) return nullptr;
    if (path.is_none()) Py_RETURN_FALSE;
    Ref exists = call_method(path.get(), N.exists);
    if (!exists) return nullptr;
    int t = truth(exists.get());
    if (t < 0) return nullptr;
    if (!t) Py_RETURN_FALSE;
    if (!call_method(path.get(), N.unlink)) {
        // Removed by someone else since the test: not ours to count.
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            Py_RETURN_FALSE;
        }
        return nullptr;
    }
    Ref line = concat_str(N.msg_deleted, path.get());
    if (!line || !log_message(g, N.debug, line.get())) return nullptr;
    Py_RETURN_TRUE;
}

PyObject* clear_simulation_results(FunctionObject* self, const Args& a) {
    PyObject* simulation_type = a[2];
    if (simulation_type != Py_None && !check_path_name(simulation_type, "simulation_type", true))
        return nullptr;
    PyObject* g = globals_of(self);
    Ref list = lookup(g, N.list_simulation_results);
    if (!list) return nullptr;
    Ref results = call(list.get(), {a[0], a[1], a[2], a[3]}, N.kw_filters4);
    if (!results) return nullptr;
    int any = truth(results.get());
    if (any < 0) return nullptr;
    if (!any) return PyLong_FromLong(0);
    long long count = 0;
    Ref it = Ref::steal(PyObject_GetIter(results.get()));
    if (!it) return nullptr;
    while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
        Ref id = getattr(record.get(), N.simulation_id);
        if (!id) return nullptr;
        Ref del = lookup(g, N.delete_simulation_result);
        if (!del) return nullptr;
        Ref ok = call(del.get(), {id.get()});
        if (!ok) return nullptr;
        int t = truth(ok.get());
        if (t < 0) return nullptr;
        count += t;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref line = Ref::steal(PyUnicode_FromFormat("Cleared %lld simulation result(s)", count));
    if (!line || !log_message(g, N.debug, line.get())) return nullptr;
    return PyLong_FromLongLong(count);
}

}  // namespace css
