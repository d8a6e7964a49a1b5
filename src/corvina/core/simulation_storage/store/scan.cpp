// The listing's walk over the store (see scan.hpp).
#include "store/scan.hpp"

#include "frame/outcome.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "local/walk.hpp"
#include "remote/batch.hpp"
#include "store/layout.hpp"

#include <string>
#include <sys/stat.h>
#include <vector>

namespace css {

namespace {

// One file: `read(gone)` gives its bytes, or sets `gone` for a file that was
// removed; `text` gives its path's text form, made only for the warning.
// Any ordinary error drops the file with one warning naming it.
template <class Read, class Text>
bool scan_file(PyObject* g, Read read, Text text, const TakeFile& take) {
    auto unit = [&]() -> bool {
        bool gone = false;
        Ref bytes = read(gone);
        if (gone) return true;
        return bytes && take(bytes.get());
    };
    if (unit()) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    Ref path_text = text();
    if (!path_text) return false;
    Ref line = Ref::steal(PyUnicode_Concat(host_names.msg_parse_failed, path_text.get()));
    return line && log_message(g, host_names.warning, line.get());
}

// `path.read_bytes()`. A file that is not found was removed since the
// listing, unless its entry is still there as a link that leads nowhere:
// that one is a bad file.
Ref read_listed(PyObject* path, bool& gone) {
    Ref bytes = call_method(path, host_names.read_bytes);
    if (bytes || !PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return bytes;
    Ref missing = Ref::steal(PyErr_GetRaisedException());
    Ref link = call_method(path, host_names.is_symlink);
    int t = link ? truth(link.get()) : -1;
    if (t == 0) {
        gone = true;
        return {};
    }
    PyErr_Clear();  // a failing test leaves the file reported as bad
    PyErr_SetRaisedException(missing.release());
    return {};
}

bool scan_path(PyObject* g, PyObject* path, const TakeFile& take) {
    return scan_file(
        g, [&](bool& gone) { return read_listed(path, gone); },
        [&] { return Ref::steal(PyObject_Str(path)); }, take);
}

// One file on a standard local path: the path object is made only when the
// file cannot be read directly.
bool scan_local_file(PyObject* g, const std::string& file, const TakeFile& take) {
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
        return path ? call_method(path.get(), host_names.read_bytes) : Ref{};
    };
    return scan_file(g, read, [&] { return path_text(file); }, take);
}

// The walk with direct system calls; Fallback when the simulations
// directory cannot be listed, so that the host reports it.
Outcome scan_local(PyObject* g, const std::string& root, PyObject* simulation_type,
                   const TakeFile& take) {
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
            if (!scan_local_file(g, file, take)) return Outcome::Error;
    }
    return Outcome::Done;
}

// The walk through the path objects' own methods: the type directories from
// `root.iterdir()` (or the one asked for), their files from `glob("*.json")`.
bool scan_literal(PyObject* g, PyObject* root, PyObject* simulation_type, const TakeFile& take) {
    int t = call_truth(root, host_names.exists);
    if (t <= 0) return t == 0;
    Ref type_dirs = Ref::steal(PyList_New(0));
    if (!type_dirs) return false;
    if (simulation_type != Py_None) {
        Ref d = Ref::steal(PyNumber_TrueDivide(root, simulation_type));
        if (!d || PyList_Append(type_dirs.get(), d.get()) < 0) return false;
    } else if (!each_type_dir(root, [&](PyObject* d) {
                   return PyList_Append(type_dirs.get(), d) == 0 ? 0 : -1;
               })) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(type_dirs.get()); ++i) {
        PyObject* type_dir = PyList_GET_ITEM(type_dirs.get(), i);
        int e = call_truth(type_dir, host_names.exists);
        if (e < 0) return false;
        if (!e) continue;
        Ref files = call_method(type_dir, host_names.glob, {host_names.star_json});
        if (!files) return false;
        Ref it = Ref::steal(PyObject_GetIter(files.get()));
        if (!it) return false;
        while (Ref path = Ref::steal(PyIter_Next(it.get())))
            if (!scan_path(g, path.get(), take)) return false;
        if (PyErr_Occurred()) return false;
    }
    return true;
}

}  // namespace

bool scan_results(PyObject* g, PyObject* root, PyObject* simulation_type, const TakeFile& take) {
    std::string root_text;
    int local = local_path(root, root_text);
    if (local < 0) return false;
    if (local) {
        if (!path_exists(root_text)) return true;
        switch (scan_local(g, root_text, simulation_type, take)) {
            case Outcome::Error: return false;
            case Outcome::Done: return true;
            case Outcome::Fallback: break;
        }
    }
    // A store on an fsspec file system: one listing, files read in batches.
    auto visit = [&](PyObject* path, PyObject* bytes) {
        if (!bytes) return scan_path(g, path, take);
        return scan_file(
            g, [&](bool&) { return Ref::borrow(bytes); },
            [&] { return Ref::steal(PyObject_Str(path)); }, take);
    };
    switch (remote_scan(root, simulation_type, visit)) {
        case Outcome::Error: return false;
        case Outcome::Done: return true;
        case Outcome::Fallback: break;
    }
    return scan_literal(g, root, simulation_type, take);
}

}  // namespace css
