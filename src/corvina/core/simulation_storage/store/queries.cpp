// Filtering, listing, deleting and clearing stored results.
#include "frame/bodies.hpp"
#include "frame/function.hpp"
#include "frame/host.hpp"
#include "frame/outcome.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "local/walk.hpp"
#include "remote/batch.hpp"
#include "store/layout.hpp"
#include "store/records.hpp"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace css {

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
// ordinary error drops the file with one warning naming it, except for a
// file that is no longer there: removed since the directory was listed (a
// concurrent delete or clear), it is skipped silently. `read(gone)` gives the
// file's bytes, or sets `gone` for a file that was removed; `text` gives its
// path's text form, made only for the warning.
template <class Read, class Text>
bool scan_file(PyObject* g, Read read, Text text, const Args& filters, PyObject* results) {
    auto unit = [&]() -> bool {
        bool gone = false;
        Ref bytes = read(gone);
        if (gone) return true;
        if (!bytes) return false;
        Ref record = decode_record(g, bytes.get());
        if (!record) return false;
        Ref ok = call_global(g, N._matches_filters,
                             {record.get(), filters[0], filters[1], filters[3], filters[4]});
        if (!ok) return false;
        int t = truth(ok.get());
        if (t < 0) return false;
        return !t || PyList_Append(results, record.get()) == 0;
    };
    if (unit()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    Ref path_text = text();
    if (!path_text) return false;
    Ref line = Ref::steal(PyUnicode_Concat(N.msg_parse_failed, path_text.get()));
    return line && log_message(g, N.warning, line.get());
}

// `path.read_bytes()`. A file that is not found was removed since the
// listing, unless its entry is still there as a link that leads nowhere:
// that one is a bad file.
Ref read_listed(PyObject* path, bool& gone) {
    Ref bytes = call_method(path, N.read_bytes);
    if (bytes || !PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return bytes;
    Ref missing = Ref::steal(PyErr_GetRaisedException());
    Ref link = call_method(path, N.is_symlink);
    int t = link ? truth(link.get()) : -1;
    if (t == 0) {
        gone = true;
        return {};
    }
    PyErr_Clear();  // a failing test leaves the file reported as bad
    PyErr_SetRaisedException(missing.release());
    return {};
}

bool scan_path(PyObject* g, PyObject* path, const Args& filters, PyObject* results) {
    return scan_file(
        g, [&](bool& gone) { return read_listed(path, gone); },
        [&] { return Ref::steal(PyObject_Str(path)); }, filters, results);
}

// One file of a listing on a standard local path: the path object is made
// only when the file cannot be read directly.
bool scan_local_file(PyObject* g, const std::string& file, const Args& filters,
                     PyObject* results) {
    auto read = [&](bool& gone) -> Ref {
        Ref bytes;
        ReadResult r = read_file(file, bytes);
        if (r == ReadResult::Ok) return bytes;
        struct stat st;
        if (r == ReadResult::NoEntry && (lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))) {
            gone = true;
            return {};
        }
        Ref path = make_path(file);
        return path ? call_method(path.get(), N.read_bytes) : Ref{};
    };
    return scan_file(g, read, [&] { return path_text(file); }, filters, results);
}

// The scan of a listing with direct system calls; Fallback when the
// simulations directory cannot be listed, so that the host reports it.
Outcome scan_local(PyObject* g, const std::string& root, const Args& a, PyObject* results) {
    PyObject* simulation_type = a[2];
    std::vector<std::string> dirs;
    if (simulation_type != Py_None) {
        Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(simulation_type));
        if (!bytes) {
            PyErr_Clear();
            return Outcome::Fallback;
        }
        dirs.push_back(join_path(root, PyBytes_AS_STRING(bytes.get())));
    } else if (!list_type_dirs(root, dirs)) {
        return Outcome::Fallback;
    }
    std::vector<std::string> files;
    for (const std::string& dir : dirs) {
        if (!path_exists(dir)) continue;
        files.clear();
        list_json_files(dir, files);
        for (const std::string& file : files)
            if (!scan_local_file(g, file, a, results)) return Outcome::Error;
    }
    return Outcome::Done;
}

// `results.sort(key=key, reverse=True)`, then the list itself for the caller.
PyObject* newest_first(Ref& results, PyObject* key) {
    if (!call_method(results.get(), N.sort, {key, Py_True}, N.kw_sort)) return nullptr;
    return results.release();
}

