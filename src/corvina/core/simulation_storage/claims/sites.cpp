// Where the claims of one simulation live: beside its result file, on a
// local (or network) file system through the file's path text, or on an
// object store through its fsspec file system; nowhere, on a store that
// cannot hold them (the simulation is then computed without a claim).
#include "claims/compute.hpp"

#include "frame/host.hpp"
#include "local/files.hpp"
#include "local/gates.hpp"
#include "remote/fsspec.hpp"
#include "store/bodies.hpp"
#include "store/layout.hpp"

#include <string>

namespace css::claims {

namespace {

PyObject* g_posix_path = nullptr;  // pathlib.PosixPath, kept for the process

// The text of a local path object (os.fspath, encoded); false: error set.
bool fs_text(PyObject* path, std::string& out) {
    Ref fspath = Ref::steal(PyOS_FSPath(path));
    if (!fspath) return false;
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(fspath.get(), &raw)) return false;
    Ref encoded = Ref::steal(raw);
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

// Whether `fs` works on the local file system (fsspec's "file" protocol).
int is_local_fs(PyObject* fs) {
    Ref protocol = getattr(fs, remote::fsspec_names.protocol);
    if (!protocol) {
        PyErr_Clear();
        return 0;
    }
    auto local = [](PyObject* p) {
        return PyUnicode_Check(p) &&
               (PyUnicode_EqualToUTF8(p, "file") || PyUnicode_EqualToUTF8(p, "local"));
    };
    if (PyUnicode_Check(protocol.get())) return local(protocol.get());
    if (PyTuple_Check(protocol.get()))
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(protocol.get()); ++i)
            if (local(PyTuple_GET_ITEM(protocol.get(), i))) return 1;
    return 0;
}

// The result's path from the module's own path function (which makes the
// type directory, as save would), as a local path text.
Outcome path_site(const Call& c, bool fs_path, std::unique_ptr<Site>& site) {
    Ref get_path = lookup(c.g, host_names._get_simulation_file_path);
    if (!get_path) return Outcome::Error;
    Ref path = call(get_path.get(), {c.simulation_type(), c.component_name(), c.simulation_id});
    if (!path) return Outcome::Error;
    Ref text = fs_path ? getattr(path.get(), remote::fsspec_names.path) : path;
    std::string t;
    if (!text || !fs_text(text.get(), t)) return Outcome::Error;
    site = local_site(t);
    return Outcome::Done;
}

// On a standard local path with the module's own path function: the same
// path, made without the path objects, when its type directory exists.
// Fallback: go on (the path function makes the directory, or reports the
// name).
Outcome standard_site(const Call& c, const std::string& root_text, std::unique_ptr<Site>& site) {
    Ref get_path = lookup(c.g, host_names._get_simulation_file_path);
    if (!get_path) return Outcome::Error;
    if (!is_own_function(get_path.get(), nullptr, get_simulation_file_path))
        return Outcome::Fallback;
    PyObject* type = c.simulation_type();
    if (!check_result_names(type, c.component_name(), c.simulation_id)) return Outcome::Error;
    Ref name = result_file_name(c.component_name(), c.simulation_id);
    if (!name) return Outcome::Error;
    std::string type_dir, file;
    if (local_result_path(root_text, type, name.get(), type_dir, file) && path_is_dir(type_dir)) {
        site = local_site(file);
        return Outcome::Done;
    }
    PyErr_Clear();
    return Outcome::Fallback;
}

// Whether `root` is a universal-pathlib path (its module imported already:
// a store of any other kind never needs it). -1 on error.
int is_upath(PyObject* root) {
    PyObject* upath_module = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "upath", &upath_module) < 0) return -1;
    Ref upath = Ref::steal(upath_module);
    if (!upath) return 0;
    Ref cls = Ref::steal(PyObject_GetAttrString(upath.get(), "UPath"));
    if (!cls) return -1;
    return PyObject_IsInstance(root, cls.get());
}

// A store that is neither kind holds no claims: said once per type.
Outcome foreign_store(PyObject* root) {
    static PyObject* warned_type = nullptr;
    PyObject* t = reinterpret_cast<PyObject*>(Py_TYPE(root));
    if (warned_type == t) return Outcome::Fallback;
    warned_type = t;
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "the store %R is neither a local path nor a universal-pathlib "
                         "path, and cannot hold claims; simulations missing from it are "
                         "computed without claims",
                         root) < 0)
        return Outcome::Error;
    return Outcome::Fallback;
}

// The claims on an object store's file system, below the type directory's
// key.
Outcome object_store_site(const Call& c, PyObject* root, PyObject* fs, std::unique_ptr<Site>& site) {
    PyObject* type = c.simulation_type();
    if (!check_result_names(type, c.component_name(), c.simulation_id)) return Outcome::Error;
    Outcome supported = remote_supported(root, fs);
    if (supported != Outcome::Done) return supported;
    Ref type_dir = Ref::steal(PyNumber_TrueDivide(root, type));
    if (!type_dir) return Outcome::Error;
    Ref type_key = getattr(type_dir.get(), remote::fsspec_names.path);
    Ref stem = result_stem(c.component_name(), c.simulation_id);
    Ref name = stem ? result_file_name(c.component_name(), c.simulation_id) : Ref{};
    if (!type_key || !name) return Outcome::Error;
    if (!PyUnicode_Check(type_key.get())) {
        PyErr_SetString(PyExc_TypeError, "the store's path is not text");
        return Outcome::Error;
    }
    // A path of the bucket itself ends in "/": the keys below it do not.
    Ref trimmed = type_key;
    Py_ssize_t n = PyUnicode_GET_LENGTH(type_key.get());
    if (n > 0 && PyUnicode_READ_CHAR(type_key.get(), n - 1) == '/')
        trimmed = Ref::steal(PyUnicode_Substring(type_key.get(), 0, n - 1));
    if (!trimmed) return Outcome::Error;
    site = remote_site(root, fs, trimmed.get(), name.get(), stem.get());
    return site ? Outcome::Done : Outcome::Error;
}

}  // namespace

Outcome open_site(const Call& c, std::unique_ptr<Site>& site, bool& remote) {
    remote = false;
    Ref root = simulations_dir(c.g);
    if (!root) return Outcome::Error;
    if (!g_posix_path) {
        Ref pathlib = Ref::steal(PyImport_ImportModule("pathlib"));
        if (!pathlib) return Outcome::Error;
        g_posix_path = PyObject_GetAttrString(pathlib.get(), "PosixPath");
        if (!g_posix_path) return Outcome::Error;
    }
    std::string root_text;
    int standard = local_path(root.get(), root_text);
    if (standard < 0) return Outcome::Error;
    if (standard) {
        Outcome o = standard_site(c, root_text, site);
        if (o != Outcome::Fallback) return o;
    }
    int posix = PyObject_IsInstance(root.get(), g_posix_path);
    if (posix < 0) return Outcome::Error;
    // Where save will write, made as save makes it (the type directory too).
    if (posix) return path_site(c, false, site);
    int upath = is_upath(root.get());
    if (upath < 0) return Outcome::Error;
    if (!upath) return foreign_store(root.get());
    Ref fs = getattr(root.get(), remote::fsspec_names.fs);
    if (!fs) return Outcome::Error;
    if (is_local_fs(fs.get())) return path_site(c, true, site);
    Outcome o = object_store_site(c, root.get(), fs.get(), site);
    remote = o == Outcome::Done;
    return o;
}

}  // namespace css::claims