// The listing through the path objects' own methods: the type directories
// from `root.iterdir()` (or the one asked for), their files from
// `glob("*.json")`.
PyObject* list_literal(PyObject* g, PyObject* root, const Args& a, Ref& results, PyObject* key) {
    PyObject* simulation_type = a[2];
    int t = call_truth(root, N.exists);
    if (t < 0) return nullptr;
    if (!t) return PyList_New(0);

    Ref type_dirs = Ref::steal(PyList_New(0));
    if (!type_dirs) return nullptr;
    if (simulation_type != Py_None) {
        Ref d = Ref::steal(PyNumber_TrueDivide(root, simulation_type));
        if (!d || PyList_Append(type_dirs.get(), d.get()) < 0) return nullptr;
    } else if (!each_type_dir(root, [&](PyObject* d) {
                   return PyList_Append(type_dirs.get(), d) == 0 ? 0 : -1;
               })) {
        return nullptr;
    }

    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(type_dirs.get()); ++i) {
        PyObject* type_dir = PyList_GET_ITEM(type_dirs.get(), i);
        int e = call_truth(type_dir, N.exists);
        if (e < 0) return nullptr;
        if (!e) continue;
        Ref files = call_method(type_dir, N.glob, {N.star_json});
        if (!files) return nullptr;
        Ref it = Ref::steal(PyObject_GetIter(files.get()));
        if (!it) return nullptr;
        while (Ref path = Ref::steal(PyIter_Next(it.get())))
            if (!scan_path(g, path.get(), a, results.get())) return nullptr;
        if (PyErr_Occurred()) return nullptr;
    }
    return newest_first(results, key);
}

}  // namespace

PyObject* list_simulation_results(FunctionObject* self, const Args& a) {
    PyObject* simulation_type = a[2];
    if (simulation_type != Py_None && !check_path_name(simulation_type, "simulation_type", true))
        return nullptr;
    PyObject* g = globals_of(self);
    Ref root = simulations_dir(g);
    if (!root) return nullptr;
    Ref key = make_function(kSortKey, self->module);
    if (!key) return nullptr;

    std::string root_text;
    int local = local_path(root.get(), root_text);
    if (local < 0) return nullptr;
    if (local) {
        if (!path_exists(root_text)) return PyList_New(0);
        Ref results = Ref::steal(PyList_New(0));
        if (!results) return nullptr;
        switch (scan_local(g, root_text, a, results.get())) {
            case Outcome::Error: return nullptr;
            case Outcome::Done: return newest_first(results, key.get());
            case Outcome::Fallback: break;
        }
    }

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return nullptr;
    // A store on an fsspec file system: one listing, files read in batches.
    auto visit = [&](PyObject* path, PyObject* bytes) {
        if (!bytes) return scan_path(g, path, a, results.get());
        return scan_file(
            g, [&](bool&) { return Ref::borrow(bytes); },
            [&] { return Ref::steal(PyObject_Str(path)); }, a, results.get());
    };
    switch (remote_scan(root.get(), simulation_type, visit)) {
        case Outcome::Error: return nullptr;
        case Outcome::Done: return newest_first(results, key.get());
        case Outcome::Fallback: break;
    }
    return list_literal(g, root.get(), a, results, key.get());
}

// `path.unlink()`, or the fsspec store's own removal of that one file where
// unlink would read its name as a pattern.
static bool unlink_path(PyObject* path) {
    switch (remote_unlink(path)) {
        case Outcome::Done: return true;
        case Outcome::Error: return false;
        case Outcome::Fallback: break;
    }
    return bool(call_method(path, N.unlink));
}

PyObject* delete_simulation_result(FunctionObject* self, const Args& a) {
    PyObject* g = globals_of(self);
    Ref path = call_global(g, N._find_simulation_file, {a[0]});
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
        int t = call_truth(path.get(), N.exists);
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
    Ref line = concat_str(N.msg_deleted, path.get());
    if (!line || !log_message(g, N.debug, line.get())) return nullptr;
    Py_RETURN_TRUE;
}

static PyObject* cleared(PyObject* g, long long count) {
    Ref line = Ref::steal(PyUnicode_FromFormat("Cleared %lld simulation result(s)", count));
    if (!line || !log_message(g, N.debug, line.get())) return nullptr;
    return PyLong_FromLongLong(count);
}

PyObject* clear_simulation_results(FunctionObject* self, const Args& a) {
    PyObject* simulation_type = a[2];
    if (simulation_type != Py_None && !check_path_name(simulation_type, "simulation_type", true))
        return nullptr;
    PyObject* g = globals_of(self);
    Ref results = call_global(g, N.list_simulation_results, {a[0], a[1], a[2], a[3]},
                              N.kw_filters4);
    if (!results) return nullptr;
    int any = truth(results.get());
    if (any < 0) return nullptr;
    if (!any) return PyLong_FromLong(0);
    long long count = 0;
    switch (remote_clear(g, self->module, results.get(), count)) {
        case Outcome::Error: return nullptr;
        case Outcome::Done: return cleared(g, count);
        case Outcome::Fallback: break;
    }
    Ref it = Ref::steal(PyObject_GetIter(results.get()));
    if (!it) return nullptr;
    while (Ref record = Ref::steal(PyIter_Next(it.get()))) {
        Ref id = getattr(record.get(), N.simulation_id);
        if (!id) return nullptr;
        Ref ok = call_global(g, N.delete_simulation_result, {id.get()});
        if (!ok) return nullptr;
        int t = truth(ok.get());
        if (t < 0) return nullptr;
        count += t;
    }
    if (PyErr_Occurred()) return nullptr;
    return cleared(g, count);
}

}  // namespace css
